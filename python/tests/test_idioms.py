"""The idioms of NumPy and pandas users: each row computes the answer NumPy or pandas itself gives
and asserts that qvewumth gives the same (order statistics, whose bits both agree on)."""
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import qvewumth as qv

M = np.ma.masked_array([[1.0, 2.0, 100.0, 4.0], [5.0, 6.0, 7.0, 8.0], [9.0, 9.0, 9.0, 9.0]],
                       mask=[[0, 0, 1, 0], [0, 0, 0, 0], [1, 1, 1, 1]])
A = np.arange(24.0).reshape(2, 3, 4) ** 1.5
A2 = pd.Series([1.0, 2.0, 3.0], index=["a", "b", "c"])
B2 = pd.Series([10.0, 20.0, 30.0], index=["c", "a", "d"])
DF = pd.DataFrame({"x": [3.0, 1.0, np.nan, 7.0], "y": [4.0, 5.0, 9.0, 2.0]}, index=list("pqrs"))


def same_masked(got, want):
    assert type(got) is type(want) and np.array_equal(np.ma.getmaskarray(got), np.ma.getmaskarray(want))
    assert np.array_equal(np.ma.compressed(got), np.ma.compressed(want))


@pytest.mark.parametrize("ours, numpys", [
    (lambda: qv.median(M[0]), lambda: np.ma.median(M[0])),
    (lambda: qv.median(M, axis=1), lambda: np.ma.median(M, axis=1)),
    (lambda: qv.max(M, axis=0), lambda: np.ma.max(M, axis=0)),
    (lambda: qv.median(M[2]), lambda: np.ma.median(M[2])),
    (lambda: qv.median(M, axis=-1, keepdims=True), lambda: np.ma.median(M, axis=-1, keepdims=True)),
    (lambda: qv.sqrt(M), lambda: np.sqrt(M)),
])
def test_masked_arrays_honour_their_mask(ours, numpys):
    with qv.errstate(all="ignore"):
        same_masked(ours(), numpys())


@pytest.mark.parametrize("axis, keepdims", [(-1, False), (-2, True), ((-1, -3), False), ((0, -1), True), (None, True),
                                            (2, False), ((-3,), True)])
def test_axes_count_from_the_end_and_keep_dims_as_numpy(axis, keepdims):
    got, want = qv.median(A, axis=axis, keepdims=keepdims), np.median(A, axis=axis, keepdims=keepdims)
    assert np.shape(got) == np.shape(want) and np.array_equal(got, want)


@pytest.mark.parametrize("axis", [-1, -2, (-1, 0), (0, -2), (-3,)])
def test_several_parameters_keep_dims_where_numpy_keeps_them(axis):
    got, want = qv.pctl(A, [10, 90], axis=axis, keepdims=True), np.percentile(A, [10, 90], axis=axis, keepdims=True)
    assert got.shape == want.shape
    assert np.array_equal(got, np.stack([qv.pctl(A, q, axis=axis, keepdims=True) for q in (10, 90)]))


@pytest.mark.parametrize("axis", [(1, -2), (-1, 2), (0, -3), (2, -1, 0)])
def test_an_axis_named_twice_raises_as_numpy(axis):
    with pytest.raises(Exception) as numpys:
        np.median(A, axis=axis)
    with pytest.raises(numpys.type, match=r"^qv\.median: duplicate value in axis"):
        qv.median(A, axis=axis)


@pytest.mark.parametrize("kwargs, exc", [({"axis": 1.7}, TypeError), ({"axis": 3}, np.AxisError),
                                         ({"axis": (0, -3)}, ValueError), ({"keepdims": "yes"}, TypeError),
                                         ({"axis": "1"}, TypeError)])
def test_bad_axes_raise_as_numpy(kwargs, exc):
    with pytest.raises(exc, match=r"qv\.median|axis"):
        qv.median(A, **kwargs)


