"""Instructions per row of velmora's pass over X, counted by valgrind's callgrind.

Run with ``./dev count`` (or ``.venv/bin/python bench/count_instructions.py``). Counts are
the same on any x86-64 machine: valgrind reports a CPU without AVX-512, so the AVX2 (x86-64-v3)
versions of the loops run whatever the host. For Logit and Probit, both standard-error methods
and k = 5, 20 and 80 (an intercept, two 0/1 dummies, the rest continuous, C order), the module's
block entry point sums the first ``SHORT`` rows and then the first ``LONG`` rows of the same
matrix; callgrind collects only inside the engine's pass (accumulate_block_effects) and dumps
after each call, and the difference of two calls over the difference of their rows cancels
every fixed cost of a call. With OPENBLAS_NUM_THREADS=1 and PYTHONHASHSEED=0 two runs agree to
a fraction of an instruction per row.

``--child`` is the part that runs under valgrind.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
FAMILIES = ("Logit", "Probit")
METHODS = ("orvo", "sm")
COLUMNS = (5, 20, 80)
SHORT, LONG = 4000, 8000
INTERCEPTS = [0]
DUMMIES = [1, 2]
# What the issue that set the budget asks of k = 20, in instructions per row.
BUDGET = {"Logit": 100, "Probit": 150}


def cases():
    return [(f, m, k) for f in FAMILIES for m in METHODS for k in COLUMNS]


def child():
    sys.path.insert(0, str(HERE))
    from bench_mfx import make_design

    import velmora

    designs = {k: make_design(LONG, k) for k in COLUMNS}
    for family, method, k in cases():
        X, beta, _ = designs[k]
        for rows in (SHORT, LONG):
            velmora._block_totals(family.lower(), beta, X[:rows], INTERCEPTS, DUMMIES, method)


def collected_instructions(dump: Path) -> int | None:
    """The instructions a dump collected; None unless the entry point triggered it."""
    text = dump.read_text()
    if not re.search(r"^desc: Trigger: --dump-after=.*entry<.*block_totals>", text, re.MULTILINE):
        return None
    match = re.search(r"^(?:totals|summary):\s+(\d+)", text, re.MULTILINE)
    if match is None:
        raise RuntimeError(f"no instruction total in {dump}")
    return int(match.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child()
        return
    environment = dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONHASHSEED="0")
    with tempfile.TemporaryDirectory() as directory:
        out = Path(directory) / "callgrind.out"
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                "--toggle-collect=velmora::accumulate_block_effects*",
                # After the entry point (the function in the method table,
                # which no compiler inlines), which encloses one pass.
                "--dump-after=*entry<*block_totals>*",
                "--dump-instr=no",
                f"--callgrind-out-file={out}",
                sys.executable,
                __file__,
                "--child",
            ],
            env=environment,
            check=True,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        # Dumps are numbered in call order; the final one, at exit, is left out.
        dumps = sorted(
            (p for p in Path(directory).glob("callgrind.out.*") if p.suffix[1:].isdigit()),
            key=lambda p: int(p.suffix[1:]),
        )
        counts = [c for c in map(collected_instructions, dumps) if c is not None]
    expected = 2 * len(cases())
    if len(counts) < expected:
        raise RuntimeError(f"callgrind dumped {len(counts)} calls, expected {expected}")
    print(f"Instructions per row of the pass (callgrind; rows {SHORT} to {LONG}, C order,")
    print("an intercept, two 0/1 dummies, the rest continuous)")
    print(f"{'family':8} {'se_method':9} {'k':>3} {'per row':>8} {'per element':>12}  budget")
    for i, (family, method, k) in enumerate(cases()):
        per_row = (counts[2 * i + 1] - counts[2 * i]) / (LONG - SHORT)
        budget = f"<= {BUDGET[family]}" if k == 20 else ""
        print(f"{family:8} {method:9} {k:3d} {per_row:8.1f} {per_row / k:12.2f}  {budget}")


if __name__ == "__main__":
    main()
