"""A tree split across a Dask cluster: one sferix tree per spatial partition, kept on the
workers, and a small summary on the client that routes each query to the partitions that
can hold its answer.

    import sferix.dask
    tree = sferix.dask.PartitionedTree(places, npartitions=16)   # columns lon, lat
    joined = sferix.dask.nearest(fixes, tree, k=1)
    tree.to_parquet("places.tree/")
    tree = sferix.dask.PartitionedTree.read("places.tree/")     # a later job

Building sorts the items along a Hilbert curve drawn on the six faces of the cube around
the sphere (the curve's cells are gnomonic, so nearby keys are nearby on the sphere, the
poles and the antimeridian included), cuts the curve at quantiles of a sample into
`npartitions` runs of about the same size, and builds each run's tree (or, for points, a
few trees of consecutive runs, see `_tree_count`) on a worker. A tree lists its items in
frame order, so its position `p` maps to the frame row `rows[p]` and the tree's tie rule
(the smaller position) is the frame's.

The summary on the client is, per tree, its first key on the curve and a few hundred
spherical caps (a centre unit vector and a chord radius), each around a run of at least
`_MIN_ITEMS` items consecutive on the curve: a union of small caps hugs a tree far closer
than one cap would, so few queries fall within reach of two trees. The caps' centres form
a small point tree, which finds the caps near a query, and a grid of curve cells holds for
each cell a lower bound on the distance to the caps of any tree but its own.

A nearest query goes first to the tree its grid cell's keys fall in; the k-th distance
found there bounds the answer, and unless the cell's bound rules them out the query then
goes to every other tree with a cap within that distance. The partial answers are merged by
(distance, row), which is the single tree's order, so the answers equal one tree's over the
whole frame. A radius query goes to every tree with a cap within the radius. A join is one
task per chunk of queries: it asks the trees of the worker it runs on in place, and those
of each other worker by one task sent there, which takes that worker's first round and the
second-round queries for its trees together.
"""

from __future__ import annotations

import json
import math
import numbers
import os
import sys
from typing import Any

import dask
import numpy as np
import pandas as pd
from dask.sizeof import sizeof

from _sferix import GeodeticError, GeodeticLineStringTree, GeodeticPointTree, GeodeticPolygonTree

from . import _frame_rows as frame_rows

__all__ = ["PartitionedTree"]

_EARTH_RADIUS_METRES = 6_371_008.8
# Hilbert order on each cube face: cells of about 10 m at the face's centre, far finer than
# any partition; 6 * 4^20 keys fit an int64.
_HILBERT_ORDER = 20
# A tree is summarised by at most this many caps, each over at least _MIN_ITEMS items:
# 256 caps of a 16-partition sphere are about 700 km across, so a 10 km query lies within
# reach of a second partition only near a partition's border.
_MAX_CAPS = 256
_MIN_ITEMS = 32
# Sample keys per output partition for the cut points: the runs come out within a few
# per cent of each other.
_SAMPLES = 1000
# Caps and distances are rounded to about 1e-15 of a radian (1e-8 m); routing widens every
# bound by a metre and a part in 10^9, which costs nothing and leaves no doubt.
_ROUTE_SLACK_METRES = 1.0
_ROUTE_SLACK_RELATIVE = 1e-9
# WGS84 geodesic metres over great-circle metres between the same (lon, lat) lie in
# [0.99442, 1.00449]; routing a geodesic distance d by the sphere looks as far as d / 0.994.
_WGS84_OVER_SPHERE_LOWER = 0.994
# A cap wider than this many times the median cap is checked against every query directly,
# so that a few far-flung runs do not widen the search of the cap tree for all.
_WIDE_CAP_FACTOR = 4.0
# Partitions smaller than this stay one tree: the nodes a split would save are few.
_MIN_SPLIT = 10_000
# Caps near each grid cell's centre looked at for its bound: enough that the last of them
# lies beyond the widest cap, so that the bound on the caps not looked at means something.
_CLEARANCE_CAPS = 32
# Finest level of the routing grid: 6 * 4^9 cells of 8 bytes, 12.6 MB.
_MAX_CELL_LEVEL = 9
# Trees are written in pieces of this many bytes: one Parquet value holds at most 2 GiB.
_CHUNK_BYTES = 64 << 20
_FORMAT = 1

# shapely's geometry type ids: multipart rows go to the tree of their parts' kind as they are.
_KINDS = {0: "point", 4: "point", 1: "linestring", 5: "linestring", 3: "polygon", 6: "polygon", -1: "missing"}


class _Part:
    """One partition on a worker: its trees (a partition of points may be split in a few,
    see `_tree_count`), per tree the frame row of each position (ascending) and, after a
    build, per tree its first curve key and its caps as an (m, 4) array of centre x, y, z
    and chord radius."""

    __slots__ = ("trees", "rows", "caps", "nbytes")

    def __init__(self, trees: list[Any], rows: list[np.ndarray], caps: list[tuple[int, np.ndarray]] | None,
                 nbytes: int) -> None:
        self.trees = trees
        self.rows = rows
        self.caps = caps
        self.nbytes = nbytes

    def __getstate__(self) -> tuple[Any, ...]:
        return (self.trees, self.rows, self.caps, self.nbytes)

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        self.trees, self.rows, self.caps, self.nbytes = state


# Dask weighs a task's inputs to choose where it runs and reports worker memory by this:
# the tree's own size, not the few bytes of the Python object around it.
@sizeof.register(_Part)
def _sizeof_part(part: _Part) -> int:
    return part.nbytes


