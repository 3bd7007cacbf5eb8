"""analysis/line_limits.py's estimators against lines with a known answer."""

import numpy as np
import pytest

import line_limits as ll


@pytest.mark.parametrize("rate,block", [(1.0, 1024), (1 + 1e-3, 48), (0.999, 256)])
def test_blocks_on_time_give_every_estimator_the_rate(rate, block):
    t = np.arange(400) * block / rate
    y = np.arange(400) * float(block)
    for name, f in ll.ESTIMATORS:
        assert f(t, y) == pytest.approx(rate, rel=1e-9), name


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_the_earliest_edge_is_the_hull_edge_across_the_middle(seed):
    # No block lies ahead of the edge, and it touches one block in each half.
    rng = np.random.default_rng(seed)
    n = 300
    t = np.arange(n) * 1024.0 + rng.uniform(0, 96, n)
    y = np.arange(n) * 1024.0
    r = ll.upper_bridge(t, y)
    ahead = y - r * t
    top = ahead.max()
    touch = np.flatnonzero(ahead >= top - 1e-6)
    assert touch.min() < n // 2 <= touch.max()
