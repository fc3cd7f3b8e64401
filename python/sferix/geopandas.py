"""Spatial joins of GeoDataFrames in metres on the sphere, in geopandas' conventions.

    import sferix.geopandas
    nearest = sferix.geopandas.sjoin_nearest(cities, countries, distance_col="metres")
    inside = sferix.geopandas.sjoin(cities, countries, predicate="within")
    near = sferix.geopandas.sjoin(fixes, stations, predicate="dwithin", distance=500.0)

`geopandas.sjoin_nearest` and `geopandas.sjoin` measure on the plane of the frames' CRS:
in degrees for longitude/latitude data (wrong across the antimeridian and near the poles),
or distorted away from a projection's centre. These take frames in longitude/latitude
degrees, answer with the array queries of a sferix tree built over the right frame, and
give metres: great-circle metres on the mean Earth sphere, or WGS84 geodesic metres with
`wgs84=True` where the right frame holds points. The result is the GeoDataFrame geopandas
(0.14) would give: the left frame's rows and columns (its geometry, index and CRS), the
right row's index label in `index_right` (`index_` and `rsuffix`; `index_right0`,
`index_right1`, ... for a MultiIndex), then the right frame's columns but its geometry,
names found in both frames suffixed with `_left` and `_right` (`lsuffix`, `rsuffix`).

The left frame holds points; the right frame points, linestrings or polygons (a
MultiLineString or MultiPolygon row is one item). Polygons
are read as the smaller region their exterior bounds, whatever its direction, as planar
data means them. Rows whose geometry is None or empty match nothing, as in geopandas.

Needs geopandas (0.14 or later) and shapely 2; `import sferix` alone never imports them.
"""

from __future__ import annotations

import numbers
import warnings
from typing import Any

import geopandas
import numpy as np
import pandas as pd
import shapely
from pandas.api.extensions import take

from _sferix import GeodeticError, GeodeticLineStringTree, GeodeticPointTree, GeodeticPolygonTree

__all__ = ["sjoin", "sjoin_nearest"]

_HOWS = ("inner", "left", "right")
_PREDICATES = ("intersects", "within", "dwithin")
# shapely's geometry type ids, and which tree each kind of right row goes into.
_MISSING, _POINT, _LINESTRING, _LINEARRING, _POLYGON, _MULTIPOINT, _MULTILINESTRING, _MULTIPOLYGON = range(-1, 7)
_KINDS = {
    _POINT: "points",
    _LINESTRING: "linestrings",
    _MULTILINESTRING: "linestrings",
    _POLYGON: "polygons",
    _MULTIPOLYGON: "polygons",
}


def sjoin_nearest(
    left: geopandas.GeoDataFrame,
    right: geopandas.GeoDataFrame,
    how: str = "inner",
    max_distance: float | None = None,
    lsuffix: str = "left",
    rsuffix: str = "right",
    distance_col: str | None = None,
    exclusive: bool = False,
    wgs84: bool = False,
    *,
    workers: int = 1,
) -> geopandas.GeoDataFrame:
    """Each point of `left` joined to the nearest geometry of `right`, as
    `geopandas.sjoin_nearest` joins them, with distances in metres on the sphere (or on
    the WGS84 ellipsoid with `wgs84=True`, which needs points on the right).

    A left row whose nearest right rows lie at exactly the same distance as computed (a
    point on a border two polygons share, repeated points; points the plane sees as
    equidistant may differ in the last bits on the sphere) gets one output row per such
    right row, in right-frame order. `how="inner"` leaves out left rows that match nothing (a None
    or empty geometry, or nothing within `max_distance`), `how="left"` keeps them with
    missing values in the right frame's columns; both keep the left frame's index and
    geometry. `how="right"` (right frame of points only) joins each right point to its
    nearest left point instead, keeping the right frame's index and geometry, the left
    index in `index_left`. `max_distance` (metres, inclusive) bounds the search;
    `distance_col` names a column for the distance in metres; `exclusive=True` passes
    over right points at the very place of the left point (distance 0). `workers`
    threads share the queries (-1: every core).

    Raises TypeError for a left frame holding anything but points (None and empty
    geometries aside), a right frame holding anything but one of points, linestrings
    or polygons, or `wgs84=True` or `how="right"` with a right frame not of points;
    ValueError for a projected CRS, an unknown `how`, a column named as the join's index
    columns (`index_left`, `index_right`), suffixes that give two columns one name, or an
    invalid coordinate (naming its row by index label).
    """
    _check_frames(left, right, how, lsuffix, rsuffix)
    if how != "right":
        index = RightIndex(right, "right")
        return nearest_join(left, right, index, how, max_distance, lsuffix, rsuffix, distance_col, exclusive, wgs84,
                            workers)
    # Each right point's nearest left point: the same join with the frames swapped.
    if _kinds(right) - {"points"}:
        raise TypeError(f"how='right' needs points in right, found {', '.join(sorted(_kinds(right) - {'points'}))}")
    _query_points(left, "left", "sjoin_nearest")
    right_rows, left_rows, metres = _nearest_rows(
        right, RightIndex(left, "left"), "right", max_distance, exclusive, wgs84, workers
    )
    right_rows, left_rows, metres = _keep_unmatched(len(right), right_rows, left_rows, metres)
    return _assemble(left, right, how, left_rows, right_rows, lsuffix, rsuffix, distance_col, metres)


