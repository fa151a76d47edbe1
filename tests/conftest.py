"""Shared fixtures: fitted spector models and small hand-made results objects."""

import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

# Property runs are bounded: "ci" (the default) replays the same examples on
# every run, "explore" draws new ones and keeps failures in .hypothesis/.
settings.register_profile(
    "ci",
    max_examples=200,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "explore", max_examples=1000, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("VELMORA_HYPOTHESIS_PROFILE", "ci"))

COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi", "Significance"]

# A tiny design: an intercept, one continuous regressor and one 0/1 regressor.
SMALL_NAMES = ["const", "x", "d"]
SMALL_X = np.array(
    [
        [1.0, 0.5, 0.0],
        [1.0, -1.2, 1.0],
        [1.0, 2.0, 1.0],
        [1.0, 0.3, 0.0],
        [1.0, -0.7, 1.0],
        [1.0, 1.1, 0.0],
    ]
)
SMALL_BETA = np.array([-0.3, 0.8, 0.6])
SMALL_V = np.array(
    [
        [0.20, 0.01, -0.05],
        [0.01, 0.09, 0.02],
        [-0.05, 0.02, 0.30],
    ]
)


class FakeResults:
    """Stands in for a statsmodels results object: `model`, `params`, `cov_params()`."""

    def __init__(self, model, params, cov):
        self.model = model
        self.params = params
        self._cov = cov

    def cov_params(self):
        return self._cov


def fake_model(class_name, exog, exog_names):
    model = type(class_name, (), {})()
    model.exog = exog
    model.exog_names = exog_names
    return model


def _make_results(class_name="Logit", params=None, cov=None, exog=None, exog_names=SMALL_NAMES):
    return FakeResults(
        fake_model(class_name, SMALL_X.copy() if exog is None else exog, exog_names),
        SMALL_BETA.copy() if params is None else params,
        SMALL_V.copy() if cov is None else cov,
    )


@pytest.fixture
def make_results():
    """Factory for a fake results object; every part can be replaced by keyword."""
    return _make_results


@pytest.fixture(scope="session")
def spector_design():
    sm = pytest.importorskip("statsmodels.api")
    data = sm.datasets.spector.load_pandas()
    return data.endog, sm.add_constant(data.exog)


@pytest.fixture(scope="session")
def spector_logit(spector_design):
    import statsmodels.api as sm

    return sm.Logit(*spector_design).fit(disp=0)


@pytest.fixture(scope="session")
def spector_probit(spector_design):
    import statsmodels.api as sm

    return sm.Probit(*spector_design).fit(disp=0)


@pytest.fixture
def run_python():
    """Runs a script in a fresh interpreter and returns the finished process."""

    def run(code):
        return subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, timeout=120
        )

    return run
