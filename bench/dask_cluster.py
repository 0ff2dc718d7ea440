"""kivet.dask on a two-worker local cluster against one process on the same
machine, measured in the same run.

The points are generated on the workers: a Dask DataFrame made by
dd.from_map, one seeded generator call per partition, which dask fuses with
the partition's tree into one task (as it would a file reader). The
single-process baseline generates the very same points with the same calls,
then runs _cells_from_lonlat and Tree.from_cells. Both roots must agree.

Goals: cluster time <= 1.3x the single process; no worker's peak memory
above 2x its partition's (the lon and lat of its largest partition).
Prints the bytes each partition tree sends for the reduce.

Times are medians of --runs runs of each side. The default depth 6 gives
10^8 uniform points about 30 per cell (trees far smaller than the points);
deep, sparse settings grow a tree node per point and a level, and then the
trees, not the points, are what the workers hold and send.

usage: python bench/dask_cluster.py [--points N] [--partitions P] [--depth D]
                                    [--split-every K] [--runs R]
"""
import argparse
import logging
import os
import resource
import sys
import time

import numpy as np

import _kivet
import kivet.dask as kd

# Worker processes re-import this script without its directory on their path.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
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


def make_partition(seed, size):
    """`size` random points, uniform in degrees (denser towards the poles)."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    return pd.DataFrame({"lon": rng.uniform(-180.0, 180.0, size),
                         "lat": rng.uniform(-90.0, 90.0, size)})


def partition_sizes(n, partitions):
    return [n * (i + 1) // partitions - n * i // partitions for i in range(partitions)]


def points(n, partitions, seed):
    import dask.dataframe as dd

    sizes = partition_sizes(n, partitions)
    return dd.from_map(make_partition, [seed * 100_003 + i for i in range(partitions)], sizes)


def partition_tree_sizes(frame, depth):
    """The binary-form size of each partition's tree: what it sends for the reduce."""
    import pandas as pd

    trees = frame.map_partitions(kd._frame_tree, "lon", "lat", depth, None,
                                 meta=pd.Series([], dtype=object))
    return [len(t.to_bytes()) for t in trees.compute()]


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
    frame = points(n, args.partitions, seed=7)
    sizes = partition_sizes(n, args.partitions)
    partition_bytes = 16 * max(sizes)

    def one_process():
        # The same points, generated here by the same calls.
        x = np.empty(n)
        y = np.empty(n)
        at = 0
        for i, size in enumerate(sizes):
            part = make_partition(7 * 100_003 + i, size)
            x[at:at + size] = part["lon"].to_numpy()
            y[at:at + size] = part["lat"].to_numpy()
            at += size
            del part
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
        kd.tree_from_points(points(10_000, 4, seed=1), args.depth,
                            split_every=args.split_every)
        before = client.run(current_rss)
        client.run(reset_peak)

        def cluster_run():
            return kd.tree_from_points(frame, args.depth, split_every=args.split_every)

        tree = cluster_run()
        peaks = client.run(peak_rss)
        cluster_time = median_time(cluster_run, args.runs)
        tree_sizes = partition_tree_sizes(frame, args.depth)

    assert tree.root_hex == single_root, "cluster and single-process roots differ"
    levels = 0
    count = args.partitions
    while count > 1:
        count = -(-count // args.split_every)
        levels += 1
    print(f"points {n:.3g}, partitions {args.partitions} of {max(sizes)} points "
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
    print(f"partition tree bytes sent for the reduce: min {min(tree_sizes)}, median "
          f"{int(np.median(tree_sizes))}, max {max(tree_sizes)}, total {sum(tree_sizes)}; "
          f"final tree {len(tree.to_bytes())} bytes")


if __name__ == "__main__":
    main()
