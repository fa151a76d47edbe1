"""Every call mfx makes into the results object (and into pandas) raising in turn.

Where the reader's rules say an exception is discarded (the reads of `model`,
of each `values`, the names' length hint) the call falls back and returns the
table of the fallback, as long as the exception is an Exception; everywhere
else, and for an interrupt or exit request anywhere, the very exception object
reaches the caller. Either way the reference counts of everything passed in
stay flat.
"""

import sys

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

import velmora

# The argument's own design differs from its model's, and the columns of the
# model's exog from its exog_names, so each fallback shows in the table.
OWN_X = SMALL_X[[5, 3, 1, 0]]
COLUMN_NAMES = ["const", "x_col", "d_col"]


class Interrupt(BaseException):
    """Not an Exception, nor one the interpreter knows: no fallback may swallow it."""


class Plan:
    """Logs every point reached and raises the exception planned for it."""

    def __init__(self, failures):
        self.failures = failures  # point -> exception, or (occurrence, exception)
        self.log = []

    def reset(self):
        """A fresh log, and no references held by the exceptions raised so far."""
        self.log = []
        for planned in self.failures.values():
            exc = planned[1] if isinstance(planned, tuple) else planned
            exc.__traceback__ = None  # its frames refer back to the plan's objects
            if isinstance(exc, AttributeError):
                exc.obj = None  # the interpreter notes the object whose read failed

    def visit(self, point):
        self.log.append(point)
        planned = self.failures.get(point)
        if isinstance(planned, tuple):
            occurrence, planned = planned
            if self.log.count(point) != occurrence:
                return
        if planned is not None:
            raise planned


class PlannedArray(np.ndarray):
    """An ndarray whose `values` (and `columns`) are planned points."""

    def planned(self, plan, point, columns=None):
        self.plan, self.point, self.column_names = plan, point, columns
        return self

    @property
    def values(self):
        self.plan.visit(self.point + ".values")
        return np.asarray(self)

    @property
    def columns(self):
        self.plan.visit(self.point + ".columns")
        return self.column_names


class PlannedNames(list):
    def planned(self, plan):
        self.plan = plan
        return self

    def __len__(self):
        self.plan.visit("names.__len__")
        return super().__len__()

    def __iter__(self):
        self.plan.visit("names.__iter__")
        return super().__iter__()


class ClassInfo:
    def __init__(self, plan):
        self.plan = plan

    @property
    def __name__(self):
        self.plan.visit("__name__")
        return "Probit"


class PlannedModel:
    def __init__(self, plan):
        self.plan = plan
        self.class_info = ClassInfo(plan)
        self.planned_exog = SMALL_X.copy().view(PlannedArray).planned(plan, "exog", COLUMN_NAMES)
        self.planned_names = PlannedNames(SMALL_NAMES).planned(plan)

    @property
    def __class__(self):
        self.plan.visit("__class__")
        return self.class_info

    @property
    def exog(self):
        self.plan.visit("exog")
        return self.planned_exog

    @property
    def exog_names(self):
        self.plan.visit("exog_names")
        return self.planned_names


class Logit:
    """The argument: a Logit by its own class name, examined itself when `model` fails."""

    def __init__(self, plan):
        self.plan = plan
        self.planned_model = PlannedModel(plan)
        self.planned_params = SMALL_BETA.copy().view(PlannedArray).planned(plan, "params")
        self.planned_cov = SMALL_V.copy().view(PlannedArray).planned(plan, "cov")
        self.exog = OWN_X.copy()
        self.exog_names = list(SMALL_NAMES)

    @property
    def model(self):
        self.plan.visit("model")
        return self.planned_model

    @property
    def params(self):
        self.plan.visit("params")
        return self.planned_params

    def cov_params(self):
        self.plan.visit("cov_params()")
        return self.planned_cov


def table_of(kind, exog, names):
    return velmora.mfx(FakeResults(fake_model(kind, exog, names), SMALL_BETA, SMALL_V))


# point planned to fail -> how the call ends: "raises", or the table it gives.
DISCARD_VALUES = {"exog.values": RuntimeError("discarded")}
FAULTS = {
    "model-every-read": ({"model": None}, ("Logit", OWN_X, SMALL_NAMES)),
    "model-first-read": ({"model": 1}, ("Logit", SMALL_X, COLUMN_NAMES)),
    "model-second-read": ({"model": 2}, ("Probit", OWN_X, SMALL_NAMES)),
    "class": ({"__class__": None}, "raises"),
    "class-name": ({"__name__": None}, "raises"),
    "params": ({"params": None}, "raises"),
    "params-values": ({"params.values": None}, ("Probit", SMALL_X, COLUMN_NAMES)),
    "cov-params": ({"cov_params()": None}, "raises"),
    "cov-values": ({"cov.values": None}, ("Probit", SMALL_X, COLUMN_NAMES)),
    "exog": ({"exog": None}, "raises"),
    "exog-values": ({"exog.values": None}, ("Probit", SMALL_X, SMALL_NAMES)),
    "exog-columns": ({"exog.columns": None}, "raises"),
    "exog-names": ({**DISCARD_VALUES, "exog_names": None}, "raises"),
    "names-length": ({**DISCARD_VALUES, "names.__len__": None}, ("Probit", SMALL_X, SMALL_NAMES)),
    "names-iteration": ({**DISCARD_VALUES, "names.__iter__": None}, "raises"),
}


