"""Numbers of velmora.mfx on real statsmodels fits and on hand-built results objects.

Reference values come from two places: statsmodels' own get_margeff (for the
"sm" standard errors and for the effects of both methods), and the plain NumPy
computation in `reference_effects` below, which writes the effect and Jacobian
formulas out observation by observation.
"""

import types

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from scipy.special import expit
from scipy.stats import norm

import velmora

COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi", "Significance"]
NUMERIC = COLUMNS[:-1]


# ---------------------------------------------------------------- reference


def _logit_pdf(z):
    # exp(-|z|) never overflows, so the far tails are 0.0 rather than inf/inf
    e = np.exp(-np.abs(z))
    return e / (1.0 + e) ** 2


LINKS = {
    "Logit": (expit, _logit_pdf, lambda z: _logit_pdf(z) * (1.0 - 2.0 * expit(z))),
    "Probit": (norm.cdf, norm.pdf, lambda z: -z * norm.pdf(z)),
}


def reference_effects(kind, X, beta, V, names, method):
    """AMEs and delta-method standard errors of the non-intercept columns."""
    X = np.array(X, dtype=float)
    beta = np.asarray(beta, dtype=float)
    F, f, fprime = LINKS[kind]
    k = X.shape[1]
    intercepts = {j for j, name in enumerate(names) if name.lower() in ("const", "intercept")}
    xb = X @ beta
    effects = np.zeros(k)
    jac = np.zeros((k, k))
    for j in range(k):
        if j in intercepts:
            continue
        if np.all((X[:, j] == 0.0) | (X[:, j] == 1.0)):
            x1, x0 = X.copy(), X.copy()
            x1[:, j], x0[:, j] = 1.0, 0.0
            xb1, xb0 = x1 @ beta, x0 @ beta
            effects[j] = np.mean(F(xb1) - F(xb0))
            jac[j] = np.mean(f(xb1)[:, None] * x1 - f(xb0)[:, None] * x0, axis=0)
        else:
            fxb = f(xb)
            effects[j] = fxb.mean() * beta[j]
            if method == "orvo":
                jac[j] = np.mean((-beta[j] * xb * fxb)[:, None] * X, axis=0)
                jac[j, j] = fxb.mean()
            else:
                jac[j] = beta[j] * np.mean(fprime(xb)[:, None] * X, axis=0)
                jac[j, j] += fxb.mean()
    cov = jac @ np.asarray(V, dtype=float) @ jac.T
    se = np.sqrt(np.maximum(np.diag(cov), 0.0))
    keep = [j for j in range(k) if j not in intercepts]
    return effects[keep], se[keep], [names[j] for j in keep]


def fake_results(kind, exog, params, cov, names):
    """The attributes mfx reads from a statsmodels results object, and no more."""
    model = type(kind, (), {})()
    model.exog = exog
    model.exog_names = names
    return types.SimpleNamespace(model=model, params=params, cov_params=lambda: cov)


def check_inference_columns(table):
    """z, p, stars and interval follow from dy/dx and Std. Err."""
    ame = table["dy/dx"].to_numpy()
    se = table["Std. Err"].to_numpy()
    z = table["z"].to_numpy()
    p = table["Pr(>|z|)"].to_numpy()
    tested = se > 1e-15
    np.testing.assert_allclose(z[tested], ame[tested] / se[tested], rtol=1e-14)
    np.testing.assert_allclose(
        p[tested], 2.0 * (1.0 - norm.cdf(np.abs(z[tested]))), rtol=1e-9, atol=1e-14
    )
    half = np.where(tested, se * 1.96, 0.0)
    np.testing.assert_allclose(table["Conf. Int. Low"], ame - half, rtol=1e-14, atol=1e-15)
    np.testing.assert_allclose(table["Conf. Int. Hi"], ame + half, rtol=1e-14, atol=1e-15)
    stars = np.select([p < 0.01, p < 0.05, p < 0.1], ["***", "**", "*"], default="")
    assert list(table["Significance"]) == list(stars)
    assert np.all(z[~tested] == 0.0) and np.all(p[~tested] == 1.0)


# ---------------------------------------------------------------- fits


def _spector():
    data = sm.datasets.spector.load_pandas()
    return data.endog, sm.add_constant(data.exog[["GPA", "TUCE", "PSI"]])


