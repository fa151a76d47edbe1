"""velmora's average marginal effects over the rows of a Dask array.

The effect and Jacobian totals are sums over rows, so every block of rows is
summed by velmora's compiled core where the block lies (a thread, a worker
process, a machine of a cluster) and the partial sums are added in a tree.
Only the graph and those additions are written here; every number comes from
the same code as ``velmora.mfx``'s, which releases the interpreter's lock
while it computes on a block.
"""

from __future__ import annotations

import sys
import uuid
from typing import Any, cast

import dask
import dask.array as da
import numpy as np
import pandas
from dask.base import tokenize
from dask.delayed import Delayed, delayed

import velmora

__all__ = ["mfx"]

# Partial sums added per task of the tree: few levels, small tasks.
_TREE_WIDTH = 8

# The most groups `by` may form: the groups' totals take G * k * k doubles,
# which without a bound could exhaust memory unasked.
_MOST_GROUPS = 100_000

# Integer labels spanning fewer values than this are their own codes, less
# the least of them; others are factorised, at about 10 ns a row.
_DENSE_SPAN = 1 << 20

# Rows per block when the model's exog is a NumPy array: large enough that a
# task costs far more than its scheduling (about half a millisecond on Dask's
# threads), small enough for many per core.
_BLOCK_BYTES = 128 * 1024 * 1024


def mfx(
    model: object,
    exog: Any = None,
    se_method: str | None = None,
    *,
    by: Any = None,
    weights: Any = None,
) -> pandas.DataFrame:
    """The DataFrame ``velmora.mfx(model, se_method=se_method)`` returns, over
    the rows of `exog`: a 2-D float64 NumPy or Dask array, or a Dask
    DataFrame of float64 columns, with one column per coefficient (the
    model's exog when None). The names are the model's. Computed with the
    scheduler Dask would use for ``dask.compute`` (a distributed Client when
    one is active); at most two passes over the rows, one when the dummies
    guessed from the first rows hold in every block.

    With `weights` (one finite, non-negative number per row: a 1-D NumPy or
    Dask array, or a pandas or Dask Series), every effect and Jacobian total
    is the weighted sum and n the sum of the weights, so the effects are
    weighted averages; the regressors are classified over the rows as
    without them.

    With `by` (one label per row: integers, strings or booleans in a 1-D
    NumPy or Dask array or a Series, or a pandas Categorical), the effects
    within each group of rows, from the same pass: one table per label in
    sorted order (a Categorical's own order), under a two-level index of
    label and regressor. Every group uses the model's coefficients and
    covariance and the whole data's classification of the regressors; a
    group whose weights sum to 0 gets NaN."""
    frame_type = _dask_frame_type()
    family, method, params, cov, names, model_exog = velmora._read_model(
        model, se_method, da.Array if exog is None else object, frame_type
    )
    rows = _as_dask_array(model_exog if exog is None else exog, frame_type)
    if rows.numblocks[1] > 1:
        # A block must hold whole rows: the core needs every column of a row.
        rows = rows.rechunk({1: -1})
    declared, columns = rows.shape
    intercepts = velmora._intercept_indices(
        names,
        -1 if np.isnan(declared) else declared,
        # Unknown columns are left to the blocks' own checks.
        params.shape[0] if np.isnan(columns) else columns,
        params.shape[0],
    )
    blocks = list(rows.to_delayed().ravel())
    weight_blocks = None if weights is None else _weight_blocks(weights, rows)
    labels = None if by is None else _Labels(by, rows)

    # The guess reads only the first rows: a task on them alone, rather than
    # on the whole first block, moves no more than those between workers.
    first_rows = blocks[0][: velmora._guess_rows]
    guessed = delayed(_guess_dummies, pure=True)(first_rows, names, intercepts)
    sums = _Sums(blocks, family, params, intercepts, method, weight_blocks, labels)
    totals, dummies = dask.compute(sums.tree(guessed), guessed)
    n = totals[0]
    _require_rows(n, declared)
    held = totals[-2]
    if not all(held):
        # A dummy of the first rows held another value in a later block: it
        # is continuous, and every block is summed again with that.
        dummies = [j for j, binary in zip(dummies, held, strict=True) if binary]
        (totals,) = dask.compute(sums.tree(dummies))
        n_again = totals[0]
        if n_again != n or not all(totals[-2]):
            counts = f": {n} rows, then {n_again}" if n_again != n else ""
            raise RuntimeError(f"the rows changed between the two passes over them{counts}")
    if labels is not None:
        return _group_frame(totals, labels, weight_blocks is not None, cov, intercepts, names)
    _, effects, jacobian, _, weight_total = totals
    if weight_blocks is None:
        weight_total = n
    elif n > 0 and weight_total == 0.0:
        raise ValueError("the weights sum to 0")
    return velmora._report(
        _aligned(effects), _aligned(jacobian), weight_total, cov, intercepts, names
    )


