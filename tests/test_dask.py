"""velmora_dask.mfx against velmora.mfx, on Dask's threads and on a two-process LocalCluster."""

import contextlib
import os
import sys

import cloudpickle
import dask
import dask.array as da
import numpy as np
import pandas as pd
import pytest
from conftest import (
    COLUMNS,
    SMALL_BETA,
    SMALL_NAMES,
    SMALL_V,
    SMALL_X,
    FakeResults,
    fake_model,
)
from distributed import Client, LocalCluster
from numpy_reference import compare_tables, reference_table

import velmora
import velmora_dask

# The workers unpickle this module's loaders; they cannot import it by name.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

NUMERIC = COLUMNS[:-1]
NAMES = ["const", "x1", "d1", "x2", "d2"]
K = len(NAMES)
# Per worker of the out-of-core test; its matrix on disk is more than twice
# both workers' together.
MEMORY_LIMIT = 320 * 2**20

pytestmark = pytest.mark.filterwarnings("ignore::ResourceWarning")


def design(n=3000, seed=11):
    rng = np.random.default_rng(seed)
    X = np.empty((n, K))
    X[:, 0] = 1.0
    X[:, 1] = rng.normal(size=n)
    X[:, 2] = rng.random(n) < 0.4
    X[:, 3] = rng.normal(1.0, 2.0, size=n)
    X[:, 4] = rng.random(n) < 0.7
    return X


def results_for(X, family="Logit"):
    params = np.array([-0.2, 0.7, -0.5, 0.3, 0.4])
    cov = np.diag([0.02, 0.01, 0.03, 0.004, 0.05]) + 0.001
    return FakeResults(fake_model(family, X, NAMES), params, cov)


def assert_same_table(got, expected, rtol=1e-12):
    assert list(got.columns) == COLUMNS
    assert list(got.index) == list(expected.index)
    np.testing.assert_allclose(
        got[NUMERIC].to_numpy(), expected[NUMERIC].to_numpy(), rtol=rtol, atol=0, equal_nan=True
    )
    assert list(got["Significance"]) == list(expected["Significance"])


def under_sanitizer():
    return "asan" in os.environ.get("LD_PRELOAD", "")


@contextlib.contextmanager
def two_worker_client(**cluster_options):
    """A client of a LocalCluster of two single-threaded worker processes."""
    with (
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            **cluster_options,
        ) as cluster,
        Client(cluster, set_as_default=False) as client,
    ):
        yield client


@pytest.fixture(scope="module")
def cluster_client():
    # Worker processes would start without the ASan runtime the sanitizer
    # run preloads into this one, and could not load its module.
    if under_sanitizer():
        pytest.skip("LocalCluster workers cannot load the sanitizer build")
    with two_worker_client() as client:
        yield client


@pytest.fixture(params=["threads", "cluster"])
def scheduler(request):
    """Runs the test body with Dask's threads or with the cluster as the scheduler."""
    if request.param == "threads":
        with dask.config.set(scheduler="threads"):
            yield request.param
    else:
        client = request.getfixturevalue("cluster_client")
        client.wait_for_workers(2)
        with client.as_current(), dask.config.set(scheduler=client.get):
            yield client


LAYOUTS = {
    "uneven blocks": ((700, 1300, 1, 999), (K,)),
    "blocks along columns": ((1000, 500, 1500), (2, 3)),
}


@pytest.mark.parametrize("layout", LAYOUTS, ids=list(LAYOUTS))
@pytest.mark.parametrize("method", ["orvo", "sm"])
@pytest.mark.parametrize("family", ["Logit", "Probit"])
def test_equals_mfx(scheduler, family, method, layout):
    X = design()
    results = results_for(X, family)
    got = velmora_dask.mfx(results, da.from_array(X, chunks=LAYOUTS[layout]), se_method=method)
    assert_same_table(got, velmora.mfx(results, se_method=method))


def integer_weights(n, seed=5):
    return np.random.default_rng(seed).integers(0, 4, n).astype(float)


def dask_series(values):
    dd = pytest.importorskip("dask.dataframe")
    return dd.from_array(values, chunksize=1100)


WEIGHT_FORMS = {
    "numpy": lambda w: w,
    "dask, other blocks": lambda w: da.from_array(w, chunks=(400, 1700, 900)),
    "pandas series": lambda w: pd.Series(w, index=np.arange(len(w))[::-1]),
    "integers": lambda w: w.astype(np.int32),
    "dask series": dask_series,
}


@pytest.mark.parametrize("form", WEIGHT_FORMS, ids=list(WEIGHT_FORMS))
@pytest.mark.parametrize("family", ["Logit", "Probit"])
def test_integer_weights_equal_repeated_rows(scheduler, family, form):
    X = design()
    w = integer_weights(len(X))
    rows = da.from_array(X, chunks=LAYOUTS["uneven blocks"])
    got = velmora_dask.mfx(results_for(X, family), rows, weights=WEIGHT_FORMS[form](w))
    repeated = results_for(np.repeat(X, w.astype(int), axis=0), family)
    assert_same_table(got, velmora.mfx(repeated))


