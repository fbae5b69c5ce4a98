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
        cls, records: bytes, simulations: SupportsIndex, exploration: float, leaves: SupportsIndex, reward_mode: str
    ) -> GuidedSearch: ...
    def select(self) -> bytes | None: ...
    def expand(self, priors: Any, values: Any) -> None: ...
    def best(self) -> list[tuple[int, int, dict[int, int]]]: ...
