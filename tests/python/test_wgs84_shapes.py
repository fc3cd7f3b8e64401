"""WGS84 geodesic metres from a query to linestrings and polygons, checked against a brute
force with geographiclib (dense sampling of each great-circle edge refined by
golden-section search)."""

import math
import random

import pytest

from _sferix import GeodeticError, GeodeticLineStringTree, GeodeticPolygonTree
from oracles import arc_metres_wgs84, chain_metres_wgs84

pytest.importorskip("geographiclib")
np = pytest.importorskip("numpy")

MM = 1e-3


def random_line(rng, edges):
    """A random walk of great-circle steps from 1 m to 5,000 km, poles and the
    antimeridian included."""
    lon, lat = rng.uniform(-180, 180), math.degrees(math.asin(rng.uniform(-1, 1)))
    points = [(lon, lat)]
    for _ in range(edges):
        step = 10 ** rng.uniform(0, 6.7) / 6371008.8
        bearing = rng.uniform(0, 2 * math.pi)
        phi, lam = math.radians(lat), math.radians(lon)
        phi2 = math.asin(math.sin(phi) * math.cos(step) + math.cos(phi) * math.sin(step) * math.cos(bearing))
        lam2 = lam + math.atan2(math.sin(bearing) * math.sin(step) * math.cos(phi),
                                math.cos(step) - math.sin(phi) * math.sin(phi2))
        lon, lat = (math.degrees(lam2) + 180) % 360 - 180, math.degrees(phi2)
        points.append((lon, lat))
    return points


def near_query(rng, line):
    """A query a random distance (0 to ~2,000 km) off a random vertex."""
    lon, lat = rng.choice(line)
    spread = 10 ** rng.uniform(-5, 1.3)
    return ((lon + rng.uniform(-spread, spread) + 180) % 360 - 180,
            max(-90.0, min(90.0, lat + rng.uniform(-spread, spread))))


def test_nearest_matches_brute_force():
    rng = random.Random(27)
    lines = [random_line(rng, rng.randint(1, 3)) for _ in range(6)]
    tree = GeodeticLineStringTree(lines)
    queries = [near_query(rng, rng.choice(lines)) for _ in range(12)]
    for query in queries:
        expected = [chain_metres_wgs84(query, line, samples=32) for line in lines]
        best = min(expected)
        position, metres = tree.nearest_with_distance_wgs84(query)
        assert metres == pytest.approx(best, abs=MM)
        assert expected[position] <= best + MM
        ranked = tree.nearest_k_wgs84(query, 3)
        assert [m for _, m in ranked] == pytest.approx(sorted(expected)[:3], abs=MM)
        assert [m for _, m in ranked] == sorted(m for _, m in ranked)


@pytest.mark.parametrize(
    "query, edge",
    [
        pytest.param((10.0, 20.0), ((10.0, 20.0), (12.0, 21.0)), id="on-a-vertex"),
        pytest.param((0.5, 0.0), ((0.0, 0.0), (1.0, 0.0)), id="on-an-equator-edge"),
        pytest.param((3.0, 0.2), ((-5.0, 0.0), (5.0, 0.0)), id="beside-the-equator"),
        pytest.param((7.3, 12.0), ((7.0, -10.0), (7.0, 40.0)), id="beside-a-meridian"),
        pytest.param((45.0, 88.0), ((0.0, 85.0), (180.0, 85.0)), id="edge-through-the-pole"),
        pytest.param((-175.0, -10.0), ((0.0, 0.0), (10.0, 20.0)), id="at-the-edge-antipode"),
        pytest.param((179.9, 10.0), ((179.0, 0.0), (-179.0, 1.0)), id="across-the-antimeridian"),
        pytest.param((2.0, 48.0), ((2.0001, 48.0), (2.00011, 48.000001)), id="metre-edge"),
    ],
)
def test_special_edges(query, edge):
    tree = GeodeticLineStringTree([list(edge)])
    _, metres = tree.nearest_with_distance_wgs84(query)
    assert metres == pytest.approx(arc_metres_wgs84(query, *edge, samples=128), abs=MM)


SQUARE = [(0.0, 0.0), (10.0, 0.0), (10.0, 10.0), (0.0, 10.0), (0.0, 0.0)]
HOLE = [(4.0, 4.0), (4.0, 6.0), (6.0, 6.0), (6.0, 4.0), (4.0, 4.0)]


