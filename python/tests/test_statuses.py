"""Statuses as NumPy's floating-point errors, memory failures, threads and leaks."""
import re
import signal
import subprocess
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest
from conftest import bits

import qvewumth as qv

TABLE = pd.DataFrame({"k": [1, 1, 2, 2, 2], "x": [1.0, 2.0, 3.0, qv.missing("M"), 5.0]})


@pytest.mark.parametrize("call, kind, text", [
    (lambda: qv.log(np.array([-1.0, 1.0, 2.0])), "invalid", r"qv\.log: 1 of 3 rows gave invalid argument$"),
    (lambda: qv.log(qv.DOT), "missing", r"qv\.log: missing argument$"),
    (lambda: qv.kurtosis([1, 2, 3, 1e155]), "nan", r"qv\.kurtosis: not a number$"),
    (lambda: qv.std(np.array([[1, np.inf], [1, 2], [3, 4]]), axis=1), "nan", r"qv\.std: 1 of 3 rows gave not a number$"),
    (lambda: qv.pctl(np.ones((4, 3)), 150, axis=1), "invalid", r"qv\.pctl: 4 of 4 rows gave invalid argument"),
    (lambda: qv.function("missing")(["", qv.DOT]), "invalid", None),
    (lambda: qv.groupby(TABLE, "k").agg(p=("pctl", "x", -5)), "invalid", r"qv\.pctl: 2 of 2 rows gave invalid argument"),
    (lambda: qv.moving(TABLE.x, 2, "std", min_periods=1), "missing", r"qv\.std: 3 of 5 rows gave missing argument$"),
])
def test_a_status_warns_once_raises_or_is_silent(call, kind, text):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with qv.errstate(all="warn", **{kind: "ignore"}):
            call()  # nothing else to report
    if text is None:
        return
    with qv.errstate(**{kind: "warn"}), pytest.warns(qv.QvWarning, match=text) as caught:
        call()
    assert len(caught) == 1
    with qv.errstate(**{kind: "raise"}), pytest.raises(qv.QvError, match=text):
        call()


def test_status_true_names_the_statuses_without_warning():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = qv.status(qv.mod, np.array([5.0, 5.0, qv.DOT]), np.array([0.0, 2.0, 1.0]))
    assert list(qv.status_name(got.status)) == ["invalid argument", "ok", "missing argument"]
    assert qv.missing_letter(qv.status(qv.kurtosis, [1, 2, 3, 1e155]).result) == "."


def in_new_thread(call):
    """call() in a thread that has never called the package (so it must make its calls anew): its result or exception."""
    with ThreadPoolExecutor(1) as pool:
        done = pool.submit(call)
        return done.exception() or done.result()


@pytest.mark.parametrize("call", [
    lambda: qv.median(np.arange(1000.0)),
    lambda: qv.pctl(np.arange(3000.0).reshape(3, 1000), 90, axis=1),
    lambda: qv.groupby(pd.DataFrame({"k": [0] * 900, "x": np.arange(900.0)}), "k").agg(m=("median", "x")),
    lambda: qv.moving(np.arange(1000.0), 600, "median"),
])
def test_refused_memory_is_a_memory_error_naming_the_function(call):
    qv._core.refuse_memory(0)
    try:
        got = in_new_thread(call)
    finally:
        qv._core.refuse_memory(-1)
    assert isinstance(got, MemoryError), got
    assert re.fullmatch(r"qv\.(median|pctl): out of memory asking for [1-9]\d* bytes( in row \d+ of \d+)?", str(got)), got
    assert not isinstance(in_new_thread(call), Exception)


def test_eight_threads_give_the_one_thread_results():
    rng = np.random.default_rng(5)
    a = rng.normal(size=(20000, 10))
    a[::13, 3] = qv.missing("A")
    df = pd.DataFrame({"k": rng.integers(0, 40, 50000), "x": rng.normal(size=50000)})
    jobs = [lambda: qv.median(a, axis=1), lambda: qv.pctl(a, 90, axis=0), lambda: qv.lgamma(np.abs(a) + 0.5),
            lambda: qv.groupby(df, "k").agg(m=("median", "x"), s=("std", "x")).to_numpy(),
            lambda: qv.moving(df.x, 7, "median").to_numpy(), lambda: qv.round(a, 0.01)]
    with qv.errstate(all="ignore"):
        alone = [bits(job()) for job in jobs]
        with ThreadPoolExecutor(8) as pool:
            together = list(pool.map(lambda i: bits(jobs[i % len(jobs)]()), range(48)))
    for i, got in enumerate(together):
        assert np.array_equal(got, alone[i % len(jobs)])


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_half_a_million_calls_leave_memory_flat():
    # Anything a call kept (9 bytes or more: any object or block) would grow memory past 4 MiB.
    x, codes, text = np.arange(1.0, 9.0), np.array([0, 1, 0, 1, 0, 1, 0, 1]), [np.array(["", "a"], dtype=object)] * 2
    core, mean, pctl, coalescec = qv._core, qv.mean.info["index"], qv.pctl.info["index"], qv.coalescec.info["index"]
    calls = [lambda: qv.log(x), lambda: qv.median(x), lambda: core.reduce(pctl, x.reshape(2, 4), 50.0, True),
             lambda: core.call_table(coalescec, text, True), lambda: core.group_stats(codes, 2, x, [(mean, None)], True)]
    for _ in range(5000):
        for c in calls:
            c()
    before = rss()
    for _ in range(100000):
        for c in calls:
            c()
    assert rss() - before < 4 << 20


