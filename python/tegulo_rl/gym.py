"""Gymnasium environments: one learner against three opponents (`pip install 'tegulo-rl[gymnasium]'`).

    import gymnasium
    import tegulo_rl  # registers "tegulo_rl/Tegulo-v0"

    env = gymnasium.make("tegulo_rl/Tegulo-v0", opponents="random", seat=0, reward_mode="rank")
    obs, info = env.reset(seed=0)
    obs, reward, terminated, truncated, info = env.step(env.action_space.sample())

    envs = gymnasium.make_vec("tegulo_rl/Tegulo-v0", num_envs=1024, vectorization_mode="vector_entry_point")

The learner plays one seat (`seat`, or None for a seat drawn at each reset from the
environment's seeded generator); the other three are played inside `step`:
`opponents` is one opponent for all three or a sequence of three, for the seats
after the learner's in turn order. An opponent is a built-in player ("random",
"greedy", "heuristic", "mcts:200", ...), a network player ("net", "net:PATH"), a
callable policy (`tegulo_rl.policy`: called once per batch step with the positions
of all the games it moves in), or a `tegulo_rl.pool.Pool` of them from which each
new game draws.

Observation (`observation="planes"`, the default, kept so that code and models
made for it go on working): a uint8 Box (33, 20, 20) of 0/1 planes, channels
first, in the learner's own frame (its starting corner at row 0, column 0): 4
planes of the cells each seat's pieces cover, 4 of the cells each seat can attach
at, 4 of the cells each seat can never fill (seat 0 the learner, then the others in
turn order), then 21 constant planes, one per piece kind, all ones when the learner
still holds that kind. A convolution takes it as it is. It leaves out which pieces
the other seats hold and whether they are done: `observation="dict"` gives the
whole position, nothing broadcast, as a `Dict` space: "board" uint8 (12, 20, 20)
(the first 12 planes above), "pieces" uint8 (4, 21) (the kinds each seat holds) and
"done" uint8 (4,) (whether each seat is out of moves), every seat listed from the
learner onwards. See `tegulo_rl.encoding`.

Action: `Discrete(36400)`, an index of the action grid (91 orientations x 20 rows x
20 columns) in the learner's frame. The legal actions come as `action_masks()` (the
method sb3-contrib's MaskablePPO calls; True is legal) and as `info["action_mask"]`,
with `info["legal_actions"]` listing them. An illegal or out-of-range action raises
ValueError and changes nothing. The action space's `sample()` draws from the legal
actions of the position the environment stands at (a plain `Discrete` would draw
illegal actions nearly always), so that `gymnasium.utils.env_checker.check_env` and
random agents step legally; `sample(mask=...)` behaves as `Discrete`'s. What it
returns is a `LegalDraw`: an int, legal where it was drawn, that also keeps the
draw itself (a fraction of the legal list). `check_env` draws an action and then
resets before playing it; a `LegalDraw` played in another position than its own
stands for the same fraction of that position's legal actions. Any other action
that is not legal is refused.

When the learner is out of moves its turns pass and the opponents play the game to
its end within the same step: the learner is never asked to act without a legal
action. The reward is the learner's final reward in `reward_mode` ("rank": 1, 2/3,
1/3, 0 by place, ties sharing; "win_share"; "score") on the step that ends the game,
0 before. Episodes never truncate. `reset(seed=...)` reproduces the whole episode,
the opponents' choices included (a policy's, if it is itself deterministic).

The vector environment steps all its games in native code and reports the legal
actions as a batch: `info["action_mask"]` (N, 36400) bool with `legal="mask"` (the
default), the lists `info["legal_actions"]` and `info["legal_offsets"]` (game i's are
`legal_actions[legal_offsets[i]:legal_offsets[i + 1]]`) with `legal="list"`, or both.
A mask it returned never changes afterwards. Its action space's `sample()` draws a
legal action for every game. It implements Gymnasium's NEXT_STEP autoreset (the
default: the step that ends a game returns its final observation; the next step
resets it, ignoring its action, and returns reward 0) and SAME_STEP (the step that
ends a game returns its new first observation, the final one in `info["final_obs"]`
and its info in `info["final_info"]`); `autoreset_mode` chooses. In NEXT_STEP, the
row of a game that has just ended lists one legal action, `tegulo_rl.legal.FINAL_ACTION`
(0), in its mask and its list alike, so that a masked softmax over every row stays
finite and a draw from every list finds an action; whatever action the game gets,
the env ignores it.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, SupportsFloat

import gymnasium
import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from tegulo_rl import _register_env, encoding
from tegulo_rl._views import board_text
from tegulo_rl.encoding import BOARD_SHAPE, KINDS, OBSERVATION_SHAPE, SEATS
from tegulo_rl.learner import LEGAL_MODES, NUM_ACTIONS, LearnerGames, Opponents
from tegulo_rl.legal import Lists, MaskBuffer, draw, with_final_rows

__all__ = [
    "ENV_ID",
    "LegalDiscrete",
    "LegalDraw",
    "LegalMultiDiscrete",
    "TeguloGymEnv",
    "TeguloVectorEnv",
    "observation_space",
    "register",
]

ENV_ID = "tegulo_rl/Tegulo-v0"
Obs = Any  # a uint8 array of planes, or a dict of them (observation="dict")


def observation_space(observation: str = "planes") -> spaces.Box | spaces.Dict:
    """The learner's observation space: the flat planes' Box, or the whole position's Dict."""
    if encoding.check_observation(observation) == "dict":
        return spaces.Dict(
            {
                "board": spaces.Box(0, 1, BOARD_SHAPE, dtype=np.uint8),
                "pieces": spaces.Box(0, 1, (SEATS, KINDS), dtype=np.uint8),
                "done": spaces.Box(0, 1, (SEATS,), dtype=np.uint8),
            }
        )
    return spaces.Box(0, 1, OBSERVATION_SHAPE, dtype=np.uint8)


