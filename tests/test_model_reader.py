"""How mfx reads a results object: family, arrays, names, their errors and internal failures."""

import json
import shutil
import subprocess
import sys
import types

import numpy as np
import pandas as pd
import pytest
from conftest import SMALL_BETA, SMALL_NAMES, SMALL_V, SMALL_X, FakeResults

import velmora

NOT_STRING = "'%s' object cannot be converted to 'PyString'"


def array_message(type_name):
    return f"'{type_name}' object cannot be converted to 'PyArray<T, D>'"


def panic_of(call):
    try:
        call()
    except Exception as exc:
        pytest.fail(f"expected an internal failure, got {exc!r}")
    except BaseException as exc:
        assert type(exc).__name__ == "PanicException"
        assert type(exc).__module__ == "velmora_runtime"
        return exc
    pytest.fail("expected an internal failure, the call succeeded")


class Sub(np.ndarray):
    pass


class Wrapped:
    """A value offering `values` (and optionally `columns`), like a pandas object."""

    def __init__(self, values, columns=None):
        self.values = values
        if columns is not None:
            self.columns = columns


class ValuesRaises(Sub):
    @property
    def values(self):
        raise RuntimeError("values is broken")


class ValuesIsList(Sub):
    @property
    def values(self):
        return [0.1, 0.2, 0.3]


class ReportedClass:
    """A model object whose `__class__` attribute reports something other than its type."""

    def __init__(self, reported):
        self._reported = reported
        self.exog = SMALL_X
        self.exog_names = SMALL_NAMES

    @property
    def __class__(self):
        return self._reported


@pytest.fixture
def baseline(make_results):
    return velmora.mfx(make_results())


@pytest.mark.parametrize(
    "class_name, family",
    [
        ("Logit", "Logit"),
        ("logit", "Logit"),
        ("LOGIT", "Logit"),
        ("Probit", "Probit"),
        ("pROBIT", "Probit"),
    ],
)
def test_supported_class_names(make_results, class_name, family):
    frame = velmora.mfx(make_results(class_name=class_name))
    pd.testing.assert_frame_equal(frame, velmora.mfx(make_results(class_name=family)))
    other = "Probit" if family == "Logit" else "Logit"
    assert not frame.equals(velmora.mfx(make_results(class_name=other)))


@pytest.mark.parametrize(
    "class_name", ["OLS", "Poisson", "LogitModel", "Logistic", " Logit", "Logit\x00", "LOG\u0130T"]
)
def test_unsupported_class_names(class_name):
    # Coefficients are never read for an unsupported family.
    model = ReportedClass(types.SimpleNamespace(__name__=class_name))
    results = FakeResults(model, params="bad", cov="bad")
    with pytest.raises(ValueError) as excinfo:
        velmora.mfx(results)
    assert str(excinfo.value) == f"ame: only Logit or Probit supported, got {class_name}"


def test_none_is_its_own_model():
    with pytest.raises(ValueError) as excinfo:
        velmora.mfx(None)
    assert str(excinfo.value) == "ame: only Logit or Probit supported, got NoneType"


@pytest.mark.parametrize(
    "reported, outcome",
    [
        (type("Logit", (), {}), None),
        (types.SimpleNamespace(__name__=type("S", (str,), {})("Probit")), None),
        (types.SimpleNamespace(__name__=5), (TypeError, NOT_STRING % "int")),
        (types.SimpleNamespace(), (AttributeError, None)),
    ],
    ids=["reports-logit", "str-subclass-name", "name-not-str", "no-name"],
)
def test_class_name_is_read_by_attribute(reported, outcome):
    results = FakeResults(ReportedClass(reported), SMALL_BETA, SMALL_V)
    if outcome is None:
        assert list(velmora.mfx(results).index) == ["x", "d"]
        return
    with pytest.raises(outcome[0]) as excinfo:
        velmora.mfx(results)
    if outcome[1] is not None:
        assert str(excinfo.value) == outcome[1]


