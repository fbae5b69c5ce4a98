"""The players a client of the page may name: the server decides what its games may cost.

A client names the built-in players (`tegulo_rl.players`), mcts with at most `max_simulations`
simulations, and exactly the names the command line gave with --against. Network players, and with them
any checkpoint path, come from the command line alone: a client never makes the server open a file.
"""

from __future__ import annotations

from collections.abc import Sequence

from tegulo_rl import lineup, players
from tegulo_rl.lineup import AnyPlayer
from tegulo_rl.players import Player
from tegulo_rl.web.answers import Refused, shown

DEFAULT_MAX_SIMULATIONS = 2000
MAX_NAME = 100  # characters: every name the server takes is far shorter
LIGHT = ("random", "greedy", "heuristic")  # players whose move takes milliseconds, not a search


class Opponents:
    """What the names of a client and of the command line (`against`) give."""

    def __init__(self, against: Sequence[str | AnyPlayer], max_simulations: int = DEFAULT_MAX_SIMULATIONS):
        if isinstance(max_simulations, bool) or not isinstance(max_simulations, int) or max_simulations < 1:
            raise ValueError(f"max_simulations must be a whole number of at least 1, got {max_simulations!r}")
        self.against = [lineup.parse(name) for name in against]
        self.max_simulations = max_simulations
        # The command line's names as given and as the players print themselves ("mcts" and "mcts:1000").
        self.named: dict[str, AnyPlayer] = {}
        for given, player in zip(against, self.against, strict=True):
            self.named[str(player)] = player
            if isinstance(given, str):
                self.named[given] = player

    def parse(self, name: object) -> AnyPlayer:
        """The player a client's name gives, or Refused: 400 when it names no player, 403 when it names one
        that only the command line may choose."""
        if not isinstance(name, str) or not 0 < len(name) <= MAX_NAME:
            raise Refused(400, f"a player is named by a string of 1 to {MAX_NAME} characters, got {shown(name)}")
        if name in self.named:
            return self.named[name]
        if name.partition(":")[0] in lineup.NET_NAMES:
            raise Refused(403, f"{shown(name)}: network players are chosen on the command line (--against), "
                               "not by a client")  # fmt: skip
        try:
            player = players.parse(name)
        except (TypeError, ValueError) as error:
            raise Refused(400, str(error)) from None  # it quotes the name, at most MAX_NAME characters
        if player.name == "mcts" and player.simulations > self.max_simulations:
            raise Refused(403, f"mcts: at most {self.max_simulations} simulations here (--max-simulations), "
                               f"got {player.simulations}")  # fmt: skip
        return player


def is_light(player: AnyPlayer) -> bool:
    """Whether a player moves at once (no search, no network): such games never wait behind searches."""
    return isinstance(player, Player) and player.name in LIGHT
