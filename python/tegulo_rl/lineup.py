"""Any mix of players on a batch of games: the built-in ones (native) and those that use a network.

    >>> from tegulo_rl import GameBatch, lineup
    >>> batch = GameBatch(64, seed=0)
    >>> seats = [[0, 1, 1, 1]] * 64                     # agent a of game i: players[seats[i][a]]
    >>> step = lineup.step(batch, ["net", "heuristic"], seats)

This is the one place that names every player. Names: everything
`tegulo_rl.players.parse` reads, and "net" (the shipped network's policy, argmax),
"net:PATH" (a checkpoint's, or a shipped network's by name), "az" or "az:N" (a
search guided by the shipped network: the top `considered` actions of its prior at
the root share N simulations by sequential halving, each a greedy playout;
DEFAULT_AZ_SIMULATIONS by default) and "az:N:PATH" (guided by a checkpoint);
`NetPlayer` sets the rest (temperature, seed, exploration, leaves, root,
considered, gumbel_scale, playout_weight, evaluated_depth). Any callable `policy(observation) ->
actions` is a player too (see `tegulo_rl.policy`; `PolicyPlayer` names it and asks
for masks). A line-up of built-in players only goes straight to `GameBatch.choose`
and `step_players`; a network player or a policy is called once per call, on the
positions of all the games whose mover it plays. Network players need torch: pip
install 'tegulo-rl[torch]'.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, fields, replace
from typing import TYPE_CHECKING, Any

from tegulo_rl import players as _players
from tegulo_rl import policy as _policy
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl.players import Player
from tegulo_rl.policy import PolicyPlayer

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from tegulo_rl._batch import BatchStep, GameBatch

NET_NAMES = ("net", "az")
DEFAULT_AZ_SIMULATIONS = 160


@dataclass(frozen=True)
class NetPlayer:
    """A player that uses a network: `name` "net" plays its policy (argmax at temperature 0,
    else sampled from softmax(logits / temperature) with `seed`), "az" searches with it
    (`simulations`, `exploration`, `leaves`, `root`, `considered`, `gumbel_scale`,
    `playout_weight`, `evaluated_depth` and `seed` as `players.search` takes them). The
    default search asks the network about the root alone: the top `considered` actions of
    its prior (a Gumbel root without noise) share the simulations by sequential halving,
    each simulation a greedy playout. On this CPU a playout costs about a thirtieth of an evaluation,
    so the network chooses what to look at and the playouts judge it; `evaluated_depth`
    None lets the network value every leaf instead (half and half with a playout, by
    `playout_weight`). `path` is the checkpoint, or a shipped network's name; None means
    the shipped network."""

    name: str = "net"
    path: str | None = None
    temperature: float = 0.0
    seed: int = 0
    simulations: int = DEFAULT_AZ_SIMULATIONS
    exploration: float = 1.5
    leaves: int = 16
    root: str = "gumbel"
    considered: int = 16
    gumbel_scale: float = 0.0
    playout_weight: float = 0.5
    evaluated_depth: int | None = 0

    def __post_init__(self) -> None:
        if self.name not in NET_NAMES:
            raise ValueError(f"Unknown network player {self.name!r}: expected one of {', '.join(NET_NAMES)}")
        if not (isinstance(self.temperature, (int, float)) and 0 <= self.temperature < math.inf):
            raise ValueError(f"temperature must be a finite number of at least 0, got {self.temperature!r}")
        if self.root not in _players.ROOTS:
            raise ValueError(f"Unknown root exploration {self.root!r}: expected one of {', '.join(_players.ROOTS)}")
        if not (isinstance(self.gumbel_scale, (int, float)) and 0 <= self.gumbel_scale < math.inf):
            raise ValueError(f"gumbel_scale must be a finite number of at least 0, got {self.gumbel_scale!r}")
        if not (isinstance(self.playout_weight, (int, float)) and 0 <= self.playout_weight <= 1):
            raise ValueError(f"playout_weight must be from 0 to 1, got {self.playout_weight!r}")
        for attr in ("simulations", "leaves", "considered"):
            value = getattr(self, attr)
            if isinstance(value, bool) or not isinstance(value, int) or value < 1:
                raise ValueError(f"{attr} must be a whole number of at least 1, got {value!r}")
        depth = self.evaluated_depth
        if depth is not None and (isinstance(depth, bool) or not isinstance(depth, int) or depth < 0):
            raise ValueError(f"evaluated_depth must be a whole number of at least 0 or None, got {depth!r}")
        if self.path is not None and not isinstance(self.path, str):
            raise TypeError(f"path must be a str or None, got {type(self.path).__name__}")

    def __str__(self) -> str:
        where = "" if self.path is None else f":{self.path}"
        if self.name == "az":
            return f"az:{self.simulations}{where}"
        return f"net{where}"


AnyPlayer = Player | NetPlayer | PolicyPlayer
# What names a player: a name, a player, or a callable policy.
PlayerLike = str | Player | NetPlayer | PolicyPlayer | _policy.Policy
PLAYER_TYPES = (str, Player, NetPlayer, PolicyPlayer)


def parse(text: PlayerLike) -> AnyPlayer:
    """The player a name gives: a built-in one as `players.parse` reads it, a NetPlayer
    from "net", "net:PATH", "az", "az:N" or "az:N:PATH", or a PolicyPlayer of a callable."""
    if isinstance(text, (Player, NetPlayer, PolicyPlayer)):
        return text
    if not isinstance(text, str):
        if callable(text):
            return PolicyPlayer(text)
        raise TypeError(f"a player is a name, a Player, a NetPlayer or a policy, got {type(text).__name__}")
    name, _, rest = text.partition(":")
    if name == "net":
        return NetPlayer("net", path=rest or None)
    if name == "az":
        count, _, path = rest.partition(":")
        try:
            simulations = int(count) if count else DEFAULT_AZ_SIMULATIONS
        except ValueError:
            raise ValueError(f"simulations must be a whole number, got {count!r} in {text!r}") from None
        return NetPlayer("az", path=path or None, simulations=simulations)
    return _players.parse(text)


resolve = parse


Players = PlayerLike | Sequence[PlayerLike]


def _resolved(players: Players) -> list[AnyPlayer]:
    named = [players] if isinstance(players, PLAYER_TYPES) or callable(players) else list(players)
    if not named:
        raise ValueError("no player given")
    return [parse(p) for p in named]


def _table(seats: Any, games: int, players: int) -> npt.NDArray[np.int64]:
    """The seats argument as an (N, 4) table of player numbers, checked as the batch checks it."""
    import numpy as np

    if seats is None:
        return np.zeros((games, 4), dtype=np.int64)
    table = np.asarray(seats)
    if table.dtype.kind not in "iub":
        raise TypeError(f"seats must be integers, got {table.dtype}")
    if table.shape != (games, 4):
        raise ValueError(f"seats must have shape ({games}, 4), got {table.shape}")
    bad = np.argwhere((table < 0) | (table >= players))
    if len(bad):
        i, a = (int(x) for x in bad[0])
        raise ValueError(f"seats[{i}, {a}] is {int(table[i, a])}, which names no player of the {players}")
    return table.astype(np.int64)


def choose(
    batch: GameBatch, players: Players, seats: Any = None, *, games: Any = None, numbers: Any = None
) -> npt.NDArray[np.int64]:
    """An action for every game of the batch, in the frame of its agent to move, chosen by
    `players[seats[i][agent]]` (seats None: players[0] everywhere); no game changes.

    `games` (bool, (N,)) limits the choice to the games it marks: the others get some
    legal action, and no network, policy or search is asked about them. `numbers` (N,)
    are the games' numbers in messages (default 0 to N - 1)."""
    import numpy as np

    chosen = _resolved(players)
    n = len(batch)
    built_in = [p for p in chosen if isinstance(p, Player)]
    if games is None and len(built_in) == len(chosen):
        return np.asarray(batch.choose(built_in, seats).actions)
    table = _table(seats, n, len(chosen))
    wanted = np.ones(n, dtype=bool) if games is None else np.asarray(games, dtype=bool)
    asks_mask = any(isinstance(p, NetPlayer) or (isinstance(p, PolicyPlayer) and p.wants_mask) for p in chosen)
    observation = batch.observe(legal="both" if asks_mask else "list")
    mover = table[np.arange(n), observation.current_agent]
    # Built-in players choose in native code for the games they move in; every other
    # game goes to a random player meanwhile, which costs next to nothing.
    native: list[Player] = []
    lookup = np.empty(len(chosen), dtype=np.int64)
    for number, player in enumerate(chosen):
        if isinstance(player, Player):
            if player not in native:
                native.append(player)
            lookup[number] = native.index(player)
    placeholder = len(native)
    native.append(Player("random"))
    for number, player in enumerate(chosen):
        if not isinstance(player, Player):
            lookup[number] = placeholder
    native_seats = lookup[table]
    native_seats[~wanted] = placeholder
    actions = np.array(batch.choose(native, native_seats.astype(np.uint8)).actions)
    records = None
    for number, player in enumerate(chosen):
        if isinstance(player, Player):
            continue
        moving = np.flatnonzero((mover == number) & wanted)
        if len(moving) == 0:
            continue
        if isinstance(player, PolicyPlayer):
            actions[moving] = _policy.play(player, observation, moving, numbers)
            continue
        if records is None:
            records = batch.to_bytes()
        actions[moving] = _net_actions(player, batch, observation, records, moving)
    return actions


