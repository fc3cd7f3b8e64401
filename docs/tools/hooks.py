"""MkDocs hooks: files the pages show that live elsewhere in the repository.

- examples/where_planar_fails.png and nearest_country_planar.png, drawn by the examples beside them;
- the performance page's tables and plots, made from the results file that
  benchmarks/python/compare.py --json wrote (benchmarks/results/compare.json) by
  benchmarks/python/plot_compare.py, so the page shows that run and nothing typed by hand.
"""

from __future__ import annotations

import importlib.util
import tempfile
from pathlib import Path

from mkdocs.structure.files import File

ROOT = Path(__file__).resolve().parents[2]
RESULTS = ROOT / "benchmarks" / "results" / "compare.json"
PLOT_SCRIPT = ROOT / "benchmarks" / "python" / "plot_compare.py"
FIGURES = [ROOT / "examples" / name for name in ("where_planar_fails.png", "nearest_country_planar.png")]
TABLES_MARK = "<!-- compare.py tables -->"
RUN_MARK = "<!-- compare.py run -->"

_plots = tempfile.TemporaryDirectory(prefix="sferix-docs-plots-")


def _plot_module():
    spec = importlib.util.spec_from_file_location("plot_compare", PLOT_SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def on_files(files, config):
    for figure in FIGURES:
        files.append(File.generated(config, figure.name, abs_src_path=str(figure)))
    plot = _plot_module()
    for path in plot.draw(plot.load(RESULTS), _plots.name):
        files.append(File.generated(config, f"plots/{path.name}", abs_src_path=str(path)))
    return files


def on_page_markdown(markdown, page, config, files):
    if page.file.src_uri != "performance.md":
        return markdown
    plot = _plot_module()
    results = plot.load(RESULTS)
    run = (
        f"`{results['command']}` on {results['machine']}, {results['environment']}; load average "
        f"{results['load average']['start']} at the start and {results['load average']['end']} at the end, "
        f"{results['seconds']} s in all."
    )
    return markdown.replace(RUN_MARK, run).replace(TABLES_MARK, plot.markdown_tables(results))