@pytest.mark.parametrize("ours, pandas", [
    (lambda: qv.atan2(A2, B2), lambda: np.arctan2(A2, B2)),
    (lambda: qv.median(DF), lambda: DF.median()),
    (lambda: qv.median(DF, axis=1), lambda: DF.median(axis=1)),
    (lambda: qv.max(DF, axis=0), lambda: DF.max()),
])
def test_pandas_objects_by_label_and_per_column(ours, pandas):
    with qv.errstate(all="ignore"):
        got = ours()
    want = pandas()
    assert got.index.equals(want.index)
    np.testing.assert_allclose(got.to_numpy(), want.to_numpy(), rtol=1e-15)  # the two arctan2 may differ by an ulp


def test_several_percentiles_of_a_frame_give_a_frame_as_quantile():
    got, shape = qv.pctl(DF, [10, 90]), DF.quantile([0.1, 0.9])
    assert list(got.index) == [10, 90] and got.columns.equals(shape.columns)
    for c in DF:
        assert np.array_equal(got[c].to_numpy(), [qv.pctl(DF[c], 10), qv.pctl(DF[c], 90)])
    series = qv.pctl(DF.y, [10, 90])
    assert list(series.index) == [10, 90] and series.name == "y"
    assert np.array_equal(series.to_numpy(), [qv.pctl(DF.y.to_numpy(), 10), qv.pctl(DF.y.to_numpy(), 90)])
    rows = qv.pctl(DF, [50], axis=1)
    assert rows.columns.equals(DF.index) and np.array_equal(rows.loc[50].to_numpy(), qv.median(DF, axis=1).to_numpy())


def test_as_index_false_gives_the_keys_as_columns_as_pandas():
    df = pd.DataFrame({"k": ["b", "a", "b", "c"], "j": [1, 1, 2, 2], "x": [1.0, 2.0, 5.0, 4.0]})
    for by in ("k", ["k", "j"]):
        got = qv.groupby(df, by, as_index=False).agg(m=("max", "x"))
        pd.testing.assert_frame_equal(got, df.groupby(by, as_index=False).agg(m=("x", "max")))
    got = qv.groupby(df, "k", as_index=False).stat("max", "x")
    pd.testing.assert_frame_equal(got, df.groupby("k", as_index=False)["x"].max())


S = pd.Series([1.0, np.nan, 3.0, 4.0, 5.0, qv.missing("A"), 7.0, 2.0, 8.0], index=list("abcdefghi"), name="s")


@pytest.mark.parametrize("window, min_periods, center", [
    (3, None, False), (3, 1, False), (3, 2, True), (4, 2, True), (4, None, True), (1, None, False), (9, 0, False),
    (2, 2, False)])
@pytest.mark.parametrize("func", ["max", "median", "min"])
def test_moving_windows_are_pandas_rolling(func, window, min_periods, center):
    with qv.errstate(all="ignore"):
        got = qv.moving(S, window, func, min_periods=min_periods, center=center)
    want = getattr(S.rolling(window, min_periods=min_periods, center=center), func)()
    if min_periods == 0:  # pandas gives NaN for a window with no value, the package its own '.'
        want = want.where(S.rolling(window, min_periods=0, center=center).count() > 0)
    pd.testing.assert_series_equal(got, want)


@pytest.mark.parametrize("kwargs", [{"window": 2.5}, {"window": -1}, {"window": 3, "min_periods": 5},
                                    {"window": 3, "min_periods": -1}, {"window": 3, "min_periods": 1.5}])
def test_bad_windows_raise_as_pandas(kwargs):
    with pytest.raises(ValueError, match=r"qv\.moving: (window|min_periods)"):
        qv.moving(S, func="median", **kwargs)


