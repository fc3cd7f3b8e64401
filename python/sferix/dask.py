"""Joins of a Dask DataFrame of (lon, lat) rows against one sferix tree.

    import sferix.dask
    joined = sferix.dask.nearest(fixes, tree)            # adds nearest_position, nearest_metres
    pairs = sferix.dask.within_distance(fixes, tree, 500.0)   # row, position, metres

Each partition is answered by the tree's array queries with `workers=1`: Dask runs the
partitions side by side, so threads inside a task would only compete with it. The tree is
one key of the task graph that every partition task depends on, so a worker receives it
once, not with every task: with a distributed client, each call sends the tree to every
worker when it is made; nothing else is computed until the result is.

A tree too large for every worker to hold goes into a `PartitionedTree`, built from a Dask
DataFrame and split across the workers; both joins take it in place of a tree.

Needs `dask[dataframe]` (and `distributed` for a cluster); `import sferix` alone never
imports Dask.
"""

from __future__ import annotations

import numbers
import re
from typing import Any

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.base import get_scheduler, normalize_token

from _sferix import GeodeticError, GeodeticLineStringTree, GeodeticPointTree, GeodeticPolygonTree

from . import _partitioned
from ._partitioned import PartitionedTree

__all__ = ["PartitionedTree", "nearest", "within_distance"]

