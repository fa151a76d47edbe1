"""Coverage-guided fuzzing of mfx's argument binding and model reader.

From the fuzz bytes it builds a results-like object (model class name, params,
cov_params(), exog and names, each of random type, dtype, shape, strides and
layout), chunk_size and se_method values and a call form, and calls
velmora.mfx. A call may only succeed with a well-formed table or raise one of
the documented exceptions; the arrays it was given must come back unchanged
and with their reference counts as before. Anything else ends the run with
the input saved as a crash.

Run with ./dev fuzz [seconds]; extra arguments go to libFuzzer.
"""

import os
import resource
import sys
import warnings

import atheris
import numpy as np
import pandas as pd

import velmora

COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Conf. Int. Low", "Conf. Int. Hi", "Significance"]

# The internal failures a malformed results object may legitimately cause.
EXPECTED_PANICS = (
    "index out of bounds: ",
    "matrices of incompatible shapes",
    "column index ",
)


class ObjectError(Exception):
    """Raised by the fuzzed object's own code; mfx must pass it through."""


class Subarray(np.ndarray):
    pass


class Wrapped:
    """Like a pandas object: `values` and, for a design matrix, `columns`."""

    def __init__(self, values, columns=None):
        self.values = values
        if columns is not None:
            self.columns = columns


class RaisingValues:
    @property
    def values(self):
        raise ObjectError("values")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Text(str):
    pass


class Names:
    """A sequence whose length and iteration can disagree or fail."""

    def __init__(self, items, length, fail_at):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if self.length is None:
            raise ObjectError("len")
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise ObjectError("getitem")
        return self.items[i]


SPECIAL_FLOATS = [0.0, 1.0, -0.0, np.nan, np.inf, -np.inf, 1e308, -1e308, 5e-324, 0.5, 40.0, -800.0]
DTYPES = [np.float64, ">f8", np.float32, np.int64, np.bool_, object, np.complex128, np.float16]
# Tiny dimensions reach every branch; huge ones (with zero rows or zero
# strides, so the input stays cheap) reach the allocation failures. ASan's
# operator new reports a failed allocation instead of throwing bad_alloc, so
# under ASan the huge ones are left out.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
HUGE = [2**20, 2**31 + 1, 2**32, 2**32 + 1, 2**40, 2**56]


@atheris.instrument_func
def draw_values(fdp, count):
    values = np.empty(count)
    for i in range(count):
        if fdp.ConsumeBool():
            values[i] = fdp.PickValueInList(SPECIAL_FLOATS)
        else:
            values[i] = fdp.ConsumeFloatInRange(-4.0, 4.0)
    return values


@atheris.instrument_func
def draw_array(fdp, shape):
    """A float64 array of `shape` in a random layout, or something that is not."""
    layout = fdp.ConsumeIntInRange(0, 13)
    count = int(np.prod(shape)) if all(d <= 64 for d in shape) else None
    if count is None:
        # Only zero-row or zero-stride arrays of huge shape are affordable.
        if 0 in shape:
            return np.empty(shape)
        try:
            return np.broadcast_to(np.float64(fdp.PickValueInList(SPECIAL_FLOATS)), shape)
        except ValueError:  # more elements than NumPy can count
            return np.empty((0,) + tuple(shape[1:]))
    base = draw_values(fdp, count).reshape(shape)
    if layout == 0:
        return base
    if layout == 1:
        return np.asfortranarray(base)
    if layout == 2:  # every axis reversed: negative strides
        return base[tuple(slice(None, None, -1) for _ in shape)]
    if layout == 3:  # a strided slice of a larger array
        big = np.zeros(tuple(2 * d for d in shape))
        view = big[tuple(slice(None, None, 2) for _ in shape)]
        view[...] = base
        return view
    if layout == 4 and base.size:
        return np.broadcast_to(base.reshape(-1)[:1].reshape((1,) * len(shape)), shape)
    if layout == 5:
        return base.astype(fdp.PickValueInList(DTYPES))
    if layout == 6:  # misaligned float64 data
        raw = np.zeros(base.nbytes + 1, dtype=np.uint8)
        view = np.frombuffer(raw.data, dtype=np.float64, count=base.size, offset=1)
        return view.reshape(shape)
    if layout == 7:  # a field of a packed record array: strides of 9 bytes
        packed = np.zeros(base.size, dtype=[("a", "i1"), ("b", "f8")])
        packed["b"] = base.reshape(-1)
        return packed["b"].reshape(shape) if len(shape) == 1 else packed["b"]
    if layout == 8:
        return base.view(Subarray)
    if layout == 9:
        base.flags.writeable = False
        return base
    if layout == 10:
        return base.tolist()
    if layout == 11:
        return base.reshape(shape + (1,)) if fdp.ConsumeBool() else base.reshape(-1)[:1].squeeze()
    if layout == 12 and len(shape) == 2:
        return base.T.copy().T  # column-major through a transpose
    return base


