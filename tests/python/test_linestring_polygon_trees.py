"""GeodeticLineStringTree and GeodeticPolygonTree: class surface, indexing and queries.

Distances are checked against a brute-force distance from a point to great-circle
arcs computed here with plain vector algebra, and polygon containment against the
left-of-every-edge test for convex counterclockwise triangles.
"""

import inspect
import math
import random

import pytest

import _sferix
from _sferix import GeodeticLineStringTree, GeodeticPolygonTree
from oracles import EARTH_RADIUS_METRES, angle, arc_metres, cross, dot, unit
from tree_surface import BOUND_SIGNATURES, tree_method_docs

OUT_OF_RANGE = "geometry index out of range"
SQUARE = [(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 1.0), (0.0, 0.0)]
SQUARE_HOLE = [(0.25, 0.25), (0.75, 0.25), (0.75, 0.75), (0.25, 0.75), (0.25, 0.25)]


# --- sphere geometry for the brute force ------------------------------------------------


def chain_metres(query, vertices):
    p = unit(*query)
    vectors = [unit(*v) for v in vertices]
    return min(arc_metres(p, a, b) for a, b in zip(vectors, vectors[1:]))


def polygon_metres(query, rings):
    """0 inside a convex counterclockwise exterior (outside its holes), else the nearest edge."""
    edges = min(chain_metres(query, ring) for ring in rings)
    p = unit(*query)

    def inside(ring):
        vectors = [unit(*v) for v in ring]
        return all(dot(cross(a, b), p) > 0 for a, b in zip(vectors, vectors[1:]))

    filled = inside(rings[0]) and not any(inside(hole) for hole in rings[1:])
    return 0.0 if filled else edges


def random_linestring(rng):
    lon, lat = rng.uniform(-20, 20), rng.uniform(-20, 20)
    vertices = [(lon, lat)]
    for _ in range(rng.randint(1, 4)):
        lon, lat = lon + rng.uniform(-2, 2), lat + rng.uniform(-2, 2)
        vertices.append((lon, lat))
    return vertices


def random_triangle(rng):
    """A counterclockwise triangle (its interior is the small region)."""
    lon, lat = rng.uniform(-20, 20), rng.uniform(-20, 20)
    size = rng.uniform(0.1, 3.0)
    turns = sorted(rng.uniform(0, 2 * math.pi) for _ in range(3))
    ring = [(lon + size * math.cos(t), lat + size * math.sin(t)) for t in turns]
    a, b, c = (unit(*v) for v in ring)
    if dot(cross(a, b), c) < 0:
        ring.reverse()
    return [ring + ring[:1]]


# --- the classes ------------------------------------------------------------------------

CLASS_DOCS = {
    GeodeticLineStringTree: (
        "(data)",
        "A geodetic R-tree over linestrings. A MultiLineString in `data` is one item, as near\nas its nearest part.",
    ),
    GeodeticPolygonTree: (
        "(data, *, oriented=True)",
        "A geodetic R-tree over polygons. Each polygon fills the region to the left of its\nexterior ring; with "
        "`oriented=False`, the smaller region the exterior bounds,\nwhatever its direction (for clockwise data such "
        "as shapefiles). A MultiPolygon in `data` is one\nitem, containing what any of its parts contains.",
    ),
}

# The point tree's WGS84 forms, after the shared methods.
WGS84_METHODS = ["nearest_wgs84", "nearest_with_distance_wgs84", "within_distance_wgs84", "nearest_k_wgs84",
                 "query_nearest_wgs84", "query_within_distance_wgs84"]

METHOD_DOCS = {
    GeodeticLineStringTree: tree_method_docs("linestring", "linestrings"),
    GeodeticPolygonTree: tree_method_docs("polygon", "polygons", " (zero distance if `query` is\ninside one)"),
}

