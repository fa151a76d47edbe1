"""Average marginal effects for the spector data, from Logit and Probit fits.

Fits GRADE on GPA, TUCE and PSI (with a constant) and prints velmora's table
for each model under both standard-error methods.

Run with:  python examples/ame_tables.py
"""

import statsmodels.api as sm

import velmora


def main():
    data = sm.datasets.spector.load_pandas()
    exog = sm.add_constant(data.exog[["GPA", "TUCE", "PSI"]])
    endog = data.endog

    for model_class in (sm.Logit, sm.Probit):
        results = model_class(endog, exog).fit(disp=0)
        for se_method in ("orvo", "sm"):
            print(f"== {model_class.__name__}, se_method={se_method!r} ==")
            print(velmora.mfx(results, se_method=se_method).to_string())
            print()


if __name__ == "__main__":
    main()
