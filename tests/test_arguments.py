"""The module object, the mfx function object and how a call binds its arguments."""

import importlib.metadata
import inspect
import json

import numpy as np
import pandas as pd
import pytest
from conftest import COLUMNS

import velmora

DOC_LINES = [
    "mfx(model, chunk_size=..., se_method=...)",
    "--",
    "",
    "Computes the average marginal effects (AMEs) for Logit/Probit models.",
    "",
    "This function mimics the style of the original Probit code, but with a twist:  ",
    "you can choose between two methods for calculating the standard errors (SEs):",
    "",
    '- "orvo": Uses the original gradient (Jacobian) calculation based on per-observation effects.',
    '- "sm": Uses a statsmodels-style gradient for continuous variables.',
    "",
    "The function accepts a model (Logit or Probit), an optional chunk size"
    " (to process data in parts),",
    'and an optional `se_method` string which defaults to "orvo".',
]


class Tripwire:
    """Records every attribute read, so a test can tell whether the model was examined."""

    def __init__(self):
        object.__setattr__(self, "reads", [])

    def __getattribute__(self, name):
        if name != "reads":
            object.__getattribute__(self, "reads").append(name)
        return object.__getattribute__(self, name)


class StrSubclass(str):
    pass


def test_module_attributes():
    assert velmora.__all__ == ["mfx"]
    assert velmora.__doc__ == ""
    assert velmora.__version__ == importlib.metadata.version("velmora")
    assert velmora.mfx.__name__ == "mfx"
    assert velmora.mfx.__module__ == "velmora"
    assert velmora.mfx.__self__ is velmora
    assert not hasattr(velmora, "PanicException")


def test_docstring_and_signature():
    stored = "\n".join(DOC_LINES)
    assert len(stored) == 598
    assert velmora.mfx.__text_signature__ == "(model, chunk_size=..., se_method=...)"
    assert velmora.mfx.__doc__ == "\n".join(DOC_LINES[3:])
    params = inspect.signature(velmora.mfx).parameters
    assert list(params) == ["model", "chunk_size", "se_method"]
    assert {p.kind for p in params.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert params["model"].default is inspect.Parameter.empty


def test_default_call_forms_agree(spector_logit):
    res = spector_logit
    expected = velmora.mfx(res)
    assert list(expected.columns) == COLUMNS
    assert list(expected.index) == ["GPA", "TUCE", "PSI"]
    for frame in (
        velmora.mfx(res, None),
        velmora.mfx(res, None, None),
        velmora.mfx(model=res),
        velmora.mfx(se_method=None, chunk_size=None, model=res),
        velmora.mfx(res, se_method="orvo"),
        velmora.mfx(res, 2**64 - 1),
    ):
        pd.testing.assert_frame_equal(frame, expected)


def test_positional_and_keyword_forms_agree(spector_logit):
    res = spector_logit
    expected = velmora.mfx(res, 5, "sm")
    pd.testing.assert_frame_equal(velmora.mfx(res, se_method="sm", chunk_size=5), expected)
    pd.testing.assert_frame_equal(velmora.mfx(res, 5, se_method="sm"), expected)
    pd.testing.assert_frame_equal(velmora.mfx(res, 5, StrSubclass("sm")), expected)
    # The method text reaches the engine: for Logit the two methods give the same
    # effects but different standard errors of the continuous regressors.
    orvo = velmora.mfx(res, 5)
    np.testing.assert_allclose(orvo["dy/dx"], expected["dy/dx"], rtol=1e-12)
    assert orvo.loc["GPA", "Std. Err"] != expected.loc["GPA", "Std. Err"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "chunk_size",
    [True, np.int64(7), Index(3), 31, 32, 10**6],
    ids=["true-is-one", "numpy-int", "dunder-index", "n-1", "n", "beyond-n"],
)
def test_accepted_chunk_sizes(spector_probit, chunk_size):
    # Chunking changes only the rounding of the totals.
    pd.testing.assert_frame_equal(
        velmora.mfx(spector_probit, chunk_size), velmora.mfx(spector_probit), rtol=1e-10
    )


MISSING = "mfx() missing 1 required positional argument: 'model'"


def too_many(count):
    return f"mfx() takes from 1 to 3 positional arguments but {count} were given"


def twice(name):
    return f"mfx() got multiple values for argument '{name}'"


def unknown(name):
    return f"mfx() got an unexpected keyword argument '{name}'"


BINDING_ERRORS = {
    "no-arguments": ((), {}, MISSING),
    "keyword-without-model": ((), {"chunk_size": 10}, MISSING),
    "four-positional": (("m", 10, "sm", 1), {}, too_many(4)),
    "count-before-keywords": (("m",) * 5, {"bogus": 1}, too_many(5)),
    "model-twice": (("m",), {"model": "m"}, twice("model")),
    "chunk-size-twice": (("m", 10), {"chunk_size": 5}, twice("chunk_size")),
    "se-method-twice": (("m", 1, "sm"), {"se_method": "sm"}, twice("se_method")),
    "unknown-keyword": (("m",), {"chunk": 5}, unknown("chunk")),
    "case-sensitive": (("m",), {"Chunk_size": 5}, unknown("Chunk_size")),
    "non-ascii": (("m",), {"se_m\u00e9thod": 5}, unknown("se_m\u00e9thod")),
    "unknown-before-missing": ((), {"bogus": 1}, unknown("bogus")),
    "in-keyword-order-1": (("m",), {"chunk": 1, "model": "m"}, unknown("chunk")),
    "in-keyword-order-2": (("m",), {"model": "m", "chunk": 1}, twice("model")),
    "before-conversion": (("m", "bad"), {"se_method": 1, "x": 1}, unknown("x")),
}


@pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS.values(), ids=BINDING_ERRORS)
def test_binding_errors(args, kwargs, message):
    # Strings stand in for the model: binding fails before anything is read.
    with pytest.raises(TypeError) as excinfo:
        velmora.mfx(*args, **kwargs)
    assert type(excinfo.value) is TypeError
    assert str(excinfo.value) == message


