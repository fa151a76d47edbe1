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

# Rows per block when the model's exog is a NumPy array: large enough that a
# task costs far more than its scheduling (about half a millisecond on Dask's
# threads), small enough for many per core.
_BLOCK_BYTES = 128 * 1024 * 1024


def mfx(
    model: object, exog: Any = None, se_method: str | None = None, *, weights: Any = None
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
    without them."""
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

    # The guess reads only the first rows: a task on them alone, rather than
    # on the whole first block, moves no more than those between workers.
    first_rows = blocks[0][: velmora._guess_rows]
    guessed = delayed(_guess_dummies, pure=True)(first_rows, names, intercepts)
    totals = _tree_sum(blocks, family, params, intercepts, guessed, method, weight_blocks)
    (n, effects, jacobian, held, weight_total), dummies = dask.compute(totals, guessed)
    _require_rows(n, declared)
    if not all(held):
        # A dummy of the first rows held another value in a later block: it
        # is continuous, and every block is summed again with that.
        dummies = [j for j, binary in zip(dummies, held, strict=True) if binary]
        ((n_again, effects, jacobian, held, weight_total),) = dask.compute(
            _tree_sum(blocks, family, params, intercepts, dummies, method, weight_blocks)
        )
        if n_again != n or not all(held):
            counts = f": {n} rows, then {n_again}" if n_again != n else ""
            raise RuntimeError(f"the rows changed between the two passes over them{counts}")
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
    declared = rows.shape[0]
    for what, array in (("rows", rows), ("weights", weights)):
        if isinstance(array, da.Array) and any(np.isnan(size) for size in array.chunks[0]):
            raise ValueError(
                f"weights need the {what}' block sizes: compute them first "
                "(compute_chunk_sizes() on the Dask array)"
            )
    if weights.shape[0] != declared:
        raise ValueError(
            f"weights must hold one value per row: {declared} rows, {weights.shape[0]} weights"
        )
    if isinstance(weights, np.ndarray):
        # Views of the array, block by block: a Dask array made from it
        # would be named by hashing its contents or hold a copy of it.
        weights = weights.astype(np.float64, copy=False)
        ends = np.cumsum(rows.chunks[0], dtype=np.int64)
        return [weights[end - size : end] for end, size in zip(ends, rows.chunks[0], strict=True)]
    weights = weights.astype(np.float64).rechunk((rows.chunks[0],))
    return list(weights.to_delayed().ravel())


def _tree_sum(
    blocks: list[Delayed],
    family: str,
    params: np.ndarray,
    intercepts: list[int],
    dummies: object,
    method: str,
    weight_blocks: list[Delayed] | list[np.ndarray] | None,
) -> Delayed:
    # One token for the whole sum, rather than one per task: tokenising each
    # task's arguments took a few milliseconds a call. The keys still depend
    # on everything the sums do, so Dask can reuse a result it holds.
    if weight_blocks is None:
        weight_keys: object = None
    elif weight_blocks and isinstance(weight_blocks[0], np.ndarray):
        # Views of a NumPy array, which hashing would read whole: a name of
        # their own for this call instead.
        weight_keys = str(uuid.uuid4())
    else:
        weight_keys = [block.key for block in cast(list[Delayed], weight_blocks)]
    token = tokenize(
        family, params, intercepts, dummies, method, [block.key for block in blocks], weight_keys
    )
    parts = [
        delayed(_block_totals)(
            family,
            params,
            block,
            intercepts,
            dummies,
            method,
            None if weight_blocks is None else weight_blocks[i],
            dask_key_name=f"velmora-block-totals-{token}-{i}",
        )
        for i, block in enumerate(blocks)
    ]
    level = 0
    while len(parts) > 1:
        level += 1
        parts = [
            delayed(_add)(
                *parts[i : i + _TREE_WIDTH], dask_key_name=f"velmora-add-{token}-{level}-{i}"
            )
            for i in range(0, len(parts), _TREE_WIDTH)
        ]
    return parts[0]


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
