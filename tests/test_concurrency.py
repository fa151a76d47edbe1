"""mfx called again from the code it runs, and from several Python threads at once.

Each call has its own data: a nested call, successful or failing, leaves the
outer one undisturbed, and threads whose calls interleave (the results
object's own Python code lets the interpreter switch threads mid-read) all
get the tables they would get alone.
"""

import sys
import threading
import time

import numpy as np
import pandas as pd
import pytest
from conftest import SMALL_BETA, SMALL_NAMES, SMALL_V, SMALL_X, FakeResults, fake_model

import velmora


def small(kind="Logit", **parts):
    params = parts.get("params", SMALL_BETA)
    cov = parts.get("cov", SMALL_V)
    return FakeResults(
        fake_model(kind, parts.get("exog", SMALL_X), parts.get("names", SMALL_NAMES)), params, cov
    )


def synthetic(seed, kind, n=3000, k=6):
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.normal(size=(n, k - 2)), rng.random(n) < 0.4])
    a = rng.normal(size=(k, k))
    names = ["const", *(f"x{j}" for j in range(1, k - 1)), "d"]
    return small(kind, exog=X, params=rng.normal(size=k) / 2, cov=a @ a.T / n, names=names)


OTHER = small("Probit", exog=SMALL_X[::-1].copy())


class Reentrant:
    """A results object that calls mfx on `inner` from one of its own reads."""

    def __init__(self, at, inner, outer=None):
        self.at, self.inner, self.nested = at, inner, []
        self.outer = small() if outer is None else outer
        self.model = ReentrantModel(self)

    def call_inner(self, point):
        if point == self.at:
            try:
                self.nested.append(velmora.mfx(self.inner))
            except BaseException as exc:  # noqa: B036 - the nested failure is the point
                self.nested.append(exc)

    @property
    def params(self):
        self.call_inner("params")
        return ValuesHook(self, "params.values", self.outer.params)

    def cov_params(self):
        self.call_inner("cov_params()")
        return ValuesHook(self, "cov.values", self.outer.cov_params())


class ReentrantModel:
    def __init__(self, owner):
        self.owner = owner

    @property
    def __class__(self):
        self.owner.call_inner("__class__")
        return type(self.owner.outer.model)

    @property
    def exog(self):
        self.owner.call_inner("exog")
        return ExogHook(self.owner)

    @property
    def exog_names(self):
        self.owner.call_inner("exog_names")
        return NamesHook(self.owner)


class ValuesHook:
    def __init__(self, owner, point, values):
        self.owner, self.point, self._values = owner, point, values

    @property
    def values(self):
        self.owner.call_inner(self.point)
        return self._values


class ExogHook:
    def __init__(self, owner):
        self.owner = owner

    @property
    def values(self):
        self.owner.call_inner("exog.values")
        return self.owner.outer.model.exog

    @property
    def columns(self):
        self.owner.call_inner("exog.columns")
        return NamesHook(self.owner)


class NamesHook(list):
    def __init__(self, owner):
        super().__init__(owner.outer.model.exog_names)
        self.owner = owner

    def __iter__(self):
        self.owner.call_inner("names.__iter__")
        return super().__iter__()


POINTS = [
    "__class__",
    "params",
    "params.values",
    "cov_params()",
    "cov.values",
    "exog",
    "exog.values",
    "exog.columns",
    "names.__iter__",
]
INNER = {
    "succeeds": (OTHER, None),
    "raises-type-error": (small(params=[1.0, 2.0, 3.0]), TypeError),
    "panics": (small(names=["const"]), "PanicException"),
    "unsupported": (small("OLS"), ValueError),
}


@pytest.mark.parametrize("inner, failure", INNER.values(), ids=INNER)
@pytest.mark.parametrize("point", POINTS)
def test_nested_call_at_each_read(point, inner, failure, capfd):
    expected_outer = velmora.mfx(small())
    expected_inner = None if failure else velmora.mfx(inner)
    results = Reentrant(point, inner)
    pd.testing.assert_frame_equal(velmora.mfx(results), expected_outer)
    assert len(results.nested) == 1
    (nested,) = results.nested
    if failure is None:
        pd.testing.assert_frame_equal(nested, expected_inner)
    elif isinstance(failure, str):
        assert type(nested).__name__ == failure
        capfd.readouterr()  # the panic's diagnostic
    else:
        assert type(nested) is failure


def test_nested_call_from_the_frame_constructor(monkeypatch):
    real = pd.DataFrame
    nested = []

    def constructor(*args, **kwargs):
        if not nested:
            nested.append(None)
            nested[0] = velmora.mfx(OTHER)
        return real(*args, **kwargs)

    expected_outer, expected_inner = velmora.mfx(small()), velmora.mfx(OTHER)
    monkeypatch.setattr(pd, "DataFrame", constructor)
    pd.testing.assert_frame_equal(velmora.mfx(small()), expected_outer)
    pd.testing.assert_frame_equal(nested[0], expected_inner)


