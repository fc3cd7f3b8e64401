"""The checkout itself must not get in the way of the packages its users import."""

import importlib.machinery
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


class TestRepositoryRoot:
    # Check fix for: a top-level rtree/ folder made `import rtree` find the folder when
    # Python ran from the repository root, so `import geopandas` 0.14 failed with
    # "No module named 'rtree.index'".
    @pytest.mark.parametrize("package", ["rtree", "geopandas", "shapely", "numpy", "scipy", "sklearn"])
    def test_no_folder_at_the_root_shadows_a_package(self, package):
        assert importlib.machinery.PathFinder.find_spec(package, [str(ROOT)]) is None


def quoted_includes(path):
    """Every file a C++ source includes with quotes, as a path relative to the repository."""
    found = []
    for line in path.read_text().splitlines():
        if line.startswith('#include "'):
            name = line.split('"')[1]
            beside = path.parent / name
            found.append((beside if beside.exists() else ROOT / "src" / name).resolve().relative_to(ROOT))
    return found


class TestDependencyDirection:
    # Lower layers must stay usable without the ones built on them: the generic tree
    # knows nothing of spheres, and the CPython toolkit nothing of sferix's classes.
    @pytest.mark.parametrize(
        ("folder", "allowed"),
        [
            ("src/rtree", ["src/rtree"]),
            ("src/predicates", ["src/predicates"]),
            ("src/support", ["src/support"]),
            ("src/geodetic", ["src/geodetic", "src/predicates", "src/rtree", "src/support"]),
            ("src/index", ["src/index", "src/geodetic", "src/rtree", "src/support"]),
            ("python/src/toolkit", ["python/src/toolkit", "src/support"]),
            ("python/src", ["python/src", "src"]),
        ],
    )
    def test_a_layer_includes_only_itself_and_what_lies_below(self, folder, allowed):
        sources = sorted(p for p in (ROOT / folder).rglob("*") if p.suffix in {".hpp", ".cpp"})
        assert sources
        outside = {
            f"{source.relative_to(ROOT)} -> {included}"
            for source in sources
            for included in quoted_includes(source)
            if not any(included.is_relative_to(layer) for layer in allowed)
        }
        assert not outside

    def test_no_python_under_src(self):
        # The engine under the binding runs without the interpreter: its tests and
        # benchmarks link no Python, and nothing in it may hold or need the GIL.
        sources = sorted(p for p in (ROOT / "src").rglob("*") if p.suffix in {".hpp", ".cpp"})
        assert sources
        pulled_in = {
            str(source.relative_to(ROOT))
            for source in sources
            for line in source.read_text().splitlines()
            if line.startswith("#include") and ("Python.h" in line or "python/" in line or "toolkit/" in line)
        }
        assert not pulled_in