# One small valid tree input per class, the value class of its items and the name
# binding messages start with.
SAMPLES = {
    GeodeticLineStringTree: ([[(0, 0), (1, 1)], [(2, 2), (3, 2)]], "LineString"),
    GeodeticPolygonTree: ([[SQUARE], [SQUARE, SQUARE_HOLE]], "Polygon"),
}
TREE_CLASSES = list(SAMPLES)
by_name = pytest.mark.parametrize("cls", TREE_CLASSES, ids=lambda c: c.__name__)


@by_name
class TestClasses:
    def test_docstring_and_constructor_signature(self, cls):
        signature, doc = CLASS_DOCS[cls]
        assert cls.__doc__ == doc
        assert cls.__text_signature__ == signature
        assert str(inspect.signature(cls)) == signature

    def test_methods_in_table_order(self, cls):
        assert [name for name in vars(cls) if not name.startswith("_")] == list(METHOD_DOCS[cls]) + WGS84_METHODS

    def test_method_docstrings(self, cls):
        for name, doc in METHOD_DOCS[cls].items():
            method = getattr(cls, name)
            assert f"{name}{method.__text_signature__}\n--\n\n{method.__doc__}" == doc

    def test_method_signatures(self, cls):
        tree = cls([])
        for name, signature in BOUND_SIGNATURES.items():
            assert str(inspect.signature(getattr(tree, name))) == signature

    @pytest.mark.parametrize("name", ["in_rectangle"])
    def test_no_point_only_methods(self, cls, name):
        with pytest.raises(AttributeError):
            getattr(cls, name)
        with pytest.raises(AttributeError):
            getattr(cls([]), name)

    def test_binding_messages_name_the_class(self, cls):
        with pytest.raises(TypeError) as excinfo:
            cls()
        assert str(excinfo.value) == f"{cls.__name__}.__new__() missing 1 required positional argument: 'data'"
        with pytest.raises(TypeError) as excinfo:
            cls([]).within_distance((0, 0))
        assert str(excinfo.value) == (
            f"{cls.__name__}.within_distance() missing 1 required positional argument: 'radius_metres'"
        )


@by_name
class TestIndexing:
    def test_items_in_input_order(self, cls):
        data, value_class = SAMPLES[cls]
        tree = cls(data)
        assert len(tree) == 2
        values = [tree[0], tree.geometry(1)] + tree.geometries()
        assert [type(v).__name__ for v in values] == [value_class] * 4
        assert values[0].__geo_interface__ == values[2].__geo_interface__
        assert values[1].__geo_interface__ == values[3].__geo_interface__
        assert values[0] is not values[2]

    @pytest.mark.parametrize(("index", "error"), [(2, IndexError), (-1, OverflowError), (0.0, TypeError)])
    def test_bad_index(self, cls, index, error):
        tree = cls(SAMPLES[cls][0])
        with pytest.raises(error) as excinfo:
            tree[index]
        if error is IndexError:
            assert str(excinfo.value) == OUT_OF_RANGE
        with pytest.raises(error):
            tree.geometry(index)

    def test_values_outlive_their_tree(self, cls):
        tree = cls(SAMPLES[cls][0])
        expected = [v.__geo_interface__ for v in tree.geometries()]
        values = [tree[0], tree[1]]
        del tree
        assert [v.__geo_interface__ for v in values] == expected


@by_name
class TestEmptyTree:
    def test_everything_is_empty(self, cls):
        tree = cls([])
        assert len(tree) == 0
        assert tree.geometries() == []
        assert tree.nearest((0, 0)) is None
        assert tree.nearest_with_distance((0, 0)) is None
        assert tree.within_distance((0, 0), math.inf) == []
        assert tree.within_distance((0, 0), math.inf, True) == []
        with pytest.raises(IndexError, match=f"^{OUT_OF_RANGE}$"):
            tree[0]
        with pytest.raises(IndexError, match=f"^{OUT_OF_RANGE}$"):
            tree.geometry(0)