INTERRUPTED = """
import sys, traceback
import numpy as np
import qvewumth as qv
x = np.random.default_rng(3).normal(size=10**6)
by = np.arange(x.size) % 2
print("running", flush=True)
try:
    CALL
except KeyboardInterrupt:
    frame = traceback.extract_tb(sys.exc_info()[2])[-1]
    print("KeyboardInterrupt in", frame.name, frame.line, flush=True)
"""


@pytest.mark.parametrize("call", [
    "qv.moving(x, 10**5, 'std')",  # one call per window: minutes of work in one call
    "qv.moving(x, 10**5, 'mean', by=by)",
    "for _ in range(200): qv.moving(x, 1001, 'median')",  # many calls of a fraction of a second
])
def test_ctrl_c_interrupts_a_long_moving_statistic(call):
    # The signal must stop the call it arrives in, not wait for the call to end.
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED.replace("CALL", call)], stdout=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline() == "running\n"
        time.sleep(0.5)
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, _ = child.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        out = "still running 30 s after the signal"
    finally:
        child.kill()
    assert child.returncode == 0 and time.monotonic() - sent < 10, out
    assert out.startswith("KeyboardInterrupt in _moving") and "_core.moving(" in out, out


TIGHT = """
import resource, sys
import numpy as np
import qvewumth as qv
x = np.random.default_rng(1).normal(size=4 * 10**6)
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * 4096
resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), resource.RLIM_INFINITY))
for call in (lambda: qv.mad(x), lambda: qv.pctl(x.reshape(2, -1), 90, axis=1), lambda: qv.moving(x, 7, "max")):
    try:
        call()
        print("ok")
    except MemoryError as e:
        print(e)
"""


def test_a_tight_address_space_gives_memory_errors_that_name_the_call():
    run = subprocess.run([sys.executable, "-c", TIGHT], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert len(lines) == 3 and re.fullmatch(r"qv\.mad: out of memory asking for [1-9]\d* bytes", lines[0]), lines
    assert all(line == "ok" or re.match(r"qv\.(pctl|max): out of memory", line) for line in lines[1:]), lines


def test_release_memory_gives_back_what_calls_keep():
    x = np.random.default_rng(2).normal(size=2 * 10**6)
    bound = qv.set_warm_limit(1 << 30)
    try:
        first = qv.mad(x)
        held = rss()
        qv.release_memory()
    finally:
        qv.set_warm_limit(bound)
    assert held - rss() > 16 << 20  # the argument list alone is 16 bytes a value
    assert bits(qv.mad(x)) == bits(first)


KEPT = """
import sys
import numpy as np
import qvewumth as qv

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith(field + ":"))

limit, size, calls = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3].split(",")
if limit >= 0:
    qv.set_warm_limit(limit)
x = np.random.default_rng(4).random(size)
np.median(x)
for name in calls:  # the first call's own costs (its call, Python's caches) are not the values'
    getattr(qv, name)(x[:100])
rss, peak = status("VmRSS"), status("VmHWM")
for name in calls:
    getattr(qv, name)(x)
print(status("VmRSS") - rss, status("VmHWM") - peak)
"""


@pytest.mark.parametrize("limit, size, calls, kept", [
    (-1, 10**7, "mad,kurtosis", (-(16 << 20), 32 << 20)),  # each call needs about 24 bytes a value, then gives it back
    (-1, 2**18, "mad,kurtosis", (4 << 20, 32 << 20)),  # within the bound: kept for the next call
    (0, 2**18, "mad", (-(16 << 20), 1 << 20)),
    (1 << 30, 10**7, "mad,sum", (200 << 20, 1 << 30)),
])
def test_calls_keep_memory_up_to_the_warm_limit(limit, size, calls, kept):
    # numpy's own median ran first, so the rise of the peak is what the package's calls need.
    run = subprocess.run([sys.executable, "-c", KEPT, str(limit), str(size), calls], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    resident, peak = map(int, run.stdout.split())
    assert kept[0] <= resident <= kept[1], (resident, peak)
    assert size < 10**6 or peak > 100 << 20, (resident, peak)