def sjoin(
    left: geopandas.GeoDataFrame,
    right: geopandas.GeoDataFrame,
    how: str = "inner",
    predicate: str = "intersects",
    distance: float | Any | None = None,
    lsuffix: str = "left",
    rsuffix: str = "right",
    *,
    workers: int = 1,
) -> geopandas.GeoDataFrame:
    """Each geometry of `left` joined to every geometry of `right` it meets, lies in or
    comes near, as `geopandas.sjoin` joins them, decided on the sphere.

    `predicate` is "intersects" (a shared point, boundaries included), "within" (every
    point of the left geometry in the right one, its boundary counting as inside; for a
    point the same as "intersects"), or "dwithin": no more than `distance` metres away
    (great-circle on the mean sphere, inclusive; one number, or one per left row). Left
    polygons are read as the smaller region their exterior bounds, as right ones are. `how` is "inner" (left rows that match,
    one output row per matching right row, in right-frame order), "left" (every left row,
    with missing values where nothing matches) or "right" (every right row, with the right
    frame's index and geometry, the left index in `index_left`). `workers` threads share
    the queries (-1: every core).

    Raises TypeError for a right frame holding anything but one of points, linestrings or
    polygons; ValueError for a projected CRS, an unknown `how` or
    `predicate`, a missing or extra `distance`, a column named as the join's index
    columns, suffixes that give two columns one name, or an invalid coordinate.
    """
    _check_frames(left, right, how, lsuffix, rsuffix)
    if predicate not in _PREDICATES:
        raise ValueError(f"predicate must be one of {', '.join(map(repr, _PREDICATES))}, not {predicate!r}")
    if (predicate == "dwithin") != (distance is not None):
        raise ValueError("distance is needed with predicate='dwithin' and only there")
    return predicate_join(left, right, RightIndex(right, "right"), how, predicate, distance, lsuffix, rsuffix, workers)


def nearest_join(
    left: geopandas.GeoDataFrame,
    right: geopandas.GeoDataFrame,
    index: RightIndex,
    how: str,
    max_distance: float | None,
    lsuffix: str,
    rsuffix: str,
    distance_col: str | None,
    exclusive: bool,
    wgs84: bool,
    workers: int,
    fill: bool = False,
) -> geopandas.GeoDataFrame:
    """sjoin_nearest with how "inner" or "left" on `index`, built over `right`."""
    if wgs84 and index.kind not in (None, "points"):
        raise TypeError(f"wgs84=True needs points in right, found {index.kind}")
    left_rows, right_rows, metres = _nearest_rows(left, index, "left", max_distance, exclusive, wgs84, workers)
    if how == "left":
        left_rows, right_rows, metres = _keep_unmatched(len(left), left_rows, right_rows, metres)
    return _assemble(left, right, how, left_rows, right_rows, lsuffix, rsuffix, distance_col, metres, fill)