@by_name
class TestWithinDistanceArguments:
    @pytest.mark.parametrize("radius", [-1.0, math.nan])
    def test_negative_or_nan_radius_is_empty(self, cls, radius):
        assert cls(SAMPLES[cls][0]).within_distance((0.5, 0.5), radius) == []

    def test_small_tree_reports_in_descending_position(self, cls):
        tree = cls(SAMPLES[cls][0])
        assert tree.within_distance((0.5, 0.5), 1e7) == [1, 0]
        assert [i for i, _ in tree.within_distance((0.5, 0.5), 1e7, True)] == [1, 0]

    def test_errors_in_argument_order(self, cls):
        tree = cls(SAMPLES[cls][0])
        with pytest.raises(TypeError, match="must be real number"):
            tree.within_distance("bad query", "far", None)
        with pytest.raises(TypeError, match="not an instance of 'bool'"):
            tree.within_distance("bad query", 1.0, None)
        with pytest.raises(ValueError, match="^a coordinate must be a sequence of numbers(\n|$)"):
            tree.within_distance("bad query", 1.0, True)

    @pytest.mark.parametrize(
        ("method", "args"),
        [
            ("nearest", {"query": (2.5, 1.5)}),
            ("nearest_with_distance", {"query": (2.5, 1.5)}),
            ("within_distance", {"query": (2.5, 1.5), "radius_metres": 2e5, "return_distance": True}),
        ],
    )
    def test_keywords_match_positions(self, cls, method, args):
        tree = cls(SAMPLES[cls][0])
        assert getattr(tree, method)(**args) == getattr(tree, method)(*args.values())


# --- linestrings --------------------------------------------------------------------------


class TestLineStringTree:
    def test_identical_linestrings_tie_to_the_first(self):
        line = [(0, 0), (1, 1), (2, 0)]
        tree = GeodeticLineStringTree([line, line])
        assert tree.nearest((1, 3)) == 0
        position, metres = tree.nearest_with_distance((1, 3))
        assert position == 0
        assert metres == pytest.approx(chain_metres((1, 3), line), abs=1e-6)
        assert tree.within_distance((1, 1), 0.0, True) == [(1, 0.0), (0, 0.0)]

    def test_distance_along_the_equator(self):
        tree = GeodeticLineStringTree([[(0, 0), (60, 0)]])
        position, metres = tree.nearest_with_distance((30, 1))
        assert position == 0
        assert metres == pytest.approx(EARTH_RADIUS_METRES * math.pi / 180, rel=1e-12)

    def test_distance_is_to_the_arc_not_the_parallel(self):
        # The arc between two points on the 40th parallel bulges toward the pole: its
        # midpoint lies at atan(tan 40° / cos 60°), about 59.2°.
        tree = GeodeticLineStringTree([[(-60, 40), (60, 40)]])
        crest = math.degrees(math.atan(math.tan(math.radians(40)) / math.cos(math.radians(60))))
        assert tree.nearest_with_distance((0, crest))[1] < 1e-6
        _, on_parallel = tree.nearest_with_distance((0, 40))
        assert on_parallel == pytest.approx((crest - 40) * math.pi / 180 * EARTH_RADIUS_METRES, rel=1e-9)
        endpoints = min(angle(unit(0, 40), unit(*v)) for v in [(-60, 40), (60, 40)]) * EARTH_RADIUS_METRES
        assert on_parallel < endpoints

    def test_vertex_query_at_radius_zero(self):
        tree = GeodeticLineStringTree([[(5, 5), (6, 6)], [(7, 7), (8, 8)]])
        assert tree.within_distance((6, 6), 0.0, True) == [(0, 0.0)]

    def test_invalid_linestring(self):
        with pytest.raises(_sferix.GeodeticError, match="^too few points: found 1, need at least 2(\n|$)"):
            GeodeticLineStringTree([[(0, 0), (1, 1)], [(0, 0)]])


