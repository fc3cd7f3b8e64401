"""Geometry input parsing, seen through the tree constructors.

Every shape of input (plain sequences, __geo_interface__ objects, GeoJSON-like dicts),
every error message and the order of the checks. Exact lists and tuples are read by a
fast path; each case that matters is also run through subclasses and custom sequences,
which take the general path, and must give the same result or error.
"""

import math

import pytest

import _sferix

pytestmark = pytest.mark.skipif(
    not all(hasattr(_sferix, name) for name in ("GeodeticPointTree", "GeodeticLineStringTree", "GeodeticPolygonTree")),
    reason="the tree classes are not registered yet",
)

NOT_NUMBERS = "a coordinate must be a sequence of numbers"
TOO_FEW_NUMBERS = "a coordinate needs at least a longitude and a latitude"
NO_EXTERIOR = "a polygon needs an exterior ring"
NOT_A_MAPPING = "__geo_interface__ did not return a mapping"
UNCLOSED = "polygon ring is not closed (first vertex != last)"

SQUARE = [(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 1.0), (0.0, 0.0)]
HOLE = [(0.25, 0.25), (0.75, 0.25), (0.75, 0.75), (0.25, 0.25)]
LINE = [(0.0, 0.0), (1.0, 1.0), (2.0, 0.5)]


def missing(key):
    return f"geo mapping is missing '{key}'"


def mismatch(kind, found):
    return f"expected a {kind} geometry, found '{found}'"


# --- building trees and reading back what they stored -------------------------------


def points(data):
    return [g.coordinates for g in _sferix.GeodeticPointTree(data).geometries()]


def linestrings(data):
    return [g.coordinates for g in _sferix.GeodeticLineStringTree(data).geometries()]


def polygons(data):
    return [(g.exterior, g.interiors) for g in _sferix.GeodeticPolygonTree(data).geometries()]


def outcome(build, data):
    """What building gives: ("ok", stored geometries) or (exception type, message)."""
    try:
        return ("ok", build(data))
    except Exception as error:  # noqa: BLE001 - the outcome is compared, not handled
        return (type(error), str(error))


