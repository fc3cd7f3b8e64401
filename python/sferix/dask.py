"""Joins of a Dask DataFrame of (lon, lat) rows or points against one sferix tree, and
spatial joins of a dask-geopandas frame of points against one GeoDataFrame.

    import sferix.dask
    joined = sferix.dask.nearest(fixes, tree)            # adds nearest_position, nearest_metres
    pairs = sferix.dask.within_distance(fixes, tree, 500.0)   # row, position, metres
    countries = sferix.dask.sjoin_nearest(cities, world, distance_col="metres")
    inside = sferix.dask.sjoin(cities, world, predicate="within")

Each partition is answered by the tree's array queries with `workers=1`: Dask runs the
partitions side by side, so threads inside a task would only compete with it. The tree is
one key of the task graph that every partition task depends on, so a worker receives it
once, not with every task: with a distributed client, each call sends the tree to every
worker when it is made; nothing else is computed until the result is.

A tree too large for every worker to hold goes into a `PartitionedTree`, built from a Dask
DataFrame and split across the workers; `nearest` and `within_distance` take it in place
of a tree.

`sjoin_nearest` and `sjoin` are `sferix.geopandas`'s joins partition by partition: the
right GeoDataFrame becomes one tree, which goes to the workers with the frame as that one
key.

Needs `dask[dataframe]` (and `distributed` for a cluster; dask-geopandas for point
geometry columns and the spatial joins); `import sferix` alone never imports Dask.
"""

from __future__ import annotations

import numbers
from typing import Any

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.base import normalize_token

from _sferix import GeodeticLineStringTree, GeodeticPointTree, GeodeticPolygonTree

from . import _frame_rows as frame_rows
from . import _partitioned
from ._partitioned import PartitionedTree

__all__ = ["PartitionedTree", "nearest", "sjoin", "sjoin_nearest", "within_distance"]

Tree = GeodeticPointTree | GeodeticLineStringTree | GeodeticPolygonTree
_TREE_TYPES = frame_rows.TREE_TYPES


# Dask names keys after a token of their inputs, and tokenizes a type it does not know by
# pickling it: 0.4 s for a tree of 10^6 points, at every call. A tree never changes once
# built, so its identity stands for its content, and a graph naming the tree also holds it,
# so the address cannot pass to another tree while the key is in use. The length guards
# the rest: a computation still running after its last reference is gone.
@normalize_token.register(_TREE_TYPES)
def _tree_token(tree: Any) -> tuple[str, int, int]:
    return (type(tree).__name__, id(tree), len(tree))


def nearest(
    points: dd.DataFrame,
    tree: Tree,
    *,
    lon: str = "lon",
    lat: str = "lat",
    k: int = 1,
    max_distance: float | None = None,
    wgs84: bool = False,
    geometry: str | None = None,
) -> dd.DataFrame:
    """`points` with the nearest geometries of `tree` to each row's (`lon`, `lat`) in
    degrees added as columns, as `tree.query_nearest(..., k)` finds them: for `k=1`,
    `nearest_position` (int64, the input position in `tree`) and `nearest_metres`
    (float64); otherwise `nearest_position_1` ... `nearest_position_k` and
    `nearest_metres_1` ... `nearest_metres_k`, nearest first, padded with position -1 and
    distance inf when the tree has fewer than `k` geometries (or than `k` within
    `max_distance` metres, inclusive). `wgs84=True` measures geodesics on the WGS84
    ellipsoid (`query_nearest_wgs84`, point trees only).
    `geometry` names a column of points (shapely points, as in a dask-geopandas frame) to
    read in place of `lon` and `lat`; a dask-geopandas frame without a `lon` column is
    read from its active geometry column. A projected CRS is refused.

    `tree` may be a `PartitionedTree`: each row then goes only to the partitions that can
    hold its answer, and the columns are the same as one tree over the whole frame gives.

    Returns a Dask DataFrame with the same partitions and divisions as `points`; nothing
    is computed until it is, but with a distributed client the tree is sent to the
    workers now.
    Raises TypeError for a `points` that is not a Dask DataFrame, a `tree` that is not a
    sferix tree, or `wgs84=True` on a linestring or polygon tree; ValueError if `lon` or
    `lat` is not a column or an added column already exists; `k` is checked as the
    array query checks it. A bad coordinate raises the array query's error when the
    partition holding it is computed, naming the row by its index label
    (`row 1007: latitude 95 outside [-90.0, 90.0]`).
    """
    if isinstance(tree, PartitionedTree):
        return _partitioned.nearest(points, tree, lon=lon, lat=lat, k=k, max_distance=max_distance, wgs84=wgs84,
                                    geometry=geometry)
    geometry = frame_rows.check(points, tree, lon, lat, wgs84, geometry)
    query = tree.query_nearest_wgs84 if wgs84 and isinstance(tree, GeodeticPointTree) else tree.query_nearest
    # An empty query checks k now, not in a worker, and gives the result's dtypes.
    query(np.empty((0, 2)), k, max_distance=max_distance)
    if k == 1:
        names = ["nearest_position", "nearest_metres"]
    else:
        names = [f"nearest_position_{i}" for i in range(1, k + 1)] + [f"nearest_metres_{i}" for i in range(1, k + 1)]
    for name in names:
        if name in points.columns:
            raise ValueError(f"points already has a column named {name!r}")
    meta = frame_rows.with_nearest(points._meta, np.empty((0, k), np.int64), np.empty((0, k)), names)
    return points.map_partitions(
        _nearest_partition, _tree_key(tree), lon=lon, lat=lat, geometry=geometry, k=k, max_distance=max_distance,
        wgs84=wgs84, names=names, meta=meta
    )


