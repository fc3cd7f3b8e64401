"""GeodeticPointTree: class surface, construction, indexing and every query.

Queries are checked on hand-made cases for their edge behaviour and against brute
force over random points: the sphere queries against the haversine formula, the
WGS84 queries against the tree's own geodesic distances to every point.
"""

import inspect
import math
import random
import threading

import pytest

import _sferix
from _sferix import GeodeticPointTree
from oracles import EARTH_RADIUS_METRES, haversine, in_rectangle
from tree_surface import BOUND_SIGNATURES as SHARED_SIGNATURES
from tree_surface import tree_method_docs

# The geodesic distance on WGS84 never falls below this times the great-circle distance
# on the mean sphere; it exceeds it by at most about the same ratio.
WGS84_SPHERE_FACTOR = 0.9888339590090727
# Exact on the equator: a one-degree geodesic there is an arc of the equatorial circle.
WGS84_EQUATOR_DEGREE_METRES = 6378137.0 * math.pi / 180.0
OUT_OF_RANGE = "geometry index out of range"


def random_points(rng, count):
    """Uniform on the sphere, with a few exact poles and antimeridian points mixed in."""
    points = [(rng.uniform(-180, 180), math.degrees(math.asin(rng.uniform(-1, 1)))) for _ in range(count)]
    points[::97] = [(rng.choice([-180.0, 180.0]), rng.uniform(-60, 60)) for _ in points[::97]]
    points[1::211] = [(rng.uniform(-180, 180), rng.choice([-90.0, 90.0])) for _ in points[1::211]]
    return points


# --- the class --------------------------------------------------------------------

METHOD_DOCS = {
    **tree_method_docs("point", "points"),
    "in_rectangle": (
        "in_rectangle($self, lower, upper)\n--\n\nThe input positions of every point inside the longitude/latitude "
        "rectangle whose\ncorners are `lower` and `upper`. `lower.lon > upper.lon` denotes a window crossing\nthe "
        "antimeridian (RFC 7946); `lower.lat <= upper.lat` is required."
    ),
    "nearest_wgs84": (
        "nearest_wgs84($self, query)\n--\n\nThe input position of the nearest point to `query` by WGS84-ellipsoid "
        "geodesic\ndistance, or `None` if the tree is empty."
    ),
    "nearest_with_distance_wgs84": (
        "nearest_with_distance_wgs84($self, query)\n--\n\nThe `(input position, geodesic distance in metres)` of the "
        "nearest point to `query`\non the WGS84 ellipsoid, or `None` if empty."
    ),
    "within_distance_wgs84": (
        "within_distance_wgs84($self, query, radius_metres, return_distance=False)\n--\n\nThe input positions of every "
        "point within `radius_metres` WGS84-ellipsoid geodesic\nmetres of `query`. With `return_distance=True`, "
        "`(index, distance)` pairs instead."
    ),
    "nearest_k_wgs84": (
        "nearest_k_wgs84($self, query, k, *, max_distance=None)\n--\n\nThe `(input position, geodesic "
        "distance in metres)` of the `k` points nearest to\n`query` on the WGS84 ellipsoid, nearest first, "
        "ties by the smaller position; with\n`max_distance`, only those within that many metres."
    ),
    "query_nearest_wgs84": (
        "query_nearest_wgs84($self, queries, k=1, *, max_distance=None, workers=1)\n--\n\nquery_nearest by "
        "geodesic distance on the WGS84 ellipsoid, as nearest_k_wgs84\nfinds them."
    ),
    "query_within_distance_wgs84": (
        "query_within_distance_wgs84($self, queries, radius_metres, return_distance=False, *, "
        "workers=1)\n--\n\nquery_within_distance by geodesic distance on the WGS84 ellipsoid, "
        "as\nwithin_distance_wgs84 finds them."
    ),
}

BOUND_SIGNATURES = {
    **SHARED_SIGNATURES,
    "in_rectangle": "(lower, upper)",
    "nearest_wgs84": "(query)",
    "nearest_with_distance_wgs84": "(query)",
    "within_distance_wgs84": "(query, radius_metres, return_distance=False)",
    "nearest_k_wgs84": "(query, k, *, max_distance=None)",
    "query_nearest_wgs84": "(queries, k=1, *, max_distance=None, workers=1)",
    "query_within_distance_wgs84": "(queries, radius_metres, return_distance=False, *, workers=1)",
}


