"""The one timing rule of the benchmarks: the median of several runs."""
import statistics
import time


def median_time(fn, runs=5, clock=time.perf_counter):
    """Median time of `fn()` over `runs` calls, wall time unless another `clock` is given
    (time.thread_time: the calling thread's CPU); freeing its result is not timed."""
    times = []
    for _ in range(runs):
        start = clock()
        result = fn()
        times.append(clock() - start)
        del result
    return statistics.median(times)


def verdict(ok):
    return "met" if ok else "NOT met"
