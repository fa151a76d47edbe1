"""velmora's average marginal effects over the rows of a Dask array.

The effect and Jacobian totals are sums over rows, so every block of rows is
summed by velmora's compiled core where the block lies (a thread, a worker
process, a machine of a cluster) and the partial sums are added in a tree.
Only the graph and those additions are written here; every number comes from
the same code as ``velmora.mfx``'s, which releases the interpreter's lock
while it computes on a block.
"""

from __future__ import annotations

from typing import Any

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

# The dummies are guessed from this many first rows of the first block, as
# velmora.mfx guesses them, and checked in every block as it is summed: a
# guess from a whole first block would hold every other block back while it
# is read.
_GUESS_ROWS = 4096


def mfx(model: object, exog: Any = None, se_method: str | None = None) -> pandas.DataFrame:
    """The DataFrame ``velmora.mfx(model, se_method=se_method)`` returns, over
    the rows of `exog`, a 2-D float64 Dask array with one column per
    coefficient (the model's exog when None). Computed with the scheduler
    Dask would use for ``dask.compute`` (a distributed Client when one is
    active); at most two passes over the rows, one when the dummies guessed
    from the first rows hold in every block."""
    method = _se_method(se_method)
    family, params, cov, names, intercepts, model_exog = velmora._read_model(
        model, da.Array if exog is None else object
    )
    rows = _as_dask_array(model_exog if exog is None else exog, params.shape[0])
    if rows.numblocks[1] > 1:
        # A block must hold whole rows: the core needs every column of a row.
        rows = rows.rechunk({1: -1})
    blocks = list(rows.to_delayed().ravel())

    guessed = delayed(_binary_columns, pure=True)(
        blocks[0][:_GUESS_ROWS], params.shape[0], intercepts
    )
    totals = _tree_sum(blocks, family, params, intercepts, guessed, method)
    (n, effects, jacobian, held), dummies = dask.compute(totals, guessed)
    if not all(held):
        # A dummy of the first block held another value in a later one: it
        # is continuous, and every block is summed again with that.
        dummies = [j for j, binary in zip(dummies, held, strict=True) if binary]
        ((n, effects, jacobian, held),) = dask.compute(
            _tree_sum(blocks, family, params, intercepts, dummies, method)
        )
        if not all(held):
            raise RuntimeError("the rows changed between the two passes over them")
    expected = rows.shape[0]
    if not np.isnan(expected) and n != expected:
        raise RuntimeError(f"the blocks held {n} rows, not {expected}")
    return velmora._report(_aligned(effects), _aligned(jacobian), n, cov, intercepts, names)


def _se_method(se_method: object) -> str:
    # mfx's messages, and as there before the model is read.
    if se_method is None:
        return "orvo"
    if not isinstance(se_method, str):
        raise TypeError(
            f"argument 'se_method': '{type(se_method).__qualname__}' object cannot be "
            "converted to 'PyString'"
        )
    if se_method not in ("orvo", "sm"):
        raise ValueError(f"se_method must be 'orvo' or 'sm', got '{se_method}'")
    return se_method


def _as_dask_array(rows: object, k: int) -> da.Array:
    if isinstance(rows, np.ndarray) and rows.ndim == 2 and rows.dtype == np.float64:
        block_rows = max(1, _BLOCK_BYTES // (8 * max(rows.shape[1], 1)))
        rows = da.from_array(rows, chunks=(block_rows, -1))
    if not isinstance(rows, da.Array) or rows.ndim != 2 or rows.dtype != np.float64:
        detail = f" of {rows.dtype} with {rows.ndim} axes" if isinstance(rows, da.Array) else ""
        raise TypeError(
            f"'{type(rows).__qualname__}' object{detail} cannot be converted to 'PyArray<T, D>'"
        )
    n, columns = rows.shape
    if not np.isnan(columns) and columns != k:
        raise ValueError(
            "matrices of incompatible shapes: the design matrix is "
            f"{'?' if np.isnan(n) else n} x {columns} but the coefficient vector has {k} entries"
        )
    return rows


def _tree_sum(
    blocks: list[Delayed],
    family: str,
    params: np.ndarray,
    intercepts: list[int],
    dummies: object,
    method: str,
) -> Delayed:
    # One token for the whole sum, rather than one per task: tokenising each
    # task's arguments took a few milliseconds a call. The keys still depend
    # on everything the sums do, so Dask can reuse a result it holds.
    token = tokenize(family, params, intercepts, dummies, method, [block.key for block in blocks])
    parts = [
        delayed(_block_totals)(
            family,
            params,
            block,
            intercepts,
            dummies,
            method,
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


def _binary_columns(block: object, k: int, intercepts: list[int]) -> list[int]:
    return velmora._binary_columns(_aligned(block), k, intercepts)


def _block_totals(
    family: str,
    params: np.ndarray,
    block: object,
    intercepts: list[int],
    dummies: list[int],
    method: str,
) -> tuple[int, np.ndarray, np.ndarray, tuple[bool, ...]]:
    return velmora._block_totals(
        family, _aligned(params), _aligned(block), intercepts, dummies, method
    )


def _add(*parts: tuple[int, np.ndarray, np.ndarray, tuple[bool, ...]]):
    n, effects, jacobian, held = parts[0]
    effects = effects.copy()
    jacobian = jacobian.copy()
    held = list(held)
    for rows, more_effects, more_jacobian, more_held in parts[1:]:
        n += rows
        effects += more_effects
        jacobian += more_jacobian
        held = [a and b for a, b in zip(held, more_held, strict=True)]
    return n, effects, jacobian, tuple(held)
