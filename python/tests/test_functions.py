"""Every function through NumPy against the host library's own call, element by element and list
by list; broadcasting, out=, layouts, text, and the bad inputs."""
import numpy as np
import pytest
from conftest import LETTERS, VALUES, bits, same
from hypothesis import given, settings
from hypothesis import strategies as st

import qvewumth as qv

FUNCS = qv._base._functions
ELEMENTWISE = [f for f in FUNCS.values() if f.elementwise]
NUMERIC = qv._core.KIND_NUM
LISTS = [f for f in FUNCS.values() if not f.elementwise and f.info["rest_kind"] == NUMERIC]
PARAMS = [50, 90, 0, 100, 150, -1, 1, 2, 3, 33.3, 0.5, qv.DOT]


def arrays(data, shape):
    return np.array(data.draw(st.lists(VALUES, min_size=int(np.prod(shape)), max_size=int(np.prod(shape))))).reshape(shape)


@pytest.mark.parametrize("fn", ELEMENTWISE, ids=lambda f: f.__name__)
@settings(max_examples=15)
@given(data=st.data())
def test_elementwise_is_the_host_call_per_element(host, fn, data):
    k = data.draw(st.integers(max(fn.info["min_args"], 1), fn.info["max_args"]))
    rows, cols = data.draw(st.integers(0, 3)), data.draw(st.integers(1, 4))
    # The first argument a column, the others rows: they broadcast; one view runs backwards.
    args = [arrays(data, (rows, 1))] + [arrays(data, (1, 2 * cols))[:, ::-2] for _ in range(k - 1)]
    got = qv.status(fn, *args)
    grid = np.broadcast_arrays(*args)
    assert got.result.shape == grid[0].shape
    for idx in np.ndindex(grid[0].shape):
        same((got.result[idx], got.status[idx], got.marks[idx]), host.call(fn.info["name"], [g[idx] for g in grid]))
    with qv.errstate(all="ignore"):
        out = np.empty(grid[0].shape)
        assert fn(*args, out=out) is out and np.array_equal(bits(out), bits(got.result))


@pytest.mark.parametrize("fn", LISTS, ids=lambda f: f.__name__)
@settings(max_examples=12)
@given(data=st.data())
def test_list_functions_along_every_axis_are_one_host_call_per_list(host, fn, data):
    a = arrays(data, (data.draw(st.integers(0, 4)), data.draw(st.integers(0, 5))))
    lead = [data.draw(st.sampled_from(PARAMS))] if fn.info["min_args"] else []
    lists = {None: [a.ravel()], 0: list(a.T), 1: list(a), -2: list(a.T)}
    for axis, rows in lists.items():
        got = qv.status(fn, a, *lead, axis=axis)
        results = np.reshape(got.result, -1)
        assert len(results) == len(rows)
        for i, row in enumerate(rows):
            same((results[i], np.reshape(got.status, -1)[i], np.reshape(got.marks, (len(rows), -1))[i]),
                 host.call(fn.info["name"], lead + list(row)))


@pytest.mark.parametrize("fn", LISTS, ids=lambda f: f.__name__)
def test_long_lists_and_many_short_ones(host, fn):
    rng = np.random.default_rng(7)
    a = rng.normal(size=(3, 700))
    a[:, ::9] = qv.missing("M")
    lead = [90.0] if fn.info["min_args"] else []
    with qv.errstate(all="ignore"):
        long_rows, short_rows = fn(a, *lead, axis=1), fn(a, *lead, axis=0)
    for got, rows in ((long_rows, a), (short_rows, a.T)):
        assert np.array_equal(bits(got), bits([host.call(fn.info["name"], lead + list(r))[0] for r in rows]))


@pytest.mark.parametrize("layout", [
    lambda a: np.asfortranarray(a), lambda a: a[::-1, ::2], lambda a: a.astype(np.float32),
    lambda a: a.round().astype(np.int64), lambda a: a > 0, lambda a: a.tolist()])
