"""velmora_dask.mfx at n = 10^7, k = 20: Dask's threads against one velmora.mfx call and
against NumPy's ``X @ params`` on the same array; a two-process LocalCluster and an
``.npy`` on disk (read through np.memmap blocks) in rows per second.

Run with ``./dev bench-dask`` (or ``.venv/bin/python bench/bench_dask.py [--rows N]``).
Times are medians of 5 calls (the cluster and disk cases: 3).
"""

import argparse
import copy
import sys
import tempfile
import time
from pathlib import Path

import dask
import dask.array as da
import numpy as np
from distributed import Client, LocalCluster

import velmora
import velmora_dask

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_mfx import StandIn, make_design, timed  # noqa: E402

# Blocks of 100 MB (k = 20), the size Dask's documentation suggests: each of the
# threaded scheduler's tasks costs about half a millisecond of its own, which
# blocks of a few MB would not hide.
BLOCK_ROWS = 625_000


def median_time(call, repeats):
    return timed(call, repeats)[0]


def paired_times(first, second, repeats):
    """Medians of the two calls made in turns."""
    times = ([], [])
    for _ in range(repeats):
        for call, spent in zip((first, second), times, strict=True):
            start = time.perf_counter()
            call()
            spent.append(time.perf_counter() - start)
    return float(np.median(times[0])), float(np.median(times[1]))


def shifted(results, call):
    moved = copy.copy(results)
    moved.params = results.params * (1.0 + call * 1e-12)
    return moved


def memmap_block(path, start, stop):
    return np.load(path, mmap_mode="r")[start:stop]


def on_disk(path, n, k):
    return da.concatenate(
        [
            da.from_delayed(
                dask.delayed(memmap_block)(path, s, min(s + BLOCK_ROWS, n)),
                shape=(min(s + BLOCK_ROWS, n) - s, k),
                dtype=np.float64,
            )
            for s in range(0, n, BLOCK_ROWS)
        ]
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=10**7)
    args = parser.parse_args()
    n, k = args.rows, 20
    X, beta, outcomes = make_design(n, k)
    results = StandIn("Logit", X, outcomes["Logit"], beta)
    rows = da.from_array(X, chunks=(BLOCK_ROWS, -1))
    velmora.mfx(results)

    with dask.config.set(scheduler="threads"):
        threaded = median_time(lambda: velmora_dask.mfx(results, rows), 5)
    one_call = median_time(lambda: velmora.mfx(results), 5)
    floor = median_time(lambda: X @ beta, 5)
    print(f"n = {n}, k = {k}, blocks of {BLOCK_ROWS} rows, Logit, 'orvo'")
    print(f"velmora_dask.mfx, threads      {threaded:8.3f} s")
    print(
        f"velmora.mfx, one call          {one_call:8.3f} s   ratio {threaded / one_call:.2f}"
        " (goal <= 0.55)"
    )
    print(
        f"X @ params                     {floor:8.3f} s   ratio {threaded / floor:.2f}"
        " (goal <= 1.5)"
    )
    weights = np.random.default_rng(1).integers(1, 4, n).astype(np.float64)
    with dask.config.set(scheduler="threads"):
        # In turns with the unweighted call, so that both see the machine alike.
        unweighted, weighted = paired_times(
            lambda: velmora_dask.mfx(results, rows),
            lambda: velmora_dask.mfx(results, rows, weights=weights),
            5,
        )
    print(
        f"  with weights (in turns)      {weighted:8.3f} s   ratio {weighted / unweighted:.2f}"
        f" of {unweighted:.3f} s without (goal <= 1.15)"
    )
    rng = np.random.default_rng(2)
    for groups, goal in ((10, 1.3), (1000, 2.0)):
        # Labels in no order, the hardest case: every block holds every group
        # in runs of about one row. Sorted labels are summed in place.
        for arrangement, labels in (
            ("mixed", rng.integers(0, groups, n)),
            ("sorted", np.sort(rng.integers(0, groups, n))),
        ):
            with dask.config.set(scheduler="threads"):
                ungrouped, grouped = paired_times(
                    lambda: velmora_dask.mfx(results, rows),
                    lambda labels=labels: velmora_dask.mfx(results, rows, by=labels),
                    5,
                )
            print(
                f"  by {groups:4d} groups, {arrangement:6s}  {grouped:8.3f} s   ratio"
                f" {grouped / ungrouped:.2f} of {ungrouped:.3f} s without (goal <= {goal})"
            )

    with tempfile.TemporaryDirectory() as directory:
        path = str(Path(directory) / "X.npy")
        np.save(path, X)
        with (
            LocalCluster(
                n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
            ) as cluster,
            Client(cluster) as client,
        ):
            with client.as_current():
                # A fresh name each call: the array travels to the workers with
                # the graph every time, and no earlier result can be reused.
                cluster_time = median_time(
                    lambda: velmora_dask.mfx(
                        results, da.from_array(X, chunks=(BLOCK_ROWS, -1), name=False)
                    ),
                    3,
                )
                # Rows already on the workers, as a cluster's data would be; the
                # coefficients move a little each call so that Dask computes
                # anew rather than hand back a result it still holds.
                persisted = client.persist(rows)
                calls = iter(range(1, 100))
                persisted_time = median_time(
                    lambda: velmora_dask.mfx(shifted(results, next(calls)), persisted), 3
                )
                disk_time = median_time(lambda: velmora_dask.mfx(results, on_disk(path, n, k)), 3)
    print(f"LocalCluster, X sent each call {n / cluster_time / 1e6:8.1f} million rows/s")
    print(f"LocalCluster, X on the workers {n / persisted_time / 1e6:8.1f} million rows/s")
    print(f"LocalCluster, .npy on disk     {n / disk_time / 1e6:8.1f} million rows/s")


if __name__ == "__main__":
    main()
