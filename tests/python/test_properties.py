"""Property tests: every query kind against brute force written here (great circles on
the mean sphere, GeographicLib's Python package on WGS84), on random points, linestrings
and polygons that favour the poles, the antimeridian, duplicates and symmetric ties.

`make test` runs a fixed, small budget; for a long run set SFERIX_HYPOTHESIS_PROFILE=long
(see docs/development.md)."""

import math
import os

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import _sferix  # noqa: E402
from oracles import EARTH_RADIUS_METRES, angle, in_rectangle, unit  # noqa: E402
from oracles import arc_metres as oracle_arc_metres  # noqa: E402

# The same examples on every run, and nothing written next to the tests.
settings.register_profile(
    "ci",
    max_examples=40,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile("long", max_examples=3000, deadline=None, suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("SFERIX_HYPOTHESIS_PROFILE", "ci"))

R = EARTH_RADIUS_METRES
HALF_CIRCUMFERENCE = math.pi * R
INF = float("inf")


# --- Oracles -------------------------------------------------------------------------


def great_circle(p, q):
    return R * angle(unit(*p), unit(*q))


def arc_metres(p, a, b):
    """Great-circle metres from p to the minor arc a-b."""
    return oracle_arc_metres(unit(*p), unit(*a), unit(*b))


def chain_metres(p, coords):
    return min(arc_metres(p, a, b) for a, b in zip(coords, coords[1:]))


def tolerance(metres):
    # Chords lose resolution near the antipode (about 0.2 m there); elsewhere the
    # reported metres agree with this oracle to far below a millimetre.
    return 1.0 if metres > HALF_CIRCUMFERENCE - 20_000 else 1e-3 + 1e-9 * metres


def geodesic(p, q):
    from geographiclib.geodesic import Geodesic

    return Geodesic.WGS84.Inverse(p[1], p[0], q[1], q[0])["s12"]


# --- Strategies ----------------------------------------------------------------------

lons = st.one_of(st.floats(-180, 180), st.sampled_from([-180.0, 180.0, 0.0, 90.0, -179.5, 179.5]))
lats = st.one_of(st.floats(-90, 90), st.sampled_from([-90.0, 90.0, 0.0, 89.9, -89.9]))
coords = st.tuples(lons, lats)


def wrap(lon):
    return lon - 360 if lon > 180 else lon + 360 if lon < -180 else lon


def antipode(c):
    return (wrap(c[0] + 180), -c[1])


@st.composite
def point_case(draw):
    """Points (with duplicates and a symmetric pair around the query) and a query that
    is random, a stored point, or a stored point's antipode."""
    points = draw(st.lists(coords, max_size=25))
    query = draw(coords)
    if points and draw(st.booleans()):
        stored = draw(st.sampled_from(points))
        query = stored if draw(st.booleans()) else antipode(stored)
    if draw(st.booleans()):
        offset = draw(st.floats(1e-6, 5))
        points += [(wrap(query[0] + offset), query[1]), (wrap(query[0] - offset), query[1])]
    if points and draw(st.booleans()):
        points += draw(st.lists(st.sampled_from(points), max_size=5))
    order = draw(st.permutations(range(len(points))))
    return [points[i] for i in order], query


def small_chain(draw, centre, vertices):
    step = draw(st.floats(0.01, 3))
    out = []
    for _ in range(vertices):
        dlon, dlat = draw(st.floats(-1, 1)), draw(st.floats(-1, 1))
        out.append((wrap(centre[0] + step * dlon), max(-90.0, min(90.0, centre[1] + step * dlat))))
    return out


@st.composite
def linestring_case(draw):
    lines = []
    for _ in range(draw(st.integers(0, 12))):
        lines.append(small_chain(draw, draw(coords), draw(st.integers(2, 5))))
    return lines, draw(coords)


def ring(centre, radius, corners):
    lon0, lat0 = centre
    scale = math.cos(math.radians(lat0))
    out = [
        (wrap(lon0 + radius * math.cos(2 * math.pi * k / corners) / scale), lat0 + radius * math.sin(2 * math.pi * k / corners))
        for k in range(corners)
    ]
    return out + [out[0]]


@st.composite
def polygon_case(draw):
    """Small counterclockwise polygons, and a query that may be one's centre (which
    that polygon contains); its index is returned with it, else None."""
    polygons, centres = [], []
    for _ in range(draw(st.integers(0, 10))):
        centre = (draw(st.floats(-180, 180)), draw(st.floats(-80, 80)))
        radius = draw(st.floats(0.05, 3))
        polygons.append([ring(centre, radius, draw(st.integers(3, 7)))])
        centres.append(centre)
    if centres and draw(st.booleans()):
        owner = draw(st.integers(0, len(centres) - 1))
        return polygons, centres[owner], owner
    return polygons, draw(coords), None


def radii(draw, reported):
    """Radii from 0 to beyond half the circumference, and exactly at (and one double
    below) distances the tree reported."""
    out = [0.0, HALF_CIRCUMFERENCE, 2.1e7, INF, draw(st.floats(0, 2.2e7))]
    for d in list(reported)[:4]:
        out += [d, math.nextafter(d, 0)]
    return out


# --- Properties ----------------------------------------------------------------------


def check_radius_queries(tree, query, within, draw, oracle):
    """Shared by the three trees (and WGS84): the whole sphere returns everything;
    membership agrees exactly with the reported metres; reported metres match the
    oracle."""
    everything = dict(within(query, INF, True))
    assert sorted(everything) == list(range(len(tree)))
    for i, d in everything.items():
        expected = oracle(i)
        assert abs(d - expected) <= tolerance(expected), (i, d, expected)
    for radius in radii(draw, sorted(everything.values())):
        inside = sorted(i for i, d in everything.items() if d <= radius)
        assert sorted(within(query, radius)) == inside, radius
        assert sorted(within(query, radius, True)) == sorted((i, everything[i]) for i in inside), radius
    return everything


class TestPointTree:
    @pytest.mark.parametrize("wgs84", [False, True], ids=["sphere", "wgs84"])
    @given(data=st.data(), case=point_case())
    def test_nearest_and_radius_queries(self, wgs84, data, case):
        if wgs84:
            pytest.importorskip("geographiclib")
        points, query = case
        tree = _sferix.GeodeticPointTree(points)
        within, nearest_with_distance, nearest, metres = (
            (tree.within_distance_wgs84, tree.nearest_with_distance_wgs84, tree.nearest_wgs84, geodesic)
            if wgs84
            else (tree.within_distance, tree.nearest_with_distance, tree.nearest, great_circle)
        )
        everything = check_radius_queries(tree, query, within, data.draw, lambda i: metres(query, points[i]))
        hit = nearest_with_distance(query)
        if not points:
            assert hit is None and nearest(query) is None
            return
        best = min(everything.values())
        assert hit[1] == best and everything[hit[0]] == best
        if not wgs84:  # on the sphere, ties go to the smallest position
            assert hit[0] == min(i for i, d in everything.items() if d == best)
        assert nearest(query) == hit[0]

    @given(point_case(), coords, coords)
    def test_rectangle(self, case, a, b):
        points, _ = case
        (w, s), (e, n) = a, b
        s, n = min(s, n), max(s, n)
        tree = _sferix.GeodeticPointTree(points)
        expected = [i for i, (lon, lat) in enumerate(points) if in_rectangle(lon, lat, w, s, e, n)]
        assert sorted(tree.in_rectangle((w, s), (e, n))) == expected


class TestLineStringAndPolygonTrees:
    @given(st.data(), linestring_case())
    def test_linestrings(self, data, case):
        lines, query = case
        tree = _sferix.GeodeticLineStringTree(lines)
        everything = check_radius_queries(
            tree, query, tree.within_distance, data.draw, lambda i: chain_metres(query, lines[i])
        )
        hit = tree.nearest_with_distance(query)
        assert hit is None if not lines else hit[1] == min(everything.values()) == everything[hit[0]]

    @given(st.data(), polygon_case())
    def test_polygons(self, data, case):
        polygons, query, owner = case
        tree = _sferix.GeodeticPolygonTree(polygons)
        containing = dict(tree.within_distance(query, 0.0, True))
        if owner is not None:
            assert containing.get(owner) == 0.0

        def oracle(i):
            # 0 inside; outside, the distance to the boundary.
            return 0.0 if i in containing else chain_metres(query, polygons[i][0])

        everything = check_radius_queries(tree, query, tree.within_distance, data.draw, oracle)
        hit = tree.nearest_with_distance(query)
        assert hit is None if not polygons else hit[1] == min(everything.values()) == everything[hit[0]]