def test_layouts_and_number_types_give_their_float64_results(layout):
    a = np.random.default_rng(1).normal(size=(50, 12)) * 4
    b = layout(a)
    for fn, lead in ((qv.median, ()), (qv.pctl, (90,)), (qv.mean, ())):
        assert np.array_equal(bits(fn(b, *lead, axis=1)), bits(fn(np.array(b, dtype=np.float64), *lead, axis=1)))
    with qv.errstate(invalid="ignore"):
        assert np.array_equal(bits(qv.lgamma(b)), bits(qv.lgamma(np.array(b, dtype=np.float64))))


def test_parameter_arrays_and_scalar_results():
    a = np.random.default_rng(3).normal(size=(2, 3, 4))
    p = qv.pctl(a[0], [[10, 50, 90]], axis=1)
    assert p.shape == (1, 3, 3)
    assert np.array_equal(bits(p[0, 2]), bits(qv.pctl(a[0], 90, axis=1)))
    assert type(qv.lgamma(2.5)) is np.float64 and type(qv.median([1, 2])) is np.float64


@pytest.mark.parametrize("fn, data, lead, axis", [
    ("coalescec", [["", " ", "a "], [None, "b", "c"]], [], 1), ("coalescec", [["", "x"], ["y", "z"]], [], 0),
    ("whichc", [["ab", "x", "ab  "], ["x", "y", "z"]], ["ab"], 1)])
def test_text_lists_are_host_calls(host, fn, data, lead, axis):
    got = qv.function(fn)(data, *lead, axis=axis)
    rows = data if axis == 1 else list(map(list, zip(*data)))
    assert list(got) == [host.call(fn.upper(), lead + [v or "" for v in row])[0] for row in rows]


def test_missing_values_round_trip_and_text_elements(host):
    letters = qv.missing_letter(np.array([qv.missing(c) for c in LETTERS]))
    assert "".join(letters) == LETTERS and bits(qv.missing("m")) == bits(qv.missing(".M")) != bits(qv.missing("N"))
    assert list(qv.is_missing(np.array([1.0, None, np.nan, qv.missing("Z")], dtype=object))) == [False, True, True, True]
    assert list(qv.missing_letter(qv.parse(["1.5", "", ".M", "inf", None]))) == ["", ".", "M", "", "."]
    assert list(qv.format([qv.missing("M"), 0.1, np.nan, -0.0, 1e300])) == [".M", "0.1", ".", "-0", "1e+300"]
    cells = ["  ", "a", 3.0, qv.missing("Q")]
    assert list(qv.function("missing")(cells)) == [host.call("MISSING", [c])[0] for c in cells]


@pytest.mark.parametrize("call, exc, text", [
    (lambda: qv.atan2(1.0), TypeError, r"qv\.atan2 takes 2 arguments, got 1: qv\.atan2\(y, x\)"),
    (lambda: qv.log("a"), TypeError, r"qv\.log: argument 1"),
    (lambda: qv.log(np.array([1, object()], dtype=object)), TypeError, r"qv\.log: argument 1 holds <object"),
    (lambda: qv.mean([1, "2"]), TypeError, r"qv\.mean: the data holds text"),
    (lambda: qv.mean(np.array([1j])), TypeError, r"qv\.mean: the data is an array of complex128"),
    (lambda: qv.coalescec(["x" * 65536]), ValueError, r"qv\.coalescec: .*65536"),
    (lambda: qv.pctl([1.0], "ninety"), TypeError, r"qv\.pctl"),
    (lambda: qv.median(np.ones((2, 2)), axis=2), np.AxisError, "axis 2"),
    (lambda: qv.missing("?"), ValueError, r"qv\.missing: no missing value"),
    (lambda: qv.parse(["1,5"]), ValueError, "'1,5' is neither"),
    (lambda: qv.function("avg"), AttributeError, "avg"),
    (lambda: qv.errstate(invalid="loud").__enter__(), ValueError, "a mode is one of"),
])
def test_bad_arguments_raise_naming_the_function(call, exc, text):
    with pytest.raises(exc, match=text):
        call()
