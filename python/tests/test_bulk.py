"""The bulk paths against one host call per list, bit for bit: fold statistics over long arrays
(called over chunks) and several percentiles of one list (one ordering), on lists built to trip
them."""
import subprocess
import sys

import numpy as np
import pytest
from conftest import MISSING, bits, same

import qvewumth as qv

FOLDS = ["n", "nmiss", "sum", "mean", "min", "max", "range"]
# Lengths at the edges of the host's chunks of 4096 values.
LENGTHS = [0, 1, 2, 4095, 4096, 4097, 8193]


def adversarial(n, seed=36):
    """Every missing value, both zeros, infinities, NaN, the ends of the range, values across 600 binades."""
    rng = np.random.default_rng(seed)
    special = np.array(MISSING + [0.0, -0.0, np.inf, -np.inf, np.nan, 1.7976931348623157e308, -5e-324, 1.0, 1.0])
    x = np.ldexp(rng.uniform(-1, 1, n), rng.integers(-300, 301, n))
    pick = rng.random(n) < 0.2
    x[pick] = special[rng.integers(0, len(special), pick.sum())]
    return x


def ends(n, x, last):
    a = np.full(n, x)
    if n:
        a[-1] = last
    return a


LISTS = {
    "adversarial": adversarial,
    "equal values, the last differs": lambda n: ends(n, 0.1, 0.2),
    "all missing but the last": lambda n: ends(n, qv.missing("Q"), -0.0),
    "infinities of both signs": lambda n: np.where(np.arange(n) % 4097 == 7, np.inf, ends(n, 1.0, -np.inf)),
}


@pytest.mark.parametrize("name", FOLDS)
@pytest.mark.parametrize("kind", LISTS)
def test_fold_statistics_are_one_call_over_the_whole_list(host, name, kind):
    fn = getattr(qv, name)
    with qv.errstate(all="ignore"):
        for n in LENGTHS:
            x = LISTS[kind](n)
            got = qv.status(fn, x)
            same((got.result, got.status, ()), host.over(name.upper(), [], x)[:2] + ((),))
            # Every other value (a stride), and rows long enough to be called one at a time.
            assert bits(fn(x[::2])) == bits(host.over(name.upper(), [], x[::2])[0])
            rows = np.stack([x, x[::-1]])
            assert np.array_equal(bits(fn(rows, axis=1)), bits([host.over(name.upper(), [], r)[0] for r in rows]))


PERCENTS = [0, 100, 50, 25, 75, 12.5, 10, 90, 100 / 3, 99.9, 37.5, -1, 101, np.nan, None]


def zeros_and_ties(n):
    rng = np.random.default_rng(n)
    x = rng.integers(-2, 3, n).astype(float)
    x[::3] = np.where(rng.random(len(x[::3])) < 0.5, 0.0, -0.0)
    x[::11] = np.nan
    x[::13] = qv.missing("B")
    return x


@pytest.mark.parametrize("name", ["pctl", "pctl1", "pctl2", "pctl3", "pctl4", "pctl5"])
@pytest.mark.parametrize("make", [adversarial, zeros_and_ties], ids=["adversarial", "zeros and ties"])
def test_several_percentiles_are_one_call_each(host, name, make):
    fn = getattr(qv, name)
    with qv.errstate(all="ignore"):
        for n in [0, 1, 2, 3, 4, 8, 9, 100, 1001]:
            x = make(n)
            got = qv.status(fn, x, PERCENTS)
            assert got.result.shape == (len(PERCENTS),) and got.marks.shape == (len(PERCENTS), n + 1)
            for k, p in enumerate(PERCENTS):
                want = host.over(name.upper(), [qv.DOT if p is None else p], x)
                same((got.result[k], got.status[k], got.marks[k]), want)
            shaped = fn(x, np.reshape(PERCENTS[:6], (2, 3)))
            assert np.array_equal(bits(shaped), bits(np.reshape(got.result[:6], (2, 3))))


def test_several_percentiles_along_an_axis(host):
    a = np.stack([adversarial(300, seed) for seed in range(3)])
    a[1, ::5] = -0.0
    got = qv.status(qv.pctl3, a, [[5, 50], [95, 101]], axis=1)
    assert got.result.shape == (2, 2, 3) and got.marks.shape == (2, 2, 3, 301)
    for i, p in enumerate([5, 50, 95, 101]):
        for j, row in enumerate(a):
            same((got.result.reshape(4, 3)[i, j], got.status.reshape(4, 3)[i, j], got.marks.reshape(4, 3, -1)[i, j]),
                 host.over("PCTL3", [p], row))


PEAK = """
import sys, numpy as np, qvewumth as qv
x = np.random.default_rng(1).normal(size=4 * 10**6)
qv.sum(x[:10])
def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = status("VmRSS:")
for name in sys.argv[1:]:
    getattr(qv, name)(x)
print((status("VmHWM:") - base) / x.size)
"""


def test_folds_and_medians_lay_out_no_list_of_the_whole_array():
    # A list of the whole array would be 16 bytes a value; the chunks are 100 KB in all, and a
    # median keeps a few values in a hundred.
    folds = subprocess.run([sys.executable, "-c", PEAK] + FOLDS + ["median"], capture_output=True, text=True, check=True)
    assert float(folds.stdout) < 1.0
    mad = subprocess.run([sys.executable, "-c", PEAK, "mad"], capture_output=True, text=True, check=True)
    assert float(mad.stdout) > 16.0  # the measure sees a list of the whole