def predicate_join(
    left: geopandas.GeoDataFrame,
    right: geopandas.GeoDataFrame,
    index: RightIndex,
    how: str,
    predicate: str,
    distance: Any,
    lsuffix: str,
    rsuffix: str,
    workers: int,
    fill: bool = False,
) -> geopandas.GeoDataFrame:
    """sjoin on `index`, built over `right`."""
    values = _geometries(left)
    types = shapely.get_type_id(values)
    if ((types == _POINT) | (types == _MISSING)).all():
        rows, queries = _query_points(left, "left", "sjoin", types)
        radius = _radius(distance, rows, len(left))
        if index.tree is None or len(queries) == 0:
            left_rows = right_rows = np.empty(0, np.int64)
        else:
            if predicate != "dwithin":
                radius = 0.0
            pairs = _asking(index.tree.query_within_distance, left.index, rows, "left", queries, radius,
                            workers=workers)
            left_rows, right_rows = rows[pairs[0]], index.rows[pairs[1]]
    else:
        # Lines and polygons on the left ask the tree with the geometry itself; "within"
        # is then the right geometry covering the left one, boundary included.
        rows = np.flatnonzero((types != _MISSING) & ~shapely.is_empty(values))
        radius = _radius(distance, rows, len(left))
        if index.tree is None or len(rows) == 0:
            left_rows = right_rows = np.empty(0, np.int64)
        else:
            asked = {"intersects": "intersects", "within": "covers", "dwithin": "dwithin"}[predicate]
            try:
                pairs = index.tree.query_many(values[rows], asked, radius, workers=workers, oriented=False)
            except (GeodeticError, ValueError) as error:
                item = getattr(error, "item", None)
                if item is None or type(error) not in (GeodeticError, ValueError):
                    raise
                raise type(error)(f"left row {_label(left.index, rows[item])}: {error}") from None
            left_rows, right_rows = rows[pairs[0]], index.rows[pairs[1]]
    if how == "right":
        order = _ordered(right_rows, left_rows)
        right_rows, left_rows, _ = _keep_unmatched(len(right), right_rows[order], left_rows[order], None)
    else:
        order = _ordered(left_rows, right_rows)
        left_rows, right_rows = left_rows[order], right_rows[order]
        if how == "left":
            left_rows, right_rows, _ = _keep_unmatched(len(left), left_rows, right_rows, None)
    return _assemble(left, right, how, left_rows, right_rows, lsuffix, rsuffix, None, None, fill)


# --------------------------------------------------------------------------------------------
# Frames to trees and queries


class RightIndex:
    """A tree over the usable rows of one frame: `rows[p]` is the frame row of tree
    position `p`, and `kind` is "points", "linestrings" or "polygons" (None when no row
    has a geometry, and then `tree` is None). sferix.dask sends one to every worker."""

    __slots__ = ("tree", "rows", "kind")

    def __init__(self, frame: geopandas.GeoDataFrame, side: str) -> None:
        values = _geometries(frame)
        types = shapely.get_type_id(values)
        usable = (types != _MISSING) & ~shapely.is_empty(values)
        rows = np.flatnonzero(usable)
        kinds = {_KINDS.get(int(t)) for t in np.unique(types[rows])}
        if None in kinds or len(kinds) > 1:
            found = ", ".join(sorted({_type_name(int(t)) for t in np.unique(types[rows])}))
            raise TypeError(
                f"{side} must hold one kind of geometry (points, linestrings or polygons, multipart "
                f"rows included), found {found}"
            )
        self.rows = rows
        self.kind = kinds.pop() if kinds else None
        self.tree: Any = None
        if self.kind is None:
            return
        try:
            if self.kind == "points":
                self.tree = GeodeticPointTree(shapely.get_coordinates(values[rows]))
            elif self.kind == "linestrings":
                self.tree = GeodeticLineStringTree(values[rows])
            else:
                self.tree = GeodeticPolygonTree(values[rows], oriented=False)
        except (GeodeticError, ValueError, TypeError) as error:
            item = getattr(error, "item", None)
            if item is None or type(error) not in (GeodeticError, ValueError, TypeError):
                raise
            raise type(error)(f"{side} row {_label(frame.index, rows[item])}: {error}") from None


