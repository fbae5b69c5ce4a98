"""The door of the server: only the page's own origin reaches the API.

A server on 127.0.0.1 is within reach of every web page its user has open. Browsers let any page send a
form or a "simple" request (text/plain) to it, and a page whose name a DNS server points at 127.0.0.1 sends
its own name as the Host. So, before the application sees a request:

- the Host must be one of this server's own names with its port (127.0.0.1, localhost, [::1], --host);
- an API request from another origin (an Origin header that is not the server's own, or a browser's
  Sec-Fetch-Site of cross-site or same-site) is refused;
- a POST must be JSON (no form or text/plain request is), and its body at most `max_body` bytes, read
  here before anything else, so a large body costs no more than that;

each refused with a JSON error and changing nothing. Every answer forbids framing (clickjacking) and
loading anything from elsewhere (Content-Security-Policy).
"""

from __future__ import annotations

from collections.abc import Callable, Iterable

from starlette.datastructures import Headers
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from tegulo_rl.web.answers import refusal, shown

LOCAL_NAMES = ("127.0.0.1", "localhost", "[::1]")
POLICY = (
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "object-src 'none'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'"
)
# A downloaded replay is a page of its own with its script inline: it may run that, and nothing else.
REPLAY_POLICY = "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; frame-ancestors 'none'"
SECURITY_HEADERS = [
    (b"x-content-type-options", b"nosniff"),
    (b"x-frame-options", b"DENY"),
    (b"referrer-policy", b"no-referrer"),
    (b"cross-origin-resource-policy", b"same-origin"),
]


def host_names(host: str) -> list[str]:
    """The names a request's Host may give this server when it listens on `host`, without the port."""
    own = f"[{host}]" if ":" in host and not host.startswith("[") else host
    return list(dict.fromkeys([*LOCAL_NAMES, own.lower()]))


class Guard:
    """ASGI middleware in front of the application: refuses what does not come from the page (see above)."""

    def __init__(self, app: ASGIApp, names: Iterable[str], max_body: int, on_close: Callable[[], None] | None = None):
        self.app = app
        self.names = list(names)
        self.max_body = max_body
        self.on_close = on_close

    def close(self) -> None:
        """Ends what the application runs besides its requests (the players' threads)."""
        if self.on_close is not None:
            self.on_close()

    def hosts(self, port: int | None) -> set[str]:
        hosts = {f"{name}:{port}" for name in self.names}
        if port in (None, 80):  # a browser leaves out the default port
            hosts.update(self.names)
        return hosts

    def refused(self, scope: Scope, headers: Headers) -> tuple[int, str] | None:
        """The status and message of a request refused at the door, or None."""
        server = scope.get("server")
        hosts = self.hosts(server[1] if server else None)
        host = headers.get("host", "").lower()
        if host not in hosts:
            return 403, f"unknown Host {shown(host)}: this server answers to {', '.join(sorted(hosts))}"
        if scope["path"].startswith("/api/"):
            origin = headers.get("origin")
            if origin is not None and origin.lower() not in {f"http://{h}" for h in hosts}:
                return 403, f"requests from {shown(origin)} are refused: only this server's own page may call it"
            site = headers.get("sec-fetch-site", "").lower()
            if site in ("cross-site", "same-site"):
                return 403, f"a {site} request is refused: only this server's own page may call it"
        length = headers.get("content-length")
        if length is not None and (not length.isdigit() or int(length) > self.max_body):
            return 413, f"the body may be at most {self.max_body} bytes"
        if scope["method"] == "POST":
            media = headers.get("content-type", "").split(";")[0].strip().lower()
            if media != "application/json":
                return 415, f"expected a body of type application/json, got {shown(media or 'none')}"
        return None

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        policy = REPLAY_POLICY if scope["path"].endswith("/replay.html") else POLICY
        extra = [*SECURITY_HEADERS, (b"content-security-policy", policy.encode())]
        if scope["path"].startswith("/api/"):
            extra.append((b"cache-control", b"no-store"))

        async def sending(message: Message) -> None:
            if message["type"] == "http.response.start":
                message = {**message, "headers": [*message.get("headers", []), *extra]}
            await send(message)

        headers = Headers(scope=scope)
        refused = self.refused(scope, headers)
        if refused is None and scope["method"] == "POST":
            body, whole = await self._body(receive)
            if not whole:
                refused = 413, f"the body may be at most {self.max_body} bytes"
            else:
                receive = _replaying(body, receive)
        if refused is not None:
            await refusal(*refused)(scope, receive, sending)
            return
        await self.app(scope, receive, sending)

    async def _body(self, receive: Receive) -> tuple[bytes, bool]:
        """The request's body, and False if it ran past `max_body` (the rest is left unread)."""
        chunks: list[bytes] = []
        size = 0
        while True:
            message = await receive()
            if message["type"] != "http.request":  # the client went away
                return b"", True
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > self.max_body:
                return b"", False
            chunks.append(chunk)
            if not message.get("more_body", False):
                return b"".join(chunks), True


def _replaying(body: bytes, receive: Receive) -> Receive:
    """A receive that hands the application the body read at the door, then listens to the client again."""
    sent = False

    async def replay() -> Message:
        nonlocal sent
        if not sent:
            sent = True
            return {"type": "http.request", "body": body, "more_body": False}
        return await receive()

    return replay