class PartitionedTree:
    """A sferix tree over the rows of a Dask DataFrame, split into `npartitions` spatial
    partitions, each one tree kept in the memory of one worker.

    `frame` is a Dask DataFrame with columns `lon` and `lat` in degrees (a point tree), or a
    dask-geopandas GeoDataFrame, whose active geometry column holds points, linestrings or
    polygons, all of one kind (`oriented` is the polygon trees' fill rule). Positions are the
    frame's row numbers, 0 to len - 1 in frame order, as one tree over the whole frame would
    number them; `sferix.dask.nearest` and `sferix.dask.within_distance` take the tree in
    place of a sferix tree and answer as that one tree would.

    Building computes `frame` twice (a sample of keys, then the split) and leaves only the
    trees on the workers, each worker `npartitions / workers` of them. With no distributed
    client the trees are kept in this process.
    Raises TypeError for a `frame` that is not a Dask DataFrame or holds geometries of mixed
    or unknown kinds; ValueError for a missing column or `npartitions` below 1; a bad
    coordinate raises the tree's error, naming the row.
    """

    def __init__(
        self,
        frame: Any,
        *,
        lon: str = "lon",
        lat: str = "lat",
        npartitions: int | None = None,
        oriented: bool = True,
    ) -> None:
        import dask.dataframe as dd

        if not isinstance(frame, dd.DataFrame):
            raise TypeError(f"frame must be a Dask DataFrame, not {type(frame).__name__}")
        geometry = _geometry_column(frame)
        if geometry is None:
            for column in (lon, lat):
                if column not in frame.columns:
                    raise ValueError(f"frame has no column named {column!r}")
        spec = (lon, lat) if geometry is None else geometry
        if npartitions is None:
            npartitions = frame.npartitions
        if isinstance(npartitions, bool) or not isinstance(npartitions, numbers.Integral) or npartitions < 1:
            raise ValueError(f"npartitions must be an integer of at least 1, not {npartitions!r}")
        count = int(npartitions)
        chunks = frame.to_delayed()
        samples = math.ceil(_SAMPLES * count / len(chunks))
        scans = dask.compute(*[dask.delayed(_scan)(chunk, spec, samples) for chunk in chunks])
        lengths = [scan[0] for scan in scans]
        kinds = set().union(*(scan[3] for scan in scans))
        if len(kinds) > 1:
            raise TypeError(f"frame holds geometries of more than one kind: {', '.join(sorted(kinds))}")
        kind = kinds.pop() if kinds else "point"
        if kind not in ("point", "linestring", "polygon"):
            raise TypeError(f"frame's geometry column holds {kind} geometries, not points, linestrings or polygons")
        cuts = _cut_points(scans, count)
        offsets = np.concatenate(([0], np.cumsum(lengths)))
        rows = int(offsets[-1])
        narrow = rows < 2**31
        splits = [
            dask.delayed(_split, nout=count)(chunk, spec, int(offsets[i]), cuts)
            for i, chunk in enumerate(chunks)
        ]
        client = _client()
        if client is not None:
            pieces = client.compute([split[j] for split in splits for j in range(count)])
            workers = sorted(client.scheduler_info()["workers"])
            parts = [
                client.submit(_build, kind, oriented, narrow, *pieces[j::count], pure=False,
                              workers=[workers[j % len(workers)]], allow_other_workers=True)
                for j in range(count)
            ]
            del pieces
            caps = client.gather([client.submit(_caps_of, part, pure=False) for part in parts])
        else:
            parts = list(dask.compute(*[
                dask.delayed(_build)(kind, oriented, narrow, *[split[j] for split in splits])
                for j in range(count)
            ]))
            caps = [_caps_of(part) for part in parts]
        self._setup(kind, oriented, rows, caps, parts, client)

    def _setup(self, kind: str, oriented: bool, rows: int, caps: list[Any], parts: list[Any], client: Any) -> None:
        """`caps` per partition: None if it is empty, else per tree its first curve key and
        its caps."""
        self._kind = kind
        self._oriented = bool(oriented)
        self._rows = rows
        self._caps = caps
        self._parts = [part if c is not None else None for part, c in zip(parts, caps)]
        self._client = client
        # Queries are routed to trees, numbered across partitions.
        self._trees = [(j, t) for j, c in enumerate(caps) if c is not None for t in range(len(c))]
        self._router = _Router([caps[j][t][1] for j, t in self._trees], [j for j, _ in self._trees],
                               [caps[j][t][0] for j, t in self._trees])
        self._router_key = (client.scatter(self._router, broadcast=True, hash=False) if client is not None
                            else dask.delayed(self._router, pure=False))
        # Without a client the chunks' tasks take the partitions in one key, in this process.
        self._parts_key = None if client is not None else dask.delayed(self._parts, pure=False, traverse=False)

    @property
    def npartitions(self) -> int:
        """The number of spatial partitions, empty ones included."""
        return len(self._parts)

    @property
    def kind(self) -> str:
        """"point", "linestring" or "polygon": the kind of tree in every partition."""
        return self._kind

    def __len__(self) -> int:
        return self._rows

    def __repr__(self) -> str:
        return f"PartitionedTree({self._rows} {self._kind}s in {len(self._parts)} partitions)"

    def to_parquet(self, path: str) -> None:
        """Writes the tree to the directory `path` (made if missing): `summary.parquet` (the
        caps, with the kind and counts in its metadata) and, per tree t of partition j,
        `tree-{j:05d}-{t}.parquet` (the tree's `to_bytes()` in pieces) and
        `rows-{j:05d}-{t}.parquet` (its frame rows). The workers write their own partitions, so `path` must be
        reachable from every worker."""
        import pyarrow as pa
        import pyarrow.parquet as pq

        os.makedirs(path, exist_ok=True)
        caps = [self._caps[j][t][1] for j, t in self._trees]
        table = np.concatenate(caps) if caps else np.empty((0, 4))
        meta = {"format": _FORMAT, "kind": self._kind, "oriented": self._oriented, "rows": self._rows,
                "trees": [0 if c is None else len(c) for c in self._caps],
                "starts": [self._caps[j][t][0] for j, t in self._trees]}
        summary = pa.table({
            "partition": np.concatenate([np.full(len(c), j) for c, (j, _) in zip(caps, self._trees)] or [[]]),
            "tree": np.concatenate([np.full(len(c), t) for c, (_, t) in zip(caps, self._trees)] or [[]]),
            "x": table[:, 0], "y": table[:, 1], "z": table[:, 2], "chord": table[:, 3],
        }).replace_schema_metadata({"sferix": json.dumps(meta)})
        pq.write_table(summary, os.path.join(path, "summary.parquet"))
        jobs = [(j, part) for j, part in enumerate(self._parts) if part is not None]
        if self._client is not None:
            self._client.gather([self._client.submit(_write_part, part, path, j, pure=False) for j, part in jobs])
        else:
            for j, part in jobs:
                _write_part(part, path, j)

    @classmethod
    def read(cls, path: str) -> PartitionedTree:
        """A tree written by `to_parquet`, its partitions loaded by the workers of the current
        distributed client (or in this process without one). Raises ValueError for a
        directory that does not hold such a tree, or whose pieces disagree."""
        import pyarrow.parquet as pq

        summary = pq.read_table(os.path.join(path, "summary.parquet"))
        raw = (summary.schema.metadata or {}).get(b"sferix")
        if raw is None:
            raise ValueError(f"{path} holds no partitioned sferix tree")
        meta = json.loads(raw)
        if meta.get("format") != _FORMAT:
            raise ValueError(f"{path}: format {meta.get('format')!r} is not {_FORMAT}")
        owners = summary.column("partition").to_numpy()
        trees = summary.column("tree").to_numpy()
        table = np.column_stack([summary.column(name).to_numpy() for name in ("x", "y", "z", "chord")])
        counts = [int(c) for c in meta["trees"]]
        starts = iter(meta["starts"])
        caps = [[(next(starts), table[(owners == j) & (trees == t)]) for t in range(c)] if c else None
                for j, c in enumerate(counts)]
        count, present = len(counts), counts
        kind, narrow = meta["kind"], meta["rows"] < 2**31
        client = _client()
        if client is not None:
            workers = sorted(client.scheduler_info()["workers"])
            parts = [
                client.submit(_read_part, path, j, present[j], kind, narrow, pure=False,
                              workers=[workers[j % len(workers)]], allow_other_workers=True) if present[j] else None
                for j in range(count)
            ]
            # Load now, so that a damaged directory fails here and not in a later join.
            client.gather([client.submit(_caps_of, part, pure=False) for part in parts if part is not None])
        else:
            parts = [_read_part(path, j, present[j], kind, narrow) if present[j] else None for j in range(count)]
        tree = cls.__new__(cls)
        tree._setup(kind, meta["oriented"], int(meta["rows"]), caps, parts, client)
        return tree

    def _empty(self) -> Any:
        """An empty tree of this kind: it checks arguments as the partitions' trees do."""
        return _new_tree(self._kind, self._oriented, [])


def _client() -> Any:
    return frame_rows.blocking_client()


