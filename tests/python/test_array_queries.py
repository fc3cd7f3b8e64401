"""k nearest and the array queries of the three trees, against the single-query
methods they generalise: same positions, same distances, same order, for every
number of workers."""

import _thread
import math
import random
import subprocess
import sys
import threading

import pytest

import _sferix
from _sferix import GeodeticLineStringTree, GeodeticPointTree, GeodeticPolygonTree

np = pytest.importorskip("numpy")

WORKERS = (1, 2, 3, -1)


def tricky_points(rng, count):
    """Uniform and clustered points with exact duplicates, poles at several longitudes
    and both ends of the antimeridian, so that distances tie."""
    points = [(rng.uniform(-180, 180), math.degrees(math.asin(rng.uniform(-1, 1)))) for _ in range(count // 2)]
    points += [(rng.gauss(10, 0.01), rng.gauss(45, 0.01)) for _ in range(count // 4)]
    points += [(float(rng.choice([-180, 180, -30, 60])), float(rng.choice([-90, 90, 0]))) for _ in range(count // 8)]
    points += rng.sample(points, count - len(points))
    rng.shuffle(points)
    return points


def queries_for(rng, points, count):
    fixed = [(0.0, 90.0), (45.0, -90.0), (180.0, 0.0), (-180.0, 0.0), (10.0, 45.0)]
    return fixed + [rng.choice(points) if i % 3 == 0 else (rng.uniform(-180, 180), rng.uniform(-90, 90))
                    for i in range(count - len(fixed))]


def square(lon, lat, half):
    ring = [(lon - half, lat - half), (lon + half, lat - half), (lon + half, lat + half),
            (lon - half, lat + half), (lon - half, lat - half)]
    return [[(((x + 180) % 360) - 180 if abs(x) > 180 else x, y) for x, y in ring]]


def make_tree(kind, rng):
    """A tree of the kind and a point of each of its geometries."""
    if kind == "point":
        points = tricky_points(rng, 400)
        return GeodeticPointTree(points), points
    if kind == "linestring":
        starts = [(lon if lon < 179 else 178.0, max(-89.0, min(89.0, lat))) for lon, lat in tricky_points(rng, 120)]
        return GeodeticLineStringTree([[p, (p[0] + 0.5, p[1])] for p in starts]), starts
    # Overlapping squares (and exact copies), some across the antimeridian.
    centres = [(rng.uniform(-180, 180), rng.uniform(-60, 60)) for _ in range(100)] + [(179.8, 0.0)] * 3
    return GeodeticPolygonTree([square(lon, lat, rng.choice([0.5, 2.0])) for lon, lat in centres]), centres


@pytest.fixture(scope="module", params=["point", "linestring", "polygon"])
def tree_and_queries(request):
    rng = random.Random(request.param)
    tree, points = make_tree(request.param, rng)
    return tree, queries_for(rng, points, 150)


def reference_k(tree, query, k, max_distance=math.inf, wgs84=False):
    """The k nearest from the single radius query: everything, sorted by (metres, position)."""
    within = tree.within_distance_wgs84 if wgs84 else tree.within_distance
    hits = sorted((d, i) for i, d in within(query, max_distance, return_distance=True))
    return [(i, d) for d, i in hits[:k]]


class TestNearestK:
    @pytest.mark.parametrize(("k", "max_distance"), [(1, None), (5, None), (5, 500_000.0), (10_000, None)])
    def test_is_the_radius_query_sorted_and_cut(self, tree_and_queries, k, max_distance):
        tree, queries = tree_and_queries
        limit = math.inf if max_distance is None else max_distance
        for q in queries:
            assert tree.nearest_k(q, k, max_distance=max_distance) == reference_k(tree, q, k, limit)

    def test_k_one_is_nearest_with_distance(self, tree_and_queries):
        tree, queries = tree_and_queries
        for q in queries:
            assert tree.nearest_k(q, 1) == [tree.nearest_with_distance(q)]

    def test_wgs84(self):
        rng = random.Random(5)
        tree, points = make_tree("point", rng)
        for q in queries_for(rng, points, 60):
            assert tree.nearest_k_wgs84(q, 4) == reference_k(tree, q, 4, wgs84=True)
            assert tree.nearest_k_wgs84(q, 4, max_distance=2e6) == reference_k(tree, q, 4, 2e6, wgs84=True)

    @pytest.mark.parametrize("limit", [-1.0, math.nan])
    def test_negative_or_nan_limit_finds_nothing(self, limit):
        assert GeodeticPointTree([(0, 0)]).nearest_k((0, 0), 3, max_distance=limit) == []

    @pytest.mark.parametrize(("k", "error", "message"), [
        (0, ValueError, "k must be at least 1"),
        (-3, ValueError, "k must be at least 1"),
        (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
    ])
    def test_bad_k(self, k, error, message):
        with pytest.raises(error, match=message):
            GeodeticPointTree([(0, 0)]).nearest_k((0, 0), k)

    def test_max_distance_is_keyword_only(self):
        with pytest.raises(TypeError, match="positional"):
            GeodeticPointTree([(0, 0)]).nearest_k((0, 0), 1, 10.0)


class TestQueryNearest:
    @pytest.mark.parametrize("workers", WORKERS)
    @pytest.mark.parametrize(("k", "max_distance"), [(1, None), (4, None), (4, 300_000.0)])
    def test_rows_are_nearest_k_padded(self, tree_and_queries, workers, k, max_distance):
        tree, queries = tree_and_queries
        positions, metres = tree.query_nearest(np.array(queries), k, max_distance=max_distance, workers=workers)
        assert positions.dtype == np.int64 and metres.dtype == np.float64
        assert positions.shape == metres.shape == ((len(queries),) if k == 1 else (len(queries), k))
        for row, q in enumerate(queries):
            hits = tree.nearest_k(q, k, max_distance=max_distance)
            hits += [(-1, math.inf)] * (k - len(hits))
            assert list(zip(np.atleast_1d(positions[row]).tolist(), np.atleast_1d(metres[row]).tolist())) == hits

    @pytest.mark.parametrize("workers", [1, 2])
    def test_wgs84_rows_are_nearest_k_wgs84(self, workers):
        rng = random.Random(6)
        tree, points = make_tree("point", rng)
        queries = queries_for(rng, points, 80)
        positions, metres = tree.query_nearest_wgs84(queries, 3, workers=workers)
        for row, q in enumerate(queries):
            assert list(zip(positions[row].tolist(), metres[row].tolist())) == tree.nearest_k_wgs84(q, 3)

    def test_every_input_form_gives_the_same_arrays(self):
        rng = random.Random(7)
        tree, _ = make_tree("point", rng)
        grid = np.array([[lon, lat] for lon in range(-180, 181, 30) for lat in range(-90, 91, 30)], dtype=np.float64)
        expected = tree.query_nearest(grid, 2)
        forms = [
            grid.tolist(),
            [tuple(row) for row in grid.tolist()],
            np.asfortranarray(grid),
            np.hstack([grid, grid])[:, :2],           # strided rows
            grid.astype(np.int64),
            grid.astype(">f8"),
            [{"type": "Point", "coordinates": row} for row in grid.tolist()],
            (row for row in grid.tolist()),
        ]
        for form in forms:
            got = tree.query_nearest(form, 2)
            assert np.array_equal(got[0], expected[0]) and np.array_equal(got[1], expected[1])

    def test_empty_tree_and_no_queries(self):
        positions, metres = GeodeticPointTree([]).query_nearest([(0, 0), (1, 1)], 3)
        assert positions.tolist() == [[-1] * 3] * 2 and metres.tolist() == [[math.inf] * 3] * 2
        positions, metres = GeodeticPointTree([(0, 0)]).query_nearest(np.zeros((0, 2)))
        assert positions.shape == (0,) and metres.shape == (0,)

    def test_results_are_writable_arrays(self):
        positions, metres = GeodeticPointTree([(0, 0)]).query_nearest([(1, 1)])
        positions[0] = 7
        metres[0] = 1.0
        assert positions.tolist() == [7] and metres.tolist() == [1.0]


@pytest.fixture(scope="module")
def tree_and_batch():
    rng = random.Random(13)
    points = tricky_points(rng, 2000)
    queries = queries_for(rng, points, 1500)
    return GeodeticPointTree(points), queries + queries[::-1]


class TestLargeBatches:
    """Batches far larger than a chunk, answered in an order of their own (neighbours on
    the sphere together) and written back by query: repeated queries, poles and both
    ends of the antimeridian land in many chunks."""

    @pytest.mark.parametrize("workers", [1, 2])
    @pytest.mark.parametrize("k", [1, 5])
    def test_nearest_rows_are_the_single_queries(self, tree_and_batch, workers, k):
        tree, queries = tree_and_batch
        positions, metres = tree.query_nearest(queries, k, workers=workers)
        got = [list(zip(np.atleast_1d(p).tolist(), np.atleast_1d(m).tolist())) for p, m in zip(positions, metres)]
        assert got == [tree.nearest_k(q, k) for q in queries]
        positions, metres = tree.query_nearest_wgs84(queries, k, workers=workers)
        got = [list(zip(np.atleast_1d(p).tolist(), np.atleast_1d(m).tolist())) for p, m in zip(positions, metres)]
        assert got == [tree.nearest_k_wgs84(q, k) for q in queries]

    @pytest.mark.parametrize("workers", [1, 2])
    def test_within_pairs_are_in_query_order(self, tree_and_batch, workers):
        tree, queries = tree_and_batch
        pairs, metres = tree.query_within_distance(queries, 300_000.0, return_distance=True, workers=workers)
        expected = [(row, i, d) for row, q in enumerate(queries)
                    for i, d in tree.within_distance(q, 300_000.0, return_distance=True)]
        assert list(zip(pairs[0].tolist(), pairs[1].tolist(), metres.tolist())) == expected


class TestNearestAndTies:
    """The joins' search: each query's nearest item and every item at the same metres,
    as the nearest query and a radius query at its metres find them, on squares that
    share edges and corners (ties off every shared corner) and random queries."""

    @pytest.mark.parametrize("kind", ["linestring", "polygon"])
    @pytest.mark.parametrize("max_distance", [None, 50_000.0])
    def test_is_the_nearest_and_the_radius_query_at_its_metres(self, kind, max_distance):
        rng = random.Random(5)
        squares = [square(lon, lat, 1.0) for lon in range(-3, 3) for lat in range(-2, 2)] + [square(179.5, 0, 1)]
        tree = GeodeticPolygonTree(squares) if kind == "polygon" else GeodeticLineStringTree([q[0] for q in squares])
        queries = [(rng.uniform(-5, 5), rng.uniform(-4, 4)) for _ in range(300)]
        queries += [(lon + 0.5 * dx, lat + 0.5 * dy) for lon in (-4, 0, 3) for lat in (-3, 2)
                    for dx in (-1, 0, 1) for dy in (-1, 0, 1)] + [(-179.9, 0.3)]
        (rows, found), metres = tree._query_nearest_ties(queries, max_distance=max_distance, workers=2)
        positions, nearest = tree.query_nearest(queries, max_distance=max_distance)
        radius = np.where(positions >= 0, nearest, -1.0)
        (want_rows, want_found), want_metres = tree.query_within_distance(queries, radius, return_distance=True)
        keep = want_metres == nearest[want_rows]
        want = sorted(zip(want_rows[keep].tolist(), want_found[keep].tolist(), want_metres[keep].tolist()))
        assert list(zip(rows.tolist(), found.tolist(), metres.tolist())) == want
        if max_distance is None:
            assert len(set(rows.tolist())) < len(rows)  # ties were met


class TestQueryWithinDistance:
    @pytest.mark.parametrize("workers", WORKERS)
    def test_pairs_are_the_single_queries_in_query_order(self, tree_and_queries, workers):
        tree, queries = tree_and_queries
        radii = [[-1.0, math.nan, 0.0, 1e5, 1e6][i % 5] for i in range(len(queries))]
        pairs, metres = tree.query_within_distance(queries, radii, return_distance=True, workers=workers)
        expected = [(row, i, d) for row, q in enumerate(queries)
                    for i, d in tree.within_distance(q, radii[row], return_distance=True)]
        assert pairs.dtype == np.int64 and pairs.shape == (2, len(expected))
        assert list(zip(pairs[0].tolist(), pairs[1].tolist(), metres.tolist())) == expected
        just_pairs = tree.query_within_distance(np.array(queries), 1e6, workers=workers)
        assert just_pairs.tolist() == [[row for row, q in enumerate(queries) for _ in tree.within_distance(q, 1e6)],
                                       [i for q in queries for i in tree.within_distance(q, 1e6)]]

    @pytest.mark.parametrize("workers", [1, 2])
    def test_wgs84(self, workers):
        rng = random.Random(8)
        tree, points = make_tree("point", rng)
        queries = queries_for(rng, points, 60)
        pairs, metres = tree.query_within_distance_wgs84(queries, 800_000.0, return_distance=True, workers=workers)
        expected = [(row, i, d) for row, q in enumerate(queries)
                    for i, d in tree.within_distance_wgs84(q, 800_000.0, return_distance=True)]
        assert list(zip(pairs[0].tolist(), pairs[1].tolist(), metres.tolist())) == expected

    def test_radius_zero_is_the_point_in_polygon_join(self):
        tree = GeodeticPolygonTree([square(0, 0, 1), square(0.5, 0, 1), square(179.9, 0, 0.5)])
        pairs = tree.query_within_distance([(0.2, 0.0), (5.0, 5.0), (-179.8, 0.1), (1.2, 0.0)], 0.0)
        assert sorted(zip(*pairs.tolist())) == [(0, 0), (0, 1), (2, 2), (3, 1)]

    @pytest.mark.parametrize("kind", ["linestring", "polygon"])
    def test_small_radii_on_large_trees_are_the_single_queries(self, kind):
        """Past a thousand geometries, radii up to a kilometre first ask the tree which
        places lie near any geometry at all: queries on, beside and far from them."""
        rng = random.Random(21)
        centres = [(rng.uniform(-180, 180), math.degrees(math.asin(rng.uniform(-1, 1)))) for _ in range(1100)]
        centres += [(179.995, 0.0), (0.0, 89.99), (45.0, 0.0), (45.0, 35.26438968275465)]
        wrap = lambda lon: ((lon + 180) % 360) - 180  # noqa: E731
        if kind == "polygon":
            tree = GeodeticPolygonTree([square(lon, lat, 0.01) for lon, lat in centres])
            on = [corner for lon, lat in centres[::10] for corner in square(lon, lat, 0.01)[0][:2]]
        else:
            tree = GeodeticLineStringTree([[(lon, lat), (wrap(lon + 0.01), lat)] for lon, lat in centres])
            on = centres[::10]
        beside = [(wrap(lon + rng.uniform(-0.03, 0.03)), max(-90.0, min(90.0, lat + rng.uniform(-0.03, 0.03))))
                  for lon, lat in centres]
        queries = on + beside + queries_for(rng, centres, 300)
        for radius in (0.0, 300.0, 1000.0, 1500.0):
            pairs = tree.query_within_distance(queries, radius, workers=2)
            expected = [(row, i) for row, q in enumerate(queries) for i in tree.within_distance(q, radius)]
            assert list(zip(*pairs.tolist())) == expected
            assert len(expected) > len(on)

    def test_radius_forms(self):
        tree = GeodeticPointTree([(0, 0), (1, 0), (2, 0)])
        queries = [(0, 0), (0, 0)]
        expected = tree.query_within_distance(queries, [120_000.0, 230_000.0])
        assert sorted(zip(*expected.tolist())) == [(0, 0), (0, 1), (1, 0), (1, 1), (1, 2)]
        for radii in (np.array([120_000.0, 230_000.0]), (120_000, 230_000), np.array([120_000, 230_000])):
            assert np.array_equal(tree.query_within_distance(queries, radii), expected)
        for one in (np.float64(120_000), np.array(120_000.0), 120_000):
            assert sorted(zip(*tree.query_within_distance(queries, one).tolist())) == [(0, 0), (0, 1), (1, 0), (1, 1)]

    def test_radius_list_of_wrong_length(self):
        with pytest.raises(ValueError, match=r"radius_metres must be one number or one per query \(2\), not 3"):
            GeodeticPointTree([(0, 0)]).query_within_distance([(0, 0), (1, 1)], [1.0, 2.0, 3.0])


class TestErrors:
    TREE = GeodeticPointTree([(0, 0), (1, 1)])

    @pytest.mark.parametrize(("queries", "error", "message"), [
        (np.zeros((3, 1)), ValueError, r"queries must be an array of shape \(n, 2\), not \(3, 1\)"),
        (np.zeros(4), ValueError, r"queries must be an array of shape \(n, 2\), not \(4,\)"),
        (np.zeros((2, 2, 2)), ValueError, r"queries must be an array of shape \(n, 2\), not \(2, 2, 2\)"),
        (np.array([["a", "b"]]), TypeError, "queries must be an array of numbers, not dtype <U1"),
        # lons and lats the wrong way round, refused as the constructors refuse them
        (np.zeros((2, 5)), ValueError,
         r"^an array of points must have shape \(n, 2\), one \(lon, lat\) row per point, not \(2, 5\)$"),
        (np.array([[0, 0], [0, "x"]], dtype=object), ValueError, "^query 1: a coordinate must be a sequence of numbers$"),
        (np.array([[0.0, 0.0], [0.0, 95.0]]), _sferix.GeodeticError,
         r"^query 1: latitude 95 outside \[-90\.0, 90\.0\]$"),
        ([(0, 0), (0, 0), (200, 0)], _sferix.GeodeticError, r"^query 2: longitude 200 outside \[-180\.0, 180\.0\]$"),
        ([(0, 0), "ab"], ValueError, "^query 1: a coordinate must be a sequence of numbers$"),
        (5, TypeError, "not iterable"),
    ])
    @pytest.mark.parametrize("method", ["query_nearest", "query_within_distance"])
    def test_bad_queries_fail_the_whole_call(self, method, queries, error, message):
        args = (queries,) if method == "query_nearest" else (queries, 10.0)
        with pytest.raises(error, match=message):
            getattr(self.TREE, method)(*args)

    @pytest.mark.parametrize(("workers", "error", "message"), [
        (0, ValueError, "workers must be -1 or at least 1"),
        (-2, ValueError, "workers must be -1 or at least 1"),
        ("2", TypeError, "'str' object cannot be interpreted as an integer"),
    ])
    def test_bad_workers(self, workers, error, message):
        with pytest.raises(error, match=message):
            self.TREE.query_nearest([(0, 0)], workers=workers)
        with pytest.raises(error, match=message):
            self.TREE.query_within_distance([(0, 0)], 1.0, workers=workers)

    def test_bad_k(self):
        with pytest.raises(ValueError, match="k must be at least 1"):
            self.TREE.query_nearest([(0, 0)], 0)

    @pytest.mark.parametrize(("bad", "error"), [((200, 0), _sferix.GeodeticError), ("ab", ValueError)])
    @pytest.mark.parametrize("method", ["query_nearest", "query_within_distance", "query_nearest_wgs84",
                                        "query_within_distance_wgs84"])
    def test_the_failing_query_is_an_attribute(self, method, bad, error):
        args = () if "nearest" in method else (10.0,)
        with pytest.raises(error) as excinfo:
            getattr(self.TREE, method)([(0, 0), (0, 0), bad], *args)
        assert excinfo.value.query == 2
        with pytest.raises(ValueError) as excinfo:
            getattr(self.TREE, method)([(0, 0)], *args, workers=0)
        assert not hasattr(excinfo.value, "query")

    @pytest.mark.parametrize("method", ["query_nearest", "nearest_k"])
    def test_k_past_two_to_the_31_is_impossible(self, method):
        query = [(0, 0)] if method == "query_nearest" else (0, 0)
        with pytest.raises(ValueError, match=r"^k must be at most 2\^31 \(2147483648\), not 1099511627776$"):
            getattr(self.TREE, method)(query, 2**40)
        with pytest.raises(ValueError, match=r"not 1180591620717411303424$"):
            getattr(self.TREE, method)(query, 2**70)

    def test_results_that_cannot_be_allocated_say_their_size(self, capfd):
        message = (r"^cannot allocate the results: 100000 queries × k 2147483648, 2 arrays of 214748364800000 "
                   r"elements, 3435973836800000 bytes \(3\.1 PiB\), "
                   r"more than the machine's memory and swap$")
        # Refused before asking: nothing is allocated, and nothing reaches stderr (a failed
        # allocation once let CPython report "exported buffers" there now and then).
        for _ in range(20):
            with pytest.raises(MemoryError, match=message):
                self.TREE.query_nearest(np.zeros((100_000, 2)), 2**31)
        assert "exported buffers" not in capfd.readouterr().err

    def test_object_arrays_are_read_as_the_constructors_read_them(self):
        objects = np.array([[0, 0], [1.0, 1]], dtype=object)
        expected = self.TREE.query_nearest(np.array([[0.0, 0.0], [1.0, 1.0]]))
        assert GeodeticPointTree(objects).to_bytes() == GeodeticPointTree([(0, 0), (1, 1)]).to_bytes()
        for got, want in zip(self.TREE.query_nearest(objects), expected):
            assert got.tolist() == want.tolist()
        pairs = self.TREE.query_within_distance([(0, 0), (1, 1)], np.array([1.0, 0], dtype=object))
        assert pairs.tolist() == [[0, 1], [0, 1]]

    @pytest.mark.parametrize(("radius", "error", "message"), [
        (np.ones((2, 1)), ValueError, r"^radius_metres must be one number or an array of shape \(n,\), not \(2, 1\)$"),
        (np.array(["a", "b"]), TypeError, "^radius_metres must be an array of numbers, not dtype <U1$"),
        (np.array([1.0, 2.0, 3.0], dtype=object), ValueError,
         r"^radius_metres must be one number or one per query \(2\), not 3$"),
    ])
    def test_bad_radius_arrays(self, radius, error, message):
        with pytest.raises(error, match=message):
            self.TREE.query_within_distance([(0, 0), (1, 1)], radius)

    @pytest.mark.parametrize("limit", [np.array([1.0, 2.0]), np.array([5.0], dtype=object)])
    def test_max_distance_is_one_number(self, limit):
        with pytest.raises(ValueError, match=r"^max_distance must be one number, not an array of shape \(\d,\)$"):
            self.TREE.query_nearest([(0, 0)], max_distance=limit)
        assert self.TREE.query_nearest([(0, 0)], max_distance=np.array(1.0, dtype=object))[0].tolist() == [0]


class TestRuntime:
    def test_numpy_is_imported_only_by_an_array_query(self):
        code = (
            "import sys, _sferix\n"
            "tree = _sferix.GeodeticPointTree([(0, 0)])\n"
            "tree.nearest_k((1, 1), 1)\n"
            "assert 'numpy' not in sys.modules\n"
            "positions, metres = tree.query_nearest([(1, 1)])\n"
            "assert type(positions).__module__ == 'numpy'\n"
        )
        subprocess.run([sys.executable, "-c", code], check=True)

    # A few heavy searches are one chunk: Ctrl-C must stop them midway, on every
    # thread, and leave the tree as it was. 2 s is slack for a loaded machine, not
    # the target (see benchmarks/python/interrupt_latency.py).
    @pytest.mark.parametrize("call", [
        "tree.query_nearest(points[:300], 100_000)",
        "tree.query_nearest(points[:300], 100_000, workers=2)",
        "tree.query_within_distance_wgs84(points[:16], 2.1e7, True)",
        "_sferix.GeodeticPointTree(np.repeat(points, 16, axis=0))",
        # thousands of items measured between two answers of one search
        "_sferix.GeodeticLineStringTree(points[:40_000].reshape(-1, 2, 2) * 0.5).query_nearest(points[:2000], 20_000)",
    ])
    def test_ctrl_c_stops_heavy_calls_midway(self, call):
        code = f"""
import os, signal, threading, time
import numpy as np
import _sferix
rng = np.random.default_rng(1)
points = np.column_stack([rng.uniform(-180, 180, 300_000), rng.uniform(-90, 90, 300_000)])
tree = _sferix.GeodeticPointTree(points)
expected = tree.query_nearest(points[:50], 5)
sent = []
def interrupt():
    sent.append(time.perf_counter())
    os.kill(os.getpid(), signal.SIGINT)
threading.Timer(0.5, interrupt).start()
try:
    {call}
    print("finished")
except KeyboardInterrupt:
    print("stopped", time.perf_counter() - sent[0])
again = tree.query_nearest(points[:50], 5)
assert all((a == b).all() for a, b in zip(again, expected))
"""
        result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stderr
        word, *latency = result.stdout.split()
        assert word == "stopped"
        assert float(latency[0]) < 2.0

    def test_ctrl_c_stops_a_long_call(self):
        rng = np.random.default_rng(3)
        tree = GeodeticPointTree(rng.uniform(-60, 60, (20_000, 2)))
        queries = rng.uniform(-60, 60, (2_000_000, 2))
        timer = threading.Timer(0.05, _thread.interrupt_main)
        with pytest.raises(KeyboardInterrupt):
            timer.start()
            tree.query_nearest(queries, workers=2)
        timer.join()