@pytest.mark.parametrize("call, exc, text", [
    (lambda: qv.moving(S, 3, "median", by=[1, 2]), ValueError, r"qv\.moving: by= has 2 labels for 9 values"),
    (lambda: qv.moving(S, 3, "median", center="yes"), TypeError, r"qv\.moving: center must be True or False"),
    (lambda: qv.groupby(DF, "x", as_index=1), TypeError, r"qv\.groupby: as_index"),
    (lambda: qv._core.group_stats(np.zeros(2, np.int64), 1, np.zeros(3), [(qv.mean.info["index"], None)], False),
     ValueError, r"qv\.mean: the groups are given for 2 rows, the values have 3"),
    (lambda: qv._core.moving(qv.median.info["index"], np.zeros(3), np.array([0, 5, 0]), 1, 2, 2, False, None, False),
     ValueError, r"qv\.median: group code 5 of row 1"),
])
def test_messages_name_the_function_and_the_argument(call, exc, text):
    with pytest.raises(exc, match=text) as caught:
        call()
    assert "internal" not in str(caught.value)


CHILD = """
import importlib, threading, sys
import numpy as np
import qvewumth as qv
old = qv.median
before = float(qv.median([3.0, 1.0, 2.0])), float(qv.moving(np.arange(9.0), 3, "median")[-1])
threading.Thread(target=lambda: [qv.pctl(np.arange(1e4), 90) for _ in range(10**6)], daemon=True).start()
qv = importlib.reload(qv)
importlib.reload(sys.modules["qvewumth.pandas"])
after = float(qv.median([3.0, 1.0, 2.0])), float(qv.moving(np.arange(9.0), 3, "median")[-1]), float(old([5.0]))
print(before, after)
assert before + (5.0,) == after
"""


def test_reload_and_exit_with_live_handles_in_a_child():
    # A thread still inside the package when the interpreter exits, and functions of the module
    # from before a reload: the process ends cleanly either way.
    run = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert "(2.0, 7.0) (2.0, 7.0, 5.0)" in run.stdout


@pytest.mark.parametrize("cell, want", [(".A", 1.0), (".", 1.0), ("", 1.0), ("x", 0.0), (" .A", 0.0), (None, 1.0)])
def test_missing_literals_in_text_are_missing_values_as_in_sql(cell, want):
    assert qv.function("missing")(np.array([cell], dtype=object))[0] == want


@pytest.mark.parametrize("cells, same_as", [
    ([1.0, ".B", 3], [1.0, qv.missing("B"), 3.0]), (["", 2.0, None], [qv.DOT, 2.0, qv.DOT]), ([".z", "._"], [qv.missing("Z"), qv.missing("_")])])
def test_missing_literals_in_numbers_are_their_missing_values(cells, same_as):
    got = qv.status(qv.nmiss, np.array(cells, dtype=object)), qv.status(qv.n, np.array(cells, dtype=object))
    want = qv.status(qv.nmiss, np.array(same_as)), qv.status(qv.n, np.array(same_as))
    assert [(float(g.result), int(g.status)) for g in got] == [(float(w.result), int(w.status)) for w in want]
    with qv.errstate(all="ignore"):  # ORDINAL of one value keeps which missing value it is
        got = [qv.ordinal(np.array([c], dtype=object), 1) for c in cells]
        want = [qv.ordinal(np.array([c]), 1) for c in same_as]
    assert np.array_equal(np.array(got).view(np.uint64), np.array(want).view(np.uint64))
    with pytest.raises(TypeError, match=r"qv\.n: the data holds text \('x'\), not a number"):
        qv.n(np.array(cells + ["x"], dtype=object))
    with pytest.raises(TypeError, match=r"qv\.median: column 'k' holds text \('x'\)"):
        qv.median(pd.DataFrame({"v": [1.0] * len(cells), "k": ["x"] + cells[1:]}, dtype=object))


T = pd.DataFrame({"k": ["b", "a", "b", "c", "a"], "a": [1.0, 2.0, 5.0, 4.0, 9.0], "b": [3.0, 4.0, 5.0, 6.0, 1.0]})
WORDS = np.array(["a", "b", "c"], dtype=object)