def broken_property(self):
    raise KeyError("model")


# Without a readable `model` (missing, or any exception on reading it) the argument
# itself is the model object.
@pytest.mark.parametrize(
    "extra", [{}, {"model": property(broken_property)}], ids=["no-model", "model-raises"]
)
def test_argument_without_model_is_the_model(baseline, extra):
    own = type("Logit", (), {"cov_params": lambda self: SMALL_V, **extra})()
    own.params, own.exog, own.exog_names = SMALL_BETA, SMALL_X, SMALL_NAMES
    pd.testing.assert_frame_equal(velmora.mfx(own), baseline)


@pytest.mark.parametrize("exog_has_values", [True, False], ids=["exog-frame", "exog-array"])
def test_reads_in_fixed_order(exog_has_values):
    log = []

    def logged(name, value):
        def get(self):
            log.append(name)
            return value

        return property(get)

    cls = type("ClassInfo", (), {"__name__": logged("__name__", "Logit")})()
    exog = SMALL_X
    if exog_has_values:
        exog = type(
            "Exog",
            (),
            {
                "values": logged("exog.values", SMALL_X),
                "columns": logged("exog.columns", SMALL_NAMES),
            },
        )()
    model = type(
        "M",
        (),
        {
            "__class__": logged("__class__", cls),
            "exog": logged("exog", exog),
            "exog_names": logged("exog_names", SMALL_NAMES),
        },
    )()
    params = type("P", (), {"values": logged("params.values", SMALL_BETA)})()
    cov = type("C", (), {"values": logged("cov.values", SMALL_V)})()

    def cov_params(self):
        log.append("cov_params()")
        return cov

    results = type(
        "R",
        (),
        {
            "model": logged("model", model),
            "params": logged("params", params),
            "cov_params": cov_params,
        },
    )()
    velmora.mfx(results)
    names = ["exog.values", "exog.columns"] if exog_has_values else ["exog_names"]
    assert log == [
        "model",
        "__class__",
        "__name__",
        "params",
        "params.values",
        "cov_params()",
        "cov.values",
        "model",
        "exog",
        *names,
    ]


def layout_cases():
    big = np.zeros((2 * SMALL_X.shape[0], 3 * SMALL_X.shape[1]))
    big[::2, 1::3] = SMALL_X
    frozen = [a.copy() for a in (SMALL_BETA, SMALL_V, SMALL_X)]
    for a in frozen:
        a.setflags(write=False)
    return {
        "fortran-exog": dict(exog=np.asfortranarray(SMALL_X)),
        "strided-exog": dict(exog=big[::2, 1::3]),
        "negative-strides-exog": dict(exog=SMALL_X[::-1, ::-1].copy()[::-1, ::-1]),
        "negative-stride-params": dict(params=SMALL_BETA[::-1].copy()[::-1]),
        "strided-params": dict(params=np.repeat(SMALL_BETA, 2)[::2]),
        "negative-strides-cov": dict(cov=SMALL_V[::-1, ::-1].copy()[::-1, ::-1]),
        "read-only": dict(params=frozen[0], cov=frozen[1], exog=frozen[2]),
        "subclasses": dict(
            params=SMALL_BETA.view(Sub), cov=SMALL_V.view(Sub), exog=SMALL_X.view(Sub)
        ),
        "pandas-objects": dict(
            params=pd.Series(SMALL_BETA, index=SMALL_NAMES),
            cov=pd.DataFrame(SMALL_V),
            exog_names=None,
            exog=pd.DataFrame(SMALL_X, columns=SMALL_NAMES),
        ),
        "values-raises": dict(
            params=SMALL_BETA.view(ValuesRaises), exog=SMALL_X.view(ValuesRaises)
        ),
        "tuple-names": dict(exog_names=tuple(SMALL_NAMES)),
        "numpy-names": dict(exog_names=np.array(SMALL_NAMES)),
        "index-names": dict(exog_names=pd.Index(SMALL_NAMES)),
        "wrapped-exog-columns-win": dict(exog=Wrapped(SMALL_X, SMALL_NAMES), exog_names="unused"),
    }


