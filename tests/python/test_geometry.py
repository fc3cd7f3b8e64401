"""The value classes Point, LineString and Polygon."""

import gc
import math

import pytest

import _sferix

VALUE_CLASSES = ["Point", "LineString", "Polygon"]

CLASS_DOCS = {
    "Point": "A geodetic point `(lon, lat)` in degrees.",
    "LineString": "A geodetic linestring: a sequence of `(lon, lat)` vertices joined by great-circle arcs.",
    "Polygon": "A filled geodetic polygon: an exterior ring and any interior rings (holes).",
}

# Every attribute of each class with its docstring (None: no docstring).
BINARY_FORM_DOCS = {
    "to_bytes": "The geometry in its binary form, which `from_bytes` reads back.",
    "from_bytes": (
        "The geometry whose binary form is `data` (made by `to_bytes`), checked as\nany input; a bad buffer raises "
        "ValueError."
    ),
}
ATTRIBUTE_DOCS = {
    "Point": {**BINARY_FORM_DOCS, "x": None, "y": None, "coordinates": "The `(lon, lat)` pair.", "__geo_interface__": None},
    "LineString": {**BINARY_FORM_DOCS, "coordinates": "The `(lon, lat)` vertices.", "__geo_interface__": None},
    "Polygon": {
        **BINARY_FORM_DOCS,
        "exterior": "The exterior ring's `(lon, lat)` vertices (closed; first == last).",
        "interiors": "The interior rings, each a list of `(lon, lat)` vertices.",
        "__geo_interface__": None,
    },
}

SQUARE = [(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 1.0), (0.0, 0.0)]
HOLE = [(0.25, 0.25), (0.75, 0.25), (0.75, 0.75), (0.25, 0.25)]
SECOND_HOLE = [(0.1, 0.8), (0.2, 0.8), (0.2, 0.9), (0.1, 0.8)]

needs_trees = pytest.mark.skipif(
    not all(hasattr(_sferix, name) for name in ("GeodeticPointTree", "GeodeticLineStringTree", "GeodeticPolygonTree")),
    reason="value objects come from the tree classes, which are not registered yet",
)


def point(lon, lat):
    return _sferix.GeodeticPointTree([(lon, lat)]).geometry(0)


def linestring(vertices):
    return _sferix.GeodeticLineStringTree([vertices]).geometry(0)


def polygon(*rings):
    return _sferix.GeodeticPolygonTree([list(rings)]).geometry(0)


class TestClasses:
    def test_registered_in_order(self):
        assert _sferix.__all__[2:5] == VALUE_CLASSES

    @pytest.mark.parametrize("name", VALUE_CLASSES)
    def test_type_names(self, name):
        cls = getattr(_sferix, name)
        assert cls.__module__ == "sferix"
        assert cls.__qualname__ == name
        assert repr(cls) == f"<class 'sferix.{name}'>"

    @pytest.mark.parametrize("name", VALUE_CLASSES)
    def test_docstring(self, name):
        assert getattr(_sferix, name).__doc__ == CLASS_DOCS[name]

    @pytest.mark.parametrize("name", VALUE_CLASSES)
    def test_attributes_and_their_docstrings(self, name):
        cls = getattr(_sferix, name)
        for attribute, doc in ATTRIBUTE_DOCS[name].items():
            assert getattr(cls, attribute).__doc__ == doc
        own = {key for key in vars(cls) if not key.startswith("__") or key == "__geo_interface__"}
        assert own == set(ATTRIBUTE_DOCS[name])

    @pytest.mark.parametrize("name", VALUE_CLASSES)
    @pytest.mark.parametrize("args", [(), (1.0, 2.0)])
    def test_not_instantiable(self, name, args):
        with pytest.raises(TypeError, match="cannot create 'sferix"):
            getattr(_sferix, name)(*args)

    @pytest.mark.parametrize("name", VALUE_CLASSES)
    def test_not_subclassable(self, name):
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Derived", (getattr(_sferix, name),), {})

    def test_only_linestring_has_a_length(self):
        assert hasattr(_sferix.LineString, "__len__")
        assert not hasattr(_sferix.Point, "__len__")
        assert not hasattr(_sferix.Polygon, "__len__")

    @pytest.mark.parametrize("name", VALUE_CLASSES)
    def test_no_comparison_or_hash_of_their_own(self, name):
        cls = getattr(_sferix, name)
        assert cls.__eq__ is object.__eq__
        assert cls.__hash__ is object.__hash__


@needs_trees
class TestPoint:
    @pytest.mark.parametrize(
        ("lon", "lat", "text"),
        [
            (10, 20.5, "Point(lon=10, lat=20.5)"),
            (-0.0, 0.0, "Point(lon=-0, lat=0)"),
            (0.1, 1e-7, "Point(lon=0.1, lat=0.0000001)"),
            (-180.0, -90.0, "Point(lon=-180, lat=-90)"),
            (179.99999999999997, 2.5, "Point(lon=179.99999999999997, lat=2.5)"),
        ],
    )
    def test_repr(self, lon, lat, text):
        assert repr(point(lon, lat)) == text

    def test_attributes(self):
        p = point(10, 20.5)
        assert (p.x, p.y) == (10.0, 20.5)
        assert type(p.x) is float and type(p.y) is float
        assert p.coordinates == (10.0, 20.5)
        assert type(p.coordinates) is tuple

    def test_geo_interface(self):
        mapping = point(10, 20.5).__geo_interface__
        assert mapping == {"type": "Point", "coordinates": (10.0, 20.5)}
        assert list(mapping) == ["type", "coordinates"]
        assert type(mapping["coordinates"]) is tuple

    def test_values_kept_as_given(self):
        p = point(-0.0, -90)
        assert math.copysign(1.0, p.x) == -1.0
        assert math.copysign(1.0, p.coordinates[0]) == -1.0
        assert (point(180, 0).x, point(-180, 0).x) == (180.0, -180.0)

    def test_has_no_length(self):
        with pytest.raises(TypeError):
            len(point(1, 2))