# --- input shapes --------------------------------------------------------------------


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class Seq:
    """A sequence by __len__/__getitem__ only: read through the iterator protocol."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class Iterable:
    """Iterable but not a sequence: fine as a vertex or ring list, not as a coordinate."""

    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        return iter(self.items)


class GeoObject:
    """Offers a geo mapping through a __geo_interface__ property, counting its reads."""

    def __init__(self, mapping):
        self.mapping = mapping
        self.reads = 0

    @property
    def __geo_interface__(self):
        self.reads += 1
        return self.mapping


class StrictDict(dict):
    """A dict subclass whose own lookup methods must never be consulted."""

    def __getitem__(self, key):
        raise AssertionError("__getitem__ was called")

    def __missing__(self, key):
        raise AssertionError("__missing__ was called")

    def get(self, key, default=None):
        raise AssertionError("get was called")

    def __contains__(self, key):
        raise AssertionError("__contains__ was called")


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatRaises:
    def __float__(self):
        raise RuntimeError("no float today")


class IterRaises:
    """A sequence whose iteration fails."""

    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise RuntimeError("broken sequence")


class LenRaises(Seq):
    def __len__(self):
        raise RuntimeError("no length")


def point_dict(lon, lat):
    return {"type": "Point", "coordinates": (lon, lat)}


def feature(geometry, **properties):
    return {"type": "Feature", "geometry": geometry, "properties": properties}


COORDINATE_WRAPPERS = [list, tuple, ListSub, TupleSub, Seq]


class TestCoordinates:
    """One coordinate, read by every path: exact list/tuple, subclasses, custom sequences."""

    @pytest.mark.parametrize(
        ("members", "expected"),
        [
            ([10, 20], (10.0, 20.0)),
            ([10.5, -20.25], (10.5, -20.25)),
            ([10, 20, 99.0], (10.0, 20.0)),
            ([10, 20, 99.0, 7], (10.0, 20.0)),
            ([True, False], (1.0, 0.0)),
            ([Number(1.5), Index(2)], (1.5, 2.0)),
            ([-180, 90], (-180.0, 90.0)),
            ([-0.0, 0.0], (-0.0, 0.0)),
            ([1.0, 2**1024], (ValueError, NOT_NUMBERS)),
            ([2**1024, "x"], (ValueError, NOT_NUMBERS)),
            ([10, "20"], (ValueError, NOT_NUMBERS)),
            (["10", "20"], (ValueError, NOT_NUMBERS)),
            ([10, 20, "altitude"], (ValueError, NOT_NUMBERS)),
            ([10, 20, None], (ValueError, NOT_NUMBERS)),
            ([10, FloatRaises()], (ValueError, NOT_NUMBERS)),
            ([[10], 20], (ValueError, NOT_NUMBERS)),
            (["x"], (ValueError, NOT_NUMBERS)),
            ([10], (ValueError, TOO_FEW_NUMBERS)),
            ([], (ValueError, TOO_FEW_NUMBERS)),
            ([math.nan, 0], (_sferix.GeodeticError, "longitude or latitude was NaN or infinite")),
            ([200, 0], (_sferix.GeodeticError, "longitude 200 outside [-180.0, 180.0]")),
            ([0, -90.5], (_sferix.GeodeticError, "latitude -90.5 outside [-90.0, 90.0]")),
        ],
    )
    @pytest.mark.parametrize("wrap", COORDINATE_WRAPPERS, ids=lambda w: w.__name__)
    def test_every_path_agrees(self, wrap, members, expected):
        got = outcome(points, [wrap(members)])
        if expected[0] in (ValueError, _sferix.GeodeticError):
            assert got == expected
        else:
            assert got == ("ok", [expected])

    def test_negative_zero_is_kept(self):
        (lon, lat), = points([(-0.0, 0.0)])
        assert math.copysign(1.0, lon) == -1.0

    @pytest.mark.parametrize(
        "coordinate",
        ["10,20", "ab", 10, 10.5, None, {"x": 1}, {10: 1, 20: 2}, Iterable([10, 20])],
        ids=repr,
    )
    def test_not_a_sequence_of_numbers(self, coordinate):
        with pytest.raises(ValueError) as excinfo:
            _sferix.GeodeticPointTree([coordinate])
        assert excinfo.type is ValueError
        assert str(excinfo.value) == NOT_NUMBERS

    def test_bytes_are_a_sequence_of_numbers(self):
        assert points([b"\x0a\x14", bytearray(b"\x0b\x15")]) == [(10.0, 20.0), (11.0, 21.0)]

    def test_failing_iteration_inside_a_coordinate_becomes_value_error(self):
        with pytest.raises(ValueError, match=f"^{NOT_NUMBERS}(\n|$)"):
            _sferix.GeodeticPointTree([IterRaises()])

    def test_failing_length_is_ignored(self):
        assert points([LenRaises([1, 2])]) == [(1.0, 2.0)]

    def test_subclass_iteration_is_honoured(self):
        class Reversed(tuple):
            def __iter__(self):
                return iter(reversed(tuple(tuple.__iter__(self))))

        assert points([Reversed((10, 20))]) == [(20.0, 10.0)]


class TestVertexAndRingLists:
    OUTER_WRAPPERS = [list, tuple, ListSub, TupleSub, Seq, Iterable, iter]

    @pytest.mark.parametrize("outer", OUTER_WRAPPERS, ids=lambda w: w.__name__)
    @pytest.mark.parametrize("inner", COORDINATE_WRAPPERS, ids=lambda w: w.__name__)
    def test_linestring_through_every_path(self, outer, inner):
        assert linestrings([outer([inner(c) for c in LINE])]) == [LINE]

    @pytest.mark.parametrize("outer", OUTER_WRAPPERS, ids=lambda w: w.__name__)
    def test_polygon_through_every_path(self, outer):
        data = [outer([outer(SQUARE), outer(HOLE)])]
        assert polygons(data) == [(SQUARE, [HOLE])]

    @pytest.mark.parametrize("outer", [list, ListSub], ids=lambda w: w.__name__)
    def test_list_growing_while_read(self, outer):
        # A coordinate whose iteration appends to the vertex list being read: the new
        # vertex is seen, as the list iterator would see it.
        vertices = outer()

        class Growing(Seq):
            def __iter__(self):
                vertices.append((5.0, 5.0))
                return iter(self.items)

        vertices.extend([(0.0, 0.0), Growing([1.0, 1.0])])
        assert linestrings([vertices]) == [[(0.0, 0.0), (1.0, 1.0), (5.0, 5.0)]]

    @pytest.mark.parametrize(
        ("build", "data"),
        [(linestrings, [5]), (linestrings, [None]), (polygons, [5]), (polygons, [[5]]), (polygons, [None])],
    )
    def test_not_iterable(self, build, data):
        with pytest.raises(TypeError, match="not iterable"):
            build(data)

    def test_iterator_error_outside_a_coordinate_propagates(self):
        def vertices():
            yield (0.0, 0.0)
            raise KeyError("vertex source")

        with pytest.raises(KeyError, match="vertex source"):
            linestrings([vertices()])

    def test_linestring_too_short(self):
        with pytest.raises(_sferix.GeodeticError, match=r"^too few points: found 1, need at least 2(\n|$)"):
            linestrings([[(0.0, 0.0)]])

    @pytest.mark.parametrize("rings", [[], (), iter([]), Seq([])], ids=repr)
    def test_polygon_without_rings(self, rings):
        with pytest.raises(ValueError) as excinfo:
            polygons([rings])
        assert excinfo.type is ValueError
        assert str(excinfo.value) == NO_EXTERIOR

    def test_unclosed_hole_is_reported_though_the_exterior_is_valid(self):
        with pytest.raises(_sferix.GeodeticError) as excinfo:
            polygons([[SQUARE, HOLE[:-1]]])
        assert str(excinfo.value) == UNCLOSED

    def test_bad_exterior_is_reported_before_later_rings_are_read(self):
        read = []

        def rings():
            yield SQUARE[:-1]
            read.append("second ring")
            yield "not a ring"

        with pytest.raises(_sferix.GeodeticError, match=r"^polygon ring is not closed"):
            polygons([rings()])
        assert read == []

    def test_rings_are_validated_in_order(self):
        with pytest.raises(_sferix.GeodeticError, match=r"^polygon ring is not closed"):
            polygons([[SQUARE, HOLE[:-1], "not a ring"]])
        with pytest.raises(ValueError, match=f"^{NOT_NUMBERS}(\n|$)"):
            polygons([[SQUARE, "not a ring", HOLE[:-1]]])


class TestGeoMapping:
    @pytest.mark.parametrize(
        ("build", "data", "expected"),
        [
            (points, point_dict(1, 2), [(1.0, 2.0)]),
            (points, feature(point_dict(1, 2)), [(1.0, 2.0)]),
            (points, GeoObject(point_dict(1, 2)), [(1.0, 2.0)]),
            (points, feature(feature(point_dict(1, 2))), [(1.0, 2.0)]),
            (points, {"type": "Point", "coordinates": Seq([1, 2])}, [(1.0, 2.0)]),
            (linestrings, {"type": "LineString", "coordinates": LINE}, [LINE]),
            (linestrings, feature({"type": "LineString", "coordinates": iter(LINE)}), [LINE]),
            (polygons, {"type": "Polygon", "coordinates": [SQUARE, HOLE]}, [(SQUARE, [HOLE])]),
            (polygons, GeoObject(feature({"type": "Polygon", "coordinates": [SQUARE]})), [(SQUARE, [])]),
        ],
    )
    def test_single_geometry_as_data(self, build, data, expected):
        assert build(data) == expected

    def test_dict_subclass_lookups_are_plain(self):
        data = StrictDict(type="Point", coordinates=(1, 2))
        assert points(data) == [(1.0, 2.0)]
        assert points([StrictDict(type="Feature", geometry=StrictDict(type="Point", coordinates=(3, 4)))]) == [
            (3.0, 4.0)
        ]
        assert points(StrictDict(type="FeatureCollection", features=[point_dict(5, 6)])) == [(5.0, 6.0)]

    def test_missing_member_is_not_filled_by_missing_hook(self):
        class Defaulting(dict):
            def __missing__(self, key):
                return (1, 2)

        with pytest.raises(ValueError, match=f"^{missing('coordinates')}(\n|$)"):
            points([Defaulting(type="Point")])

    def test_str_subclass_type_name(self):
        class Name(str):
            def __eq__(self, other):
                return False

            __hash__ = str.__hash__

        assert points([{"type": Name("Point"), "coordinates": (1, 2)}]) == [(1.0, 2.0)]

    def test_type_names_are_case_sensitive(self):
        with pytest.raises(ValueError, match=f"^{mismatch('Point', 'point')}(\n|$)"):
            points([{"type": "point", "coordinates": (1, 2)}])

    def test_geo_interface_wins_over_the_dict_itself(self):
        class Described(dict):
            @property
            def __geo_interface__(self):
                return point_dict(7, 8)

        assert points([Described(type="Point", coordinates=(1, 2))]) == [(7.0, 8.0)]

    def test_raising_geo_interface_means_no_mapping(self):
        class Broken(list):
            @property
            def __geo_interface__(self):
                raise RuntimeError("unavailable")

        assert points([Broken([1, 2])]) == [(1.0, 2.0)]

        class BrokenDict(dict):
            @property
            def __geo_interface__(self):
                raise LookupError("any ordinary error")

        assert points([BrokenDict(type="Point", coordinates=(3, 4))]) == [(3.0, 4.0)]

    @pytest.mark.parametrize("value", [[("Point", (1, 2))], None, "Point", 5], ids=repr)
    def test_geo_interface_not_a_dict(self, value):
        with pytest.raises(ValueError, match=f"^{NOT_A_MAPPING}(\n|$)"):
            points([GeoObject(value)])

    def test_geo_interface_as_a_method(self):
        class Method:
            def __geo_interface__(self):
                return point_dict(1, 2)

        with pytest.raises(ValueError, match=f"^{NOT_A_MAPPING}(\n|$)"):
            points([Method()])

    def test_geo_interface_returning_a_mapping_that_is_not_a_dict(self):
        from types import MappingProxyType

        with pytest.raises(ValueError, match=f"^{NOT_A_MAPPING}(\n|$)"):
            points([GeoObject(MappingProxyType(point_dict(1, 2)))])

    def test_dict_without_type_is_not_a_mapping(self):
        # As data it is iterated like any iterable (over its keys) ...
        assert points({(1, 2): "first", (3, 4): "second"}) == [(1.0, 2.0), (3.0, 4.0)]
        # ... and as a coordinate it is not a sequence.
        with pytest.raises(ValueError, match=f"^{NOT_NUMBERS}(\n|$)"):
            points([{"coordinates": (1, 2)}])

    @pytest.mark.parametrize(
        ("build", "data", "key"),
        [
            (points, [{"type": "Point"}], "coordinates"),
            (points, [{"type": "Feature"}], "geometry"),
            (points, {"type": "FeatureCollection"}, "features"),
            (points, {"type": "GeometryCollection"}, "geometries"),
            (points, {"type": "MultiPoint"}, "coordinates"),
            (linestrings, {"type": "MultiLineString"}, "coordinates"),
            (polygons, {"type": "MultiPolygon"}, "coordinates"),
            (linestrings, [{"type": "LineString"}], "coordinates"),
            (polygons, [{"type": "Polygon"}], "coordinates"),
            (points, GeoObject({}), "type"),
            (points, [GeoObject({"coordinates": (1, 2)})], "type"),
        ],
    )
    def test_missing_member(self, build, data, key):
        with pytest.raises(ValueError) as excinfo:
            build(data)
        assert excinfo.type is ValueError
        assert str(excinfo.value) == missing(key)

    @pytest.mark.parametrize(
        ("type_value", "message"),
        [
            (5, "'int' object is not an instance of 'str'"),
            (None, "'None' is not an instance of 'str'"),
            (b"Point", "'bytes' object is not an instance of 'str'"),
        ],
    )
    def test_type_not_a_str(self, type_value, message):
        with pytest.raises(TypeError, match=f"^{message}(\n|$)"):
            points({"type": type_value, "coordinates": (1, 2)})
        with pytest.raises(TypeError, match=f"^{message}(\n|$)"):
            points([GeoObject({"type": type_value})])

    @pytest.mark.parametrize(
        ("build", "kind", "data", "found"),
        [
            (points, "Point", [{"type": "LineString", "coordinates": LINE}], "LineString"),
            (points, "Point", [feature({"type": "Polygon", "coordinates": [SQUARE]})], "Polygon"),
            (points, "Point", {"type": "GeometryCollection", "geometries": [{"type": "MultiPoint"}]}, "MultiPoint"),
            (points, "Point", [feature({"type": "FeatureCollection", "features": []})], "FeatureCollection"),
            (points, "Point", {"type": "FeatureCollection", "features": [{"type": "FeatureCollection"}]}, "FeatureCollection"),
            (points, "Point", [{"type": "Unknown ünïcode"}], "Unknown ünïcode"),
            (linestrings, "LineString", [point_dict(1, 2)], "Point"),
            (linestrings, "LineString", [feature({"type": "MultiPolygon", "coordinates": [[LINE]]})], "MultiPolygon"),
            (polygons, "Polygon", [{"type": "LineString", "coordinates": LINE}], "LineString"),
            (polygons, "Polygon", {"type": "GeometryCollection", "geometries": [GeoObject({"type": "Point"})]}, "Point"),
        ],
    )
    def test_type_mismatch(self, build, kind, data, found):
        with pytest.raises(ValueError) as excinfo:
            build(data)
        assert excinfo.type is ValueError
        assert str(excinfo.value) == mismatch(kind, found)

    def test_type_mismatch_with_a_surrogate_in_the_name(self):
        with pytest.raises(ValueError) as excinfo:
            points([{"type": "bad\udc80"}])
        assert str(excinfo.value) == mismatch("Point", "bad\udc80")

    @pytest.mark.parametrize(
        ("build", "error", "text"),
        [(points, ValueError, NOT_NUMBERS), (linestrings, TypeError, "not iterable"), (polygons, TypeError, "not iterable")],
    )
    def test_feature_without_geometry_value(self, build, error, text):
        with pytest.raises(error, match=text):
            build([feature(None)])

    def test_deeply_nested_features(self):
        geometry = point_dict(1, 2)
        for _ in range(200):
            geometry = feature(geometry)
        assert points([geometry]) == [(1.0, 2.0)]

    def test_feature_containing_itself(self):
        looping = {"type": "Feature"}
        looping["geometry"] = looping
        for build in (points, linestrings, polygons):
            with pytest.raises(RecursionError, match="while parsing a geometry"):
                build([looping])
            with pytest.raises(RecursionError):
                build(looping)

    def test_geo_interface_containing_itself(self):
        # Python frames of the property and the parser's own depth share one limit; if the
        # property is the one to hit it, its RecursionError is dropped like any failing
        # __geo_interface__ lookup and the object is then read as a (bad) coordinate.
        described = GeoObject(None)
        described.mapping = {"type": "Feature", "geometry": described}
        with pytest.raises((RecursionError, ValueError)):
            points([described])

    def test_geo_interface_read_once_per_element_and_twice_at_the_top(self):
        top = GeoObject(point_dict(1, 2))
        points(top)
        assert top.reads == 2
        inner = GeoObject(point_dict(1, 2))
        points([inner])
        assert inner.reads == 1


class TestCollections:
    def test_feature_collection(self):
        data = {
            "type": "FeatureCollection",
            "features": [feature(point_dict(1, 2), name="a"), feature(point_dict(3, 4)), point_dict(5, 6)],
        }
        assert points(data) == [(1.0, 2.0), (3.0, 4.0), (5.0, 6.0)]

    @pytest.mark.parametrize(
        ("build", "data", "expected"),
        [
            (points, {"type": "MultiPoint", "coordinates": [(1, 2), [3, 4]]}, [(1.0, 2.0), (3.0, 4.0)]),
            (points, {"type": "GeometryCollection", "geometries": (point_dict(1, 2), GeoObject(point_dict(3, 4)))}, [(1.0, 2.0), (3.0, 4.0)]),
            (linestrings, {"type": "MultiLineString", "coordinates": [LINE, LINE[:2]]}, [LINE, LINE[:2]]),
            (polygons, {"type": "MultiPolygon", "coordinates": [[SQUARE], [SQUARE, HOLE]]}, [(SQUARE, []), (SQUARE, [HOLE])]),
            (polygons, GeoObject({"type": "FeatureCollection", "features": iter([feature({"type": "Polygon", "coordinates": [SQUARE]})])}), [(SQUARE, [])]),
            (points, {"type": "FeatureCollection", "features": []}, []),
            (points, [], []),
            (points, (), []),
            (points, iter([]), []),
        ],
    )
    def test_one_element_per_member(self, build, data, expected):
        assert build(data) == expected

    def test_expansion_ignores_the_wanted_kind(self):
        # The polygons of a MultiPolygon given as point data are parsed as points.
        with pytest.raises(ValueError, match=f"^{NOT_NUMBERS}(\n|$)"):
            points({"type": "MultiPolygon", "coordinates": [[SQUARE]]})

    @pytest.mark.parametrize("member", ["features", "geometries"])
    def test_members_not_iterable(self, member):
        kind = "FeatureCollection" if member == "features" else "GeometryCollection"
        with pytest.raises(TypeError, match="not iterable"):
            points({"type": kind, member: 5})

    def test_data_not_iterable(self):
        with pytest.raises(TypeError, match="not iterable"):
            points(5)

    def test_str_data_is_a_sequence_of_strings(self):
        with pytest.raises(ValueError, match=f"^{NOT_NUMBERS}(\n|$)"):
            points("10,20")

    def test_bare_pair_is_not_point_data(self):
        with pytest.raises(ValueError, match=f"^{NOT_NUMBERS}(\n|$)"):
            points([10, 20])


class TestCollectionOrder:
    def test_generator_is_consumed_before_parsing(self):
        consumed = []

        def data():
            yield "not a point"
            yield (1, 2)
            consumed.append(True)

        with pytest.raises(ValueError, match=f"^{NOT_NUMBERS}(\n|$)"):
            points(data())
        assert consumed == [True]

    def test_iterator_error_beats_parse_errors(self):
        def data():
            yield "not a point"
            raise LookupError("source failed")

        with pytest.raises(LookupError, match="source failed"):
            points(data())

    @pytest.mark.parametrize(
        ("data", "error", "message"),
        [
            ([(200, 0), "x"], _sferix.GeodeticError, "longitude 200 outside [-180.0, 180.0]"),
            (["x", (200, 0)], ValueError, NOT_NUMBERS),
            ([(1, 2), {"type": "Point"}, (0, 100)], ValueError, missing("coordinates")),
        ],
    )
    def test_first_failure_in_element_order(self, data, error, message):
        with pytest.raises(error) as excinfo:
            points(data)
        assert excinfo.type is error
        assert str(excinfo.value) == message

    def test_large_input(self):
        data = [(i % 360 - 180 + 0.5, (i % 170) - 85.0) for i in range(100_000)]
        assert points(data) == [(float(lon), float(lat)) for lon, lat in data]


class TestValueObjectsAsInput:
    def test_points_fed_back(self):
        tree = _sferix.GeodeticPointTree([(1.5, 2.5), (-0.0, 90)])
        assert points(tree.geometries()) == [(1.5, 2.5), (-0.0, 90.0)]
        assert points(tree.geometry(0)) == [(1.5, 2.5)]
        assert points([{"type": "Feature", "geometry": tree.geometry(1)}]) == [(-0.0, 90.0)]

    def test_linestrings_fed_back(self):
        tree = _sferix.GeodeticLineStringTree([LINE])
        assert linestrings(tree.geometries()) == [LINE]
        assert linestrings(tree.geometry(0)) == [LINE]

    def test_polygons_fed_back(self):
        tree = _sferix.GeodeticPolygonTree([[SQUARE, HOLE], [SQUARE]])
        assert polygons(tree.geometries()) == [(SQUARE, [HOLE]), (SQUARE, [])]
        assert polygons(tree.geometry(0).__geo_interface__) == [(SQUARE, [HOLE])]

    def test_wrong_kind_fed_back(self):
        point = _sferix.GeodeticPointTree([(1, 2)]).geometry(0)
        with pytest.raises(ValueError, match=f"^{mismatch('LineString', 'Point')}(\n|$)"):
            linestrings([point])


BAD_POINT = (0.0, 95.0)
BAD_LINE = [(0.0, 0.0)]
BAD_POLYGON = [[(0.0, 0.0), (1.0, 0.0), (1.0, 1.0)]]

GOOD_THEN_BAD_POINTS = [(0, 0), (1, 1), BAD_POINT]
LATITUDE_95 = "latitude 95 outside [-90.0, 90.0]"

# (tree class, data whose item 2 is the first that fails, that failure's type and message)
ITEM_TWO_FAILS = {
    "sequence": (_sferix.GeodeticPointTree, GOOD_THEN_BAD_POINTS, _sferix.GeodeticError, LATITUDE_95),
    "malformed": (_sferix.GeodeticPointTree, [(0, 0), (1, 1), "x"], ValueError, NOT_NUMBERS),
    "geo interface": (
        _sferix.GeodeticPointTree,
        [(0, 0), (1, 1), GeoObject({"type": "Point"})],
        ValueError,
        missing("coordinates"),
    ),
    "feature collection": (
        _sferix.GeodeticPointTree,
        {"type": "FeatureCollection", "features": [feature(point_dict(*c)) for c in GOOD_THEN_BAD_POINTS]},
        _sferix.GeodeticError,
        LATITUDE_95,
    ),
    "multipoint": (
        _sferix.GeodeticPointTree,
        {"type": "MultiPoint", "coordinates": GOOD_THEN_BAD_POINTS},
        _sferix.GeodeticError,
        LATITUDE_95,
    ),
    "linestrings": (
        _sferix.GeodeticLineStringTree,
        [LINE, LINE, BAD_LINE],
        _sferix.GeodeticError,
        "too few points: found 1, need at least 2",
    ),
    "polygons": (_sferix.GeodeticPolygonTree, [[SQUARE], [SQUARE, HOLE], BAD_POLYGON], _sferix.GeodeticError, UNCLOSED),
}


class TestFailingItem:
    """A failure while reading the input names the tree position of the item that raised it."""

    @pytest.mark.parametrize(("tree", "data", "error", "message"), ITEM_TWO_FAILS.values(), ids=ITEM_TWO_FAILS.keys())
    def test_item_is_named_and_the_message_kept(self, tree, data, error, message):
        with pytest.raises(error) as excinfo:
            tree(data)
        assert type(excinfo.value) is error
        assert str(excinfo.value) == message
        assert excinfo.value.item == 2
        assert getattr(excinfo.value, "__notes__", ["while reading item 2"]) == ["while reading item 2"]

    def test_an_iterator_failure_belongs_to_no_item(self):
        def broken():
            yield (0, 0)
            raise LookupError("source gone")

        with pytest.raises(LookupError) as excinfo:
            _sferix.GeodeticPointTree(broken())
        assert not hasattr(excinfo.value, "item")

    def test_item_is_set_where_exceptions_take_no_notes(self):
        class NoNotes(Exception):
            @property
            def add_note(self):  # as on 3.10
                raise AttributeError("add_note")

        def vertices():
            yield (0, 0)
            raise NoNotes

        with pytest.raises(NoNotes) as excinfo:
            _sferix.GeodeticLineStringTree([LINE, LINE, vertices()])
        assert excinfo.value.item == 2
        assert not hasattr(excinfo.value, "__notes__")