@atheris.instrument_func
def draw_shaped(fdp, shape, frame_ok):
    """An array rule candidate: the array itself or wrapped like pandas."""
    array = draw_array(fdp, shape)
    wrap = fdp.ConsumeIntInRange(0, 5)
    if wrap == 1:
        return Wrapped(array)
    if wrap == 2:
        return RaisingValues()
    if wrap == 3 and frame_ok and isinstance(array, np.ndarray):
        try:
            return pd.Series(array) if array.ndim == 1 else pd.DataFrame(array)
        except Exception:
            return array
    if wrap == 4:
        return fdp.PickValueInList([None, 1.5, "x", [[1.0]], b"\x00"])
    return array


@atheris.instrument_func
def draw_name(fdp):
    choice = fdp.ConsumeIntInRange(0, 9)
    if choice == 4:
        return "const"
    if choice == 5:
        return fdp.PickValueInList(["Intercept", "CONST", "intercept ", "cönst"])
    if choice == 6:
        return 3
    if choice == 7:
        return Text("sub")
    if choice == 8:
        return "\ud800"  # a lone surrogate cannot be encoded
    if choice == 9:
        return np.str_("np")
    return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 6))


@atheris.instrument_func
def draw_names(fdp, k):
    count = fdp.PickValueInList([k, k, k, max(k - 1, 0), k + 1, 0])
    count = min(count, 12)
    items = [draw_name(fdp) for _ in range(count)]
    form = fdp.ConsumeIntInRange(0, 8)
    if form == 0:
        return tuple(items)
    if form == 1:
        return pd.Index(items, dtype=object)
    if form == 2:
        return fdp.PickValueInList(["abc", None, {"a": 1}, {"a"}, 5])
    if form == 3:
        return (name for name in items)
    if form == 4:
        length = fdp.PickValueInList([None, count, 2**40, -1 if count else 0])
        return Names(items, length if length != -1 else None, fdp.ConsumeIntInRange(-1, count))
    if form == 5:
        return np.array([str(item) for item in items], dtype=str)
    return items


@atheris.instrument_func
def draw_class_name(fdp):
    return fdp.PickValueInList(
        ["Logit", "Probit", "Logit", "Probit", "LOGIT", "probit", "OLS", "LogitModel", "", "ǅ"]
    )


@atheris.instrument_func
def draw_results(fdp, state):
    """A results-like object whose parts are consistent more often than not.
    FuzzedDataProvider yields 0 once the bytes run out, so 0 picks the
    ordinary case throughout."""
    if fdp.ConsumeIntInRange(0, 7) == 7 and not UNDER_ASAN:
        k = fdp.PickValueInList(HUGE)
        n = 0
    else:
        k = fdp.ConsumeIntInRange(0, 5)
        n = fdp.ConsumeIntInRange(0, 9)
    state["k"], state["n"] = k, n
    beta_len = k if fdp.ConsumeIntInRange(0, 5) < 5 else fdp.ConsumeIntInRange(0, 6)
    cov_shape = (
        (k, k)
        if fdp.ConsumeIntInRange(0, 5) < 5
        else (fdp.ConsumeIntInRange(0, 6), fdp.ConsumeIntInRange(0, 6))
    )
    if k in HUGE:
        cov_shape = (k, k)
    params = draw_shaped(fdp, (beta_len,) if beta_len <= 64 or k in HUGE else (0,), True)
    cov = draw_shaped(fdp, cov_shape, True)
    exog_values = draw_array(fdp, (n, k))
    names = draw_names(fdp, min(k, 12))
    exog_form = fdp.ConsumeIntInRange(0, 3)
    if exog_form == 1 and isinstance(exog_values, np.ndarray) and exog_values.ndim == 2:
        try:
            exog = pd.DataFrame(exog_values, columns=names if k <= 12 else None, copy=False)
        except Exception:
            exog = Wrapped(exog_values, names)
    elif exog_form == 2:
        exog = Wrapped(exog_values, names)
    elif exog_form == 3:
        exog = RaisingValues()
    else:
        exog = exog_values

    class_name = draw_class_name(fdp)
    model = type(class_name, (), {})()
    model.exog = exog
    model.exog_names = names
    if fdp.ConsumeIntInRange(0, 9) == 9:
        del model.exog

    kept = [params, cov, exog_values]
    state["kept"] = kept
    cov_behaviour = fdp.ConsumeIntInRange(0, 9)
    nested = fdp.ConsumeIntInRange(0, 9) == 9

    class Results:
        def cov_params(self):
            if cov_behaviour == 9:
                raise ObjectError("cov_params")
            if nested and not state.get("nesting"):
                state["nesting"] = True  # one level: the outer call goes on after it
                try:
                    velmora.mfx(self)
                except (TypeError, ValueError, OverflowError, MemoryError, ObjectError):
                    pass
            return cov

    results = Results()
    results.params = params
    model_form = fdp.ConsumeIntInRange(0, 9)
    if model_form == 8:
        # No `model`: the object is its own model.
        results.__class__ = type(class_name, (Results,), {})
        results.exog = exog
        results.exog_names = names
    elif model_form == 9:
        type(results).model = property(lambda self: (_ for _ in ()).throw(ObjectError("model")))
        results.__class__ = type(class_name, (Results,), {})
        results.exog = exog
        results.exog_names = names
    else:
        results.model = model
    if cov_behaviour == 8:
        results.cov_params = None  # not callable
    return results


