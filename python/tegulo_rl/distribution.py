"""A categorical distribution over each position's legal actions alone, for policies over the action grid.

A policy head gives 36,400 logits a position, of which a few hundred at most are
legal. A masked softmax (what `torch.distributions.Categorical` does with masked
logits, and MaskablePPO twice over) takes the exponential of all 36,400 for every
log-probability, entropy and sample; `LegalCategorical` gathers the legal entries
once (the mask's nonzero entries, row by row) and computes everything over those:
the same distribution, exactly, at a few percent of the work. Gradients reach the
logits of the legal entries only, as with the masked softmax, where the others'
are zero.

Needs torch. `bf16_default` says whether the processor has bf16 matrix units (AMX),
where the grid policies run their convolutions in bfloat16 by default.
"""

from __future__ import annotations

import functools

import torch


class LegalCategorical:
    """Categorical over the legal entries of each row of `logits` (N, A); `mask` (N, A) bool marks them.
    A row with no legal entry (a learner may compute one for a final position) has no entry to
    sample and entropy 0, and every number about it stays finite."""

    def __init__(self, logits: torch.Tensor, mask: torch.Tensor) -> None:
        self.logits = logits
        self.rows, self.columns = mask.nonzero(as_tuple=True)
        n = logits.shape[0]
        values = logits[self.rows, self.columns].float()
        top = torch.zeros(n, device=logits.device).scatter_reduce(
            0, self.rows, values.detach(), "amax", include_self=False
        )
        shifted = values - top[self.rows]
        total = torch.zeros(n, device=logits.device).index_add(0, self.rows, shifted.exp())
        log_total = total.clamp_min(torch.finfo(torch.float32).tiny).log()
        self.norm = top + log_total
        # The log-probability of every legal entry, row after row.
        self.entry_log_prob = shifted - log_total[self.rows]

    def log_prob(self, actions: torch.Tensor) -> torch.Tensor:
        """The log-probability of each row's action (which must be legal)."""
        chosen = self.logits.gather(1, actions.long().reshape(-1, 1)).squeeze(1).float()
        return chosen - self.norm

    def entropy(self) -> torch.Tensor:
        p = self.entry_log_prob.exp()
        return -torch.zeros_like(self.norm).index_add(0, self.rows, p * self.entry_log_prob)

    def kl(self, other: LegalCategorical) -> torch.Tensor:
        """KL(self || other), row by row, over this distribution's legal entries (read in `other`'s logits)."""
        p = self.entry_log_prob.exp()
        theirs = other.logits[self.rows, self.columns].float() - other.norm[self.rows]
        return torch.zeros_like(self.norm).index_add(0, self.rows, p * (self.entry_log_prob - theirs))

    def _best(self, keys: torch.Tensor) -> torch.Tensor:
        """Each row's column of the entry with the highest key (the first of equals; 0 in a row with none)."""
        n = self.norm.shape[0]
        best = torch.full((n,), -torch.inf, device=keys.device).scatter_reduce(
            0, self.rows, keys, "amax", include_self=True
        )
        hit = torch.nonzero(keys == best[self.rows]).squeeze(1)
        first = torch.full((n,), len(keys), dtype=torch.long, device=keys.device).scatter_reduce(
            0, self.rows[hit], hit, "amin", include_self=True
        )
        return torch.cat([self.columns, self.columns.new_zeros(1)])[first]

    def sample(self, generator: torch.Generator | None = None) -> torch.Tensor:
        """One action per row, drawn by the Gumbel-max trick over the legal entries."""
        with torch.no_grad():
            uniform = torch.rand(self.entry_log_prob.shape, generator=generator, device=self.logits.device)
            gumbel = -torch.log(-torch.log(uniform.clamp(1e-20, 1.0 - 1e-7)))
            return self._best(self.entry_log_prob.detach() + gumbel)

    def mode(self) -> torch.Tensor:
        """Each row's most probable legal action."""
        with torch.no_grad():
            return self._best(self.entry_log_prob.detach())


@functools.cache
def bf16_default() -> bool:
    """Whether the processor has bf16 matrix units (AMX tiles), where bfloat16 convolutions pay."""
    try:
        return bool(torch.cpu._is_amx_tile_supported())
    except AttributeError:
        return False
