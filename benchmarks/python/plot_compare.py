#!/usr/bin/env python3
"""Tables and plots from the results file of compare.py --json.

    python3 benchmarks/python/plot_compare.py RESULTS.json OUTDIR   # writes OUTDIR/*.png

The documentation's performance page is built from the same functions (docs/tools/hooks.py):
`markdown_tables` gives every table of the run as Markdown, `draw` the plots. Needs
matplotlib.
"""

from __future__ import annotations

import json
import re
import sys
from pathlib import Path
from typing import Any

# The plots, by the file each writes: a title and the function drawing it.
PLOTS = {
    "point-queries.png": "Point queries, µs per query (log scale; shorter is faster)",
    "point-builds.png": "Building a point index: time and memory",
    "big-ring.png": "One ring of many vertices: µs per query against the vertex count",
}


def load(path: str | Path) -> dict[str, Any]:
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def text(cell: Any) -> str:
    return cell["text"] if isinstance(cell, dict) else str(cell)


def value(cell: Any) -> float | None:
    """A cell's number in its base unit (seconds, µs or bytes as compare.py measured it),
    or one read from its text (such as '26 B' or '0.42'), or None."""
    if isinstance(cell, dict):
        return cell["value"]
    match = re.fullmatch(r"([-+]?[\d,]*\.?\d+)\s*(B|x|%)?", str(cell).strip())
    return float(match.group(1).replace(",", "")) if match else None


def markdown_tables(results: dict[str, Any], level: int = 3) -> str:
    """Every table of the run under its heading, as Markdown."""
    out = []
    previous = None
    for table in results["tables"]:
        if table["title"] != previous:
            out.append(f"{'#' * level} {table['title']}\n")
            previous = table["title"]
        escape = lambda s: str(s).replace("|", "\\|")  # noqa: E731
        out.append("| " + " | ".join(escape(h) for h in table["headers"]) + " |")
        out.append("|" + "---|" * len(table["headers"]))
        for row in table["rows"]:
            out.append("| " + " | ".join(escape(text(c)) for c in row) + " |")
        out.append("")
    return "\n".join(out)


def find(results: dict[str, Any], prefix: str) -> list[dict[str, Any]]:
    return [t for t in results["tables"] if t["title"].startswith(prefix)]


def largest(tables: list[dict[str, Any]]) -> dict[str, Any] | None:
    """Of tables titled '... n = 10,000 ...', the one with the largest n."""
    def n(table: dict[str, Any]) -> int:
        match = re.search(r"n = ([\d,]+)", table["title"])
        return int(match.group(1).replace(",", "")) if match else 0
    return max(tables, key=n, default=None)


def plot_point_queries(results: dict[str, Any], axis: Any) -> bool:
    table = largest(find(results, "Points: queries on"))
    if table is None:
        return False
    libraries = table["headers"][1:]
    rows = [r for r in table["rows"] if sum(value(c) is not None for c in r[1:]) >= 2]
    height = 0.8 / len(libraries)
    for k, library in enumerate(libraries):
        ys = [i + k * height for i in range(len(rows))]
        xs = [value(r[1 + k]) or 0.0 for r in rows]
        axis.barh(ys, xs, height=height, label=library)
    axis.set_yticks([i + 0.4 - height / 2 for i in range(len(rows))], [text(r[0]) for r in rows], fontsize=8)
    axis.invert_yaxis()
    axis.set_xscale("log")
    axis.set_xlabel("µs per query")
    axis.set_title(table["title"].split(" (")[0], fontsize=10)
    axis.legend(fontsize=8)
    return True


def plot_point_builds(results: dict[str, Any], axes: Any) -> bool:
    table = largest(find(results, "Points: build"))
    if table is None:
        return False
    headers = table["headers"]
    build, per_point = headers.index("Build"), headers.index("per point")
    rows = table["rows"]
    names = [text(r[0]) for r in rows]
    axes[0].barh(names, [value(r[build]) or 0.0 for r in rows], color="tab:blue")
    axes[0].set_xlabel("build, seconds")
    axes[0].invert_yaxis()
    memory = [(text(r[0]), value(r[per_point])) for r in rows if value(r[per_point]) is not None]
    axes[1].barh([m[0] for m in memory], [m[1] for m in memory], color="tab:orange")
    axes[1].set_xlabel("bytes per point (resident set growth)")
    axes[1].invert_yaxis()
    axes[0].set_title(table["title"], fontsize=10)
    return True


def plot_big_ring(results: dict[str, Any], axis: Any) -> bool:
    tables = find(results, "One big ring")
    if not tables:
        return False
    table = tables[0]
    vertices = [value(r[0]) for r in table["rows"]]
    for column, header in enumerate(table["headers"]):
        cells = [r[column] for r in table["rows"]]
        if isinstance(cells[0], dict) and cells[0]["unit"] == "µs":
            axis.plot(vertices, [value(c) for c in cells], marker="o", label=header)
    axis.set_xscale("log")
    axis.set_yscale("log")
    axis.set_xlabel("vertices in the ring")
    axis.set_ylabel("µs per query")
    axis.set_title(table["title"].split(":")[0], fontsize=10)
    axis.legend(fontsize=7)
    return True


def draw(results: dict[str, Any], outdir: str | Path) -> list[Path]:
    """Writes the plots the run has data for into outdir; returns their paths."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    written = []
    for name, title in PLOTS.items():
        if name == "point-builds.png":
            figure, axes = plt.subplots(1, 2, figsize=(11, 3.6))
            drawn = plot_point_builds(results, axes)
        else:
            figure, axis = plt.subplots(figsize=(9, 4.8))
            drawn = plot_point_queries(results, axis) if name == "point-queries.png" else plot_big_ring(results, axis)
        if drawn:
            figure.suptitle(title, fontsize=11)
            figure.tight_layout()
            # No timestamp in the file, so the same results give the same bytes.
            figure.savefig(outdir / name, dpi=90, metadata={"Software": None})
            written.append(outdir / name)
        plt.close(figure)
    return written


def main() -> None:
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    results = load(sys.argv[1])
    for path in draw(results, sys.argv[2]):
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
