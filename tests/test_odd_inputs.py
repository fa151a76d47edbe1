"""Arrays, frames and names of unusual make: read correctly or refused with the reader's TypeError.

A float64 array whose data is not 8-byte aligned, or whose byte strides are
not whole elements, may be refused but never read wrongly; zero strides and
read-only memory are read as they are.
"""

import numpy as np
import pandas as pd
import pytest
from conftest import SMALL_BETA, SMALL_NAMES, SMALL_V, SMALL_X
from numpy_reference import compare_tables, reference_table

import velmora

SLOTS = {"params": SMALL_BETA, "cov": SMALL_V, "exog": SMALL_X}


def array_message(value):
    return f"'{type(value).__qualname__}' object cannot be converted to 'PyArray<T, D>'"


def expected_table(parts, method="orvo"):
    """The reference table of the small model with some parts replaced by their values."""
    values = {slot: np.array(parts.get(slot, default)) for slot, default in SLOTS.items()}
    names = parts.get("exog_names", SMALL_NAMES)
    return reference_table("Logit", values["exog"], values["params"], values["cov"], names, method)


def read_or_refused(make_results, slot, array):
    """'read' when mfx gives the right table for `array`, 'refused' for the TypeError."""
    before = array.tobytes()
    try:
        table = velmora.mfx(make_results(**{slot: array}))
    except TypeError as exc:
        assert str(exc) == array_message(array)
        return "refused"
    finally:
        assert array.tobytes() == before
    compare_tables(table, expected_table({slot: array}))
    return "read"


def at_byte_offset(values, offset):
    """`values` copied into a byte buffer at `offset`: misaligned unless offset % 8 == 0."""
    raw = np.zeros(values.nbytes + 16, dtype=np.uint8)
    start = (-raw.ctypes.data) % 8 + offset  # measured from an 8-byte boundary
    array = np.frombuffer(raw.data, dtype=np.float64, count=values.size, offset=start)
    array = array.reshape(values.shape)
    raw[start : start + values.nbytes] = np.frombuffer(values.tobytes(), dtype=np.uint8)
    return array


def record_field(values, offset, itemsize):
    """`values` as the float64 field at `offset` of records of `itemsize` bytes."""
    dtype = np.dtype({"names": ["v"], "formats": ["f8"], "offsets": [offset], "itemsize": itemsize})
    records = np.zeros(values.shape, dtype=dtype)
    records["v"] = values
    return records["v"]


ODD = {
    "offset-1": lambda v: at_byte_offset(v, 1),
    "offset-4": lambda v: at_byte_offset(v, 4),
    "packed-record-u1-f8": lambda v: record_field(v, 1, 9),
    "stride-12": lambda v: record_field(v, 0, 12),
    "stride-16-offset-4": lambda v: record_field(v, 4, 16),
}
WHOLE = {
    "offset-8": lambda v: at_byte_offset(v, 8),
    "aligned-record-u1-f8": lambda v: record_field(v, 8, 16),
    "stride-24": lambda v: record_field(v, 16, 24),
}


@pytest.mark.parametrize("slot", SLOTS)
@pytest.mark.parametrize("make", ODD.values(), ids=ODD)
def test_misaligned_or_fractional_strides_are_refused(make_results, slot, make):
    array = make(SLOTS[slot])
    assert np.array_equal(array, SLOTS[slot])
    # Refusing is the reader's choice; reading them in place would need
    # unaligned loads and strides in bytes.
    assert read_or_refused(make_results, slot, array) == "refused"


@pytest.mark.parametrize("slot", SLOTS)
@pytest.mark.parametrize("make", WHOLE.values(), ids=WHOLE)
def test_aligned_whole_element_strides_are_read(make_results, slot, make):
    array = make(SLOTS[slot])
    assert read_or_refused(make_results, slot, array) == "read"


def test_single_element_axis_with_odd_stride(make_results):
    # An axis of length 1 never moves by its stride, so NumPy calls the array
    # aligned whatever the stride is: it must still be refused or read right.
    base = np.zeros(4)
    base[:3] = SMALL_BETA
    row = np.lib.stride_tricks.as_strided(base, shape=(1, 3), strides=(9, 8), writeable=False)
    model = dict(params=SMALL_BETA[:3], cov=SMALL_V, exog=row)
    try:
        table = velmora.mfx(make_results(**model))
    except TypeError as exc:
        assert str(exc) == array_message(row)
    else:
        compare_tables(table, expected_table(model))


ZERO_STRIDES = {
    "params-from-scalar": ("params", lambda: np.broadcast_to(np.float64(0.4), (3,))),
    "exog-repeated-row": ("exog", lambda: np.broadcast_to(SMALL_X[2], (6, 3))),
    "exog-repeated-column": ("exog", lambda: np.broadcast_to(SMALL_X[:, 1:2], (6, 3))),
    "exog-one-value": (
        "exog",
        lambda: np.lib.stride_tricks.as_strided(np.array([0.7]), (6, 3), (0, 0), writeable=False),
    ),
    "cov-repeated-row": ("cov", lambda: np.broadcast_to(SMALL_V[1], (3, 3))),
    "cov-large-repeated-column": ("cov", None),
}