def test_weights_scaled_or_of_one(scheduler):
    X = design()
    results = results_for(X)
    w = integer_weights(len(X)) + 0.25
    assert_same_table(
        velmora_dask.mfx(results, X, weights=w * 7.5), velmora_dask.mfx(results, X, weights=w)
    )
    assert_same_table(
        velmora_dask.mfx(results, X, weights=np.ones(len(X))), velmora.mfx(results), rtol=0
    )


WEIGHT_REFUSALS = {
    "short": (
        np.ones(2999),
        ValueError,
        "weights must hold one value per row: 3000 rows, 2999 weights",
    ),
    "negative": (
        np.r_[np.ones(2999), -1.0],
        ValueError,
        "weights must be finite and not negative, not -1.0",
    ),
    "nan": (
        np.r_[np.nan, np.ones(2999)],
        ValueError,
        "weights must be finite and not negative, not nan",
    ),
    "all-zero": (np.zeros(3000), ValueError, "the weights sum to 0"),
    "two-axes": (np.ones((3000, 1)), ValueError, "weights must have one axis, not 2"),
    "text": (np.array(["1"] * 3000), TypeError, "weights must be numbers, not <U1"),
    "list": (
        [1.0] * 3000,
        TypeError,
        "weights must be a 1-D NumPy or Dask array or a Series, not 'list'",
    ),
}


@pytest.mark.parametrize(
    "weights, exc_type, message", WEIGHT_REFUSALS.values(), ids=list(WEIGHT_REFUSALS)
)
def test_bad_weights(weights, exc_type, message):
    X = design()
    with pytest.raises(exc_type) as excinfo:
        velmora_dask.mfx(results_for(X), da.from_array(X, chunks=(1000, K)), weights=weights)
    assert str(excinfo.value) == message


def group_labels(n, seed=3):
    """Labels 0..5 in runs of mixed lengths, long and short, so that both
    ways the core sums a group's rows are taken."""
    rng = np.random.default_rng(seed)
    runs = np.repeat(rng.integers(0, 6, n), rng.choice([1, 2, 150], n))[:n]
    return runs


# Each form: the labels as a NumPy array, what mfx is handed, the labels' order.
BY_FORMS = {
    "numpy integers": (lambda g: g, lambda labels: labels, [0, 1, 2, 3, 4, 5]),
    "dask strings, other blocks": (
        lambda g: np.array(list("uvwxyz"))[g],
        lambda labels: da.from_array(labels.astype(object), chunks=(900, 2100)),
        list("uvwxyz"),
    ),
    "categorical": (
        lambda g: np.array(list("fedcba"))[5 - g],
        lambda labels: pd.Categorical(labels, categories=[*"fedcba", "unused"]),
        list("fedcba"),
    ),
    "booleans series": (
        lambda g: g > 2,
        lambda labels: pd.Series(labels, name="arm"),
        [False, True],
    ),
    "dask series": (lambda g: g + 10, dask_series, [10, 11, 12, 13, 14, 15]),
}


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("form", BY_FORMS, ids=list(BY_FORMS))
def test_groups_equal_mfx_on_their_rows(scheduler, form, weighted):
    X = design()
    as_numpy, handed, expected_labels = BY_FORMS[form]
    labels = as_numpy(group_labels(len(X)))
    w = integer_weights(len(X)) if weighted else None
    rows = da.from_array(X, chunks=LAYOUTS["uneven blocks"])
    got = velmora_dask.mfx(results_for(X), rows, by=handed(labels), weights=w)
    assert list(got.index.get_level_values(0).unique()) == expected_labels
    assert got.index.names == ["arm" if form == "booleans series" else None, None]
    for label in expected_labels:
        group = X[labels == label]
        if weighted:
            group = np.repeat(group, w[labels == label].astype(int), axis=0)
        assert_same_table(got.xs(label, level=0), velmora.mfx(results_for(group)), rtol=1e-11)


def test_groups_keep_the_whole_datas_classification():
    # Column d1 holds only 0 and 1 in group 1 and 0.5 elsewhere: a continuous
    # regressor of every group, so group 1's table is not its own mfx.
    X = design()
    g = group_labels(len(X)) % 2
    X[g == 0, 2] = np.where(X[g == 0, 2] == 1.0, 0.5, X[g == 0, 2])
    results = results_for(X)
    got = velmora_dask.mfx(results, X, by=g, weights=integer_weights(len(X)) + 0.5)
    w = integer_weights(len(X)) + 0.5
    for label in (0, 1):
        # The weights enter the reference as rows repeated; with halves,
        # each row twice and its weight doubled.
        group = np.repeat(X[g == label], (2 * w[g == label]).astype(int), axis=0)
        expected = reference_table(
            "Logit", group, results.params, results.cov_params(), NAMES, "orvo", continuous=[2]
        )
        compare_tables(got.xs(label, level=0), expected)


