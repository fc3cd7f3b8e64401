#!/usr/bin/env python3
"""sferix.dask.PartitionedTree next to the replicated tree, on LocalCluster(2 processes,
1 thread each, 127.0.0.1).

    python3 benchmarks/python/partitioned.py            # 10^6 points in 16 partitions, 10^5 queries
    python3 benchmarks/python/partitioned.py --quick    # 10^5 points, 10^4 queries
    python3 benchmarks/python/partitioned.py --repeat 10   # best of 10 timings, for a busy machine

Prints: whether the partitioned joins (nearest k=1 and k=10, within 10 km) equal the one
tree's array queries exactly; the bytes each worker holds next to the one tree's
`to_bytes()`; the partitions a query goes to on average; and the nearest join's time next
to the replicated join's. Needs `dask[dataframe,distributed]` (pyarrow comes with it).
"""

from __future__ import annotations

import argparse
import math
import time
from typing import Any

# compare.py's uniform points and seeds, and its setting of NumPy's BLAS threads.
from compare import POINT_SEED, QUERY_SEED, random_lonlat  # noqa: E402
import numpy as np  # noqa: E402

PARTITIONS = 16
INPUT_PARTITIONS = 8
QUERY_PARTITIONS = 4
RADIUS_M = 10_000.0
REPEAT = 3


def uniform(count: int, seed: int) -> np.ndarray:
    return np.column_stack(random_lonlat(count, seed))


def chunk(seed: int, count: int, start: int) -> Any:
    """One partition of (lon, lat) rows labelled by row number from `start`, made where it
    is computed (on a worker)."""
    import pandas as pd

    lonlat = uniform(count, seed)
    return pd.DataFrame({"lon": lonlat[:, 0], "lat": lonlat[:, 1]}, index=start + np.arange(count))