def _geometry_column(frame: Any) -> str | None:
    dask_geopandas = sys.modules.get("dask_geopandas")
    if dask_geopandas is not None and isinstance(frame, dask_geopandas.GeoDataFrame):
        return str(frame._meta.geometry.name)
    return None


def _new_tree(kind: str, oriented: bool, data: Any) -> Any:
    if kind == "point":
        return GeodeticPointTree(data)
    if kind == "linestring":
        return GeodeticLineStringTree(data)
    return GeodeticPolygonTree(data, oriented=oriented)


# --- keys ---------------------------------------------------------------------------------

def _unit_vectors(lon: np.ndarray, lat: np.ndarray) -> np.ndarray:
    lam, phi = np.radians(lon), np.radians(lat)
    return np.column_stack((np.cos(phi) * np.cos(lam), np.cos(phi) * np.sin(lam), np.sin(phi)))


def _face_cells(vectors: np.ndarray, order: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The cube face of each unit vector (0-5: +x, +y, +z, -x, -y, -z, so faces next in
    order share an edge) and the column and row of its gnomonic (u, v) among the face's
    2^order x 2^order cells."""
    vectors = np.nan_to_num(vectors)
    axis = np.argmax(np.abs(vectors), axis=1)
    rows = np.arange(len(vectors))
    major = vectors[rows, axis]
    face = axis + 3 * (major < 0)
    major = np.where(major == 0, 1.0, np.abs(major))
    u = vectors[rows, (axis + 1) % 3] / major
    v = vectors[rows, (axis + 2) % 3] / major
    side = 1 << order
    # Scaling by a power of two is exact, so a coarser order's cell is this one's shifted.
    x = np.clip(((u + 1) * (side / 2)).astype(np.int64), 0, side - 1)
    y = np.clip(((v + 1) * (side / 2)).astype(np.int64), 0, side - 1)
    return face.astype(np.int64), x, y


def _hilbert_index(face: np.ndarray, x: np.ndarray, y: np.ndarray, order: int) -> np.ndarray:
    """face times 4^order plus the Hilbert index of cell (x, y) on that face."""
    side = 1 << order
    x, y = x.copy(), y.copy()
    d = np.zeros(len(x), np.int64)
    s = side >> 1
    while s > 0:
        rx = (x & s) != 0
        ry = (y & s) != 0
        d += s * s * ((3 * rx) ^ ry)
        # Rotate the quadrant so the curve's pieces join end to end: where ry is 0, flip
        # both (if rx is 1) and swap them, with masks rather than selections.
        swap = -(~ry).astype(np.int64)
        flip = (side - 1) & -(~ry & rx).astype(np.int64)
        x ^= flip
        y ^= flip
        t = (x ^ y) & swap
        x ^= t
        y ^= t
        s >>= 1
    return face * (side * side) + d


def _hilbert_keys(vectors: np.ndarray) -> np.ndarray:
    """The curve key of each unit vector: its cell's Hilbert index at `_HILBERT_ORDER`."""
    return _hilbert_index(*_face_cells(vectors, _HILBERT_ORDER), _HILBERT_ORDER)


def _vertices(chunk: pd.DataFrame, spec: Any, take: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Unit vectors of the vertices of the chunk's rows (all, or those in `take`) and the
    row (0-based within `take`) each belongs to."""
    if isinstance(spec, tuple):
        lon = chunk[spec[0]].to_numpy(dtype=np.float64)
        lat = chunk[spec[1]].to_numpy(dtype=np.float64)
        if take is not None:
            lon, lat = lon[take], lat[take]
        return _unit_vectors(lon, lat), np.arange(len(lon))
    import shapely

    geometries = chunk[spec].to_numpy()
    if take is not None:
        geometries = geometries[take]
    coords, index = shapely.get_coordinates(geometries, return_index=True)
    return _unit_vectors(coords[:, 0], coords[:, 1]), index


def _representatives(vectors: np.ndarray, owner: np.ndarray, count: int) -> np.ndarray:
    """Per row, the normalised sum of its vertices' unit vectors (the first vertex where the
    sum vanishes; +x for a row without vertices)."""
    sums = np.column_stack([np.bincount(owner, vectors[:, c], minlength=count) for c in range(3)])
    norms = np.linalg.norm(sums, axis=1)
    out = np.tile([1.0, 0.0, 0.0], (count, 1))
    good = norms > 1e-12
    out[good] = sums[good] / norms[good, None]
    first = np.full(count, -1)
    first[owner[::-1]] = np.arange(len(owner))[::-1]
    fallback = ~good & (first >= 0)
    out[fallback] = vectors[first[fallback]]
    return out


def _keys(chunk: pd.DataFrame, spec: Any, take: np.ndarray | None = None) -> np.ndarray:
    vectors, owner = _vertices(chunk, spec, take)
    count = len(chunk) if take is None else len(take)
    if isinstance(spec, tuple):
        return _hilbert_keys(vectors)
    return _hilbert_keys(_representatives(vectors, owner, count))


def _lonlat(vectors: np.ndarray) -> np.ndarray:
    return np.column_stack((np.degrees(np.arctan2(vectors[:, 1], vectors[:, 0])),
                            np.degrees(np.arctan2(vectors[:, 2], np.hypot(vectors[:, 0], vectors[:, 1])))))


def _cell_caps(cells: np.ndarray, level: int) -> tuple[np.ndarray, np.ndarray]:
    """The centre unit vector and the radius in metres (widened a little) of a cap around
    each curve cell at `level`: cells are gnomonic squares, bounded by great circles, so
    the cap around their corners holds them."""
    side = 1 << level
    face = cells // (side * side)
    d = cells % (side * side)
    x = np.zeros_like(d)
    y = np.zeros_like(d)
    s = 1
    while s < side:
        rx = 1 & (d // 2)
        ry = 1 & (d ^ rx)
        # Undo the quadrant rotation of `_hilbert_keys`.
        flip = (ry == 0) & (rx == 1)
        x = np.where(flip, s - 1 - x, x)
        y = np.where(flip, s - 1 - y, y)
        swap = ry == 0
        x, y = np.where(swap, y, x), np.where(swap, x, y)
        x += s * rx
        y += s * ry
        d //= 4
        s *= 2
    axis = face % 3
    sign = np.where(face >= 3, -1.0, 1.0)
    corners = []
    for du, dv in ((0, 0), (1, 0), (0, 1), (1, 1)):
        vector = np.zeros((len(cells), 3))
        rows = np.arange(len(cells))
        vector[rows, axis] = sign
        vector[rows, (axis + 1) % 3] = (x + du) / side * 2 - 1
        vector[rows, (axis + 2) % 3] = (y + dv) / side * 2 - 1
        corners.append(vector / np.linalg.norm(vector, axis=1)[:, None])
    centre = sum(corners)
    centre /= np.linalg.norm(centre, axis=1)[:, None]
    chord = np.max([np.linalg.norm(corner - centre, axis=1) for corner in corners], axis=0)
    return centre, _EARTH_RADIUS_METRES * 2 * np.arcsin(np.minimum(chord, 2.0) / 2) * (1 + 1e-9) + 1.0


# --- building -----------------------------------------------------------------------------

def _scan(chunk: pd.DataFrame, spec: Any, samples: int) -> tuple[int, np.ndarray, float, set[str]]:
    """The chunk's length, the keys of up to `samples` rows spread over it, the weight of
    each, and the kinds of geometry it holds."""
    n = len(chunk)
    take = np.unique(np.linspace(0, n - 1, min(n, samples)).astype(np.int64)) if n else np.empty(0, np.int64)
    kinds: set[str] = set()
    if not isinstance(spec, tuple):
        import shapely

        kinds = {_KINDS.get(int(i), "other") for i in np.unique(shapely.get_type_id(chunk[spec].to_numpy()))}
    return n, _keys(chunk, spec, take), (n / len(take) if len(take) else 0.0), kinds


def _cut_points(scans: Any, count: int) -> np.ndarray:
    """count - 1 keys that cut the weighted sample into runs of equal weight."""
    keys = np.concatenate([scan[1] for scan in scans])
    weights = np.concatenate([np.full(len(scan[1]), scan[2]) for scan in scans])
    if not len(keys):
        return np.zeros(count - 1, np.int64)
    order = np.argsort(keys, kind="stable")
    cumulative = np.cumsum(weights[order])
    at = np.searchsorted(cumulative, cumulative[-1] * np.arange(1, count) / count)
    return keys[order][np.minimum(at, len(keys) - 1)]


def _split(chunk: pd.DataFrame, spec: Any, offset: int, cuts: np.ndarray) -> tuple[Any, ...]:
    """The chunk's rows dealt to the partitions: per partition None, or (frame rows, keys,
    items), rows ascending."""
    keys = _keys(chunk, spec)
    target = np.searchsorted(cuts, keys, side="right")
    order = np.argsort(target, kind="stable")
    bounds = np.searchsorted(target[order], np.arange(len(cuts) + 2))
    if isinstance(spec, tuple):
        items: Any = np.column_stack((chunk[spec[0]].to_numpy(dtype=np.float64),
                                      chunk[spec[1]].to_numpy(dtype=np.float64)))
    else:
        items = chunk[spec].to_numpy()
    pieces = []
    for j in range(len(cuts) + 1):
        take = order[bounds[j]:bounds[j + 1]]
        pieces.append((offset + take, keys[take], items[take]) if len(take) else None)
    return tuple(pieces)


def _node_count(n: int) -> int:
    """The nodes the loader makes for n items: it halves a group along each axis until at
    most 6 remain, so the levels are full octrees: (8^(L+1) - 1) / 7 nodes for the least L
    with 6 * 8^L >= n (37449 nodes of 56 bytes for 62,500 points, but also for 196,608)."""
    level = 0
    while 6 * 8**level < n:
        level += 1
    return (8 ** (level + 1) - 1) // 7


def _tree_count(n: int) -> int:
    """How many trees to split a partition of n points into: the count, up to 8, with the
    fewest nodes in all, each tree past the first weighed as 10% more nodes, since a query
    may have to ask it too. A partition just past a step of `_node_count` would otherwise
    carry up to 8 times the nodes it needs (34 bytes a point at 62,500 points, where one
    tree of 10^6 has 17): three trees of 20,834 points need 13 in all."""
    if n < _MIN_SPLIT:
        return 1
    return min(range(1, 9), key=lambda count: count * _node_count(-(-n // count)) * (0.9 + count / 10))


def _build(kind: str, oriented: bool, narrow: bool, *pieces: Any) -> _Part | None:
    pieces = tuple(piece for piece in pieces if piece is not None)
    if not pieces:
        return None
    rows = np.concatenate([piece[0] for piece in pieces])
    keys = np.concatenate([piece[1] for piece in pieces])
    items = np.concatenate([piece[2] for piece in pieces])
    # Runs along the curve, each in frame order (rows come ascending) for the tie rule.
    count = _tree_count(len(rows)) if kind == "point" else 1
    runs = [np.sort(run) for run in np.array_split(np.argsort(keys, kind="stable"), count)]
    trees, row_lists, caps = [], [], []
    nbytes = 0
    for run in runs:
        run_items = items[run]
        try:
            tree = _new_tree(kind, oriented, run_items if run_items.dtype != object else list(run_items))
        except (GeodeticError, ValueError, TypeError) as error:
            item = getattr(error, "item", None)
            if item is None or type(error) not in (GeodeticError, ValueError, TypeError):
                raise
            raise type(error)(f"row {rows[run][item]}: {error}") from None
        if len(tree) != len(run):
            raise ValueError(f"{len(run)} rows became {len(tree)} items")
        if run_items.dtype != object:
            vectors, owner = _unit_vectors(run_items[:, 0], run_items[:, 1]), np.arange(len(run))
        else:
            import shapely

            coords, owner = shapely.get_coordinates(run_items, return_index=True)
            vectors = _unit_vectors(coords[:, 0], coords[:, 1])
        trees.append(tree)
        row_lists.append(rows[run].astype(np.int32 if narrow else np.int64))
        caps.append((int(keys[run].min()), _caps(tree, kind, keys[run], vectors, owner)))
        nbytes += len(tree.to_bytes()) + row_lists[-1].nbytes
    return _Part(trees, row_lists, caps, nbytes)


def _caps(tree: Any, kind: str, keys: np.ndarray, vectors: np.ndarray, owner: np.ndarray) -> np.ndarray:
    """Caps, each around the items of one run along the curve, that hold every point of
    every item: the vertices, and for linestrings and polygons the arcs between them and
    the filled regions, as (x, y, z, chord radius) rows."""
    m = len(keys)
    runs = max(1, min(_MAX_CAPS, m // _MIN_ITEMS))
    by_key = np.argsort(keys, kind="stable")
    # The curve is continuous on a face but jumps between faces: a run is cut where the
    # face changes, or its cap would span both ends of the jump.
    run = np.arange(m) * runs // m + runs * (keys[by_key] >> (2 * _HILBERT_ORDER))
    starts_run = np.concatenate(([True], run[1:] != run[:-1]))
    groups = int(starts_run.sum())
    group_of_item = np.empty(m, np.int64)
    group_of_item[by_key] = np.cumsum(starts_run) - 1
    group = group_of_item[owner]
    sums = np.column_stack([np.bincount(group, vectors[:, c], minlength=groups) for c in range(3)])
    norms = np.linalg.norm(sums, axis=1)
    order = np.argsort(group, kind="stable")
    starts = np.searchsorted(group[order], np.arange(groups))
    centres = vectors[order][starts].copy()
    good = norms > 1e-12
    centres[good] = sums[good] / norms[good, None]
    reach = np.linalg.norm(vectors[order] - centres[group[order]], axis=1)
    chord = np.maximum.reduceat(reach, starts) * (1 + 1e-12) + 1e-12
    if kind != "point":
        # A cap of at most a quarter circle holds the shorter arc between any two of its
        # points; past that, the run is bounded by the whole sphere.
        chord[chord >= math.sqrt(2.0)] = 2.0
    if kind == "polygon":
        # A boundary inside such a cap leaves the region either in the cap or around all the
        # rest of the sphere, as then it holds the point opposite the cap's centre.
        small = np.flatnonzero(chord < 2.0)
        opposite = -centres[small]
        lonlat = np.column_stack((np.degrees(np.arctan2(opposite[:, 1], opposite[:, 0])),
                                  np.degrees(np.arctan2(opposite[:, 2], np.hypot(opposite[:, 0], opposite[:, 1])))))
        pairs = tree.query_within_distance(lonlat, 0.0)
        hit = pairs[0][group_of_item[pairs[1]] == small[pairs[0]]]
        chord[small[hit]] = 2.0
    return np.column_stack((centres, np.minimum(chord, 2.0)))


def _caps_of(part: _Part | None) -> list[tuple[int, np.ndarray]] | None:
    return None if part is None else part.caps


def _write_part(part: _Part, path: str, j: int) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    for t, (tree, rows) in enumerate(zip(part.trees, part.rows)):
        data = tree.to_bytes()
        chunks = [data[at:at + _CHUNK_BYTES] for at in range(0, len(data), _CHUNK_BYTES)] or [b""]
        pq.write_table(pa.table({"chunk": pa.array(chunks, pa.large_binary())}),
                       os.path.join(path, f"tree-{j:05d}-{t}.parquet"), compression="none")
        pq.write_table(pa.table({"row": rows.astype(np.int64)}), os.path.join(path, f"rows-{j:05d}-{t}.parquet"))


def _read_part(path: str, j: int, count: int, kind: str, narrow: bool) -> _Part:
    import pyarrow.parquet as pq

    trees, row_lists, nbytes = [], [], 0
    for t in range(count):
        chunks = pq.read_table(os.path.join(path, f"tree-{j:05d}-{t}.parquet")).column("chunk").to_pylist()
        data = b"".join(chunks)
        tree = {"point": GeodeticPointTree, "linestring": GeodeticLineStringTree,
                "polygon": GeodeticPolygonTree}[kind].from_bytes(data)
        rows = pq.read_table(os.path.join(path, f"rows-{j:05d}-{t}.parquet")).column("row").to_numpy()
        if len(rows) != len(tree) or (len(rows) > 1 and not (np.diff(rows) > 0).all()):
            raise ValueError(f"{path}: tree {t} of partition {j} has {len(tree)} items and {len(rows)} rows, "
                             f"or rows out of order")
        trees.append(tree)
        row_lists.append(rows.astype(np.int32 if narrow else np.int64))
        nbytes += len(data) + row_lists[-1].nbytes
    return _Part(trees, row_lists, None, nbytes)


# --- routing ------------------------------------------------------------------------------

class _Router:
    """What routes queries to trees: every tree's caps and first curve key, a point tree of
    the caps' centres to find the caps near a query (caps far wider than the rest are kept
    aside and checked against every query), and a grid of curve cells, each with a lower
    bound on the metres from any of its points to the caps of any tree but the one its
    keys belong to (none if they belong to several)."""

    def __init__(self, caps: list[np.ndarray], partitions: list[int], starts: list[int]) -> None:
        self.count = max(len(caps), 1)
        self.partition = np.array(partitions, np.int64)
        self.starts = np.array(starts, np.int64)
        owners = [np.full(len(c), u) for u, c in enumerate(caps)]
        table = np.concatenate(caps) if caps else np.empty((0, 4))
        self.owners = np.concatenate(owners) if owners else np.empty(0, np.int64)
        self.radii = _EARTH_RADIUS_METRES * 2 * np.arcsin(np.minimum(table[:, 3], 2.0) / 2)
        limit = _WIDE_CAP_FACTOR * np.median(self.radii) if len(self.radii) else 0.0
        self.narrow = np.flatnonzero(self.radii <= limit)
        self.wide = np.flatnonzero(self.radii > limit)
        self.wide_centres = table[self.wide, :3]
        self.tree = GeodeticPointTree(_lonlat(table[self.narrow, :3]))
        self.widest = float(self.radii[self.narrow].max()) if len(self.narrow) else 0.0
        self.least_radius = np.full(self.count, np.inf)
        np.minimum.at(self.least_radius, self.owners, self.radii)
        # Cells about 8 to a cap: a cell's bound is its caps' less its own radius.
        self.level = int(min(_MAX_CELL_LEVEL, max(1, math.ceil(math.log(max(8 * len(table), 6) / 6, 4)))))
        # The grid is looked up by face, column and row, which a query's cell gives at
        # once, where its place on the curve would cost a pass per level: per cell, the
        # tree of its first key and the bound, in single precision rounded down, which
        # keeps it a bound in half the bytes.
        side = 1 << self.level
        grid = np.arange(6 * side * side, dtype=np.int64)
        cells = _hilbert_index(grid // (side * side), grid // side % side, grid % side, self.level)
        self.grid_first = self._trees_of(cells << (2 * (_HILBERT_ORDER - self.level))).astype(np.int32)
        clear = self._clearances()[cells]
        single = clear.astype(np.float32)
        self.grid_clear = np.where(single > clear, np.nextafter(single, np.float32(-np.inf)), single)

    def _trees_of(self, keys: np.ndarray) -> np.ndarray:
        return np.maximum(np.searchsorted(self.starts, keys, side="right") - 1, 0)

    def _clearances(self) -> np.ndarray:
        """Per cell of the curve at `level`, the bound described above (-inf where none)."""
        shift = 2 * (_HILBERT_ORDER - self.level)
        cells = np.arange(6 << (2 * self.level), dtype=np.int64)
        owner = self._trees_of(cells << shift)
        single = owner == self._trees_of(((cells + 1) << shift) - 1)
        centres, radii = _cell_caps(cells, self.level)
        clear = np.full(len(cells), -np.inf)
        m = len(self.narrow)
        if not len(self.starts) or not m:
            return clear
        near = min(_CLEARANCE_CAPS, m)
        lonlat = _lonlat(centres)
        positions, metres = self.tree.query_nearest(lonlat, near, workers=1)
        positions, metres = positions.reshape(-1, near), metres.reshape(-1, near)
        caps = self.narrow[positions]
        other = self.owners[caps] != owner[:, None]
        gaps = np.where(other, metres - self.radii[caps], np.inf).min(axis=1)
        # A cap not listed has its centre at least as far as the last one listed.
        if near < m:
            gaps = np.minimum(gaps, metres[:, -1] - self.widest)
        if len(self.wide):
            wide = self._wide_gaps(lonlat)
            other = self.owners[self.wide][None, :] != owner[:, None]
            gaps = np.minimum(gaps, np.where(other, wide, np.inf).min(axis=1))
        clear[single] = (gaps - radii)[single]
        return clear

    def _wide_gaps(self, queries: np.ndarray) -> np.ndarray:
        """(n, wide caps): the metres from each query to each wide cap, 0 inside it."""
        vectors = _unit_vectors(queries[:, 0], queries[:, 1])
        dots = np.clip(vectors @ self.wide_centres.T, -1.0, 1.0)
        return np.maximum(_EARTH_RADIUS_METRES * np.arccos(dots) - self.radii[self.wide], 0.0)

    def first(self, queries: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Per query, the tree its grid cell's keys fall in (-1 with no trees at all), and
        a lower bound on the sphere metres to every cap of any other tree: a nearest query
        whose k-th distance in the first tree is within that bound needs no other tree. A
        cell split between trees gives the tree of its first key and no bound, so its
        queries always ask the caps' tree; the cell costs far less than that search, which
        only the queries near another tree then need."""
        n = len(queries)
        # The array query checks the queries, with the array queries' messages, unless a
        # look at the ranges finds them all well inside.
        if not ((np.abs(queries[:, 0]) <= 180.0).all() and (np.abs(queries[:, 1]) <= 90.0).all()):
            self.tree.query_within_distance(queries, -1.0, workers=1)
        if not len(self.starts):
            return np.full(n, -1), np.full(n, np.inf)
        face, x, y = _face_cells(_unit_vectors(queries[:, 0], queries[:, 1]), self.level)
        at = (face << (2 * self.level)) + (x << self.level) + y
        return self.grid_first[at].astype(np.int64), self.grid_clear[at]

    def reach(self, queries: np.ndarray, bound: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The distinct (query, tree) pairs where the tree has a cap within `bound` sphere
        metres of the query (a bound per query), by query."""
        pairs, metres = self.tree.query_within_distance(queries, bound + self.widest, return_distance=True, workers=1)
        caps = self.narrow[pairs[1]]
        keep = metres - self.radii[caps] <= bound[pairs[0]]
        found_queries, found_parts = [pairs[0][keep]], [self.owners[caps[keep]]]
        if len(self.wide):
            near = np.nonzero(self._wide_gaps(queries) <= bound[:, None])
            found_queries.append(near[0])
            found_parts.append(self.owners[self.wide[near[1]]])
        code = _distinct(np.concatenate(found_queries) * self.count + np.concatenate(found_parts))
        return code // self.count, code % self.count

    def within(self, queries: np.ndarray, radius: float, wgs84: bool) -> tuple[np.ndarray, np.ndarray]:
        """`reach` for one radius in metres (geodesic with `wgs84`); nothing for a negative
        or NaN radius. Checks the queries as the array queries do."""
        if not radius >= 0:
            self.tree.query_within_distance(queries, -1.0, workers=1)
            return np.empty(0, np.int64), np.empty(0, np.int64)
        return self.reach(queries, np.full(len(queries), min(_sphere_bound(np.float64(radius), wgs84), 4e7)))

    def partitions_touched(self, n: int, ids: np.ndarray, trees: np.ndarray) -> np.ndarray:
        """Per query of n, the number of partitions among its (query, tree) pairs."""
        code = np.unique(ids * (int(self.partition.max(initial=0)) + 1) + self.partition[trees])
        return np.bincount(code // (int(self.partition.max(initial=0)) + 1), minlength=n)


def _distinct(values: np.ndarray) -> np.ndarray:
    """np.unique of integers, by a sort: several times faster than its hashing for the
    few thousand values of a chunk's routing."""
    values = np.sort(values)
    keep = np.ones(len(values), bool)
    keep[1:] = values[1:] != values[:-1]
    return values[keep]


def _sphere_bound(metres: np.ndarray, wgs84: bool) -> np.ndarray:
    """Sphere metres that a distance of `metres` (geodesic with `wgs84`) cannot exceed,
    widened by the routing slack."""
    if wgs84:
        metres = metres / _WGS84_OVER_SPHERE_LOWER
    return metres * (1 + _ROUTE_SLACK_RELATIVE) + _ROUTE_SLACK_METRES


def _trees_here(parts: list[_Part], layout: list[tuple[int, int]], trees: list[int]) -> dict[int, Any]:
    """Tree number to (tree, frame row of each position), for the trees of one group."""
    return {u: (parts[at].trees[t], parts[at].rows[t]) for u, (at, t) in zip(trees, layout)}


def _in_group(func: Any, parts: list[_Part], layout: list[tuple[int, int]], trees: list[int], router: _Router,
              *args: Any) -> Any:
    return func(_trees_here(parts, layout, trees), router, *args)


class _Context:
    """What a chunk's task needs to find the trees: `plan`, the trees grouped by the worker
    keeping them, as (that worker, or None in this process; the partitions' numbers; per
    tree its partition's place among those and its place in the partition; the trees'
    numbers), `group_of`, the group of each tree, and with a client, `keys`, each
    partition's key, and `router_key`. An object, not a tuple, so that the graph takes
    the keys for names, not for the values they stand for."""

    __slots__ = ("plan", "group_of", "keys", "router_key")

    def __init__(self, tree: PartitionedTree) -> None:
        present = [j for j, part in enumerate(tree._parts) if part is not None]
        homes: dict[int, str | None] = {j: None for j in present}
        client = tree._client
        if client is not None:
            who = client.who_has([tree._parts[j] for j in present])
            homes = {j: min(who.get(tree._parts[j].key) or (None,)) for j in present}
        groups: dict[str | None, list[int]] = {}
        for u, (j, _) in enumerate(tree._trees):
            groups.setdefault(homes[j], []).append(u)
        self.plan: list[tuple[list[str] | None, list[int], list[tuple[int, int]], list[int]]] = []
        self.group_of = np.zeros(len(tree._trees), np.int64)
        for g, (worker, trees) in enumerate(groups.items()):
            members = sorted({tree._trees[u][0] for u in trees})
            layout = [(members.index(tree._trees[u][0]), tree._trees[u][1]) for u in trees]
            self.plan.append(([worker] if worker else None, members, layout, trees))
            self.group_of[trees] = g
        self.keys = None if client is None else [None if part is None else part.key for part in tree._parts]
        self.router_key: Any = None if client is None else tree._router_key.key

    def __getstate__(self) -> tuple[Any, ...]:
        return (self.plan, self.group_of, self.keys, self.router_key)

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        self.plan, self.group_of, self.keys, self.router_key = state


def _chunk_args(tree: PartitionedTree) -> tuple[Any, Any, Any]:
    """The routing, the context and, without a client, the partitions, as a chunk's task
    takes them. A join asks each worker's trees in one call, as one per tree would cost a
    round trip each."""
    return tree._router_key, _Context(tree), tree._parts_key


class _Groups:
    """The groups of trees as one chunk's task sees them: those kept where it runs, asked
    in place, and the others, each asked by a task on its own worker."""

    def __init__(self, context: _Context, router: _Router, parts: list[Any] | None) -> None:
        self.context = context
        self.router = router
        self.here: dict[int, dict[int, Any]] = {}
        if parts is None:
            from distributed import get_worker

            data = get_worker().data
            parts = [None if key is None or key not in data else data[key] for key in context.keys or []]
        for g, (_, members, layout, trees) in enumerate(context.plan):
            if all(parts[j] is not None for j in members):
                self.here[g] = _trees_here([parts[j] for j in members], layout, trees)

    def ask(self, func: Any, jobs: dict[int, tuple[Any, ...]]) -> dict[int, Any]:
        """func(trees, router, *jobs[g]) for each group g in `jobs`, by group. The other
        workers' tasks are sent first, so that they run while this one answers its own
        trees; then this task leaves its thread to another while it waits for them."""
        away = [g for g in jobs if g not in self.here]
        futures = []
        if away:
            from distributed import Future, get_client

            client = get_client()
            keys: list[Any] = self.context.keys or []
            router: Any = Future(self.context.router_key, client)
            for g in away:
                home, members, layout, trees = self.context.plan[g]
                parts: list[Any] = [Future(keys[j], client) for j in members]
                futures.append(client.submit(_in_group, func, parts, layout, trees, router, *jobs[g], workers=home,
                                             allow_other_workers=True, pure=False))
        results = {g: func(self.here[g], self.router, *jobs[g]) for g in jobs if g in self.here}
        if futures:
            from distributed import rejoin, secede

            secede()
            try:
                results.update(zip(away, client.gather(futures)))
            finally:
                rejoin()
        return results

    def split(self, ids: np.ndarray, trees: np.ndarray, *more: np.ndarray) -> dict[int, tuple[np.ndarray, ...]]:
        """(query, tree, ...) pairs by the group of their tree."""
        owner = self.context.group_of[trees]
        return {int(g): (ids[owner == g], trees[owner == g]) + tuple(m[owner == g] for m in more)
                for g in np.flatnonzero(np.bincount(owner, minlength=len(self.context.plan)))}


# --- nearest ------------------------------------------------------------------------------

def nearest(points: Any, tree: PartitionedTree, *, lon: str, lat: str, k: int, max_distance: float | None,
            wgs84: bool, geometry: str | None = None, count: bool = False) -> Any:
    """`sferix.dask.nearest` on a partitioned tree; `count=True` adds a column `partitions`,
    the number of partitions each query went to."""
    empty = tree._empty()
    geometry = frame_rows.check(points, empty, lon, lat, wgs84, geometry)
    (empty.query_nearest_wgs84 if wgs84 else empty.query_nearest)(np.empty((0, 2)), k, max_distance=max_distance)
    names = _nearest_names(k)
    for name in names + (["partitions"] if count else []):
        if name in points.columns:
            raise ValueError(f"points already has a column named {name!r}")
    meta = frame_rows.with_nearest(points._meta, np.empty((0, k), np.int64), np.empty((0, k)), names)
    if count:
        meta = meta.assign(partitions=np.empty(0, np.int64))
    limit = math.inf if max_distance is None else float(max_distance)
    router, context, parts = _chunk_args(tree)
    # One task per chunk, as the replicated join has, which asks the other workers' trees
    # itself: tasks of the graph would each cost a round trip through the scheduler, and
    # could not be kept where the trees are (Dask DataFrames ignore annotations, and a task
    # taking the trees as inputs runs where the queue is shorter, copying them there),
    # where a task submitted from a worker can.
    return points.map_partitions(_nearest_chunk, router, context, parts, lon, lat, geometry, k, limit, wgs84, names,
                                 count, meta=meta)


def _nearest_names(k: int) -> list[str]:
    if k == 1:
        return ["nearest_position", "nearest_metres"]
    return [f"nearest_position_{i}" for i in range(1, k + 1)] + [f"nearest_metres_{i}" for i in range(1, k + 1)]


def _nearest_chunk(chunk: pd.DataFrame, router: _Router, context: _Context, parts: list[Any] | None, lon: str, lat: str,
                   geometry: str | None, k: int, limit: float, wgs84: bool, names: list[str],
                   count: bool) -> pd.DataFrame:
    """The chunk's rows with their k nearest. The groups kept here answer their first and
    second rounds first; each other group then gets its first round together with the
    second-round queries that this worker's queries send to it, and sends back those of
    its own queries that reach another group's trees."""
    queries, (first, clear) = frame_rows.ask(lambda q: (q, router.first(q)), chunk, lon, lat, geometry)
    n = len(queries)
    groups = _Groups(context, router, parts)
    asked = np.flatnonzero(first >= 0)
    asked = asked[np.argsort(first[asked], kind="stable")]
    starts = {g: (ids, trees, clear[ids], queries[ids])
              for g, (ids, trees) in groups.split(asked, first[asked]).items()}
    done: dict[int, Any] = {}
    requests: dict[int, list[tuple[np.ndarray, ...]]] = {}

    def ask(which: list[int], include_starts: bool) -> None:
        jobs = {}
        for g in which:
            start = starts.pop(g, None) if include_starts else None
            pending = requests.pop(g, [])
            sent = tuple(np.concatenate(column) for column in zip(*pending)) if pending else None
            if start is not None or sent is not None:
                jobs[g] = (start, sent, k, limit, wgs84)
        for g, result in groups.ask(_nearest_group, jobs).items():
            done.setdefault(g, []).append(result)
            for h, request in groups.split(*result[2]).items():
                requests.setdefault(h, []).append(request)

    ask(sorted(groups.here), True)
    ask(sorted(set(starts) | set(requests)), True)
    if requests:
        ask(sorted(requests), False)
    results = [result for group in done.values() for result in group]
    rows, metres = _first_answers(n, k, [result[0] for result in results])
    rows, metres = _merge_answers(rows, metres, [answer for result in results for answer in result[1]])
    out = frame_rows.with_nearest(chunk, rows, metres, names)
    if not count:
        return out
    pairs = [(asked, first[asked])] + [result[3] for result in results]
    touched = router.partitions_touched(n, np.concatenate([p[0] for p in pairs]), np.concatenate([p[1] for p in pairs]))
    return out.assign(partitions=touched.astype(np.int64))


def _runs(trees: np.ndarray) -> list[tuple[int, int, int]]:
    """(tree, begin, end) of each run of equal trees."""
    cuts = np.flatnonzero(trees[1:] != trees[:-1]) + 1
    begins, ends = np.concatenate(([0], cuts)), np.concatenate((cuts, [len(trees)]))
    return [(int(trees[b]), int(b), int(e)) for b, e in zip(begins, ends) if b < e]


def _ask_nearest(here: dict[int, Any], ids: np.ndarray, trees: np.ndarray, limits: np.ndarray, coords: np.ndarray,
                 k: int, wgs84: bool) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Queries `ids` at `coords` each answered by its tree, within its limit (one per
    tree, the largest of its queries'): (query ids, in order of tree, their (n, k) frame
    rows and metres)."""
    order = np.argsort(trees, kind="stable")
    ids, trees, limits, coords = ids[order], trees[order], limits[order], coords[order]
    rows = np.empty((len(ids), k), np.int64)
    metres = np.empty((len(ids), k))
    for u, begin, end in _runs(trees):
        tree, tree_rows = here[u]
        limit = float(limits[begin:end].max())
        query = tree.query_nearest_wgs84 if wgs84 else tree.query_nearest
        positions, found = query(coords[begin:end], k, max_distance=None if math.isinf(limit) else limit, workers=1)
        positions = positions.reshape(-1, k)
        rows[begin:end] = np.where(positions >= 0, tree_rows[np.maximum(positions, 0)], -1)
        metres[begin:end] = found.reshape(-1, k)
    return ids, rows, metres


def _ask_further(here: dict[int, Any], router: _Router, ids: np.ndarray, trees: np.ndarray, limits: np.ndarray,
                 coords: np.ndarray, k: int, wgs84: bool) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    """The second round: `_ask_nearest`, except that a point tree on the sphere gives the
    queries whose limit lies within its smallest cap every item within the limit, as the
    radius query, whose radius is the query's own, costs a third of the nearest one. The
    caps hold runs of equal count, so so short a limit reaches few items; the merge keeps
    the k nearest."""
    near = np.isfinite(limits) & (limits <= router.least_radius[trees])
    if wgs84 or not near.any() or not isinstance(next(iter(here.values()))[0], GeodeticPointTree):
        return [_ask_nearest(here, ids, trees, limits, coords, k, wgs84)]
    answers = [_ask_nearest(here, ids[~near], trees[~near], limits[~near], coords[~near], k, wgs84)]
    ids, trees, limits, coords = ids[near], trees[near], limits[near], coords[near]
    order = np.argsort(trees, kind="stable")
    ids, trees, limits, coords = ids[order], trees[order], limits[order], coords[order]
    for u, begin, end in _runs(trees):
        tree, tree_rows = here[u]
        pairs, metres = tree.query_within_distance(coords[begin:end], limits[begin:end], return_distance=True,
                                                   workers=1)
        answers.append((ids[begin:end][pairs[0]], tree_rows[pairs[1]].astype(np.int64), metres))
    return answers


def _nearest_group(here: dict[int, Any], router: _Router, start: Any, sent: Any, k: int, limit: float,
                   wgs84: bool) -> tuple[Any, ...]:
    """One group's share of a chunk: the first round of the queries that start here (ids,
    first trees ascending, bounds, coordinates), the second round of those of them that
    reach other trees here, and other groups' second-round queries `sent` (ids, trees,
    limits, coordinates). Returns the first-round answers, the second-round answers, the
    second-round queries for trees elsewhere, and every second-round (query, tree) pair
    of the queries that started here."""
    answers = []
    empty = np.empty(0, np.int64)
    out: tuple[np.ndarray, ...] = (empty, empty, np.empty(0), np.empty((0, 2)))
    pairs: tuple[np.ndarray, ...] = (empty, empty)
    first_round = None
    if start is not None:
        ids, first, clear, coords = start
        first_round = _ask_nearest(here, ids, first, np.full(len(ids), limit), coords, k, wgs84)
        metres = first_round[2]
        # The k-th distance found so far bounds the answer; fewer than k found leaves the limit.
        reach = np.minimum(metres[:, k - 1], limit)
        bound = np.minimum(_sphere_bound(reach, wgs84), 4e7)
        # Only the queries whose bound passes a cap of another tree go on.
        further = np.flatnonzero(bound > clear)
        at, trees = router.reach(coords[further], bound[further])
        at = further[at]
        other = trees != first[at]
        at, trees = at[other], trees[other]
        # Ties at the k-th distance must come too; a wider limit only adds candidates the merge drops.
        limits = np.minimum(np.nextafter(reach[at], np.inf) * (1 + 1e-12), limit)
        mine = np.isin(trees, np.fromiter(here, np.int64, len(here)))
        if mine.any():
            answers += _ask_further(here, router, ids[at[mine]], trees[mine], limits[mine], coords[at[mine]], k, wgs84)
        out = (ids[at[~mine]], trees[~mine], limits[~mine], coords[at[~mine]])
        pairs = (ids[at], trees)
    if sent is not None:
        ids, trees, limits, coords = sent
        answers += _ask_further(here, router, ids, trees, limits, coords, k, wgs84)
    return first_round, answers, out, pairs


def _first_answers(n: int, k: int, answers: list[Any]) -> tuple[np.ndarray, np.ndarray]:
    """The first round's answers, one tree's for each query, as (n, k) arrays."""
    rows = np.full((n, k), -1, np.int64)
    metres = np.full((n, k), np.inf)
    for answer in answers:
        if answer is not None:
            rows[answer[0]] = answer[1]
            metres[answer[0]] = answer[2]
    return rows, metres


def _merge_answers(rows: np.ndarray, metres: np.ndarray, answers: list[Any]) -> tuple[np.ndarray, np.ndarray]:
    """`rows` and `metres` with the second round's answers merged in: the k nearest of
    each query among all its answers, nearest first and ties by the smaller row, padded
    with -1 and inf. An answer may hold more than k candidates of a query, but no row
    twice. Only queries with second answers are sorted again."""
    n, k = rows.shape
    found = [answer for answer in answers if answer is not None]
    if not found:
        return rows, metres
    again = _distinct(np.concatenate([answer[0] for answer in found]))
    # An answer holds (n, k) rows and metres, or one row and metres per query id.
    q = np.concatenate([np.repeat(again, k)] + [np.repeat(answer[0], answer[1].size // max(len(answer[0]), 1))
                                                for answer in found])
    r = np.concatenate([rows[again].ravel()] + [answer[1].ravel() for answer in found])
    m = np.concatenate([metres[again].ravel()] + [answer[2].ravel() for answer in found])
    keep = r >= 0
    q, r, m = q[keep], r[keep], m[keep]
    order = np.lexsort((r, m, q))
    q, r, m = q[order], r[order], m[order]
    rank = np.arange(len(q)) - np.searchsorted(q, q)
    keep = rank < k
    rows, metres = rows.copy(), metres.copy()
    rows[again], metres[again] = -1, np.inf
    rows[q[keep], rank[keep]] = r[keep]
    metres[q[keep], rank[keep]] = m[keep]
    return rows, metres



# --- within distance ----------------------------------------------------------------------

def within_distance(points: Any, tree: PartitionedTree, radius_metres: float, *, lon: str, lat: str,
                    wgs84: bool, geometry: str | None = None) -> Any:
    """`sferix.dask.within_distance` on a partitioned tree, each row's pairs by position."""
    geometry = frame_rows.check(points, tree._empty(), lon, lat, wgs84, geometry)
    if not isinstance(radius_metres, numbers.Real):
        raise TypeError(f"radius_metres must be one number, not {type(radius_metres).__name__}")
    radius = float(radius_metres)
    meta = pd.DataFrame({
        "row": points._meta.index[:0], "position": np.empty(0, np.int64), "metres": np.empty(0, np.float64)})
    router, context, parts = _chunk_args(tree)
    return points.map_partitions(_within_chunk, router, context, parts, lon, lat, geometry, radius, wgs84, meta=meta,
                                 clear_divisions=True)


