"""Running out of memory: mfx raises MemoryError (or an internal failure) and the
interpreter goes on. Each case runs in a fresh interpreter whose address space
is limited to what it already uses plus a headroom, so the k x k working
matrices cannot all be had."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

# ASan reserves terabytes of shadow memory, and its operator new reports a
# failed allocation instead of throwing; an address-space limit cannot be
# tested under it.
pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="address-space limits do not combine with AddressSanitizer",
)

PRELUDE = textwrap.dedent(
    """
    import json, resource
    import numpy as np
    import pandas
    import velmora

    class Results:
        def __init__(self, kind, beta, cov, exog, names):
            self.model = type(kind, (), {"exog": exog, "exog_names": names})()
            self.params = beta
            self._cov = cov

        def cov_params(self):
            return self._cov

    def in_use():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * resource.getpagesize()

    def limited_call(results, headroom, **kwargs):
        resource.setrlimit(resource.RLIMIT_AS, (in_use() + headroom, resource.RLIM_INFINITY))
        try:
            velmora.mfx(results, **kwargs)
            return "ok"
        except MemoryError:
            return "MemoryError"
        except BaseException as exc:
            return f"{type(exc).__module__}.{type(exc).__name__}: {exc}"
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY,) * 2)

    # Warm up: the first call creates what later calls reuse (the NumPy table,
    # OpenBLAS's threads and buffers, pandas' imports).
    velmora.mfx(Results("Logit", np.zeros(2), np.eye(2), np.ones((3, 2)), ["a", "b"]))
    """
)

# The interpreter's own allocations may fail first; those end as the internal
# failure of a failed object creation.
ACCEPTED = {"ok", "MemoryError", "velmora_runtime.PanicException: Python API call failed"}

MiB = 1 << 20


def run_limited(body):
    # A fixed mmap threshold makes glibc map every large block afresh and
    # unmap it when freed, so each call needs its working memory anew instead
    # of reusing what an earlier call left in the heap.
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536")
    code = PRELUDE + textwrap.dedent(body) + "\nprint('alive')\n"
    process = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=300, env=env
    )
    assert process.returncode == 0, process.stderr
    lines = process.stdout.splitlines()
    assert lines[-1] == "alive"
    return json.loads(lines[-2])


@pytest.mark.parametrize("method", ["orvo", "sm"])
def test_every_headroom_fails_cleanly(method):
    # k = 500: each k x k matrix is 2 MB; the accumulators, the chunk's
    # products and the delta method's J, J V and C need about 14 MB together.
    # Stepping the headroom through that range makes each allocation in turn
    # the one that fails.
    outcomes = run_limited(
        f"""
        k, n = 500, 4
        rng = np.random.default_rng(7)
        exog = rng.normal(size=(n, k))
        exog[:, 1] = [0.0, 1.0, 1.0, 0.0]  # one dummy, so both kinds of row are built
        names = ["const"] + [f"x{{j}}" for j in range(1, k)]
        results = Results("Probit", rng.normal(size=k) * 0.01, np.eye(k) * 0.01, exog, names)
        reference = velmora.mfx(results, se_method="{method}")
        outcomes = [limited_call(results, h << 20, se_method="{method}") for h in range(0, 40)]
        after = velmora.mfx(results, se_method="{method}")
        assert after.equals(reference), "a call after the failures gives another table"
        print(json.dumps(outcomes))
        """,
    )
    assert set(outcomes) <= ACCEPTED, outcomes
    assert "MemoryError" in outcomes
    assert outcomes[-1] == "ok"


@pytest.mark.parametrize(
    "k",
    [2**20, 2**31 + 1, 2**32, 2**32 + 1, 2**40, 2**56],
    ids=[
        "k-squared-too-big",
        "k-vector-too-big",
        "k-squared-wraps-to-0",
        "k-squared-wraps",
        "2**40",
        "2**56",
    ],
)
def test_huge_k_from_cheap_inputs(k):
    # No rows and zero strides: the inputs cost nothing, the working memory is
    # out of reach.
    outcomes = run_limited(
        f"""
        k = {k}
        beta = np.broadcast_to(np.float64(0.5), (k,))
        cov = np.broadcast_to(np.float64(0.0), (k, k)) if k < 2**31 else np.empty((0, k))
        exog = np.empty((0, k))
        results = Results("Logit", beta, cov, exog, ["const", "x"])
        outcomes = [limited_call(results, 256 * 2**20, chunk_size=c) for c in (None, 1)]
        print(json.dumps(outcomes))
        """,
    )
    assert outcomes == ["MemoryError", "MemoryError"]
