"""Type stubs for the _sferix extension module."""

from collections.abc import Iterable
from typing import Any, Final, Generic, Literal, SupportsIndex, TypeAlias, TypeVar, overload, final

from typing_extensions import Self

import numpy as np
from numpy.typing import ArrayLike, NDArray

__version__: Final[str]
__all__ = [
    "__version__",
    "GeodeticError",
    "Point",
    "LineString",
    "Polygon",
    "MultiLineString",
    "MultiPolygon",
    "GeodeticPointTree",
    "GeodeticLineStringTree",
    "GeodeticPolygonTree",
]

# A position in (longitude, latitude) degrees: a sequence of numbers, a GeoJSON-like
# Point or Feature dict, or any object with a __geo_interface__ describing a point.
# Private: these names exist only for type checkers, not in the module.
_PointLike: TypeAlias = Any
_LineStringLike: TypeAlias = Any
_PolygonLike: TypeAlias = Any
# Any of the three, or a multipart one or a collection, as coordinates, shapely or GeoJSON-like.
_GeometryLike: TypeAlias = Any
_Predicate: TypeAlias = Literal["intersects", "covered_by", "covers", "dwithin"]
# Many positions: an (n, 2) array-like of (lon, lat), or an iterable of _PointLike.
_Queries: TypeAlias = ArrayLike | Iterable[_PointLike]

class GeodeticError(ValueError):
    """Raised when coordinates or a geometry fail validation (out-of-range longitude or latitude, a non-finite value, too few vertices, an edge spanning half the sphere, or an unclosed ring)."""

# Public as sferix.PanicException.
class _PanicException(BaseException): ...

# Stub-only bases: the classes below share these methods, each defining its own at run
# time (none of them has a common base there). Written once here so the signatures
# cannot drift apart.
class _Storable:
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Self: ...
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, tuple[Any]]: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: Any, /) -> Self: ...

@final
class Point(_Storable):
    """A geodetic point `(lon, lat)` in degrees."""

    @property
    def x(self) -> float: ...
    @property
    def y(self) -> float: ...
    @property
    def coordinates(self) -> tuple[float, float]:
        """The `(lon, lat)` pair."""
    @property
    def __geo_interface__(self) -> dict[str, Any]: ...

@final
class LineString(_Storable):
    """A geodetic linestring: a sequence of `(lon, lat)` vertices joined by great-circle arcs."""

    @property
    def coordinates(self) -> list[tuple[float, float]]:
        """The `(lon, lat)` vertices."""
    @property
    def __geo_interface__(self) -> dict[str, Any]: ...
    def __len__(self) -> int: ...

@final
class Polygon(_Storable):
    """A filled geodetic polygon: an exterior ring and any interior rings (holes)."""

    @property
    def exterior(self) -> list[tuple[float, float]]:
        """The exterior ring's `(lon, lat)` vertices (closed; first == last)."""
    @property
    def interiors(self) -> list[list[tuple[float, float]]]:
        """The interior rings, each a list of `(lon, lat)` vertices."""
    @property
    def __geo_interface__(self) -> dict[str, Any]: ...

@final
class MultiLineString(_Storable):
    """Geodetic linestrings that are one item: its distance is the smallest over them."""

    @property
    def linestrings(self) -> tuple[LineString, ...]:
        """The parts, a tuple of `LineString`."""
    @property
    def __geo_interface__(self) -> dict[str, Any]: ...

@final
class MultiPolygon(_Storable):
    """Filled geodetic polygons that are one item: a point is inside when it is inside any of them, and
    its distance is the smallest over them."""

    @property
    def polygons(self) -> tuple[Polygon, ...]:
        """The parts, a tuple of `Polygon`."""
    @property
    def __geo_interface__(self) -> dict[str, Any]: ...

# A tree item: a multipart one comes back as MultiLineString or MultiPolygon.
_G = TypeVar("_G", Point, LineString | MultiLineString, Polygon | MultiPolygon)

