"""Trees asked with a geometry: query and query_many against shapely where plane and
sphere agree, against spherely's predicates, against brute-force distances, and at the
antimeridian and the poles."""

import math
import random

import pytest

from sferix import GeodeticError, GeodeticLineStringTree, GeodeticPointTree, GeodeticPolygonTree

import oracles

np = pytest.importorskip("numpy")

PREDICATES = ["intersects", "covered_by", "covers"]


def ring_around(lon, lat, radius, corners, turn=0.0):
    ring = [
        (lon + radius * math.cos(turn + 2 * math.pi * i / corners), lat + radius * math.sin(turn + 2 * math.pi * i / corners))
        for i in range(corners)
    ]
    return ring + ring[:1]


def random_data(seed, count=150, region=(0.0, 10.0, 40.0, 50.0)):
    """Small polygons, short lines and points in one mid-latitude region."""
    rng = random.Random(seed)
    w, e, s, n = region
    polygons = [[ring_around(rng.uniform(w, e), rng.uniform(s, n), rng.uniform(0.1, 0.8), rng.randint(3, 7), rng.random())]
                for _ in range(count)]
    lines = []
    for _ in range(count):
        lon, lat = rng.uniform(w, e), rng.uniform(s, n)
        lines.append([(lon + rng.uniform(-1, 1), lat + rng.uniform(-1, 1)) for _ in range(rng.randint(2, 4))])
    points = [(rng.uniform(w, e), rng.uniform(s, n)) for _ in range(count * 4)]
    return polygons, lines, points


def trees(polygons, lines, points):
    return {
        "points": (GeodeticPointTree(points), points),
        "lines": (GeodeticLineStringTree(lines), lines),
        "polygons": (GeodeticPolygonTree(polygons), polygons),
    }


# ---- shapely, on data small enough that great-circle and planar edges agree ----------


@pytest.mark.parametrize("kind", ["points", "lines", "polygons"])
@pytest.mark.parametrize("predicate", PREDICATES)
def test_agrees_with_shapely_off_near_boundaries(kind, predicate):
    shapely = pytest.importorskip("shapely")
    polygons, lines, points = random_data(1)
    tree, items = trees(polygons, lines, points)[kind]
    shape = {"points": shapely.Point, "lines": shapely.LineString, "polygons": lambda r: shapely.Polygon(r[0])}[kind]
    planar = [shape(item) for item in items]
    queries = [shapely.Polygon(p[0]) for p in polygons[:40]] + [shapely.LineString(l) for l in lines[:40]]
    # shapely's predicate reads "query geometry <predicate> item": ours the other way round.
    theirs = {"intersects": "intersects", "covered_by": "covers", "covers": "covered_by"}[predicate]
    for query in queries:
        ours = set(tree.query(query, predicate).tolist())
        expected = {i for i, g in enumerate(planar) if getattr(shapely, theirs)(query, g)}
        # Great-circle and straight edges part by a few metres: only items that near the
        # query's boundary may be judged differently.
        for i in ours ^ expected:
            assert shapely.distance(query.boundary, planar[i]) < 3e-3 or shapely.distance(query, planar[i].boundary) < 3e-3
        assert len(ours ^ expected) <= 2


def test_query_many_is_query_per_geometry_for_every_input_form():
    shapely = pytest.importorskip("shapely")
    polygons, lines, points = random_data(2)
    tree = GeodeticPolygonTree(polygons)
    geometries = [shapely.Polygon(p[0]) for p in polygons[:30]] + [shapely.LineString(l) for l in lines[:30]]
    geometries += [shapely.Point(p) for p in points[:30]]
    distances = np.linspace(0, 50_000, len(geometries))
    for predicate, distance in [("intersects", None), ("covers", None), ("dwithin", distances), ("dwithin", 20_000.0)]:
        expected = [(i, j) for i, g in enumerate(geometries)
                    for j in tree.query(g, predicate, None if distance is None else np.broadcast_to(distance, len(geometries))[i])]
        for form in (geometries, np.array(geometries, dtype=object)):
            for workers in (1, 2):
                pairs = tree.query_many(form, predicate, distance, workers=workers)
                assert pairs.dtype == np.int64 and pairs.shape == (2, len(expected))
                assert list(map(tuple, pairs.T.tolist())) == expected


