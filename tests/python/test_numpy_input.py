"""NumPy arrays as input: read without a Python object per number, with exactly the
geometries and errors that reading them row by row gives."""

import pytest

import _sferix

np = pytest.importorskip("numpy")

POINT_ARRAYS = {
    "float64": np.array([[10.0, 20.5], [-180.0, -90.0], [179.5, 89.25]]),
    "float64 three columns": np.array([[10.0, 20.5, 99.0], [1.0, 2.0, 3.0]]),
    "fortran order": np.asfortranarray(np.array([[10.0, 20.5], [30.0, -40.0]])),
    "big endian": np.array([[10.0, 20.5], [30.0, -40.0]], dtype=">f8"),
    "float32": np.array([[10.1, 20.7]], dtype=np.float32),
    "int32": np.array([[1, 2], [3, 4]], dtype=np.int32),
    "uint8": np.array([[1, 2]], dtype=np.uint8),
    "no rows": np.zeros((0, 2)),
    "no rows, one column": np.zeros((0, 1)),
    "negative zero": np.array([[-0.0, 0.0]]),
}

FAILING_POINT_ARRAYS = {
    "one column": np.zeros((3, 1)),
    "no columns": np.zeros((2, 0)),
    "NaN in the second row": np.array([[0.0, 0.0], [np.nan, 0.0]]),
    "infinite latitude": np.array([[0.0, np.inf]]),
    "longitude out of range": np.array([[0.0, 0.0], [200.0, 100.0]]),
    "latitude out of range": np.array([[0.0, 95.0]]),
    "one dimension": np.array([1.0, 2.0]),
    "no dimension": np.array(5.0),
}


def row_by_row(array):
    """The same data as a list of the array's rows, which reads each row generically."""
    return list(array)


def outcome(build, data):
    try:
        tree = build(data)
    except Exception as err:  # the type and message are what is compared
        return type(err), str(err)
    return [geometry.__geo_interface__ for geometry in tree.geometries()]


class TestPointArrays:
    @pytest.mark.parametrize("array", POINT_ARRAYS.values(), ids=POINT_ARRAYS.keys())
    def test_same_points_as_row_by_row(self, array):
        expected = outcome(_sferix.GeodeticPointTree, row_by_row(array))
        assert outcome(_sferix.GeodeticPointTree, array) == expected
        assert not isinstance(expected, tuple)

    @pytest.mark.parametrize("array", FAILING_POINT_ARRAYS.values(), ids=FAILING_POINT_ARRAYS.keys())
    def test_same_error_as_row_by_row(self, array):
        if array.ndim == 0:
            expected = (TypeError, "iteration over a 0-d array")
        else:
            expected = outcome(_sferix.GeodeticPointTree, row_by_row(array))
        assert outcome(_sferix.GeodeticPointTree, array) == expected
        assert isinstance(expected, tuple)

    def test_values_are_kept_to_the_bit(self):
        rng = np.random.default_rng(7)
        array = np.c_[rng.uniform(-180, 180, 500), rng.uniform(-90, 90, 500)]
        tree = _sferix.GeodeticPointTree(array)
        assert [point.coordinates for point in tree.geometries()] == [tuple(row) for row in array.tolist()]
        assert tree.nearest(array[123]) == 123

    def test_subclasses_are_read_row_by_row(self):
        class Tagged(np.ndarray):
            pass

        array = np.array([[1.0, 2.0], [3.0, 4.0]]).view(Tagged)
        assert [p.coordinates for p in _sferix.GeodeticPointTree(array).geometries()] == [(1.0, 2.0), (3.0, 4.0)]

    @pytest.mark.parametrize("dtype", [np.float64, np.int32, object])
    def test_lons_and_lats_as_rows_are_refused(self, dtype):
        # Row by row this was a tree of two "points" of five numbers each.
        wrong_way = np.array([[0, 1, 2, 3, 4], [10, 11, 12, 13, 14]], dtype=dtype)
        with pytest.raises(ValueError) as excinfo:
            _sferix.GeodeticPointTree(wrong_way)
        assert str(excinfo.value) == (
            "an array of points must have shape (n, 2), one (lon, lat) row per point, not (2, 5)"
        )
        assert len(_sferix.GeodeticPointTree(wrong_way.T)) == 5

    # Large arrays are read a slice at a time: rows past the first slice, and at its edges.
    @pytest.mark.parametrize("rows, bad", [(5, 3), (3000, 1023), (3000, 1024), (3000, 2999)])
    def test_a_failing_row_is_named(self, rows, bad):
        array = np.zeros((rows, 2))
        array[bad, 1] = 95.0
        with pytest.raises(_sferix.GeodeticError) as excinfo:
            _sferix.GeodeticPointTree(array)
        assert str(excinfo.value) == "latitude 95 outside [-90.0, 90.0]"
        assert excinfo.value.item == bad

    def test_every_slice_of_a_large_array_is_read(self):
        rng = np.random.default_rng(5)
        array = np.column_stack((rng.uniform(-180, 180, 2500), rng.uniform(-90, 90, 2500)))
        tree = _sferix.GeodeticPointTree(array[:, ::-1][:, ::-1])  # a strided view
        assert [p.coordinates for p in tree.geometries()] == [tuple(row) for row in array.tolist()]


class TestLineStringAndPolygonArrays:
    def test_linestring_vertices(self):
        vertices = np.array([[0.0, 0.0], [1.0, 1.5], [2.0, -1.0]], dtype=np.float32)
        tree = _sferix.GeodeticLineStringTree([vertices])
        assert tree.geometry(0).coordinates == [tuple(v) for v in vertices.tolist()]

    def test_polygon_rings(self):
        rings = np.array([[[0, 0], [10, 0], [10, 10], [0, 10], [0, 0]]], dtype=np.int64)
        polygon = _sferix.GeodeticPolygonTree([rings]).geometry(0)
        assert polygon.exterior == [(0.0, 0.0), (10.0, 0.0), (10.0, 10.0), (0.0, 10.0), (0.0, 0.0)]

    def test_unclosed_ring_error(self):
        rings = np.array([[[0.0, 0.0], [10.0, 0.0], [10.0, 10.0]]])
        with pytest.raises(_sferix.GeodeticError, match=r"^polygon ring is not closed \(first vertex != last\)(\n|$)"):
            _sferix.GeodeticPolygonTree([rings])