class TestClass:
    def test_docstring_and_constructor_signature(self):
        assert GeodeticPointTree.__doc__ == "A geodetic R-tree over points."
        assert GeodeticPointTree.__text_signature__ == "(data)"
        assert str(inspect.signature(GeodeticPointTree)) == "(data)"

    def test_methods_in_table_order(self):
        public = [name for name in vars(GeodeticPointTree) if not name.startswith("_")]
        assert public == list(METHOD_DOCS)

    @pytest.mark.parametrize("name", METHOD_DOCS)
    def test_method_docstring(self, name):
        method = getattr(GeodeticPointTree, name)
        assert f"{name}{method.__text_signature__}\n--\n\n{method.__doc__}" == METHOD_DOCS[name]

    @pytest.mark.parametrize(("name", "signature"), BOUND_SIGNATURES.items())
    def test_method_signature(self, name, signature):
        assert str(inspect.signature(getattr(GeodeticPointTree([]), name))) == signature
        unbound = str(inspect.signature(getattr(GeodeticPointTree, name)))
        assert unbound == "(self, /" + (", " + signature[1:] if signature != "()" else ")")

    def test_geometries_takes_no_arguments(self):
        with pytest.raises(TypeError):
            GeodeticPointTree([]).geometries(1)


# --- construction and indexing ------------------------------------------------------


