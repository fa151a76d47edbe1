"""How fast velmora.mfx is, against statsmodels and against one pass over the data.

Run with ``./dev bench`` (or ``.venv/bin/python bench/bench_mfx.py [--quick]``). In one
process it measures, on seeded synthetic data (an intercept, two 0/1 dummies, the rest
continuous; Logit and Probit; both standard-error methods):

1. velmora against statsmodels' get_margeff(at="overall", method="dydx", dummy=True),
2. velmora against the floor of one pass over the data, ``model.exog @ params`` in NumPy
   on the same array,
3. time per row against n, and time against k, and at n = 10^6 how much of a call is the pass
   over X itself (the module's block entry point on all of X) and how much the rest, and the
   pass against one plain read of X on one core (NumPy's ``X.sum()``),
4. the growth of resident memory during one call (each in a fresh subprocess),
5. a C-ordered against a Fortran-ordered design matrix,
6. how soon a Ctrl-C ends a long call (SIGINT 0.2 s into a call on a 2 * 10^7 x 20 array,
   in a subprocess; a call on 10^7 rows may end before 0.2 s),
7. the fixed cost of a call at n = 100 and 10^4,

prints the tables and writes a log-log plot of time against n (docs/mfx_timing.png).
Every time is the median of several repetitions; the spread is the minimum and maximum.
``X @ params`` is timed with NumPy's BLAS on its default threads and on one thread
(threadpoolctl where it is installed, else a subprocess with OPENBLAS_NUM_THREADS=1), since
mfx computes on the calling thread alone.

``--against DIR`` instead times this build against another build of the module found in DIR
(an earlier commit installed with ``pip install --target DIR``), each in fresh processes,
taking turns, at n = 100, 10^4 and 10^6 (k = 20; each turn the median of 201 calls at the small
sizes, of 7 at 10^6).

Each measurement below is a function that returns a Table of rows; MEASUREMENTS lists them in
the order they run, show() prints every table, and what must run in a fresh interpreter is a
function of CHILDREN, run by in_child().
"""

import argparse
import dataclasses
import json
import os
import re
import statistics
import subprocess
import sys
import time
from collections.abc import Callable, Iterable
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
FAMILIES = ("Logit", "Probit")
METHODS = ("orvo", "sm")
N_DUMMIES = 2


def make_design(n, k, seed=20261208, order="C"):
    """X (intercept, 2 dummies, k - 3 continuous), true beta and a 0/1 outcome per family."""
    rng = np.random.default_rng(seed)
    X = np.empty((n, k), order=order)
    X[:, 0] = 1.0
    X[:, 1 : 1 + N_DUMMIES] = rng.random((n, N_DUMMIES)) < 0.4
    X[:, 1 + N_DUMMIES :] = rng.standard_normal((n, k - 1 - N_DUMMIES))
    beta = np.random.default_rng(seed + 1).normal(0.0, 0.6 / np.sqrt(k), k)
    beta[0] = -0.3
    xb = X @ beta
    outcomes = {
        "Logit": (xb + rng.logistic(size=n) > 0).astype(float),
        "Probit": (xb + rng.standard_normal(n) > 0).astype(float),
    }
    return X, beta, outcomes


def names_for(k):
    return ["const"] + [f"d{i}" for i in range(N_DUMMIES)] + [f"x{i}" for i in range(k - 3)]


class StandIn:
    """A results object with what mfx reads, around a real (unfitted) statsmodels model.

    Fitting at millions of rows only to time mfx would dominate the run; mfx reads the
    model, params and cov_params() and nothing else, so a real fit changes no timing.
    """

    def __init__(self, family, X, y, beta):
        import statsmodels.api as sm

        self.model = getattr(sm, family)(y, X)
        self.model.exog_names[:] = names_for(X.shape[1])
        self.params = beta
        self._cov = np.eye(X.shape[1]) * 1e-4

    def cov_params(self):
        return self._cov


def fitted(family, X, y):
    import statsmodels.api as sm

    return getattr(sm, family)(y, X).fit(disp=0, maxiter=50)