def _check_frames(left: Any, right: Any, how: str, lsuffix: str, rsuffix: str) -> None:
    for side, frame in (("left", left), ("right", right)):
        if not isinstance(frame, geopandas.GeoDataFrame):
            raise TypeError(f"{side} must be a GeoDataFrame, not {type(frame).__name__}")
        _check_crs(frame, side)
        for name in (f"index_{lsuffix}", f"index_{rsuffix}"):
            if name in frame.columns:
                raise ValueError(f"{side} has a column named {name!r}, which the join adds: rename it first")
    if how not in _HOWS:
        raise ValueError(f"how must be one of {', '.join(map(repr, _HOWS))}, not {how!r}")
    if left.crs is not None and right.crs is not None and left.crs != right.crs:
        warnings.warn(
            f"left and right have different CRSs ({left.crs.to_string()} and {right.crs.to_string()}); "
            "both are read as longitude/latitude degrees",
            UserWarning,
            stacklevel=3,
        )


def _check_crs(frame: Any, side: str) -> None:
    """A projected CRS holds metres on some plane, which would be read as degrees."""
    crs = frame.crs
    if crs is not None and not crs.is_geographic:
        raise ValueError(
            f"{side} has the projected CRS {crs.to_string()} ({crs.name}); sferix measures on the sphere "
            f"from longitude/latitude degrees: pass {side}.to_crs(4326)"
        )


def _geometries(frame: geopandas.GeoDataFrame) -> np.ndarray:
    return np.asarray(frame.geometry.array, dtype=object)


def _type_name(type_id: int) -> str:
    names = ("Point", "LineString", "LinearRing", "Polygon", "MultiPoint", "MultiLineString", "MultiPolygon",
             "GeometryCollection")
    return names[type_id] if 0 <= type_id < len(names) else f"geometry type {type_id}"


def _label(index: pd.Index, row: int) -> str:
    label = index[row]
    return repr(label) if isinstance(label, str) else str(label)