class LegalDraw(int):
    """An action that `LegalDiscrete.sample()` drew: legal where drawn, and the draw as a fraction of the legal list."""

    fraction: float

    def __new__(cls, value: int, fraction: float) -> LegalDraw:
        draw = super().__new__(cls, value)
        draw.fraction = fraction
        return draw

    def resolve(self, legal: npt.NDArray[np.int64]) -> int:
        """This action if it is legal; else the same draw among `legal` (which must not be empty)."""
        if len(legal) == 0:
            return int(self)
        at = int(np.searchsorted(legal, int(self)))
        if at < len(legal) and legal[at] == int(self):
            return int(self)
        return int(legal[min(int(self.fraction * len(legal)), len(legal) - 1)])


class LegalDiscrete(spaces.Discrete):  # type: ignore[type-arg, unused-ignore]
    """`Discrete(36400)` whose `sample()` without a mask draws among the legal actions of the environment's position.

    `legal` returns those actions (an int64 array); when it is empty (the episode is
    over) `sample()` draws from the whole space, and `step` refuses the draw.
    """

    def __init__(self, legal: Any, seed: int | None = None) -> None:
        super().__init__(NUM_ACTIONS, seed=seed)
        self._legal = legal

    def sample(self, mask: Any = None, probability: Any = None) -> Any:
        if mask is not None or probability is not None:
            return super().sample(mask=mask, probability=probability)
        legal = self._legal()
        if len(legal) == 0:
            return super().sample()
        fraction = float(self.np_random.random())
        return LegalDraw(int(legal[int(fraction * len(legal))]), fraction)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, spaces.Discrete) and other.n == self.n and other.start == self.start

    def __hash__(self) -> int:
        return hash((self.n, int(self.start)))


class LegalMultiDiscrete(spaces.MultiDiscrete):  # type: ignore[type-arg, unused-ignore]
    """The vector env's action space, `MultiDiscrete([36400] * N)`, whose `sample()` without a mask
    draws a legal action for every game of the position the environment stands at."""

    def __init__(self, num_envs: int, lists: Any, seed: int | None = None) -> None:
        super().__init__(np.full(num_envs, NUM_ACTIONS, dtype=np.int64), seed=seed)
        self._lists = lists

    def sample(self, mask: Any = None, probability: Any = None) -> Any:
        if mask is not None or probability is not None:
            return super().sample(mask=mask, probability=probability)
        lists = self._lists()
        if lists is None:
            return super().sample()
        return draw(lists[0], lists[1], self.np_random)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, spaces.MultiDiscrete) and np.array_equal(other.nvec, self.nvec)

    def __hash__(self) -> int:
        return hash(("MultiDiscrete", self.nvec.tobytes()))


