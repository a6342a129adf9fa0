"""Statuses as NumPy's floating-point errors: the tally of a call, qv.errstate and the warning.

Every other module of the package imports this one; it imports only the extension module.
"""

import collections
import contextlib
import contextvars
import warnings

import numpy as np

from . import _core


class QvWarning(RuntimeWarning):
    """A status other than ok from a function over some of the elements, rows or groups of a call."""


class QvError(ArithmeticError):
    """A status that qv.errstate(...="raise") turns into an exception."""


QvResult = collections.namedtuple("QvResult", "result status marks")
QvResult.__doc__ = """What a call with status=True gives: the results, the status of each (int32
codes, named by qv.status_name) and the marks (True where the function marked an argument
invalid; the last axis runs over the call's arguments, the leading parameter first)."""

# What a batch of calls counted: how many calls, how many ended in each kind of status, and how
# many marked an argument. The extension gives it in this order.
class Tally(collections.namedtuple("Tally", "calls missing invalid nan other marked")):
    __slots__ = ()

    def __add__(self, other):
        return Tally(*(a + b for a, b in zip(self, other)))

    def __sub__(self, other):
        return Tally(*(a - b for a, b in zip(self, other)))

    def not_ok(self):
        """How many calls gave a status other than ok."""
        return self.missing + self.invalid + self.nan + self.other


NO_CALLS = Tally(0, 0, 0, 0, 0, 0)

_KINDS = ("missing", "invalid", "nan", "other")
_MODES = ("ignore", "warn", "raise")
_DEFAULT_MODES = {"missing": "ignore", "invalid": "warn", "nan": "warn", "other": "warn"}
_modes = contextvars.ContextVar("qvewumth_errstate", default=_DEFAULT_MODES)


def geterr():
    """How each kind of status is treated: a dict of 'ignore', 'warn' or 'raise' for missing
    (a missing argument), invalid (an invalid argument), nan (a result that was not a number)
    and other (any other status)."""
    return dict(_modes.get())


def seterr(all=None, **modes):
    """Sets how statuses are treated (see geterr) in this thread or task; returns the old setting."""
    old = _modes.get()
    new = dict(old)
    for key in _DEFAULT_MODES if all is not None else ():
        new[key] = all
    for key, mode in modes.items():
        if key not in _DEFAULT_MODES:
            raise TypeError(f"seterr: unknown kind of status {key!r}; the kinds are {', '.join(_DEFAULT_MODES)}")
        new[key] = mode
    for key, mode in new.items():
        if mode not in _MODES:
            raise ValueError(f"seterr: {key}={mode!r}; a mode is one of {', '.join(_MODES)}")
    _modes.set(new)
    return dict(old)


class errstate(contextlib.ContextDecorator):
    """Within the block, statuses are treated as given: with qv.errstate(invalid="raise") an
    invalid argument raises QvError; "ignore" silences it; all= sets every kind."""

    def __init__(self, **modes):
        self._wanted = modes

    def __enter__(self):
        self._old = seterr(**self._wanted)

    def __exit__(self, *exc):
        _modes.set(self._old)


def report(label, tally, stacklevel):
    """One warning (or QvError) for the statuses a call of label counted, in the host library's
    wording of a tally ("qv.log: 1 of 3 rows gave invalid argument"), with the kinds qv.errstate
    ignores left out; stacklevel counts the frames from the caller of report to the user's line."""
    tally = Tally._make(tally)
    if not tally.not_ok():
        return
    modes = _modes.get()

    def kept(wanted):
        counts = {key: getattr(tally, key) if modes[key] in wanted else 0 for key in _KINDS}
        return tally._replace(marked=tally.marked if modes["invalid"] in wanted else 0, **counts)

    raised, shown = kept(("raise",)), kept(("raise", "warn"))
    if raised.not_ok():
        raise QvError(_core.describe_tally(label, shown))
    if shown.not_ok():
        warnings.warn(_core.describe_tally(label, shown), QvWarning, stacklevel=stacklevel + 1)


def status_name(code):
    """The name of a status code ('ok', 'invalid argument', ...); element by element for arrays."""
    if np.ndim(code) == 0:
        return _core.status_name(int(code))
    return np.vectorize(lambda c: _core.status_name(int(c)), otypes=[object])(code)