def within_distance(
    points: dd.DataFrame,
    tree: Tree,
    radius_metres: float,
    *,
    lon: str = "lon",
    lat: str = "lat",
    wgs84: bool = False,
    geometry: str | None = None,
) -> dd.DataFrame:
    """Every (row, geometry) pair of `points` and `tree` no more than `radius_metres`
    apart, as `tree.query_within_distance(..., radius_metres, return_distance=True)` finds
    them: a Dask DataFrame with columns `row` (the index label of the query row in
    `points`, of the index's dtype), `position` (int64, the input position in `tree`) and
    `metres` (float64). A partition of the result holds the pairs of the same partition
    of `points`, row by row, each row's pairs in the array query's order; its index is a
    fresh range per partition, so the divisions are unknown. `wgs84=True` measures
    geodesics on the WGS84 ellipsoid (`query_within_distance_wgs84`, point trees only).

    `radius_metres` is one number for every row (inclusive; a negative or NaN radius finds
    nothing). Errors as for `nearest`, plus TypeError for a radius that is not one number.

    With a `PartitionedTree` each row goes only to the partitions within the radius, and
    each row's pairs come by position.
    """
    if isinstance(tree, PartitionedTree):
        return _partitioned.within_distance(points, tree, radius_metres, lon=lon, lat=lat, wgs84=wgs84,
                                            geometry=geometry)
    geometry = frame_rows.check(points, tree, lon, lat, wgs84, geometry)
    if not isinstance(radius_metres, numbers.Real):
        raise TypeError(f"radius_metres must be one number, not {type(radius_metres).__name__}")
    radius = float(radius_metres)
    meta = pd.DataFrame({
        "row": points._meta.index[:0],
        "position": np.empty(0, np.int64),
        "metres": np.empty(0, np.float64),
    })
    return points.map_partitions(
        _within_partition, _tree_key(tree), radius, lon=lon, lat=lat, geometry=geometry, wgs84=wgs84, meta=meta,
        clear_divisions=True
    )


def sjoin_nearest(
    left: dd.DataFrame,
    right: Any,
    how: str = "inner",
    max_distance: float | None = None,
    lsuffix: str = "left",
    rsuffix: str = "right",
    distance_col: str | None = None,
    exclusive: bool = False,
    wgs84: bool = False,
) -> dd.DataFrame:
    """`sferix.geopandas.sjoin_nearest(left, right, ...)` for a dask-geopandas frame of
    points `left` and a GeoDataFrame `right`, partition by partition: each partition of the
    result holds the rows of the same partition of `left` (ties repeat a row, as there),
    with the same divisions. `how` is "inner" or "left"; with "left", the right frame's
    columns always have the dtypes that missing values give them (int64 becomes float64),
    whether a partition misses a match or not.

    The tree over `right` is built now and sent, with `right`, to every worker once (with
    a distributed client, now). Raises as `sferix.geopandas.sjoin_nearest` does when
    called, for the left frame's columns and CRS and everything about `right`; a bad
    coordinate raises when its partition is computed, naming the row by index label.
    """
    import sferix.geopandas as joins

    shared = _check_join(left, right, how, lsuffix, rsuffix, joins)
    if wgs84 and shared.index.kind not in (None, "points"):
        raise TypeError(f"wgs84=True needs points in right, found {shared.index.kind}")
    options = dict(
        how=how, max_distance=max_distance, lsuffix=lsuffix, rsuffix=rsuffix, distance_col=distance_col,
        exclusive=exclusive, wgs84=wgs84, fill=how == "left",
    )
    meta = _nearest_join_partition(left._meta, shared, **options)
    return left.map_partitions(_nearest_join_partition, _tree_key(shared), **options, meta=meta)


