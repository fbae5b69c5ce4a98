"""The categorical over legal actions alone that the grid policies sample from and learn with."""

import numpy as np
import pytest

torch = pytest.importorskip("torch", reason="torch is not installed for this interpreter (no wheel)")

from tegulo_rl.distribution import LegalCategorical  # noqa: E402


def test_the_legal_distribution_is_the_masked_softmax_over_the_legal_actions():
    torch.manual_seed(0)
    logits = torch.randn(6, 300, requires_grad=True)
    mask = torch.rand(6, 300) < 0.05
    mask[np.arange(6), torch.randint(300, (6,))] = True  # every row has a legal action
    mask[5] = False
    mask[5, 7] = True  # and one has exactly one
    legal = LegalCategorical(logits, mask)
    dense = torch.distributions.Categorical(logits=logits.masked_fill(~mask, float("-inf")))
    actions = dense.sample((50,))
    for drawn in actions:
        torch.testing.assert_close(legal.log_prob(drawn), dense.log_prob(drawn))
    probabilities = dense.probs
    torch.testing.assert_close(legal.entropy(), -(probabilities * dense.logits.clamp(min=-1e30)).nansum(1))
    other = LegalCategorical(logits.detach() * 0.5, mask)
    expected = probabilities * (dense.logits - torch.log_softmax(logits.masked_fill(~mask, -1e30) * 0.5, 1))
    torch.testing.assert_close(legal.kl(other), expected.masked_fill(~mask, 0).sum(1))
    assert mask[np.arange(6), legal.mode()].all() and legal.mode().tolist() == probabilities.argmax(1).tolist()
    draws = torch.stack([legal.sample() for _ in range(400)])
    assert mask[np.arange(6), draws].all() and (draws[:, 5] == 7).all()
    # The draws follow the probabilities: the most probable action of row 0 comes up about as often as it should.
    top = probabilities[0].argmax()
    assert abs((draws[:, 0] == top).float().mean() - probabilities[0, top]) < 0.1
    # Gradients reach the legal logits alone, as the masked softmax's do.
    legal.log_prob(actions[0]).sum().backward()
    grad = logits.grad.clone()
    logits.grad = None
    dense.log_prob(actions[0]).sum().backward()
    torch.testing.assert_close(grad, logits.grad)


def test_a_row_with_no_legal_entry_keeps_every_number_and_gradient_finite():
    # A learner computes its policy on final positions too (to bootstrap values), and masks the rows out after.
    logits = torch.randn(3, 50, requires_grad=True)
    mask = torch.zeros(3, 50, dtype=torch.bool)
    mask[0, [3, 9]] = True
    mask[2, 40] = True
    legal = LegalCategorical(logits, mask)
    other = LegalCategorical(logits.detach() + 1, torch.zeros_like(mask))
    actions = torch.tensor([9, 0, 40])
    kept = torch.tensor([True, False, True])
    numbers = [legal.log_prob(actions), legal.entropy(), legal.kl(other), other.log_prob(actions)]
    assert all(torch.isfinite(x).all() for x in numbers) and legal.entropy()[1] == 0
    assert legal.mode()[[0, 2]].tolist() == [int(logits[0, [3, 9]].argmax() * 6 + 3), 40]
    torch.masked_select(legal.log_prob(actions) + legal.entropy(), kept).sum().backward()
    assert torch.isfinite(logits.grad).all() and not logits.grad[1].any()
