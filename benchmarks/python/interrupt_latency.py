#!/usr/bin/env python3
"""How long Ctrl-C takes to stop heavy sferix calls.

    python3 benchmarks/python/interrupt_latency.py            # the ten cases, 10^6 points
    python3 benchmarks/python/interrupt_latency.py --delay 1  # SIGINT after 1 s instead

Each case starts one long call and, from a timer thread, sends the process SIGINT after
--delay seconds; the latency is the time from the signal to the KeyboardInterrupt
reaching Python. A case whose call ends before the signal is reported as such (it
needs a larger input, not a faster stop). The tree is checked after each stop: a
known query must still answer as before.
"""

from __future__ import annotations

import argparse
import os
import signal
import threading
import time

import numpy as np

import sferix

N = 1_000_000


def random_points(n: int, seed: int) -> np.ndarray:
    rng = np.random.default_rng(seed)
    z = rng.uniform(-1.0, 1.0, n)
    lon = rng.uniform(-180.0, 180.0, n)
    return np.column_stack([lon, np.degrees(np.arcsin(z))])


def ring_coords(count: int, seed: int) -> list[np.ndarray]:
    rng = np.random.default_rng(seed)
    centres = random_points(count, seed)
    angles = np.linspace(0.0, 2 * np.pi, 9)[:-1]
    rings = []
    for lon, lat in centres:
        r = 0.05 + 0.05 * rng.random()
        ring = np.column_stack([lon + r * np.cos(angles), np.clip(lat + r * np.sin(angles), -89.9, 89.9)])
        ring[:, 0] = (ring[:, 0] + 180.0) % 360.0 - 180.0
        rings.append(np.vstack([ring, ring[:1]]))
    return rings


def interrupt_after(delay: float, call) -> tuple[float | None, float]:
    """(latency in s, or None when the call finished first; the call's own time)."""
    sent: list[float] = []

    def fire() -> None:
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, fire)
    start = time.perf_counter()
    timer.start()
    try:
        call()
    except KeyboardInterrupt:
        stopped = time.perf_counter()
        return stopped - sent[0], stopped - start
    finished = time.perf_counter()
    timer.cancel()
    # The signal may still be on its way: let it arrive here, outside the call.
    try:
        timer.join()
        time.sleep(0.05)
    except KeyboardInterrupt:
        pass
    return None, finished - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delay", type=float, default=0.5, help="seconds before SIGINT (default 0.5)")
    args = parser.parse_args()

    points = random_points(N, 1)
    queries = random_points(4_000_000, 2)
    tree = sferix.GeodeticPointTree(points)
    stored = sferix.GeodeticPointTree(random_points(8 * N, 3)).to_bytes()
    doubled = queries.repeat(2, axis=0)
    rings = ring_coords(20_000, 4)
    polygons = sferix.GeodeticPolygonTree([[r.tolist()] for r in rings], oriented=False)
    lines = sferix.GeodeticLineStringTree([r.tolist() for r in rings])
    probe = (2.35, 48.86)
    expected = tree.nearest_with_distance(probe)

    cases = [
        ("query_nearest(P[:300], 100_000)", lambda: tree.query_nearest(points[:300], 100_000)),
        ("query_nearest(P[:300], 100_000, workers=2)", lambda: tree.query_nearest(points[:300], 100_000, workers=2)),
        ("query_nearest_wgs84(P[:300], 100_000)", lambda: tree.query_nearest_wgs84(points[:300], 100_000)),
        ("query_within_distance_wgs84(P[:4], 2.1e7, True)",
         lambda: tree.query_within_distance_wgs84(points[:4], 2.1e7, True)),
        ("query_within_distance(P[:64], 2e7, True, workers=2)",
         lambda: tree.query_within_distance(points[:64], 2e7, True, workers=2)),
        ("query_nearest(4e6 queries)", lambda: tree.query_nearest(queries)),
        ("GeodeticPointTree(8e6 points)", lambda: sferix.GeodeticPointTree(doubled)),
        # A load is quick: the signal comes at a fifth of the delay, so as to land midway.
        ("GeodeticPointTree.from_bytes(8e6 points)", lambda: sferix.GeodeticPointTree.from_bytes(stored), 0.2),
        ("polygon tree query_within_distance(P[:200], 2e7)",
         lambda: polygons.query_within_distance(points[:200], 2e7)),
        ("linestring tree query_nearest(P[:2000], 20_000)", lambda: lines.query_nearest(points[:2000], 20_000)),
    ]
    width = max(len(case[0]) for case in cases)
    print(f"SIGINT after {args.delay} s; latency = signal to KeyboardInterrupt")
    print(f"{'call':<{width}}  latency     call ran")
    worst = 0.0
    for label, call, *scale in cases:
        latency, ran = interrupt_after(args.delay * (scale[0] if scale else 1.0), call)
        intact = tree.nearest_with_distance(probe) == expected
        if latency is None:
            print(f"{label:<{width}}  (finished)  {ran:.3f} s")
        else:
            worst = max(worst, latency)
            print(f"{label:<{width}}  {latency * 1000:6.1f} ms   {ran:.3f} s{'' if intact else '  TREE CHANGED'}")
    print(f"worst latency: {worst * 1000:.1f} ms")


if __name__ == "__main__":
    main()