@pytest.mark.parametrize("method", ["orvo", "sm"])
@pytest.mark.parametrize("slot, make", ZERO_STRIDES.values(), ids=ZERO_STRIDES)
def test_zero_strides_are_read(make_results, slot, make, method):
    if make is None:
        # Beyond seven columns the delta method may use BLAS: a zero stride must not reach it.
        rng = np.random.default_rng(2)
        X = np.column_stack([np.ones(20), rng.normal(size=(20, 8))])
        parts = dict(
            exog=X,
            params=rng.normal(size=9) / 3,
            cov=np.broadcast_to(rng.random((9, 1)), (9, 9)),
            exog_names=["const", *(f"x{j}" for j in range(8))],
        )
    else:
        parts = {slot: make()}
        assert 0 in parts[slot].strides
    table = velmora.mfx(make_results(**parts), 4, method)
    compare_tables(table, expected_table(parts, method))


def read_only_buffers():
    from_bytes = {
        slot: np.frombuffer(values.tobytes(), dtype=np.float64).reshape(values.shape)
        for slot, values in SLOTS.items()
    }
    frozen = {slot: values.copy() for slot, values in SLOTS.items()}
    for values in frozen.values():
        values.setflags(write=False)
    return {"bytes": from_bytes, "write-flag-off": frozen}


@pytest.mark.parametrize("parts", read_only_buffers().values(), ids=read_only_buffers())
def test_read_only_memory_is_read(make_results, parts):
    assert not any(values.flags.writeable for values in parts.values())
    try:
        table = velmora.mfx(make_results(**parts))
    except TypeError as exc:  # a bytes object's data need not be 8-byte aligned
        assert not all(values.flags.aligned for values in parts.values()), exc
        return
    compare_tables(table, expected_table(parts))


def frames():
    x = SMALL_X
    return {
        "int-and-float": pd.DataFrame({"const": [1] * 6, "x": x[:, 1], "d": [0, 1, 1, 0, 1, 0]}),
        "float32-column": pd.DataFrame({"const": x[:, 0], "x": x[:, 1].astype("f4"), "d": x[:, 2]}),
        "bool-column": pd.DataFrame({"const": x[:, 0], "x": x[:, 1], "d": x[:, 2] == 1}),
        "nullable-float": pd.DataFrame(x, columns=SMALL_NAMES).astype("Float64"),
        "object-floats": pd.DataFrame(x.astype(object), columns=SMALL_NAMES),
        "categorical": pd.DataFrame(x, columns=SMALL_NAMES).astype("category"),
        "big-endian": pd.DataFrame(x.astype(">f8"), columns=SMALL_NAMES),
        "datetime": pd.DataFrame({"const": x[:, 0], "x": x[:, 1], "d": pd.Timestamp(0)}),
    }


@pytest.mark.parametrize("frame", frames().values(), ids=frames())
def test_frames_of_odd_dtypes(make_results, frame):
    # Whatever pandas makes of the frame: its values are read if they are
    # float64, refused otherwise; never converted.
    values = frame.values
    try:
        table = velmora.mfx(make_results(exog=frame))
    except TypeError as exc:
        assert str(exc) == array_message(values)
        assert not (isinstance(values, np.ndarray) and values.dtype == np.float64)
        return
    assert values.dtype == np.float64
    compare_tables(table, expected_table({"exog": values}))


ODD_NAMES = {
    "embedded-nul": ["const", "x\x00y", "d\x00"],
    "long": ["const", "x" * 100_000, "d"],
    "emoji-and-scripts": ["const", "\U0001f600\u00e9", "\u0434\u05d0"],
    "empty-and-blank": ["const", "", " "],
    "numpy-str": list(np.array(["const", "x", "d"])),
    "intercept-lookalikes": ["const ", "constant", "(Intercept)"],
}


@pytest.mark.parametrize("names", ODD_NAMES.values(), ids=ODD_NAMES)
def test_odd_names_are_copied_exactly(make_results, names):
    table = velmora.mfx(make_results(exog_names=names))
    expected = [name for name in names if name.lower() not in ("const", "intercept")]
    assert list(table.index) == expected
    assert [type(name) for name in table.index] == [str] * len(expected)


def test_tuple_column_labels_are_refused(make_results):
    columns = pd.MultiIndex.from_tuples([("a", "const"), ("a", "x"), ("b", "d")])
    with pytest.raises(TypeError) as excinfo:
        velmora.mfx(make_results(exog=pd.DataFrame(SMALL_X, columns=columns)))
    assert str(excinfo.value) == "'tuple' object cannot be converted to 'PyString'"