# --- polygons -------------------------------------------------------------------------------


class TestPolygonTree:
    def test_inside_is_distance_zero(self):
        tree = GeodeticPolygonTree([[SQUARE]])
        assert tree.nearest_with_distance((0.5, 0.5)) == (0, 0.0)
        assert tree.within_distance((0.5, 0.5), 0.0, True) == [(0, 0.0)]

    def test_overlapping_polygons(self):
        shifted = [(x + 0.5, y) for x, y in SQUARE]
        far = [(x + 10, y) for x, y in SQUARE]
        tree = GeodeticPolygonTree([[far], [SQUARE], [shifted]])
        assert tree.within_distance((0.75, 0.5), 0.0) == [2, 1]
        assert tree.nearest_with_distance((0.75, 0.5)) == (1, 0.0)
        assert tree.within_distance((0.25, 0.5), 0.0) == [1]

    def test_polygons_containing_the_query_tie_on_the_smaller_position(self):
        # Forty copies: the walk meets them in tree order, not input order.
        tree = GeodeticPolygonTree([[far] for far in [[(x + 10, y) for x, y in SQUARE]] * 3] + [[SQUARE]] * 40)
        assert tree.nearest_with_distance((0.5, 0.5)) == (3, 0.0)

    def test_point_in_a_hole_is_measured_to_the_ring(self):
        tree = GeodeticPolygonTree([[SQUARE, SQUARE_HOLE]])
        query = (0.5, 0.45)
        position, metres = tree.nearest_with_distance(query)
        assert position == 0
        assert metres > 0
        assert metres == pytest.approx(polygon_metres(query, [SQUARE, SQUARE_HOLE]), abs=1e-6)
        assert metres == pytest.approx(chain_metres(query, SQUARE_HOLE), abs=1e-6)
        assert tree.within_distance(query, 0.0) == []

    def test_clockwise_exterior_fills_the_rest_of_the_sphere(self):
        tree = GeodeticPolygonTree([[SQUARE[::-1]]])
        assert tree.nearest_with_distance((100, -40)) == (0, 0.0)
        assert tree.nearest_with_distance((0.5, 0.5))[1] > 0

    def test_unclosed_ring(self):
        with pytest.raises(_sferix.GeodeticError, match=r"^polygon ring is not closed \(first vertex != last\)(\n|$)"):
            GeodeticPolygonTree([[SQUARE[:-1]]])


def rotations(ring):
    """The closed ring started at each of its open vertices."""
    open_ring = ring[:-1]
    return [open_ring[k:] + open_ring[:k] + [open_ring[k]] for k in range(len(open_ring))]


WEDGE = [(0, 0), (1e-7, 0), (-1, 0.2), (-1, -0.2), (0, 0)]


class TestContainmentDoesNotDependOnWidthOrStart:
    # Check fix for the reference point 0.64 m left of the first edge being assumed
    # inside: beside a 1 cm first edge at the wedge's tip it is outside.
    @pytest.mark.parametrize("ring", rotations(WEDGE))
    @pytest.mark.parametrize("oriented", [True, False])
    def test_wedge(self, ring, oriented):
        tree = GeodeticPolygonTree([[ring]], oriented=oriented)
        assert tree.within_distance((-0.5, 0), 0.0) == [0]
        assert tree.within_distance((90, 0), 0.0) == []
        assert tree.within_distance((-0.5, 30), 0.0) == []


