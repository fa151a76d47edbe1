"""Random designs, layouts, chunk sizes and methods: mfx equals the formulas in numpy_reference.

Designs mix intercept, dummy (with -0.0, all zeros, all ones), count and
continuous columns under random names; the arrays come in C and Fortran
order, as strided slices of NaN-padded buffers and with negative strides, as
ndarrays or pandas objects. Runs are bounded and derandomized by the
hypothesis profile that conftest.py loads.
"""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from numpy_reference import compare_tables, reference_table

import velmora

INTERCEPT_NAMES = ["const", "Intercept", "CONST", "intercept", "Const"]
LAYOUTS_2D = ["C", "F", "strided", "reversed", "mixed"]
LAYOUTS_1D = ["C", "strided", "reversed"]


def laid_out(values, layout):
    """(view, owner): a view equal to `values` in the given layout, and the buffer behind it.

    Padding is NaN, so a read outside the view would show in the numbers.
    """
    values = np.asarray(values, dtype=float)
    if layout == "C":
        owner = np.ascontiguousarray(values)
        return owner, owner
    if layout == "F":
        owner = np.asfortranarray(values)
        return owner, owner
    if layout == "strided":
        owner = np.full(tuple(3 * s + 2 for s in values.shape), np.nan)
        index = tuple(slice(1, 1 + 3 * s, 3) for s in values.shape)
        owner[index] = values
        return owner[index], owner
    flip = (slice(None, None, -1),) * values.ndim
    if layout == "reversed":
        owner = np.ascontiguousarray(values[flip])
        return owner[flip], owner
    # Fortran order, rows read bottom-up and every other column of a wider buffer.
    rows, cols = values.shape
    owner = np.full((rows, 2 * cols + 1), np.nan, order="F")
    owner[::-1, 1::2] = values
    return owner[::-1, 1::2], owner


class Results:
    """The attributes mfx reads, and no more."""

    def __init__(self, kind, exog, names, params, cov):
        self.model = type(kind, (), {})()
        self.model.exog = exog
        self.model.exog_names = names
        self.params = params
        self._cov = cov

    def cov_params(self):
        return self._cov


def finite(low, high):
    return st.floats(low, high, allow_nan=False, allow_infinity=False, width=64)


def any_double(magnitude):
    return st.one_of(finite(-magnitude, magnitude), st.sampled_from([np.nan, np.inf, -np.inf]))


@st.composite
def columns(draw, n, kind, non_finite):
    if kind == "dummy":
        return draw(hnp.arrays(float, n, elements=st.sampled_from([0.0, 1.0, -0.0])))
    if kind in ("ones", "zeros"):
        return np.full(n, 1.0 if kind == "ones" else 0.0)
    if kind == "counts":
        return draw(hnp.arrays(float, n, elements=st.sampled_from([0.0, 1.0, 2.0, 3.0])))
    elements = any_double(4.0) if non_finite else finite(-4.0, 4.0)
    return draw(hnp.arrays(float, n, elements=elements))


