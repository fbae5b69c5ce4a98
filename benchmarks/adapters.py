"""Speed and legality of the training adapters, against the GameBatch and PyTegulo loops underneath them.

    PYTHONPATH=build/test-py311/python python benchmarks/adapters.py speed --games 1024 --seconds 20 --rounds 5
    PYTHONPATH=build/test-py311/python python benchmarks/adapters.py legal --steps 1000000

speed: learner steps per second (each includes the three opponents' moves) of the
Gymnasium vector env with legal lists and with masks, each in NEXT_STEP and
SAME_STEP autoreset (the actions are drawn by the action space's legal sampler in
all four, so that the differences are the masks' and the autoreset's cost), of the
SB3 VecEnv (whose masks MaskablePPO stacks, and picks from), and of the loop they
run on (a GameBatch stepped with the learner's random legal action and the three
opponents' step_players calls); then the single env against a one-game batch loop,
and the RLlib env against a PyTegulo loop; each adapter's overhead as a ratio to its
loop, in the same run. The loop and the four vector env runs take turns, `--rounds`
rounds of `--seconds` / rounds each, so that a machine whose load changes meanwhile
weighs on all of them alike. Last, the vector env against a pool of two Python
policies (each playing its games' first legal action) and random, with the number of
calls per policy per learner step.

legal: `--steps` learner steps of random legal actions, drawn from what each adapter
reports (its lists, its masks, its action space's sample), through every adapter;
each refuses an illegal action with ValueError, so a run that ends played none. It
also checks that every reported reward is within the reward mode's range.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from typing import Any

import numpy as np

from tegulo_rl import GameBatch, PyTegulo, players


def rate(run: Callable[[], int], seconds: float) -> float:
    """Learner steps per second of `run` (which returns the steps it made), repeated for `seconds`."""
    run()  # warm-up
    steps, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        steps += run()
    return steps / (time.perf_counter() - start)


def rates(runs: dict[str, Callable[[], int]], seconds: float, rounds: int) -> dict[str, float]:
    """Learner steps per second of each run, the runs taking turns for `rounds` rounds."""
    for run in runs.values():
        run()  # warm-up
    steps = dict.fromkeys(runs, 0)
    spent = dict.fromkeys(runs, 0.0)
    for _ in range(rounds):
        for name, run in runs.items():
            start = time.perf_counter()
            while time.perf_counter() - start < seconds / rounds:
                steps[name] += run()
            spent[name] += time.perf_counter() - start
    return {name: steps[name] / spent[name] for name in runs}


def pick(actions: np.ndarray, offsets: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    counts = np.diff(offsets)
    at = offsets[:-1] + rng.integers(np.maximum(counts, 1))
    return np.where(counts > 0, np.append(actions, 0)[np.minimum(at, offsets[-1])], 0)


def batch_loop(games: int, rng: np.random.Generator) -> Callable[[], int]:
    """The loop the vector adapters run on: observe, then the learner's move and its opponents' in one call."""
    batch = GameBatch(games, seed=0)

    def run() -> int:
        obs = batch.observe("list")
        assert obs.legal_actions is not None and obs.legal_offsets is not None
        batch.step_learners(pick(obs.legal_actions, obs.legal_offsets, rng), "random")
        return games

    return run


def four_calls(games: int, rng: np.random.Generator) -> Callable[[], int]:
    """The same moves in four batch calls (a step and three step_players), as before the native learner step."""
    batch = GameBatch(games, seed=0)

    def run() -> int:
        obs = batch.observe("list")
        assert obs.legal_actions is not None and obs.legal_offsets is not None
        batch.step(pick(obs.legal_actions, obs.legal_offsets, rng))
        for _ in range(3):
            batch.step_players("random")
        return games

    return run


def vector_run(env: Any) -> Callable[[], int]:
    """Steps of a vector env with its action space's legal draws."""
    env.reset(seed=0)

    def run() -> int:
        env.step(env.action_space.sample())
        return int(env.num_envs)

    return run


