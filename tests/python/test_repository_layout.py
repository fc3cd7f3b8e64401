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