class _GeodeticTree(_Storable, Generic[_G]):
    """What the three trees answer alike, for geometries of type _G."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _G: ...
    def geometry(self, index: int) -> _G:
        """The geometry at input position `index`."""
    def geometries(self) -> list[_G]:
        """Every geometry, in input order."""
    def nearest(self, query: _PointLike) -> int | None:
        """The input position of the nearest geometry to `query` (zero distance for a polygon
        containing it), or `None` if the tree is empty."""
    def nearest_with_distance(self, query: _PointLike) -> tuple[int, float] | None:
        """The `(input position, distance in metres)` of the nearest geometry to `query`, or
        `None` if the tree is empty."""
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: Literal[False] = False) -> list[int]: ...
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: Literal[True]) -> list[tuple[int, float]]: ...
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: bool) -> list[int] | list[tuple[int, float]]: ...
    def nearest_k(self, query: _PointLike, k: int, *, max_distance: float | None = None) -> list[tuple[int, float]]:
        """The `(input position, distance in metres)` of the `k` geometries nearest to `query`,
        nearest first, ties by the smaller position; with `max_distance`, only those within
        that many metres."""
    def query_nearest(
        self, queries: _Queries, k: int = 1, *, max_distance: float | None = None, workers: int = 1
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """The nearest geometries to each of `queries` (an `(n, 2)` array-like of `(lon, lat)`),
        as nearest_k finds them: `(positions, metres)` NumPy arrays of shape `(n,)` for `k=1`,
        `(n, k)` otherwise, rows padded with position -1 and distance inf. `workers`
        threads share the queries (-1: every core), without the GIL."""
    @overload
    def query_within_distance(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: Literal[False] = False, *, workers: int = 1
    ) -> NDArray[np.int64]: ...
    @overload
    def query_within_distance(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: Literal[True], *, workers: int = 1
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]: ...
    @overload
    def query_within_distance(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: bool, *, workers: int = 1
    ) -> NDArray[np.int64] | tuple[NDArray[np.int64], NDArray[np.float64]]: ...
    @overload
    def query(
        self,
        geometry: _GeometryLike,
        predicate: _Predicate = "intersects",
        distance: float | None = None,
        return_distance: Literal[False] = False,
        *,
        oriented: bool = True,
    ) -> NDArray[np.int64]:
        """The input positions, ascending, of the geometries in `predicate` with `geometry` (a
        point, linestring or polygon, or a multipart one, as coordinates, shapely or GeoJSON-like).
        Predicates, a polygon holding its boundary: "intersects" (a shared point), "covered_by"
        (the geometry lies in `geometry`), "covers" (`geometry` lies in the geometry), "dwithin"
        (within `distance` great-circle metres). With `return_distance=True`, `(positions,
        metres)`: each one's metres to `geometry`, 0 where they intersect. `oriented` reads
        polygons as the polygon tree's constructor does."""
    @overload
    def query(
        self,
        geometry: _GeometryLike,
        predicate: _Predicate,
        distance: float | None,
        return_distance: Literal[True],
        *,
        oriented: bool = True,
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]: ...
    @overload
    def query(
        self,
        geometry: _GeometryLike,
        predicate: _Predicate = "intersects",
        distance: float | None = None,
        *,
        return_distance: Literal[True],
        oriented: bool = True,
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]: ...
    def query_many(
        self,
        geometries: Iterable[_GeometryLike] | ArrayLike,
        predicate: _Predicate = "intersects",
        distance: float | ArrayLike | None = None,
        workers: int = 1,
        *,
        oriented: bool = True,
    ) -> NDArray[np.int64]:
        """Every `(geometry index, input position)` pair of a geometry in `geometries` (a sequence,
        a GeoSeries, an array of shapely geometries) and a geometry in `predicate` with it, as
        query finds them: an int64 array of shape `(2, m)`, sorted. `distance` is one number
        or one per geometry; `workers` threads share the geometries (-1: every core), without
        the GIL."""

