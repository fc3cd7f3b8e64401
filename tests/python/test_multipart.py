"""Multipart items (MultiPolygon, MultiLineString elements of tree data) against the same
parts given as separate items; coordinates a hair past the range; projected frames."""

import math
import pickle
import random

import pytest

import sferix
from sferix import GeodeticLineStringTree, GeodeticPointTree, GeodeticPolygonTree

np = pytest.importorskip("numpy")


def square(lon, lat, size, clockwise=False):
    ring = [(lon, lat), (lon + size, lat), (lon + size, lat + size), (lon, lat + size), (lon, lat)]
    return ring[::-1] if clockwise else ring


def random_parts(rng, count):
    """`count` small squares (some with a hole, some clockwise) scattered over a region
    that crosses the antimeridian, and the polylines along their exteriors."""
    polygons, lines = [], []
    for _ in range(count):
        lon, lat, size = rng.uniform(150, 207), rng.uniform(-40, 40), rng.uniform(0.5, 3)
        lon = lon - 360 if lon > 180 else min(lon, 180 - size)
        clockwise = rng.random() < 0.3
        rings = [square(lon, lat, size, clockwise)]
        if rng.random() < 0.3:
            rings.append(square(lon + size / 4, lat + size / 4, size / 2, not clockwise))
        polygons.append(rings)
        lines.append(rings[0][:-1])
    return polygons, lines


def grouped(rng, count, max_parts):
    """Consecutive part indices cut into groups of 1 to max_parts."""
    groups, start = [], 0
    while start < count:
        size = rng.randint(1, max_parts)
        groups.append(list(range(start, min(count, start + size))))
        start += size
    return groups


@pytest.fixture(scope="module")
def scene():
    rng = random.Random(3)
    polygons, lines = random_parts(rng, 120)
    groups = grouped(rng, len(polygons), 5)
    multipolygons = [{"type": "MultiPolygon", "coordinates": [polygons[j] for j in g]} for g in groups]
    # Single-part groups as plain polygons, to mix the two kinds of item.
    multipolygons = [m if len(g) > 1 else {"type": "Polygon", "coordinates": m["coordinates"][0]}
                     for m, g in zip(multipolygons, groups)]
    multilines = [{"type": "Feature", "geometry": {"type": "MultiLineString", "coordinates": [lines[j] for j in g]}}
                  for g in groups]
    queries = [(rng.uniform(-180, 180), rng.uniform(-50, 50)) for _ in range(300)]
    queries += [(lon + 0.01, lat + 0.01) for rings in polygons[:40] for lon, lat in rings[0][:1]]
    return polygons, lines, groups, multipolygons, multilines, queries


def trees(scene, kind, oriented=True):
    polygons, lines, groups, multipolygons, multilines, _ = scene
    if kind == "polygons":
        return (GeodeticPolygonTree(polygons, oriented=oriented),
                GeodeticPolygonTree(multipolygons, oriented=oriented), groups)
    return GeodeticLineStringTree(lines), GeodeticLineStringTree(multilines), groups


@pytest.mark.parametrize("kind, oriented", [("polygons", True), ("polygons", False), ("linestrings", True)])
def test_multipart_items_answer_as_their_parts(scene, kind, oriented):
    parts, items, groups = trees(scene, kind, oriented)
    owner = {j: i for i, g in enumerate(groups) for j in g}
    queries = scene[-1]
    assert len(items) == len(groups)
    for q in queries:
        # Distance = the smallest over the parts, containment = any part.
        by_part = dict(parts.nearest_k(q, len(parts)))
        best = {}
        for j, d in by_part.items():
            best[owner[j]] = min(best.get(owner[j], math.inf), d)
        expected = sorted(best.items(), key=lambda item: (item[1], item[0]))
        assert items.nearest_k(q, len(items)) == expected
        assert items.nearest_with_distance(q) == expected[0]
        assert items.nearest_k(q, 3, max_distance=expected[1][1]) == [e for e in expected[:3] if e[1] <= expected[1][1]]
        for radius in (0.0, 150_000.0):
            hits = items.within_distance(q, radius, return_distance=True)
            assert sorted(hits) == sorted((i, d) for i, d in best.items() if d <= radius)
    # The array queries answer as the single ones.
    positions, metres = items.query_nearest(queries, 2)
    assert [list(zip(p.tolist(), m.tolist())) for p, m in zip(positions, metres)] == [
        items.nearest_k(q, 2) for q in queries]
    pairs, metres = items.query_within_distance(queries, 150_000.0, return_distance=True)
    expected = [(i, p, d) for i, q in enumerate(queries) for p, d in items.within_distance(q, 150_000.0, True)]
    assert sorted(zip(pairs[0].tolist(), pairs[1].tolist(), metres.tolist())) == sorted(expected)


