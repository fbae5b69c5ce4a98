"""Built-in players, from uniform random to Monte Carlo tree search, all in native code.

    >>> from tegulo_rl import PyTegulo, players
    >>> game = PyTegulo()
    >>> action = players.choose(game, "greedy", seed=1)   # an action index in the mover's frame
    >>> game.step(action)

A player is named by a `Player` or by its text, as the arena command line takes it:
"random", "greedy", "heuristic", "mcts" (1,000 simulations) or "mcts:400". This
module holds the built-in players alone: `tegulo_rl.lineup` is the one place that
names every player (network players and policies too), and `lineup.choose_one`
plays any of them as `choose` plays these. On a
`GameBatch`, `batch.choose(players, seats)` picks an action for every game and
`batch.step_players(players, seats)` plays them, each game drawing from its own
random stream; `seats[i, a]` names the player of agent `a` in game `i`.

- random: a uniformly random legal placement.
- greedy: a placement of the largest piece the agent can still place, ties at random.
- heuristic: a one-move look-ahead that scores each placement by its size, the
  diagonal attach cells it opens for the mover and the attach cells it takes from
  the others (weights `HEURISTIC_WEIGHTS`, chosen by measurement).
- mcts: UCT for four players; every node keeps the mean of each agent's reward and
  maximises its mover's; playouts by `playout` (greedy by default), rewards in the
  "rank" mode, `trees` independent trees whose visits are added up at the root. The
  trees grow as the search needs nodes, together up to `memory_mb` MiB (1024): a search
  that would outgrow that raises MemoryError naming the cap.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable, Sequence
from dataclasses import dataclass, fields, replace
from typing import Any

from tegulo_rl import _players
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import NUM_ACTIONS, RECORD_SIZE, REWARD_MODES, SEATS

NAMES = ("random", "greedy", "heuristic", "mcts")
PLAYOUTS = ("random", "greedy", "heuristic")
# The heuristic's weights of a placement's cells, of the change in the mover's
# attach cells, and of the attach cells it takes from the others: chosen by
# seat-rotated games against their neighbours, none of which did better.
HEURISTIC_WEIGHTS = (1.0, 0.25, 0.25)


@dataclass(frozen=True)
class Player:
    """A built-in player and its parameters; the parameters of mcts are ignored by the others."""

    name: str
    simulations: int = 1000
    exploration: float = 1.0
    playout: str = "greedy"
    trees: int = 1
    width: int = 10
    reward: str = "rank"
    weights: tuple[float, float, float] = HEURISTIC_WEIGHTS
    memory_mb: int = 1024

    def __post_init__(self) -> None:
        if self.name not in NAMES:
            raise ValueError(
                f"Unknown player {self.name!r}: expected one of {', '.join(NAMES)} "
                "(tegulo_rl.lineup names every player, network players and policies too)"
            )
        for attr, low in (("simulations", 1), ("trees", 1), ("width", 0), ("memory_mb", 1)):
            value = getattr(self, attr)
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{attr} must be an int, got {type(value).__name__}")
            if not low <= value < 2**32:
                raise ValueError(f"{attr} must be from {low} to 2**32 - 1, got {value}")
        if isinstance(self.exploration, bool) or not isinstance(self.exploration, (int, float)):
            raise TypeError(f"exploration must be a number, got {type(self.exploration).__name__}")
        if not self.exploration >= 0 or self.exploration == float("inf"):
            raise ValueError(f"exploration must be a finite number of at least 0, got {self.exploration}")
        if self.playout not in PLAYOUTS:
            raise ValueError(f"Unknown playout {self.playout!r}: expected one of {', '.join(PLAYOUTS)}")
        if self.reward not in REWARD_MODES:
            raise ValueError(f"Unknown reward mode {self.reward!r}: expected one of {', '.join(REWARD_MODES)}")
        if len(self.weights) != 3 or not all(
            isinstance(w, (int, float)) and not isinstance(w, bool) and abs(w) < float("inf") for w in self.weights
        ):
            raise ValueError(f"weights must be three finite numbers, got {self.weights!r}")

    def __str__(self) -> str:
        return f"mcts:{self.simulations}" if self.name == "mcts" else self.name


def parse(text: str | Player) -> Player:
    """The player a text names: "random", "greedy", "heuristic", "mcts" or "mcts:SIMULATIONS"."""
    if isinstance(text, Player):
        return text
    if not isinstance(text, str):
        raise TypeError(
            f"a player is a name or a Player, got {type(text).__name__} "
            "(tegulo_rl.lineup takes every player, network players and policies too)"
        )
    name, _, simulations = text.partition(":")
    if not simulations:
        return Player(name)
    if name != "mcts":
        raise ValueError(f"only mcts takes a number of simulations, got {text!r}")
    try:
        count = int(simulations)
    except ValueError:
        raise ValueError(f"simulations must be a whole number, got {simulations!r} in {text!r}") from None
    return Player(name, simulations=count)


def choose(
    game: PyTegulo, player: str | Player = "random", *, seed: int = 0, threads: int = 1, **params: Any
) -> int | None:
    """What `player` plays for the game's agent to move: an action index in that agent's
    frame, or None when it is out of moves (or the game is over), the step then being a
    pass. Keyword parameters set the player's fields, as in
    `choose(game, "mcts", simulations=800, seed=1)`. The same game, player and seed give
    the same action; a search spreads its trees over `threads` threads without changing
    its result. Built-in players only: `lineup.choose_one` takes network players and
    policies too."""
    if not isinstance(game, PyTegulo):
        raise TypeError(f"game must be a PyTegulo, got {type(game).__name__}")
    _check_int("seed", seed)
    _check_int("threads", threads)
    chosen_player = parse(player)
    if params:
        unknown = sorted(set(params) - {f.name for f in fields(Player)} | ({"name"} & set(params)))
        if unknown:
            raise TypeError(f"unknown player parameter {unknown[0]!r}")
        chosen_player = replace(chosen_player, **params)
    if game.is_over or game.terminations[game.agent_selection]:
        return None
    chosen = _players.choose(game.to_bytes(), chosen_player, seed, threads)
    return None if chosen is None else int(chosen[0])


# An evaluator takes the leaves' observations (a BatchObservation) and returns their
# priors, (leaves, 36400) over actions in the frame of each leaf's agent to move, and
# their values, (leaves, 4) by seat, seat 0 that agent. An evaluator whose attribute
# `gives_logits` is true returns logits instead of priors (any real number or -inf;
# the search takes their softmax over the legal actions) and is shown the leaves
# without an action mask, which it does not need.
Evaluator = Callable[[Any], tuple[Any, Any]]

ROOTS = ("none", "dirichlet", "gumbel")


@dataclass(frozen=True)
class SearchResult:
    """What a search found for every game, as numpy arrays; games where nobody searched
    (over, or their agent to move out of moves) have action -1, no legal actions and values 0.

    - `actions` (N,) int64: the chosen action, in the frame of the game's agent to move;
    - `legal_offsets` (N + 1,) int64 and `legal_actions` (M,) int64: game i's legal actions,
      increasing, are legal_actions[legal_offsets[i]:legal_offsets[i + 1]];
    - `visits` (M,) uint32: the root's visits of each of those actions;
    - `policy` (M,) float32: the improved policy over them, summing to 1 for each game: with
      a Gumbel root softmax(log prior + sigma(completed Q)), else the visits' shares;
    - `values` (N, 4) float32: the root's mean value by seat, seat 0 the agent to move."""

    actions: Any
    legal_offsets: Any
    legal_actions: Any
    visits: Any
    policy: Any
    values: Any

    def dense_policy(self) -> Any:
        """The improved policy as an (N, 36400) float32 array, zero off the legal actions."""
        import numpy as np

        out = np.zeros((len(self.actions), NUM_ACTIONS), np.float32)
        rows = np.repeat(np.arange(len(self.actions)), np.diff(self.legal_offsets))
        out[rows, self.legal_actions] = self.policy
        return out