@pytest.mark.parametrize("parts", layout_cases().values(), ids=layout_cases().keys())
def test_accepted_inputs_match_baseline(make_results, baseline, parts):
    pd.testing.assert_frame_equal(velmora.mfx(make_results(**parts)), baseline, rtol=1e-12)


def odd_float64_arrays():
    packed = np.zeros(SMALL_X.shape, dtype=np.dtype([("a", "u1"), ("b", "f8")], align=False))
    packed["b"] = SMALL_X
    raw = np.zeros(SMALL_X.size * 8 + 1, dtype=np.uint8)
    misaligned = raw[1:].view(np.float64).reshape(SMALL_X.shape)
    misaligned[...] = SMALL_X
    return {
        "packed-field": packed["b"],
        "misaligned": misaligned,
        "big-endian": SMALL_X.astype(">f8"),
    }


REFUSED_ARRAYS = {
    "params-list": ("params", [-0.3, 0.8, 0.6], "list"),
    "params-int": ("params", SMALL_BETA.astype(np.int64), "ndarray"),
    "params-float32": ("params", SMALL_BETA.astype(np.float32), "ndarray"),
    "params-object": ("params", SMALL_BETA.astype(object), "ndarray"),
    "params-2d": ("params", SMALL_BETA.reshape(-1, 1), "ndarray"),
    "params-0d": ("params", np.array(1.0), "ndarray"),
    "params-scalar": ("params", np.float64(1.0), "float64"),
    "params-int-series": ("params", pd.Series([1, 0, 1]), "ndarray"),
    "no-second-chance": ("params", SMALL_BETA.view(ValuesIsList), "list"),
    "cov-1d": ("cov", SMALL_V[0], "ndarray"),
    "cov-3d": ("cov", SMALL_V[None], "ndarray"),
    "cov-bool": ("cov", SMALL_V.astype(bool), "ndarray"),
    "cov-int-frame": ("cov", pd.DataFrame(SMALL_V.astype(np.int32)), "ndarray"),
    "exog-list": ("exog", SMALL_X.tolist(), "list"),
    "exog-1d": ("exog", SMALL_X[:, 0], "ndarray"),
    "exog-complex": ("exog", SMALL_X.astype(np.complex128), "ndarray"),
    "exog-int-frame": ("exog", pd.DataFrame(SMALL_X.astype(int), columns=SMALL_NAMES), "ndarray"),
    **{name: ("exog", array, "ndarray") for name, array in odd_float64_arrays().items()},
}


@pytest.mark.parametrize("slot, value, type_name", REFUSED_ARRAYS.values(), ids=REFUSED_ARRAYS)
def test_refused_arrays(make_results, slot, value, type_name):
    with pytest.raises(TypeError) as excinfo:
        velmora.mfx(make_results(**{slot: value}))
    assert str(excinfo.value) == array_message(type_name)


FIRST_FAILURES = {
    "params-first": (dict(params=(1.0,), cov="cov", exog=set()), array_message("tuple")),
    "cov-before-exog": (dict(cov="cov", exog=set(), exog_names=None), array_message("str")),
    "exog-before-names": (dict(exog=set(), exog_names=None), array_message("set")),
    "values-before-columns": (dict(exog=Wrapped(SMALL_X.astype(int))), array_message("ndarray")),
    "first-bad-name": (dict(exog_names=["const", 1, None]), NOT_STRING % "int"),
    "int-column-labels": (dict(exog=pd.DataFrame(SMALL_X)), NOT_STRING % "int"),
}


@pytest.mark.parametrize("parts, message", FIRST_FAILURES.values(), ids=FIRST_FAILURES)
def test_first_failure_wins(make_results, parts, message):
    with pytest.raises(TypeError) as excinfo:
        velmora.mfx(make_results(**parts))
    assert str(excinfo.value) == message