def timed(fn, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), min(times), max(times)


# ------------------------------------------------------------------ tables


@dataclasses.dataclass
class Column:
    """A table's column: its header, a format code (alignment and width first) for its
    cells, and the cell of a row (by default the row's entry named as the header)."""

    header: str
    format_code: str
    cell: Callable | None = None

    def format(self, row):
        return format(row[self.header] if self.cell is None else self.cell(row), self.format_code)

    def head(self):
        return format(self.header, re.match(r"[<>^]?\d*", self.format_code).group())


@dataclasses.dataclass
class Table:
    """What a measurement returns: rows (dicts, or anything its columns read), the title
    and columns to print them by, and lines to print after them."""

    title: str
    columns: list[Column]
    rows: Iterable = ()
    notes: list[str] = dataclasses.field(default_factory=list)


def show(table):
    """The one place that prints: a table's title, header, rows as they come, and notes."""
    print(f"\n{table.title}")
    if table.columns:
        head = " ".join(column.head() for column in table.columns)
        print(head)
        print("-" * len(head))
        for row in table.rows:
            print(" ".join(column.format(row) for column in table.columns), flush=True)
    for note in table.notes:
        print(note)


def spread(t):
    med, lo, hi = t
    return f"{med * 1e3:9.2f} ({lo * 1e3:.2f}-{hi * 1e3:.2f})"


def ms(t):
    """The median of a (median, min, max) triple, in ms."""
    return t[0] * 1e3


# ------------------------------------------------------------------ fresh interpreters


def in_child(name, *args, env=None, check=True):
    """CHILDREN[name](*args) in a fresh interpreter, its result read back as JSON; when the
    child fails, with check=False None (a measurement this machine cannot make), else an
    error that carries the child's stderr."""
    out = subprocess.run(
        [sys.executable, __file__, "--child", name, json.dumps(args)],
        env=env,
        capture_output=True,
        text=True,
    )
    if out.returncode != 0:
        if check:
            raise RuntimeError(f"child {name}{args} failed:\n{out.stderr}")
        return None
    return json.loads(out.stdout.splitlines()[-1])


def run_child(name, args):
    print(json.dumps(CHILDREN[name](*json.loads(args))))


# ------------------------------------------------------------------ the run's sizes


@dataclasses.dataclass
class Sizes:
    statsmodels: tuple
    floor: tuple
    memory_n: int
    ks: tuple
    repeats: int
    sm_repeats: int
    interrupt_n: int


FULL = Sizes(
    statsmodels=(10_000, 100_000, 400_000),
    floor=(100_000, 1_000_000, 4_000_000),
    memory_n=1_000_000,
    ks=(5, 20, 80),
    repeats=7,
    sm_repeats=3,
    interrupt_n=20_000_000,
)
QUICK = Sizes(
    statsmodels=(2_000, 10_000),
    floor=(10_000, 50_000),
    memory_n=50_000,
    ks=(5, 20),
    repeats=3,
    sm_repeats=1,
    interrupt_n=1_000_000,
)


# ------------------------------------------------------------------ 1. statsmodels


def against_statsmodels(sizes, tables):
    import velmora

    rows = []
    for n in sizes.statsmodels:
        X, _, outcomes = make_design(n, 20)
        for family in FAMILIES:
            res = fitted(family, X, outcomes[family])
            velmora.mfx(res)
            reps = sizes.sm_repeats if n < 400_000 else max(1, sizes.sm_repeats - 1)
            sm_time = timed(
                lambda res=res: res.get_margeff(at="overall", method="dydx", dummy=True), reps
            )
            for method in METHODS:
                t = timed(lambda res=res, m=method: velmora.mfx(res, se_method=m), sizes.repeats)
                rows.append({"n": n, "family": family, "se": method, "t": t, "sm": sm_time})
    return Table(
        "1. velmora against statsmodels get_margeff (k = 20), ms: median (min-max)",
        [
            Column("n", ">8"),
            Column("family", "<6"),
            Column("se", "<4"),
            Column("velmora", ">24", lambda r: spread(r["t"])),
            Column("statsmodels", ">28", lambda r: spread(r["sm"])),
            Column("ratio", ">7.0f", lambda r: r["sm"][0] / r["t"][0]),
        ],
        rows,
    )


