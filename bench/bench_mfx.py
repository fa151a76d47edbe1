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

prints the tables and writes a log-log plot of time against n (bench/mfx_timing.png).
Every time is the median of several repetitions; the spread is the minimum and maximum.
``X @ params`` is timed with NumPy's BLAS on its default threads and on one thread
(threadpoolctl where it is installed, else a subprocess with OPENBLAS_NUM_THREADS=1), since
mfx computes on the calling thread alone.

``--against DIR`` instead times this build against another build of the module found in DIR
(an earlier commit installed with ``pip install --target DIR``), each in fresh processes,
taking turns, at n = 100, 10^4 and 10^6 (k = 20; each turn the median of 201 calls at the small
sizes, of 7 at 10^6).
"""

import argparse
import os
import statistics
import subprocess
import sys
import time
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


def fmt(t):
    med, lo, hi = t
    return f"{med * 1e3:9.2f} ({lo * 1e3:.2f}-{hi * 1e3:.2f})"


# ------------------------------------------------------------------ 1. statsmodels


def against_statsmodels(sizes, repeats, sm_repeats):
    import velmora

    rows = []
    for n in sizes:
        X, _, outcomes = make_design(n, 20)
        for family in FAMILIES:
            res = fitted(family, X, outcomes[family])
            velmora.mfx(res)
            reps = sm_repeats if n < 400_000 else max(1, sm_repeats - 1)
            sm_time = timed(
                lambda res=res: res.get_margeff(at="overall", method="dydx", dummy=True), reps
            )
            for method in METHODS:
                t = timed(lambda res=res, m=method: velmora.mfx(res, se_method=m), repeats)
                rows.append((n, family, method, t, sm_time))
    return rows


def print_statsmodels(rows):
    print("\n1. velmora against statsmodels get_margeff (k = 20), ms: median (min-max)")
    head = f"{'n':>8} {'family':<6} {'se':<4} {'velmora':>24} {'statsmodels':>28} {'ratio':>7}"
    print(head)
    print("-" * len(head))
    for n, family, method, t, sm_time in rows:
        print(
            f"{n:>8} {family:<6} {method:<4} {fmt(t):>24} {fmt(sm_time):>28} "
            f"{sm_time[0] / t[0]:7.0f}"
        )


def statsmodels_memory_child(n):
    """In a subprocess: the peak resident memory growth of one get_margeff, in MiB."""
    X, _, outcomes = make_design(n, 20)
    res = fitted("Logit", X, outcomes["Logit"])
    before = rss_kib("VmRSS")
    reset_peak()
    res.get_margeff(at="overall", method="dydx", dummy=True)
    print((rss_kib("VmHWM") - before) / 1024)


# ------------------------------------------------------------------ 2, 3, 5. floor


SINGLE_THREAD_ENV = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


def one_thread_floor(X, beta, n, k, order, repeats):
    """X @ params with NumPy's BLAS on one thread: (median, min, max) seconds."""
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        out = subprocess.run(
            [sys.executable, __file__, "--floor-child", str(n), str(k), order, str(repeats)],
            env={**os.environ, **SINGLE_THREAD_ENV},
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        return tuple(float(v) for v in out.split())
    with threadpool_limits(limits=1, user_api="blas"):
        return timed(lambda: X @ beta, repeats)


def floor_child(n, k, order, repeats):
    X, beta, _ = make_design(n, k, order=order)
    X @ beta
    print(*timed(lambda: X @ beta, repeats))


def against_floor(sizes, repeats, orders=("C",), k=20):
    import velmora

    rows = []
    for n in sizes:
        for order in orders:
            X, beta, outcomes = make_design(n, k, order=order)
            floor = timed(lambda X=X, beta=beta: X @ beta, repeats)
            single = one_thread_floor(X, beta, n, k, order, repeats)
            for family in FAMILIES:
                res = StandIn(family, X, outcomes[family], beta)
                velmora.mfx(res)
                for method in METHODS:
                    t = timed(lambda res=res, m=method: velmora.mfx(res, se_method=m), repeats)
                    rows.append((n, k, order, family, method, t, floor, single))
            del X, outcomes
    return rows


def print_floor(rows, title):
    print(f"\n{title}, ms: median (min-max); ratios to X @ params on NumPy's threads and on one")
    head = (
        f"{'n':>8} {'k':>3} {'X':<2} {'family':<6} {'se':<4} {'velmora':>24} "
        f"{'X @ params':>24} {'1 thread':>9} {'ratio':>6} {'1 thr':>6} {'ns/row':>7}"
    )
    print(head)
    print("-" * len(head))
    for n, k, order, family, method, t, floor, single in rows:
        print(
            f"{n:>8} {k:>3} {order:<2} {family:<6} {method:<4} {fmt(t):>24} {fmt(floor):>24} "
            f"{single[0] * 1e3:9.2f} {t[0] / floor[0]:6.2f} {t[0] / single[0]:6.2f} "
            f"{t[0] / n * 1e9:7.1f}"
        )


def pass_alone_rows(n, repeats, k=20):
    """mfx against the pass over X alone, timed in turns on the same array."""
    import velmora

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
        rows.append((family, statistics.median(calls), statistics.median(passes)))
    floor = timed(lambda: X @ beta, repeats)[0]
    # One plain read of X on one core: NumPy's sum, which starts no threads.
    one_read = timed(X.sum, repeats)[0]
    return rows, floor, one_read


def print_pass_alone(result, n):
    rows, floor, one_read = result
    print(
        f"\n3. The pass over X alone against the whole call (n = {n}, k = 20, C order, orvo), "
        "ms: medians; the rest is reading the model, the dummy guess and the DataFrame; "
        f"one read of X on one core (X.sum()) took {one_read * 1e3:.2f} ms"
    )
    head = (
        f"{'family':<6} {'mfx':>8} {'pass':>8} {'rest':>8} {'pass / X @ params':>18} "
        f"{'pass / X.sum()':>15}"
    )
    print(head)
    print("-" * len(head))
    for family, call, alone in rows:
        print(
            f"{family:<6} {call * 1e3:8.2f} {alone * 1e3:8.2f} {(call - alone) * 1e3:8.2f} "
            f"{alone / floor:18.2f} {alone / one_read:15.2f}"
        )


def print_layouts(rows):
    print("\n5. Fortran-ordered against C-ordered X (k = 20): ratio of median times")
    head = f"{'n':>8} {'family':<6} {'se':<4} {'C ms':>9} {'F ms':>9} {'F / C':>6}"
    print(head)
    print("-" * len(head))
    by_key = {(n, order, family, method): t for n, _, order, family, method, t, _, _ in rows}
    for (n, order, family, method), t in by_key.items():
        if order == "C" and (n, "F", family, method) in by_key:
            f = by_key[(n, "F", family, method)]
            print(
                f"{n:>8} {family:<6} {method:<4} {t[0] * 1e3:9.2f} {f[0] * 1e3:9.2f} "
                f"{f[0] / t[0]:6.2f}"
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
    """In a subprocess: the peak resident memory growth (MiB) of one mfx call."""
    import velmora

    X, beta, outcomes = make_design(n, 20)
    res = StandIn("Logit", X, outcomes["Logit"], beta)
    velmora.mfx(res, chunk_size=10)  # pandas and everything else loaded first
    before = rss_kib("VmRSS")
    reset_peak()
    velmora.mfx(res, chunk_size=chunk)
    print((rss_kib("VmHWM") - before) / 1024)


def in_subprocess(*args):
    out = subprocess.run(
        [sys.executable, __file__, *map(str, args)], capture_output=True, text=True
    )
    return float(out.stdout) if out.returncode == 0 else None


def memory_rows(n, repeats):
    rows = []
    for chunk in (None, 10_000):
        runs = [in_subprocess("--memory-child", n, chunk) for _ in range(repeats)]
        runs = [r for r in runs if r is not None]
        rows.append((n, chunk, runs))
    return rows


def print_memory(rows, sm_peaks):
    print("\n4. Growth of resident memory during one call (Logit, k = 20, fresh process each)")
    head = f"{'n':>8} {'X MiB':>7} {'chunk_size':>10} {'MiB: median (min-max)':>24}"
    print(head)
    print("-" * len(head))
    for n, chunk, runs in rows:
        cell = (
            f"{statistics.median(runs):8.2f} ({min(runs):.2f}-{max(runs):.2f})"
            if runs
            else "not measurable here"
        )
        print(f"{n:>8} {n * 20 * 8 / 2**20:7.1f} {str(chunk):>10} {cell:>24}")
    for n, peak in sm_peaks:
        if peak is not None:
            print(
                f"statsmodels get_margeff at n = {n}: {peak:.0f} MiB "
                f"(X is {n * 20 * 8 / 2**20:.0f} MiB)"
            )


# ------------------------------------------------------------------ 6. Ctrl-C


def interrupt_child(n, k, calls):
    """In a subprocess: SIGINT 0.2 s into each of `calls` calls; the latencies, in s."""
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
    print(*latencies)


def interrupt_rows(n=10_000_000, k=20, calls=5):
    out = subprocess.run(
        [sys.executable, __file__, "--interrupt-child", str(n), str(k), str(calls)],
        capture_output=True,
        text=True,
    )
    if out.returncode != 0:
        return n, k, None
    return n, k, [float(v) for v in out.stdout.split()]


def print_interrupt(row):
    n, k, latencies = row
    print(
        f"\n6. Ctrl-C: SIGINT 0.2 s into a call (Logit, n = {n}, k = {k}), ms to KeyboardInterrupt"
    )
    if not latencies:
        print("not measurable here")
        return
    done = [v for v in latencies if v == v]
    early = len(latencies) - len(done)
    note = f"; {early} of {len(latencies)} calls ended before the signal" if early else ""
    if not done:
        print(f"every call ended before the signal{note}")
        return
    cells = " ".join(f"{v * 1e3:.2f}" for v in done)
    print(f"median {statistics.median(done) * 1e3:.2f}, max {max(done) * 1e3:.2f} ({cells}){note}")


# ------------------------------------------------------------------ 7. fixed cost


def fixed_cost_rows(sizes, repeats):
    import velmora

    rows = []
    for n in sizes:
        X, beta, outcomes = make_design(n, 20)
        for family in FAMILIES:
            res = StandIn(family, X, outcomes[family], beta)
            velmora.mfx(res)
            rows.append((n, family, timed(lambda res=res: velmora.mfx(res), repeats)))
    return rows


def print_fixed_cost(rows):
    print("\n7. Small calls (k = 20, orvo), ms: median (min-max)")
    head = f"{'n':>8} {'family':<6} {'velmora':>24}"
    print(head)
    print("-" * len(head))
    for n, family, t in rows:
        print(f"{n:>8} {family:<6} {fmt(t):>24}")


# ------------------------------------------------------------------ plot


def plot(sm_rows, floor_rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5))
    for family, marker in (("Logit", "o"), ("Probit", "s")):
        # one point per n: the stand-in's where both sections measured it
        by_n = {n: t[0] for n, fam, m, t, _ in sm_rows if fam == family and m == "orvo"}
        by_n.update(
            (n, t[0])
            for n, _, o, fam, m, t, _, _ in floor_rows
            if fam == family and m == "orvo" and o == "C"
        )
        pts = sorted(by_n.items())
        ax.plot(
            *zip(*pts, strict=True),
            marker=marker,
            color="tab:blue",
            label=f"velmora {family} (orvo)",
        )
        sm_pts = sorted({(n, s[0]) for n, fam, _, _, s in sm_rows if fam == family})
        ax.plot(
            *zip(*sm_pts, strict=True),
            marker=marker,
            linestyle="--",
            color="tab:red",
            label=f"statsmodels {family}",
        )
    floor_pts = sorted({(n, f[0]) for n, _, o, _, _, _, f, _ in floor_rows if o == "C"})
    ax.plot(*zip(*floor_pts, strict=True), marker="^", color="black", label="X @ params")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("rows n (k = 20)")
    ax.set_ylabel("seconds per call (median)")
    ax.set_title("Average marginal effects: time against n")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"\nplot written to {path}")