# ---- spherely's predicates and distance, on the sphere itself -------------------------


@pytest.mark.parametrize("kind", ["points", "lines", "polygons"])
def test_agrees_with_spherely(kind):
    spherely = pytest.importorskip("spherely")
    # Across the antimeridian and up to the pole, where the plane has no say.
    polygons, lines, points = random_data(3, count=80, region=(170.0, 190.0, 70.0, 88.0))
    wrap = lambda coords: [((x + 180) % 360 - 180, y) for x, y in coords]  # noqa: E731
    polygons = [[wrap(p[0])] for p in polygons]
    lines = [wrap(l) for l in lines]
    points = wrap(points)
    tree, items = trees(polygons, lines, points)[kind]
    make = {"points": lambda p: spherely.create_point(*p), "lines": spherely.create_linestring,
            "polygons": lambda p: spherely.create_polygon(p[0][:-1])}[kind]
    sphere_items = [make(item) for item in items]
    queries = [spherely.create_polygon(p[0][:-1]) for p in polygons[:15]] + [spherely.create_linestring(l) for l in lines[:15]]
    for query, source in zip(queries, [p[0] for p in polygons[:15]] + lines[:15]):
        geometry = {"type": "Polygon", "coordinates": [source]} if source[0] == source[-1] else source
        for predicate, test in [("intersects", spherely.intersects), ("covered_by", spherely.covered_by),
                                ("covers", spherely.covers)]:
            expected = [i for i, g in enumerate(sphere_items) if test(g, query)]
            assert tree.query(geometry, predicate).tolist() == expected, predicate
        positions, metres = tree.query(geometry, "dwithin", 100_000, return_distance=True)
        far = spherely.distance(np.array(sphere_items, dtype=object), query, radius=oracles.EARTH_RADIUS_METRES)
        near = {i for i, d in enumerate(far) if d <= 100_000}
        assert set(positions.tolist()) ^ near <= {i for i, d in enumerate(far) if abs(d - 100_000) < 10}
        np.testing.assert_allclose(metres, far[positions], rtol=1e-6, atol=1e-3)


# ---- brute-force distances -------------------------------------------------------------


def test_dwithin_metres_against_brute_force_near_the_pole():
    rng = random.Random(4)
    points = [(rng.uniform(-180, 180), rng.uniform(80, 90)) for _ in range(2000)]
    line = [(-170.0, 84.0), (10.0, 86.0), (100.0, 83.0)]
    tree = GeodeticPointTree(points)
    positions, metres = tree.query(line, "dwithin", 150_000, return_distance=True)
    arcs = [(oracles.unit(*a), oracles.unit(*b)) for a, b in zip(line, line[1:])]
    brute = [min(oracles.arc_metres(oracles.unit(*p), a, b) for a, b in arcs) for p in points]
    inside = {i for i, d in enumerate(brute) if d <= 150_000}
    assert set(positions.tolist()) ^ inside <= {i for i, d in enumerate(brute) if abs(d - 150_000) < 1e-3}
    np.testing.assert_allclose(metres, [brute[i] for i in positions], rtol=1e-9, atol=1e-6)
    assert np.all(np.diff(positions) > 0)


# ---- the antimeridian, the poles, and boundaries ------------------------------------------