class LenRaises:
    def __init__(self, items, fail_at=None, length_error=None):
        self.items, self.fail_at = items, fail_at
        self.length_error = length_error or RuntimeError("no length")

    def __len__(self):
        raise self.length_error

    def __getitem__(self, i):
        if i == self.fail_at:
            raise LookupError("iteration broke")
        return self.items[i]


NOT_A_LIST = "Can't extract `str` to `Vec`"
NOT_SEQUENCE = "'%s' object cannot be converted to 'Sequence'"
REFUSED_NAMES = {
    "str": ("const", TypeError, NOT_A_LIST),
    "str-subclass": (type("S", (str,), {})("cxd"), TypeError, NOT_A_LIST),
    "none": (None, TypeError, NOT_SEQUENCE % "NoneType"),
    "dict": (dict.fromkeys(SMALL_NAMES), TypeError, NOT_SEQUENCE % "dict"),
    "set": (set(SMALL_NAMES), TypeError, NOT_SEQUENCE % "set"),
    "generator": ((n for n in SMALL_NAMES), TypeError, NOT_SEQUENCE % "generator"),
    "bytes-item": (["const", b"x", "d"], TypeError, NOT_STRING % "bytes"),
    "surrogate-item": (["const", "\ud800", "d"], UnicodeEncodeError, None),
    "iteration-fails": (LenRaises(SMALL_NAMES, fail_at=1), LookupError, "iteration broke"),
    # The length is only a hint, but an interrupt while asking for it is not discarded.
    "length-interrupted": (
        LenRaises(SMALL_NAMES, length_error=KeyboardInterrupt("stop")),
        KeyboardInterrupt,
        "stop",
    ),
}


@pytest.mark.parametrize("names, exc_type, message", REFUSED_NAMES.values(), ids=REFUSED_NAMES)
def test_refused_names(make_results, names, exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        velmora.mfx(make_results(exog_names=names))
    assert type(excinfo.value) is exc_type
    if message is not None:
        assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "names, index",
    [
        (LenRaises(SMALL_NAMES), ["x", "d"]),
        (["Const", "\u00c4ge", "\u5e74\u9f62"], ["\u00c4ge", "\u5e74\u9f62"]),
        # Classification never reads a column for an intercept name beyond the last column.
        (SMALL_NAMES + ["Intercept"], ["x", "d"]),
    ],
    ids=["length-fails", "non-ascii", "extra-intercept-name"],
)
def test_names_are_copied(make_results, names, index):
    assert list(velmora.mfx(make_results(exog_names=names)).index) == index


def test_errors_from_the_object_propagate_unchanged(make_results):
    boom = LookupError("from cov_params")

    def fail(self):
        raise boom

    results = make_results()
    results.cov_params = types.MethodType(fail, results)
    with pytest.raises(LookupError) as excinfo:
        velmora.mfx(results)
    assert excinfo.value is boom

    exog = type("Exog", (), {"values": SMALL_X, "columns": property(fail)})()
    with pytest.raises(LookupError) as excinfo:
        velmora.mfx(make_results(exog=exog))
    assert excinfo.value is boom

    no_names = make_results()
    del no_names.model.exog_names
    with pytest.raises(AttributeError, match="exog_names"):
        velmora.mfx(no_names)

    with pytest.raises(AttributeError, match="params"):
        velmora.mfx(type("Logit", (), {})())


def test_nested_call_from_cov_params(make_results, baseline):
    inner = []
    outer = make_results()
    outer.cov_params = lambda: inner.append(velmora.mfx(make_results())) or SMALL_V
    pd.testing.assert_frame_equal(velmora.mfx(outer), baseline)
    pd.testing.assert_frame_equal(inner[0], baseline)