@st.composite
def cases(draw, non_finite=False):
    n = draw(st.integers(0, 60))
    k = draw(st.integers(0, 8))
    kinds = draw(
        st.lists(
            st.sampled_from(["intercept", "dummy", "continuous", "counts", "ones", "zeros"]),
            min_size=k,
            max_size=k,
        )
    )
    X = np.empty((n, k))
    names = []
    for j, kind in enumerate(kinds):
        if kind == "intercept":
            names.append(draw(st.sampled_from(INTERCEPT_NAMES)))
            # An intercept's values are never read; they need not be ones.
            X[:, j] = draw(st.sampled_from([1.0, 0.5]))
        else:
            names.append(draw(st.one_of(st.just(f"x{j}"), st.text(max_size=4))))
            X[:, j] = draw(columns(n, kind, non_finite))
    scale = draw(st.sampled_from([3.0, 300.0]))  # 300 drives xb deep into the tails
    beta_elements = any_double(scale) if non_finite else finite(-scale, scale)
    beta = draw(hnp.arrays(float, k, elements=beta_elements))
    A = draw(hnp.arrays(float, (k, k), elements=finite(-1.0, 1.0)))
    V = A @ A.T if draw(st.booleans()) else A  # PSD, or anything (clamped variances)
    return {
        "kind": draw(st.sampled_from(["Logit", "Probit"])),
        "X": X,
        "names": names,
        "beta": beta,
        "V": V,
        "x_layout": draw(st.sampled_from(LAYOUTS_2D)),
        "beta_layout": draw(st.sampled_from(LAYOUTS_1D)),
        "v_layout": draw(st.sampled_from(LAYOUTS_2D)),
        "pandas": draw(st.booleans()),
        "chunk": draw(st.one_of(st.none(), st.integers(1, n + 3), st.just(2**64 - 1))),
        "method": draw(st.sampled_from([None, "orvo", "sm"])),
    }


def run(case):
    """mfx on the case's arrays; also asserts that their buffers are unchanged."""
    X, x_owner = laid_out(case["X"], case["x_layout"])
    beta, beta_owner = laid_out(case["beta"], case["beta_layout"])
    V, v_owner = laid_out(case["V"], case["v_layout"])
    names = list(case["names"])
    if case["pandas"]:
        # pandas may copy, so the layouts above are then exercised through values.
        params, cov = pd.Series(beta), pd.DataFrame(V)
        exog = pd.DataFrame(X, columns=pd.Index(names, dtype=object))
    else:
        params, cov, exog = beta, V, X
    before = [owner.tobytes() for owner in (x_owner, beta_owner, v_owner)]
    table = velmora.mfx(
        Results(case["kind"], exog, names, params, cov), case["chunk"], case["method"]
    )
    assert [owner.tobytes() for owner in (x_owner, beta_owner, v_owner)] == before
    return table


@given(cases())
def test_table_follows_the_formulas(case):
    table = run(case)
    expected = reference_table(
        case["kind"], case["X"], case["beta"], case["V"], case["names"], case["method"] or "orvo"
    )
    compare_tables(table, expected)
    if case["X"].shape[0] > 0:
        assert not np.isnan(table["dy/dx"].to_numpy()).any()


@given(cases(non_finite=True))
def test_non_finite_values_flow_through(case):
    table = run(case)
    expected = reference_table(
        case["kind"], case["X"], case["beta"], case["V"], case["names"], case["method"] or "orvo"
    )
    compare_tables(table, expected)


def wide_case(layout, kind):
    # 40 columns make the engine's row blocks 51 rows (16 KiB), so 1700 rows
    # and the chunk sizes below split chunks into several blocks.
    rng = np.random.default_rng(len(layout) + len(kind))
    n, k = 1700, 40
    X = rng.normal(size=(n, k)) / 4
    X[:, 0] = 1.0
    X[:, 1::5] = rng.random((n, len(range(1, k, 5)))) < 0.3
    A = rng.normal(size=(k, k)) / 10
    names = ["const", *(f"x{j}" for j in range(1, k))]
    return {
        "kind": kind,
        "X": X,
        "names": names,
        "beta": rng.normal(size=k) / 2,
        "V": A @ A.T,
        "x_layout": layout,
        "beta_layout": "reversed",
        "v_layout": layout,
        "pandas": False,
    }


@pytest.mark.parametrize("chunk", [None, 1000, 333])
@pytest.mark.parametrize("method", ["orvo", "sm"])
@pytest.mark.parametrize("layout", LAYOUTS_2D)
def test_chunks_of_several_blocks(layout, method, chunk):
    case = {
        **wide_case(layout, "Probit" if method == "sm" else "Logit"),
        "chunk": chunk,
        "method": method,
    }
    expected = reference_table(
        case["kind"], case["X"], case["beta"], case["V"], case["names"], method
    )
    compare_tables(run(case), expected)