def search(
    games: PyTegulo | Sequence[PyTegulo],
    evaluator: Evaluator,
    *,
    simulations: int = 800,
    exploration: float = 1.5,
    leaves: int = 8,
    reward_mode: str = "rank",
    threads: int | None = None,
    root: str = "none",
    considered: int = 16,
    gumbel_scale: float = 1.0,
    noise: float = 0.25,
    alpha: float = 0.3,
    seed: int = 0,
    memory_mb: int = 1024,
    playout_weight: float = 0.0,
    evaluated_depth: int | None = None,
) -> list[int | None]:
    """Tree search from each game's position, guided by `evaluator`: the action each
    game's agent to move should take, in its frame (None for a game whose agent to move
    has no placement, or that is over). `search_targets` takes the same parameters and
    returns everything the search found.

    Below the root the search is PUCT (`exploration`); `root` chooses how the root
    explores: "none" (PUCT there too, deterministic), "dirichlet" (its priors mixed with
    Dirichlet(`alpha`) noise of weight `noise`) or "gumbel" (`considered` actions sampled
    by Gumbel noise of scale `gumbel_scale` on their log priors, `simulations` visits
    shared among them by sequential halving; 0 scale takes the top of the prior). With a
    Gumbel root, `simulations` counts the visits below the root, after its own
    evaluation; otherwise the root's evaluation is one of them. Noise draws follow from
    `seed` and the game's place in `games`. With `playout_weight` w above 0, each leaf's
    value is (1 - w) times the evaluator's plus w times the outcome of a greedy playout
    from it: nearly free beside a network, and a check on a young value head.
    `evaluated_depth` d (None: no limit) keeps the evaluator to the tree's top d + 1
    levels, the root being level 0: a leaf below them is valued by a greedy playout
    alone, each visit its own, and never grows children (d = 0 asks the evaluator for
    the roots only, and the playouts rank the actions its priors put first).

    Every round descends in every tree to up to `leaves` new leaves and hands all of
    them to one evaluator call, so a network sees batches, not single positions. The
    trees descend, and the leaves' observations are made, on `threads` threads (None:
    every usable core); the results do not depend on the number.
    What the evaluator returns is checked (shapes, finite values, priors of at least
    0) and refused with ValueError naming the first fault; the games never change. The
    trees' nodes together may hold `memory_mb` MiB: MemoryError past it."""
    found = search_targets(
        games, evaluator, simulations=simulations, exploration=exploration, leaves=leaves,
        reward_mode=reward_mode, threads=threads, root=root, considered=considered, gumbel_scale=gumbel_scale,
        noise=noise, alpha=alpha, seed=seed, memory_mb=memory_mb, playout_weight=playout_weight,
        evaluated_depth=evaluated_depth,
    )  # fmt: skip
    return [None if a < 0 else int(a) for a in found.actions]


