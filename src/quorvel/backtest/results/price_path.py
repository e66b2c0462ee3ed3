"""Each code's price along a run, for its charts: drawn from every sample the engines offer,
not only from the timeline's points, which are kept where the equity curve needs them and
leave a code's price out for days when nothing is held.

The run's trading time is cut into `BUCKETS` buckets of equal trading seconds; of the prices
sampled in a bucket the path keeps the lowest, the highest and the last, in time order, so
that a year's path has a few thousand points a code and still shows every swing the samples
saw.
"""

from __future__ import annotations

from array import array
from typing import Dict, List, Mapping, Tuple

BUCKETS = 1200


class _CodePath:
    """One code's kept points, and the lowest, highest and last price of its open bucket,
    each as (timestamp, price)."""

    def __init__(self) -> None:
        self.times, self.prices = array("d"), array("d")
        self.bucket = -1
        self.low = self.high = self.last = (0.0, 0.0)

    def add(self, bucket: int, timestamp: float, price: float) -> None:
        point = (timestamp, price)
        if bucket != self.bucket:
            for timestamp_kept, price_kept in self.open_points():
                self.times.append(timestamp_kept)
                self.prices.append(price_kept)
            self.bucket, self.low, self.high = bucket, point, point
        elif price < self.low[1]:
            self.low = point
        elif price > self.high[1]:
            self.high = point
        self.last = point

    def open_points(self) -> List[Tuple[float, float]]:
        """The open bucket's lowest, highest and last price, in time order, once each."""
        if self.bucket < 0:
            return []
        return sorted({self.low, self.high, self.last})


class PricePath:
    """Each code's sampled price, in buckets of `bucket_seconds` trading seconds (see the
    module's docstring)."""

    def __init__(self, bucket_seconds: float) -> None:
        self.bucket_seconds = bucket_seconds
        self._paths: Dict[str, _CodePath] = {}

    def add(self, position: float, timestamp: float, prices: Mapping[str, float]) -> None:
        """Take each code's last price at `timestamp`, `position` trading seconds into the
        run."""
        bucket = int(position // self.bucket_seconds)
        for code, price in prices.items():
            path = self._paths.get(code)
            if path is None:
                path = self._paths[code] = _CodePath()
            path.add(bucket, timestamp, price)

    def of(self, code: str) -> Tuple[List[float], List[float]]:
        """`code`'s path: its times (broker seconds) and its prices; empty before its first
        price."""
        path = self._paths.get(code)
        if path is None:
            return [], []
        points = [*zip(path.times, path.prices), *path.open_points()]
        return [time for time, _ in points], [price for _, price in points]