def test_empty_dimensions(make_results):
    no_rows = velmora.mfx(make_results(exog=SMALL_X[:0]))
    assert list(no_rows.index) == ["x", "d"]
    assert no_rows["dy/dx"].isna().all()
    # With no rows no chunk runs, so coefficients of the wrong length go unnoticed.
    velmora.mfx(make_results(exog=SMALL_X[:0], params=SMALL_BETA[:2]))
    empty = dict(exog=np.empty((6, 0)), params=np.empty(0), cov=np.empty((0, 0)), exog_names=[])
    no_columns = velmora.mfx(make_results(**empty))
    assert no_columns.shape == (0, 7)
    with_nan = SMALL_X.copy()
    with_nan[2, 1] = np.nan
    assert velmora.mfx(make_results(exog=with_nan))["dy/dx"].isna().any()


SHAPES = "incompatible shapes"
INTERNAL_FAILURES = {
    "names-short": (
        dict(exog_names=["const", "x"]),
        "index out of bounds: the len is 2 but the index is 2",
    ),
    "names-empty": (
        dict(exog=SMALL_X[:, 1:], params=SMALL_BETA[1:], cov=SMALL_V[1:, 1:], exog_names=[]),
        "index out of bounds: the len is 0 but the index is 0",
    ),
    "name-beyond-columns": (dict(exog_names=SMALL_NAMES + ["extra"]), ""),
    "params-long": (dict(params=np.append(SMALL_BETA, 1.0)), SHAPES),
    "params-short": (dict(params=SMALL_BETA[:2]), SHAPES),
    "cov-too-big": (dict(cov=np.eye(4)), SHAPES),
    "cov-too-wide": (dict(cov=np.eye(3, 4)), SHAPES),
    "cov-too-short": (dict(cov=np.eye(2, 3)), SHAPES),
}


@pytest.mark.parametrize("parts, message", INTERNAL_FAILURES.values(), ids=INTERNAL_FAILURES)
def test_internal_failures(make_results, capfd, baseline, parts, message):
    exc = panic_of(lambda: velmora.mfx(make_results(**parts)))
    assert len(exc.args) == 1 and isinstance(exc.args[0], str)
    if message.startswith("index"):
        assert exc.args == (message,)
    assert message in exc.args[0]
    assert exc.args[0] in capfd.readouterr().err
    # The interpreter carries on, and later failures reuse the same class.
    pd.testing.assert_frame_equal(velmora.mfx(make_results()), baseline)
    again = panic_of(lambda: velmora.mfx(make_results(exog_names=[])))
    assert type(again) is type(exc)
    assert not isinstance(exc, Exception) and isinstance(exc, BaseException)


def test_reference_counts(make_results):
    beta, cov, exog = SMALL_BETA.copy(), SMALL_V.copy(), SMALL_X.copy()
    names = list(SMALL_NAMES)
    # One success, then failures in the engine, the report and at each step of the reader.
    fakes = [
        make_results(params=beta, cov=cov, exog=exog, exog_names=names),
        make_results(params=beta, cov=cov, exog=exog, exog_names=names[:2]),
        make_results(params=beta[:2], cov=cov, exog=exog, exog_names=names),
        make_results(params=beta, cov=cov, exog=exog, exog_names={}),
        make_results(params=beta, cov=cov, exog=exog.astype(int), exog_names=names),
        make_results(params=beta, cov=[1.0], exog=exog, exog_names=names),
    ]
    watched = [beta, cov, exog, names, *fakes, *(f.model for f in fakes)]
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(3):
        for fake in fakes:
            try:
                velmora.mfx(fake)
            except BaseException:
                pass
    del fake
    assert [sys.getrefcount(obj) for obj in watched] == before


