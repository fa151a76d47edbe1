from typing import Literal

import pandas

__all__ = ["mfx"]

__version__: str

def mfx(
    model: object,
    chunk_size: int | None = ...,
    se_method: Literal["orvo", "sm"] | None = ...,
) -> pandas.DataFrame:
    """Average marginal effects of a fitted statsmodels Logit or Probit results object."""