@pytest.mark.parametrize(
    "query, nearest_edge",
    [
        pytest.param((2.0, 2.0), None, id="inside"),
        pytest.param((5.0, 5.5), (HOLE[1], HOLE[2]), id="in-the-hole"),
        pytest.param((11.0, 5.0), (SQUARE[1], SQUARE[2]), id="outside"),
        pytest.param((5.0, 0.0), None, id="on-the-boundary"),
    ],
)
def test_polygon_with_a_hole(query, nearest_edge):
    tree = GeodeticPolygonTree([[SQUARE, HOLE]])
    _, metres = tree.nearest_with_distance_wgs84(query)
    expected = 0.0 if nearest_edge is None else arc_metres_wgs84(query, *nearest_edge)
    assert metres == pytest.approx(expected, abs=MM)
    assert tree.within_distance_wgs84(query, metres) == [0]


def test_radius_membership_agrees_with_the_metres():
    rng = random.Random(5)
    lines = [random_line(rng, 2) for _ in range(40)]
    tree = GeodeticLineStringTree(lines)
    for _ in range(10):
        query = near_query(rng, rng.choice(lines))
        ranked = tree.nearest_k_wgs84(query, len(lines))
        for position, metres in ranked[:5]:
            inside = dict(tree.within_distance_wgs84(query, metres, return_distance=True))
            assert inside[position] == metres
            assert position in tree.within_distance_wgs84(query, metres)
            assert position not in tree.within_distance_wgs84(query, math.nextafter(metres, 0.0) - MM)
        radius = ranked[len(ranked) // 2][1]
        assert sorted(tree.within_distance_wgs84(query, radius)) == sorted(p for p, m in ranked if m <= radius)


def test_batches_answer_as_the_single_queries():
    rng = random.Random(9)
    # Big polygons keep an edge index; over 1,024 items the radius batch uses the coverage grid.
    big = [(10 * math.cos(t / 50), 10 * math.sin(t / 50)) for t in range(315)]
    small = [[[(x, y), (x + 0.01, y), (x, y + 0.01), (x, y)]] for x in range(-60, 60, 2) for y in range(-40, 40, 4)]
    tree = GeodeticPolygonTree([[big + big[:1]]] + small)
    queries = np.array([[rng.uniform(-62, 62), rng.uniform(-42, 42)] for _ in range(60)] + [[10.05, 0.0], [0.0, 0.0]])
    positions, metres = tree.query_nearest_wgs84(queries, k=2)
    for query, row, row_metres in zip(queries, positions, metres):
        hits = tree.nearest_k_wgs84(tuple(query), 2)
        assert [p for p, _ in hits] == list(row)
        assert [m for _, m in hits] == list(row_metres)
    for radius in (0.0, 500.0, 10_000.0):
        (query_index, found), found_metres = tree.query_within_distance_wgs84(queries, radius, return_distance=True)
        pairs = sorted(zip(query_index.tolist(), found.tolist(), found_metres.tolist()))
        single = sorted((i, p, m) for i, query in enumerate(queries)
                        for p, m in tree.within_distance_wgs84(tuple(query), radius, return_distance=True))
        assert pairs == single
        unmeasured = tree.query_within_distance_wgs84(queries, radius)
        assert sorted(zip(*unmeasured.tolist())) == [(i, p) for i, p, _ in single]
    alone = GeodeticPolygonTree([[big + big[:1]]])
    _, metres = alone.nearest_with_distance_wgs84((10.05, 0.0))
    assert metres == pytest.approx(chain_metres_wgs84((10.05, 0.0), big + big[:1], samples=4), abs=MM)


@pytest.mark.parametrize("tree_class, data", [(GeodeticLineStringTree, [[(0, 0), (1, 1)]]),
                                              (GeodeticPolygonTree, [[SQUARE]])])
def test_errors_and_edge_arguments_as_the_sphere_forms(tree_class, data):
    tree = tree_class(data)
    with pytest.raises(GeodeticError):
        tree.nearest_wgs84((200.0, 0.0))
    with pytest.raises(TypeError):
        tree.nearest_k_wgs84((0.0, 0.0))
    with pytest.raises(ValueError):
        tree.nearest_k_wgs84((0.0, 0.0), -1)
    assert tree.within_distance_wgs84((50.0, 50.0), -1.0) == []
    assert tree.nearest_k_wgs84((50.0, 50.0), 1, max_distance=10.0) == []
    assert tree_class([]).nearest_with_distance_wgs84((0.0, 0.0)) is None
    positions, metres = tree.query_nearest_wgs84([(50.0, 50.0)], k=2)
    assert positions.tolist() == [[0, -1]] and metres[0, 1] == math.inf