@final
class GeodeticPointTree(_GeodeticTree[Point]):
    """A geodetic R-tree over points."""

    def __new__(cls, data: Iterable[_PointLike] | dict[str, Any] | Any) -> GeodeticPointTree: ...
    # The WGS84 forms repeat the overloads of their sphere forms: radius and metres are
    # geodesic on the WGS84 ellipsoid.
    @overload
    def query_within_distance_wgs84(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: Literal[False] = False, *, workers: int = 1
    ) -> NDArray[np.int64]: ...
    @overload
    def query_within_distance_wgs84(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: Literal[True], *, workers: int = 1
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]: ...
    @overload
    def query_within_distance_wgs84(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: bool, *, workers: int = 1
    ) -> NDArray[np.int64] | tuple[NDArray[np.int64], NDArray[np.float64]]: ...
    def nearest_k_wgs84(self, query: _PointLike, k: int, *, max_distance: float | None = None) -> list[tuple[int, float]]:
        """The `(input position, geodesic distance in metres)` of the `k` points nearest to
        `query` on the WGS84 ellipsoid, nearest first, ties by the smaller position; with
        `max_distance`, only those within that many metres."""
    def query_nearest_wgs84(
        self, queries: _Queries, k: int = 1, *, max_distance: float | None = None, workers: int = 1
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """query_nearest by geodesic distance on the WGS84 ellipsoid, as nearest_k_wgs84
        finds them."""
    def in_rectangle(self, lower: _PointLike, upper: _PointLike) -> list[int]:
        """The input positions of every point inside the longitude/latitude rectangle whose
        corners are `lower` and `upper`. `lower.lon > upper.lon` denotes a window crossing
        the antimeridian (RFC 7946); `lower.lat <= upper.lat` is required."""
    def nearest_wgs84(self, query: _PointLike) -> int | None:
        """The input position of the nearest point to `query` by WGS84-ellipsoid geodesic
        distance, or `None` if the tree is empty."""
    def nearest_with_distance_wgs84(self, query: _PointLike) -> tuple[int, float] | None:
        """The `(input position, geodesic distance in metres)` of the nearest point to `query`
        on the WGS84 ellipsoid, or `None` if empty."""
    @overload
    def within_distance_wgs84(self, query: _PointLike, radius_metres: float, return_distance: Literal[False] = False) -> list[int]: ...
    @overload
    def within_distance_wgs84(self, query: _PointLike, radius_metres: float, return_distance: Literal[True]) -> list[tuple[int, float]]: ...
    @overload
    def within_distance_wgs84(self, query: _PointLike, radius_metres: float, return_distance: bool) -> list[int] | list[tuple[int, float]]: ...

@final
class GeodeticLineStringTree(_GeodeticTree[LineString | MultiLineString]):
    """A geodetic R-tree over linestrings. A MultiLineString in `data` is one item, as near
    as its nearest part."""

    def __new__(cls, data: Iterable[_LineStringLike] | dict[str, Any] | Any) -> GeodeticLineStringTree: ...
    # The WGS84 forms repeat the overloads of their sphere forms: radius and metres are
    # geodesic on the WGS84 ellipsoid.
    @overload
    def query_within_distance_wgs84(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: Literal[False] = False, *, workers: int = 1
    ) -> NDArray[np.int64]: ...
    @overload
    def query_within_distance_wgs84(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: Literal[True], *, workers: int = 1
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]: ...
    @overload
    def query_within_distance_wgs84(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: bool, *, workers: int = 1
    ) -> NDArray[np.int64] | tuple[NDArray[np.int64], NDArray[np.float64]]: ...
    def nearest_k_wgs84(self, query: _PointLike, k: int, *, max_distance: float | None = None) -> list[tuple[int, float]]:
        """The `(input position, geodesic distance in metres)` of the `k` linestrings nearest to
        `query` on the WGS84 ellipsoid, nearest first, ties by the smaller position; with
        `max_distance`, only those within that many metres.
        Metres are the smallest WGS84 geodesic distance to any point of the linestring's
        great-circle edges, within 1 mm."""
    def query_nearest_wgs84(
        self, queries: _Queries, k: int = 1, *, max_distance: float | None = None, workers: int = 1
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """query_nearest by geodesic distance on the WGS84 ellipsoid, as nearest_k_wgs84
        finds them."""
    def nearest_wgs84(self, query: _PointLike) -> int | None:
        """The input position of the nearest linestring to `query` by WGS84-ellipsoid geodesic
        distance, or `None` if the tree is empty.
        Metres are the smallest WGS84 geodesic distance to any point of the linestring's
        great-circle edges, within 1 mm."""
    def nearest_with_distance_wgs84(self, query: _PointLike) -> tuple[int, float] | None:
        """The `(input position, geodesic distance in metres)` of the nearest linestring to `query`
        on the WGS84 ellipsoid, or `None` if empty.
        Metres are the smallest WGS84 geodesic distance to any point of the linestring's
        great-circle edges, within 1 mm."""
    @overload
    def within_distance_wgs84(self, query: _PointLike, radius_metres: float, return_distance: Literal[False] = False) -> list[int]: ...
    @overload
    def within_distance_wgs84(self, query: _PointLike, radius_metres: float, return_distance: Literal[True]) -> list[tuple[int, float]]: ...
    @overload
    def within_distance_wgs84(self, query: _PointLike, radius_metres: float, return_distance: bool) -> list[int] | list[tuple[int, float]]: ...

@final
class GeodeticPolygonTree(_GeodeticTree[Polygon | MultiPolygon]):
    """A geodetic R-tree over polygons. Each polygon fills the region to the left of its
    exterior ring; with `oriented=False`, the smaller region the exterior bounds,
    whatever its direction (for clockwise data such as shapefiles). A MultiPolygon in `data` is one
    item, containing what any of its parts contains."""

    def __new__(
        cls, data: Iterable[_PolygonLike] | dict[str, Any] | Any, *, oriented: bool = True
    ) -> GeodeticPolygonTree: ...
    # The WGS84 forms repeat the overloads of their sphere forms: radius and metres are
    # geodesic on the WGS84 ellipsoid.
    @overload
    def query_within_distance_wgs84(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: Literal[False] = False, *, workers: int = 1
    ) -> NDArray[np.int64]: ...
    @overload
    def query_within_distance_wgs84(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: Literal[True], *, workers: int = 1
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]: ...
    @overload
    def query_within_distance_wgs84(
        self, queries: _Queries, radius_metres: float | ArrayLike, return_distance: bool, *, workers: int = 1
    ) -> NDArray[np.int64] | tuple[NDArray[np.int64], NDArray[np.float64]]: ...
    def nearest_k_wgs84(self, query: _PointLike, k: int, *, max_distance: float | None = None) -> list[tuple[int, float]]:
        """The `(input position, geodesic distance in metres)` of the `k` polygons nearest to
        `query` on the WGS84 ellipsoid, nearest first, ties by the smaller position; with
        `max_distance`, only those within that many metres.
        Metres are the smallest WGS84 geodesic distance to any point of the polygon's
        great-circle edges (0 inside it), within 1 mm."""
    def query_nearest_wgs84(
        self, queries: _Queries, k: int = 1, *, max_distance: float | None = None, workers: int = 1
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """query_nearest by geodesic distance on the WGS84 ellipsoid, as nearest_k_wgs84
        finds them."""
    def nearest_wgs84(self, query: _PointLike) -> int | None:
        """The input position of the nearest polygon to `query` by WGS84-ellipsoid geodesic
        distance, or `None` if the tree is empty.
        Metres are the smallest WGS84 geodesic distance to any point of the polygon's
        great-circle edges (0 inside it), within 1 mm."""
    def nearest_with_distance_wgs84(self, query: _PointLike) -> tuple[int, float] | None:
        """The `(input position, geodesic distance in metres)` of the nearest polygon to `query`
        on the WGS84 ellipsoid, or `None` if empty.
        Metres are the smallest WGS84 geodesic distance to any point of the polygon's
        great-circle edges (0 inside it), within 1 mm."""
    @overload
    def within_distance_wgs84(self, query: _PointLike, radius_metres: float, return_distance: Literal[False] = False) -> list[int]: ...
    @overload
    def within_distance_wgs84(self, query: _PointLike, radius_metres: float, return_distance: Literal[True]) -> list[tuple[int, float]]: ...
    @overload
    def within_distance_wgs84(self, query: _PointLike, radius_metres: float, return_distance: bool) -> list[int] | list[tuple[int, float]]: ...