class IndexRaising:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class TypeErrorSubclass(TypeError):
    pass


AT_LEAST_ONE = "chunk_size must be at least 1"
NOT_INDEX = "'%s' object cannot be interpreted as an integer"
CHUNK_SIZE_ERRORS = {
    "float": (2.5, TypeError, f"argument 'chunk_size': {NOT_INDEX % 'float'}"),
    "str": ("10", TypeError, f"argument 'chunk_size': {NOT_INDEX % 'str'}"),
    "index-raises": (IndexRaising(TypeError("boom")), TypeError, "argument 'chunk_size': boom"),
    "subclass-unchanged": (IndexRaising(TypeErrorSubclass("sub")), TypeErrorSubclass, "sub"),
    "value-error-unchanged": (IndexRaising(ValueError("value")), ValueError, "value"),
    "negative": (-1, OverflowError, None),
    "two-to-the-64": (2**64, OverflowError, None),
    "negative-index": (Index(-5), OverflowError, None),
    "zero": (0, ValueError, AT_LEAST_ONE),
    "false": (False, ValueError, AT_LEAST_ONE),
    "numpy-zero": (np.uint64(0), ValueError, AT_LEAST_ONE),
}


@pytest.mark.parametrize(
    "chunk_size, exc_type, message", CHUNK_SIZE_ERRORS.values(), ids=CHUNK_SIZE_ERRORS
)
def test_chunk_size_errors(chunk_size, exc_type, message):
    # Every chunk_size error comes before se_method is converted and the model is read.
    model = Tripwire()
    with pytest.raises(BaseException) as excinfo:
        velmora.mfx(model, chunk_size, se_method=1)
    assert type(excinfo.value) is exc_type
    if message is not None:
        assert str(excinfo.value) == message
    else:
        assert not str(excinfo.value).startswith("argument")
    assert model.reads == []


def test_chunk_size_prefix_keeps_cause():
    original = TypeError("no index here")
    original.__cause__ = KeyError("root")
    with pytest.raises(TypeError) as excinfo:
        velmora.mfx(None, IndexRaising(original))
    assert str(excinfo.value) == "argument 'chunk_size': no index here"
    assert excinfo.value is not original
    assert excinfo.value.__cause__ is original.__cause__


NOT_STRING = "'%s' object cannot be converted to 'PyString'"


def bad_method(value):
    return (value, ValueError, f"se_method must be 'orvo' or 'sm', got '{value}'")


SE_METHOD_ERRORS = {
    "int": (1, TypeError, f"argument 'se_method': {NOT_STRING % 'int'}"),
    "bytes": (b"sm", TypeError, f"argument 'se_method': {NOT_STRING % 'bytes'}"),
    "lone-surrogate": ("\ud800", UnicodeEncodeError, None),
    "upper-case": bad_method("SM"),
    "capitalised": bad_method("Orvo"),
    "empty": bad_method(""),
    "leading-blank": bad_method(" sm"),
    "prefix": bad_method("orv"),
    "longer": bad_method("orvos"),
    "embedded-nul": bad_method("sm\x00"),
    "non-ascii": bad_method("s\u00e9"),
}


@pytest.mark.parametrize(
    "se_method, exc_type, message", SE_METHOD_ERRORS.values(), ids=SE_METHOD_ERRORS
)
def test_se_method_errors(se_method, exc_type, message):
    model = Tripwire()
    with pytest.raises(exc_type) as excinfo:
        velmora.mfx(model, 3, se_method)
    assert type(excinfo.value) is exc_type
    if message is not None:
        assert str(excinfo.value) == message
    assert model.reads == []


def test_module_initialises_once(run_python):
    script = """
import json, sys
import velmora as first
outcomes = []
for _ in range(2):
    sys.modules.pop("velmora", None)
    try:
        import velmora
        outcomes.append("imported")
    except ImportError as exc:
        outcomes.append(str(exc))
try:
    first.mfx(None)
except ValueError as exc:
    outcomes.append(str(exc))
print(json.dumps(outcomes))
"""
    proc = run_python(script)
    assert proc.returncode == 0, proc.stderr
    *reimports, still_working = json.loads(proc.stdout)
    assert len(reimports) == 2
    assert all("once" in message for message in reimports), reimports
    assert still_working == "ame: only Logit or Probit supported, got NoneType"