def speed(games: int, seconds: float, rounds: int) -> None:
    from tegulo_rl.gym import TeguloGymEnv, TeguloVectorEnv

    rng = np.random.default_rng(0)
    print(f"{games} games, random opponents, {seconds:.0f} s each")
    runs = {"loop": batch_loop(games, rng)}
    for legal in ("list", "mask"):
        for mode in ("next_step", "same_step"):
            runs[f"{legal} {mode}"] = vector_run(TeguloVectorEnv(games, legal=legal, autoreset_mode=mode))
    measured = rates(runs, seconds, rounds)
    base = measured["loop"]
    print(f"  GameBatch loop (observe lists, step_learners):          {base:10.0f} learner steps/s")
    calls = rate(four_calls(games, rng), seconds)
    print(f"  GameBatch loop (observe lists, step, 3 x step_players): {calls:10.0f} learner steps/s")
    for legal in ("list", "mask"):
        for mode in ("next_step", "same_step"):
            r = measured[f"{legal} {mode}"]
            print(
                f"  TeguloVectorEnv legal={legal!r:6} {mode.upper():9}: {r:10.0f} learner steps/s, "
                f"{base / r:5.2f} x the loop's time"
            )
        ratio = measured[f"{legal} same_step"] / measured[f"{legal} next_step"]
        print(f"    legal={legal!r}: NEXT_STEP takes {ratio:.2f} x the time of SAME_STEP")
    try:
        from tegulo_rl.sb3 import TeguloVecEnv
    except ImportError:
        print("  TeguloVecEnv: stable-baselines3 is not installed")
    else:
        vec = TeguloVecEnv(games, seed=0)
        vec.reset()

        def run_sb3() -> int:
            masks = np.stack(vec.env_method("action_masks"))
            vec.step(np.argmax(masks * rng.random(masks.shape, np.float32), 1))
            return games

        r = rate(run_sb3, seconds)
        print(f"  TeguloVecEnv (SB3, masks):       {r:10.0f} learner steps/s, {base / r:5.2f} x the loop's time")

    one = rate(batch_loop(1, rng), seconds)
    single = TeguloGymEnv()
    single_state = {"info": single.reset(seed=0)[1]}

    def run_single() -> int:
        legal = single_state["info"]["legal_actions"]
        _, _, done, _, info = single.step(int(legal[rng.integers(len(legal))]))
        single_state["info"] = single.reset()[1] if done else info
        return 1

    r = rate(run_single, seconds)
    print(f"  one-game GameBatch loop:         {one:10.0f} learner steps/s")
    print(f"  TeguloGymEnv (single):           {r:10.0f} learner steps/s, {one / r:5.2f} x the loop's time")

    game = PyTegulo()

    def run_game() -> int:
        nonlocal game
        steps = 0
        while steps < 4 and not game.is_over:
            agent = game.agent_selection
            if game.terminations[agent]:
                game.step(None)
                continue
            game.step(players.choose(game, "random", seed=int(rng.integers(2**31))))
            steps += 1
        if game.is_over:
            game = PyTegulo()
        return 1

    g = rate(run_game, seconds)
    print(f"  PyTegulo loop (4 random moves):  {g:10.0f} learner steps/s")
    try:
        from tegulo_rl.rllib import TeguloMultiAgentEnv
    except ImportError:
        print("  TeguloMultiAgentEnv: ray[rllib] is not installed")
        return
    env = TeguloMultiAgentEnv({"opponents": "random"})
    obs_state = {"obs": env.reset(seed=0)[0]}

    def run_rllib() -> int:
        ((name, view),) = obs_state["obs"].items()
        legal = np.flatnonzero(view["action_mask"])
        obs, _, term, _, _ = env.step({name: int(legal[rng.integers(len(legal))])})
        obs_state["obs"] = env.reset()[0] if term["__all__"] else obs
        return 1

    r = rate(run_rllib, seconds)
    print(f"  TeguloMultiAgentEnv (RLlib):     {r:10.0f} learner steps/s, {g / r:5.2f} x the loop's time")


def pool_speed(games: int, seconds: float) -> None:
    """The vector env against a pool of two Python policies and random: steps per second, calls per step."""
    from tegulo_rl.gym import TeguloVectorEnv
    from tegulo_rl.pool import Pool

    calls = [0, 0]

    def policy(k: int) -> Callable[[Any], Any]:
        def first(observation: Any) -> Any:
            calls[k] += 1
            return observation.legal_actions[observation.legal_offsets[:-1]]

        return first

    env = TeguloVectorEnv(games, opponents=Pool([policy(0), policy(1), "random"]), legal="list", seat=None)
    run = vector_run(env)
    run()
    calls[:] = [0, 0]
    steps, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        steps += run() // games
    r = steps * games / (time.perf_counter() - start)
    print(
        f"  TeguloVectorEnv, a pool of two Python policies and random: {r:10.0f} learner steps/s; "
        f"calls per policy per learner step: {calls[0] / steps:.2f} and {calls[1] / steps:.2f} ({games} games)"
    )