# ------------------------------------------------------------------ another build


def timing_child(n, family, method, repeats):
    import velmora

    X, beta, outcomes = make_design(n, 20)
    res = StandIn(family, X, outcomes[family], beta)
    velmora.mfx(res, se_method=method)
    print(timed(lambda: velmora.mfx(res, se_method=method), repeats)[0])


def against_build(other, repeats=7, turns=3):
    import os

    print(f"\nThis build against the build in {other}: ms per call, best of {turns} turns")
    print(f"{'n':>8} {'family':<6} {'se':<4} {'this':>9} {'other':>9} {'this/other':>10}")
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
                        out = subprocess.run(
                            [
                                sys.executable,
                                __file__,
                                "--timing-child",
                                str(n),
                                family,
                                method,
                                str(calls),
                            ],
                            env=env,
                            capture_output=True,
                            text=True,
                            check=True,
                        ).stdout
                        best[which] = min(best[which], float(out))
                print(
                    f"{n:>8} {family:<6} {method:<4} {best['this'] * 1e3:9.3f} "
                    f"{best['other'] * 1e3:9.3f} {best['this'] / best['other']:10.2f}"
                )


def main(argv):
    if argv[:1] == ["--timing-child"]:
        timing_child(int(argv[1]), argv[2], argv[3], int(argv[4]))
        return
    if argv[:1] == ["--floor-child"]:
        floor_child(int(argv[1]), int(argv[2]), argv[3], int(argv[4]))
        return
    if argv[:1] == ["--interrupt-child"]:
        interrupt_child(int(argv[1]), int(argv[2]), int(argv[3]))
        return
    if argv[:1] == ["--memory-child"]:
        memory_child(int(argv[1]), None if argv[2] == "None" else int(argv[2]))
        return
    if argv[:1] == ["--statsmodels-memory-child"]:
        statsmodels_memory_child(int(argv[1]))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, to try the script")
    parser.add_argument("--plot", default=str(HERE / "mfx_timing.png"))
    parser.add_argument("--against", metavar="DIR", help="time against the build in DIR only")
    args = parser.parse_args(argv)
    if args.against:
        against_build(args.against)
        return
    if args.quick:
        sm_sizes, floor_sizes, mem_n, ks, reps, sm_reps, interrupt_n = (
            (2_000, 10_000),
            (10_000, 50_000),
            50_000,
            (5, 20),
            3,
            1,
            1_000_000,
        )
    else:
        sm_sizes, floor_sizes, mem_n, ks, reps, sm_reps, interrupt_n = (
            (10_000, 100_000, 400_000),
            (100_000, 1_000_000, 4_000_000),
            1_000_000,
            (5, 20, 80),
            7,
            3,
            20_000_000,
        )

    import velmora  # noqa: F401  (fail early when it is not installed)

    try:
        import threadpoolctl  # noqa: F401

        one_thread = "threadpoolctl"
    except ImportError:
        one_thread = "a subprocess with OPENBLAS_NUM_THREADS=1"
    print(
        f"NumPy {np.__version__}; times are medians of {reps} calls "
        f"(statsmodels: {sm_reps}, {max(1, sm_reps - 1)} at n >= 400000); "
        f"X @ params on one thread through {one_thread}"
    )
    sm_rows = against_statsmodels(sm_sizes, reps, sm_reps)
    print_statsmodels(sm_rows)
    sm_peaks = [(n, in_subprocess("--statsmodels-memory-child", n)) for n in sm_sizes[-2:]]

    floor_rows = against_floor(floor_sizes, reps)
    print_floor(floor_rows, "2, 3. velmora against one pass over the data (k = 20)")
    k_rows = []
    for k in ks:
        k_rows += against_floor((floor_sizes[1],), reps, orders=("C", "F"), k=k)
    print_floor(k_rows, f"3. Cost against k, C and Fortran order (n = {floor_sizes[1]})")
    print_pass_alone(pass_alone_rows(floor_sizes[1], reps), floor_sizes[1])

    print_memory(memory_rows(mem_n, 3), sm_peaks)

    layout_rows = [row for row in k_rows if row[1] == 20]
    print_layouts(layout_rows)

    print_interrupt(interrupt_rows(interrupt_n))
    print_fixed_cost(fixed_cost_rows((100, 10_000), max(reps, 21)))

    plot(sm_rows, floor_rows, args.plot)


if __name__ == "__main__":
    main(sys.argv[1:])