def _dask_frame_type() -> type | None:
    # dask.dataframe is imported only by callers that have a Dask DataFrame;
    # without it nothing can be one.
    module = sys.modules.get("dask.dataframe")
    return None if module is None else module.DataFrame


def _dask_series_type() -> type | None:
    module = sys.modules.get("dask.dataframe")
    return None if module is None else module.Series


def _require_rows(n: int, declared: float) -> None:
    if not np.isnan(declared) and n != declared:
        raise RuntimeError(f"the blocks held {n} rows, not {int(declared)}")


def _array_type_error(rows: object, dtype: object, ndim: int) -> TypeError:
    return TypeError(
        f"'{type(rows).__qualname__}' object of {dtype} with {ndim} axes cannot be converted "
        "to 'PyArray<T, D>'"
    )


def _as_dask_array(rows: object, frame_type: type | None) -> da.Array:
    if isinstance(rows, np.ndarray) and rows.ndim == 2 and rows.dtype == np.float64:
        block_rows = max(1, _BLOCK_BYTES // (8 * max(rows.shape[1], 1)))
        return da.from_array(rows, chunks=(block_rows, -1))
    if frame_type is not None and isinstance(rows, frame_type):
        # Every column must be float64 as it is: the frame's values would
        # convert a column of another type silently.
        for dtype in rows.dtypes:
            if dtype != np.float64:
                raise _array_type_error(rows, dtype, 2)
        return rows.to_dask_array(lengths=True)
    if not isinstance(rows, da.Array):
        raise TypeError(
            f"'{type(rows).__qualname__}' object cannot be converted to 'PyArray<T, D>'"
        )
    if rows.ndim != 2 or rows.dtype != np.float64:
        raise _array_type_error(rows, rows.dtype, rows.ndim)
    return rows


def _weight_blocks(weights: Any, rows: da.Array) -> list[Delayed] | list[np.ndarray]:
    """The weights as float64 blocks of the rows' blocks, one per block."""
    if isinstance(weights, pandas.Series):
        weights = weights.to_numpy()
    else:
        series_type = _dask_series_type()
        if series_type is not None and isinstance(weights, series_type):
            weights = weights.to_dask_array(lengths=True)
    if not isinstance(weights, (np.ndarray, da.Array)):
        raise TypeError(
            f"weights must be a 1-D NumPy or Dask array or a Series, not "
            f"'{type(weights).__qualname__}'"
        )
    if weights.ndim != 1:
        raise ValueError(f"weights must have one axis, not {weights.ndim}")
    if weights.dtype.kind not in "biuf":
        raise TypeError(f"weights must be numbers, not {weights.dtype}")
    return _per_row_blocks(
        weights.astype(np.float64, copy=False), rows, "weights", "value", "weights"
    )


def _per_row_blocks(
    values: np.ndarray | da.Array, rows: da.Array, what: str, item: str, items: str
) -> list[Delayed] | list[np.ndarray]:
    """One value per row, cut into blocks of the rows' blocks; `what` holds
    one `item` per row, counted as `items`."""
    declared = rows.shape[0]
    for whose, array in (("rows", rows), (what, values)):
        if isinstance(array, da.Array) and any(np.isnan(size) for size in array.chunks[0]):
            raise ValueError(
                f"{what} need the {whose}' block sizes: compute them first "
                "(compute_chunk_sizes() on the Dask array)"
            )
    if values.shape[0] != declared:
        raise ValueError(
            f"{what} must hold one {item} per row: {declared} rows, {values.shape[0]} {items}"
        )
    if isinstance(values, np.ndarray):
        # Views of the array, block by block: a Dask array made from it
        # would be named by hashing its contents or hold a copy of it.
        ends = np.cumsum(rows.chunks[0], dtype=np.int64)
        return [values[end - size : end] for end, size in zip(ends, rows.chunks[0], strict=True)]
    return list(values.rechunk((rows.chunks[0],)).to_delayed().ravel())


class _Labels:
    """The labels of `by` cut into blocks of the rows' blocks, with what the
    blocks' codes and the result's index need: for a Categorical its
    categories (the blocks then hold its codes), and the Series' name."""

    def __init__(self, by: Any, rows: da.Array) -> None:
        self.name: object = None
        self.categories: pandas.Index | None = None
        self.ordered = False
        series_type = _dask_series_type()
        if isinstance(by, pandas.Categorical):
            self._take_categories(by.dtype)
            by = np.asarray(by.codes)
        elif isinstance(by, pandas.Series) or (
            series_type is not None and isinstance(by, series_type)
        ):
            series: Any = by
            self.name = series.name
            if isinstance(series.dtype, pandas.CategoricalDtype):
                if not isinstance(series, pandas.Series):
                    series = series.cat.as_known()
                self._take_categories(series.dtype)
                series = series.cat.codes
            by = (
                series.to_numpy()
                if isinstance(series, pandas.Series)
                else series.to_dask_array(lengths=True)
            )
        if not isinstance(by, (np.ndarray, da.Array)):
            raise TypeError(
                "by must be a 1-D NumPy or Dask array, a Series or a Categorical, not "
                f"'{type(by).__qualname__}'"
            )
        if by.ndim != 1:
            raise ValueError(f"by must have one axis, not {by.ndim}")
        if by.dtype.kind == "c":
            raise TypeError(f"by's labels must be integers, strings or booleans, not {by.dtype}")
        self.blocks = _per_row_blocks(by, rows, "by", "label", "labels")
        self.starts = [0, *np.cumsum(rows.chunks[0], dtype=np.int64)[:-1].tolist()]

    def _take_categories(self, dtype: pandas.CategoricalDtype) -> None:
        self.categories = dtype.categories
        self.ordered = bool(dtype.ordered)


class _Sums:
    """The graph of the totals over the blocks: a task per block, summed by
    the core, and the partial sums added in a tree."""

    def __init__(
        self,
        blocks: list[Delayed],
        family: str,
        params: np.ndarray,
        intercepts: list[int],
        method: str,
        weight_blocks: list[Delayed] | list[np.ndarray] | None,
        labels: _Labels | None,
    ) -> None:
        self.blocks = blocks
        self.arguments = (family, params, intercepts)
        self.method = method
        self.weight_blocks = weight_blocks
        self.labels = labels
        self.keys = [
            [block.key for block in blocks],
            _keys_of(weight_blocks),
            None if labels is None else _keys_of(labels.blocks),
        ]

    def tree(self, dummies: object) -> Delayed:
        family, params, intercepts = self.arguments
        # One token for the whole sum, rather than one per task: tokenising
        # each task's arguments took a few milliseconds a call. The keys
        # still depend on everything the sums do, so Dask can reuse a
        # result it holds.
        token = tokenize(family, params, intercepts, dummies, self.method, self.keys)
        weights = self.weight_blocks
        labels = self.labels
        parts = []
        for i, block in enumerate(self.blocks):
            arguments = (
                family,
                params,
                block,
                intercepts,
                dummies,
                self.method,
                None if weights is None else weights[i],
            )
            name = f"velmora-block-totals-{token}-{i}"
            if labels is None:
                parts.append(delayed(_block_totals)(*arguments, dask_key_name=name))
            else:
                group_arguments = (
                    labels.blocks[i],
                    labels.starts[i],
                    labels.categories is not None,
                )
                parts.append(
                    delayed(_group_totals)(*arguments, *group_arguments, dask_key_name=name)
                )
        add = _add if labels is None else _add_groups
        level = 0
        while len(parts) > 1:
            level += 1
            parts = [
                delayed(add)(
                    *parts[i : i + _TREE_WIDTH], dask_key_name=f"velmora-add-{token}-{level}-{i}"
                )
                for i in range(0, len(parts), _TREE_WIDTH)
            ]
        return parts[0]


def _keys_of(blocks: list[Delayed] | list[np.ndarray] | None) -> object:
    if blocks is None:
        return None
    if blocks and isinstance(blocks[0], np.ndarray):
        # Views of a NumPy array, which hashing would read whole: a name of
        # their own for this call instead.
        return str(uuid.uuid4())
    return [block.key for block in cast(list[Delayed], blocks)]


def _aligned(array: object) -> object:
    # An array that crossed to a worker process may lie in its message at an
    # offset that is no multiple of 8; the core reads doubles only where they
    # are aligned, so such an array (and only such) is copied.
    if isinstance(array, np.ndarray) and not array.flags.aligned:
        return array.copy()
    return array


def _guess_dummies(block: object, names: list[str], intercepts: list[int]) -> list[int]:
    return velmora._guess_dummies(_aligned(block), names, intercepts)


_Totals = tuple[int, np.ndarray, np.ndarray, tuple[bool, ...], float]


def _block_totals(
    family: str,
    params: np.ndarray,
    block: object,
    intercepts: list[int],
    dummies: list[int],
    method: str,
    weights: np.ndarray | None,
) -> _Totals:
    if weights is None:
        return (
            *velmora._block_totals(
                family, _aligned(params), _aligned(block), intercepts, dummies, method
            ),
            0.0,
        )
    return velmora._block_totals(
        family,
        _aligned(params),
        _aligned(block),
        intercepts,
        dummies,
        method,
        _aligned(np.ascontiguousarray(weights)),
    )


def _add(*parts: _Totals) -> _Totals:
    n, effects, jacobian, held, weight_total = parts[0]
    effects = effects.copy()
    jacobian = jacobian.copy()
    held_everywhere = list(held)
    for rows, more_effects, more_jacobian, more_held, more_weight in parts[1:]:
        n += rows
        effects += more_effects
        jacobian += more_jacobian
        held_everywhere = [a and b for a, b in zip(held_everywhere, more_held, strict=True)]
        weight_total += more_weight
    return n, effects, jacobian, tuple(held_everywhere), weight_total


_GroupTotals = tuple[
    int, np.ndarray, np.ndarray, np.ndarray, np.ndarray, tuple[bool, ...], np.ndarray
]


def _too_many_groups() -> ValueError:
    return ValueError(f"by holds more than {_MOST_GROUPS} groups")


def _missing_label(start: int, codes: np.ndarray) -> ValueError:
    row = start + int(np.argmax(codes < 0))
    return ValueError(f"by holds a missing label (NaN, None or NA) at row {row}")


def _codes(labels: np.ndarray, start: int, categorical: bool) -> tuple[np.ndarray, int, Any]:
    """The block's labels as codes from 0 for the core, the count of codes
    and a function from codes back to labels."""
    kind = labels.dtype.kind
    if categorical:
        codes = labels.astype(np.int64)
        if codes.size and codes.min() < 0:
            raise _missing_label(start, codes)
        return codes, int(codes.max()) + 1 if codes.size else 0, lambda present: present
    if kind == "b":
        return labels.astype(np.int64), 2, lambda present: present.astype(bool)
    if kind in "iu":
        if not labels.size:
            return np.zeros(0, np.int64), 0, lambda present: labels[:0]
        low, high = int(labels.min()), int(labels.max())
        if high - low < _DENSE_SPAN and high < 2**63:
            if low == 0 and labels.dtype == np.int64 and labels.flags.c_contiguous:
                codes = labels  # the core only reads them
            else:
                codes = labels.astype(np.int64)
                codes -= low
            return codes, high - low + 1, lambda present: (present + low).astype(labels.dtype)
    codes, uniques = pandas.factorize(labels)
    codes = codes.astype(np.int64, copy=False)
    if codes.size and codes.min() < 0:
        raise _missing_label(start, codes)
    if len(uniques) > _MOST_GROUPS:
        raise _too_many_groups()
    found = np.asarray(uniques)
    return codes, len(found), lambda present: found[present]


def _group_totals(
    family: str,
    params: np.ndarray,
    block: object,
    intercepts: list[int],
    dummies: list[int],
    method: str,
    weights: np.ndarray | None,
    labels: object,
    start: int,
    categorical: bool,
) -> _GroupTotals:
    block = _aligned(block)
    codes, count, labels_of = _codes(np.asarray(labels), start, categorical)
    present, rows, effects, jacobian, held, weight_totals = velmora._group_block_totals(
        family,
        _aligned(params),
        block,
        intercepts,
        dummies,
        method,
        None if weights is None else _aligned(np.ascontiguousarray(weights)),
        codes,
        count,
    )
    if len(present) > _MOST_GROUPS:
        raise _too_many_groups()
    return (
        cast(np.ndarray, block).shape[0],
        labels_of(present),
        rows,
        effects,
        jacobian,
        held,
        weight_totals,
    )


def _add_groups(*parts: _GroupTotals) -> _GroupTotals:
    with_labels = [part[1] for part in parts if len(part[1])] or [parts[0][1]]
    found = pandas.unique(np.concatenate(with_labels))
    if len(found) > _MOST_GROUPS:
        raise _too_many_groups()
    index = pandas.Index(found)
    k = parts[0][3].shape[1]
    rows = np.zeros(len(found), np.int64)
    effects = np.zeros((len(found), k))
    jacobian = np.zeros((len(found), k, k))
    weight_totals = np.zeros(len(found))
    n = 0
    held_everywhere = list(parts[0][5])
    for part_rows, labels, group_rows, more_effects, more_jacobian, held, more_weight in parts:
        at = index.get_indexer(labels)
        n += part_rows
        rows[at] += group_rows
        effects[at] += more_effects
        jacobian[at] += more_jacobian
        weight_totals[at] += more_weight
        held_everywhere = [a and b for a, b in zip(held_everywhere, held, strict=True)]
    return n, found, rows, effects, jacobian, tuple(held_everywhere), weight_totals


def _group_frame(
    totals: _GroupTotals,
    labels: _Labels,
    weighted: bool,
    cov: np.ndarray,
    intercepts: list[int],
    names: list[str],
) -> pandas.DataFrame:
    n, found, rows, effects, jacobian, _, weight_totals = totals
    if weighted and n > 0 and not np.any(weight_totals > 0):
        raise ValueError("the weights sum to 0")
    try:
        order = np.argsort(found, kind="stable")
    except TypeError as error:
        raise TypeError(
            "by's labels cannot be sorted: they must be all numbers, all strings or all booleans"
        ) from error
    observations = weight_totals if weighted else rows.astype(np.float64)
    frame = velmora._group_report(
        np.ascontiguousarray(effects[order]),
        np.ascontiguousarray(jacobian[order]),
        np.ascontiguousarray(observations[order]),
        cov,
        intercepts,
        names,
    )
    per_group = len(frame) // len(order) if len(order) else 0
    repeated = np.repeat(found[order], per_group)
    level: Any = repeated
    if labels.categories is not None:
        level = pandas.Categorical.from_codes(
            repeated, dtype=pandas.CategoricalDtype(labels.categories, labels.ordered)
        )
    frame.index = pandas.MultiIndex.from_arrays([level, frame.index], names=[labels.name, None])
    return frame