@pytest.mark.parametrize("call, text", [
    (lambda: qv.pctl(90, T.a.to_numpy()), r"qv\.pctl: the data comes first, then p: qv\.pctl\(x, p\)"),
    (lambda: qv.mean(1, 2, 3), r"qv\.mean takes its values as one array: qv\.mean\(x\)"),
    (lambda: qv.max(3, 7), r"qv\.max takes its values as one array"),
    (lambda: qv.whichc("b", "a", "b", "c"), r"qv\.whichc takes its values as one array, then v: qv\.whichc\(x, v\)"),
    (lambda: T.qv.pctl(50, "a", "b"), r"qv\.pctl: the parameter goes by name after the columns, "
                                      r"df\.qv\.pctl\('a', 'b', p=50\)$"),
    (lambda: T.qv.pctl("a", "b"), r"qv\.pctl needs its parameter by name: p=\.\.\.$"),
    (lambda: qv.sqrt(T), r"qv\.sqrt: column 'k' holds text"),
])
def test_arguments_in_another_order_are_refused_with_the_form_to_use(call, text):
    with pytest.raises(TypeError, match=text):
        call()


@pytest.mark.parametrize("ours, theirs", [
    (lambda: qv.groupby(T, "k").agg(m=("a", "median"), n=("a", "n")), lambda: T.groupby("k").agg(m=("a", "median"),
                                                                                                 n=("a", "count"))),
    (lambda: qv.groupby(T, "k").agg(m=("max", "b")), lambda: T.groupby("k").agg(m=("b", "max"))),
    (lambda: qv.groupby(T, "k", as_index=False).agg(n=("n", "a")),
     lambda: T.groupby("k", as_index=False).agg(n=("a", "count"))),
    (lambda: qv.groupby(T, "k")["a"].median(), lambda: T.groupby("k")["a"].median()),
    (lambda: qv.groupby(T, "k")["a"].agg(["min", "max"]), lambda: T.groupby("k")["a"].agg(["min", "max"])),
    (lambda: qv.groupby(T, "k").max(), lambda: T.groupby("k").max()),
    (lambda: qv.groupby(T, T.k).median(), lambda: T.groupby(T.k).median()),
    (lambda: qv.groupby(T, "k")[["b"]].min(), lambda: T.groupby("k")[["b"]].min()),
    (lambda: qv.groupby(T, "k").agg({"a": "max", "b": ["min", "median"]}),
     lambda: T.groupby("k").agg({"a": "max", "b": ["min", "median"]})),
    (lambda: qv.groupby(T, "k").agg("median"), lambda: T.groupby("k").agg("median")),
    (lambda: qv.mean([1, 2, 3]), lambda: np.mean([1, 2, 3])),
    (lambda: qv.whichc(WORDS, "b"), lambda: list(WORDS).index("b") + 1.0),
    (lambda: T.qv.pctl("a", "b", p=50), lambda: T[["a", "b"]].median(axis=1).rename("pctl")),
    # long doubles are taken as float64, as the list statistics take them
    (lambda: qv.log(np.array([2.0, 3.0], dtype=np.longdouble)), lambda: qv.log(np.array([2.0, 3.0]))),
    (lambda: qv.log(np.longdouble(3.0)), lambda: qv.log(3.0)),
])
def test_the_forms_pandas_and_numpy_users_write_give_their_answers(ours, theirs):
    got, want = ours(), theirs()
    if isinstance(want, pd.DataFrame):
        pd.testing.assert_frame_equal(got, want)
    elif isinstance(want, pd.Series):
        pd.testing.assert_series_equal(got, want)
    else:
        assert np.shape(got) == np.shape(want) and np.array_equal(got, want)


@pytest.mark.parametrize("out", [np.zeros(0), np.zeros(3), np.zeros((2, 1))])
def test_an_out_of_another_shape_raises_as_numpy(out):
    m = np.arange(6.0).reshape(2, 3)
    with pytest.raises(Exception) as numpys:
        np.mean(m, axis=1, out=out)
    with pytest.raises(numpys.type, match=r"qv\.mean: out= has shape"):
        qv.mean(m, axis=1, out=out)