@needs_trees
class TestLineString:
    def test_vertices(self):
        vertices = [(0.0, 0.0), (1.0, 1.0), (1.0, 1.0)]
        line = linestring(vertices)
        assert len(line) == 3
        assert repr(line) == "LineString(3 vertices)"
        assert line.coordinates == vertices
        assert all(type(vertex) is tuple for vertex in line.coordinates)

    def test_geo_interface(self):
        mapping = linestring([(0, 0), (1, 2)]).__geo_interface__
        assert mapping == {"type": "LineString", "coordinates": [(0.0, 0.0), (1.0, 2.0)]}
        assert list(mapping) == ["type", "coordinates"]
        assert type(mapping["coordinates"]) is list

    def test_plural_for_every_count(self):
        assert repr(linestring([(0, 0), (1, 1)])) == "LineString(2 vertices)"


@needs_trees
class TestPolygon:
    @pytest.mark.parametrize(
        ("rings", "text"),
        [
            ((SQUARE,), "Polygon(exterior 5 vertices, 0 holes)"),
            ((SQUARE, HOLE), "Polygon(exterior 5 vertices, 1 holes)"),
            ((SQUARE, HOLE, SECOND_HOLE), "Polygon(exterior 5 vertices, 2 holes)"),
        ],
    )
    def test_repr(self, rings, text):
        assert repr(polygon(*rings)) == text

    def test_rings(self):
        shape = polygon(SQUARE, HOLE, SECOND_HOLE)
        assert shape.exterior == SQUARE
        assert shape.exterior[0] == shape.exterior[-1]
        assert shape.interiors == [HOLE, SECOND_HOLE]
        assert all(type(vertex) is tuple for vertex in shape.exterior)

    def test_without_holes(self):
        shape = polygon(SQUARE)
        assert shape.interiors == []
        assert shape.__geo_interface__ == {"type": "Polygon", "coordinates": [SQUARE]}

    def test_geo_interface(self):
        mapping = polygon(SQUARE, HOLE).__geo_interface__
        assert mapping == {"type": "Polygon", "coordinates": [SQUARE, HOLE]}
        assert list(mapping) == ["type", "coordinates"]
        assert all(type(ring) is list for ring in mapping["coordinates"])

    def test_has_no_length(self):
        with pytest.raises(TypeError):
            len(polygon(SQUARE))


@needs_trees
class TestValueSemantics:
    @staticmethod
    def samples():
        return [point(1, 2), linestring([(0, 0), (1, 1)]), polygon(SQUARE, HOLE)]

    @pytest.mark.parametrize("attribute", ["x", "y", "coordinates", "exterior", "interiors", "__geo_interface__", "extra"])
    def test_read_only(self, attribute):
        for value in self.samples():
            with pytest.raises(AttributeError):
                setattr(value, attribute, 1)
            with pytest.raises(AttributeError):
                delattr(value, attribute)

    def test_returned_objects_are_copies(self):
        line = linestring([(0, 0), (1, 1)])
        line.coordinates.append((5.0, 5.0))
        line.__geo_interface__["coordinates"].clear()
        assert line.coordinates == [(0.0, 0.0), (1.0, 1.0)]
        shape = polygon(SQUARE, HOLE)
        shape.interiors[0].clear()
        shape.exterior.pop()
        assert shape.interiors == [HOLE]
        assert shape.exterior == SQUARE

    def test_identity_semantics(self):
        tree = _sferix.GeodeticPointTree([(1, 2)])
        first, second = tree.geometry(0), tree.geometry(0)
        assert first is not second
        assert first != second
        assert first.coordinates == second.coordinates
        assert len({first, second}) == 2

    def test_outlive_their_tree(self):
        trees = [
            _sferix.GeodeticPointTree([(1, 2), (3, 4)]),
            _sferix.GeodeticLineStringTree([[(0, 0), (1, 1)]]),
            _sferix.GeodeticPolygonTree([[SQUARE, HOLE]]),
        ]
        values = [value for tree in trees for value in tree.geometries()]
        del trees
        gc.collect()
        assert [repr(value) for value in values] == [
            "Point(lon=1, lat=2)",
            "Point(lon=3, lat=4)",
            "LineString(2 vertices)",
            "Polygon(exterior 5 vertices, 1 holes)",
        ]
        assert values[3].interiors == [HOLE]

    def test_geometries_gives_one_new_object_per_geometry(self):
        tree = _sferix.GeodeticPointTree([(1, 2), (3, 4), (5, 6)])
        first, second = tree.geometries(), tree.geometries()
        assert [p.coordinates for p in first] == [(1.0, 2.0), (3.0, 4.0), (5.0, 6.0)]
        assert all(a is not b for a, b in zip(first, second))
        assert _sferix.GeodeticPointTree([]).geometries() == []


@pytest.mark.parametrize(("length", "refused"), [(179.95, False), (179.962, True), (179.99, True)])
def test_edges_refused_from_the_cut_off_the_message_gives(length, refused):
    if not refused:
        _sferix.GeodeticLineStringTree([[(0.0, 0.0), (length, 0.0)]])
        return
    with pytest.raises(_sferix.GeodeticError, match=r"^edge 0 spans about 179\.9616 degrees or more;"):
        _sferix.GeodeticLineStringTree([[(0.0, 0.0), (length, 0.0)]])
