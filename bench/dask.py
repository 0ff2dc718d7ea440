"""kivet.dask on a two-worker local cluster against one process on the same
machine, measured in the same run.

The points are generated on the workers (dask.array's random generator, one
block per partition). The single-process baseline generates the very same
points (the same graph, run in this process with the synchronous scheduler),
then runs _cells_from_lonlat and Tree.from_cells. Both roots must agree.

Goals: cluster time <= 1.3x the single process; no worker's peak memory
above 2x its partition's (the lon and lat of its largest block).
Prints the bytes each partition tree sends for the reduce.

Times are medians of --runs runs of each side. The default depth 6 gives
10^8 uniform points about 30 per cell (trees far smaller than the points);
deep, sparse settings grow a tree node per point and a level, and then the
trees, not the points, are what the workers hold and send.

usage: python bench/dask.py [--points N] [--partitions P] [--depth D]
                            [--split-every K] [--runs R]
"""
import os
import sys

# This file is named like the package it measures: keep its directory off the
# import path, here and in the worker processes, which inherit the path.
_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or ".") != _HERE]

import argparse  # noqa: E402
import logging  # noqa: E402
import resource  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import _kivet  # noqa: E402
import kivet.dask as kd  # noqa: E402

sys.path.insert(0, _HERE)
from timing import median_time  # noqa: E402

del sys.path[0]


def peak_rss():
    """Peak resident memory of the calling process since reset_peak, bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def reset_peak():
    """Starts the peak over from the current size (Linux clear_refs 5)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def points(n, partitions, seed):
    import dask.array as da

    rng = da.random.default_rng(seed)
    chunk = -(-n // partitions)
    # Uniform in degrees (denser towards the poles): one array per coordinate and no
    # temporaries, so a worker's memory is the partition's and the build's.
    lon = rng.uniform(-180.0, 180.0, size=n, chunks=chunk)
    lat = rng.uniform(-90.0, 90.0, size=n, chunks=chunk)
    return lon, lat


def partition_tree_sizes(lon, lat, depth):
    """The binary-form size of each partition's tree: what it sends for the reduce."""
    import dask

    tasks = [dask.delayed(kd._block_tree)(x, y, 0, depth, None)
             for x, y in zip(lon.to_delayed().ravel(), lat.to_delayed().ravel())]
    return [len(t.to_bytes()) for t in dask.compute(*tasks)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=float, default=1e8)
    parser.add_argument("--partitions", type=int, default=16)
    parser.add_argument("--depth", type=int, default=6)
    parser.add_argument("--split-every", type=int, default=8)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    n = int(args.points)

    import distributed

    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    lon, lat = points(n, args.partitions, seed=7)
    partition_bytes = 16 * max(lon.chunks[0])

    def one_process():
        # The same points, generated here.
        x = lon.compute(scheduler="sync")
        y = lat.compute(scheduler="sync")
        cids = _kivet._cells_from_lonlat(x, y, args.depth)
        return _kivet.Tree.from_cells(cids, args.depth).root_hex

    base = current_rss()
    reset_peak()
    single_root = one_process()
    single_peak = peak_rss() - base
    single_time = median_time(one_process, args.runs)

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0",
                                  silence_logs=logging.CRITICAL) as cluster, \
            distributed.Client(cluster) as client:
        # Warmed up (imports, first graph) before anything is measured.
        warm = points(10_000, 4, seed=1)
        kd.tree_from_lonlat(*warm, args.depth, split_every=args.split_every)
        before = client.run(current_rss)
        client.run(reset_peak)

        def cluster_run():
            return kd.tree_from_lonlat(lon, lat, args.depth, split_every=args.split_every)

        tree = cluster_run()
        peaks = client.run(peak_rss)
        cluster_time = median_time(cluster_run, args.runs)
        sizes = partition_tree_sizes(lon, lat, args.depth)

    assert tree.root_hex == single_root, "cluster and single-process roots differ"
    levels = 0
    count = args.partitions
    while count > 1:
        count = -(-count // args.split_every)
        levels += 1
    print(f"points {n:.3g}, partitions {args.partitions} of {max(lon.chunks[0])} points "
          f"({partition_bytes / 2**20:.0f} MiB of lon/lat each), depth {args.depth}, "
          f"split_every {args.split_every} ({levels} reduce levels)")
    print(f"root {single_root} (equal)")
    print(f"single process: {single_time:8.2f} s   peak +{single_peak / 2**20:.0f} MiB")
    print(f"2-worker cluster: {cluster_time:6.2f} s   ratio cluster/single "
          f"{cluster_time / single_time:.2f} (goal <= 1.3)")
    for address, peak in sorted(peaks.items()):
        grown = peak - before[address]
        print(f"worker {address}: peak {peak / 2**20:.0f} MiB, +{grown / 2**20:.0f} MiB over "
              f"its idle size = {grown / partition_bytes:.2f}x its partition (goal <= 2)")
    print(f"partition tree bytes sent for the reduce: min {min(sizes)}, median "
          f"{int(np.median(sizes))}, max {max(sizes)}, total {sum(sizes)}; "
          f"final tree {len(tree.to_bytes())} bytes")


if __name__ == "__main__":
    main()