class TestOrientedKeyword:
    def test_clockwise_rings_fill_the_smaller_region(self):
        holed = [SQUARE[::-1], SQUARE_HOLE]
        tree = GeodeticPolygonTree([holed, [SQUARE]], oriented=False)
        assert tree.within_distance((0.1, 0.1), 0.0) == [1, 0]
        assert tree.within_distance((0.5, 0.5), 0.0) == [1]
        assert tree.within_distance((100, -40), 0.0) == []
        assert tree[0].__geo_interface__ == GeodeticPolygonTree([holed])[0].__geo_interface__  # rings as given

    def test_true_keeps_the_left_side(self):
        assert GeodeticPolygonTree([[SQUARE[::-1]]], oriented=True).within_distance((100, -40), 0.0) == [0]

    def test_is_keyword_only_and_strictly_bool(self):
        with pytest.raises(TypeError, match=r"^GeodeticPolygonTree\.__new__\(\) takes 1 positional arguments but 2 were given$"):
            GeodeticPolygonTree([[SQUARE]], False)
        with pytest.raises(TypeError, match=r"^'int' object is not an instance of 'bool'") as caught:
            GeodeticPolygonTree([[SQUARE[:-1]]], oriented=0)  # checked before the data
        assert getattr(caught.value, "__notes__", ["while processing 'oriented'"]) == ["while processing 'oriented'"]
        with pytest.raises(TypeError, match="unexpected keyword argument 'oriented'"):
            GeodeticLineStringTree([[(0, 0), (1, 1)]], oriented=False)


# --- against brute force ------------------------------------------------------------------------


class TestAgainstBruteForce:
    RADII = [0.0, 5e4, 3e5, 1.5e6]
    # Distances this close to the radius (relatively) may fall either way.
    BAND = 1e-6

    @staticmethod
    def queries(rng):
        return [(rng.uniform(-22, 22), rng.uniform(-22, 22)) for _ in range(25)]

    @pytest.fixture(
        scope="class",
        params=[
            (GeodeticLineStringTree, random_linestring, chain_metres),
            (GeodeticPolygonTree, random_triangle, polygon_metres),
        ],
        ids=["linestrings", "polygons"],
    )
    @classmethod
    def case(cls, request):
        tree_class, make, measure = request.param
        rng = random.Random(99)
        data = [make(rng) for _ in range(300)]
        queries = cls.queries(rng)
        # Vertices of the data as queries too: distance exactly zero for their own item.
        queries += [data[7][0] if tree_class is GeodeticLineStringTree else data[7][0][1]]
        exact = {q: [measure(q, item) for item in data] for q in queries}
        return tree_class(data), queries, exact

    def test_nearest(self, case):
        tree, queries, exact = case
        for query in queries:
            position, metres = tree.nearest_with_distance(query)
            best = min(exact[query])
            assert metres == pytest.approx(best, abs=1e-6)
            assert exact[query][position] == pytest.approx(best, abs=1e-6)
            assert tree.nearest(query) == position

    def test_within_distance(self, case):
        tree, queries, exact = case
        for query in queries:
            for radius in self.RADII:
                got = dict(tree.within_distance(query, radius, True))
                assert len(got) == len(tree.within_distance(query, radius))
                for i, d in enumerate(exact[query]):
                    if d < radius * (1 - self.BAND):
                        assert i in got, (query, radius, i)
                    elif d > radius * (1 + self.BAND) + 1e-6:
                        assert i not in got, (query, radius, i)
                for i, metres in got.items():
                    assert metres == pytest.approx(exact[query][i], rel=1e-9, abs=1e-6)

    def test_some_queries_are_inside_polygons(self, case):
        tree, queries, exact = case
        if isinstance(tree, GeodeticPolygonTree):
            assert sum(0.0 in distances for distances in exact.values()) >= 3


def circle(lon0, lat0, radius, n):
    """A counterclockwise ring of n edges about (lon0, lat0), convex on the sphere."""
    ring = [
        (lon0 + radius * math.cos(2 * math.pi * k / n) / math.cos(math.radians(lat0)),
         lat0 + radius * math.sin(2 * math.pi * k / n))
        for k in range(n)
    ]
    return ring + ring[:1]


