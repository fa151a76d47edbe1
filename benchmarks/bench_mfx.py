"""Timing and memory of velmora.mfx on synthetic Logit and Probit fits.

Prints, for each data size, model and standard-error method:
  - velmora.mfx time (best of a few runs),
  - the time of one plain pass over the data (X @ beta and X.sum(axis=0)),
  - statsmodels' get_margeff(dummy=True) time (only up to SM_MAX_N rows),
and the ratios between them. A second table gives the extra peak resident
memory of one mfx call with chunk_size=10_000 and with chunk_size=None,
each measured in a fresh subprocess.

Run with:  python benchmarks/bench_mfx.py [--quick]
"""

import subprocess
import sys
import time
import types

import numpy as np

SIZES = (200_000, 1_000_000)
SM_MAX_N = 200_000  # get_margeff builds n x k x k complex arrays; skip it beyond this
REPEATS = 3
N_DUMMIES, N_CONTINUOUS = 3, 6  # plus an intercept: k = 10
BETA = np.array([-0.3, 0.5, -0.4, 0.8, 0.3, -0.2, 0.15, -0.6, 0.25, 0.1])
NAMES = ["const"] + [f"d{i}" for i in range(N_DUMMIES)] + [f"x{i}" for i in range(N_CONTINUOUS)]


def make_data(n, kind, seed=12345):
    """Design matrix (n x 10, C order) and a 0/1 outcome drawn from the model."""
    rng = np.random.default_rng(seed)
    X = np.empty((n, 1 + N_DUMMIES + N_CONTINUOUS))
    X[:, 0] = 1.0
    X[:, 1 : 1 + N_DUMMIES] = rng.random((n, N_DUMMIES)) < 0.4
    X[:, 1 + N_DUMMIES :] = rng.standard_normal((n, N_CONTINUOUS))
    noise = rng.logistic(size=n) if kind == "Logit" else rng.standard_normal(n)
    y = (X @ BETA + noise > 0).astype(float)
    return X, y


def fake_results(kind, X):
    """Just the attributes mfx reads; used where a real fit is not needed."""
    model = type(kind, (), {})()
    model.exog, model.exog_names = X, NAMES
    k = X.shape[1]
    cov = np.eye(k) * 1e-4 + 1e-6
    return types.SimpleNamespace(model=model, params=BETA.copy(), cov_params=lambda: cov)


def best_time(fn, repeats=REPEATS):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def timing_rows(sizes):
    import statsmodels.api as sm

    import velmora

    rows = []
    for n in sizes:
        for kind in ("Logit", "Probit"):
            X, y = make_data(n, kind)
            res = getattr(sm, kind)(y, X).fit(disp=0)
            beta = np.asarray(res.params)
            velmora.mfx(res)  # warm up (pandas import, page faults on first touch)
            one_pass = best_time(lambda X=X, beta=beta: (X @ beta, X.sum(axis=0)), 10)
            sm_time = None
            if n <= SM_MAX_N:
                sm_time = best_time(
                    lambda res=res: res.get_margeff(at="overall", method="dydx", dummy=True), 1
                )
            for method in ("orvo", "sm"):
                t = best_time(lambda res=res, method=method: velmora.mfx(res, se_method=method))
                rows.append((n, kind, method, t, one_pass, sm_time))
    return rows


def print_timing(rows):
    head = (
        f"{'n':>9} {'model':<6} {'se':<4} {'mfx s':>8} {'pass s':>8} "
        f"{'mfx/pass':>9} {'statsm s':>9} {'statsm/mfx':>11}"
    )
    print(head)
    print("-" * len(head))
    for n, kind, method, t, one_pass, sm_time in rows:
        sm_cols = (
            f"{sm_time:9.3f} {sm_time / t:11.1f}" if sm_time is not None else f"{'-':>9} {'-':>11}"
        )
        print(
            f"{n:>9} {kind:<6} {method:<4} {t:8.4f} {one_pass:8.4f} {t / one_pass:9.1f} {sm_cols}"
        )


# ---------------------------------------------------------------- memory


def _rss_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise OSError(f"{field} not in /proc/self/status")


def memory_child(n, chunk):
    """Runs in a subprocess: prints the peak RSS growth (KiB) of one mfx call."""
    import velmora

    X, _ = make_data(n, "Logit")
    res = fake_results("Logit", X)
    velmora.mfx(res, chunk_size=10)  # load pandas and everything else first
    before = _rss_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as refs:  # reset the VmHWM high-water mark
        refs.write("5")
    velmora.mfx(res, chunk_size=chunk)
    print(_rss_kib("VmHWM") - before)


def memory_rows(sizes):
    rows = []
    for n in sizes:
        measured = {}
        for chunk in (10_000, None):
            out = subprocess.run(
                [sys.executable, __file__, "--memory-child", str(n), str(chunk)],
                capture_output=True,
                text=True,
            )
            measured[chunk] = int(out.stdout) if out.returncode == 0 else None
        rows.append((n, measured[10_000], measured[None]))
    return rows


def print_memory(rows):
    x_mib = lambda n: n * len(NAMES) * 8 / 2**20  # noqa: E731
    head = f"{'n':>9} {'X MiB':>7} {'chunk=10k MiB':>14} {'chunk=None MiB':>15} {'None/10k':>9}"
    print(head)
    print("-" * len(head))
    for n, chunked, whole in rows:
        if chunked is None or whole is None:
            print(f"{n:>9} {x_mib(n):7.1f}   (not measurable here: needs /proc/self/clear_refs)")
            continue
        ratio = f"{whole / chunked:9.1f}" if chunked > 0 else f"{'-':>9}"
        print(f"{n:>9} {x_mib(n):7.1f} {chunked / 1024:14.1f} {whole / 1024:15.1f} {ratio}")


def main(argv):
    if argv[:1] == ["--memory-child"]:
        memory_child(int(argv[1]), None if argv[2] == "None" else int(argv[2]))
        return
    sizes = (20_000, 100_000) if "--quick" in argv else SIZES
    print(f"velmora.mfx timing (best of {REPEATS}; statsmodels best of 1)\n")
    print_timing(timing_rows(sizes))
    print("\nExtra peak RSS of one mfx call (Logit, fresh process per cell)\n")
    print_memory(memory_rows(sizes))


if __name__ == "__main__":
    main(sys.argv[1:])
