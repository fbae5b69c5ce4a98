"""The page to play on: a Starlette application (`server`) and the static page it serves (`static/`)."""
