"""The result table of mfx, written out in plain NumPy from the formulas.

Every step follows the arithmetic mfx documents, including where NaN and
infinity go: nothing is screened, the only guards are the clamping of a
non-positive or NaN variance to 0 and the standard-error threshold 1e-15.
Products are explicit elementwise sums, so IEEE propagation of NaN and
infinity is that of the formulas whatever BLAS NumPy was built with.

`compare_tables` checks a table of mfx against `reference_table`. Sums may
cancel, so besides the relative tolerance each value may differ by a few
hundred ulps of its *size*: the same sum taken over absolute values, with
every term widened by the rounding of the linear index it depends on.
"""

import math

import numpy as np

SQRT_TWO_PI = 2.5066282746310002
SE_THRESHOLD = 1e-15
RTOL = 1e-10
SIZE_TOL = 1e-13  # about 500 ulps of a sum's size
_erfc = np.vectorize(math.erfc, otypes=[float])


def standard_normal_cdf(x):
    return 0.5 * _erfc(-np.asarray(x, dtype=float) / math.sqrt(2.0))


def _logistic_pdf(z):
    # exp(-|z|) gives the density exp(z)/(1+exp(z))^2 without overflow, so the
    # far tails are its limit 0, as in mfx.
    e = np.exp(-np.abs(z))
    return e / ((1.0 + e) * (1.0 + e))


def _logistic_cdf(z):
    return 1.0 / (np.exp(-z) + 1.0)


def _normal_pdf(z):
    return np.exp((-0.5 * z) * z) / SQRT_TWO_PI


# F, f and f' of each family.
LINKS = {
    "Logit": (
        _logistic_cdf,
        _logistic_pdf,
        lambda z: _logistic_pdf(z) * (1.0 - 2.0 * _logistic_cdf(z)),
    ),
    "Probit": (standard_normal_cdf, _normal_pdf, lambda z: _normal_pdf(z) * (-z)),
}


def is_intercept_name(name):
    return name.lower() in ("const", "intercept")


def is_dummy(column):
    return bool(np.all((column == 0.0) | (column == 1.0)))


def _matmul(a, b):
    return (a[:, :, None] * b[None, :, :]).sum(axis=1)


def reference_totals(kind, X, beta, names, method, continuous=()):
    """Effect and Jacobian totals of the selected method, with their sizes;
    the columns in `continuous` are continuous whatever they hold."""
    F, f, fprime = LINKS[kind]
    n, k = X.shape
    effects, effect_size = np.zeros(k), np.zeros(k)
    jac, jac_size = np.zeros((k, k)), np.zeros((k, k))
    if n == 0:
        return effects, jac, effect_size, jac_size
    xb = (X * beta).sum(axis=1)
    # F, f, f' and z*f(z) all have derivatives below 1, so an error e in xb
    # moves each of them by less than e: every term is widened by |xb|'s size.
    xb_size = (np.abs(X) * np.abs(beta)).sum(axis=1)
    fxb = f(xb)
    for j in range(k):
        if is_intercept_name(names[j]):
            continue
        x_j = X[:, j]
        if is_dummy(x_j) and j not in continuous:
            xb1 = xb + (1.0 - x_j) * beta[j]
            xb0 = xb + (-x_j) * beta[j]
            g1, g0 = f(xb1), f(xb0)
            wide = xb_size + abs(beta[j])
            effects[j] = F(xb1).sum() - F(xb0).sum()
            effect_size[j] = (np.abs(F(xb1)) + np.abs(F(xb0)) + 2.0 * wide).sum()
            for m in range(k):
                if m == j:
                    jac[j, m] = g1.sum()
                    jac_size[j, m] = (np.abs(g1) + wide).sum()
                else:
                    jac[j, m] = ((g1 - g0) * X[:, m]).sum()
                    jac_size[j, m] = (
                        (np.abs(g1) + np.abs(g0) + 2.0 * wide) * np.abs(X[:, m])
                    ).sum()
        else:
            effects[j] = fxb.sum() * beta[j]
            effect_size[j] = (np.abs(fxb) + xb_size).sum() * abs(beta[j])
            weights = xb * fxb if method == "orvo" else fprime(xb)
            for m in range(k):
                product = (X[:, m] * weights).sum()
                size = (np.abs(X[:, m]) * (np.abs(weights) + xb_size)).sum() * abs(beta[j])
                pdf_size = (np.abs(fxb) + xb_size).sum()
                if method == "orvo":
                    jac[j, m] = fxb.sum() if m == j else product * (-beta[j])
                    jac_size[j, m] = pdf_size if m == j else size
                else:
                    jac[j, m] = product * beta[j] + fxb.sum() if m == j else product * beta[j]
                    jac_size[j, m] = size + pdf_size if m == j else size
    return effects, jac, effect_size, jac_size