def _net_actions(player: NetPlayer, batch: GameBatch, observation: Any, records: Any, games: Any) -> Any:
    from tegulo_rl.net import require_torch

    require_torch()
    from tegulo_rl.net import player as net_player

    net = net_player.network(player.path)
    if player.name == "net":
        logits, _ = net_player.evaluate(net, net_player.Rows(observation, games))
        return net_player.policy_actions(logits, player.temperature, player.seed, records[games].tobytes())
    found = _players.search(
        [batch.game(int(i)) for i in games],
        net_player.evaluator(net),
        simulations=player.simulations,
        exploration=player.exploration,
        leaves=player.leaves,
        root=player.root,
        considered=player.considered,
        gumbel_scale=player.gumbel_scale,
        seed=player.seed,
        playout_weight=player.playout_weight,
        evaluated_depth=player.evaluated_depth,
    )
    return [int(a) if a is not None else 0 for a in found]


def choose_timed(
    batch: GameBatch, players: Players, seats: Any = None
) -> tuple[npt.NDArray[np.int64], list[float], list[int]]:
    """What `choose` chooses, each player asked on its own for the games whose mover it plays:
    the actions, each player's seconds of thinking and its number of moves. Each native player's
    call also draws from the streams of the games it does not play, so the games differ from
    those of `choose` with the same seeds; they are as fair."""
    import time

    import numpy as np

    chosen = _resolved(players)
    n = len(batch)
    table = np.zeros((n, 4), np.int64) if seats is None else np.asarray(seats, dtype=np.int64).reshape(n, 4)
    records = batch.to_bytes()
    movers = table[np.arange(n), records[:, -1].astype(np.int64)]  # a record's last byte is its agent to move
    actions = np.zeros(n, np.int64)
    seconds, moves = [0.0] * len(chosen), [0] * len(chosen)
    observation = None
    for number, player in enumerate(chosen):
        games = np.flatnonzero(movers == number)
        if len(games) == 0:
            continue
        started = time.perf_counter()
        if isinstance(player, Player):
            # The player in its own seats and a random one, which costs next to nothing, elsewhere.
            own = np.where(table == number, 0, 1)
            actions[games] = np.asarray(batch.choose([player, Player("random")], own).actions)[games]
        else:
            if observation is None:
                observation = batch.observe(legal="both")
            if isinstance(player, PolicyPlayer):
                actions[games] = _policy.play(player, observation, games, None)
            else:
                actions[games] = _net_actions(player, batch, observation, records, games)
        seconds[number] += time.perf_counter() - started
        moves[number] += len(games)
    return actions, seconds, moves