def planned_failures(planned_points, exc):
    """The FAULTS entry with `exc` put where it says None."""
    failures = {}
    for point, planned in planned_points.items():
        if planned is None:
            failures[point] = exc
        elif isinstance(planned, int):
            failures[point] = (planned, exc)
        else:
            failures[point] = planned
    return failures


def test_every_planned_point_is_reached():
    # The names list is read only on the exog_names branch, when exog.values fails.
    reached = set()
    for failures in ({}, dict(DISCARD_VALUES)):
        plan = Plan(failures)
        velmora.mfx(Logit(plan))
        reached.update(plan.log)
        plan.reset()
    assert reached == {point for points, _ in FAULTS.values() for point in points}


@pytest.mark.parametrize(
    "make_exc",
    [
        lambda: RuntimeError("boom"),
        lambda: AttributeError("boom"),
        lambda: Interrupt("boom"),
        lambda: KeyboardInterrupt("boom"),
        lambda: SystemExit("boom"),
        lambda: GeneratorExit("boom"),
    ],
    ids=[
        "RuntimeError",
        "AttributeError",
        "BaseException",
        "KeyboardInterrupt",
        "SystemExit",
        "GeneratorExit",
    ],
)
@pytest.mark.parametrize("points, outcome", FAULTS.values(), ids=FAULTS)
def test_fault_at_each_point(points, outcome, make_exc):
    exc = make_exc()
    if not isinstance(exc, Exception):
        outcome = "raises"  # only an Exception is discarded for a fallback
    results = Logit(Plan(planned_failures(points, exc)))
    watched = [
        results,
        results.planned_model,
        results.planned_params,
        results.planned_cov,
        results.planned_model.planned_exog,
        results.planned_model.planned_names,
        results.exog,
        exc,
    ]
    before = [sys.getrefcount(obj) for obj in watched]
    failing_point = next(p for p, e in points.items() if e is None or isinstance(e, int))
    for _ in range(3):
        if outcome == "raises":
            with pytest.raises(BaseException) as excinfo:
                velmora.mfx(results)
            assert excinfo.value is exc  # the same object, not a copy or a wrapper
            assert results.plan.log[-1] == failing_point  # nothing is read after it
            del excinfo
        else:
            pd.testing.assert_frame_equal(velmora.mfx(results), table_of(*outcome))
            assert failing_point in results.plan.log
        results.plan.reset()
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_fallback_discards_exception_it_caught():
    # A discarded exception leaves no trace: none pending, none chained later.
    results = Logit(Plan({"model": RuntimeError("gone")}))
    table = velmora.mfx(results)
    assert sys.exc_info() == (None, None, None)
    results.plan.reset()
    results.plan.failures["params"] = KeyError("params")
    with pytest.raises(KeyError) as excinfo:
        velmora.mfx(results)
    assert excinfo.value.__context__ is None and excinfo.value.__cause__ is None
    assert len(table) == 2


class FrameFault:
    def __init__(self, exc):
        self.exc = exc
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, sorted(kwargs)))
        raise self.exc


def test_pandas_constructor_error_propagates(monkeypatch, make_results):
    fault = FrameFault(LookupError("no frame today"))
    monkeypatch.setattr(pd, "DataFrame", fault)
    results = make_results()
    before = sys.getrefcount(results)
    with pytest.raises(LookupError) as excinfo:
        velmora.mfx(results)
    assert excinfo.value is fault.exc
    assert fault.calls == [((), ["data", "index"])]
    assert sys.getrefcount(results) == before


def test_pandas_missing_raises_import_error(monkeypatch, make_results):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError):
        velmora.mfx(make_results())


class FrameRecorder:
    """Stands in for pandas.DataFrame and keeps what it was called with."""

    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return "the constructor's result"


RECORDED_MODELS = {
    "ordinary": {},
    "repeated-names": {"exog_names": ["const", "x", "x"]},
    "unicode-names": {"exog_names": ["const", "\U0001f600\u00e9", "x\x00\u05d0"]},
    "only-intercepts": {"exog_names": ["const", "Intercept", "CONST"]},
}


@pytest.mark.parametrize("parts", RECORDED_MODELS.values(), ids=RECORDED_MODELS)
def test_frame_constructor_receives_lists(monkeypatch, make_results, parts):
    recorder = FrameRecorder()
    monkeypatch.setattr(pd, "DataFrame", recorder)
    assert velmora.mfx(make_results(**parts)) == "the constructor's result"
    ((args, kwargs),) = recorder.calls
    assert args == () and list(kwargs) == ["data", "index"]
    names = parts.get("exog_names", SMALL_NAMES)
    kept = [name for name in names if name.lower() not in ("const", "intercept")]
    assert type(kwargs["index"]) is list and kwargs["index"] == kept
    assert all(type(name) is str for name in kwargs["index"])
    data = kwargs["data"]
    assert type(data) is dict and list(data) == COLUMNS
    for column, values in data.items():
        assert type(values) is list and len(values) == len(kept), column
        kind = str if column == "Significance" else float
        assert all(type(value) is kind for value in values), column
