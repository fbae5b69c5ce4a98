"""The default az with even priors: the network's choice of root actions taken away (16 drawn at random)."""
import numpy as np

from tegulo_rl import arena
from tegulo_rl.lineup import NetPlayer
from tegulo_rl.net import player as net_player


def even(net, device="cpu"):
    def evaluate_leaves(obs):
        n = len(obs.current_agent)
        return np.zeros((n, 36400), np.float32), np.full((n, 4), 0.5, np.float32)
    evaluate_leaves.gives_logits = True
    return evaluate_leaves

net_player.evaluator = even
r = arena.play([NetPlayer("az", gumbel_scale=1.0), "mcts:200"], 400, seed=7)
print(r.report())
