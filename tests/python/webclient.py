"""An HTTP client for the play server's tests that sends exactly the headers it is given (a foreign Host, an
Origin, no Content-Type), which urllib would fill in or refuse."""

import http.client
import json
import urllib.parse

JSON = {"Content-Type": "application/json"}


def send(url, method, path, body=None, headers=None, chunked=False):
    """(status, headers with lower-case names, payload as JSON where it is JSON, else bytes)."""
    where = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(where.hostname, where.port, timeout=120)
    headers = dict(headers or {})
    data = json.dumps(body).encode() if body is not None and not isinstance(body, bytes) else body
    try:
        connection.putrequest(method, path, skip_host="Host" in headers, skip_accept_encoding=True)
        for name, value in headers.items():
            if value is not None:
                connection.putheader(name, value)
        if chunked:
            connection.putheader("Transfer-Encoding", "chunked")
            connection.endheaders()
            for start in range(0, len(data), 1000):
                piece = data[start : start + 1000]
                connection.send(f"{len(piece):x}\r\n".encode() + piece + b"\r\n")
            connection.send(b"0\r\n\r\n")
        else:
            if data is not None:
                connection.putheader("Content-Length", str(len(data)))
            connection.endheaders(data)
        response = connection.getresponse()
        payload = response.read()
        answer_headers = {name.lower(): value for name, value in response.getheaders()}
        status = response.status
    finally:
        connection.close()
    if "json" in answer_headers.get("content-type", ""):
        payload = json.loads(payload)
    return status, answer_headers, payload


def post(url, path, body, headers=None):
    return send(url, "POST", path, body, {**JSON, **(headers or {})})
