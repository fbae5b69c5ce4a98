"""The TCP addresses that a process and everything it started listen on, read from /proc (Linux)."""

import ipaddress
import os
import socket


def _parents():
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    # The command name may hold spaces and brackets: the fields after it start at the last ")".
                    parents[int(entry)] = int(stat.read().rpartition(")")[2].split()[1])
            except (FileNotFoundError, ProcessLookupError, PermissionError):
                pass
    return parents


def family(pid):
    """`pid` and all its descendants."""
    parents = _parents()
    found, grew = {pid}, True
    while grew:
        more = {child for child, parent in parents.items() if parent in found} - found
        found |= more
        grew = bool(more)
    return found


def _socket_inodes(pids):
    inodes = set()
    for pid in pids:
        try:
            for fd in os.listdir(f"/proc/{pid}/fd"):
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
                if target.startswith("socket:["):
                    inodes.add(target[8:-1])
        except (FileNotFoundError, ProcessLookupError, PermissionError):
            pass
    return inodes


def _address(hex_address):
    raw = bytes.fromhex(hex_address)
    # The kernel prints each 32-bit word of the address in the machine's order.
    raw = b"".join(raw[i : i + 4][::-1] for i in range(0, len(raw), 4))
    return ipaddress.ip_address(socket.inet_ntop(socket.AF_INET if len(raw) == 4 else socket.AF_INET6, raw))


def listening(pid):
    """(address, port) of every TCP socket in the LISTEN state held by `pid` or its descendants."""
    inodes = _socket_inodes(family(pid))
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as lines:
            next(lines)
            for line in lines:
                fields = line.split()
                if fields[3] == "0A" and fields[9] in inodes:
                    host, port = fields[1].split(":")
                    found.append((_address(host), int(port, 16)))
    return found


def is_loopback(address):
    mapped = getattr(address, "ipv4_mapped", None)
    return (mapped or address).is_loopback