def inference_columns(dydx, std_err):
    """z, p, stars and interval bounds of rows with these AMEs and standard errors."""
    dydx, std_err = np.asarray(dydx, dtype=float), np.asarray(std_err, dtype=float)
    tested = std_err > SE_THRESHOLD
    with np.errstate(all="ignore"):
        z = np.where(tested, dydx / np.where(tested, std_err, 1.0), 0.0)
        p = np.where(tested, 2.0 * (1.0 - standard_normal_cdf(np.abs(z))), 1.0)
        half = std_err * 1.96
        low = np.where(tested, dydx - half, dydx)
        high = np.where(tested, dydx + half, dydx)
    stars = np.select([p < 0.01, p < 0.05, p < 0.1], ["***", "**", "*"], default="")
    return z, p, [str(s) if t else "" for s, t in zip(stars, tested, strict=True)], low, high


def reference_table(kind, X, beta, V, names, method, continuous=()):
    """The reported rows' names, AMEs and variances, with the sizes of both."""
    X, beta, V = (np.array(a, dtype=float) for a in (X, beta, V))
    n, k = X.shape
    with np.errstate(all="ignore"):
        effects, jac, effect_size, jac_size = reference_totals(
            kind, X, beta, names, method, continuous
        )
        ame, J = effects / float(n), jac / float(n)
        C = _matmul(_matmul(J, V), J.T)
        J_size = jac_size / float(n)
        C_size = _matmul(_matmul(J_size, np.abs(V)), J_size.T)
        variance = np.diag(C)
        variance = np.where(variance > 0.0, variance, 0.0)
        dydx_size = effect_size / float(n)
    keep = [j for j in range(k) if not is_intercept_name(names[j])]
    return {
        "names": [names[j] for j in keep],
        "dydx": ame[keep],
        "dydx_size": dydx_size[keep],
        "variance": variance[keep],
        "variance_size": np.diag(C_size)[keep],
    }


def _close(actual, expected, size):
    with np.errstate(all="ignore"):
        by_size = np.abs(actual - expected) <= SIZE_TOL * np.nan_to_num(size, nan=np.inf)
        return np.isclose(actual, expected, rtol=RTOL, atol=0.0, equal_nan=True) | by_size


def compare_tables(table, expected):
    """Asserts a table of mfx against `reference_table`, column by column."""
    assert list(table.columns) == [
        "dy/dx",
        "Std. Err",
        "z",
        "Pr(>|z|)",
        "Conf. Int. Low",
        "Conf. Int. Hi",
        "Significance",
    ]
    assert list(table.index) == expected["names"]
    dydx = table["dy/dx"].to_numpy(dtype=float)
    se = table["Std. Err"].to_numpy(dtype=float)
    np.testing.assert_array_equal(np.isnan(dydx), np.isnan(expected["dydx"]), err_msg="NaN dy/dx")
    assert _close(dydx, expected["dydx"], expected["dydx_size"]).all(), (dydx, expected["dydx"])
    # Never NaN nor negative; compared through the variance, where the
    # rounding of a cancelling sum stays proportional to the size.
    assert not np.isnan(se).any() and (se >= 0.0).all(), se
    variance_ok = _close(se * se, expected["variance"], expected["variance_size"])
    assert variance_ok.all(), (se, np.sqrt(expected["variance"]))
    # The rest follows from the table's own AMEs and standard errors.
    z, p, _, low, high = inference_columns(dydx, se)
    np.testing.assert_array_equal(table["z"].to_numpy(dtype=float), z)
    np.testing.assert_allclose(table["Pr(>|z|)"].to_numpy(dtype=float), p, rtol=RTOL, atol=5e-16)
    np.testing.assert_array_equal(table["Conf. Int. Low"].to_numpy(dtype=float), low)
    np.testing.assert_array_equal(table["Conf. Int. Hi"].to_numpy(dtype=float), high)
    table_p = table["Pr(>|z|)"].to_numpy(dtype=float)
    expected_stars = np.select(
        [table_p < 0.01, table_p < 0.05, table_p < 0.1], ["***", "**", "*"], default=""
    )
    assert list(table["Significance"]) == [str(s) for s in expected_stars]
