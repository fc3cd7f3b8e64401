"""The installed type stubs (_sferix-stubs) describe the installed _sferix module."""

import subprocess
import sys

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")


def test_stubtest_finds_no_mismatch(tmp_path):
    # Run outside the source tree, so stubtest reads the installed module and stubs
    # and leaves nothing in the checkout.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_sferix"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr
