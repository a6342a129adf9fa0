"""qvewumth: the numeric and statistical functions of the package, for NumPy, pandas and Dask.

    import qvewumth as qv
    qv.lgamma(x)                     # element by element, a NumPy ufunc
    qv.pctl(a, 90, axis=1)           # the 90th percentile of each row
    qv.groupby(df, "station").agg(med=("t12", "median"), p90=("t12", "pctl", 90))

Every function of the package's catalogue is here under its name in lower case, with the
catalogue's reference as its docstring (help(qv.pctl)); qv.function(name) finds any of them by
name. Results are bit for bit those of the host library. Missing values are NaNs carrying which
of the 28 they are (qv.missing("M")); statuses other than ok warn with QvWarning (qv.errstate
controls that), and running out of memory raises MemoryError.

The package (libqvewumth.so) is opened from $QV_LIB when set, else from beside the extension
module (where pip and the Debian package install a copy), else from where the project installed it.
"""

import builtins as _builtins
import importlib as _importlib

from . import _base, _core, _values
from ._base import function, info
from ._status import QvError, QvResult, QvWarning, errstate, geterr, seterr, status_name
from ._values import DOT, is_missing, missing, missing_letter, parse
from ._values import format  # noqa: F401,A004  (qv.format; left out of __all__ like Python's own names)
from ._build import __version__, build_info  # noqa: F401  (the version and the package's build record)

OK = _core.OK
MISSING_ARG = _core.MISSING_ARG
INVALID_ARG = _core.INVALID_ARG
NOT_A_NUMBER = _core.NOT_A_NUMBER
NO_SCRATCH = _core.NO_SCRATCH
NO_MEMORY = _core.NO_MEMORY

# Dask collections go to qvewumth.dask, imported when the first one arrives.
_values.dask_surface = lambda: _importlib.import_module(".dask", __name__)


def status(fn, *args, **kwargs):
    """fn(*args, **kwargs) with status=True: QvResult(result, status, marks), with no warning."""
    return fn(*args, status=True, **kwargs)


def release_memory():
    """Gives back the memory this thread's calls keep from one call to the next (the argument
    lists and scratch a repeated call reuses, so that it touches no fresh page); the next call
    takes it again."""
    _core.release_memory()


def set_warm_limit(nbytes):
    """Bounds the memory a thread's calls keep from one call to the next (default 32 MiB, about
    what a call over 2^20 values keeps): when a call ends with the thread holding more, that call
    gives back what it keeps, and then the thread's other calls do if that is not enough. 0 keeps
    nothing. Returns the bound before."""
    return _core.set_warm_limit(nbytes)


def package_path():
    """The file the function package was opened from."""
    return _core.package_path()


__all__ = ["DOT", "OK", "MISSING_ARG", "INVALID_ARG", "NOT_A_NUMBER", "NO_SCRATCH", "NO_MEMORY", "QvError",
           "QvResult", "QvWarning", "errstate", "function", "geterr", "info", "is_missing", "missing",
           "missing_letter", "parse", "seterr", "status", "status_name", "package_path", "release_memory", "set_warm_limit"]

# The catalogue's functions, except where this module already uses the name (qv.missing is the
# missing value a letter names; the function of that name is qv.function("missing")).
_taken = set(globals())
for _name, _fn in _base.build().items():
    if _name not in _taken:
        globals()[_name] = _fn
        # A star import would hide Python's own abs, round, sum, min, max, int and range.
        if not hasattr(_builtins, _name):
            __all__.append(_name)
del _taken, _name, _fn

try:
    import pandas  # noqa: F401  (the accessor df.qv and the tables need it)
except ImportError:  # NumPy alone is enough for the functions
    pass
else:
    from .pandas import groupby, moving, rowwise  # the submodule now shadows the name pandas here
    __all__ += ["groupby", "moving", "rowwise"]
