"""Thousands of calls down every success and failure path leave nothing behind.

Each path is warmed up and then called CALLS times. Afterwards the reference
counts of everything passed in are what they were; the interpreter's count of
allocated memory blocks has not grown by one per call (the least a lost
Python object costs; freelists and pandas' caches account for at most a few
hundred); the process's resident memory has not grown, which is where a lost
C++ buffer would show (every working vector of a call is tens of kilobytes);
and the caller's buffers are byte-for-byte unchanged.
"""

import gc
import os
import sys

import numpy as np
import pandas as pd
import pytest
from conftest import SMALL_BETA, SMALL_V, SMALL_X, FakeResults, fake_model

import velmora

pytestmark = pytest.mark.slow

WARM_UP = 200
CALLS = 3000
BLOCK_GROWTH = CALLS // 4
RSS_GROWTH = 4 << 20
# AddressSanitizer keeps freed memory in quarantine (up to 256 MB) and writes
# shadow memory for each allocation, so resident memory says nothing there;
# its own checks stand in for this one.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

rng = np.random.default_rng(17)
N, K = 2000, 8
BIG_X = np.column_stack([np.ones(N), rng.normal(size=(N, K - 3)), rng.random((N, 2)) < 0.5])
BIG_BETA = rng.normal(size=K) / 3
BIG_V = np.cov(rng.normal(size=(K, 50))) / 50
BIG_NAMES = ["const", *(f"x{j}" for j in range(1, K - 2)), "d1", "d2"]
# Names of two letters or more: one-letter strings are immortal from 3.12 on.
NAMES = ["const", "x1", "d1"]


def own_copy(name):
    """A str of its own. Literal strings are interned, and interned strings are
    immortal on 3.12, so a lost reference to a literal name would not show."""
    return name.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")


def is_counted(obj):
    """False for an immortal object, whose reference count never moves."""
    before = sys.getrefcount(obj)
    pair = (obj, obj)
    return sys.getrefcount(pair[0]) == before + 2


class Inputs:
    """One path's arguments, with every object whose references must stay flat."""

    def __init__(self, kind="Logit", exog=BIG_X, params=BIG_BETA, cov=BIG_V, names=BIG_NAMES):
        def own(value):
            if isinstance(value, str):
                return own_copy(value)
            if isinstance(value, list):
                return [own(v) for v in value]
            return value.copy() if isinstance(value, np.ndarray) else value

        self.exog, self.params, self.cov, self.names = own(exog), own(params), own(cov), own(names)
        self.results = FakeResults(fake_model(kind, self.exog, self.names), self.params, self.cov)
        # None (names-none) is immortal from 3.12 on and everyone's before: not watched.
        self.watched = [
            obj
            for obj in [
                self.results,
                self.results.model,
                self.exog,
                self.params,
                self.cov,
                self.names,
                *(name for name in (self.names if isinstance(self.names, list) else [])),
            ]
            if obj is not None
        ]

    def buffers(self):
        return [
            a.tobytes() for a in (self.exog, self.params, self.cov) if isinstance(a, np.ndarray)
        ]


class RaisingCov(FakeResults):
    def cov_params(self):
        raise LookupError("no covariance")


def frame_inputs():
    inputs = Inputs(exog=pd.DataFrame(BIG_X, columns=BIG_NAMES))
    inputs.results.params = pd.Series(BIG_BETA, index=BIG_NAMES)
    inputs.results._cov = pd.DataFrame(BIG_V)
    return inputs


def raising_cov_inputs():
    inputs = Inputs()
    inputs.results = RaisingCov(inputs.results.model, inputs.params, inputs.cov)
    inputs.watched[0] = inputs.results
    return inputs


def small(**parts):
    values = dict(exog=SMALL_X, params=SMALL_BETA, cov=SMALL_V, names=NAMES)
    values.update(parts)
    return lambda: Inputs(**values)


