"""Behaviour under hostile input: names that are not plain text, interrupts raised
while parsing, runaway nesting, and attempts to change the classes."""

import subprocess
import sys
import textwrap
import types

import pytest

import _sferix

TREE_CLASSES = [_sferix.GeodeticPointTree, _sferix.GeodeticLineStringTree, _sferix.GeodeticPolygonTree]


class TestMessagesQuoteAnyName:
    @pytest.mark.parametrize("name", ["q\x00r", "\ud800", "ß"])
    def test_unexpected_keyword(self, name):
        tree = _sferix.GeodeticPointTree([(1, 2)])
        with pytest.raises(TypeError) as info:
            tree.nearest(**{name: (1, 2)})
        assert str(info.value) == f"GeodeticPointTree.nearest() got an unexpected keyword argument '{name}'"

    @pytest.mark.parametrize("qualname", ["A\x00B", "\udcff"])
    def test_cast_rule_type_name(self, qualname):
        odd = type("Odd", (), {})
        odd.__qualname__ = qualname
        tree = _sferix.GeodeticPointTree([(1, 2)])
        with pytest.raises(TypeError) as info:
            tree.within_distance((1, 2), 1, odd())
        assert str(info.value) == f"'{qualname}' object is not an instance of 'bool'"


class Interrupting:
    """Raises KeyboardInterrupt from whichever protocol the parser touches."""

    def __init__(self, where):
        self.where = where

    def __float__(self):
        raise KeyboardInterrupt

    def __len__(self):
        if self.where == "len":
            raise KeyboardInterrupt
        return 2

    def __getitem__(self, index):
        if index >= 2:
            raise IndexError(index)
        return self if self.where == "float" else 1.0

    @property
    def __geo_interface__(self):
        if self.where == "geo_interface":
            raise KeyboardInterrupt
        raise AttributeError("__geo_interface__")


class TestInterruptsReachTheCaller:
    @pytest.mark.parametrize("where", ["float", "len", "geo_interface"])
    def test_keyboard_interrupt_is_not_a_parse_error(self, where):
        with pytest.raises(KeyboardInterrupt):
            _sferix.GeodeticPointTree([Interrupting(where)])

    def test_an_interrupt_is_not_marked_as_an_input_item(self):
        with pytest.raises(KeyboardInterrupt) as excinfo:
            _sferix.GeodeticPointTree([(0, 0), Interrupting("float")])
        assert not hasattr(excinfo.value, "item")

    def test_ordinary_errors_still_become_the_coordinate_message(self):
        class Broken(Interrupting):
            def __float__(self):
                raise ArithmeticError

        with pytest.raises(ValueError, match="^a coordinate must be a sequence of numbers(\n|$)"):
            _sferix.GeodeticPointTree([Broken("float")])

    @pytest.mark.parametrize("error", [KeyboardInterrupt, AttributeError])
    def test_a_numpy_without_ndarray(self, monkeypatch, error):
        # Input is checked against the imported numpy's ndarray: a module that has none
        # is not NumPy, but an interrupt while looking must still reach the caller.
        fake = types.ModuleType("numpy")

        def missing(name):
            raise error(name)

        fake.__getattr__ = missing
        monkeypatch.setitem(sys.modules, "numpy", fake)
        if error is KeyboardInterrupt:
            with pytest.raises(KeyboardInterrupt):
                _sferix.GeodeticPointTree([(1, 2)])
        else:
            assert _sferix.GeodeticPointTree([(1, 2)]).geometry(0).coordinates == (1.0, 2.0)


class LyingArray:
    """Claims to be a float64 NumPy array (its type is installed as numpy.ndarray) and
    answers every question the way it is told to."""

    def __init__(self, ndim=2, shape=(2, 2), kind="f", tolist=None):
        self.ndim = ndim
        self.shape = shape
        self.dtype = types.SimpleNamespace(kind=kind, itemsize=8, isnative=True)
        self._tolist = tolist

    def tolist(self):
        return self._tolist(self) if self._tolist else [[1.0, 2.0], [3.0, 4.0]]

    def tobytes(self):
        return b"\0" * 32

    def __iter__(self):
        return iter([(1.0, 2.0), (3.0, 4.0)])


@pytest.fixture
def lying_numpy(monkeypatch):
    fake = types.ModuleType("numpy")
    fake.ndarray = LyingArray
    monkeypatch.setitem(sys.modules, "numpy", fake)


@pytest.mark.usefixtures("lying_numpy")
class TestArraysThatLieAboutThemselves:
    # Check fix for: these crashed the interpreter (a tolist() returning the array
    # recursed off the C stack, a non-str kind reached the str C API) or raised
    # SystemError; each now gets a TypeError or ValueError that says what is wrong.
    @pytest.mark.parametrize(
        "array, message",
        [
            (LyingArray(ndim=1, tolist=lambda self: self), "array tolist() did not return a list"),
            (LyingArray(ndim=1, kind=3), "array attribute 'dtype.kind' is not a str"),
            (LyingArray(ndim="2"), "array attribute 'ndim' is not an int"),
        ],
    )
    @pytest.mark.parametrize("cls", TREE_CLASSES)
    def test_attributes_of_the_wrong_type(self, cls, array, message):
        with pytest.raises(TypeError) as info:
            cls(array if cls is _sferix.GeodeticPointTree else [array])
        assert str(info.value) == message

    @pytest.mark.parametrize("shape", [[2, 2], (2,), (2**64, 2), (2, -1)])
    def test_shapes_that_are_not_a_pair_of_sizes(self, shape):
        with pytest.raises(ValueError, match=r"^array shape is not a pair of sizes$"):
            _sferix.GeodeticPointTree(LyingArray(shape=shape))

    @pytest.mark.parametrize("shape", [(2**61, 2), (2, 2**61 + 1), (4, 2**61 + 1), (2**61, 4)])
    def test_sizes_whose_product_overflows_are_not_used(self, shape):
        # Either refused by shape or read row by row, never used to size a copy.
        try:
            tree = _sferix.GeodeticPointTree(LyingArray(shape=shape))
        except ValueError as error:
            assert str(error).startswith("an array of points must have shape (n, 2)")
        else:
            assert [p.coordinates for p in tree.geometries()] == [(1.0, 2.0), (3.0, 4.0)]


def test_feature_nesting_is_bounded_even_with_a_raised_recursion_limit():
    # In a child process: before the cap, this overflowed the C stack on 3.10 and 3.11.
    script = textwrap.dedent(
        """
        import sys
        import _sferix
        sys.setrecursionlimit(10**6)
        feature = {"type": "Feature"}
        feature["geometry"] = feature
        try:
            _sferix.GeodeticPointTree([feature])
        except RecursionError as err:
            print("RecursionError", err)
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("RecursionError")


def test_moderate_feature_nesting_still_parses():
    feature = {"type": "Point", "coordinates": (10, 20)}
    for _ in range(200):
        feature = {"type": "Feature", "geometry": feature}
    assert _sferix.GeodeticPointTree([feature]).geometry(0).coordinates == (10.0, 20.0)


@pytest.mark.parametrize("cls", [_sferix.Point, _sferix.LineString, _sferix.Polygon, *TREE_CLASSES])
def test_classes_cannot_be_changed(cls):
    with pytest.raises(TypeError):
        cls.extra = 1
    with pytest.raises(TypeError):
        del cls.__repr__
