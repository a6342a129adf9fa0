"""pandas: group statistics and moving windows against one host call per group and per window,
row-wise calls, and missing values kept in columns."""
import numpy as np
import pandas as pd
import pytest
from conftest import LETTERS, VALUES, bits, same
from hypothesis import given, settings
from hypothesis import strategies as st

import qvewumth as qv
from qvewumth import pandas as qpd

KEYS = st.sampled_from(["b", "a", None, "c", "d"])
STATS = {"med": ("median", "x"), "p90": ("pctl", "x", 90), "mean": ("mean", "x"), "n": ("n", "x"),
         "sd": ("std", "x"), "lo": ("min", "x"), "k2": ("largest", "x", 2), "g": ("gcd", "x"), "at": ("whichn", "x", 1)}


@settings(max_examples=40)
@given(rows=st.lists(st.tuples(KEYS, VALUES), max_size=40), sort=st.booleans())
def test_group_statistics_are_one_call_per_group_in_pandas_order(host, rows, sort):
    df = pd.DataFrame(rows, columns=["k", "x"], dtype=object).astype({"x": float})
    with qv.errstate(all="ignore"):
        got = qv.groupby(df, "k", sort=sort).agg(**STATS)
    assert list(got.columns) == list(STATS)
    assert list(got.index) == list(df.groupby("k", sort=sort).size().index)
    for key in got.index:
        values = list(df.x[df.k == key])
        for name, (func, _, *lead) in STATS.items():
            want = host.call(func.upper(), lead + values)
            assert bits(got.loc[key, name]) == bits(want[0]), (key, name)
    stat = qv.groupby(df, "k", sort=sort).stat("pctl", "x", status=True, p=90)
    for i, key in enumerate(stat.result.index):
        same((stat.result.iloc[i], stat.status[i], ()), host.call("PCTL", [90] + list(df.x[df.k == key]))[:2] + ((),))


@settings(max_examples=40)
@given(rows=st.lists(st.tuples(st.sampled_from(["u", "v", None]), VALUES), max_size=30),
       window=st.integers(1, 5), center=st.booleans(), data=st.data())
def test_moving_windows_are_one_call_per_window(host, rows, window, center, data):
    keys, x = [r[0] for r in rows], pd.Series([r[1] for r in rows], dtype=float)
    min_periods = data.draw(st.integers(0, window))
    shift = (window - 1) // 2 if center else 0
    for func, param in (("median", {}), ("mean", {}), ("pctl", {"p": 25}), ("max", {}), ("ordinal", {"k": 2})):
        lead = list(param.values())
        by = data.draw(st.sampled_from([None, keys]))
        got = qv.moving(x, window, func, min_periods=min_periods, by=by, center=center, status=True, **param)
        for i in range(len(x)):
            group = [j for j in range(len(x)) if by is None or keys[j] == keys[i]]
            t = group.index(i)
            mine = group[max(t + shift + 1 - window, 0):t + shift + 1]
            present = int(np.sum(~np.isnan(x.iloc[mine].to_numpy())))
            if by is not None and keys[i] is None:  # a row of no group
                assert qv.missing_letter(got.result.iloc[i]) == "." and got.status[i] == qv.OK
                continue
            if present < min_periods:
                assert qv.missing_letter(got.result.iloc[i]) == "." and got.status[i] == qv.MISSING_ARG
                continue
            same((got.result.iloc[i], got.status[i], ()), host.call(func.upper(), lead + list(x.iloc[mine]))[:2] + ((),))