def step(batch: GameBatch, players: Players, seats: Any = None, *, games: Any = None, numbers: Any = None) -> BatchStep:
    """Plays what `choose` chooses: one step of every game, as `GameBatch.step_players`.
    Nothing changes when a player's choice is refused."""
    chosen = _resolved(players)
    native = [p for p in chosen if isinstance(p, Player)]
    if len(native) == len(chosen) and games is None:
        return batch.step_players(native, seats)
    return batch.step(choose(batch, chosen, seats, games=games, numbers=numbers))


def choose_one(game: PyTegulo, player: PlayerLike, seed: int = 0, **params: Any) -> int | None:
    """What `player` (any player: built-in, network or policy) plays for the game's agent to move
    (None when it is out of moves or the game is over), as `players.choose` for built-in players;
    `seed` seeds the game's stream, and keyword parameters set the player's fields, as in
    `choose_one(game, "net", temperature=1.0)`."""
    import numpy as np

    from tegulo_rl._batch import GameBatch

    chosen = parse(player)
    if params:
        unknown = sorted(set(params) - {f.name for f in fields(chosen)} | ({"name"} & set(params)))
        if unknown:
            raise TypeError(f"unknown player parameter {unknown[0]!r}")
        chosen = replace(chosen, **params)
    if isinstance(chosen, Player):
        return _players.choose(game, chosen, seed=seed)
    if not isinstance(game, PyTegulo):
        raise TypeError(f"game must be a PyTegulo, got {type(game).__name__}")
    if game.is_over or game.terminations[game.agent_selection]:
        return None
    batch = GameBatch.from_bytes(np.frombuffer(game.to_bytes(), np.uint8).reshape(1, -1), seed=seed, threads=1)
    return int(choose(batch, [chosen])[0])


def label(player: PlayerLike) -> str:
    """A player's name as tables print it."""
    return str(parse(player))
