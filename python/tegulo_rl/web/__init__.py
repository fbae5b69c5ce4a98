"""The page to play on: a Starlette application (`server`) behind the door that lets only its own page in
(`guard`), over the games it keeps and saves (`games`, `sessions`), the players a client may name
(`opponents`), the threads the players' moves run on (`lanes`), its JSON answers (`answers`), and the
static page it serves (`static/`)."""