class TestConstruction:
    def test_input_positions_follow_the_data(self):
        data = [(10.0, 20.0), (-0.0, 90.0), (180.0, -5.5)]
        tree = GeodeticPointTree(data)
        assert len(tree) == 3
        assert [p.coordinates for p in tree.geometries()] == data
        assert [tree[i].coordinates for i in range(3)] == data

    def test_data_error_creates_nothing(self):
        with pytest.raises(_sferix.GeodeticError, match=r"^latitude 91 outside \[-90.0, 90.0\](\n|$)"):
            GeodeticPointTree([(0, 0), (0, 91)])

    def test_keyword_data(self):
        assert len(GeodeticPointTree(data=[(0, 0)])) == 1

    def test_trees_built_and_queried_in_threads_agree(self):
        # The bulk load runs without the GIL: concurrent builds must not disturb each other.
        data = random_points(random.Random(7), 3000)
        results = []

        def work():
            tree = GeodeticPointTree(data)
            results.append((len(tree), tree.nearest_with_distance((1.0, 2.0)), sorted(tree.within_distance((1, 2), 2e6))))

        threads = [threading.Thread(target=work) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert len(results) == 4
        assert all(result == results[0] for result in results)


class TestIndexing:
    @pytest.fixture
    def tree(self):
        return GeodeticPointTree([(1, 2), (3, 4)])

    @pytest.mark.parametrize("index", [2, 3, 2**63])
    def test_past_the_end(self, tree, index):
        with pytest.raises(IndexError, match=f"^{OUT_OF_RANGE}$"):
            tree[index]
        with pytest.raises(IndexError, match=f"^{OUT_OF_RANGE}$"):
            tree.geometry(index)

    def test_no_counting_from_the_end(self, tree):
        with pytest.raises(OverflowError):
            tree[-1]
        with pytest.raises(TypeError):
            tree[0:1]

    def test_each_call_makes_a_new_object(self, tree):
        first, second = tree.geometry(1), tree[1]
        assert first is not second
        assert first.coordinates == second.coordinates == (3.0, 4.0)

    def test_values_outlive_their_tree(self, tree):
        values = [tree[0], tree.geometry(1)]
        del tree
        assert [repr(v) for v in values] == ["Point(lon=1, lat=2)", "Point(lon=3, lat=4)"]


class TestEmptyTree:
    @pytest.fixture
    def tree(self):
        return GeodeticPointTree([])

    def test_length_and_geometries(self, tree):
        assert len(tree) == 0
        assert tree.geometries() == []

    @pytest.mark.parametrize("method", ["nearest", "nearest_with_distance", "nearest_wgs84", "nearest_with_distance_wgs84"])
    def test_nearest_is_none(self, tree, method):
        assert getattr(tree, method)((0, 0)) is None

    @pytest.mark.parametrize(
        "call",
        [
            lambda t: t.within_distance((0, 0), math.inf),
            lambda t: t.within_distance((0, 0), math.inf, True),
            lambda t: t.within_distance_wgs84((0, 0), math.inf),
            lambda t: t.in_rectangle((-180, -90), (180, 90)),
        ],
    )
    def test_lists_are_empty(self, tree, call):
        assert call(tree) == []

    def test_index_zero(self, tree):
        with pytest.raises(IndexError, match=f"^{OUT_OF_RANGE}$"):
            tree[0]
        with pytest.raises(IndexError, match=f"^{OUT_OF_RANGE}$"):
            tree.geometry(0)


# --- queries: edge cases ----------------------------------------------------------------

WITHIN_METHODS = ["within_distance", "within_distance_wgs84"]


class TestWithinDistance:
    @pytest.mark.parametrize("method", WITHIN_METHODS)
    def test_small_tree_reports_in_descending_position(self, method):
        tree = GeodeticPointTree([(0, 0), (0.001, 0), (0, 0.001)])
        query = getattr(tree, method)
        assert query((0, 0), 1000.0) == [2, 1, 0]
        assert [position for position, _ in query((0, 0), 1000.0, True)] == [2, 1, 0]

    @pytest.mark.parametrize("method", WITHIN_METHODS)
    def test_radius_zero_finds_equal_points(self, method):
        tree = GeodeticPointTree([(10, 20), (10, 20.000001), (10, 20)])
        assert getattr(tree, method)((10, 20), 0.0, True) == [(2, 0.0), (0, 0.0)]

    @pytest.mark.parametrize("method", WITHIN_METHODS)
    @pytest.mark.parametrize("radius", [-1.0, math.nan, -math.inf])
    def test_negative_or_nan_radius_is_empty(self, method, radius):
        tree = GeodeticPointTree([(0, 0)])
        assert getattr(tree, method)((0, 0), radius) == []

    @pytest.mark.parametrize("method", WITHIN_METHODS)
    def test_unbounded_radius_finds_everything(self, method):
        tree = GeodeticPointTree([(0, 0), (179, 1), (-90, -45)])
        assert sorted(getattr(tree, method)((0, 0), math.inf)) == [0, 1, 2]

    @pytest.mark.parametrize("method", WITHIN_METHODS)
    @pytest.mark.parametrize(
        ("value", "message"),
        [(1, "'int' object is not an instance of 'bool'"), (None, "'None' is not an instance of 'bool'")],
    )
    def test_return_distance_is_a_strict_bool(self, method, value, message):
        tree = GeodeticPointTree([(0, 0)])
        with pytest.raises(TypeError) as excinfo:
            getattr(tree, method)((0, 0), 1.0, value)
        assert str(excinfo.value) == message
        assert getattr(tree, method)((0, 0), 1.0, True) == [(0, 0.0)]
        assert getattr(tree, method)((0, 0), 1.0, False) == [0]

    @pytest.mark.parametrize("method", WITHIN_METHODS)
    def test_errors_in_argument_order(self, method):
        query = getattr(GeodeticPointTree([(0, 0)]), method)
        with pytest.raises(TypeError, match="must be real number"):
            query((0, 200), "far", 1)
        with pytest.raises(TypeError, match="not an instance of 'bool'"):
            query((0, 200), 1.0, 1)
        with pytest.raises(_sferix.GeodeticError, match=r"^latitude 200 outside"):
            query((0, 200), 1.0, True)

    @pytest.mark.parametrize("method", WITHIN_METHODS)
    def test_query_forms(self, method):
        tree = GeodeticPointTree([(5, 5)])
        query = getattr(tree, method)
        for form in [(5, 5), [5.0, 5.0, 100.0], {"type": "Point", "coordinates": (5, 5)}, tree[0]]:
            assert query(form, 0.0) == [0]

    # Check fix for: a radius equal to the distance just reported left the point out.
    @pytest.mark.parametrize("method", ["within_distance", "within_distance_wgs84"])
    def test_a_reported_distance_is_inside(self, method):
        tree = GeodeticPointTree([(0.0, 0.0)])
        nearest = getattr(tree, "nearest_with_distance" + method[len("within_distance"):])
        d = nearest((0.1, 0.2))[1]
        assert getattr(tree, method)((0.1, 0.2), d) == [0]
        assert getattr(tree, method)((0.1, 0.2), math.nextafter(d, 0)) == []

    # Check fix for: an exact antipode's chord rounded past the bound meant to admit the
    # whole sphere (and past the WGS84 pre-filter's).
    @pytest.mark.parametrize(("method", "radius"), [("within_distance", math.inf), ("within_distance_wgs84", 2.1e7)])
    def test_everything_radius_reaches_the_antipode(self, method, radius):
        assert getattr(GeodeticPointTree([(-159.0, 20.0)]), method)((21.0, -20.0), radius) == [0]

    def test_wgs84_distance_on_the_equator(self):
        tree = GeodeticPointTree([(1, 0), (-1, 0)])
        ((_, east), (_, west)) = sorted(tree.within_distance_wgs84((0, 0), 200_000, True))
        assert east == pytest.approx(WGS84_EQUATOR_DEGREE_METRES, rel=1e-12)
        assert west == pytest.approx(WGS84_EQUATOR_DEGREE_METRES, rel=1e-12)

    def test_sphere_distance(self):
        tree = GeodeticPointTree([(0, 1)])
        (_, metres), = tree.within_distance((0, 0), 200_000, True)
        assert metres == pytest.approx(EARTH_RADIUS_METRES * math.pi / 180, rel=1e-12)


class TestNearest:
    @pytest.mark.parametrize("data", [[(10, 0), (-10, 0)], [(-10, 0), (10, 0)]])
    def test_tie_goes_to_the_smaller_position(self, data):
        tree = GeodeticPointTree(data)
        assert tree.nearest((0, 0)) == 0
        position, metres = tree.nearest_with_distance((0, 0))
        assert position == 0
        assert metres == pytest.approx(haversine(0, 0, 10, 0), rel=1e-12)

    @pytest.mark.parametrize("suffix", ["", "_wgs84"])
    def test_duplicate_points(self, suffix):
        tree = GeodeticPointTree([(1, 0), (0, 1), (1, 0)])
        assert getattr(tree, "nearest" + suffix)((1, 0)) == 0
        assert getattr(tree, "nearest_with_distance" + suffix)((1, 0)) == (0, 0.0)

    def test_sphere_and_ellipsoid_disagree(self):
        # About 111.08 km and 111.20 km on the sphere, 111.21 km and 110.57 km on WGS84.
        tree = GeodeticPointTree([(0.999, 0), (0, 1)])
        assert tree.nearest((0, 0)) == 0
        assert tree.nearest_wgs84((0, 0)) == 1
        assert tree.nearest_with_distance_wgs84((0, 0))[1] == pytest.approx(110_574.4, abs=0.1)

    def test_result_types(self):
        tree = GeodeticPointTree([(0, 0)])
        for method in ["nearest_with_distance", "nearest_with_distance_wgs84"]:
            result = getattr(tree, method)((1, 1))
            assert type(result) is tuple and type(result[0]) is int and type(result[1]) is float
        assert type(tree.nearest((1, 1))) is int

    def test_invalid_query(self):
        tree = GeodeticPointTree([(0, 0)])
        with pytest.raises(_sferix.GeodeticError, match=r"^longitude -181 outside"):
            tree.nearest((-181, 0))
        with pytest.raises(ValueError, match="^a coordinate needs at least a longitude and a latitude(\n|$)"):
            tree.nearest_wgs84([1])


class TestRepeatedPlaces:
    # Many copies of one place, shuffled among other places: the smallest position at
    # the nearest place wins on the sphere and on WGS84.
    @pytest.fixture(scope="class")
    @classmethod
    def data(cls):
        rng = random.Random(12)
        places = [(rng.uniform(-180, 180), rng.uniform(-80, 80)) for _ in range(20)]
        data = places * 300
        rng.shuffle(data)
        return data

    @pytest.mark.parametrize("suffix", ["", "_wgs84"])
    def test_smallest_position_of_the_nearest_place(self, data, suffix):
        tree = GeodeticPointTree(data)
        for place in set(data[:50]):
            query = (place[0] + 0.001, place[1])
            assert getattr(tree, "nearest" + suffix)(query) == data.index(place)

    def test_array_and_list_input_give_the_same_tree(self, data):
        np = pytest.importorskip("numpy")
        from_list = GeodeticPointTree(data)
        from_array = GeodeticPointTree(np.array(data, dtype=np.float64))
        assert len(from_array) == len(from_list) == len(data)
        assert [p.coordinates for p in from_array.geometries()] == [tuple(p) for p in data]
        for query in data[:20]:
            assert from_array.within_distance(query, 50_000.0) == from_list.within_distance(query, 50_000.0)


class TestOnePlaceOneVector:
    # Check fix for one place embedding to vectors a few 1e-16 apart, so a radius-0
    # search found one spelling and missed the other and ties went by rounding.
    @pytest.mark.parametrize(
        "points, query",
        [([(180, 10), (-180, 10)], (-180, 10)), ([(180, 10), (-180, 10)], (180, 10)),
         ([(10, 90), (-170, 90), (0, 90)], (45, 90)), ([(-45, -90), (135, -90)], (0, -90))],
    )
    def test_every_spelling_is_found_and_ties_go_to_the_first(self, points, query):
        tree = GeodeticPointTree(points)
        assert sorted(tree.within_distance(query, 0.0)) == list(range(len(points)))
        assert tree.nearest_with_distance(query) == (0, 0.0)


class TestInRectangle:
    POINTS = [(170, 0), (-170, 5), (180, -10), (-180, 10), (175, 11), (0, 0), (169.9, 0), (-169.9, 0), (0, 90)]

    @pytest.mark.parametrize(
        ("lower", "upper", "expected"),
        [
            ((170, -10), (-170, 10), {0, 1, 2, 3}),
            ((-170, -10), (170, 10), {0, 1, 5, 6, 7}),
            ((-180, -90), (180, 90), set(range(9))),
            ((180, -10), (180, 10), {2, 3}),
            ((0, 0), (0, 0), {5}),
            ((10, 80), (20, 90), {8}),
            ((170, 10), (-170, -10), set()),
        ],
    )
    def test_windows(self, lower, upper, expected):
        tree = GeodeticPointTree(self.POINTS)
        got = tree.in_rectangle(lower, upper)
        assert len(got) == len(set(got))
        assert set(got) == expected

    def test_small_tree_reports_in_descending_position(self):
        tree = GeodeticPointTree([(1, 1), (2, 2), (3, 3)])
        assert tree.in_rectangle((0, 0), (5, 5)) == [2, 1, 0]

    def test_lower_is_parsed_before_upper(self):
        tree = GeodeticPointTree([(0, 0)])
        with pytest.raises(_sferix.GeodeticError, match=r"^longitude 200 outside"):
            tree.in_rectangle((200, 0), "not a point")
        with pytest.raises(ValueError, match="^a coordinate must be a sequence of numbers(\n|$)"):
            tree.in_rectangle((0, 0), "not a point")

    def test_keywords(self):
        tree = GeodeticPointTree([(0, 0)])
        assert tree.in_rectangle(upper=(1, 1), lower=(-1, -1)) == [0]


@pytest.mark.parametrize(
    ("method", "args"),
    [
        ("nearest", {"query": (3, 4)}),
        ("nearest_with_distance", {"query": (3, 4)}),
        ("nearest_wgs84", {"query": (3, 4)}),
        ("nearest_with_distance_wgs84", {"query": (3, 4)}),
        ("within_distance", {"query": (3, 4), "radius_metres": 3e5}),
        ("within_distance", {"query": (3, 4), "radius_metres": 3e5, "return_distance": True}),
        ("within_distance_wgs84", {"query": (3, 4), "radius_metres": 3e5, "return_distance": True}),
        ("in_rectangle", {"lower": (0, 0), "upper": (5, 5)}),
        ("geometry", {"index": 1}),
    ],
)
def test_keywords_match_positions(method, args):
    tree = GeodeticPointTree([(1, 2), (3, 4), (4, 4)])
    by_position = getattr(tree, method)(*args.values())
    by_keyword = getattr(tree, method)(**dict(reversed(args.items())))
    if method == "geometry":
        by_position, by_keyword = by_position.coordinates, by_keyword.coordinates
    assert by_keyword == by_position


# --- queries against brute force ------------------------------------------------------


class TestAgainstBruteForce:
    COUNT = 2000
    RADII = [0.0, 1e4, 5e5, 3e6, 1.5e7]
    # Distances this close to the radius (relatively) may fall either way: the tree
    # compares squared chords, the brute force haversine metres.
    BAND = 1e-6

    @pytest.fixture(scope="class")
    @classmethod
    def data(cls):
        rng = random.Random(20240611)
        points = random_points(rng, cls.COUNT)
        # Queries on stored points, in the open, at the poles and on the antimeridian.
        queries = [points[5], points[97], (0.0, 90.0), (180.0, 0.0), (-180.0, -45.0)]
        queries += random_points(rng, 15)
        return GeodeticPointTree(points), points, queries

    def test_within_distance(self, data):
        tree, points, queries = data
        for query in queries:
            exact = [haversine(*query, *p) for p in points]
            for radius in self.RADII:
                got = dict(tree.within_distance(query, radius, True))
                assert len(got) == len(tree.within_distance(query, radius))
                for i, d in enumerate(exact):
                    if d < radius * (1 - self.BAND):
                        assert i in got, (query, radius, i)
                    elif d > radius * (1 + self.BAND) + 1e-9:
                        assert i not in got, (query, radius, i)
                for i, metres in got.items():
                    assert metres == pytest.approx(exact[i], rel=1e-9, abs=1e-6)

    def test_nearest(self, data):
        tree, points, queries = data
        for query in queries:
            exact = [haversine(*query, *p) for p in points]
            position, metres = tree.nearest_with_distance(query)
            assert metres == pytest.approx(min(exact), abs=1e-6)
            assert exact[position] == pytest.approx(min(exact), abs=1e-6)
            assert tree.nearest(query) == position

    @pytest.mark.parametrize("k", [1, 3, 10, 40])
    def test_nearest_k_on_duplicates_keeps_the_position_order(self, k):
        # Runs of duplicates and near-duplicates fill whole leaf-level nodes, so pruning
        # a node's leaves by a bound that a sibling tightened decides ties. The oracle is
        # the tree's own metres from an exhaustive selection, ranked by (metres, position).
        rng = random.Random(k)
        grid = [(rng.uniform(-3, 3), rng.uniform(-3, 3)) for _ in range(40)]
        points = [rng.choice(grid) for _ in range(3000)]
        points += [(lon + rng.choice([0.0, 1e-12]), lat) for lon, lat in rng.sample(points, 300)]
        tree = GeodeticPointTree(points)
        queries = rng.sample(grid, 10) + [(rng.uniform(-4, 4), rng.uniform(-4, 4)) for _ in range(20)]
        for query in queries:
            everything = tree.within_distance(query, math.inf, True)
            expected = sorted(everything, key=lambda hit: (hit[1], hit[0]))[:k]
            assert tree.nearest_k(query, k) == expected, query
            if k == 1:
                assert tree.nearest_with_distance(query) == expected[0]

    def test_in_rectangle(self, data):
        tree, points, _ = data
        rng = random.Random(5)
        windows = [((170, -10), (-170, 10)), ((-180, -90), (180, 90)), ((-30, 60), (30, 90))]
        for _ in range(30):
            w, e = rng.uniform(-180, 180), rng.uniform(-180, 180)
            s, n = sorted([rng.uniform(-90, 90), rng.uniform(-90, 90)])
            windows.append(((w, s), (e, n)))
        for (w, s), (e, n) in windows:
            got = tree.in_rectangle((w, s), (e, n))
            assert len(got) == len(set(got))
            assert set(got) == {i for i, (lon, lat) in enumerate(points) if in_rectangle(lon, lat, w, s, e, n)}

    def test_wgs84_queries_agree_with_the_geodesic_distances(self, data):
        tree, points, queries = data
        for query in queries:
            everything = dict(tree.within_distance_wgs84(query, math.inf, True))
            assert sorted(everything) == list(range(self.COUNT))
            for i, metres in everything.items():
                sphere = haversine(*query, *points[i])
                assert WGS84_SPHERE_FACTOR * sphere - 1e-3 <= metres <= sphere / WGS84_SPHERE_FACTOR + 1e-3
            position, metres = tree.nearest_with_distance_wgs84(query)
            assert metres == min(everything.values())
            assert everything[position] == metres
            assert tree.nearest_wgs84(query) == position
            for radius in self.RADII:
                got = dict(tree.within_distance_wgs84(query, radius, True))
                assert got == {i: d for i, d in everything.items() if d <= radius}