def test_deep_recursion_through_cov_params():
    # Each level's cov_params computes the table of the next one first.
    depth = 40
    levels = [
        small("Probit" if i % 2 else "Logit", exog=SMALL_X * (1 + i / 10)) for i in range(depth)
    ]
    expected = [velmora.mfx(level) for level in levels]
    tables = [None] * depth
    for i, level in enumerate(levels):

        def cov_params(i=i):
            if i + 1 < depth:
                tables[i + 1] = velmora.mfx(levels[i + 1])
            return SMALL_V

        level.cov_params = cov_params
    tables[0] = velmora.mfx(levels[0])
    for table, want in zip(tables, expected, strict=True):
        pd.testing.assert_frame_equal(table, want)


@pytest.fixture
def fast_switching():
    # Switch threads as often as the interpreter allows, so calls interleave.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


IN_FLIGHT = {"now": 0, "most_seen_mid_read": 0}
IN_FLIGHT_LOCK = threading.Lock()


class Yielding(FakeResults):
    """Gives other threads the interpreter in the middle of being read."""

    def cov_params(self):
        time.sleep(0)
        with IN_FLIGHT_LOCK:
            IN_FLIGHT["most_seen_mid_read"] = max(IN_FLIGHT["most_seen_mid_read"], IN_FLIGHT["now"])
        return super().cov_params()


def thread_cases():
    cases = []
    for seed in range(6):
        kind = "Probit" if seed % 2 else "Logit"
        base = synthetic(seed, kind)
        cases.append((base, 1 + 97 * seed, "sm" if seed % 3 else "orvo"))
        yielding = Yielding(base.model, base.params, base._cov)
        cases.append((yielding, None, "orvo"))
    cases.append((small(params=SMALL_BETA[:2]), None, None))  # a panic among them
    cases.append((small(exog=SMALL_X.astype(int)), None, None))  # a TypeError
    return cases


def outcome(case):
    results, chunk, method = case
    with IN_FLIGHT_LOCK:
        IN_FLIGHT["now"] += 1
    try:
        return velmora.mfx(results, chunk, method)
    except BaseException as exc:  # noqa: B036 - a panic is one of the outcomes compared
        return type(exc).__name__, str(exc)
    finally:
        with IN_FLIGHT_LOCK:
            IN_FLIGHT["now"] -= 1


def test_threads_calling_at_once(fast_switching, capfd):
    cases = thread_cases()
    alone = [outcome(case) for case in cases]
    IN_FLIGHT["most_seen_mid_read"] = 0
    rounds = 8
    barrier = threading.Barrier(len(cases))
    got = [[] for _ in cases]

    def worker(i):
        barrier.wait()
        for r in range(rounds):
            # Each thread walks the cases from its own offset, so all of them run side by side.
            j = (i + r) % len(cases)
            got[i].append((j, outcome(cases[j])))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(cases))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
        assert not thread.is_alive()
    capfd.readouterr()
    assert IN_FLIGHT["most_seen_mid_read"] > 1, IN_FLIGHT  # calls did overlap
    assert sum(len(g) for g in got) == rounds * len(cases)
    for results in got:
        for j, result in results:
            if isinstance(alone[j], tuple):
                assert result == alone[j]
            else:
                pd.testing.assert_frame_equal(result, alone[j], check_exact=False, rtol=1e-13)


# A call over 10^8 broadcast rows (the memory of one) runs for seconds; a
# SIGINT 0.2 s in must end it with KeyboardInterrupt, and the next call works.
CTRL_C_SCRIPT = """
import signal, time
import numpy as np
from numpy.lib.stride_tricks import as_strided
import velmora

class Results:
    def __init__(self, exog, names):
        self.model = type("Logit", (), {})()
        self.model.exog = exog
        self.model.exog_names = names
        self.params = np.linspace(-0.5, 0.5, exog.shape[1])
    def cov_params(self):
        return np.eye(self.model.exog.shape[1])

k = 20
row = np.random.default_rng(3).normal(size=k)
row[0], row[1] = 1.0, 1.0
names = ["const"] + [f"x{j}" for j in range(1, k)]
big = Results(as_strided(row, shape=(10**8, k), strides=(0, row.itemsize)), names)
small = Results(np.tile(row, (50, 1)) + np.linspace(0, 1, 50)[:, None], names)
velmora.mfx(small)  # SciPy's BLAS and pandas imported before the clock starts
# The call holds the interpreter lock, so no Python thread could send the signal;
# an interval timer raises it from the kernel, as a terminal's Ctrl-C would, and its
# handler is the one SIGINT has.
signal.signal(signal.SIGALRM, signal.default_int_handler)
sent = time.perf_counter() + 0.2
signal.setitimer(signal.ITIMER_REAL, 0.2)
try:
    velmora.mfx(big)
    print("completed")
except KeyboardInterrupt:
    print("interrupted", time.perf_counter() - sent)
print("after", velmora.mfx(small).shape)
"""


def test_ctrl_c_ends_a_long_call(run_python):
    done = run_python(CTRL_C_SCRIPT)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("interrupted"), done.stdout
    latency = float(lines[0].split()[1])
    print(f"signal to KeyboardInterrupt: {latency * 1e3:.1f} ms")
    assert latency < 2.0  # a bound for loaded machines; it takes milliseconds
    assert lines[1] == "after (19, 7)"