def test_group_of_no_weight_is_nan(scheduler):
    X = design()
    g = group_labels(len(X))
    w = integer_weights(len(X))
    w[g == 4] = 0.0
    got = velmora_dask.mfx(results_for(X), X, by=g, weights=w)
    assert got.xs(4, level=0)[NUMERIC].isna().all().all()
    assert list(got.xs(4, level=0)["Significance"]) == [""] * 4
    kept = g != 4
    assert_same_table(
        got.drop(index=4, level=0),
        velmora_dask.mfx(results_for(X), X[kept], by=g[kept], weights=w[kept]),
    )


BY_REFUSALS = {
    "short": (
        np.zeros(2999, int),
        ValueError,
        "by must hold one label per row: 3000 rows, 2999 labels",
    ),
    "nan": (
        np.r_[np.zeros(2000), np.nan, np.zeros(999)],
        ValueError,
        "by holds a missing label (NaN, None or NA) at row 2000",
    ),
    "none": (
        np.array(["a"] * 2500 + [None] + ["b"] * 499, dtype=object),
        ValueError,
        "by holds a missing label (NaN, None or NA) at row 2500",
    ),
    "pandas NA": (
        pd.Series([1] * 2999 + [None], dtype="Int64"),
        ValueError,
        "by holds a missing label (NaN, None or NA) at row 2999",
    ),
    "missing category": (
        pd.Categorical(["a"] * 1500 + [None] + ["b"] * 1499),
        ValueError,
        "by holds a missing label (NaN, None or NA) at row 1500",
    ),
    "two-axes": (np.zeros((3000, 1)), ValueError, "by must have one axis, not 2"),
    "list": (
        [0] * 3000,
        TypeError,
        "by must be a 1-D NumPy or Dask array, a Series or a Categorical, not 'list'",
    ),
    "unsortable": (
        np.array([1, "a"] * 1500, dtype=object),
        TypeError,
        "by's labels cannot be sorted: they must be all numbers, all strings or all booleans",
    ),
    "too many groups": (np.arange(3000).astype(str), ValueError, "by holds more than 1000 groups"),
    "weights of none": (np.zeros(3000, int), ValueError, "the weights sum to 0"),
}


@pytest.mark.parametrize("by, exc_type, message", BY_REFUSALS.values(), ids=list(BY_REFUSALS))
def test_bad_groups(monkeypatch, by, exc_type, message):
    monkeypatch.setattr(velmora_dask, "_MOST_GROUPS", 1000)
    X = design()
    weights = np.zeros(3000) if message == "the weights sum to 0" else None
    with pytest.raises(exc_type) as excinfo:
        velmora_dask.mfx(results_for(X), da.from_array(X, chunks=(1000, K)), by=by, weights=weights)
    assert str(excinfo.value) == message


def test_model_exog_when_no_rows_given(scheduler):
    X = design()
    results = results_for(X, "Probit")
    assert_same_table(velmora_dask.mfx(results), velmora.mfx(results))
    results.model.exog = da.from_array(X, chunks=(800, 2))
    assert_same_table(velmora_dask.mfx(results), velmora.mfx(results_for(X, "Probit")))


class CountingLoads:
    """Blocks of a NumPy array that count how often each was loaded (threaded scheduler).

    With `known_sizes` off the blocks' row counts are unknown (NaN) to Dask;
    with `drop_on_reload`, a block loaded again lacks its last row.
    """

    def __init__(self, X, rows, known_sizes=True, drop_on_reload=False):
        self.X = X
        self.loads = 0
        self.drop_on_reload = drop_on_reload
        self.loaded = set()
        starts = range(0, X.shape[0], rows)
        self.array = da.concatenate(
            [
                da.from_delayed(
                    dask.delayed(self.load, pure=False)(s, min(s + rows, X.shape[0])),
                    shape=(min(s + rows, X.shape[0]) - s if known_sizes else np.nan, X.shape[1]),
                    dtype=np.float64,
                )
                for s in starts
            ],
            allow_unknown_chunksizes=True,
        )

    def load(self, start, stop):
        self.loads += 1
        if self.drop_on_reload and start in self.loaded:
            stop -= 1
        self.loaded.add(start)
        return self.X[start:stop]


@pytest.mark.parametrize("method", ["orvo", "sm"])
def test_dummy_contradicted_only_in_last_block(method):
    X = design()
    X[-1, 4] = 0.5  # d2: 0 and 1 everywhere but in the last row
    results = results_for(X)
    blocks = CountingLoads(X, 1000)
    with dask.config.set(scheduler="threads"):
        got = velmora_dask.mfx(results, blocks.array, se_method=method)
    assert_same_table(got, velmora.mfx(results, se_method=method))
    assert blocks.loads == 2 * 3  # d2 is continuous, so the rows are summed a second time


