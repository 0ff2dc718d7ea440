"""The one timing rule of the benchmarks: the median of several runs."""
import statistics
import time


def median_time(fn, runs=5):
    """Median wall time of `fn()` over `runs` calls; freeing its result is not timed."""
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)
