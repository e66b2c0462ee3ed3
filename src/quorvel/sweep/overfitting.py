"""How much of a sweep's best combination is luck: two statistics over the runs' daily returns.

* The deflated Sharpe ratio (Bailey and López de Prado, "The Deflated Sharpe
  Ratio: Correcting for Selection Bias, Backtest Overfitting, and
  Non-Normality", Journal of Portfolio Management 40(5), 2014): the
  probability that the best combination's true Sharpe ratio is above the
  highest one that as many trials without any skill would be expected to show,
  given the trials' spread, the best's skewness and kurtosis and its number of
  days.
* The probability of backtest overfitting (Bailey, Borwein, López de Prado
  and Zhu, "The Probability of Backtest Overfitting", Journal of
  Computational Finance 20(4), 2017), by combinatorially symmetric
  cross-validation: the days are cut into S blocks, and for every way of
  choosing half of them as the in-sample days, the combination best on those
  is ranked among all on the other half; the share of ways in which it lands
  on or below the median.

Both read Sharpe ratios per day (not annualised), as the papers write them.
docs/sweeps.md writes the formulas out and says how to read them.
"""

from __future__ import annotations

import itertools
import math
import statistics
from dataclasses import dataclass, field
from typing import Any, Dict, FrozenSet, List, Optional, Sequence, Tuple

from quorvel.backtest.results.evaluation import TRADING_DAYS_PER_YEAR

# The number of blocks the days are cut into unless told otherwise (the papers' example); fewer
# when the days are fewer, one day a block at the least.
DEFAULT_PBO_SPLITS = 16
# The most blocks an option may ask for: the ways of halving them, C(S, S/2), grow fast (184,756
# at 20), and each way ranks every combination on both halves.
MAX_PBO_SPLITS = 20
# Each half of the days needs two of them for a Sharpe ratio, so two blocks of two days at least.
MIN_PBO_DAYS = 4
EULER_MASCHERONI = 0.5772156649015329

_NORMAL = statistics.NormalDist()


def daily_sharpe(returns: Sequence[float]) -> Optional[float]:
    """Mean over standard deviation of daily returns, not annualised; 0 for returns that are
    all 0 (a run that never traded), None with fewer than two days or returns that are
    otherwise constant."""
    if len(returns) < 2:
        return None
    deviation = statistics.stdev(returns)
    if deviation == 0:
        return 0.0 if not any(returns) else None
    return statistics.mean(returns) / deviation


def expected_maximum_sharpe(trials: int, variance: float) -> float:
    """The expected highest of `trials` Sharpe ratios of strategies without skill whose
    estimates vary by `variance` (the deflated Sharpe ratio paper's SR0, after the false
    strategy theorem); it needs two trials at least."""
    gamma = EULER_MASCHERONI
    quantiles = (1 - gamma) * _NORMAL.inv_cdf(1 - 1 / trials) + gamma * _NORMAL.inv_cdf(
        1 - 1 / (trials * math.e)
    )
    return math.sqrt(variance) * quantiles


def deflated_sharpe_ratio(
    sharpe: float, benchmark: float, days: int, skewness: float, kurtosis: float
) -> Optional[float]:
    """The probability that the true Sharpe ratio is above `benchmark`, given `sharpe`
    measured over `days` returns of that `skewness` and `kurtosis` (not excess: 3 for normal
    returns); with `benchmark` the expected maximum of the trials, this is the deflated Sharpe
    ratio.  None where the estimate's variance vanishes (degenerate returns)."""
    variance = 1 - skewness * sharpe + (kurtosis - 1) / 4 * sharpe**2
    if variance <= 0 or days < 2:
        return None
    return _NORMAL.cdf((sharpe - benchmark) * math.sqrt(days - 1) / math.sqrt(variance))


