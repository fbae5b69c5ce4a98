"""Playing an arena: built-in players in rotated seats on a GameBatch, every finished game a `GameResult`.

Two to four distinct players share the SEATS seats of every game. Seats rotate: game k
uses rotation r = k % P, and seat (absolute agent) s goes to players[(s + r) % P], so
every player sits in every seat equally often; with fewer than SEATS players a player
holds several seats of each game. The games run on a GameBatch, spread over every core,
and are the same for a seed whatever the number of threads. `tegulo_rl.arena.reporting`
turns the results into statistics, ratings, a table and a plot.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import fields

from tegulo_rl import lineup as lineups
from tegulo_rl._tegulo import PyTegulo
from tegulo_rl._views import SEATS
from tegulo_rl.arena.reporting import ArenaResult, GameResult, Thinking, summarize
from tegulo_rl.lineup import AnyPlayer, NetPlayer, PlayerLike
from tegulo_rl.players import Player
from tegulo_rl.policy import PolicyPlayer

DEFAULT_BATCH = 256


class Interrupted(KeyboardInterrupt):
    """Ctrl-C stopped `play`; `result` holds the games that had finished."""

    def __init__(self, result: ArenaResult):
        super().__init__(f"interrupted after {len(result.results)} of {result.games} games")
        self.result = result


def label(player: AnyPlayer) -> str:
    """The player as text: its command-line name, with any setting that name leaves out (a policy: its name)."""
    if isinstance(player, PolicyPlayer):
        return player.name
    if isinstance(player, NetPlayer):
        searching = ["exploration", "leaves", "root", "considered", "gumbel_scale", "playout_weight", "seed"]
        relevant = ["temperature", "seed"] if player.name == "net" else searching
        default_net = NetPlayer(player.name)
        extras = [f"{n}={getattr(player, n)}" for n in relevant if getattr(player, n) != getattr(default_net, n)]
        return f"{player}({', '.join(extras)})" if extras else str(player)
    if player.name == "mcts":
        relevant = [f.name for f in fields(Player) if f.name not in ("name", "simulations")]
    else:
        relevant = ["weights"] if player.name == "heuristic" else []
    default = Player(player.name)
    extras = [f"{n}={getattr(player, n)}" for n in relevant if getattr(player, n) != getattr(default, n)]
    return f"{player}({', '.join(extras)})" if extras else str(player)


def check_players(players: Sequence[PlayerLike]) -> list[AnyPlayer]:
    """The players parsed, refusing fewer than two, more than four or the same one twice."""
    parsed = [lineups.parse(p) for p in players]
    if not 2 <= len(parsed) <= SEATS:
        raise ValueError(f"an arena takes 2 to {SEATS} players, got {len(parsed)}")
    labels = [label(p) for p in parsed]
    twice = sorted({name for name in labels if labels.count(name) > 1})
    if twice:
        raise ValueError(f"every player must be different: {', '.join(twice)} given more than once")
    return parsed


def rotation(game: int, players: int) -> tuple[int, ...]:
    """The player of each seat of game number `game`."""
    r = game % players
    return tuple((seat + r) % players for seat in range(SEATS))


def finished_game(number: int, seats: tuple[int, ...], scores: list[int], record: bytes) -> GameResult:
    game = PyTegulo.from_bytes(record)
    rank, win_share = game.outcome("rank"), game.outcome("win_share")
    if rank is None or win_share is None or game.scores != scores:
        raise RuntimeError(f"game {number} ended with a record of an unfinished game")
    return GameResult(number, seats, tuple(scores), tuple(rank), tuple(win_share))


def play(
    players: Sequence[PlayerLike],
    games: int,
    *,
    seed: int = 0,
    batch: int | None = None,
    threads: int | None = None,
    progress: Callable[[int, int], None] | None = None,
    on_game: Callable[[GameResult], None] | None = None,
) -> ArenaResult:
    """Plays `games` games (rounded up to a multiple of the players) and measures the players.

    `progress(finished, total)` and `on_game(result)` hear of each game as it finishes.
    Ctrl-C (KeyboardInterrupt) raises `Interrupted`, whose `result` holds the games
    that had finished."""
    import numpy as np

    from tegulo_rl._batch import GameBatch

    chosen = check_players(players)
    if games < 1:
        raise ValueError(f"games must be at least 1, got {games}")
    if batch is not None and batch < 1:
        raise ValueError(f"batch must be at least 1, got {batch}")
    if threads is not None and threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    count = len(chosen)
    total = -(-games // count) * count
    size = min(total, DEFAULT_BATCH if batch is None else batch)
    names = tuple(label(p) for p in chosen)

    games_batch = GameBatch(size, seed=seed, threads=threads)
    # Slots with no game left play on, with their results ignored; a random player
    # (index `count`) holds their seats, so that they cost next to nothing.
    lineup: list[AnyPlayer] = [*chosen, Player("random")]
    seats = np.array([rotation(slot, count) for slot in range(size)], dtype=np.int64)
    slot_game = list(range(size))
    assigned = size
    results: list[GameResult] = []
    # Each player's thinking: seconds and moves, counted in games that are still to be reported.
    seconds = [0.0] * len(lineup)
    moves = [0] * len(lineup)

    def outcome(interrupted: bool) -> ArenaResult:
        return summarize(
            names,
            results,
            requested=games,
            games=total,
            seed=seed,
            batch=size,
            threads=games_batch.threads,
            interrupted=interrupted,
            thinking=tuple(Thinking(name, moves[p], seconds[p]) for p, name in enumerate(names)),
        )

    try:
        while len(results) < total:
            actions, spent, made = lineups.choose_timed(games_batch, lineup, seats)
            for p in range(len(lineup)):
                seconds[p] += spent[p]
                moves[p] += made[p]
            step = games_batch.step(actions)
            for slot in np.flatnonzero(step.terminated).tolist():
                number = slot_game[slot]
                if number >= 0:
                    record = step.final_records[slot].tobytes()
                    result = finished_game(number, tuple(seats[slot].tolist()), step.scores[slot].tolist(), record)
                    results.append(result)
                    if on_game:
                        on_game(result)
                    if progress:
                        progress(len(results), total)
                if assigned < total:
                    slot_game[slot], seats[slot] = assigned, rotation(assigned, count)
                    assigned += 1
                else:
                    slot_game[slot], seats[slot] = -1, count
    except KeyboardInterrupt:
        raise Interrupted(outcome(True)) from None
    return outcome(False)