Tree = GeodeticPointTree | GeodeticLineStringTree | GeodeticPolygonTree
_TREE_TYPES = (GeodeticPointTree, GeodeticLineStringTree, GeodeticPolygonTree)


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
) -> dd.DataFrame:
    """`points` with the nearest geometries of `tree` to each row's (`lon`, `lat`) in
    degrees added as columns, as `tree.query_nearest(..., k)` finds them: for `k=1`,
    `nearest_position` (int64, the input position in `tree`) and `nearest_metres`
    (float64); otherwise `nearest_position_1` ... `nearest_position_k` and
    `nearest_metres_1` ... `nearest_metres_k`, nearest first, padded with position -1 and
    distance inf when the tree has fewer than `k` geometries (or than `k` within
    `max_distance` metres, inclusive). `wgs84=True` measures geodesics on the WGS84
    ellipsoid (`query_nearest_wgs84`, point trees only).

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
        return _partitioned.nearest(points, tree, lon=lon, lat=lat, k=k, max_distance=max_distance, wgs84=wgs84)
    _check(points, tree, lon, lat, wgs84)
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
    meta = _with_nearest(points._meta, np.empty((0, k), np.int64), np.empty((0, k)), names)
    return points.map_partitions(
        _nearest_partition, _tree_key(tree), lon=lon, lat=lat, k=k, max_distance=max_distance, wgs84=wgs84,
        names=names, meta=meta
    )


def within_distance(
    points: dd.DataFrame,
    tree: Tree,
    radius_metres: float,
    *,
    lon: str = "lon",
    lat: str = "lat",
    wgs84: bool = False,
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
        return _partitioned.within_distance(points, tree, radius_metres, lon=lon, lat=lat, wgs84=wgs84)
    _check(points, tree, lon, lat, wgs84)
    if not isinstance(radius_metres, numbers.Real):
        raise TypeError(f"radius_metres must be one number, not {type(radius_metres).__name__}")
    radius = float(radius_metres)
    meta = pd.DataFrame({
        "row": points._meta.index[:0],
        "position": np.empty(0, np.int64),
        "metres": np.empty(0, np.float64),
    })
    return points.map_partitions(
        _within_partition, _tree_key(tree), radius, lon=lon, lat=lat, wgs84=wgs84, meta=meta, clear_divisions=True
    )


def _check(points: Any, tree: Any, lon: str, lat: str, wgs84: bool) -> None:
    if not isinstance(points, dd.DataFrame):
        raise TypeError(f"points must be a Dask DataFrame, not {type(points).__name__}")
    if not isinstance(tree, _TREE_TYPES):
        raise TypeError(
            f"tree must be a GeodeticPointTree, GeodeticLineStringTree or GeodeticPolygonTree, "
            f"not {type(tree).__name__}"
        )
    if wgs84 and not isinstance(tree, GeodeticPointTree):
        raise TypeError(f"wgs84=True needs a GeodeticPointTree, not {type(tree).__name__}")
    for column in (lon, lat):
        if column not in points.columns:
            raise ValueError(f"points has no column named {column!r}")


def _tree_key(tree: Any) -> Any:
    """One key holding the tree, which every partition task depends on, where passing the
    tree itself would copy it into every task.

    With a distributed client as the scheduler, the tree is scattered to every worker now
    and the graph holds only its future: embedded in the graph it would travel with every
    computation through the scheduler, which warns about graphs that large. The future's
    key is random, as an identity token could name a later tree at the same address while
    the cluster still holds this one. The local schedulers get a delayed key: the threaded
    one shares the tree in memory, and the process pool sends each task its inputs anyway.
    """
    client = _blocking_client()
    if client is not None:
        return client.scatter(tree, broadcast=True, hash=False)
    return dask.delayed(tree, pure=True)


def _blocking_client() -> Any:
    """The distributed client that `compute()` would use now, unless it is asynchronous
    (its scatter would return a coroutine), or None."""
    try:
        from distributed import Client
    except ImportError:
        return None
    client = getattr(get_scheduler(), "__self__", None)
    return client if isinstance(client, Client) and not client.asynchronous else None


def _queries(partition: pd.DataFrame, lon: str, lat: str) -> np.ndarray:
    return np.column_stack((
        partition[lon].to_numpy(dtype=np.float64),
        partition[lat].to_numpy(dtype=np.float64),
    ))


def _ask(query: Any, partition: pd.DataFrame, lon: str, lat: str, *args: Any, **kwargs: Any) -> Any:
    """query(the partition's (lon, lat) rows, *args, **kwargs). The array query numbers a
    bad row by its place in the partition, which means nothing to the caller: the error
    names the row's index label instead."""
    try:
        return query(_queries(partition, lon, lat), *args, **kwargs)
    except (GeodeticError, ValueError, TypeError) as error:
        found = re.fullmatch(r"query (\d+): (.*)", str(error), re.DOTALL)
        if found is None or type(error) not in (GeodeticError, ValueError, TypeError):
            raise
        label = partition.index[int(found[1])]
        shown = repr(label) if isinstance(label, str) else str(label)
        raise type(error)(f"row {shown}: {found[2]}") from None


def _with_nearest(partition: pd.DataFrame, positions: np.ndarray, metres: np.ndarray, names: list[str]) -> pd.DataFrame:
    k = len(names) // 2
    positions = positions.reshape(len(partition), k)
    metres = metres.reshape(len(partition), k)
    added = {name: positions[:, i] for i, name in enumerate(names[:k])}
    added.update({name: metres[:, i] for i, name in enumerate(names[k:])})
    return partition.assign(**added)


def _nearest_partition(
    partition: pd.DataFrame, tree: Any, *, lon: str, lat: str, k: int, max_distance: float | None, wgs84: bool,
    names: list[str]
) -> pd.DataFrame:
    query = tree.query_nearest_wgs84 if wgs84 else tree.query_nearest
    positions, metres = _ask(query, partition, lon, lat, k, max_distance=max_distance, workers=1)
    return _with_nearest(partition, positions, metres, names)


def _within_partition(
    partition: pd.DataFrame, tree: Any, radius: float, *, lon: str, lat: str, wgs84: bool
) -> pd.DataFrame:
    query = tree.query_within_distance_wgs84 if wgs84 else tree.query_within_distance
    pairs, metres = _ask(query, partition, lon, lat, radius, return_distance=True, workers=1)
    return pd.DataFrame({"row": partition.index.take(pairs[0]), "position": pairs[1], "metres": metres})