@pytest.mark.parametrize("kind", ["polygons", "linestrings"])
def test_round_trips_keep_multipart_items(scene, kind):
    _, items, _ = trees(scene, kind, oriented=False)
    queries = scene[-1]
    for copy in (pickle.loads(pickle.dumps(items)), type(items).from_bytes(items.to_bytes()),
                 type(items)([g.__geo_interface__ for g in items.geometries()], **(
                     {"oriented": False} if kind == "polygons" else {}))):
        assert [repr(g) for g in copy.geometries()] == [repr(g) for g in items.geometries()]
        assert [copy.nearest_k(q, 3) for q in queries[:50]] == [items.nearest_k(q, 3) for q in queries[:50]]
    multi = next(g for g in items.geometries() if isinstance(g, (sferix.MultiPolygon, sferix.MultiLineString)))
    for copy in (pickle.loads(pickle.dumps(multi)), type(multi).from_bytes(multi.to_bytes())):
        assert copy.__geo_interface__ == multi.__geo_interface__


def test_multipart_values():
    parts = [[square(0, 0, 1)], [square(5, 5, 2), square(5.5, 5.5, 0.5, clockwise=True)]]
    tree = GeodeticPolygonTree([{"type": "MultiPolygon", "coordinates": parts}, [square(20, 0, 1)]])
    multi, single = tree[0], tree.geometry(1)
    assert repr(multi) == "MultiPolygon(2 polygons)" and isinstance(single, sferix.Polygon)
    assert [p.exterior for p in multi.polygons] == [parts[0][0], parts[1][0]]
    assert multi.polygons[1].interiors == [parts[1][1]]
    assert multi.__geo_interface__ == {"type": "MultiPolygon", "coordinates": [[r for r in p] for p in parts]}
    lines = GeodeticLineStringTree([{"type": "MultiLineString", "coordinates": [[(0, 0), (1, 1)], [(2, 2), (3, 3)]]}])
    assert repr(lines[0]) == "MultiLineString(2 linestrings)"
    assert [line.coordinates for line in lines[0].linestrings] == [[(0.0, 0.0), (1.0, 1.0)], [(2.0, 2.0), (3.0, 3.0)]]
    # A MultiPolygon of one part stays a MultiPolygon.
    assert isinstance(GeodeticPolygonTree([{"type": "MultiPolygon", "coordinates": parts[:1]}])[0], sferix.MultiPolygon)


def test_multipart_data_at_the_top_level_is_one_item_per_member():
    data = {"type": "MultiPolygon", "coordinates": [[square(0, 0, 1)], [square(5, 5, 1)]]}
    assert len(GeodeticPolygonTree(data)) == 2


@pytest.mark.parametrize(
    "build, element, error",
    [
        (GeodeticPointTree, {"type": "MultiPoint", "coordinates": [(0, 0)]}, "expected a Point geometry, found 'MultiPoint'"),
        (GeodeticPolygonTree, {"type": "MultiPolygon", "coordinates": []}, "a MultiPolygon has no parts"),
        (GeodeticLineStringTree, {"type": "MultiLineString", "coordinates": []}, "a MultiLineString has no parts"),
        (GeodeticPolygonTree, {"type": "MultiLineString", "coordinates": [[(0, 0), (1, 1)]]},
         "expected a Polygon geometry, found 'MultiLineString'"),
    ],
)
def test_refused_elements(build, element, error):
    with pytest.raises(ValueError, match=error) as excinfo:
        build([element])
    assert excinfo.value.item == 0


def test_bad_part_names_the_item():
    bad = {"type": "MultiPolygon", "coordinates": [[square(0, 0, 1)], [square(0, 0, 1)[:-1]]]}
    with pytest.raises(sferix.GeodeticError, match="not closed") as excinfo:
        GeodeticPolygonTree([[square(9, 9, 1)], bad])
    assert excinfo.value.item == 1


def test_shapely_multipolygon_is_one_item():
    shapely = pytest.importorskip("shapely")
    multi = shapely.MultiPolygon([shapely.Polygon(square(0, 0, 1)), shapely.Polygon(square(10, 0, 1))])
    tree = GeodeticPolygonTree([multi, shapely.Polygon(square(5, 0, 1))])
    assert tree.within_distance((10.5, 0.5), 0.0) == [0]
    assert tree.nearest((7.5, 0.5)) == 1


