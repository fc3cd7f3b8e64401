"""Argument binding and typed conversions, seen through GeodeticPointTree's methods."""

import sys

import pytest

import _sferix

pytestmark = pytest.mark.skipif(
    not hasattr(_sferix, "GeodeticPointTree"), reason="GeodeticPointTree is not registered yet"
)

HAS_NOTES = sys.version_info >= (3, 11)
QUERY = (0.0, 0.0)


@pytest.fixture
def tree():
    return _sferix.GeodeticPointTree([(0.0, 0.0), (1.0, 1.0), (2.0, 2.0)])


def assert_note(excinfo, name):
    if HAS_NOTES:
        assert excinfo.value.__notes__ == [f"while processing '{name}'"]


class TestBinding:
    @pytest.mark.parametrize(
        ("call", "message"),
        [
            (
                lambda t: _sferix.GeodeticPointTree(),
                "GeodeticPointTree.__new__() missing 1 required positional argument: 'data'",
            ),
            (
                lambda t: _sferix.GeodeticPointTree([], []),
                "GeodeticPointTree.__new__() takes 1 positional arguments but 2 were given",
            ),
            (
                lambda t: _sferix.GeodeticPointTree([], data=[]),
                "GeodeticPointTree.__new__() got multiple values for argument 'data'",
            ),
            (
                lambda t: _sferix.GeodeticPointTree(points=[]),
                "GeodeticPointTree.__new__() got an unexpected keyword argument 'points'",
            ),
            (
                lambda t: t.nearest(1, 2),
                "GeodeticPointTree.nearest() takes 1 positional arguments but 2 were given",
            ),
            (
                lambda t: t.nearest(QUERY, query=QUERY),
                "GeodeticPointTree.nearest() got multiple values for argument 'query'",
            ),
            (
                lambda t: t.nearest(point=QUERY),
                "GeodeticPointTree.nearest() got an unexpected keyword argument 'point'",
            ),
            (
                lambda t: t.nearest(),
                "GeodeticPointTree.nearest() missing 1 required positional argument: 'query'",
            ),
            (
                lambda t: t.within_distance(),
                "GeodeticPointTree.within_distance() missing 2 required positional arguments: "
                "'query' and 'radius_metres'",
            ),
            (
                lambda t: t.within_distance(QUERY, return_distance=True),
                "GeodeticPointTree.within_distance() missing 1 required positional argument: 'radius_metres'",
            ),
            (
                lambda t: t.within_distance(QUERY, 1.0, False, 4),
                "GeodeticPointTree.within_distance() takes from 2 to 3 positional arguments but 4 were given",
            ),
            (
                lambda t: t.in_rectangle(QUERY, QUERY, QUERY),
                "GeodeticPointTree.in_rectangle() takes 2 positional arguments but 3 were given",
            ),
            (
                lambda t: t.geometry(),
                "GeodeticPointTree.geometry() missing 1 required positional argument: 'index'",
            ),
            # Keywords are checked in call order, before missing parameters.
            (
                lambda t: t.within_distance(radius_metres=1.0, bogus=1),
                "GeodeticPointTree.within_distance() got an unexpected keyword argument 'bogus'",
            ),
        ],
    )
    def test_message(self, tree, call, message):
        with pytest.raises(TypeError) as excinfo:
            call(tree)
        assert str(excinfo.value) == message

    def test_keywords_bind_like_positions(self, tree):
        by_position = tree.within_distance(QUERY, 200_000.0, True)
        by_keyword = tree.within_distance(return_distance=True, radius_metres=200_000.0, query=QUERY)
        assert by_keyword == by_position


class TestConversion:
    @pytest.mark.parametrize(
        ("value", "message"),
        [
            (1, "'int' object is not an instance of 'bool'"),
            (None, "'None' is not an instance of 'bool'"),
            ("yes", "'str' object is not an instance of 'bool'"),
        ],
    )
    def test_boolean_is_strict(self, tree, value, message):
        with pytest.raises(TypeError) as excinfo:
            tree.within_distance(QUERY, 1.0, return_distance=value)
        assert str(excinfo.value) == message
        assert_note(excinfo, "return_distance")

    def test_numpy_bool_is_accepted(self, tree):
        numpy = pytest.importorskip("numpy")
        assert tree.within_distance(QUERY, 0.0, numpy.True_) == tree.within_distance(QUERY, 0.0, True)
        assert tree.within_distance(QUERY, 0.0, numpy.False_) == tree.within_distance(QUERY, 0.0, False)
        with pytest.raises(TypeError) as excinfo:
            tree.within_distance(QUERY, 0.0, numpy.int64(1))
        assert str(excinfo.value) == "'int64' object is not an instance of 'bool'"

    @pytest.mark.parametrize(("radius", "error"), [("far", TypeError), (10**400, OverflowError)])
    def test_float_failure_keeps_the_interpreter_error(self, tree, radius, error):
        with pytest.raises(error) as excinfo:
            tree.within_distance(QUERY, radius)
        assert_note(excinfo, "radius_metres")

    def test_radius_is_converted_before_the_query_is_parsed(self, tree):
        with pytest.raises(TypeError) as excinfo:
            tree.within_distance("not a point", "far")
        assert_note(excinfo, "radius_metres")

    @pytest.mark.parametrize(
        ("index", "error"), [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("0", TypeError)]
    )
    def test_index_failure_is_annotated(self, tree, index, error):
        with pytest.raises(error) as excinfo:
            tree[index]
        assert_note(excinfo, "index")
        with pytest.raises(error) as excinfo:
            tree.geometry(index)
        assert_note(excinfo, "index")

    def test_index_accepts_dunder_index(self, tree):
        class Two:
            def __index__(self):
                return 2

        assert tree[Two()].coordinates == tree.geometry(2).coordinates