def frame_of(seed: int, count: int, partitions: int) -> tuple[Any, np.ndarray]:
    """A Dask DataFrame of `count` uniform rows made on the workers, and the same rows here."""
    import dask.dataframe as dd

    seeds = [seed * 1000 + i for i in range(partitions)]
    sizes = [count // partitions + (i < count % partitions) for i in range(partitions)]
    starts = np.concatenate(([0], np.cumsum(sizes)[:-1])).tolist()
    frame = dd.from_map(chunk, seeds, sizes, starts, meta=chunk(0, 0, 0))
    return frame, np.vstack([uniform(size, s) for s, size in zip(seeds, sizes)])


def worker_rss() -> int:
    import psutil

    return psutil.Process().memory_info().rss


def best_time(run, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10^5 points and 10^4 queries")
    parser.add_argument("--repeat", type=int, default=REPEAT, help=f"timings of each join, the best kept "
                        f"(default {REPEAT})")
    args = parser.parse_args()
    n, queries_n = (100_000, 10_000) if args.quick else (1_000_000, 100_000)

    import dask
    import dask.dataframe as dd
    import distributed
    import pandas as pd

    import sferix
    import sferix.dask
    from sferix import _partitioned

    frame, points = frame_of(POINT_SEED, n, INPUT_PARTITIONS)
    asked, queries = frame_of(QUERY_SEED, queries_n, QUERY_PARTITIONS)
    single = sferix.GeodeticPointTree(points)
    single_bytes = len(single.to_bytes())
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(2)
        asked = asked.persist()
        distributed.wait(asked)
        rss_before = client.run(worker_rss)
        start = time.perf_counter()
        tree = sferix.dask.PartitionedTree(frame, npartitions=PARTITIONS)
        build_s = time.perf_counter() - start
        rss_after = client.run(worker_rss)

        # Equality with the one tree.
        checks = []
        for k in (1, 10):
            joined = _partitioned.nearest(asked, tree, lon="lon", lat="lat", k=k, max_distance=None, wgs84=False,
                                          count=True).compute()
            positions, metres = single.query_nearest(queries, k)
            suffixes = [""] if k == 1 else [f"_{i}" for i in range(1, k + 1)]
            got_positions = joined[[f"nearest_position{s}" for s in suffixes]].to_numpy()
            got_metres = joined[[f"nearest_metres{s}" for s in suffixes]].to_numpy()
            same = (np.array_equal(got_positions, positions.reshape(-1, k))
                    and np.array_equal(got_metres, metres.reshape(-1, k)))
            checks.append((f"nearest k={k}", same, joined["partitions"].mean()))
        pairs = sferix.dask.within_distance(asked, tree, RADIUS_M).compute()
        found, metres = single.query_within_distance(queries, RADIUS_M, return_distance=True)
        expected = pd.DataFrame({"row": found[0], "position": found[1], "metres": metres})
        expected = expected.sort_values(["row", "position"], kind="stable").reset_index(drop=True)
        same = pairs.reset_index(drop=True).equals(expected)
        touched = tree._router.partitions_touched(queries_n, *tree._router.within(queries, RADIUS_M, False))
        checks.append((f"within {RADIUS_M / 1000:g} km ({len(pairs):,} pairs)", same, touched.mean()))

        # What each worker holds.
        held: dict[str, int] = {}
        futures = [part for part in tree._parts if part is not None]
        sizes = client.nbytes(summary=False)
        for future, where in zip(futures, (client.who_has(futures)[f.key] for f in futures)):
            for worker in where:
                held[worker] = held.get(worker, 0) + sizes[future.key]

        # The nearest join, partitioned and replicated, in turn; each call makes a new graph.
        timings: dict[str, list[float]] = {"partitioned": [math.inf, math.inf], "replicated": [math.inf, math.inf]}
        for _ in range(args.repeat):
            for name, against in (("partitioned", tree), ("replicated", single)):
                start = time.perf_counter()
                joined = sferix.dask.nearest(asked, against)["nearest_metres"].sum()
                called = time.perf_counter()
                joined.compute()
                done = time.perf_counter()
                timings[name][0] = min(timings[name][0], called - start)
                timings[name][1] = min(timings[name][1], done - called)

    print(f"PartitionedTree: {n:,} uniform points in {PARTITIONS} partitions, {queries_n:,} queries in "
          f"{QUERY_PARTITIONS} partitions, LocalCluster(2 processes, 1 thread each); "
          f"dask {dask.__version__}, distributed {distributed.__version__}")
    print(f"build: {build_s:.2f} s (sample, split, 16 trees built on the workers)\n")
    print(f"{'join':<34} {'equals one tree':<16} partitions per query")
    for name, same, touched in checks:
        print(f"{name:<34} {'yes' if same else 'NO':<16} {touched:.3f}")
    print(f"\none tree's to_bytes(): {single_bytes / 1e6:.1f} MB")
    for worker, size in sorted(held.items()):
        grown = (rss_after[worker] - rss_before[worker]) / 1e6
        print(f"worker {worker}: holds {size / 1e6:.1f} MB = {size / single_bytes:.3f} of the one tree "
              f"(resident set grew {grown:.1f} MB while building)")
    print(f"\nnearest join, k=1, summing nearest_metres on the workers (best of {args.repeat}, taken in turn):")
    print(f"{'':<13} {'call':>8} {'compute':>8} {'both':>8}")
    for name, (call_s, compute_s) in timings.items():
        print(f"{name:<13} {call_s:>7.3f}s {compute_s:>7.3f}s {call_s + compute_s:>7.3f}s")
    (pc, pt), (rc, rt) = timings["partitioned"], timings["replicated"]
    print(f"partitioned / replicated: {pt / rt:.2f}x the compute, {(pc + pt) / (rc + rt):.2f}x call and compute\n"
          "(the replicated call sends the whole tree to every worker, as each call does; the partitioned\n"
          "call asks the scheduler where the trees are)")


if __name__ == "__main__":
    main()