def moments(returns: Sequence[float]) -> Optional[Tuple[float, float]]:
    """Skewness and kurtosis (not excess) of the returns from their central moments, as the
    deflated Sharpe ratio paper takes them; None for returns that do not vary."""
    mean = statistics.fmean(returns)
    second, third, fourth = (
        math.fsum((value - mean) ** power for value in returns) / len(returns)
        for power in (2, 3, 4)
    )
    if second == 0:
        return None
    return third / second**1.5, fourth / second**2


def check_pbo_splits(splits: int) -> int:
    """`splits` if it is a number of blocks that can be halved; a ValueError otherwise."""
    if not 2 <= splits <= MAX_PBO_SPLITS or splits % 2:
        raise ValueError(
            f"the blocks of days are an even number from 2 to {MAX_PBO_SPLITS}, not {splits}"
        )
    return splits


def pbo_splits_for(days: int, asked: Optional[int] = None) -> int:
    """The number of blocks for `days` days: `asked` (or the default), no more than the days,
    and even."""
    splits = min(asked or DEFAULT_PBO_SPLITS, days)
    return splits - splits % 2


def probability_of_overfitting(returns: Sequence[Sequence[float]], splits: int) -> float:
    """The probability of backtest overfitting of the trials' daily `returns` (one sequence per
    trial, all over the same days) cut into `splits` blocks (even, at most the days): the share
    of the C(S, S/2) halvings in which the combination with the highest Sharpe ratio on the
    in-sample half ranks on or below the median of all on the other half (a logit of its
    relative rank at most 0, as the paper counts it).

    The paper asks for blocks of equal length; where the days do not divide, the first blocks
    are a day longer, so that no day is left out.
    """
    trials, days = len(returns), len(returns[0])
    size, longer = divmod(days, splits)
    bounds = [0]
    for block in range(splits):
        bounds.append(bounds[-1] + size + (block < longer))
    # Each block's count, and each trial's sum and sum of squares in it: a half's Sharpe ratio
    # adds up its blocks' sums instead of reading its days again.
    counts = [bounds[b + 1] - bounds[b] for b in range(splits)]
    sums = [[math.fsum(r[bounds[b] : bounds[b + 1]]) for r in returns] for b in range(splits)]
    squares = [
        [math.fsum(v * v for v in r[bounds[b] : bounds[b + 1]]) for r in returns]
        for b in range(splits)
    ]
    halves = list(itertools.combinations(range(splits), splits // 2))
    figures: Dict[FrozenSet[int], List[float]] = {}
    for half in halves:
        count = sum(counts[b] for b in half)
        total = [sum(column) for column in zip(*(sums[b] for b in half))]
        total_squares = [sum(column) for column in zip(*(squares[b] for b in half))]
        figures[frozenset(half)] = [
            _half_sharpe(s, q, count) for s, q in zip(total, total_squares)
        ]
    everything = frozenset(range(splits))
    overfit = 0
    for half in halves:
        in_sample, out_of_sample = figures[frozenset(half)], figures[everything - frozenset(half)]
        chosen = max(range(trials), key=in_sample.__getitem__)
        below = sum(value < out_of_sample[chosen] for value in out_of_sample)
        tied = sum(value == out_of_sample[chosen] for value in out_of_sample)
        # The chosen one's relative rank w = (below + (tied + 1) / 2) / (N + 1), its logit
        # ln(w / (1 - w)) at most 0 when 2 * below + tied + 1 <= N + 1; in whole numbers, so
        # that a rank on the median (logit 0) is not lost to rounding.
        overfit += 2 * below + tied + 1 <= trials + 1
    return overfit / len(halves)


def _half_sharpe(total: float, squares: float, count: int) -> float:
    """The Sharpe ratio of `count` returns from their sum and sum of squares; returns that do
    not vary rank by their sign (a flat run at 0)."""
    variance = (squares - total * total / count) / (count - 1)
    if variance <= squares * 1e-12:  # no variation beyond rounding
        return math.copysign(math.inf, total) if total else 0.0
    return total / count / math.sqrt(variance)


@dataclass(frozen=True)
class Overfitting:
    """The two statistics of a sweep and the inputs they were computed from; a statistic that
    could not be computed is None, and `notes` say why.

    The Sharpe ratios here are per day (multiply by the square root of 252 for the yearly
    figure of the table).
    """

    trials: int  # the runs finished: every combination the sweep or its search tried
    days: int  # the daily returns of each run
    deflated_sharpe: Optional[float] = None
    best_daily_sharpe: Optional[float] = None
    expected_max_daily_sharpe: Optional[float] = None
    daily_sharpe_variance: Optional[float] = None
    skewness: Optional[float] = None
    kurtosis: Optional[float] = None
    pbo: Optional[float] = None
    splits: Optional[int] = None
    halvings: Optional[int] = None  # C(splits, splits / 2)
    notes: List[str] = field(default_factory=list)

    def as_dict(self) -> Dict[str, Any]:
        """The statistics and their inputs, as sweep.json and the report page hold them."""
        return {name: getattr(self, name) for name in self.__dataclass_fields__}

    def lines(self) -> List[str]:
        """The statistics in words, for under the sweep's table."""
        year = math.sqrt(TRADING_DAYS_PER_YEAR)
        lines = []
        if self.deflated_sharpe is not None:
            best, luck = self.best_daily_sharpe or 0.0, self.expected_max_daily_sharpe or 0.0
            lines += [
                f"deflated Sharpe ratio {self.deflated_sharpe:.2f}: the best's Sharpe "
                f"{best * year:.2f} against {luck * year:.2f} expected",
                f"  of the best of {self.trials} trials without skill, over {self.days} days",
            ]
        if self.pbo is not None:
            lines.append(
                f"probability of backtest overfitting {self.pbo:.2f}: "
                f"{self.splits} blocks of days, {self.halvings:,} halvings"
            )
        return lines + self.notes


def overfitting_of(
    returns: Sequence[Sequence[float]], splits: Optional[int] = None, ranked: bool = True
) -> Overfitting:
    """Both statistics of the finished runs' daily `returns`, the best combination's first;
    the probability of backtest overfitting over `splits` blocks (default 16, fewer when the
    days are fewer).  Without a best (not `ranked`: no run has the ranking figure, so the
    first is only first in the grid) there is no deflated Sharpe ratio."""
    trials = len(returns)
    days = len(returns[0]) if returns else 0
    values: Dict[str, Any] = {}
    notes = []
    sharpes = [daily_sharpe(r) for r in returns]
    shape = moments(returns[0]) if days >= 2 else None
    if trials < 2:
        notes.append("overfitting statistics: they need two finished runs")
    elif not ranked:
        notes.append("deflated Sharpe ratio: no finished run has the ranking figure to be best")
    elif sharpes[0] is None or shape is None:
        notes.append("deflated Sharpe ratio: the best run's daily returns do not vary")
    else:
        known = [sharpe for sharpe in sharpes if sharpe is not None]
        variance = statistics.variance(known) if len(known) > 1 else 0.0
        benchmark = expected_maximum_sharpe(trials, variance)
        values.update(
            deflated_sharpe=deflated_sharpe_ratio(sharpes[0], benchmark, days, *shape),
            best_daily_sharpe=sharpes[0],
            expected_max_daily_sharpe=benchmark,
            daily_sharpe_variance=variance,
            skewness=shape[0],
            kurtosis=shape[1],
        )
    if trials >= 2:
        if any(len(r) != days for r in returns):
            notes.append("probability of backtest overfitting: the runs' days differ")
        elif days < MIN_PBO_DAYS:
            notes.append(f"probability of backtest overfitting: it needs {MIN_PBO_DAYS} days")
        else:
            used = pbo_splits_for(days, splits)
            values.update(
                pbo=probability_of_overfitting(returns, used),
                splits=used,
                halvings=math.comb(used, used // 2),
            )
    return Overfitting(trials, days, notes=notes, **values)
