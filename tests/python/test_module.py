"""The module frame: attributes, GeodeticError, PanicException and the class rules."""

import copy
import importlib.metadata
import inspect
import pathlib
import pickle
import re
import weakref

import pytest

import _sferix
import sferix

GEODETIC_ERROR_DOC = (
    "Raised when coordinates or a geometry fail validation (out-of-range longitude or latitude, "
    "a non-finite value, too few vertices, an edge spanning half the sphere, or an unclosed ring)."
)

# One small valid input per tree class, and the value class its items come back as.
TREE_SAMPLES = {
    "GeodeticPointTree": ([(0.0, 0.0)], "Point"),
    "GeodeticLineStringTree": ([[(0.0, 0.0), (1.0, 1.0)]], "LineString"),
    "GeodeticPolygonTree": ([[[(0.0, 0.0), (1.0, 0.0), (1.0, 1.0), (0.0, 0.0)]]], "Polygon"),
}
VALUE_CLASS_NAMES = ["Point", "LineString", "Polygon", "MultiLineString", "MultiPolygon"]
EXPECTED_ALL = ["__version__", "GeodeticError", *VALUE_CLASS_NAMES, *TREE_SAMPLES]
CLASS_NAMES = EXPECTED_ALL[2:]


def module_class(name):
    if not hasattr(_sferix, name):
        pytest.skip(f"{name} is not registered yet")
    return getattr(_sferix, name)


def sample_instances():
    """(class name, instance) for every class that can be reached so far."""
    for tree_name, (data, value_name) in TREE_SAMPLES.items():
        if not hasattr(_sferix, tree_name):
            continue
        tree = getattr(_sferix, tree_name)(data)
        yield tree_name, tree
        yield value_name, tree.geometry(0)


class TestModule:
    def test_docstring(self):
        assert _sferix.__doc__ == (
            "Static R-trees over geographic points, linestrings and polygons on the sphere; the compiled\n"
            "core of the sferix package, which re-exports everything public here."
        )

    def test_version_is_the_project_version(self):
        # The version is written only in pyproject.toml; the build hands it to the module.
        pyproject = pathlib.Path(__file__).parents[2] / "pyproject.toml"
        if not pyproject.exists():
            pytest.skip("run outside the source tree")
        declared = re.search(r'^version = "([^"]+)"$', pyproject.read_text(), re.MULTILINE)
        assert declared is not None
        assert _sferix.__version__ == declared.group(1)
        assert importlib.metadata.version("sferix") == _sferix.__version__

    def test_all_lists_the_attributes_in_order(self):
        assert _sferix.__all__[:2] == ["__version__", "GeodeticError"]
        assert _sferix.__all__ == [name for name in EXPECTED_ALL if hasattr(_sferix, name)]

    def test_no_other_public_attributes(self):
        public = {name for name in dir(_sferix) if not name.startswith("_")}
        assert public == set(_sferix.__all__) - {"__version__"}

    def test_package_reexports_the_module(self):
        assert sferix.__all__ == _sferix.__all__
        assert sferix.GeodeticError is _sferix.GeodeticError


class TestGeodeticError:
    def test_type(self):
        error = _sferix.GeodeticError
        assert issubclass(error, ValueError)
        assert error.__bases__ == (ValueError,)
        assert error.__module__ == "sferix"
        assert error.__name__ == "GeodeticError"
        assert error.__qualname__ == "GeodeticError"
        assert error.__doc__ == GEODETIC_ERROR_DOC

    def test_instance_carries_one_message(self):
        err = _sferix.GeodeticError("longitude 200 outside [-180.0, 180.0]")
        assert str(err) == "longitude 200 outside [-180.0, 180.0]"
        assert err.args == ("longitude 200 outside [-180.0, 180.0]",)

    def test_caught_as_value_error(self):
        with pytest.raises(ValueError):
            raise _sferix.GeodeticError("x")


class TestPanicException:
    @staticmethod
    def panic_type():
        found = [
            cls
            for cls in BaseException.__subclasses__()
            if cls.__module__ == "sferix" and cls.__name__ == "PanicException"
        ]
        assert len(found) == 1, "the module body creates PanicException exactly once"
        return found[0]

    def test_derives_from_base_exception_only(self):
        panic = self.panic_type()
        assert panic.__bases__ == (BaseException,)
        assert not issubclass(panic, Exception)
        assert panic.__doc__

    def test_not_a_module_attribute(self):
        assert not hasattr(_sferix, "PanicException")


class TestNamesResolve:
    """Every class names the sferix package as its module, and is found there by name."""

    @pytest.mark.parametrize("name", ["GeodeticError", *CLASS_NAMES])
    def test_public_classes(self, name):
        cls = getattr(sferix, name)
        assert cls is getattr(_sferix, name)
        assert pickle.loads(pickle.dumps(cls)) is cls
        assert copy.deepcopy(cls) is cls
        assert inspect.getmodule(cls) is sferix

    def test_panic_exception(self):
        panic = TestPanicException.panic_type()
        assert sferix.PanicException is panic
        assert pickle.loads(pickle.dumps(panic)) is panic


class TestClassRules:
    @pytest.mark.parametrize("name", CLASS_NAMES)
    def test_module_and_name(self, name):
        cls = module_class(name)
        assert cls.__module__ == "sferix"
        assert cls.__name__ == name
        assert cls.__qualname__ == name
        assert repr(cls) == f"<class 'sferix.{name}'>"
        assert cls.__bases__ == (object,)

    @pytest.mark.parametrize("name", CLASS_NAMES)
    def test_cannot_be_subclassed(self, name):
        cls = module_class(name)
        with pytest.raises(TypeError):
            type("Derived", (cls,), {})

    @pytest.mark.parametrize("name", VALUE_CLASS_NAMES)
    def test_value_classes_cannot_be_instantiated(self, name):
        cls = module_class(name)
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            cls(1, 2)

    def test_instances_have_no_dict_and_no_weakrefs(self):
        instances = list(sample_instances())
        if not instances:
            pytest.skip("no class is registered yet")
        for name, instance in instances:
            assert type(instance).__name__ == name
            with pytest.raises(AttributeError):
                instance.extra = 1
            with pytest.raises(TypeError):
                weakref.ref(instance)
