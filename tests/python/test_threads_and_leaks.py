"""Threads querying shared trees while others build, and every method run in a loop,
failing paths included, without growing memory or changing its arguments' reference
counts."""

import math
import os
import random
import sys
import threading

import pytest

import _sferix

RNG = random.Random(11)


def random_point():
    return (RNG.uniform(-180, 180), math.degrees(math.asin(RNG.uniform(-1, 1))))


POINTS = [random_point() for _ in range(3000)] + [(180.0, 0.0), (-180.0, 0.0), (0.0, 90.0), (5.0, -90.0)]
LINES = [[p, (p[0] * 0.999, p[1] * 0.999)] for p in POINTS[:800]]
POLYGONS = [
    [[(lon, lat), (lon + 0.5, lat), (lon + 0.5, lat + 0.5), (lon, lat + 0.5), (lon, lat)]]
    for lon, lat in ((RNG.uniform(-179, 179), RNG.uniform(-80, 80)) for _ in range(500))
]
QUERIES = [random_point() for _ in range(60)] + [(180.0, 0.0), (0.0, 90.0), (0.0, -90.0)]


def all_queries(points, lines, polygons):
    """Every single query kind on the three trees, as (name, result) pairs."""
    out = []
    for q in QUERIES:
        out += [
            ("nearest", points.nearest_with_distance(q)),
            ("within", sorted(points.within_distance(q, 500_000.0, True))),
            ("nearest84", points.nearest_with_distance_wgs84(q)),
            ("within84", sorted(points.within_distance_wgs84(q, 500_000.0))),
            ("rectangle", sorted(points.in_rectangle(q, (min(q[0] + 20, 180), min(q[1] + 20, 90))))),
            ("lines", lines.nearest_with_distance(q)),
            ("lines within", sorted(lines.within_distance(q, 300_000.0))),
            ("polygons", polygons.nearest_with_distance(q)),
            ("polygons within", sorted(polygons.within_distance(q, 300_000.0, True))),
        ]
    # The array queries release the GIL for their whole loop and run on two threads.
    for name, tree in (("points", points), ("lines", lines), ("polygons", polygons)):
        positions, metres = tree.query_nearest(QUERIES, 3, workers=2)
        pairs, distances = tree.query_within_distance(QUERIES, 300_000.0, return_distance=True, workers=2)
        out += [
            (name + " array nearest", (positions.tolist(), metres.tolist())),
            (name + " array within", (pairs.tolist(), distances.tolist())),
        ]
    positions, metres = points.query_nearest_wgs84(QUERIES, 3, workers=2)
    out.append(("points array nearest84", (positions.tolist(), metres.tolist())))
    return out