def test_a_line_across_the_antimeridian():
    pacific = [[(170.0, -20.0), (-170.0, -20.0), (-170.0, -10.0), (170.0, -10.0), (170.0, -20.0)]]
    atlantic = [[(-40.0, -20.0), (-20.0, -20.0), (-20.0, -10.0), (-40.0, -10.0), (-40.0, -20.0)]]
    tree = GeodeticPolygonTree([atlantic, pacific])
    flight = [(175.0, -15.0), (-175.0, -15.0)]
    assert tree.query(flight).tolist() == [1]
    assert tree.query(flight, "covered_by").tolist() == []
    assert tree.query(flight, "covers").tolist() == [1]
    # The same line in the plane runs the other way round the world, through the Atlantic.
    positions, metres = tree.query([(179.0, 0.0), (-179.0, 0.0)], "dwithin", 2_000_000, return_distance=True)
    # The edge bulges south of latitude -10: the line's ends are nearest to it.
    edge = oracles.unit(-170.0, -10.0), oracles.unit(170.0, -10.0)
    nearest = min(oracles.arc_metres(oracles.unit(lon, 0.0), *edge) for lon in (179.0, -179.0))
    assert positions.tolist() == [1] and metres[0] == pytest.approx(nearest, rel=1e-9)


def test_a_cap_around_the_pole_holds_the_pole():
    cap = [[(0.0, 80.0), (90.0, 80.0), (180.0, 80.0), (-90.0, 80.0), (0.0, 80.0)]]
    points = GeodeticPointTree([(0.0, 90.0), (45.0, 85.0), (0.0, 79.0), (0.0, -90.0)])
    assert points.query(cap, "covered_by").tolist() == [0, 1]
    assert GeodeticLineStringTree([[(-45.0, 85.0), (135.0, 85.0)]]).query(cap, "covered_by").tolist() == [0]
    # Read as the smaller region, the clockwise cap is the same cap.
    assert points.query([cap[0][::-1]], "covered_by", oriented=False).tolist() == [0, 1]
    assert points.query([cap[0][::-1]], "covered_by").tolist() == [2, 3]


# Polygons holding their boundary: touching along an edge, at a vertex, a point on an edge.
@pytest.mark.parametrize(
    "geometry, intersects, covered_by, covers",
    [
        ({"type": "Polygon", "coordinates": [[(0, -10), (10, -10), (10, 0), (0, 0), (0, -10)]]}, [0], [], []),
        ({"type": "Polygon", "coordinates": [[(10, 10), (20, 10), (20, 20), (10, 20), (10, 10)]]}, [0], [], []),
        ({"type": "LineString", "coordinates": [(2, 0), (8, 0)]}, [0], [], [0]),
        ({"type": "Point", "coordinates": (5, 0)}, [0], [], [0]),
        ({"type": "MultiPoint", "coordinates": [(5, 0), (5, 5)]}, [0], [], [0]),
        ({"type": "MultiPoint", "coordinates": [(5, 0), (15, 5)]}, [0], [], []),
        ([[(0, 0), (10, 0), (10, 10), (0, 10), (0, 0)]], [0], [0], [0]),
        ([[(-1, -1), (11, -1), (11, 11), (-1, 11), (-1, -1)]], [0], [0], []),
    ],
)
def test_boundaries_belong_to_the_polygon(geometry, intersects, covered_by, covers):
    tree = GeodeticPolygonTree([[[(0, 0), (10, 0), (10, 10), (0, 10), (0, 0)]]])
    assert tree.query(geometry).tolist() == intersects
    assert tree.query(geometry, "covered_by").tolist() == covered_by
    assert tree.query(geometry, "covers").tolist() == covers
    positions, metres = tree.query(geometry, "dwithin", 0.0, return_distance=True)
    assert positions.tolist() == intersects and metres.tolist() == [0.0] * len(intersects)