def search_targets(
    games: PyTegulo | Sequence[PyTegulo],
    evaluator: Evaluator,
    *,
    simulations: int = 800,
    exploration: float = 1.5,
    leaves: int = 8,
    reward_mode: str = "rank",
    threads: int | None = None,
    root: str = "none",
    considered: int = 16,
    gumbel_scale: float = 1.0,
    noise: float = 0.25,
    alpha: float = 0.3,
    seed: int = 0,
    memory_mb: int = 1024,
    playout_weight: float = 0.0,
    evaluated_depth: int | None = None,
) -> SearchResult:
    """The search of `search`, with what training needs of it: a `SearchResult` holding
    every game's action, root visits, improved policy and root values."""
    import numpy as np

    items = [games] if isinstance(games, PyTegulo) else list(games)
    for g in items:
        if not isinstance(g, PyTegulo):
            raise TypeError(f"games must be PyTegulo games, got {type(g).__name__}")
    for name, value in (("simulations", simulations), ("leaves", leaves), ("considered", considered)):
        _check_int(name, value)
        if value < 1:
            raise ValueError(f"{name} must be at least 1, got {value}")
    for name, value in (("seed", seed), ("memory_mb", memory_mb)):
        _check_int(name, value)
    if evaluated_depth is not None:
        _check_int("evaluated_depth", evaluated_depth)
        if evaluated_depth < 0:
            raise ValueError(f"evaluated_depth must be at least 0 or None, got {evaluated_depth}")
    if root not in ROOTS:
        raise ValueError(f"Unknown root exploration {root!r}: expected one of {', '.join(ROOTS)}")
    if not callable(evaluator):
        raise TypeError(f"evaluator must be callable, got {type(evaluator).__name__}")
    playing = [i for i, g in enumerate(items) if not g.is_over and not g.terminations[g.agent_selection]]
    n = len(items)
    result = SearchResult(
        actions=np.full(n, -1, np.int64), legal_offsets=np.zeros(n + 1, np.int64),
        legal_actions=np.zeros(0, np.int64), visits=np.zeros(0, np.uint32), policy=np.zeros(0, np.float32),
        values=np.zeros((n, SEATS), np.float32),
    )  # fmt: skip
    if not playing:
        return result
    tree = _players.GuidedSearch(
        b"".join(items[i].to_bytes() for i in playing), simulations, float(exploration), leaves, reward_mode,
        root, considered, float(gumbel_scale), float(noise), float(alpha), seed, memory_mb, float(playout_weight),
        evaluated_depth, threads,
    )  # fmt: skip
    _drive(tree, evaluator, threads)
    actions, offsets, legal, visits, policy, values = tree.targets()
    rows = np.asarray(playing, np.int64)
    counts = np.zeros(n, np.int64)
    counts[rows] = np.diff(np.frombuffer(offsets, np.int64))
    result.actions[rows] = np.frombuffer(actions, np.int64)
    # Running sums in Python: numpy's cumsum keeps a little memory of every call in a cache.
    result.legal_offsets[1:] = list(itertools.accumulate(counts.tolist()))
    result.values[rows] = np.frombuffer(values, np.float32).reshape(-1, SEATS)
    # Games that were not searched hold no entries, so the entries are already in game order.
    return replace(
        result,
        legal_actions=np.frombuffer(legal, np.int64).copy(),
        visits=np.frombuffer(visits, np.uint32).copy(),
        policy=np.frombuffer(policy, np.float32).copy(),
    )