class TeguloGymEnv(gymnasium.Env[Obs, np.int64]):
    """One learner seat against three opponents; see the module's documentation."""

    metadata = {"render_modes": ["ansi"], "render_fps": 4}

    def __init__(
        self,
        opponents: Opponents = "random",
        seat: int | None = 0,
        reward_mode: str = "rank",
        render_mode: str | None = None,
        observation: str = "planes",
    ) -> None:
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(f"Unknown render_mode {render_mode!r}: expected None or 'ansi'")
        self.render_mode = render_mode
        self._games = LearnerGames(1, opponents, seat, reward_mode, threads=1, seed=0, observation=observation)
        self.observation_space = observation_space(observation)  # type: ignore[assignment, unused-ignore]
        self.action_space = LegalDiscrete(self._legal)
        self._over = True
        self._final: bytes | None = None
        self._mask = np.zeros(NUM_ACTIONS, dtype=bool)
        self._legal_list = np.zeros(0, dtype=np.int64)

    @property
    def seat(self) -> int:
        """The learner's seat (agent number) in the current game."""
        return int(self._games.seat[0])

    def _legal(self) -> npt.NDArray[np.int64]:
        return self._legal_list

    def action_masks(self) -> npt.NDArray[np.bool_]:
        """The learner's legal actions as a bool (36400,) mask; all False once the episode is over."""
        return self._mask

    def _observe(self) -> tuple[Obs, dict[str, Any]]:
        obs = self._games.observe("both")
        assert obs.action_mask is not None and obs.legal_actions is not None
        self._mask = obs.action_mask[0]
        self._legal_list = obs.legal_actions
        return encoding.row(self._games.encode(obs), 0), self._info()

    def _info(self) -> dict[str, Any]:
        return {"action_mask": self._mask, "legal_actions": self._legal_list, "seat": self.seat}

    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None) -> tuple[Obs, dict[str, Any]]:
        super().reset(seed=seed)
        self._games.reset(int(self.np_random.integers(2**63)))
        self._over = False
        self._final = None
        return self._observe()

    def step(self, action: Any) -> tuple[Obs, SupportsFloat, bool, bool, dict[str, Any]]:
        if self._over:
            raise gymnasium.error.ResetNeeded("The episode is over: call reset() before step()")
        if isinstance(action, (bool, np.bool_)) or not isinstance(action, (int, np.integer)):
            if not (isinstance(action, np.ndarray) and action.shape == () and action.dtype.kind in "iu"):
                raise TypeError(f"action must be an int, got {type(action).__name__}")
        a = action.resolve(self._legal_list) if isinstance(action, LegalDraw) else int(action)
        if not 0 <= a < NUM_ACTIONS:
            raise ValueError(f"action {a} is out of range: actions are 0 to {NUM_ACTIONS - 1}")
        if not self._mask[a]:
            raise ValueError(f"action {a} is not legal for the learner (seat {self.seat}) in this position")
        seat = self.seat
        result = self._games.step(np.array([a]))
        if not result.terminated[0]:
            obs, info = self._observe()
            return obs, 0.0, False, False, info
        self._over = True
        self._final = result.final_records[0]
        self._mask = np.zeros(NUM_ACTIONS, dtype=bool)
        self._legal_list = np.zeros(0, dtype=np.int64)
        info = {"action_mask": self._mask, "legal_actions": self._legal_list, "seat": seat}
        info["scores"] = result.scores[0]
        return result.final_observation[0], float(result.rewards[0]), True, False, info

    def render(self) -> str | None:  # type: ignore[override, unused-ignore]
        if self.render_mode != "ansi":
            return None
        from tegulo_rl._tegulo import PyTegulo

        game = PyTegulo.from_bytes(self._final) if self._final is not None else self._games.batch.game(0)
        return board_text(game)