def _within_chunk(chunk: pd.DataFrame, router: _Router, context: _Context, parts: list[Any] | None, lon: str,
                  lat: str, geometry: str | None, radius: float, wgs84: bool) -> pd.DataFrame:
    queries, ids, trees = frame_rows.ask(lambda q: (q,) + router.within(q, radius, wgs84), chunk, lon, lat, geometry)
    groups = _Groups(context, router, parts)
    jobs = {g: (asked + (queries[asked[0]],), radius, wgs84) for g, asked in groups.split(ids, trees).items()}
    found = [answer for answers in groups.ask(_within_group, jobs).values() for answer in answers]
    q = np.concatenate([a[0] for a in found]) if found else np.empty(0, np.int64)
    r = np.concatenate([a[1] for a in found]) if found else np.empty(0, np.int64)
    m = np.concatenate([a[2] for a in found]) if found else np.empty(0)
    order = np.lexsort((r, q))
    return pd.DataFrame({"row": chunk.index.take(q[order]), "position": r[order], "metres": m[order]})


def _within_group(here: dict[int, Any], router: _Router, asked: tuple[np.ndarray, ...], radius: float,
                  wgs84: bool) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    ids, trees, coords = asked
    order = np.argsort(trees, kind="stable")
    ids, trees, coords = ids[order], trees[order], coords[order]
    found = []
    for u, begin, end in _runs(trees):
        tree, tree_rows = here[u]
        query = tree.query_within_distance_wgs84 if wgs84 else tree.query_within_distance
        pairs, metres = query(coords[begin:end], radius, return_distance=True, workers=1)
        found.append((ids[begin:end][pairs[0]], tree_rows[pairs[1]].astype(np.int64), metres))
    return found
