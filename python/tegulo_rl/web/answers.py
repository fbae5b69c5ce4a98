"""How the server answers: JSON in ASCII, and refusals as `{"error": message}` with their status.

Every answer the API gives is JSON that any client can parse: the text is ASCII (a client's lone surrogate
or control character comes back escaped, never as bytes UTF-8 cannot hold), and a refusal says what was
wrong with at most a short prefix of what the client sent (`saved.shown`).
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from typing import Any

from starlette.responses import Response

from tegulo_rl.saved import shown

__all__ = ["Answer", "Refused", "refusal", "shown"]


class Answer(Response):
    """A JSON answer, ASCII only."""

    media_type = "application/json"

    def render(self, content: Any) -> bytes:
        return json.dumps(content, ensure_ascii=True, allow_nan=False, separators=(",", ":")).encode("ascii")


class Refused(Exception):
    """A request that changes nothing, answered with its status, its message and any headers (Retry-After)."""

    def __init__(self, status: int, message: str, headers: Mapping[str, str] | None = None):
        super().__init__(message)
        self.status = status
        self.headers = dict(headers or {})


def refusal(status: int, message: str, headers: Mapping[str, str] | None = None) -> Answer:
    return Answer({"error": message}, status_code=status, headers=dict(headers or {}))