# Binary forms written before multipart items existed (format version 1).
V1_POLYGON_TREE = (
    "53464552495800010100000003000000010000000000000000000000000000000000000002000000050000000000000000000000"
    "00000000000000000000000000000000000000400000000000000000000000000000004000000000000000400000000000000000"
    "0000000000000040000000000000000000000000000000000400000000000000000000000000e03f000000000000e03f00000000"
    "0000e03f000000000000f03f000000000000f03f000000000000f03f000000000000e03f000000000000e03f"
)
V1_POLYGON_TREE_UNORIENTED = (
    "53464552495800010100000003000000010000000000000000000000000000000100000001000000040000000000000000000000"
    "00002440000000000000244000000000000024400000000000002640000000000000264000000000000026400000000000002440"
    "0000000000002440"
)
V1_LINESTRING_TREE = (
    "53464552495800010100000002000000020000000000000000000000000000000200000000000000000000000000000000000000"
    "00000000000000000000f03f000000000000f03f0300000000000000000000000000144000000000000014400000000000001840"
    "00000000000014400000000000001c400000000000001840"
)


def test_version_1_buffers_still_load():
    tree = GeodeticPolygonTree.from_bytes(bytes.fromhex(V1_POLYGON_TREE))
    assert tree[0].exterior == [(0.0, 0.0), (2.0, 0.0), (2.0, 2.0), (0.0, 2.0), (0.0, 0.0)]
    assert tree.within_distance((1.5, 1.5), 0.0) == [0] and tree.within_distance((0.6, 0.8), 0.0) == []
    unoriented = GeodeticPolygonTree.from_bytes(bytes.fromhex(V1_POLYGON_TREE_UNORIENTED))
    assert unoriented.within_distance((10.2, 10.5), 0.0) == [0] and unoriented.within_distance((0, 0), 0.0) == []
    lines = GeodeticLineStringTree.from_bytes(bytes.fromhex(V1_LINESTRING_TREE))
    assert [line.coordinates for line in lines.geometries()] == [[(0.0, 0.0), (1.0, 1.0)],
                                                                 [(5.0, 5.0), (6.0, 5.0), (7.0, 6.0)]]
    # Written again, they take the current version and load the same.
    again = GeodeticPolygonTree.from_bytes(tree.to_bytes())
    assert again.to_bytes()[8] == 3 and again.within_distance((1.5, 1.5), 0.0) == [0]


