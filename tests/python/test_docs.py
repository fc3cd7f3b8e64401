"""The documentation's code runs, and its reference names everything the module offers.

Every ```python block of docs/**/*.md runs, in order, in one namespace per page, so an
example that breaks fails here. An HTML comment just above a block (invisible on the
site) may say what it needs:

    <!-- example: requires geopandas<1.0 -->   skipped unless these distributions are there
    <!-- example: script -->                   run alone by a fresh interpreter, as a user's
                                               script would be (for process pools)
"""

import importlib.metadata
import re
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
SITE = ROOT / "build" / "docs"
FENCE = re.compile(r"^(?P<indent>[ \t]*)```(?P<lang>[\w-]*)[^\n]*\n(?P<code>.*?)^(?P=indent)```[ \t]*$", re.M | re.S)
DIRECTIVE = re.compile(r"<!--\s*example:\s*(?P<words>[^>]*?)\s*-->\s*\Z")


def examples():
    """(page, line, code, requirements, script) for every python block."""
    found = []
    for page in sorted(DOCS.rglob("*.md")):
        text = page.read_text(encoding="utf-8")
        for fence in FENCE.finditer(text):
            if fence["lang"] not in ("python", "py"):
                continue
            # An indented block would be shown inside a list or a note, but it is easy to
            # miss here: keep examples at the margin.
            line = text.count("\n", 0, fence.start()) + 1
            assert not fence["indent"], f"{page.relative_to(ROOT)}:{line}: indented python block"
            directive = DIRECTIVE.search(text[: fence.start()].rstrip() + " ")
            words = directive["words"].split() if directive else []
            script = "script" in words
            requires = words[words.index("requires") + 1 :] if "requires" in words else []
            found.append((page.relative_to(DOCS).as_posix(), line, fence["code"], requires, script))
    return found


EXAMPLES = examples() if DOCS.is_dir() else []


def missing(requirements):
    from packaging.requirements import Requirement

    absent = []
    for text in requirements:
        requirement = Requirement(text)
        try:
            have = importlib.metadata.version(requirement.name)
        except importlib.metadata.PackageNotFoundError:
            absent.append(text)
            continue
        if requirement.specifier and not requirement.specifier.contains(have, prereleases=True):
            absent.append(f"{text} (have {have})")
    return absent


# Each page's namespace, and how many of its blocks have run in it (failed and skipped
# ones included, so that a failure is reported once).
PAGES: dict[str, list] = {}


def run_in_page(index):
    page = EXAMPLES[index][0]
    blocks = [i for i, example in enumerate(EXAMPLES) if example[0] == page and not example[4]]
    state = PAGES.setdefault(page, [{"__name__": "docs_example"}, 0])
    for i in blocks[state[1] : blocks.index(index) + 1]:
        state[1] += 1
        _, line, code, requires, _ = EXAMPLES[i]
        absent = missing(requires)
        if absent:
            if i == index:
                pytest.skip(f"needs {', '.join(absent)}")
            continue
        with warnings.catch_warnings():
            # A library's notice that it will change is not the example's failure.
            warnings.simplefilter("ignore", DeprecationWarning)
            warnings.simplefilter("ignore", FutureWarning)
            exec(compile(code, f"{DOCS / page}:{line}", "exec"), state[0])


@pytest.mark.parametrize(
    "index", range(len(EXAMPLES)), ids=[f"{page}:{line}" for page, line, *_ in EXAMPLES]
)
def test_example_runs(index, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    page, line, code, requires, script = EXAMPLES[index]
    if script:
        absent = missing(requires)
        if absent:
            pytest.skip(f"needs {', '.join(absent)}")
        path = tmp_path / "example.py"
        path.write_text(code, encoding="utf-8")
        result = subprocess.run(
            [sys.executable, str(path)], cwd=tmp_path, capture_output=True, text=True, timeout=300, check=False
        )
        assert result.returncode == 0, f"{page}:{line}\n{result.stdout}\n{result.stderr}"
    else:
        run_in_page(index)


def test_every_page_has_examples_found():
    # A fence the pattern above stopped matching would silently drop every example.
    assert len({page for page, *_ in EXAMPLES}) >= 5


@pytest.mark.skipif(not (SITE / "reference.html").exists(), reason="the site is not built (make docs)")
def test_reference_names_every_public_name_and_method():
    import sferix

    html = (SITE / "reference.html").read_text(encoding="utf-8")
    anchors = set(re.findall(r'id="(sferix\.[\w.]+)"', html))
    expected = {f"sferix.{name}" for name in sferix.__all__}
    methods = set()
    for name in sferix.__all__:
        value = getattr(sferix, name)
        if isinstance(value, type) and not issubclass(value, BaseException):
            for member in dir(value):
                if not member.startswith("_"):
                    expected.add(f"sferix.{name}.{member}")
                    if callable(getattr(value, member)):
                        methods.add(f"sferix.{name}.{member}")
    assert not expected - anchors, "make docs again: the reference lacks these"
    # Each method is shown with its signature, not only its name.
    for anchor in sorted(methods):
        section = html[html.index(f'id="{anchor}"') :][:20_000]
        signature = re.sub(r"<[^>]+>", "", section[section.index("doc-signature") :])
        assert re.match(rf'[^(]*\b{anchor.rsplit(".", 1)[1]}\(', signature), anchor