def statsmodels_memory_child(n):
    """The peak resident memory growth of one get_margeff, in MiB."""
    X, _, outcomes = make_design(n, 20)
    res = fitted("Logit", X, outcomes["Logit"])
    before = rss_kib("VmRSS")
    reset_peak()
    res.get_margeff(at="overall", method="dydx", dummy=True)
    return (rss_kib("VmHWM") - before) / 1024


# ------------------------------------------------------------------ 2, 3, 5. floor


SINGLE_THREAD_ENV = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


def one_thread_floor(X, beta, n, k, order, repeats):
    """X @ params with NumPy's BLAS on one thread: (median, min, max) seconds."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        env = {**os.environ, **SINGLE_THREAD_ENV}
        return tuple(in_child("floor", n, k, order, repeats, env=env))
    with threadpool_limits(limits=1, user_api="blas"):
        return timed(lambda: X @ beta, repeats)


def floor_child(n, k, order, repeats):
    X, beta, _ = make_design(n, k, order=order)
    X @ beta
    return timed(lambda: X @ beta, repeats)


def floor_rows(ns, repeats, orders=("C",), k=20):
    import velmora

    rows = []
    for n in ns:
        for order in orders:
            X, beta, outcomes = make_design(n, k, order=order)
            floor = timed(lambda X=X, beta=beta: X @ beta, repeats)
            single = one_thread_floor(X, beta, n, k, order, repeats)
            for family in FAMILIES:
                res = StandIn(family, X, outcomes[family], beta)
                velmora.mfx(res)
                for method in METHODS:
                    t = timed(lambda res=res, m=method: velmora.mfx(res, se_method=m), repeats)
                    rows.append(
                        {
                            "n": n,
                            "k": k,
                            "X": order,
                            "family": family,
                            "se": method,
                            "t": t,
                            "floor": floor,
                            "single": single,
                        }
                    )
            del X, outcomes
    return rows


def floor_table(title, rows):
    return Table(
        f"{title}, ms: median (min-max); ratios to X @ params on NumPy's threads and on one",
        [
            Column("n", ">8"),
            Column("k", ">3"),
            Column("X", "<2"),
            Column("family", "<6"),
            Column("se", "<4"),
            Column("velmora", ">24", lambda r: spread(r["t"])),
            Column("X @ params", ">24", lambda r: spread(r["floor"])),
            Column("1 thread", ">9.2f", lambda r: ms(r["single"])),
            Column("ratio", ">6.2f", lambda r: r["t"][0] / r["floor"][0]),
            Column("1 thr", ">6.2f", lambda r: r["t"][0] / r["single"][0]),
            Column("ns/row", ">7.1f", lambda r: r["t"][0] / r["n"] * 1e9),
        ],
        rows,
    )


def against_floor(sizes, tables):
    rows = floor_rows(sizes.floor, sizes.repeats)
    return floor_table("2, 3. velmora against one pass over the data (k = 20)", rows)


def against_k(sizes, tables):
    n = sizes.floor[1]
    rows = []
    for k in sizes.ks:
        rows += floor_rows((n,), sizes.repeats, orders=("C", "F"), k=k)
    return floor_table(f"3. Cost against k, C and Fortran order (n = {n})", rows)


def pass_alone(sizes, tables, k=20):
    """mfx against the pass over X alone, timed in turns on the same array."""
    import velmora

    n, repeats = sizes.floor[1], sizes.repeats
    X, beta, outcomes = make_design(n, k)
    dummies = list(range(1, 1 + N_DUMMIES))
    rows = []
    for family in FAMILIES:
        res = StandIn(family, X, outcomes[family], beta)
        velmora.mfx(res)
        calls, passes = [], []
        for _ in range(repeats):
            start = time.perf_counter()
            velmora.mfx(res)
            calls.append(time.perf_counter() - start)
            start = time.perf_counter()
            velmora._block_totals(family.lower(), beta, X, [0], dummies, "orvo")
            passes.append(time.perf_counter() - start)
        rows.append(
            {"family": family, "call": statistics.median(calls), "pass": statistics.median(passes)}
        )
    floor = timed(lambda: X @ beta, repeats)[0]
    # One plain read of X on one core: NumPy's sum, which starts no threads.
    one_read = timed(X.sum, repeats)[0]
    return Table(
        f"3. The pass over X alone against the whole call (n = {n}, k = 20, C order, orvo), "
        "ms: medians; the rest is reading the model, the dummy guess and the DataFrame; "
        f"one read of X on one core (X.sum()) took {one_read * 1e3:.2f} ms",
        [
            Column("family", "<6"),
            Column("mfx", ">8.2f", lambda r: r["call"] * 1e3),
            Column("pass", ">8.2f", lambda r: r["pass"] * 1e3),
            Column("rest", ">8.2f", lambda r: (r["call"] - r["pass"]) * 1e3),
            Column("pass / X @ params", ">18.2f", lambda r: r["pass"] / floor),
            Column("pass / X.sum()", ">15.2f", lambda r: r["pass"] / one_read),
        ],
        rows,
    )


def layouts(sizes, tables):
    """Section 3's k = 20 rows again, Fortran order against C order."""
    by_key = {
        (r["n"], r["X"], r["family"], r["se"]): r["t"] for r in tables["k"].rows if r["k"] == 20
    }
    rows = [
        {"n": n, "family": family, "se": method, "C": t, "F": by_key[(n, "F", family, method)]}
        for (n, order, family, method), t in by_key.items()
        if order == "C" and (n, "F", family, method) in by_key
    ]
    return Table(
        "5. Fortran-ordered against C-ordered X (k = 20): ratio of median times",
        [
            Column("n", ">8"),
            Column("family", "<6"),
            Column("se", "<4"),
            Column("C ms", ">9.2f", lambda r: ms(r["C"])),
            Column("F ms", ">9.2f", lambda r: ms(r["F"])),
            Column("F / C", ">6.2f", lambda r: r["F"][0] / r["C"][0]),
        ],
        rows,
    )


# ------------------------------------------------------------------ 4. memory


def rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise OSError(f"{field} not in /proc/self/status")


def reset_peak():
    with open("/proc/self/clear_refs", "w") as refs:  # resets the VmHWM high-water mark
        refs.write("5")


def memory_child(n, chunk):
    """The peak resident memory growth (MiB) of one mfx call."""
    import velmora

    X, beta, outcomes = make_design(n, 20)
    res = StandIn("Logit", X, outcomes["Logit"], beta)
    velmora.mfx(res, chunk_size=10)  # pandas and everything else loaded first
    before = rss_kib("VmRSS")
    reset_peak()
    velmora.mfx(res, chunk_size=chunk)
    return (rss_kib("VmHWM") - before) / 1024


def memory(sizes, tables, repeats=3):
    n = sizes.memory_n
    rows = []
    for chunk in (None, 10_000):
        runs = [in_child("memory", n, chunk, check=False) for _ in range(repeats)]
        rows.append({"n": n, "chunk_size": chunk, "runs": [r for r in runs if r is not None]})
    notes = []
    for sm_n in sizes.statsmodels[-2:]:
        peak = in_child("statsmodels-memory", sm_n, check=False)
        if peak is not None:
            notes.append(
                f"statsmodels get_margeff at n = {sm_n}: {peak:.0f} MiB "
                f"(X is {sm_n * 20 * 8 / 2**20:.0f} MiB)"
            )
    return Table(
        "4. Growth of resident memory during one call (Logit, k = 20, fresh process each)",
        [
            Column("n", ">8"),
            Column("X MiB", ">7.1f", lambda r: r["n"] * 20 * 8 / 2**20),
            Column("chunk_size", ">10", lambda r: str(r["chunk_size"])),
            Column("MiB: median (min-max)", ">24", lambda r: memory_cell(r["runs"])),
        ],
        rows,
        notes,
    )


def memory_cell(runs):
    if not runs:
        return "not measurable here"
    return f"{statistics.median(runs):8.2f} ({min(runs):.2f}-{max(runs):.2f})"


# ------------------------------------------------------------------ 6. Ctrl-C


def interrupt_child(n, k, calls):
    """SIGINT 0.2 s into each of `calls` calls; the latencies, in s."""
    import signal
    import threading

    import velmora

    # A shell that starts this in the background may have SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    X, beta, outcomes = make_design(n, k)
    res = StandIn("Logit", X, outcomes["Logit"], beta)
    velmora.mfx(StandIn("Logit", X[:1000], outcomes["Logit"][:1000], beta))
    latencies = []
    for _ in range(calls):
        sent = []

        def interrupt(sent=sent):
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)

        timer = threading.Timer(0.2, interrupt)
        try:
            timer.start()
            velmora.mfx(res)
            timer.cancel()
            timer.join()
            time.sleep(0.05)  # a signal sent just as the call ended arrives here
            latencies.append(float("nan"))  # the call ended before the signal
        except KeyboardInterrupt:
            caught = time.perf_counter()
            timer.join()
            latencies.append(caught - sent[0])
    return latencies


def interrupt(sizes, tables, k=20, calls=5):
    n = sizes.interrupt_n
    latencies = in_child("interrupt", n, k, calls, check=False)
    return Table(
        f"6. Ctrl-C: SIGINT 0.2 s into a call (Logit, n = {n}, k = {k}), ms to KeyboardInterrupt",
        [],
        notes=[interrupt_summary(latencies)],
    )


def interrupt_summary(latencies):
    if not latencies:
        return "not measurable here"
    done = [v for v in latencies if v == v]
    early = len(latencies) - len(done)
    note = f"; {early} of {len(latencies)} calls ended before the signal" if early else ""
    if not done:
        return f"every call ended before the signal{note}"
    cells = " ".join(f"{v * 1e3:.2f}" for v in done)
    return f"median {statistics.median(done) * 1e3:.2f}, max {max(done) * 1e3:.2f} ({cells}){note}"


# ------------------------------------------------------------------ 7. fixed cost


def fixed_cost(sizes, tables, ns=(100, 10_000)):
    import velmora

    repeats = max(sizes.repeats, 21)
    rows = []
    for n in ns:
        X, beta, outcomes = make_design(n, 20)
        for family in FAMILIES:
            res = StandIn(family, X, outcomes[family], beta)
            velmora.mfx(res)
            t = timed(lambda res=res: velmora.mfx(res), repeats)
            rows.append({"n": n, "family": family, "t": t})
    return Table(
        "7. Small calls (k = 20, orvo), ms: median (min-max)",
        [
            Column("n", ">8"),
            Column("family", "<6"),
            Column("velmora", ">24", lambda r: spread(r["t"])),
        ],
        rows,
    )


# ------------------------------------------------------------------ plot


def plot(sm_rows, floor_rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5))
    for family, marker in (("Logit", "o"), ("Probit", "s")):
        # one point per n: the stand-in's where both sections measured it
        by_n = {r["n"]: r["t"][0] for r in sm_rows if r["family"] == family and r["se"] == "orvo"}
        by_n.update(
            (r["n"], r["t"][0])
            for r in floor_rows
            if r["family"] == family and r["se"] == "orvo" and r["X"] == "C"
        )
        pts = sorted(by_n.items())
        ax.plot(
            *zip(*pts, strict=True),
            marker=marker,
            color="tab:blue",
            label=f"velmora {family} (orvo)",
        )
        sm_pts = sorted({(r["n"], r["sm"][0]) for r in sm_rows if r["family"] == family})
        ax.plot(
            *zip(*sm_pts, strict=True),
            marker=marker,
            linestyle="--",
            color="tab:red",
            label=f"statsmodels {family}",
        )
    floor_pts = sorted({(r["n"], r["floor"][0]) for r in floor_rows if r["X"] == "C"})
    ax.plot(*zip(*floor_pts, strict=True), marker="^", color="black", label="X @ params")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("rows n (k = 20)")
    ax.set_ylabel("seconds per call (median)")
    ax.set_title("Average marginal effects: time against n")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    print(f"\nplot written to {path}")


# ------------------------------------------------------------------ another build


def timing_child(n, family, method, repeats):
    """The median time of `repeats` mfx calls, in s."""
    import velmora

    X, beta, outcomes = make_design(n, 20)
    res = StandIn(family, X, outcomes[family], beta)
    velmora.mfx(res, se_method=method)
    return timed(lambda: velmora.mfx(res, se_method=method), repeats)[0]


def against_build(other, repeats=7, turns=3):
    """This build and the one in `other` in turns, the best turn of each; rows as they come."""

    def rows():
        for n in (100, 10_000, 1_000_000):
            for family in FAMILIES:
                for method in METHODS:
                    best = {"this": float("inf"), "other": float("inf")}
                    # Small calls take a fraction of a millisecond: a median of a few
                    # would move by several per cent from turn to turn.
                    calls = repeats if n >= 1_000_000 else 201
                    for _ in range(turns):
                        for which in best:
                            env = dict(os.environ)
                            if which == "other":
                                env["PYTHONPATH"] = other
                            t = in_child("timing", n, family, method, calls, env=env)
                            best[which] = min(best[which], t)
                    yield {"n": n, "family": family, "se": method, **best}

    return Table(
        f"This build against the build in {other}: ms per call, best of {turns} turns",
        [
            Column("n", ">8"),
            Column("family", "<6"),
            Column("se", "<4"),
            Column("this", ">9.3f", lambda r: r["this"] * 1e3),
            Column("other", ">9.3f", lambda r: r["other"] * 1e3),
            Column("this/other", ">10.2f", lambda r: r["this"] / r["other"]),
        ],
        rows(),
    )


# ------------------------------------------------------------------ registries


# What in_child() can run, by name: each returns what JSON can carry.
CHILDREN = {
    "floor": floor_child,
    "memory": memory_child,
    "statsmodels-memory": statsmodels_memory_child,
    "interrupt": interrupt_child,
    "timing": timing_child,
}

# The measurements in the order they run and print; each takes the run's sizes and
# the tables of those before it, by name.
MEASUREMENTS = {
    "statsmodels": against_statsmodels,
    "floor": against_floor,
    "k": against_k,
    "pass alone": pass_alone,
    "memory": memory,
    "layouts": layouts,
    "interrupt": interrupt,
    "fixed cost": fixed_cost,
}


def main(argv):
    if argv[:1] == ["--child"]:
        run_child(argv[1], argv[2])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, to try the script")
    parser.add_argument("--plot", default=str(HERE.parent / "docs" / "mfx_timing.png"))
    parser.add_argument("--against", metavar="DIR", help="time against the build in DIR only")
    args = parser.parse_args(argv)
    if args.against:
        show(against_build(args.against))
        return
    sizes = QUICK if args.quick else FULL

    import velmora  # noqa: F401  (fail early when it is not installed)

    try:
        import threadpoolctl  # noqa: F401

        one_thread = "threadpoolctl"
    except ImportError:
        one_thread = "a subprocess with OPENBLAS_NUM_THREADS=1"
    print(
        f"NumPy {np.__version__}; times are medians of {sizes.repeats} calls "
        f"(statsmodels: {sizes.sm_repeats}, {max(1, sizes.sm_repeats - 1)} at n >= 400000); "
        f"X @ params on one thread through {one_thread}"
    )
    tables = {}
    for name, measure in MEASUREMENTS.items():
        tables[name] = measure(sizes, tables)
        show(tables[name])
    plot(tables["statsmodels"].rows, tables["floor"].rows, args.plot)


if __name__ == "__main__":
    main(sys.argv[1:])
