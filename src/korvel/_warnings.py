"""KorvelWarning: what a run did that its caller may not have meant, said once per run.

A run that scales weights down, trades nothing, holds instruments without a
price, or runs on prices or costs that look like a mistake still completes:
the layer says so with one warning per kind, naming the first dates and
instruments, instead of leaving a silently different result.
"""

from __future__ import annotations

import warnings

#: The kinds of warning, by the short name a sweep's `warnings` table uses as its columns.
KINDS = {
    "gross": "weights scaled down to a gross sum of max_gross",
    "ruin": "the portfolio value fell to 0 or below: every holding closed, trading stopped",
    "no_trade": "no trade at all",
    "no_price": "weights on instruments without a trading price",
    "ohlc": "prices that do not hang together",
    "cost": "a fee or tax of 5% or more",
    "timezone": "weights dated in another timezone than the market",
    "limit": "position_limit capping weights on more than a tenth of the weight rows",
    "benchmark": "a benchmark without a price on some dates of the run",
    "sweep": "combinations of a sweep that left warnings (see Sweep.warnings)",
    "impact": "fills the impact model had no estimate for (no impact charged on them)",
    "lot": "allocations too small for one lot (left at no holding)",
    "participation": "fills participation could not cap (no volume estimate for their cell)",
}


class KorvelWarning(UserWarning):
    """A run (or a market) that completed but is probably not what was meant.

    Parameters
    ----------
    message : str
        What happened, naming the first dates and instruments, and what to do.
    kind : str
        Its short name: "gross", "ruin", "no_trade", "no_price", "ohlc", "cost",
        "timezone", "limit", "benchmark", "impact", "lot", "participation" or "sweep" (the count of a sweep's
        combinations that left warnings).

    Each kind is said at most once per run.  In a sweep, the warnings are
    collected per combination (`Sweep.warnings`) instead of being shown.
    Silence one with ``warnings.filterwarnings("ignore", category=korvel.KorvelWarning)``.
    """

    def __init__(self, message: str, kind: str = "") -> None:
        super().__init__(message)
        self.kind = kind

    def __reduce__(self) -> tuple[type[KorvelWarning], tuple[str, str]]:
        return (KorvelWarning, (str(self), self.kind))


def warn(kind: str, message: str, stacklevel: int) -> None:
    """Warn `message` as a `KorvelWarning` of `kind`, `stacklevel` counted from the caller."""
    warnings.warn(KorvelWarning(message, kind), stacklevel=stacklevel + 1)