def legal(steps: int, games: int, only: list[str]) -> None:
    rng = np.random.default_rng(1)

    def report(name: str, done: int, ended: int, rewards: list[float], start: float) -> None:
        low, high = (min(rewards), max(rewards)) if rewards else (float("nan"), float("nan"))
        assert all(0.0 <= r <= 1.0 for r in rewards), (name, low, high)
        print(
            f"  {name}: {done} learner steps of random legal actions, {ended} games ended, rewards in "
            f"[{low:.3f}, {high:.3f}], no illegal action ({time.perf_counter() - start:.0f} s)",
            flush=True,
        )

    if "vector" in only:
        from tegulo_rl.gym import TeguloVectorEnv

        for mode in ("next_step", "same_step"):
            start = time.perf_counter()
            env = TeguloVectorEnv(
                games, opponents=["random", "greedy", "random"], seat=None, legal="both", autoreset_mode=mode
            )
            _, infos = env.reset(seed=0)
            done, ended, rewards = 0, 0, []
            while done < steps:
                if rng.random() < 0.5:
                    actions = pick(infos["legal_actions"], infos["legal_offsets"], rng)
                else:
                    mask = infos["action_mask"]
                    actions = np.argmax(mask * rng.random(mask.shape, np.float32), 1)
                _, reward, term, _, infos = env.step(actions)
                done += games
                ended += int(term.sum())
                rewards += reward[term].tolist()
            report(f"TeguloVectorEnv {mode}", done, ended, rewards, start)
    if "sb3" in only:
        from tegulo_rl.sb3 import TeguloVecEnv

        start = time.perf_counter()
        vec = TeguloVecEnv(games, opponents="random", seat=None, seed=0)
        vec.reset()
        done, ended, rewards = 0, 0, []
        while done < steps:
            masks = np.stack(vec.env_method("action_masks"))
            _, reward, dones, _ = vec.step(np.argmax(masks * rng.random(masks.shape, np.float32), 1))
            done += games
            ended += int(dones.sum())
            rewards += reward[dones].tolist()
        report("TeguloVecEnv (SB3)", done, ended, rewards, start)
    if "single" in only:
        from tegulo_rl.gym import TeguloGymEnv

        start = time.perf_counter()
        single = TeguloGymEnv(opponents="random", seat=None)
        single.reset(seed=0)
        done, ended, rewards = 0, 0, []
        while done < steps:
            _, reward, term, _, _ = single.step(single.action_space.sample())
            done += 1
            if term:
                ended += 1
                rewards.append(float(reward))
                single.reset()
        report("TeguloGymEnv (action_space.sample)", done, ended, rewards, start)
    if "rllib" in only:
        from tegulo_rl.rllib import TeguloMultiAgentEnv

        start = time.perf_counter()
        env = TeguloMultiAgentEnv()
        obs, _ = env.reset(seed=0)
        done, ended, rewards = 0, 0, []
        while done < steps:
            ((name, _),) = obs.items()
            obs, reward, term, _, _ = env.step({name: env.action_spaces[name].sample()})
            done += 1
            if term["__all__"]:
                ended += 1
                rewards += list(reward.values())
                obs, _ = env.reset()
        report("TeguloMultiAgentEnv (RLlib, self-play, action_space.sample)", done, ended, rewards, start)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=("speed", "legal"))
    parser.add_argument("--games", type=int, default=1024)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--rounds", type=int, default=5, help="speed: turns the vector env runs take")
    parser.add_argument("--steps", type=int, default=10**6)
    parser.add_argument("--only", default="vector,sb3,single,rllib", help="legal: the adapters to run")
    args = parser.parse_args()
    if args.what == "speed":
        speed(args.games, args.seconds, args.rounds)
        pool_speed(args.games, args.seconds)
    else:
        print(f"{args.steps} learner steps through each adapter")
        legal(args.steps, args.games, args.only.split(","))


if __name__ == "__main__":
    main()