# Run before velmora is imported: numpy is either unimportable or a set of empty modules.
NUMPY_SCRIPT = """
import json, sys, types
names = ["numpy", "numpy.core", "numpy.core.multiarray", "numpy._core",
         "numpy._core.multiarray", "numpy._core._multiarray_umath"]
fakes = {name: None if MODE == "missing" else types.ModuleType(name) for name in names}
for name, module in fakes.items():
    parent, _, child = name.rpartition(".")
    if module is not None and parent:
        fakes[parent].__path__ = []
        setattr(fakes[parent], child, module)
sys.modules.update(fakes)
import velmora
results = types.SimpleNamespace(model=type("Logit", (), {})(), params=[0.5],
                                cov_params=lambda: [[1.0]])
outcomes = []
for _ in range(2):
    try:
        velmora.mfx(results)
    except Exception as exc:
        outcomes.append(repr(exc))
    except BaseException as exc:
        outcomes.append([type(exc).__name__, list(exc.args)])
print(json.dumps(outcomes))
"""


@pytest.mark.parametrize(
    "mode, message",
    [("missing", "Failed to import NumPy module"), ("empty", "Failed to get NumPy API capsule")],
)
def test_numpy_unavailable(run_python, mode, message):
    proc = run_python(f"MODE = {mode!r}\n" + NUMPY_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout) == [["PanicException", [message]]] * 2
    assert message in proc.stderr


def test_numpy_table_taken_without_deprecation_warning(run_python):
    # numpy.core is a deprecated alias on NumPy 2; the table must come from numpy._core.
    proc = run_python(
        "import warnings; warnings.simplefilter('error')\n"
        "import numpy as np, types, velmora\n"
        "model = type('Logit', (), {})(); model.exog = np.ones((3, 1)); model.exog_names = ['x']\n"
        "res = types.SimpleNamespace(model=model, params=np.ones(1),\n"
        "                            cov_params=lambda: np.eye(1))\n"
        "print(velmora.mfx(res).index.tolist())\n"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "['x']"


# SciPy's BLAS is looked up at the first call that gets past the reader; a failed look-up is
# not kept, so the call after the real module is back succeeds.
SCIPY_BLAS_SCRIPT = """
import ctypes, sys, types
import numpy as np
import scipy.linalg.cython_blas as real
import velmora
model = type("Logit", (), {})()
model.exog, model.exog_names = np.ones((3, 1)), ["x"]
results = types.SimpleNamespace(model=model, params=np.ones(1), cov_params=lambda: np.eye(1))
capi = dict(real.__pyx_capi__)
if MODE == "missing":
    sys.modules["scipy.linalg.cython_blas"] = None
else:
    if MODE == "wrong_signature":
        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype, new_capsule.argtypes = ctypes.py_object, [ctypes.c_void_p] * 3
        signature = b"void (char *, char *, long *, long *, long *, double *, double *, long *, " \\
            b"double *, long *, double *, double *, long *)"
        capi["dgemm"] = new_capsule(1, signature, None)
    else:
        del capi["dgemm"]
    sys.modules["scipy.linalg.cython_blas"] = types.SimpleNamespace(__pyx_capi__=capi)
try:
    velmora.mfx(results)
except ImportError as exc:
    print(exc)
sys.modules["scipy.linalg.cython_blas"] = real
print(velmora.mfx(results).index.tolist())
"""


@pytest.mark.parametrize(
    "mode, message",
    [
        (
            "missing",
            "velmora needs SciPy for its BLAS routines: cannot import scipy.linalg.cython_blas",
        ),
        (
            "no_routine",
            "velmora needs scipy.linalg.cython_blas.dgemm from SciPy for its BLAS routines",
        ),
        (
            "wrong_signature",
            "velmora needs scipy.linalg.cython_blas.dgemm with 32-bit integers, "
            "but SciPy's has the signature 'void (char *, char *, long *,",
        ),
    ],
)
def test_scipy_blas_unavailable(run_python, mode, message):
    proc = run_python(f"MODE = {mode!r}\n" + SCIPY_BLAS_SCRIPT)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith(message)
    assert lines[1:] == ["['x']"]


@pytest.mark.skipif(shutil.which("ldd") is None, reason="needs ldd")
def test_module_links_no_blas_of_its_own():
    libraries = subprocess.run(["ldd", velmora.__file__], capture_output=True, text=True).stdout
    assert "blas" not in libraries.lower(), libraries