# path -> (inputs, positional arguments after the model, keyword arguments, expected outcome)
PATHS = {
    "logit": (Inputs, (), {}, pd.DataFrame),
    "probit-sm-chunked": (lambda: Inputs("Probit"), (97, "sm"), {}, pd.DataFrame),
    "chunk-of-one": (small(), (1,), {}, pd.DataFrame),
    "pandas-objects": (frame_inputs, (), {"se_method": "orvo"}, pd.DataFrame),
    "no-rows": (small(exog=SMALL_X[:0]), (), {}, pd.DataFrame),
    "no-columns": (
        small(exog=np.empty((4, 0)), params=np.empty(0), cov=np.empty((0, 0)), names=[]),
        (),
        {},
        pd.DataFrame,
    ),
    "too-many-positional": (small(), (1, "sm", 4), {}, TypeError),
    "unexpected-keyword": (small(), (), {"chunk": 3}, TypeError),
    "repeated-argument": (small(), (3,), {"chunk_size": 3}, TypeError),
    "chunk-size-float": (small(), (2.5,), {}, TypeError),
    "chunk-size-negative": (small(), (-1,), {}, OverflowError),
    "chunk-size-zero": (small(), (0,), {}, ValueError),
    "se-method-int": (small(), (None, 5), {}, TypeError),
    "se-method-unknown": (small(), (None, "SM"), {}, ValueError),
    "se-method-surrogate": (small(), (None, "\ud800"), {}, UnicodeEncodeError),
    "unsupported-family": (lambda: Inputs("OLS"), (), {}, ValueError),
    "params-list": (small(params=[0.1, 0.2, 0.3]), (), {}, TypeError),
    "cov-one-dimension": (small(cov=SMALL_BETA), (), {}, TypeError),
    "cov-params-raises": (raising_cov_inputs, (), {}, LookupError),
    "exog-int": (small(exog=SMALL_X.astype(int)), (), {}, TypeError),
    "names-str": (small(names="const"), (), {}, TypeError),
    "names-none": (small(names=None), (), {}, TypeError),
    # Small integers are immortal from 3.12 on; this one is counted on every version.
    "name-not-str": (small(names=["const", 10**30, "d1"]), (), {}, TypeError),
    "name-surrogate": (small(names=["const", "\udc80", "d1"]), (), {}, UnicodeEncodeError),
    "panic-names-short": (small(names=NAMES[:2]), (), {}, "PanicException"),
    "panic-params-long": (
        lambda: Inputs(params=np.append(BIG_BETA, 1.0)),
        (),
        {},
        "PanicException",
    ),
    "panic-cov-shape": (lambda: Inputs(cov=BIG_V[:, :-1]), (), {}, "PanicException"),
}


def call(inputs, args, kwargs):
    try:
        return velmora.mfx(inputs.results, *args, **kwargs)
    except BaseException as exc:  # noqa: B036 - internal failures are among the paths
        return exc


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="resident memory from /proc")
@pytest.mark.parametrize("make, args, kwargs, expected", PATHS.values(), ids=PATHS)
def test_repeated_calls_leave_nothing_behind(make, args, kwargs, expected, capfd):
    inputs = make()
    first = call(inputs, args, kwargs)
    if isinstance(expected, str):
        assert type(first).__name__ == expected
    else:
        assert type(first) is expected, first
    del first
    buffers = inputs.buffers()
    for _ in range(WARM_UP):
        call(inputs, args, kwargs)
    gc.collect()
    # A check that means the same under every interpreter.
    assert all(is_counted(obj) for obj in inputs.watched)
    refcounts = [sys.getrefcount(obj) for obj in inputs.watched]

    blocks_before = sys.getallocatedblocks()
    rss_before = resident_bytes()
    for _ in range(CALLS):
        call(inputs, args, kwargs)
    gc.collect()
    block_growth = sys.getallocatedblocks() - blocks_before
    rss_growth = resident_bytes() - rss_before

    capfd.readouterr()  # the diagnostics of the internal failures
    assert [sys.getrefcount(obj) for obj in inputs.watched] == refcounts
    assert block_growth < BLOCK_GROWTH, block_growth
    assert UNDER_ASAN or rss_growth < RSS_GROWTH, rss_growth
    assert inputs.buffers() == buffers
