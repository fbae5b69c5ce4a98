"""The action mask of GameBatch.observe against its legal lists, over a batch that
loads fewer and more games between calls whose results are dropped: the blocks the
batch writes into are reused, their masks cleared from what they held before."""

import numpy as np
import pytest

import tegulo_rl._batch
from tegulo_rl import GameBatch, PyTegulo, players

from conftest import play_to_end

GameBatchClass = GameBatch  # players.search looks GameBatch up in tegulo_rl._batch, which a test replaces


def positions(count, seed):
    """Records of `count` games in play, from the opening to late in the game."""
    batch = GameBatchClass(count, threads=2, seed=seed)
    kept = []
    for step in range(60):
        batch.step_random()
        if step % 6 == 0:
            kept.append(batch.to_bytes())
    return np.concatenate(kept)


def lists_of(records):
    """Each record's legal actions, from a batch of their own."""
    obs = GameBatchClass.from_bytes(records, threads=1).observe()
    offsets = obs.legal_offsets
    return [obs.legal_actions[offsets[i] : offsets[i + 1]].tolist() for i in range(len(records))]


def mismatched_rows(mask, expected):
    """The rows of `mask` whose 1 entries are not the actions `expected` lists."""
    return [i for i, row in enumerate(mask) if np.flatnonzero(row).tolist() != sorted(expected[i])]


POOL = positions(100, seed=3)


@pytest.mark.parametrize("threads", [1, 2])
def test_masks_match_the_lists_as_the_batch_shrinks_and_grows(threads):
    rng = np.random.default_rng(threads)
    batch = GameBatchClass(100, threads=threads, seed=1)
    sizes = [100, 10, 100, 3, 57, 100, 1, 64, 99, 2, 100]
    legal_modes = ["mask", "both", "list", "mask", "both", "both", "list", "mask", "both"]
    calls = 0
    for n in sizes:
        records = POOL[rng.choice(len(POOL), n, replace=False)]
        batch.load(records)
        expected = lists_of(records)
        for legal in legal_modes[calls % 3 :][:4]:
            sorted_lists = bool(rng.integers(2))
            obs = batch.observe(legal, sorted=sorted_lists)
            calls += 1
            if obs.action_mask is not None:
                assert obs.action_mask.shape == (n, 36400)
                assert mismatched_rows(obs.action_mask, expected) == [], f"{legal} observe of {n} games"
            if obs.legal_actions is not None:
                offsets = obs.legal_offsets
                listed = [sorted(obs.legal_actions[offsets[i] : offsets[i + 1]].tolist()) for i in range(n)]
                assert listed == [sorted(e) for e in expected]
            del obs  # dropped: the next observe writes into the same block


class RecordingBatch:
    """GameBatch as players.search uses it, noting the leaves each round loads."""

    loaded: list[np.ndarray] = []

    def __init__(self, batch):
        self.batch = batch

    @classmethod
    def from_bytes(cls, records, **options):
        cls.loaded.append(np.array(records))
        return cls(GameBatchClass.from_bytes(records, **options))

    def load(self, records):
        type(self).loaded.append(np.array(records))
        self.batch.load(records)

    def observe(self, *args, **options):
        return self.batch.observe(*args, **options)

    def __len__(self):
        return len(self.batch)


def test_players_search_hands_its_evaluator_the_masks_of_its_leaves(monkeypatch):
    monkeypatch.setattr(tegulo_rl._batch, "GameBatch", RecordingBatch)
    RecordingBatch.loaded = []
    games = []
    for seed, moves in ((1, 40), (2, 55), (3, 62)):
        game = PyTegulo()
        for action in play_to_end(PyTegulo(), seed)[:moves]:
            game.step(action)
        games.append(game)
    wrong, sizes = [], set()

    def evaluator(obs):
        leaves = RecordingBatch.loaded[-1]
        sizes.add(len(leaves))
        bad = mismatched_rows(obs.action_mask, lists_of(leaves))
        if bad:
            wrong.append((len(RecordingBatch.loaded), bad))
        mask = obs.action_mask
        return mask.astype(np.float32), np.zeros((len(mask), 4), np.float32)

    chosen = players.search(games, evaluator, simulations=120, leaves=8, threads=2)
    assert len(RecordingBatch.loaded) > 10 and len(sizes) > 1, "the rounds' leaves were all alike: no test"
    assert wrong == []
    assert sum(action is not None for action in chosen) >= 2
