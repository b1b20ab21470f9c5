"""The few statistics the report prints."""

import math


def median(values):
    ordered = sorted(values)
    n = len(ordered)
    if n == 0:
        return None
    middle = n // 2
    return ordered[middle] if n % 2 else (ordered[middle - 1] + ordered[middle]) / 2.0


def percentile(values, fraction):
    """Nearest-rank percentile: a value that occurred, never one in between."""
    ordered = sorted(values)
    if not ordered:
        return None
    rank = max(1, math.ceil(fraction * len(ordered)))
    return ordered[rank - 1]


def spread(values):
    """(median, 95th percentile, max) or None for no values."""
    if not values:
        return None
    return median(values), percentile(values, 0.95), max(values)