def test_rowwise_accessor_and_frames_give_the_row_calls(host):
    df = pd.DataFrame({"a": [1.0, qv.missing("M"), 3.0], "b": pd.array([4, None, 6], dtype="Int64"), "c": [7.0, 8.0, None]})
    rows = [[1.0, 4.0, 7.0], [qv.missing("M"), qv.DOT, 8.0], [3.0, 6.0, qv.DOT]]
    for got, func, lead in ((df.qv.mean("a", "b", "c"), "MEAN", []), (qv.rowwise(df, "pctl", p=50), "PCTL", [50]),
                            (qv.nmiss(df, axis=1), "NMISS", []), (df.qv.ordinal("c", "a", k=1), "ORDINAL", [1])):
        assert list(got.index) == list(df.index)
        order = [2, 0] if func == "ORDINAL" else [0, 1, 2]
        assert np.array_equal(bits(got), bits([host.call(func, lead + [r[j] for j in order])[0] for r in rows]))
    assert qv.missing_letter(df.qv.ordinal("a", k=1))[1] == "M"
    logs = qv.log(df.set_index(pd.Index(["x", "y", "z"])))
    assert list(logs.index) == ["x", "y", "z"] and np.array_equal(bits(logs.b), bits(qv.log(np.array(rows)[:, 1])))


def test_missing_values_keep_their_letters_in_pandas_columns():
    df = pd.DataFrame({"k": range(28), "x": [qv.missing(c) for c in LETTERS]})
    assert "".join(qv.missing_letter(df.x)) == LETTERS
    kept = qv.groupby(df, "k").agg(v=("ordinal", "x", 1)).v
    assert "".join(qv.missing_letter(kept)) == LETTERS and list(kept.index) == list(range(28))
    assert "".join(qv.missing_letter(pd.concat([df.x[:14], df.x[14:]]))) == LETTERS
    read = qv.parse(pd.Series(["1", ".M", "", None, pd.NA, ".z"], dtype=object))
    assert list(qv.missing_letter(read)) == ["", "M", ".", ".", ".", "Z"]


def test_groups_of_no_one_and_two_rows_are_one_call_each(host):
    # An unobserved category is a group of no rows; a missing value and a signed zero in a pair.
    df = pd.DataFrame({"k": pd.Categorical(["b", "c", "c"], categories=["a", "b", "c"]), "x": [1.5, -0.0, np.nan]})
    stats = ("n", "sum", "mean", "std", "min", "max", "median")
    with qv.errstate(all="ignore"):
        got = qv.groupby(df, "k", observed=False).agg(**{s: ("x", s) for s in stats})
    for key, values in (("a", []), ("b", [1.5]), ("c", [-0.0, np.nan])):
        for name in stats:
            assert bits(float(got.loc[key, name])) == bits(host.call(name.upper(), values)[0]), (key, name)


I64 = np.iinfo(np.int64)


@pytest.mark.parametrize("keys, kwargs", [
    (np.array([3, -2, 3, 7, -2], dtype=np.int64), {}),
    (np.array([9, 4, 9], dtype=np.int32), {"as_index": False}),
    (np.array([255, 0, 255, 1], dtype=np.uint8), {}),
    (np.array([5, 5, 5], dtype=np.int16), {}),
    (np.array([0, 65535, 1], dtype=np.int64), {}),            # the widest range counted for few rows
    (np.array([0, 65536, 1], dtype=np.int64), {}),            # one more: left to pandas
    (np.array([I64.max, I64.min, 0], dtype=np.int64), {}),    # a range past int64
    (np.array([2, 1, 2], dtype=np.uint64), {}),
    (np.array([4, 1, 4, 2], dtype=np.int64), {"sort": False}),
    (np.array([], dtype=np.int64), {}),
])
def test_integer_keys_number_the_groups_as_pandas_does(keys, kwargs):
    df = pd.DataFrame({"k": keys, "x": np.arange(len(keys), dtype=float)})
    codes, index = qpd.group_codes(df.groupby("k", **kwargs))
    got = qv.groupby(df, "k", **kwargs)
    assert np.array_equal(got._codes, codes)
    assert got.index.equals(index) and got.index.dtype == index.dtype and got.index.name == index.name


def test_a_key_name_two_columns_share_is_refused_as_pandas_refuses_it():
    df = pd.DataFrame([[1, 2.0, 3], [1, 4.0, 5]], columns=["k", "x", "k"])
    with pytest.raises(ValueError, match="not 1-dimensional"):
        qv.groupby(df, "k")
