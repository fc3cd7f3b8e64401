#!/usr/bin/env python3
"""sferix.dask.PartitionedTree next to the replicated tree, on LocalCluster(2 processes,
1 thread each, 127.0.0.1).

    python3 benchmarks/python/partitioned.py            # 10^6 points in 16 partitions, 10^5 queries
    python3 benchmarks/python/partitioned.py --quick    # 10^5 points, 10^4 queries

Prints: whether the partitioned joins (nearest k=1 and k=10, within 10 km) equal the one
tree's array queries exactly; the bytes each worker holds next to the one tree's
`to_bytes()`; the partitions a query goes to on average; and the nearest join's time next
to the replicated join's. Needs `dask[dataframe,distributed]` (pyarrow comes with it).
"""

from __future__ import annotations

import argparse
import os
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

POINT_SEED = 1
QUERY_SEED = 2
PARTITIONS = 16
INPUT_PARTITIONS = 8
QUERY_PARTITIONS = 4
RADIUS_M = 10_000.0
REPEAT = 3


def uniform(count: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    return np.column_stack((rng.uniform(-180, 180, count), np.degrees(np.arcsin(rng.uniform(-1, 1, count)))))


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
    args = parser.parse_args()
    n, queries_n = (100_000, 10_000) if args.quick else (1_000_000, 100_000)

    import dask
    import dask.dataframe as dd
    import distributed
    import pandas as pd

    import sferix
    import sferix.dask
    from sferix import _partitioned

    points = uniform(n, POINT_SEED)
    queries = uniform(queries_n, QUERY_SEED)
    single = sferix.GeodeticPointTree(points)
    single_bytes = len(single.to_bytes())
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(2)
        frame = dd.from_pandas(pd.DataFrame({"lon": points[:, 0], "lat": points[:, 1]}), npartitions=INPUT_PARTITIONS)
        asked = dd.from_pandas(pd.DataFrame({"lon": queries[:, 0], "lat": queries[:, 1]}),
                               npartitions=QUERY_PARTITIONS).persist()
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

        # The nearest join, partitioned and replicated, in turn.
        partitioned_s = replicated_s = replicated_call_s = float("inf")
        partitioned = sferix.dask.nearest(asked, tree)
        for _ in range(REPEAT):
            partitioned_s = min(partitioned_s, best_time(lambda: partitioned["nearest_metres"].sum().compute(), 1))
            start = time.perf_counter()
            replicated = sferix.dask.nearest(asked, single)
            replicated_call_s = min(replicated_call_s, time.perf_counter() - start)
            replicated_s = min(replicated_s, best_time(lambda: replicated["nearest_metres"].sum().compute(), 1))

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
    print(f"\nnearest join, k=1 (compute of the sum of nearest_metres, best of {REPEAT}):")
    print(f"  replicated:  {replicated_s:.3f} s (+ {replicated_call_s:.3f} s in the call, which sends the tree to both workers)")
    print(f"  partitioned: {partitioned_s:.3f} s = {partitioned_s / replicated_s:.2f}x replicated, "
          f"{partitioned_s / (replicated_s + replicated_call_s):.2f}x with the sending")


if __name__ == "__main__":
    main()