class TeguloVectorEnv(VectorEnv[Obs, npt.NDArray[np.int64], Any]):
    """N games of one learner against its opponents, stepped together in native code; see the module."""

    metadata = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": []}

    def __init__(
        self,
        num_envs: int,
        opponents: Opponents = "random",
        seat: int | None = 0,
        reward_mode: str = "rank",
        legal: str = "mask",
        autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP,
        threads: int | None = None,
        render_mode: str | None = None,
        observation: str = "planes",
    ) -> None:
        if legal not in LEGAL_MODES:
            raise ValueError(f"Unknown legal {legal!r}: expected one of {', '.join(LEGAL_MODES)}")
        modes = {"next_step": AutoresetMode.NEXT_STEP, "same_step": AutoresetMode.SAME_STEP}
        mode = modes.get(str(autoreset_mode).lower(), autoreset_mode)
        if mode not in modes.values():
            raise ValueError(f"autoreset_mode must be AutoresetMode.NEXT_STEP or SAME_STEP, got {autoreset_mode!r}")
        if render_mode is not None:
            raise ValueError("The vector environment does not render")
        self._games = LearnerGames(
            num_envs, opponents, seat, reward_mode, threads=threads, seed=0, observation=observation
        )
        self.num_envs = self._games.num_games
        self.legal = legal
        self.metadata = {**self.metadata, "autoreset_mode": mode}
        self.render_mode = render_mode
        self.single_observation_space = observation_space(observation)
        self.single_action_space = spaces.Discrete(NUM_ACTIONS)
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = LegalMultiDiscrete(self.num_envs, lambda: self._lists)
        self._autoreset = np.zeros(self.num_envs, dtype=bool)
        self._masks = MaskBuffer(self.num_envs)
        self._mask_due = True
        self._lists: Lists | None = None

    @property
    def autoreset_mode(self) -> AutoresetMode:
        mode: AutoresetMode = self.metadata["autoreset_mode"]
        return mode

    @property
    def seats(self) -> npt.NDArray[np.int64]:
        """(N,): the learner's seat in each current game."""
        return self._games.seat.copy()

    @property
    def pools(self) -> list[Any]:
        """The pools the three opponent seats draw from (a fixed opponent is a pool of one)."""
        return list(self._games.pools)

    def action_masks(self) -> npt.NDArray[np.bool_]:
        """(N, 36400) bool: every game's legal actions, as the step's info reports them (made here from
        the lists when the env reports lists only)."""
        if self._lists is None:
            raise gymnasium.error.ResetNeeded("call reset() before action_masks()")
        if self._mask_due:
            self._masks.fill(*self._lists)
            self._mask_due = False
        return self._masks.view

    def _observe(self, infos: dict[str, Any], ended: npt.NDArray[np.bool_] | None = None) -> Obs:
        """The observation of every game and the legal actions into `infos`; games `ended` get the
        one legal entry of a final row (their observation is the caller's to put)."""
        obs = self._games.observe("list", sorted=self.legal != "mask")
        assert obs.legal_actions is not None and obs.legal_offsets is not None
        lists = (obs.legal_actions, obs.legal_offsets)
        if ended is not None:
            lists = with_final_rows(*lists, ended)
        self._lists = lists
        self._mask_due = True
        if self.legal != "list":
            infos["action_mask"] = self.action_masks()
            infos["_action_mask"] = np.ones(self.num_envs, dtype=bool)
        if self.legal != "mask":
            infos["legal_actions"], infos["legal_offsets"] = lists
        infos["seat"] = self._games.seat.copy()
        infos["_seat"] = np.ones(self.num_envs, dtype=bool)
        return self._games.encode(obs)

    def reset(
        self, *, seed: int | Sequence[int] | None = None, options: dict[str, Any] | None = None
    ) -> tuple[Obs, dict[str, Any]]:
        if seed is not None and not isinstance(seed, (int, np.integer)):
            raise TypeError("seed must be one int: the games' streams follow from it")
        super().reset(seed=seed)
        if seed is not None:
            self.action_space.seed(int(self.np_random.integers(2**63)))
        self._games.reset(int(self.np_random.integers(2**63)))
        self._autoreset[:] = False
        infos: dict[str, Any] = {}
        return self._observe(infos), infos

    def step(
        self, actions: npt.ArrayLike
    ) -> tuple[Obs, npt.NDArray[np.float32], npt.NDArray[np.bool_], npt.NDArray[np.bool_], dict[str, Any]]:
        hold = self._autoreset if self._autoreset.any() else None
        result = self._games.step(actions, hold=hold)
        infos: dict[str, Any] = {}
        ended = result.terminated
        next_step = self.autoreset_mode == AutoresetMode.NEXT_STEP
        obs = self._observe(infos, ended if next_step and ended.any() else None)
        if ended.any():
            finals = np.flatnonzero(ended)
            if next_step:
                assert result.finals is not None
                encoding.put(obs, finals, result.finals)
                infos["seat"][finals] = result.final_seat[finals]
                infos["scores"] = result.scores
                infos["_scores"] = ended.copy()
            else:
                rows = np.full(self.num_envs, None, dtype=object)
                for i in finals.tolist():
                    rows[i] = result.final_observation[i]
                infos["final_obs"] = rows
                infos["_final_obs"] = ended.copy()
                infos["final_info"] = {
                    "seat": result.final_seat,
                    "_seat": ended.copy(),
                    "scores": result.scores,
                    "_scores": ended.copy(),
                }
                infos["_final_info"] = ended.copy()
        self._autoreset = ended.copy() if next_step else np.zeros_like(ended)
        truncated = np.zeros(self.num_envs, dtype=bool)
        return obs, result.rewards, ended.copy(), truncated, infos


def register() -> None:
    """Registers "tegulo_rl/Tegulo-v0" with Gymnasium (done by `import tegulo_rl` whenever Gymnasium is there)."""
    _register_env()


register()