@pytest.mark.parametrize("known_sizes", [True, False], ids=["known-sizes", "unknown-sizes"])
def test_rows_that_change_between_the_passes_are_refused(known_sizes):
    X = design()
    X[-1, 4] = 0.5  # a second pass follows
    blocks = CountingLoads(X, 1000, known_sizes=known_sizes, drop_on_reload=True)
    with (
        dask.config.set(scheduler="threads"),
        pytest.raises(RuntimeError, match="^the rows changed between the two passes over them"),
    ):
        velmora_dask.mfx(results_for(X), blocks.array)


def test_one_pass_when_the_guessed_dummies_hold():
    X = design()
    blocks = CountingLoads(X, 1000)
    with dask.config.set(scheduler="threads"):
        got = velmora_dask.mfx(results_for(X), blocks.array)
    assert_same_table(got, velmora.mfx(results_for(X)))
    assert blocks.loads == 3


def test_nan_and_infinities_flow_through(scheduler):
    X = design()
    X[10, 1] = np.nan
    X[2500, 3] = np.inf
    X[1500, 2] = np.nan  # d1 is then continuous, as in mfx
    results = results_for(X)
    got = velmora_dask.mfx(results, da.from_array(X, chunks=(1000, K)))
    expected = velmora.mfx(results)
    assert expected[NUMERIC].isna().any().any()
    assert_same_table(got, expected)


def outcome(call):
    """The table a call returns, or the type and message of what it raises."""
    try:
        return call()
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # PanicException derives from BaseException
        return type(exc), str(exc)


def assert_same_outcome(got, expected):
    if isinstance(expected, tuple) or isinstance(got, tuple):
        assert got == expected
    else:
        assert_same_table(got, expected)


def sorted_count(n=12_000, first_other=9000, seed=4):
    """An intercept, a normal, a count that is 0/1 for its first rows, and a dummy."""
    rng = np.random.default_rng(seed)
    count = (rng.random(n) < 0.5).astype(float)
    count[first_other] = 2.0
    return np.column_stack([np.ones(n), rng.normal(size=n), count, rng.random(n) < 0.3])


def with_nan_and_infinities():
    X = design(200)
    X[10, 1] = np.nan
    X[150, 3] = np.inf
    X[30, 2] = np.nan
    return X


def intercepts_anywhere():
    rng = np.random.default_rng(7)
    n = 500
    X = np.column_stack(
        [rng.normal(size=n), np.ones(n), rng.random(n) < 0.5, rng.integers(0, 3, n), np.ones(n)]
    )
    return X, ["x", "Intercept", "d", "count", "CONST"]


def large(X, names):
    k = X.shape[1]
    return {
        "exog": X,
        "exog_names": names,
        "params": np.linspace(-0.4, 0.5, k),
        "cov": np.eye(k) / 100,
    }


# The reader's and the classification's cases of the velmora.mfx suite: both
# fronts give the same table, or raise the same exception with the same message.
PARITY = {
    "ordinary": {},
    "names-short": {"exog_names": ["const", "x"]},
    "names-empty": {
        "exog": SMALL_X[:, 1:],
        "params": SMALL_BETA[1:],
        "cov": SMALL_V[1:, 1:],
        "exog_names": [],
    },
    "name-beyond-columns": {"exog_names": SMALL_NAMES + ["extra"]},
    "intercept-beyond-columns": {"exog_names": SMALL_NAMES + ["const"]},
    "params-long": {"params": np.append(SMALL_BETA, 1.0)},
    "params-short": {"params": SMALL_BETA[:2]},
    "cov-too-big": {"cov": np.eye(4)},
    "cov-too-wide": {"cov": np.eye(3, 4)},
    "no-rows": {"exog": SMALL_X[:0]},
    "no-rows-params-short": {"exog": SMALL_X[:0], "params": SMALL_BETA[:2]},
    "only-intercepts": {"exog_names": ["const", "Intercept", "CONST"]},
    "repeated-names": {"exog_names": ["const", "x", "x"]},
    "unicode-names": {"exog_names": ["const", "\U0001f600\u00e9", "x\x00\u05d0"]},
    "intercepts-anywhere": large(*intercepts_anywhere()),
    "nan-and-infinities": large(with_nan_and_infinities(), NAMES),
    "dummy-contradicted-after-the-guess": large(sorted_count(), ["const", "x", "count", "d"]),
    "method-upper-case": {"se_method": "SM"},
    "method-not-text": {"se_method": 3},
    "unsupported-family": {"family": "OLS"},
}


def parity_results(parts):
    return FakeResults(
        fake_model(
            parts.get("family", "Logit"),
            parts.get("exog", SMALL_X),
            parts.get("exog_names", SMALL_NAMES),
        ),
        parts.get("params", SMALL_BETA),
        parts.get("cov", SMALL_V),
    )


