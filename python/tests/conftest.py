"""The reference every test compares with: the shared host library called through ctypes, one
call per list, in the same run; and the values the property tests draw from."""
import ctypes
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

import qvewumth as qv

settings.register_profile("qv", deadline=None, database=None,
                          suppress_health_check=[HealthCheck.data_too_large, HealthCheck.too_slow])
settings.load_profile("qv")

LETTERS = "._ABCDEFGHIJKLMNOPQRSTUVWXYZ"
MISSING = [qv.missing(c) for c in LETTERS]
SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, 2.5, -2.5, 1e-310, 1e155, -1e300, np.inf, -np.inf, np.nan, 3.0000000000005,
           2.0 ** 53, 0.1]
VALUES = st.one_of(st.sampled_from(MISSING + SPECIAL), st.integers(-6, 6).map(float), st.floats())


def bits(x):
    return np.asarray(x, dtype=np.float64).view(np.uint64)


class Host:
    """One qvh_call per function, cleared and filled for each list."""

    def __init__(self, path):
        lib = self.lib = ctypes.CDLL(path)
        vp, sz, i32 = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int32
        for name, res, args in [("qvh_open", ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(vp)]),
                                ("qvh_call_new", ctypes.c_int, [vp, ctypes.c_char_p, ctypes.POINTER(vp)]),
                                ("qvh_call_clear", None, [vp]), ("qvh_call_add_num", ctypes.c_int, [vp, ctypes.c_double]),
                                ("qvh_call_add_str", ctypes.c_int, [vp, ctypes.c_char_p, sz]),
                                ("qvh_call_invoke", ctypes.c_int, [vp]), ("qvh_call_result", ctypes.c_double, [vp]),
                                ("qvh_call_result_str", ctypes.c_char_p, [vp, ctypes.POINTER(sz)]),
                                ("qvh_call_status", i32, [vp]), ("qvh_call_marked", ctypes.c_int, [vp, sz]),
                                ("qvh_call_over", ctypes.c_int, [vp, vp, sz, vp, sz, ctypes.c_ssize_t, vp, vp, vp])]:
            getattr(lib, name).restype, getattr(lib, name).argtypes = res, args
        self.pkg = vp()
        assert lib.qvh_open(None, ctypes.byref(self.pkg)) == 0
        self.calls = {}

    def handle(self, name):
        c = self.calls.get(name)
        if c is None:
            c = self.calls[name] = ctypes.c_void_p()
            assert self.lib.qvh_call_new(self.pkg, name.encode(), ctypes.byref(c)) == 0
        return c

    def over(self, name, lead, values):
        """(result, status, marks) of one call of name over lead and a float64 array, laid out at once."""
        c = self.handle(name)
        lead, values = np.ascontiguousarray(lead, dtype=np.float64), np.ascontiguousarray(values, dtype=np.float64)
        r, s, m = ctypes.c_double(), ctypes.c_int32(), np.zeros(len(lead) + len(values), dtype=np.uint8)
        assert self.lib.qvh_call_over(c, lead.ctypes.data, len(lead), values.ctypes.data, len(values), 8, ctypes.byref(r),
                                      ctypes.byref(s), m.ctypes.data) == 0
        return r.value, s.value, tuple(bool(v) for v in m)

    def call(self, name, args):
        """(result, status, marks) of name over args (numbers or str)."""
        c = self.handle(name)
        self.lib.qvh_call_clear(c)
        for a in args:
            if isinstance(a, str):
                self.lib.qvh_call_add_str(c, a.encode(), len(a.encode()))
            else:
                self.lib.qvh_call_add_num(c, float(a))
        assert self.lib.qvh_call_invoke(c) == 0
        if qv.function(name).info["result_kind"] == qv._core.KIND_CHR:
            result = self.lib.qvh_call_result_str(c, None).decode()
        else:
            result = self.lib.qvh_call_result(c)
        return result, self.lib.qvh_call_status(c), tuple(bool(self.lib.qvh_call_marked(c, j)) for j in range(len(args)))


@pytest.fixture(scope="session")
def host():
    # The build tree's shared host library, else the one an installed package carries beside its module.
    installed = os.path.join(os.path.dirname(qv.__file__), "libqvhost.so")
    here = os.path.dirname(os.path.abspath(__file__))
    return Host(os.environ.get("QV_HOST_LIB") or (installed if os.path.exists(installed) else
                                                   os.path.join(here, "..", "..", "build", "libqvhost.so")))


def same(got, want):
    """Results, statuses and marks equal, numbers bit for bit."""
    (r, s, m), (wr, ws, wm) = got, want
    assert (r == wr) if isinstance(wr, str) else bits(r) == bits(wr), (got, want)
    assert (int(s), tuple(bool(v) for v in np.ravel(m))) == (ws, wm), (got, want)