@atheris.instrument_func
def draw_chunk_size(fdp, n):
    return fdp.PickValueInList(
        [
            None,
            None,
            1,
            2,
            3,
            max(n, 1),
            n + 7,
            0,
            -1,
            2**64 - 1,
            2**64,
            True,
            np.int64(2),
            2.5,
            "3",
            Index(2),
            Index(ObjectError("index")),
            Index(-5),
            Index(2**70),
        ]
    )


@atheris.instrument_func
def draw_se_method(fdp):
    return fdp.PickValueInList(
        [None, None, "orvo", "sm", "SM", "", " sm", Text("sm"), b"sm", 1, "\udc80", "orvo\x00"]
    )


def snapshot(kept):
    copies = []
    for value in kept:
        if isinstance(value, np.ndarray) and value.size <= 4096 and value.dtype != object:
            copies.append((value, value.copy(), sys.getrefcount(value)))
    return copies


def check_unchanged(copies):
    for value, before, refcount in copies:
        if not np.array_equal(value, before, equal_nan=value.dtype.kind in "fc"):
            raise AssertionError("mfx changed an input array")
        if sys.getrefcount(value) != refcount:
            raise AssertionError(f"reference count {refcount} became {sys.getrefcount(value)}")


def check_table(table, state):
    if not isinstance(table, pd.DataFrame):
        raise AssertionError(f"mfx returned {type(table).__name__}")
    if list(table.columns) != COLUMNS:
        raise AssertionError(f"columns {list(table.columns)}")
    if len(table) > state["k"]:
        raise AssertionError(f"{len(table)} rows for {state['k']} regressors")


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "velmora_runtime"


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    state = {}
    results = draw_results(fdp, state)
    chunk_size = draw_chunk_size(fdp, state["n"])
    se_method = draw_se_method(fdp)
    form = fdp.ConsumeIntInRange(0, 5)
    copies = snapshot(state["kept"])
    try:
        if form == 0:
            table = velmora.mfx(results, chunk_size, se_method)
        elif form == 1:
            table = velmora.mfx(results, se_method=se_method, chunk_size=chunk_size)
        elif form == 2:
            table = velmora.mfx(model=results)
        elif form == 3:
            table = velmora.mfx(results, chunk_size, se_method, None)
        elif form == 4:
            table = velmora.mfx(results, chunk=chunk_size)
        else:
            table = velmora.mfx(chunk_size=chunk_size)
    except (TypeError, ValueError, OverflowError, MemoryError, ObjectError, AttributeError):
        # AttributeError: a part the object lacks (say, exog), the
        # interpreter's own error, passed through unchanged.
        pass
    except BaseException as exc:
        if not is_panic(exc) or not str(exc).startswith(EXPECTED_PANICS):
            raise
    else:
        check_table(table, state)
    check_unchanged(copies)


def limit_address_space(headroom=2 << 30):
    """Huge k must fail as MemoryError, not by filling the machine's memory:
    with overcommit a vector of 2**31 doubles is granted and then zeroed.
    ASan reserves terabytes of shadow memory, so there is no limit under it."""
    if UNDER_ASAN:
        return
    with open("/proc/self/statm") as statm:
        in_use = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (in_use + headroom, resource.RLIM_INFINITY))


def main():
    limit_address_space()
    # Casting NaN and huge values to other dtypes warns; that is the point.
    warnings.simplefilter("ignore", RuntimeWarning)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