def _drive(tree: Any, evaluator: Evaluator, threads: int | None) -> None:
    """Runs the search's rounds: its leaves to the evaluator, the evaluations back."""
    import numpy as np

    from tegulo_rl._batch import GameBatch

    logits = bool(getattr(evaluator, "gives_logits", False))
    # One batch for every round, its games replaced by each round's leaves: a batch
    # made per round would start its threads each time, costing more than the round.
    positions: GameBatch | None = None
    while (records := tree.select()) is not None:
        leaves_now = np.frombuffer(records, np.uint8).reshape(-1, RECORD_SIZE)
        if positions is None:
            positions = GameBatch.from_bytes(leaves_now, threads=threads, seed=0)
        else:
            positions.load(leaves_now)
        observation = positions.observe(legal="list", sorted=False) if logits else positions.observe(legal="mask")
        evaluation = evaluator(observation)
        if logits:
            evaluations, values = _shaped(evaluation, len(positions))
        else:
            evaluations, values = _checked(evaluation, len(positions))
        tree.expand(evaluations, values, logits)


def _shaped(evaluation: Any, leaves: int) -> tuple[Any, Any]:
    """The evaluator's logits and values as C-contiguous float32 of the right shapes, or
    ValueError; the search itself checks the numbers it reads."""
    import numpy as np

    if not isinstance(evaluation, tuple) or len(evaluation) != 2:
        raise ValueError(f"the evaluator must return (logits, values), got {type(evaluation).__name__}")
    out = []
    for name, value, shape in (
        ("logits", evaluation[0], (leaves, NUM_ACTIONS)),
        ("values", evaluation[1], (leaves, SEATS)),
    ):
        try:
            array = np.ascontiguousarray(value, dtype=np.float32)
        except (TypeError, ValueError) as e:
            raise ValueError(f"the evaluator's {name} are not numbers: {e}") from None
        if array.shape != shape:
            raise ValueError(f"the evaluator's {name} must have shape {shape}, got {array.shape}")
        out.append(array)
    return out[0], out[1]


def _checked(evaluation: Any, leaves: int) -> tuple[Any, Any]:
    """The evaluator's priors and values as C-contiguous float32, or ValueError."""
    import numpy as np

    if not isinstance(evaluation, tuple) or len(evaluation) != 2:
        raise ValueError(f"the evaluator must return (priors, values), got {type(evaluation).__name__}")
    out = []
    for name, value, shape in (
        ("priors", evaluation[0], (leaves, NUM_ACTIONS)),
        ("values", evaluation[1], (leaves, SEATS)),
    ):
        try:
            array = np.ascontiguousarray(value, dtype=np.float32)
        except (TypeError, ValueError) as e:
            raise ValueError(f"the evaluator's {name} are not numbers: {e}") from None
        if array.shape != shape:
            raise ValueError(f"the evaluator's {name} must have shape {shape}, got {array.shape}")
        bad = ~np.isfinite(array)
        if bad.any():
            leaf, column = np.argwhere(bad)[0]
            raise ValueError(f"the evaluator's {name} for leaf {leaf} hold {array[leaf, column]} at {column}")
        out.append(array)
    negative = out[0] < 0
    if negative.any():
        leaf, action = np.argwhere(negative)[0]
        raise ValueError(f"the evaluator's prior for leaf {leaf}, action {action} is negative: {out[0][leaf, action]}")
    return out[0], out[1]


def _check_int(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")


NativePlayer = tuple[int, int, float, int, int, int, float, float, float, int, int]


def _native(players: str | Player | Sequence[str | Player]) -> list[NativePlayer]:
    """The players named, as the plain tuples the native code reads."""
    if isinstance(players, (str, Player)):
        named: list[str | Player] = [players]
    elif isinstance(players, Sequence):
        named = list(players)
    else:
        raise TypeError(f"a player is a name or a Player, got {type(players).__name__}")
    if not named:
        raise ValueError("no player given")
    native = []
    for p in named:
        q = parse(p)
        size, reach, block = (float(w) for w in q.weights)
        native.append(
            (
                NAMES.index(q.name),
                q.simulations,
                float(q.exploration),
                PLAYOUTS.index(q.playout),
                q.trees,
                REWARD_MODES.index(q.reward),
                size,
                reach,
                block,
                q.width,
                q.memory_mb,
            )
        )
    return native
