#!/usr/bin/env python3
"""Mutated binary forms: none may load and answer differently, crash or hang.

    python3 benchmarks/python/fuzz_binary_form.py              # 27,000 buffers
    python3 benchmarks/python/fuzz_binary_form.py --count 900  # fewer
    python3 benchmarks/python/fuzz_binary_form.py --version 1  # buffers without checksum
    python3 benchmarks/python/fuzz_binary_form.py --resealed   # checksum made right after each

A point tree, a linestring tree and a polygon tree are saved; each buffer is mutated
(bits flipped, bytes set, words overwritten, ranges swapped or copied, the buffer cut
or extended) and loaded in a child process with a time limit. A buffer that loads
must answer a fixed set of queries exactly as the saved tree does. With --resealed each
mutated point tree gets the checksum of its new bytes, as a deliberate edit would, so
that the loader's own checks, not the checksum, decide: a buffer with a checksum is
checked in one pass, and must be refused, or load and answer, exactly as the same
bytes in version 1 (no checksum), checked one check at a time. (Some edits load in
both: a coordinate moved by less than the leaf check's 11 nm; an edited linestring or
polygon is just another valid one, so only the point tree is fuzzed so.) Counts per kind:
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


def outcome(data):
    try:
        return answers(cls.from_bytes(data))
    except ValueError:
        return None


# Each buffer with what it must give: the saved tree's answers, or (resealed) what its
# version 1 form gives, checked one check at a time.
if originals is not None:
    expected = outcome(originals)
    buffers = [(data, expected) for data in buffers]
else:
    buffers = [(data, outcome(oracle)) for data, oracle in buffers]
counts = {"refused": 0, "same": 0, "different": 0}
for data, wanted in buffers:
    got = outcome(data)
    # Refusing is always right against the saved tree; resealed, only where version 1
    # refuses the same bytes too.
    refused_rightly = got is None and (originals is not None or wanted is None)
    counts["refused" if refused_rightly else "same" if got == wanted else "different"] += 1
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


MASK = (1 << 64) - 1
P1, P2, P3, P4, P5 = (0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9, 0x85EBCA77C2B2AE63,
                      0x27D4EB2F165667C5)


def _rotl(x: int, r: int) -> int:
    return ((x << r) | (x >> (64 - r))) & MASK


def _round(lane: int, word: int) -> int:
    return (_rotl((lane + word * P2) & MASK, 31) * P1) & MASK


def xxh64(data: bytes) -> int:
    """XXH64 with seed 0, written from the published algorithm (slow: for small buffers)."""
    n = len(data)
    at = 0
    if n >= 32:
        lanes = [(P1 + P2) & MASK, P2, 0, (-P1) & MASK]
        while at + 32 <= n:
            for i in range(4):
                lanes[i] = _round(lanes[i], int.from_bytes(data[at + 8 * i:at + 8 * i + 8], "little"))
            at += 32
        h = (_rotl(lanes[0], 1) + _rotl(lanes[1], 7) + _rotl(lanes[2], 12) + _rotl(lanes[3], 18)) & MASK
        for lane in lanes:
            h = ((h ^ _round(0, lane)) * P1 + P4) & MASK
    else:
        h = P5
    h = (h + n) & MASK
    while at + 8 <= n:
        h = (_rotl(h ^ _round(0, int.from_bytes(data[at:at + 8], "little")), 27) * P1 + P4) & MASK
        at += 8
    if at + 4 <= n:
        h = (_rotl(h ^ (int.from_bytes(data[at:at + 4], "little") * P1 & MASK), 23) * P2 + P3) & MASK
        at += 4
    while at < n:
        h = (_rotl(h ^ (data[at] * P5 & MASK), 11) * P1) & MASK
        at += 1
    h ^= h >> 33
    h = h * P2 & MASK
    h ^= h >> 29
    h = h * P3 & MASK
    return h ^ (h >> 32)


def resealed(data: bytes) -> bytes:
    """The buffer with the checksum of its bytes before it: XXH64 of the 1 MiB blocks' XXH64s."""
    if len(data) < 40 or data[:8] != b"SFERIX\x00\x01" or int.from_bytes(data[8:12], "little") < 2:
        return data  # not a form with a checksum
    covered = data[:-8]
    block = 1 << 20
    digests = b"".join(xxh64(covered[i:i + block]).to_bytes(8, "little")
                       for i in range(0, max(len(covered), 1), block))
    return covered + xxh64(digests).to_bytes(8, "little")


def checked_one_at_a_time(data: bytes) -> bytes:
    """The same body in version 1, when `data` announces a version with a checksum;
    else the same buffer resealed (its version refuses it, or it has no checksum)."""
    if len(data) >= 40 and int.from_bytes(data[8:12], "little") in (2, 3):
        return as_version_1(data)
    return resealed(data)


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
         version: int = 2, reseal: bool = False) -> dict[str, dict[str, int]]:
    rng = random.Random(seed)
    results = {}
    trees = sample_trees()
    assert all(resealed(data) == data for data in trees.values()), "resealed() must agree with the writer"
    if version == 1:
        trees = {kind: as_version_1(data) for kind, data in trees.items()}
    if reseal:
        trees = {"GeodeticPointTree": trees["GeodeticPointTree"]}
    per_kind = count // len(trees)
    for kind, original in trees.items():
        totals = {"refused": 0, "same": 0, "different": 0, "crashes": 0, "hangs": 0}
        for start in range(0, per_kind, batch):
            buffers = [mutate(original, rng) for _ in range(min(batch, per_kind - start))]
            if reseal:
                buffers = [(resealed(data), checked_one_at_a_time(data)) for data in buffers]
            result = run_batch(kind, None if reseal else original, buffers, timeout)
            if "crashes" in result or "hangs" in result:
                # Find the culprits one by one, so the counts stay per buffer.
                for data in buffers:
                    single = run_batch(kind, None if reseal else original, [data], timeout / 10)
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
    parser.add_argument("--resealed", action="store_true", help="the checksum made right after each mutation")
    args = parser.parse_args()
    results = fuzz(args.count, args.seed, version=args.version, reseal=args.resealed)
    total = {key: sum(r[key] for r in results.values()) for key in next(iter(results.values()))}
    for kind, counts in [*results.items(), ("all", total)]:
        print(f"{kind:<24} " + "  ".join(f"{key} {value}" for key, value in counts.items()))
    sys.exit(1 if total["different"] or total["crashes"] or total["hangs"] else 0)


if __name__ == "__main__":
    main()