def _synthetic(kind, as_frame):
    rng = np.random.default_rng(20240611)
    n = 5000
    cont = rng.normal(size=(n, 3)) * [1.0, 2.0, 0.5] + [0.0, 1.0, -1.0]
    dums = (rng.random((n, 2)) < [0.3, 0.6]).astype(float)
    # dummies interleaved with continuous columns
    cols = np.column_stack([cont[:, 0], dums[:, 0], cont[:, 1], dums[:, 1], cont[:, 2]])
    latent = -0.2 + cols @ [0.4, -0.8, 0.03, 0.5, -1.2]
    noise = rng.logistic(size=n) if kind == "Logit" else rng.normal(size=n)
    y = (latent + noise > 0).astype(float)
    if as_frame:
        frame = pd.DataFrame(cols, columns=["age", "female", "income", "urban", "score"])
        return pd.Series(y, name="y"), sm.add_constant(frame)
    # plain arrays, the constant last: names come from exog_names (x1..x5, const)
    return y, sm.add_constant(cols, prepend=False)


FIT_IDS = [
    "spector-logit",
    "spector-probit",
    "frame-logit",
    "frame-probit",
    "array-logit",
    "array-probit",
]


@pytest.fixture(scope="module", params=FIT_IDS)
def fitted(request):
    source, kind = request.param.split("-")
    kind = kind.capitalize()
    y, X = _spector() if source == "spector" else _synthetic(kind, source == "frame")
    return getattr(sm, kind)(y, X).fit(disp=0)


@pytest.fixture(scope="module", params=["logit", "probit"])
def synthetic_fit(request):
    kind = request.param.capitalize()
    return getattr(sm, kind)(*_synthetic(kind, True)).fit(disp=0)


def _inputs(res):
    return (
        type(res.model).__name__,
        np.asarray(res.model.exog),
        np.asarray(res.params),
        np.asarray(res.cov_params()),
        list(res.model.exog_names),
    )


# ---------------------------------------------------------------- statsmodels fits


def test_sm_method_matches_statsmodels(fitted):
    margins = fitted.get_margeff(at="overall", method="dydx", dummy=True)
    table = velmora.mfx(fitted, se_method="sm")
    np.testing.assert_allclose(table["dy/dx"], margins.margeff, rtol=1e-10)
    np.testing.assert_allclose(table["Std. Err"], margins.margeff_se, rtol=1e-6)
    orvo = velmora.mfx(fitted, se_method="orvo")
    np.testing.assert_allclose(orvo["dy/dx"], margins.margeff, rtol=1e-10)


@pytest.mark.parametrize("method", ["orvo", "sm"])
def test_matches_reference(fitted, method):
    ame, se, names = reference_effects(*_inputs(fitted), method)
    table = velmora.mfx(fitted, se_method=method)
    assert list(table.index) == names
    np.testing.assert_allclose(table["dy/dx"], ame, rtol=1e-10)
    np.testing.assert_allclose(table["Std. Err"], se, rtol=1e-9)
    check_inference_columns(table)


def test_default_method_is_orvo(fitted):
    pd.testing.assert_frame_equal(velmora.mfx(fitted), velmora.mfx(fitted, se_method="orvo"))


def test_table_layout(fitted):
    table = velmora.mfx(fitted)
    assert list(table.columns) == COLUMNS
    names = list(fitted.model.exog_names)
    assert list(table.index) == [name for name in names if name != "const"]
    assert all(table[c].dtype == np.float64 for c in NUMERIC)
    sig = table["Significance"]
    assert sig.dtype == object or pd.api.types.is_string_dtype(sig.dtype)
    assert all(isinstance(s, str) for s in sig)


# ---------------------------------------------------------------- chunks and layouts


@pytest.mark.parametrize("method", ["orvo", "sm"])
@pytest.mark.parametrize(
    "chunk_of_n",
    [
        lambda n: 1,
        lambda n: 7,
        lambda n: n,
        lambda n: n + 5,
        lambda n: 2**64 - 1,
        lambda n: np.int64(999),
    ],
    ids=["1", "7", "n", "n+5", "u64-max", "numpy-int"],
)
def test_chunk_size_only_changes_rounding(synthetic_fit, chunk_of_n, method):
    chunk = chunk_of_n(synthetic_fit.model.exog.shape[0])
    whole = velmora.mfx(synthetic_fit, None, method)
    chunked = velmora.mfx(synthetic_fit, chunk, method)
    pd.testing.assert_frame_equal(chunked, whole, check_exact=False, rtol=1e-12, atol=1e-15)


def _layouts(X, params, cov):
    n, k = X.shape
    wide = np.zeros((n, k + 3))
    wide[:, 2 : k + 2] = X
    every_other = np.zeros((n, 2 * k))
    every_other[:, ::2] = X
    tall_f = np.zeros((2 * n, k), order="F")
    tall_f[:n] = X
    params_rev = params[::-1].copy()
    return {
        "c-order": (np.ascontiguousarray(X), params, cov),
        "fortran": (np.asfortranarray(X), params, np.asfortranarray(cov)),
        "column-slice": (wide[:, 2 : k + 2], params, cov),
        "every-other-column": (every_other[:, ::2], params, cov),
        "fortran-row-slice": (tall_f[:n], params, cov),
        "rows-reversed": (X[::-1], params, cov),
        "params-negative-stride": (X, params_rev[::-1], cov),
    }