class TestThreads:
    def test_queries_agree_with_a_serial_run_while_other_threads_build(self):
        trees = (
            _sferix.GeodeticPointTree(POINTS),
            _sferix.GeodeticLineStringTree(LINES),
            _sferix.GeodeticPolygonTree(POLYGONS),
        )
        serial = all_queries(*trees)
        failures = []
        start = threading.Barrier(6)

        def query():
            start.wait()
            for _ in range(3):
                if all_queries(*trees) != serial:
                    failures.append("query results differ from the serial run")

        def build():
            start.wait()
            for _ in range(3):
                built = (
                    _sferix.GeodeticPointTree(POINTS),
                    _sferix.GeodeticLineStringTree(LINES),
                    _sferix.GeodeticPolygonTree(POLYGONS),
                )
                if [len(t) for t in built] != [len(t) for t in trees]:
                    failures.append("a tree built in a thread lost items")
                if all_queries(*built)[:9] != serial[:9]:
                    failures.append("a tree built in a thread answers differently")

        threads = [threading.Thread(target=query) for _ in range(4)] + [threading.Thread(target=build) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert failures == []

    def test_threads_racing_to_a_new_trees_first_small_radius_batch_agree(self):
        """The first such batch on a tree of 1,000+ polygons makes its lookup grid, off
        the GIL; threads asking at the same moment wait for the one grid."""
        squares = [[[(lon, lat), (lon + 0.2, lat), (lon + 0.2, lat + 0.2), (lon, lat + 0.2), (lon, lat)]]
                   for lon, lat in ((RNG.uniform(-179, 179), RNG.uniform(-80, 80)) for _ in range(1100))]
        queries = [(ring[0][0][0] + 0.1, ring[0][0][1] + 0.1) for ring in squares] + QUERIES
        tree = _sferix.GeodeticPolygonTree(squares)
        single = [(row, i) for row, q in enumerate(queries) for i in tree.within_distance(q, 0.0)]
        expected = [[row for row, _ in single], [i for _, i in single]]
        start = threading.Barrier(4)
        results = []

        def join():
            start.wait()
            results.append(tree.query_within_distance(queries, 0.0, workers=2).tolist())

        threads = [threading.Thread(target=join) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert results == [expected] * 4 and len(expected[0]) >= len(squares)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def expect(error, call, *args):
    try:
        call(*args)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error}")


class TestLeaks:
    @pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc to read the resident size")
    def test_every_method_in_a_loop(self):
        points_data = [(1.0, 2.0), (3.0, 4.0), (-179.0, 89.0)]
        lines_data = [[(0.0, 0.0), (1.0, 1.0)], [(10.0, 10.0), (10.5, 10.5)]]
        polygons_data = [[[(0.0, 0.0), (2.0, 0.0), (2.0, 2.0), (0.0, 2.0), (0.0, 0.0)]]]
        query = (0.5, 0.5)
        far = (1.0e3, 0.0)  # not a valid coordinate
        radius = float("1e6")
        bad_radius = "far"
        corner = (10.0, 10.0)
        arguments = [points_data, lines_data, polygons_data, query, far, radius, bad_radius, corner]

        def run_all():
            points = _sferix.GeodeticPointTree(points_data)
            lines = _sferix.GeodeticLineStringTree(lines_data)
            polygons = _sferix.GeodeticPolygonTree(polygons_data)
            for tree in (points, lines, polygons):
                len(tree)
                tree[0]
                tree.geometry(0)
                tree.geometries()
                tree.nearest(query)
                tree.nearest_with_distance(query)
                tree.within_distance(query, radius)
                tree.within_distance(query, radius, True)
                expect(IndexError, tree.geometry, 99)
                expect(_sferix.GeodeticError, tree.nearest, far)
                expect(TypeError, tree.within_distance, query, bad_radius)
                expect(TypeError, tree.within_distance, query, radius, 1)
                expect(TypeError, tree.nearest, query, query)
            points.in_rectangle(query, corner)
            points.nearest_wgs84(query)
            points.nearest_with_distance_wgs84(query)
            points.within_distance_wgs84(query, radius)
            points.within_distance_wgs84(query, radius, True)
            expect(_sferix.GeodeticError, points.in_rectangle, far, corner)
            expect(_sferix.GeodeticError, points.within_distance_wgs84, far, radius)
            expect(ValueError, _sferix.GeodeticPointTree, [query, far])
            expect(ValueError, _sferix.GeodeticLineStringTree, [[query]])
            expect(ValueError, _sferix.GeodeticPolygonTree, [[[query, corner]]])
            expect(TypeError, _sferix.GeodeticPointTree, 5)

        for _ in range(200):
            run_all()
        counts = [sys.getrefcount(a) for a in arguments]
        before = resident_bytes()
        for _ in range(3000):
            run_all()
        grown = resident_bytes() - before
        assert [sys.getrefcount(a) for a in arguments] == counts
        # A leak of one small object per call would be several MB here. Under AddressSanitizer
        # freed memory sits in quarantine, so the resident size says nothing there.
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            assert grown < 4 * 1024 * 1024, grown
