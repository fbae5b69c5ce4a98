"""Type stubs of the extension module tegulo_rl._players."""

from typing import Any, SupportsIndex, final

from tegulo_rl.players import Player

def choose(
    record: bytes, player: str | Player, seed: SupportsIndex, threads: SupportsIndex
) -> tuple[int, int] | None: ...

@final
class GuidedSearch:
    """PUCT from the positions of the state records, its leaves evaluated by the caller in batches."""

    def __new__(
        cls,
        records: bytes,
        simulations: SupportsIndex,
        exploration: float,
        leaves: SupportsIndex,
        reward_mode: str,
        root: str = "none",
        considered: SupportsIndex = 16,
        gumbel_scale: float = 1.0,
        noise: float = 0.25,
        alpha: float = 0.3,
        seed: SupportsIndex = 0,
        memory_mb: SupportsIndex = 1024,
        playout_weight: float = 0.0,
        evaluated_depth: SupportsIndex | None = None,
        threads: SupportsIndex | None = None,
    ) -> GuidedSearch: ...
    def select(self) -> bytes | None: ...
    def expand(self, priors: Any, values: Any, logits: bool = False) -> None: ...
    def targets(self) -> tuple[bytes, bytes, bytes, bytes, bytes, bytes]: ...
    def best(self) -> list[tuple[int, int, dict[int, int]]]: ...