class TestBigGeometries:
    """Geometries with enough edges to carry an edge index, which the tree builds with them."""

    EXTERIOR = circle(20.0, 40.0, 5.0, 300)
    HOLE = circle(20.0, 40.0, 2.0, 100)
    QUERIES = [(20.0 + dx, 40.0 + dy) for dx in (-9.0, -4.0, -1.0, 0.0, 3.5, 7.0) for dy in (-6.0, -3.0, 0.0, 2.5, 6.5)]

    def test_clockwise_with_oriented_false_fills_the_smaller_region(self):
        rings = [self.EXTERIOR, self.HOLE]
        given = GeodeticPolygonTree([rings])
        clockwise = GeodeticPolygonTree([[ring[::-1] for ring in rings]], oriented=False)
        for query in self.QUERIES:
            expected = polygon_metres(query, rings)
            for tree in (given, clockwise):
                position, metres = tree.nearest_with_distance(query)
                assert position == 0
                assert metres == pytest.approx(expected, rel=1e-9, abs=1e-6), query
                assert tree.within_distance(query, 0.0) == ([0] if expected == 0.0 else [])

    def test_trees_built_in_threads_agree(self):
        import threading

        lines = [self.EXTERIOR[:200], self.HOLE]
        polygons = [[self.EXTERIOR, self.HOLE], [circle(-60.0, -10.0, 3.0, 80)]]

        def answers():
            trees = (
                GeodeticLineStringTree(lines),
                GeodeticPolygonTree(polygons),
                GeodeticPolygonTree(polygons, oriented=False),
            )
            return [tree.within_distance(query, 300_000.0, True) for tree in trees for query in self.QUERIES]

        expected = answers()
        results = []
        threads = [threading.Thread(target=lambda: results.append(answers())) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert results == [expected] * len(threads)


def wobbly_ring(rng, lon, lat, radius, vertices):
    """A closed star-like ring of `vertices` points around (lon, lat), counterclockwise."""
    ring = []
    for j in range(vertices):
        a = 2 * math.pi * j / vertices
        r = radius * rng.uniform(0.6, 1.0)
        ring.append((lon + r * math.cos(a) / max(math.cos(math.radians(lat)), 0.2), lat + r * math.sin(a)))
    return ring + ring[:1]


@pytest.mark.parametrize("multipart", [False, True])
@pytest.mark.parametrize("k", [1, 3])
def test_nearest_k_of_many_large_items_matches_every_item_measured(multipart, k):
    # Items of up to a few hundred edges crowded together, so that most queries lie
    # outside all of them and near the boxes of many; repeated geometries make ties.
    rng = random.Random(30 + k + 2 * multipart)
    parts = [[wobbly_ring(rng, rng.uniform(-30, 30), rng.uniform(-30, 30), rng.uniform(1, 6),
                          rng.choice([12, 80, 300]))] for _ in range(60)]
    parts += parts[:6]
    if multipart:
        items = [{"type": "MultiPolygon", "coordinates": parts[i:i + 3]} for i in range(0, len(parts), 3)]
    else:
        items = [{"type": "Polygon", "coordinates": rings} for rings in parts]
    lines = [{"type": "MultiLineString", "coordinates": [ring for rings in (item["coordinates"] if multipart else
                                                                       [item["coordinates"]]) for ring in rings]}
             for item in items]
    queries = [(rng.uniform(-40, 40), rng.uniform(-40, 40)) for _ in range(150)]
    for kind, data in ((GeodeticPolygonTree, items), (GeodeticLineStringTree, lines)):
        tree = kind(data)
        singles = [kind([item]) for item in data]
        for q in queries:
            measured = sorted((single.nearest_k(q, 1)[0][1], i) for i, single in enumerate(singles))
            assert tree.nearest_k(q, k) == [(i, d) for d, i in measured[:k]]
            measured = sorted((single.nearest_k_wgs84(q, 1)[0][1], i) for i, single in enumerate(singles))
            assert tree.nearest_k_wgs84(q, k) == [(i, d) for d, i in measured[:k]]