def sjoin(
    left: dd.DataFrame,
    right: Any,
    how: str = "inner",
    predicate: str = "intersects",
    distance: float | None = None,
    lsuffix: str = "left",
    rsuffix: str = "right",
) -> dd.DataFrame:
    """`sferix.geopandas.sjoin(left, right, ...)` for a dask-geopandas frame of points
    `left` and a GeoDataFrame `right`, partition by partition, as `sjoin_nearest` here
    joins them: `how` "inner" or "left", and `distance` (for "dwithin") one number."""
    import sferix.geopandas as joins

    shared = _check_join(left, right, how, lsuffix, rsuffix, joins)
    if predicate not in joins._PREDICATES:
        raise ValueError(f"predicate must be one of {', '.join(map(repr, joins._PREDICATES))}, not {predicate!r}")
    if (predicate == "dwithin") != (distance is not None):
        raise ValueError("distance is needed with predicate='dwithin' and only there")
    if distance is not None and not isinstance(distance, numbers.Real):
        raise TypeError(f"distance must be one number, not {type(distance).__name__}")
    options = dict(how=how, predicate=predicate, distance=distance, lsuffix=lsuffix, rsuffix=rsuffix,
                   fill=how == "left")
    meta = _predicate_join_partition(left._meta, shared, **options)
    return left.map_partitions(_predicate_join_partition, _tree_key(shared), **options, meta=meta)


class _Shared:
    """The right frame of a join and the tree over it, which travel together as one key."""

    __slots__ = ("frame", "index")

    def __init__(self, frame: Any, index: Any) -> None:
        self.frame = frame
        self.index = index

    def __reduce__(self) -> tuple[Any, ...]:
        return (_Shared, (self.frame, self.index))


# As for trees: the identity of what never changes stands for its content.
@normalize_token.register(_Shared)
def _shared_token(shared: _Shared) -> tuple[str, int, int]:
    return ("sferix.dask._Shared", id(shared), len(shared.frame))


def _check_join(left: Any, right: Any, how: str, lsuffix: str, rsuffix: str, joins: Any) -> _Shared:
    if not (isinstance(left, dd.DataFrame) and frame_rows.is_geo_frame(left)):
        raise TypeError(f"left must be a dask-geopandas GeoDataFrame, not {type(left).__name__}")
    if how not in ("inner", "left"):
        raise ValueError(
            f"how must be 'inner' or 'left', not {how!r}: a partition of left cannot tell which right rows "
            "the others match"
        )
    joins._check_frames(left._meta, right, how, lsuffix, rsuffix)
    index = joins.RightIndex(right, "right")
    return _Shared(right, index)


def _nearest_join_partition(partition: Any, shared: _Shared, **options: Any) -> Any:
    import sferix.geopandas as joins

    return joins.nearest_join(
        partition, shared.frame, shared.index, options["how"], options["max_distance"], options["lsuffix"],
        options["rsuffix"], options["distance_col"], options["exclusive"], options["wgs84"], 1, options["fill"],
    )


def _predicate_join_partition(partition: Any, shared: _Shared, **options: Any) -> Any:
    import sferix.geopandas as joins

    return joins.predicate_join(
        partition, shared.frame, shared.index, options["how"], options["predicate"], options["distance"],
        options["lsuffix"], options["rsuffix"], 1, options["fill"],
    )


def _tree_key(tree: Any) -> Any:
    """One key holding the tree (or a join's right frame and its tree), which every
    partition task depends on, where passing the tree itself would copy it into every task.

    With a distributed client as the scheduler, the tree is scattered to every worker now
    and the graph holds only its future: embedded in the graph it would travel with every
    computation through the scheduler, which warns about graphs that large. The future's
    key is random, as an identity token could name a later tree at the same address while
    the cluster still holds this one. The local schedulers get a delayed key: the threaded
    one shares the tree in memory, and the process pool sends each task its inputs anyway.
    """
    client = frame_rows.blocking_client()
    if client is not None:
        return client.scatter(tree, broadcast=True, hash=False)
    return dask.delayed(tree, pure=True)


def _nearest_partition(
    partition: pd.DataFrame, tree: Any, *, lon: str, lat: str, geometry: str | None, k: int,
    max_distance: float | None, wgs84: bool, names: list[str]
) -> pd.DataFrame:
    query = tree.query_nearest_wgs84 if wgs84 else tree.query_nearest
    positions, metres = frame_rows.ask(query, partition, lon, lat, geometry, k, max_distance=max_distance, workers=1)
    return frame_rows.with_nearest(partition, positions, metres, names)


def _within_partition(
    partition: pd.DataFrame, tree: Any, radius: float, *, lon: str, lat: str, geometry: str | None, wgs84: bool
) -> pd.DataFrame:
    query = tree.query_within_distance_wgs84 if wgs84 else tree.query_within_distance
    pairs, metres = frame_rows.ask(query, partition, lon, lat, geometry, radius, return_distance=True, workers=1)
    return pd.DataFrame({"row": partition.index.take(pairs[0]), "position": pairs[1], "metres": metres})
