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