LAYOUT_IDS = list(_layouts(np.zeros((1, 1)), np.zeros(1), np.zeros((1, 1))))


@pytest.mark.parametrize("method", ["orvo", "sm"])
@pytest.mark.parametrize("layout", LAYOUT_IDS)
def test_array_layouts_give_same_table(synthetic_fit, layout, method):
    kind, X, params, cov, names = _inputs(synthetic_fit)
    exog, beta, V = _layouts(X, params, cov)[layout]
    table = velmora.mfx(fake_results(kind, exog, beta, V, names), se_method=method)
    expected = velmora.mfx(synthetic_fit, se_method=method)
    pd.testing.assert_frame_equal(table, expected, check_exact=False, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("method", ["orvo", "sm"])
def test_reversed_columns_give_reversed_table(synthetic_fit, method):
    kind, X, params, cov, names = _inputs(synthetic_fit)
    fake = fake_results(kind, X[:, ::-1], params[::-1], cov[::-1, ::-1], names[::-1])
    table = velmora.mfx(fake, se_method=method)
    expected = velmora.mfx(synthetic_fit, se_method=method).iloc[::-1]
    pd.testing.assert_frame_equal(table, expected, check_exact=False, rtol=1e-12, atol=1e-15)


def test_pandas_exog_uses_frame_values_and_columns(synthetic_fit):
    kind, X, params, cov, names = _inputs(synthetic_fit)
    fake = fake_results(
        kind,
        pd.DataFrame(X, columns=names),
        pd.Series(params, index=names),
        pd.DataFrame(cov, index=names, columns=names),
        ["wrong"] * len(names),
    )
    expected = velmora.mfx(synthetic_fit)
    pd.testing.assert_frame_equal(velmora.mfx(fake), expected, check_exact=False, rtol=1e-12)


# ---------------------------------------------------------------- hand-built models


def _classification_model(rng, n=400):
    x = rng.normal(size=n)
    dummy = (rng.random(n) < 0.5).astype(float)
    with_neg_zero = np.where(rng.random(n) < 0.4, -0.0, 1.0)
    counts = rng.integers(0, 3, size=n).astype(float)  # 0, 1 and 2: continuous
    X = np.column_stack([np.ones(n), x, np.ones(n), dummy, with_neg_zero, counts, np.ones(n)])
    names = ["Intercept", "x", "one", "d", "negzero", "count", "CONST"]
    beta = np.array([0.3, 0.7, -0.2, 0.9, -0.6, 0.25, 0.1])
    a = rng.normal(size=(7, 7))
    return X, beta, a @ a.T / 50.0, names


@pytest.mark.parametrize("method", ["orvo", "sm"])
@pytest.mark.parametrize("kind", ["Logit", "Probit"])
def test_column_classes_match_reference(kind, method):
    # two intercept names, a named column of ones (a dummy), -0.0 in a dummy,
    # and a 0/1/2 column that is continuous
    X, beta, V, names = _classification_model(np.random.default_rng(7))
    table = velmora.mfx(fake_results(kind, X, beta, V, names), 13, method)
    ame, se, kept = reference_effects(kind, X, beta, V, names, method)
    assert list(table.index) == kept == ["x", "one", "d", "negzero", "count"]
    np.testing.assert_allclose(table["dy/dx"], ame, rtol=1e-10)
    np.testing.assert_allclose(table["Std. Err"], se, rtol=1e-9)
    check_inference_columns(table)


@pytest.mark.parametrize("chunk", [None, 3000])
@pytest.mark.parametrize("first_other", [100, 4096, 9000, 11_999])
@pytest.mark.parametrize("order", ["C", "F"])
def test_column_zero_one_for_thousands_of_rows_then_not_is_continuous(order, first_other, chunk):
    # sorted data: a count that is 0 or 1 for its first rows and 2 later
    rng = np.random.default_rng(first_other)
    n = 12_000
    count = (rng.random(n) < 0.5).astype(float)
    count[first_other:] += rng.integers(0, 2, size=n - first_other)
    count[first_other] = 2.0
    X = np.asarray(
        np.column_stack([np.ones(n), rng.normal(size=n), count, rng.random(n) < 0.3]), order=order
    )
    names = ["const", "x", "count", "d"]
    beta = np.array([-0.2, 0.5, 0.3, -0.4])
    V = np.eye(4) * 1e-3
    for method in ("orvo", "sm"):
        table = velmora.mfx(fake_results("Probit", X, beta, V, names), chunk, method)
        ame, se, _ = reference_effects("Probit", X, beta, V, names, method)
        np.testing.assert_allclose(table["dy/dx"], ame, rtol=1e-10)
        np.testing.assert_allclose(table["Std. Err"], se, rtol=1e-9)
        # the derivative effect, not the discrete change
        assert table.loc["count", "dy/dx"] == pytest.approx(ame[1], rel=1e-10)


@pytest.mark.parametrize("method", ["orvo", "sm"])
def test_logit_overflow_contributes_zero_density(method):
    # xb reaches +-1200: exp(xb) overflows, and those rows must add 0, not NaN
    n = 60
    rng = np.random.default_rng(3)
    x = np.linspace(-1.2, 1.2, n)
    dummy = (rng.random(n) < 0.5).astype(float)
    X = np.column_stack([np.ones(n), x, dummy, rng.normal(size=n)])
    beta = np.array([0.1, 1000.0, 800.0, 0.5])
    V = np.diag([0.04, 25.0, 16.0, 0.01]) + 0.001
    names = ["const", "x", "d", "w"]
    table = velmora.mfx(fake_results("Logit", X, beta, V, names), 16, method)
    assert not table[NUMERIC].isna().any().any()
    ame, se, _ = reference_effects("Logit", X, beta, V, names, method)
    np.testing.assert_allclose(table["dy/dx"], ame, rtol=1e-10)
    np.testing.assert_allclose(table["Std. Err"], se, rtol=1e-9)


@pytest.mark.parametrize(
    "cov", [np.zeros((3, 3)), -np.eye(3), np.full((3, 3), np.nan)], ids=["zero", "negative", "nan"]
)
def test_unusable_variance_gives_fallback_rows(cov):
    rng = np.random.default_rng(5)
    X = np.column_stack([np.ones(50), rng.normal(size=50), rng.random(50) < 0.5])
    table = velmora.mfx(
        fake_results("Probit", X, np.array([0.2, 0.5, -0.4]), cov, ["const", "x", "d"])
    )
    ame, _, _ = reference_effects(
        "Probit", X, [0.2, 0.5, -0.4], np.eye(3), ["const", "x", "d"], "orvo"
    )
    np.testing.assert_allclose(table["dy/dx"], ame, rtol=1e-10)
    assert list(table["Std. Err"]) == [0.0, 0.0]
    assert list(table["z"]) == [0.0, 0.0] and list(table["Pr(>|z|)"]) == [1.0, 1.0]
    assert list(table["Significance"]) == ["", ""]
    np.testing.assert_array_equal(table["Conf. Int. Low"], table["dy/dx"])
    np.testing.assert_array_equal(table["Conf. Int. Hi"], table["dy/dx"])


def test_only_intercepts_give_empty_table():
    X = np.ones((10, 2))
    table = velmora.mfx(
        fake_results("Logit", X, np.array([0.1, 0.2]), np.eye(2), ["const", "Intercept"])
    )
    assert list(table.columns) == COLUMNS
    assert len(table) == 0


def test_repeated_names_give_repeated_index():
    rng = np.random.default_rng(11)
    X = np.column_stack([np.ones(30), rng.normal(size=(30, 2))])
    names = ["const", "x", "x"]
    table = velmora.mfx(
        fake_results("Probit", X, np.array([0.1, 0.4, -0.3]), np.eye(3) / 100, names)
    )
    assert list(table.index) == ["x", "x"]
    ame, se, _ = reference_effects("Probit", X, [0.1, 0.4, -0.3], np.eye(3) / 100, names, "orvo")
    np.testing.assert_allclose(table["dy/dx"], ame, rtol=1e-10)
    np.testing.assert_allclose(table["Std. Err"], se, rtol=1e-9)


@pytest.mark.parametrize("method", ["orvo", "sm"])
def test_no_observations_give_nan_effects(method):
    fake = fake_results(
        "Logit", np.empty((0, 3)), np.array([0.1, 0.2, 0.3]), np.eye(3), ["const", "a", "b"]
    )
    table = velmora.mfx(fake, se_method=method)
    assert list(table.index) == ["a", "b"]
    assert table["dy/dx"].isna().all()
    assert list(table["Std. Err"]) == [0.0, 0.0]
    assert list(table["Pr(>|z|)"]) == [1.0, 1.0]


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"chunk_size": 0}, "chunk_size must be at least 1"),
        ({"se_method": "SM"}, "se_method must be 'orvo' or 'sm', got 'SM'"),
        ({"se_method": "orvo "}, "se_method must be 'orvo' or 'sm', got 'orvo '"),
    ],
    ids=["chunk-zero", "upper-case-method", "padded-method"],
)
def test_rejected_settings(synthetic_fit, kwargs, message):
    with pytest.raises(ValueError) as info:
        velmora.mfx(synthetic_fit, **kwargs)
    assert str(info.value) == message