def _query_points(
    frame: geopandas.GeoDataFrame, side: str, verb: str, types: np.ndarray | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """The rows of `frame` holding a point and their (lon, lat) as an (m, 2) array; None and
    empty geometries are left out. `types`: the geometries' type ids, when known."""
    values = _geometries(frame)
    if types is None:
        types = shapely.get_type_id(values)
    others = (types != _POINT) & (types != _MISSING)
    if others.any():
        row = int(np.flatnonzero(others)[0])
        raise TypeError(
            f"{verb} takes points in {side}, found a {_type_name(int(types[row]))} in row {_label(frame.index, row)}"
        )
    points = types == _POINT
    if points.all():
        rows, asked = np.arange(len(values)), values
    else:
        rows = np.flatnonzero(points)
        asked = values[rows]
    # x and y straight into the query array: a third faster than get_coordinates, which
    # counts the coordinates first. Only an empty point stops them.
    coordinates = np.empty((len(rows), 2))
    try:
        shapely.get_x(asked, out=coordinates[:, 0])
        shapely.get_y(asked, out=coordinates[:, 1])
    except shapely.errors.GEOSException:
        rows = rows[~shapely.is_empty(asked)]
        coordinates = shapely.get_coordinates(values[rows])
    return rows, coordinates


def _asking(query: Any, index: pd.Index, rows: np.ndarray, side: str, *args: Any, **kwargs: Any) -> Any:
    """query(*args, **kwargs), whose errors name the query's row by its index label in
    `side` rather than by its place among the queries."""
    try:
        return query(*args, **kwargs)
    except (GeodeticError, ValueError, TypeError) as error:
        query_index = getattr(error, "query", None)
        if query_index is None or type(error) not in (GeodeticError, ValueError, TypeError):
            raise
        text = str(error).removeprefix(f"query {query_index}: ")
        raise type(error)(f"{side} row {_label(index, rows[query_index])}: {text}") from None


def _nearest_pairs(
    queries: np.ndarray,
    index: RightIndex,
    max_distance: float | None,
    exclusive: bool,
    wgs84: bool,
    workers: int,
    ask: Any,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(query, tree position, metres) of every nearest geometry to each query, ties
    included. `ask(query, *args, **kwargs)` calls an array query."""
    tree = index.tree
    empty = np.empty(0, np.int64)
    if tree is None or len(queries) == 0:
        return empty, empty, np.empty(0)
    point_tree = isinstance(tree, GeodeticPointTree)
    if not wgs84 and not point_tree:
        # Lines and polygons on the sphere: the nearest walk reads the tied items anyway.
        (rows, found), found_metres = ask(tree._query_nearest_ties, queries, max_distance=max_distance,
                                          workers=workers)
        return rows, found, found_metres
    query_nearest = tree.query_nearest_wgs84 if wgs84 else tree.query_nearest
    query_within = tree.query_within_distance_wgs84 if wgs84 else tree.query_within_distance
    positions, metres = ask(query_nearest, queries, 1, max_distance=max_distance, workers=workers)
    if exclusive and point_tree:
        # A query's nearest points at distance 0 are the query itself: look further for
        # those, doubling k, until a row's nearest k run past them.
        again = np.flatnonzero(metres == 0.0)
        k = 2
        while again.size:
            found, found_metres = ask(query_nearest, queries[again], k, max_distance=max_distance, workers=workers)
            beyond = found_metres > 0.0
            first = beyond.argmax(axis=1)
            done = beyond.any(axis=1)
            rows = np.flatnonzero(done)
            positions[again[rows]] = found[rows, first[rows]]
            metres[again[rows]] = found_metres[rows, first[rows]]
            again = again[~done]
            k *= 2
    # Every geometry at the nearest distance: a radius query at that distance per query,
    # kept where it gives exactly the nearest query's distance. Rows it misses (the metres
    # rounding on their way to a radius) keep the one nearest answer.
    radius = np.where(positions >= 0, metres, -1.0)
    (rows, found), found_metres = ask(query_within, queries, radius, return_distance=True, workers=workers)
    keep = found_metres == metres[rows]
    if exclusive and point_tree:
        keep &= found_metres > 0.0
    rows, found, found_metres = rows[keep], found[keep], found_metres[keep]
    answered = np.zeros(len(queries), bool)
    answered[rows] = True
    missed = np.flatnonzero((positions >= 0) & ~answered)
    if missed.size:
        rows = np.concatenate((rows, missed))
        found = np.concatenate((found, positions[missed]))
        found_metres = np.concatenate((found_metres, metres[missed]))
    return rows, found, found_metres


def _kinds(frame: geopandas.GeoDataFrame) -> set[str]:
    """The kinds of geometry `frame` holds, by their tree; None for anything else."""
    return {_KINDS.get(int(t)) for t in np.unique(shapely.get_type_id(_geometries(frame))) if t != _MISSING}


def _nearest_rows(
    frame: geopandas.GeoDataFrame,
    index: RightIndex,
    side: str,
    max_distance: float | None,
    exclusive: bool,
    wgs84: bool,
    workers: int,
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(row of `frame`, row of the indexed frame, metres) of the nearest join of the points
    of `frame` (the `side` frame), ordered by row, then by indexed row."""
    rows, queries = _query_points(frame, side, "sjoin_nearest")
    ask = lambda query, *args, **kwargs: _asking(query, frame.index, rows, side, *args, **kwargs)  # noqa: E731
    found_rows, positions, metres = _nearest_pairs(queries, index, max_distance, exclusive, wgs84, workers, ask)
    first, second = rows[found_rows], index.rows[positions]
    order = _ordered(first, second)
    return first[order], second[order], metres[order]


def _radius(distance: Any, rows: np.ndarray, count: int) -> Any:
    if distance is None or isinstance(distance, numbers.Real):
        return distance
    radius = np.asarray(distance, dtype=np.float64)
    if radius.shape != (count,):
        raise ValueError(f"distance must be one number or one per left row ({count}), not of shape {radius.shape}")
    return radius[rows]


# --------------------------------------------------------------------------------------------
# Pairs to a frame


def _ordered(first: np.ndarray, second: np.ndarray) -> np.ndarray:
    """The order sorting pairs by `first`, then `second`."""
    if len(first) > 1:
        same = first[1:] == first[:-1]
        if (first[1:] >= first[:-1]).all() and (second[1:][same] > second[:-1][same]).all():
            return slice(None)  # type: ignore[return-value]
    return np.lexsort((second, first))


def _keep_unmatched(
    count: int, kept: np.ndarray, other: np.ndarray, metres: np.ndarray | None
) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
    """The pairs (sorted by `kept`) with each of the `count` rows that has none added with
    -1 on the other side, in row order."""
    unmatched = np.flatnonzero(np.bincount(kept, minlength=count) == 0)
    if unmatched.size == 0:
        return kept, other, metres
    order = np.argsort(np.concatenate((kept, unmatched)), kind="stable")
    kept = np.concatenate((kept, unmatched))[order]
    other = np.concatenate((other, np.full(unmatched.size, -1, np.int64)))[order]
    if metres is not None:
        metres = np.concatenate((metres, np.full(unmatched.size, np.nan)))[order]
    return kept, other, metres


# What pandas' take wants in place of a NumPy array dressed as an extension array.
_NUMPY_ARRAY = getattr(pd.arrays, "NumpyExtensionArray", None) or getattr(pd.arrays, "PandasArray")


def _filled(values: Any, rows: np.ndarray, fill: bool) -> Any:
    """values taken at rows; with `fill`, -1 gives a missing value and the dtype is the one
    a missing value gives, even when none is there (dtypes that do not depend on the
    data). Without, rows must not hold -1."""
    if isinstance(values, _NUMPY_ARRAY):
        values = values.to_numpy()
    if fill:
        return take(values, np.append(rows, -1), allow_fill=True)[:-1]
    # No missing value to look for: a geometry column would otherwise test every taken
    # geometry for one.
    return values.take(rows)


def _index_columns(index: pd.Index, rows: np.ndarray, name: str, fill: bool) -> dict[str, Any]:
    if isinstance(index, pd.MultiIndex):
        return {
            f"{name}{level}": _filled(index.get_level_values(level).array, rows, fill) for level in range(index.nlevels)
        }
    return {name: _filled(index.array, rows, fill)}


def _assemble(
    left: geopandas.GeoDataFrame,
    right: geopandas.GeoDataFrame,
    how: str,
    left_rows: np.ndarray,
    right_rows: np.ndarray,
    lsuffix: str,
    rsuffix: str,
    distance_col: str | None,
    metres: np.ndarray | None,
    fill: bool = False,
) -> geopandas.GeoDataFrame:
    """The joined frame, in geopandas' layout. `fill` gives the side that may miss rows
    (right for how="left", left for how="right") the dtypes it has when a row is missing."""
    left_columns = [c for c in left.columns if how != "right" or c != left.geometry.name]
    right_columns = [c for c in right.columns if how == "right" or c != right.geometry.name]
    clash = set(left_columns) & set(right_columns)
    left_names = [f"{c}_{lsuffix}" if c in clash else c for c in left_columns]
    right_names = [f"{c}_{rsuffix}" if c in clash else c for c in right_columns]
    # A side is filled where it may miss rows (or must have the dtypes as if it did).
    left_fill = how == "right" and (fill or bool((left_rows < 0).any()))
    right_fill = how == "left" and (fill or bool((right_rows < 0).any()))
    if how == "right":
        index_part = _index_columns(left.index, left_rows, f"index_{lsuffix}", left_fill)
        names = list(index_part) + left_names + right_names
    else:
        index_part = _index_columns(right.index, right_rows, f"index_{rsuffix}", right_fill)
        names = left_names + list(index_part) + right_names
    if distance_col is not None:
        names.append(distance_col)
    if len(set(names)) != len(names):
        doubled = sorted({n for n in names if names.count(n) > 1}, key=str)
        raise ValueError(f"the joined frame would have two columns named {', '.join(map(repr, doubled))}")

    columns: dict[Any, Any] = {}
    if how == "right":
        columns.update(index_part)
    for column, name in zip(left_columns, left_names):
        columns[name] = _filled(left[column].array, left_rows, left_fill)
    if how != "right":
        columns.update(index_part)
    for column, name in zip(right_columns, right_names):
        columns[name] = _filled(right[column].array, right_rows, right_fill)
    if distance_col is not None:
        columns[distance_col] = metres if metres is not None else np.empty(0)
    if how == "right":
        result_index, geometry, crs = right.index.take(right_rows), right.geometry.name, right.crs
        geometry = right_names[right_columns.index(geometry)]
    else:
        result_index, geometry, crs = left.index.take(left_rows), left.geometry.name, left.crs
        geometry = left_names[left_columns.index(geometry)]
    # Straight from the columns: through a DataFrame first, every column would be copied twice.
    return geopandas.GeoDataFrame(columns, index=result_index, geometry=geometry, crs=crs, copy=False)
