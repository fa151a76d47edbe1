"""The coefficients of erfc's single ratio for the near range, erfc_near_ratio.

Fits P(y) / Q(y), P of degree 7 and Q of degree 8 with P(0) = Q(0) = 1, to exp(y^2) * erfc(y)
over [0, 3.9] for the least largest relative error: a linearised least squares on Chebyshev
points, each step weighted by the previous Q, with Lawson's reweighting toward the minimax,
in 50-digit arithmetic. Needs mpmath (``pip install mpmath``); prints the largest relative
error and the coefficients from the constant term up, as the header has them in reverse.
"""

import sys

from mpmath import cos, erfc, exp, matrix, mp, mpf, pi, qr_solve

NUMERATOR_DEGREE, DENOMINATOR_DEGREE, UPPER = 7, 8, "3.9"
POINTS, STEPS, LAWSON_FROM = 300, 60, 5


def polynomial(coefficients, y):
    value = mpf(0)
    for c in reversed(coefficients):
        value = value * y + c
    return value


def fit():
    m, n = NUMERATOR_DEGREE, DENOMINATOR_DEGREE
    upper = mpf(UPPER)  # at the working precision, not at a double's
    ys = [upper / 2 * (1 - cos(pi * (i + mpf(0.5)) / POINTS)) for i in range(POINTS)]
    fs = [exp(y * y) * erfc(y) for y in ys]
    previous_q = [mpf(1)] * POINTS
    weights = [mpf(1)] * POINTS
    best = None
    for step in range(STEPS):
        # Unknowns p1..pm and q1..qn; rows scaled to relative error.
        a = matrix(POINTS, m + n)
        b = matrix(POINTS, 1)
        for i, (y, f) in enumerate(zip(ys, fs, strict=True)):
            scale = mp.sqrt(weights[i]) / (previous_q[i] * f)
            for j in range(m):
                a[i, j] = scale * y ** (j + 1)
            for j in range(n):
                a[i, m + j] = -scale * f * y ** (j + 1)
            b[i] = scale * (f - 1)
        x, _ = qr_solve(a, b)
        p = [mpf(1)] + [x[j] for j in range(m)]
        q = [mpf(1)] + [x[m + j] for j in range(n)]
        errors = [
            (polynomial(p, y) / polynomial(q, y) - f) / f for y, f in zip(ys, fs, strict=True)
        ]
        largest = max(abs(e) for e in errors)
        if best is None or largest < best[0]:
            best = (largest, p, q)
        previous_q = [polynomial(q, y) for y in ys]
        if step >= LAWSON_FROM:
            weights = [w * abs(e) for w, e in zip(weights, errors, strict=True)]
            total = sum(weights)
            weights = [w / total * POINTS for w in weights]
    return best


def main():
    mp.dps = 50
    largest, p, q = fit()
    print(f"largest relative error {mp.nstr(largest, 3)}", file=sys.stderr)
    print("P:", ", ".join(mp.nstr(c, 20) for c in p))
    print("Q:", ", ".join(mp.nstr(c, 20) for c in q))


if __name__ == "__main__":
    main()