@pytest.mark.parametrize("blocks", ["model-exog", "uneven-blocks"])
@pytest.mark.parametrize("parts", PARITY.values(), ids=PARITY)
def test_same_outcome_as_mfx(capfd, parts, blocks):
    results = parity_results(parts)
    method = parts.get("se_method", "sm")
    expected = outcome(lambda: velmora.mfx(results, se_method=method))
    X = results.model.exog
    n = X.shape[0]
    exog = None
    if blocks == "uneven-blocks":
        exog = da.from_array(X, chunks=((n // 3, 1, n - n // 3 - 1) if n >= 3 else n, -1))
    with dask.config.set(scheduler="threads"):
        got = outcome(lambda: velmora_dask.mfx(results, exog, se_method=method))
    assert_same_outcome(got, expected)
    capfd.readouterr()  # the internal failures' diagnostics


def failing_block(shape):
    raise OSError(f"block of {shape[0]} rows unreadable")


def as_int(block):
    return block.astype(np.int64)


def test_bad_inputs(scheduler):
    X = design()
    results = results_for(X)
    good = da.from_array(X, chunks=(1000, K))
    with pytest.raises(TypeError, match=r"^'Array' object of int64 .*'PyArray<T, D>'$"):
        velmora_dask.mfx(results, good.astype(np.int64))
    # A block that is not what the array declares.
    lying = good.map_blocks(as_int, dtype=np.float64)
    with pytest.raises(
        TypeError, match=r"^'ndarray' object cannot be converted to 'PyArray<T, D>'$"
    ):
        velmora_dask.mfx(results, lying)
    assert_same_outcome(
        outcome(lambda: velmora_dask.mfx(results, good[:, :4])),
        outcome(lambda: velmora.mfx(results_for(X[:, :4]))),
    )
    unreadable = da.concatenate(
        [
            good[:2000],
            da.from_delayed(dask.delayed(failing_block)((1000, K)), (1000, K), dtype=np.float64),
        ]
    )
    with pytest.raises(OSError, match="^block of 1000 rows unreadable$"):
        velmora_dask.mfx(results, unreadable)
    with pytest.raises(ValueError, match="^se_method must be 'orvo' or 'sm', got 'SM'$"):
        velmora_dask.mfx(results, good, se_method="SM")
    with pytest.raises(ValueError, match="^ame: only Logit or Probit supported, got OLS$"):
        velmora_dask.mfx(FakeResults(fake_model("OLS", X, NAMES), results.params, results._cov))
    # The scheduler is still usable.
    assert_same_table(velmora_dask.mfx(results, good), velmora.mfx(results))


@pytest.mark.parametrize("where", ["exog", "model-exog"])
def test_dask_dataframe_from_parquet(tmp_path, where):
    dd = pytest.importorskip("dask.dataframe")
    X = design()
    frame = pd.DataFrame(X, columns=NAMES)
    frame.iloc[:1700].to_parquet(tmp_path / "part-0.parquet")
    frame.iloc[1700:].to_parquet(tmp_path / "part-1.parquet")
    rows = dd.read_parquet(tmp_path)
    results = results_for(X, "Probit")
    expected = velmora.mfx(results)
    with dask.config.set(scheduler="threads"):
        if where == "exog":
            got = velmora_dask.mfx(results, rows)
        else:
            results.model.exog = rows
            got = velmora_dask.mfx(results)
        assert_same_table(got, expected)
        mixed = rows.assign(d1=rows["d1"].astype("int64"))
        with pytest.raises(
            TypeError, match=r"^'DataFrame' object of int64 with 2 axes cannot be converted"
        ):
            if where == "exog":
                velmora_dask.mfx(results, mixed)
            else:
                results.model.exog = mixed
                velmora_dask.mfx(results)


def dying_once(block, marker):
    # The one worker that creates the marker dies there (both dying at once
    # has left the scheduler waiting for ever); the nanny restarts it and the
    # scheduler hands the task to a worker again.
    try:
        os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
    except FileExistsError:
        return block
    os._exit(1)


def test_a_worker_lost_mid_call(cluster_client, tmp_path):
    X = design()
    results = results_for(X)
    rows = da.from_array(X, chunks=(500, K)).map_blocks(
        dying_once, str(tmp_path / "died"), dtype=np.float64, meta=np.empty((0, 0))
    )
    cluster_client.wait_for_workers(2)
    with cluster_client.as_current(), dask.config.set(scheduler=cluster_client.get):
        got = velmora_dask.mfx(results, rows)
    assert (tmp_path / "died").exists()
    assert_same_table(got, velmora.mfx(results))


def memmap_block(path, start, stop):
    return np.load(path, mmap_mode="r")[start:stop]


def start_rss_sampler(dask_worker):
    # The kernel's peak (ru_maxrss) is inherited from the parent that started
    # the worker, so the worker samples its own resident memory instead: the
    # private part, without the pages shared with files (libraries, and the
    # pages of the .npy files mapped for the blocks still held, which are
    # the page cache's, and once put a worker 4 MiB over the limit). A copy
    # of X, or of anything of its size, would be private.
    import threading
    import time

    import psutil

    process = psutil.Process()

    def private():
        info = process.memory_info()
        return info.rss - info.shared

    dask_worker.peak_rss = private()

    def sample():
        while True:
            dask_worker.peak_rss = max(dask_worker.peak_rss, private())
            time.sleep(0.005)

    threading.Thread(target=sample, daemon=True).start()


def worker_peak_rss(dask_worker):
    return dask_worker.peak_rss


def memmap_blocks(paths, start, stop):
    return tuple(memmap_block(path, start, stop) for path in paths)


def on_disk(files, n, rows):
    """Dask arrays of the .npy files (path, shape of a row, dtype), read in
    blocks of `rows` by one task per block for all of them, so that a
    block's parts are loaded on the same worker."""
    parts = [[] for _ in files]
    for s in range(0, n, rows):
        loaded = dask.delayed(memmap_blocks, nout=len(files))(
            [path for path, _, _ in files], s, min(s + rows, n)
        )
        for blocks, (_, row_shape, dtype), block in zip(parts, files, loaded, strict=True):
            blocks.append(
                da.from_delayed(block, shape=(min(s + rows, n) - s, *row_shape), dtype=dtype)
            )
    return [da.concatenate(blocks) for blocks in parts]


@pytest.mark.slow
def test_out_of_core_on_disk(tmp_path):
    if under_sanitizer():
        pytest.skip("LocalCluster workers cannot load the sanitizer build")
    n, rows = 34_000_000, 500_000
    paths = {name: str(tmp_path / f"{name}.npy") for name in ("X", "weights", "groups")}
    stored = np.lib.format.open_memmap(paths["X"], mode="w+", dtype=np.float64, shape=(n, K))
    weights = np.lib.format.open_memmap(paths["weights"], mode="w+", dtype=np.float64, shape=(n,))
    groups = np.lib.format.open_memmap(paths["groups"], mode="w+", dtype=np.int16, shape=(n,))
    for start in range(0, n, 1_000_000):
        stop = min(start + 1_000_000, n)
        stored[start:stop] = design(stop - start, seed=start)
        weights[start:stop] = integer_weights(stop - start, seed=start)
        # Short runs in one half of the rows, long ones in the other.
        groups[start:stop] = np.arange(start, stop) % 3 if start % 2_000_000 else start % 3
    for array in (stored, weights, groups):
        array.flush()
    del stored, weights, groups
    assert os.path.getsize(paths["X"]) > 2 * 2 * MEMORY_LIMIT

    (X,) = on_disk([(paths["X"], (K,), np.float64)], n, rows)
    results = results_for(np.load(paths["X"], mmap_mode="r"))
    # Fresh workers of their own, so their peak memory is this call's alone.
    with two_worker_client(memory_limit=MEMORY_LIMIT) as client:
        workers = set(client.scheduler_info()["workers"])
        client.run(start_rss_sampler)
        with client.as_current(), dask.config.set(scheduler=client.get):
            got = velmora_dask.mfx(results, X)
            rows_beside, groups_beside, weights_beside = on_disk(
                [
                    (paths["X"], (K,), np.float64),
                    (paths["groups"], (), np.int16),
                    (paths["weights"], (), np.float64),
                ],
                n,
                rows,
            )
            by_group = velmora_dask.mfx(
                results, rows_beside, by=groups_beside, weights=weights_beside
            )
        assert set(client.scheduler_info()["workers"]) == workers  # none restarted
        peaks = client.run(worker_peak_rss)
    assert all(peak < MEMORY_LIMIT for peak in peaks.values()), peaks
    # Over 3.4e7 rows the two orders of addition differ in the 13th digit,
    # which a p-value of 0.005 magnifies about tenfold.
    assert_same_table(got, velmora.mfx(results), rtol=1e-11)
    stored = np.load(paths["X"], mmap_mode="r")
    weights = np.load(paths["weights"], mmap_mode="r").astype(int)
    groups = np.load(paths["groups"], mmap_mode="r")
    for label in (0, 1, 2):
        mine = groups == label
        repeated = np.repeat(stored[mine], weights[mine], axis=0)
        assert_same_table(
            by_group.xs(label, level=0), velmora.mfx(results_for(repeated)), rtol=1e-10
        )


BLOCK = design(50)
TOTALS = (np.zeros(K), np.zeros((K, K)))
# The private entry points check what they are handed, though only
# velmora_dask calls them, with what the core itself produced.
REFUSALS = {
    "method-not-text": (
        "_read_model",
        (results_for(BLOCK), 3, None, None),
        TypeError,
        "argument 'se_method': 'int' object cannot be converted to 'PyString'",
    ),
    "negative-columns": (
        "_intercept_indices",
        (NAMES, 50, -1, K),
        ValueError,
        "column and coefficient counts cannot be negative",
    ),
    "names-not-a-sequence": (
        "_intercept_indices",
        (None, 50, K, K),
        TypeError,
        "'NoneType' object cannot be converted to 'Sequence'",
    ),
    "block-of-ints": (
        "_guess_dummies",
        (BLOCK.astype(int), NAMES, [0]),
        TypeError,
        "'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    "intercepts-descending": (
        "_guess_dummies",
        (BLOCK, NAMES, [3, 0]),
        ValueError,
        "intercepts must be ascending column indices",
    ),
    "family-unknown": (
        "_block_totals",
        ("ols", BLOCK[0], BLOCK, [0], [2], "orvo"),
        ValueError,
        "ame: only Logit or Probit supported, got ols",
    ),
    "method-unknown": (
        "_block_totals",
        ("logit", BLOCK[0], BLOCK, [0], [2], "SM"),
        ValueError,
        "se_method must be 'orvo' or 'sm', got 'SM'",
    ),
    "params-two-axes": (
        "_block_totals",
        ("logit", BLOCK[:1], BLOCK, [0], [2], "sm"),
        TypeError,
        "'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    "dummy-beyond-columns": (
        "_block_totals",
        ("logit", BLOCK[0], BLOCK, [0], [K], "sm"),
        ValueError,
        f"dummies must be column indices below {K}",
    ),
    "dummy-and-intercept": (
        "_block_totals",
        ("probit", BLOCK[0], BLOCK, [0], [0], "sm"),
        ValueError,
        "an intercept cannot be a dummy",
    ),
    "weights-short": (
        "_block_totals",
        ("logit", BLOCK[0], BLOCK, [0], [2], "orvo", np.ones(49)),
        ValueError,
        "weights must hold one value per row: 50 rows, 49 weights",
    ),
    "weights-negative": (
        "_block_totals",
        ("logit", BLOCK[0], BLOCK, [0], [2], "orvo", np.r_[np.ones(49), -0.5]),
        ValueError,
        "weights must be finite and not negative, not -0.5",
    ),
    "weights-nan": (
        "_block_totals",
        ("probit", BLOCK[0], BLOCK, [0], [2], "sm", np.r_[np.nan, np.ones(49)]),
        ValueError,
        "weights must be finite and not negative, not nan",
    ),
    "weights-infinite": (
        "_block_totals",
        ("probit", BLOCK[0], BLOCK, [0], [2], "sm", np.r_[np.ones(49), np.inf]),
        ValueError,
        "weights must be finite and not negative, not inf",
    ),
    "weights-strided": (
        "_block_totals",
        ("logit", BLOCK[0], BLOCK, [0], [2], "orvo", np.ones(100)[::2]),
        ValueError,
        "weights must be contiguous",
    ),
    "negative-row-count": (
        "_report",
        (*TOTALS, -1, np.eye(K), [0], NAMES),
        ValueError,
        "the row count cannot be negative",
    ),
    "jacobian-short": (
        "_report",
        (TOTALS[0], np.zeros(K), 9, np.eye(K), [0], NAMES),
        TypeError,
        "'ndarray' object cannot be converted to 'PyArray<T, D>'",
    ),
    "jacobian-not-contiguous": (
        "_report",
        (TOTALS[0], np.zeros((K, 2 * K))[:, ::2], 9, np.eye(K), [0], NAMES),
        ValueError,
        f"totals must be C-contiguous with {K * K} elements",
    ),
    "name-not-text": (
        "_report",
        (*TOTALS, 9, np.eye(K), [0], ["const", 1]),
        TypeError,
        "'int' object cannot be converted to 'PyString'",
    ),
}


GROUP_REFUSALS = {
    "codes-not-int64": (
        (
            "logit",
            results_for(BLOCK).params,
            BLOCK,
            [0],
            [2],
            "orvo",
            None,
            np.zeros(50, np.int32),
            1,
        ),
        TypeError,
        "group codes must be a contiguous 1-D int64 array",
    ),
    "codes-short": (
        (
            "logit",
            results_for(BLOCK).params,
            BLOCK,
            [0],
            [2],
            "orvo",
            None,
            np.zeros(49, np.int64),
            1,
        ),
        ValueError,
        "group codes must hold one value per row: 50 rows, 49 codes",
    ),
    "code-too-large": (
        (
            "logit",
            results_for(BLOCK).params,
            BLOCK,
            [0],
            [2],
            "orvo",
            None,
            np.r_[np.zeros(49, np.int64), 3],
            3,
        ),
        ValueError,
        "group codes must lie in [0, 3): row 49 has 3",
    ),
    "code-negative-in-full-windows": (
        (
            "logit",
            results_for(BLOCK).params,
            np.vstack([BLOCK] * 4),
            [0],
            [2],
            "orvo",
            None,
            np.r_[np.zeros(70, np.int64), -1, np.ones(129, np.int64)],
            3,
        ),
        ValueError,
        "group codes must lie in [0, 3): row 70 has -1",
    ),
}
REFUSALS.update({name: ("_group_block_totals", *case) for name, case in GROUP_REFUSALS.items()})
REFUSALS["group-report-negative-count"] = (
    "_group_report",
    (np.zeros((1, K)), np.zeros((1, K, K)), np.array([-1.0]), np.eye(K), [0], NAMES),
    ValueError,
    "the row count cannot be negative",
)


@pytest.mark.parametrize("function, arguments, exc_type, message", REFUSALS.values(), ids=REFUSALS)
def test_private_entry_points_refuse(function, arguments, exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        getattr(velmora, function)(*arguments)
    assert str(excinfo.value) == message


def odd_block(n, layout, *per_row):
    """design(n) with a contradicted dummy (column 4) and a tail predictor
    (row 9), in C or Fortran order or bottom-up, and arrays of one value per
    row following its rows."""
    X = design(n)
    X[5, 4] = 0.5
    X[9, 1] = 40.0
    if layout == "F":
        return np.asfortranarray(X), *per_row
    if layout == "reversed":
        return X[::-1], *(values[::-1].copy() for values in per_row)
    return X, *per_row


@pytest.mark.parametrize("family", ["logit", "probit"])
@pytest.mark.parametrize("method", ["orvo", "sm"])
@pytest.mark.parametrize("layout", ["C", "F", "reversed"])
def test_block_weights_count_rows_as_repeats(family, method, layout):
    # Integer weights sum each row that many times; blocks longer than the
    # core's own, a contradicted dummy (column 4) and a tail predictor that
    # takes the exact fall-backs.
    rng = np.random.default_rng(11)
    X, weights = odd_block(700, layout, rng.integers(0, 4, 700).astype(float))
    params = results_for(BLOCK).params
    weighted = velmora._block_totals(family, params, X, [0], [2, 4], method, weights)
    repeated = velmora._block_totals(
        family, params, np.repeat(X, weights.astype(int), axis=0), [0], [2, 4], method
    )
    assert weighted[0] == len(X) and weighted[3] == repeated[3] == (True, False)
    assert weighted[4] == repeated[0]
    for got, want in zip(weighted[1:3], repeated[1:3], strict=True):
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12 * np.abs(want).max())
    ones = velmora._block_totals(family, params, X, [0], [2, 4], method, np.ones(len(X)))
    plain = velmora._block_totals(family, params, X, [0], [2, 4], method)
    assert all(np.array_equal(a, b) for a, b in zip(ones[1:3], plain[1:3], strict=True))


@pytest.mark.parametrize("family", ["logit", "probit"])
@pytest.mark.parametrize("method", ["orvo", "sm"])
@pytest.mark.parametrize("layout", ["C", "F", "reversed"])
@pytest.mark.parametrize("extra_columns", [0, 8, 32], ids=["k5", "k13", "k37"])
def test_block_groups_equal_their_rows(family, method, layout, extra_columns):
    # Labels in long runs and short ones, a code with no rows, more rows than
    # one buffer segment, a contradicted dummy (column 4) and a tail predictor;
    # rows of 5, 13 and 37 doubles, which the buffer takes in unrolled moves
    # of two counts and in a loop of moves.
    n = 30000
    rng = np.random.default_rng(12)
    codes = (group_labels(n, seed=8) * 2).astype(np.int64)
    X, codes, weights = odd_block(n, layout, codes, rng.integers(0, 4, n).astype(float))
    params = results_for(BLOCK).params
    if extra_columns:
        X = np.hstack([X, rng.normal(size=(n, extra_columns))])
        X = np.asfortranarray(X) if layout == "F" else X
        X = X[::-1].copy()[::-1] if layout == "reversed" else X
        params = np.concatenate([params, np.linspace(-0.2, 0.2, extra_columns)])
    present, rows, effects, jacobian, held, weight_totals = velmora._group_block_totals(
        family, params, X, [0], [2, 4], method, weights, codes, 11
    )
    assert list(present) == [0, 2, 4, 6, 8, 10] and held == (True, False)
    for g, code in enumerate(present):
        mine = codes == code
        alone = velmora._block_totals(
            family, params, np.ascontiguousarray(X[mine]), [0], [2, 4], method, weights[mine]
        )
        assert rows[g] == mine.sum() and weight_totals[g] == alone[4]
        for got, want in ((effects[g], alone[1]), (jacobian[g], alone[2])):
            np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-12 * np.abs(want).max())
