"""The rows of one frame partition as a tree's array queries take them, shared by the
Dask joins against one tree and against a partitioned tree."""

from __future__ import annotations

from typing import Any

import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.base import get_scheduler

from _sferix import GeodeticError, GeodeticLineStringTree, GeodeticPointTree, GeodeticPolygonTree

TREE_TYPES = (GeodeticPointTree, GeodeticLineStringTree, GeodeticPolygonTree)


def check(points: Any, tree: Any, lon: str, lat: str, wgs84: bool, geometry: str | None) -> str | None:
    """Checks the arguments; returns the name of the geometry column to read, if any."""
    if not isinstance(points, dd.DataFrame):
        raise TypeError(f"points must be a Dask DataFrame, not {type(points).__name__}")
    if not isinstance(tree, TREE_TYPES):
        raise TypeError(
            f"tree must be a GeodeticPointTree, GeodeticLineStringTree or GeodeticPolygonTree, "
            f"not {type(tree).__name__}"
        )
    if wgs84 and not isinstance(tree, GeodeticPointTree):
        raise TypeError(f"wgs84=True needs a GeodeticPointTree, not {type(tree).__name__}")
    if geometry is None and lon not in points.columns and is_geo_frame(points):
        geometry = points.geometry.name
    if geometry is not None:
        if geometry not in points.columns:
            raise ValueError(f"points has no column named {geometry!r}")
        crs = getattr(points[geometry], "crs", None)
        if crs is not None and not crs.is_geographic:
            raise ValueError(
                f"points has the projected CRS {crs.to_string()} ({crs.name}); sferix measures on the sphere "
                "from longitude/latitude degrees: pass points.to_crs(4326)"
            )
        return geometry
    for column in (lon, lat):
        if column not in points.columns:
            raise ValueError(f"points has no column named {column!r}")
    return None


def is_geo_frame(frame: Any) -> bool:
    """Whether frame is a dask-geopandas GeoDataFrame, without importing dask-geopandas."""
    return type(frame).__module__.startswith("dask_geopandas") and hasattr(frame, "geometry")


def blocking_client() -> Any:
    """The distributed client that `compute()` would use now, unless it is asynchronous
    (its scatter would return a coroutine), or None."""
    try:
        from distributed import Client
    except ImportError:
        return None
    client = getattr(get_scheduler(), "__self__", None)
    return client if isinstance(client, Client) and not client.asynchronous else None


def queries(partition: pd.DataFrame, lon: str, lat: str, geometry: str | None = None) -> np.ndarray:
    if geometry is not None:
        import shapely

        values = np.asarray(partition[geometry].array, dtype=object)
        types = shapely.get_type_id(values)
        if ((types != 0) & (types != -1)).any():
            row = int(np.flatnonzero((types != 0) & (types != -1))[0])
            label = partition.index[row]
            shown = repr(label) if isinstance(label, str) else str(label)
            raise TypeError(f"row {shown}: {geometry!r} holds a {values[row].geom_type}, not a point")
        # None and empty points become NaN, which the query refuses, naming the row.
        coordinates = np.full((len(values), 2), np.nan)
        usable = (types == 0) & ~shapely.is_empty(values)
        coordinates[usable] = shapely.get_coordinates(values[usable])
        return coordinates
    return np.column_stack((
        partition[lon].to_numpy(dtype=np.float64),
        partition[lat].to_numpy(dtype=np.float64),
    ))


def ask(
    query: Any, partition: pd.DataFrame, lon: str, lat: str, geometry: str | None, *args: Any, **kwargs: Any
) -> Any:
    """query(the partition's (lon, lat) rows, *args, **kwargs). The array query numbers a
    bad row by its place in the partition, which means nothing to the caller: the error
    names the row's index label instead."""
    try:
        return query(queries(partition, lon, lat, geometry), *args, **kwargs)
    except (GeodeticError, ValueError, TypeError) as error:
        index = getattr(error, "query", None)
        if index is None or type(error) not in (GeodeticError, ValueError, TypeError):
            raise
        text = str(error).removeprefix(f"query {index}: ")
        label = partition.index[index]
        shown = repr(label) if isinstance(label, str) else str(label)
        raise type(error)(f"row {shown}: {text}") from None


def with_nearest(partition: pd.DataFrame, positions: np.ndarray, metres: np.ndarray, names: list[str]) -> pd.DataFrame:
    k = len(names) // 2
    positions = positions.reshape(len(partition), k)
    metres = metres.reshape(len(partition), k)
    added = {name: positions[:, i] for i, name in enumerate(names[:k])}
    added.update({name: metres[:, i] for i, name in enumerate(names[k:])})
    return partition.assign(**added)
