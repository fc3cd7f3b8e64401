#!/usr/bin/env python3
"""Mutated binary forms: none may load and answer differently, crash or hang.

    python3 benchmarks/python/fuzz_binary_form.py              # 27,000 buffers
    python3 benchmarks/python/fuzz_binary_form.py --count 900  # fewer
    python3 benchmarks/python/fuzz_binary_form.py --version 1  # buffers without checksum

A point tree, a linestring tree and a polygon tree are saved; each buffer is mutated
(bits flipped, bytes set, words overwritten, ranges swapped or copied, the buffer cut
or extended) and loaded in a child process with a time limit. A buffer that loads
must answer a fixed set of queries exactly as the saved tree does. Counts per kind:
refused, loaded with the same answers, loaded with different answers, crashes, hangs.
"""

from __future__ import annotations

import argparse
import random
import subprocess
import sys

CHILD = r"""
import pickle, sys
import numpy as np
import sferix

kind, originals, buffers = pickle.load(sys.stdin.buffer)
cls = getattr(sferix, kind)
queries = np.array([[2.35, 48.86], [-74.0, 40.7], [139.7, 35.7], [0.0, 0.0], [179.9, -89.0]])


def answers(tree):
    out = [len(tree), tree.query_nearest(queries, 3), tree.query_within_distance(queries, 2e6, True)]
    out += [tree.nearest_with_distance(tuple(q)) for q in queries]
    if kind == "GeodeticPointTree":
        out += [tree.nearest_with_distance_wgs84(tuple(q)) for q in queries]
        out += [tree.geometries()]
    else:
        out += [[g.to_bytes() for g in tree.geometries()]]
    return repr(out)


expected = answers(cls.from_bytes(originals))
counts = {"refused": 0, "same": 0, "different": 0}
for data in buffers:
    try:
        tree = cls.from_bytes(data)
    except ValueError:
        counts["refused"] += 1
        continue
    counts["same" if answers(tree) == expected else "different"] += 1
print(repr(counts))
"""


def mutate(data: bytes, rng: random.Random) -> bytes:
    buffer = bytearray(data)
    how = rng.randrange(8)
    if how == 0:
        for _ in range(rng.randint(1, 4)):
            bit = rng.randrange(len(buffer) * 8)
            buffer[bit // 8] ^= 1 << (bit % 8)
    elif how == 1:
        buffer[rng.randrange(len(buffer))] = rng.randrange(256)
    elif how == 2:
        at = rng.randrange(max(1, len(buffer) - 8))
        buffer[at:at + 8] = rng.randbytes(8)
    elif how == 3:
        size = rng.randint(1, 64)
        a, b = sorted(rng.sample(range(max(2, len(buffer) - size)), 2))
        if a + size <= b:
            buffer[a:a + size], buffer[b:b + size] = buffer[b:b + size], buffer[a:a + size]
    elif how == 4:
        size = rng.randint(1, 64)
        a, b = rng.randrange(len(buffer) - size), rng.randrange(len(buffer) - size)
        buffer[b:b + size] = buffer[a:a + size]
    elif how == 5:
        del buffer[rng.randrange(len(buffer)):]
    elif how == 6:
        buffer += rng.randbytes(rng.randint(1, 64))
    else:
        at = rng.randrange(len(buffer))
        del buffer[at:at + rng.randint(1, 32)]
    return bytes(buffer)


def as_version_1(data: bytes) -> bytes:
    """The same tree in format version 1: no checksum behind the body."""
    return data[:8] + (1).to_bytes(4, "little") + data[12:-8]


def sample_trees():
    import numpy as np

    import sferix

    rng = np.random.default_rng(5)
    lonlat = np.column_stack([rng.uniform(-179, 178, 300), rng.uniform(-80, 80, 300)])
    squares = [[(x, y), (x + 1, y), (x + 1, y + 1), (x, y + 1), (x, y)] for x, y in lonlat[:60]]
    return {
        "GeodeticPointTree": sferix.GeodeticPointTree(lonlat).to_bytes(),
        "GeodeticLineStringTree": sferix.GeodeticLineStringTree([s[:3] for s in squares]).to_bytes(),
        "GeodeticPolygonTree": sferix.GeodeticPolygonTree([[s] for s in squares]).to_bytes(),
    }


def run_batch(kind: str, original: bytes, buffers: list[bytes], timeout: float) -> dict[str, int]:
    import pickle

    try:
        done = subprocess.run([sys.executable, "-c", CHILD], input=pickle.dumps((kind, original, buffers)),
                              capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"hangs": 1}
    if done.returncode != 0:
        return {"crashes": 1, "stderr": done.stderr.decode()[-400:]}
    return eval(done.stdout.decode())  # our own child's repr of a dict of ints


def fuzz(count: int, seed: int = 1, batch: int = 300, timeout: float = 120.0,
         version: int = 2) -> dict[str, dict[str, int]]:
    rng = random.Random(seed)
    results = {}
    trees = sample_trees()
    if version == 1:
        trees = {kind: as_version_1(data) for kind, data in trees.items()}
    per_kind = count // len(trees)
    for kind, original in trees.items():
        totals = {"refused": 0, "same": 0, "different": 0, "crashes": 0, "hangs": 0}
        for start in range(0, per_kind, batch):
            buffers = [mutate(original, rng) for _ in range(min(batch, per_kind - start))]
            result = run_batch(kind, original, buffers, timeout)
            if "crashes" in result or "hangs" in result:
                # Find the culprits one by one, so the counts stay per buffer.
                for data in buffers:
                    single = run_batch(kind, original, [data], timeout / 10)
                    for key in totals:
                        totals[key] += single.get(key, 0)
                continue
            for key, value in result.items():
                totals[key] += value
        results[kind] = totals
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=27_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--version", type=int, choices=(1, 2), default=2)
    args = parser.parse_args()
    results = fuzz(args.count, args.seed, version=args.version)
    total = {key: sum(r[key] for r in results.values()) for key in next(iter(results.values()))}
    for kind, counts in [*results.items(), ("all", total)]:
        print(f"{kind:<24} " + "  ".join(f"{key} {value}" for key, value in counts.items()))
    sys.exit(1 if total["different"] or total["crashes"] or total["hangs"] else 0)


if __name__ == "__main__":
    main()