def test_mutated_multipart_buffers_never_crash():
    tree = GeodeticPolygonTree([{"type": "MultiPolygon", "coordinates": [[square(0, 0, 1)], [square(3, 3, 1)]]}])
    data = tree.to_bytes()
    rng = random.Random(5)
    for _ in range(400):
        mutated = bytearray(data)
        for _ in range(rng.randint(1, 3)):
            mutated[rng.randrange(len(mutated))] = rng.randrange(256)
        cut = bytes(mutated[: rng.randint(len(data) // 2, len(data))] if rng.random() < 0.2 else mutated)
        try:
            GeodeticPolygonTree.from_bytes(cut)
        except ValueError:
            pass


# A hair past the range: within 1e-9 degrees the bound, beyond it the error of today.
INSIDE_SLACK = [(180 + 9e-10, 0.0), (-180 - 9e-10, 0.0), (0.0, 90 + 9e-10), (0.0, -90 - 9e-10),
                (180.00000000000006, 0.0)]
OUTSIDE_SLACK = [(180 + 2e-9, 0.0), (-180 - 2e-9, 0.0), (0.0, 90 + 2e-9), (0.0, -90 - 2e-9)]


@pytest.mark.parametrize("lonlat", INSIDE_SLACK)
def test_a_hair_past_the_range_reads_as_the_bound(lonlat):
    bound = tuple(max(-b, min(b, v)) for v, b in zip(lonlat, (180.0, 90.0)))
    for data in ([lonlat], np.array([lonlat])):
        assert GeodeticPointTree(data)[0].coordinates == bound
    tree = GeodeticPointTree([bound])
    assert tree.nearest_with_distance(lonlat) == (0, 0.0)
    for queries in (np.array([lonlat]), [lonlat]):
        assert tree.query_nearest(queries)[1].tolist() == [0.0]
    line = GeodeticLineStringTree([[lonlat, (10.0, 10.0)]])
    assert line[0].coordinates[0] == bound


@pytest.mark.parametrize("lonlat", OUTSIDE_SLACK)
def test_further_out_stays_an_error(lonlat):
    for data in ([lonlat], np.array([lonlat])):
        with pytest.raises(sferix.GeodeticError, match="outside"):
            GeodeticPointTree(data)
    tree = GeodeticPointTree([(0.0, 0.0)])
    with pytest.raises(sferix.GeodeticError, match="outside"):
        tree.nearest(lonlat)
    for queries in (np.array([lonlat]), [lonlat]):
        with pytest.raises(sferix.GeodeticError, match="query 0: .*outside"):
            tree.query_nearest(queries)


class StandInCRS:
    def __init__(self, name, geographic):
        self.name, self.is_geographic = name, geographic

    def __str__(self):
        return self.name


class Frame:
    """Something with a crs and a __geo_interface__, as a GeoSeries has."""

    def __init__(self, crs, features):
        self.crs = crs
        self.__geo_interface__ = {"type": "FeatureCollection", "features": features}


def point_features(points):
    return [{"type": "Feature", "geometry": {"type": "Point", "coordinates": p}} for p in points]


def test_projected_data_and_queries_are_refused():
    features = point_features([(1.0, 2.0), (3.0, 4.0)])
    projected = Frame(StandInCRS("EPSG:3857", False), features)
    message = r"projected CRS EPSG:3857.*\.to_crs\(4326\)"
    with pytest.raises(ValueError, match="data are in the " + message):
        GeodeticPointTree(projected)
    with pytest.raises(ValueError, match=r"projected CRS EPSG:32633"):
        GeodeticPolygonTree(Frame(StandInCRS("EPSG:32633", False), []))
    tree = GeodeticPointTree(Frame(StandInCRS("EPSG:4326", True), features))
    assert len(tree) == 2 and len(GeodeticPointTree(Frame(None, features))) == 2

    class Queries(list):
        crs = StandInCRS("EPSG:3857", False)

    with pytest.raises(ValueError, match="queries are in the " + message):
        tree.query_nearest(Queries([(1.0, 2.0)]))
    with pytest.raises(ValueError, match=message):
        tree.query_within_distance(Queries([(1.0, 2.0)]), 10.0)


def test_projected_geoseries_refused_geographic_accepted():
    geopandas = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    try:
        series = geopandas.GeoSeries([shapely.Point(1, 2), shapely.Point(3, 4)], crs="EPSG:4326")
        projected = series.to_crs(3857)
    except Exception as err:  # no pyproj database
        pytest.skip(f"CRS support unavailable: {err!r}")
    assert len(GeodeticPointTree(series)) == 2
    with pytest.raises(ValueError, match=r"EPSG:3857.*to_crs\(4326\)"):
        GeodeticPointTree(projected)
    with pytest.raises(ValueError, match=r"EPSG:3857.*to_crs\(4326\)"):
        GeodeticPolygonTree(geopandas.GeoSeries([shapely.Polygon(square(0, 0, 1))], crs=3857))


def test_small_radius_joins_on_many_multipart_items():
    # 1000 items or more: small radii are answered from the lookup grid of the parts.
    rng = random.Random(8)
    squares = [[square(rng.uniform(-170, 170), rng.uniform(-60, 60), 0.2)] for _ in range(2400)]
    items = [{"type": "MultiPolygon", "coordinates": squares[i:i + 2]} for i in range(0, len(squares), 2)]
    tree, parts = GeodeticPolygonTree(items), GeodeticPolygonTree(squares)
    queries = np.array([(lon + 0.1, lat + d) for (ring,) in squares[::3] for lon, lat in ring[:1]
                        for d in (0.1, -0.001)])
    for radius in (0.0, 500.0):
        pairs, metres = tree.query_within_distance(queries, radius, return_distance=True)
        best = {}
        part_pairs, part_metres = parts.query_within_distance(queries, radius, return_distance=True)
        for q, p, m in zip(part_pairs[0].tolist(), part_pairs[1].tolist(), part_metres.tolist()):
            best[q, p // 2] = min(best.get((q, p // 2), math.inf), m)
        assert sorted(zip(pairs[0].tolist(), pairs[1].tolist(), metres.tolist())) == sorted(
            (q, p, m) for (q, p), m in best.items())
        assert pairs.shape[1] > 0
        # In the walk's order, as the single queries give them.
        rows = list(zip(pairs[0].tolist(), pairs[1].tolist(), metres.tolist()))
        for i in range(0, len(queries), 7):
            assert [(p, m) for q, p, m in rows if q == i] == tree.within_distance(tuple(queries[i]), radius, True)
