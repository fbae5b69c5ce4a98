"""Self-play data at scale: games between built-in players on Ray, every decision a row of Parquet.

    python -m tegulo_rl selfplay --player heuristic --games 100000 --out DIR

or `tegulo_rl.selfplay.generate("heuristic", 100_000, DIR)`, then
`for examples in tegulo_rl.selfplay.load(DIR): ...` for training. Generating needs
ray and pyarrow, reading pyarrow alone: pip install 'tegulo-rl[selfplay]'.

`tegulo_rl.selfplay.data` holds what reads the data (the schema, the manifest,
`load`), `tegulo_rl.selfplay.generation` what writes it on Ray (`generate`, the
shards and their seeds). Importing either imports neither Ray nor pyarrow.
"""

from tegulo_rl._ray import local_ray
from tegulo_rl.selfplay.data import (
    DEFAULT_COLUMNS,
    EXAMPLE_COLUMNS,
    FORMAT,
    LEGAL,
    MANIFEST,
    MODES,
    PLANES,
    RAW,
    RunMismatch,
    load,
    read_manifest,
    schema,
    shard_name,
    shard_paths,
)
from tegulo_rl.selfplay.generation import (
    BATCH_GAMES,
    CRASH_ENV,
    DEFAULT_SHARD_GAMES,
    MAX_RETRIES,
    Plan,
    Shard,
    Summary,
    as_players,
    generate,
    make_plan,
    play_shard,
    shard_seed,
    write_shard,
)

__all__ = [
    "BATCH_GAMES",
    "CRASH_ENV",
    "DEFAULT_COLUMNS",
    "DEFAULT_SHARD_GAMES",
    "EXAMPLE_COLUMNS",
    "FORMAT",
    "LEGAL",
    "MANIFEST",
    "MAX_RETRIES",
    "MODES",
    "PLANES",
    "RAW",
    "Plan",
    "RunMismatch",
    "Shard",
    "Summary",
    "as_players",
    "generate",
    "load",
    "local_ray",
    "make_plan",
    "play_shard",
    "read_manifest",
    "schema",
    "shard_name",
    "shard_paths",
    "shard_seed",
    "write_shard",
]