def test_multipart_items_answer_once_over_all_parts():
    near = [[(0, 0), (1, 0), (1, 1), (0, 1), (0, 0)]]
    far = [[(30, 0), (31, 0), (31, 1), (30, 1), (30, 0)]]
    tree = GeodeticPolygonTree([{"type": "MultiPolygon", "coordinates": [near, far]}, near])
    region = [[(-5, -5), (5, -5), (5, 5), (-5, 5), (-5, -5)]]
    assert tree.query(region).tolist() == [0, 1]
    assert tree.query(region, "covered_by").tolist() == [1]
    positions, metres = tree.query((30.5, 5), "dwithin", 1e6, return_distance=True)
    assert positions.tolist() == [0] and metres[0] == pytest.approx(4 * math.pi / 180 * oracles.EARTH_RADIUS_METRES, rel=1e-3)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda t: t.query((0, 0), "touches"), ValueError, "predicate must be one of 'intersects', 'covered_by', 'covers', 'dwithin', not 'touches'"),
        (lambda t: t.query((0, 0), 1), TypeError, "'int' object is not an instance of 'str'"),
        (lambda t: t.query((0, 0), "dwithin"), ValueError, "predicate 'dwithin' needs a distance in metres"),
        (lambda t: t.query((0, 0), "covers", 10), ValueError, "distance is only for predicate 'dwithin'"),
        (lambda t: t.query([]), ValueError, "a query geometry must be a point, a linestring or a polygon"),
        (lambda t: t.query({"type": "GeometryCollection", "geometries": []}), ValueError, "a query geometry has no parts"),
        (lambda t: t.query({"type": "Curve", "coordinates": []}), ValueError, "expected a Point, LineString or Polygon geometry, found 'Curve'"),
        (lambda t: t.query((0, 91)), GeodeticError, "latitude"),
        (lambda t: t.query_many([(0, 0)], "dwithin", [1, 2]), ValueError, "distance must be one number or one per query (1), not 2"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        call(GeodeticPointTree([(0, 0)]))


def test_query_many_marks_the_geometry_that_failed():
    with pytest.raises(GeodeticError) as raised:
        GeodeticPointTree([(0, 0)]).query_many([(0, 0), [(0, 0), (0, 95)]])
    assert raised.value.item == 1


def test_sjoin_takes_lines_and_polygons_on_the_left():
    geopandas = pytest.importorskip("geopandas")
    shapely = pytest.importorskip("shapely")
    import sferix.geopandas

    polygons, lines, _ = random_data(5, count=60)
    right = geopandas.GeoDataFrame({"id": range(60)}, geometry=[shapely.Polygon(p[0]) for p in polygons], crs=4326)
    left = geopandas.GeoDataFrame(geometry=[shapely.LineString(l) for l in lines[:30]] + list(right.geometry[:30]),
                                  crs=4326)
    tree = GeodeticPolygonTree(polygons)
    for predicate, ours, distance in [("intersects", "intersects", None), ("within", "covers", None),
                                      ("dwithin", "dwithin", 20_000)]:
        joined = sferix.geopandas.sjoin(left, right, predicate=predicate, distance=distance)
        expected = tree.query_many(left.geometry.values, ours, distance)
        assert list(zip(joined.index, joined["index_right"])) == list(zip(*expected.tolist()))


# ---- whole nodes inside or outside, and the points near the boundary --------------------


def pole_ring(lat, corners):
    ring = [(-180 + 360 * i / corners, lat) for i in range(corners)]
    return ring + ring[:1]


NODE_SHAPES = {
    # an edge index (64 edges or more) and a hole
    "indexed": {"type": "Polygon", "coordinates": [ring_around(10, 45, 3, 90), ring_around(10.5, 45, 1, 70)[::-1]]},
    "small": {"type": "Polygon", "coordinates": [ring_around(10, 45, 2, 5, 0.3)]},
    "antimeridian": {"type": "Polygon", "coordinates": [[(170, -5), (-170, -5), (-170, 5), (170, 5), (170, -5)]]},
    "north pole": {"type": "Polygon", "coordinates": [pole_ring(80, 100)]},
    "multi": {"type": "MultiPolygon", "coordinates": [[ring_around(8, 44, 1.5, 6)], [ring_around(12, 46, 1.5, 80)]]},
}


def node_points(shape):
    """A grid over the shape's region dense enough that many nodes straddle its boundary,
    with every vertex of the shape (points on the boundary), repeats and the poles."""
    rings = [r for p in (shape["coordinates"] if shape["type"] == "MultiPolygon" else [shape["coordinates"]]) for r in p]
    lons = [x for r in rings for x, _ in r]
    lats = [y for r in rings for _, y in r]
    wraps = max(lons) - min(lons) > 180
    lon_range = (160, 200) if wraps else (min(lons) - 1, max(lons) + 1)
    grid = [((x + 180) % 360 - 180, y) for x in np.linspace(*lon_range, 60)
            for y in np.linspace(max(min(lats) - 1, -90), min(max(lats) + 1, 90), 60)]
    vertices = [v for r in rings for v in r]
    return grid + vertices + vertices[:5] + [(0.0, 90.0), (0.0, -90.0)]


@pytest.mark.parametrize("name", list(NODE_SHAPES))
def test_nodes_decided_whole_agree_with_each_point(name):
    # dwithin 0 measures every candidate point on its own: the per-point answer.
    shape = NODE_SHAPES[name]
    points = node_points(shape)
    tree = GeodeticPointTree(points)
    expected = tree.query(shape, "dwithin", 0.0)
    assert 0 < len(expected) < len(points)
    assert tree.query(shape, "intersects").tolist() == expected.tolist()
    assert tree.query(shape, "covered_by").tolist() == expected.tolist()
    cells = [[ring_around(x, y, 0.3, 6)] for x, y in points[::7] if abs(y) < 89]
    cell_tree = GeodeticPolygonTree(cells)
    assert cell_tree.query(shape, "intersects").tolist() == cell_tree.query(shape, "dwithin", 0.0).tolist()
    shape_tree = GeodeticPolygonTree([shape])
    covered = [i for i, cell in enumerate(cells) if len(shape_tree.query(cell, "covers"))]
    assert cell_tree.query(shape, "covered_by").tolist() == covered


def jagged_ring(lon, lat, radius, corners, seed):
    """A coastline-like ring: many vertices, the radius wandering by a quarter."""
    rng = random.Random(seed)
    ring = [ring_around(lon, lat, radius * (1 + 0.15 * math.sin(37 * i / corners * 2 * math.pi) + 0.1 * rng.random()),
                        corners, 2 * math.pi * i / corners)[0] for i in range(corners)]
    return ring + ring[:1]


@pytest.mark.parametrize("oriented", [True, False])
def test_points_crowding_a_coastline_agree_with_each_point(oriented):
    # Clusters of points along long jagged boundaries, the second part clockwise: groups
    # of points whose nodes the boundary crowds, decided from edges gathered higher up.
    rng = random.Random(11)
    parts = [[jagged_ring(10, 45, 3, 1500, 1)], [jagged_ring(17, 46, 1.5, 400, 2)[::-1]]]
    vertices = [v for part in parts for v in part[0]]
    points = [(x + rng.gauss(0, 0.03), y + rng.gauss(0, 0.03)) for x, y in rng.choices(vertices, k=12_000)]
    points += vertices[::3] + [(rng.uniform(5, 20), rng.uniform(40, 50)) for _ in range(3000)]
    tree = GeodeticPointTree(points)
    shape = {"type": "MultiPolygon", "coordinates": parts}
    expected = tree.query(shape, "dwithin", 0.0, oriented=oriented)
    assert 1000 < len(expected) < len(points) - 1000
    assert tree.query(shape, "covered_by", oriented=oriented).tolist() == expected.tolist()
    assert tree.query_many([shape], "intersects", oriented=oriented)[1].tolist() == expected.tolist()


AXES = {"+x": (0, 0), "-x": (180, 0), "+y": (90, 0), "-y": (-90, 0), "+z": (0, 90), "-z": (0, -90)}
EQUATOR = {"+x", "-x", "+y", "-y"}


@pytest.mark.parametrize("corners", [8, 100])
@pytest.mark.parametrize(
    "ring, oriented, holds",
    [
        (ring_around(10, 45, 2, 5), True, set()),
        (ring_around(10, 45, 2, 5)[::-1], True, set(AXES)),
        (ring_around(10, 45, 2, 5)[::-1], False, set()),
        ("south", True, EQUATOR | {"+z"}),
        ("south", False, {"-z"}),
        ("north", True, {"+z"}),
        ("north", False, {"+z"}),
    ],
)
def test_the_axis_points_far_from_every_edge(ring, oriented, holds, corners):
    # The filled region reaches the six axis points only where it holds them, which the
    # polygon decides once for all those far from its edges.
    if ring in ("south", "north"):
        lat = -10 if ring == "south" else 80
        ring = [(-180 + 360 * i / corners, lat) for i in range(corners)]
        ring.append(ring[0])
    tree = GeodeticPointTree(list(AXES.values()))
    found = tree.query([ring], "covered_by", oriented=oriented).tolist()
    assert {list(AXES)[i] for i in found} == holds
    # the same polygon with a hole somewhere else answers the same at the axes
    found = tree.query([ring, ring_around(-60, 20, 1, 4)[::-1]], "covered_by", oriented=oriented).tolist()
    assert {list(AXES)[i] for i in found} == holds


# ---- shapely geometries read in bulk ----------------------------------------------------


def test_shapely_geometries_read_as_their_geo_interface():
    shapely = pytest.importorskip("shapely")
    polygons, lines, points = random_data(6, count=60)
    tree = GeodeticPointTree(points)
    line_tree = GeodeticLineStringTree(lines)
    holed = shapely.Polygon([(x, y, 7.0) for x, y in ring_around(5, 45, 3, 40)], [ring_around(5, 45, 1, 30)[::-1]])
    batches = [
        [shapely.Polygon(p[0]) for p in polygons] + [holed],
        [shapely.MultiPolygon([shapely.Polygon(p[0]), shapely.Polygon(q[0])]) for p, q in zip(polygons, polygons[1:])]
        + [shapely.Polygon(polygons[0][0])],
        [shapely.LineString(l) for l in lines] + [shapely.MultiLineString([lines[0], lines[1]])],
        # Lines and polygons mixed, read in bulk all the same.
        [shapely.LineString(lines[0]), holed, shapely.MultiLineString([lines[2], lines[3]]), shapely.Polygon(polygons[4][0])],
    ]
    for batch in batches:
        for target, predicate in [(tree, "intersects"), (line_tree, "covers"), (line_tree, "intersects")]:
            ours = target.query_many(batch, predicate)
            assert ours.tolist() == target.query_many([g.__geo_interface__ for g in batch], predicate).tolist()


@pytest.mark.parametrize("bad", ["latitude", "empty", "antipodal"])
def test_shapely_geometries_fail_as_their_geo_interface(bad):
    shapely = pytest.importorskip("shapely")
    # Of one kind with the good one, so that the batch is read in bulk where it can be.
    good = shapely.LineString([(5, 45), (6, 46)]) if bad == "antipodal" else shapely.Polygon(ring_around(5, 45, 1, 6))
    broken = {"latitude": shapely.Polygon([(0, 0), (1, 0), (1, 95), (0, 0)]),
              "empty": shapely.Polygon(),
              "antipodal": shapely.LineString([(0, 0), (180, 0)])}[bad]
    tree = GeodeticPointTree([(5, 45)])
    with pytest.raises(ValueError) as from_dicts:
        tree.query_many([good.__geo_interface__, broken.__geo_interface__])
    with pytest.raises(ValueError) as from_shapely:
        tree.query_many([good, broken])
    assert type(from_shapely.value) is type(from_dicts.value)
    assert str(from_shapely.value) == str(from_dicts.value)
    assert from_shapely.value.item == from_dicts.value.item == 1
