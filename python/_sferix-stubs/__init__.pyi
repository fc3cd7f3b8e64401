"""Type stubs for the _sferix extension module."""

from collections.abc import Iterable
from typing import Any, Final, Literal, SupportsIndex, TypeAlias, overload, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

__version__: Final[str]
__all__ = [
    "__version__",
    "GeodeticError",
    "Point",
    "LineString",
    "Polygon",
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
# Many positions: an (n, 2) array-like of (lon, lat), or an iterable of _PointLike.
_Queries: TypeAlias = ArrayLike | Iterable[_PointLike]

class GeodeticError(ValueError):
    """Raised when coordinates or a geometry fail validation (out-of-range longitude or latitude, a non-finite value, too few vertices, an edge spanning half the sphere, or an unclosed ring)."""

# Public as sferix.PanicException.
class _PanicException(BaseException): ...

@final
class Point:
    """A geodetic point `(lon, lat)` in degrees."""

    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Point: ...
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, tuple[Any]]: ...
    def __copy__(self) -> Point: ...
    def __deepcopy__(self, memo: Any, /) -> Point: ...

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
class LineString:
    """A geodetic linestring: a sequence of `(lon, lat)` vertices joined by great-circle arcs."""

    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> LineString: ...
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, tuple[Any]]: ...
    def __copy__(self) -> LineString: ...
    def __deepcopy__(self, memo: Any, /) -> LineString: ...

    @property
    def coordinates(self) -> list[tuple[float, float]]:
        """The `(lon, lat)` vertices."""
    @property
    def __geo_interface__(self) -> dict[str, Any]: ...
    def __len__(self) -> int: ...

@final
class Polygon:
    """A filled geodetic polygon: an exterior ring and any interior rings (holes)."""

    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Polygon: ...
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, tuple[Any]]: ...
    def __copy__(self) -> Polygon: ...
    def __deepcopy__(self, memo: Any, /) -> Polygon: ...

    @property
    def exterior(self) -> list[tuple[float, float]]:
        """The exterior ring's `(lon, lat)` vertices (closed; first == last)."""
    @property
    def interiors(self) -> list[list[tuple[float, float]]]:
        """The interior rings, each a list of `(lon, lat)` vertices."""
    @property
    def __geo_interface__(self) -> dict[str, Any]: ...

@final
class GeodeticPointTree:
    """A geodetic R-tree over points."""

    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> GeodeticPointTree: ...
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, tuple[Any]]: ...
    def __copy__(self) -> GeodeticPointTree: ...
    def __deepcopy__(self, memo: Any, /) -> GeodeticPointTree: ...

    def __new__(cls, data: Iterable[_PointLike] | dict[str, Any] | Any) -> GeodeticPointTree: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Point: ...
    def geometry(self, index: int) -> Point:
        """The point at input position `index`."""
    def geometries(self) -> list[Point]:
        """Every point, in input order."""
    def nearest(self, query: _PointLike) -> int | None:
        """The input position of the nearest point to `query`, or `None` if the tree is empty."""
    def nearest_with_distance(self, query: _PointLike) -> tuple[int, float] | None:
        """The `(input position, distance in metres)` of the nearest point to `query`, or
        `None` if the tree is empty."""
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: Literal[False] = False) -> list[int]: ...
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: Literal[True]) -> list[tuple[int, float]]: ...
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: bool) -> list[int] | list[tuple[int, float]]: ...
    def nearest_k(self, query: _PointLike, k: int, *, max_distance: float | None = None) -> list[tuple[int, float]]:
        """The `(input position, distance in metres)` of the `k` points nearest to `query`,
        nearest first, ties by the smaller position; with `max_distance`, only those within
        that many metres."""
    def query_nearest(
        self, queries: _Queries, k: int = 1, *, max_distance: float | None = None, workers: int = 1
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """The nearest points to each of `queries` (an `(n, 2)` array-like of `(lon, lat)`), as
        nearest_k finds them: `(positions, metres)` NumPy arrays of shape `(n,)` for `k=1`,
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
class GeodeticLineStringTree:
    """A geodetic R-tree over linestrings."""

    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> GeodeticLineStringTree: ...
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, tuple[Any]]: ...
    def __copy__(self) -> GeodeticLineStringTree: ...
    def __deepcopy__(self, memo: Any, /) -> GeodeticLineStringTree: ...

    def __new__(cls, data: Iterable[_LineStringLike] | dict[str, Any] | Any) -> GeodeticLineStringTree: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> LineString: ...
    def geometry(self, index: int) -> LineString:
        """The linestring at input position `index`."""
    def geometries(self) -> list[LineString]:
        """Every linestring, in input order."""
    def nearest(self, query: _PointLike) -> int | None:
        """The input position of the nearest linestring to `query`, or `None` if empty."""
    def nearest_with_distance(self, query: _PointLike) -> tuple[int, float] | None:
        """The `(input position, distance in metres)` of the nearest linestring, or `None`."""
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: Literal[False] = False) -> list[int]: ...
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: Literal[True]) -> list[tuple[int, float]]: ...
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: bool) -> list[int] | list[tuple[int, float]]: ...
    def nearest_k(self, query: _PointLike, k: int, *, max_distance: float | None = None) -> list[tuple[int, float]]:
        """The `(input position, distance in metres)` of the `k` linestrings nearest to `query`,
        nearest first, ties by the smaller position; with `max_distance`, only those within
        that many metres."""
    def query_nearest(
        self, queries: _Queries, k: int = 1, *, max_distance: float | None = None, workers: int = 1
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """The nearest linestrings to each of `queries` (an `(n, 2)` array-like of `(lon, lat)`), as
        nearest_k finds them: `(positions, metres)` NumPy arrays of shape `(n,)` for `k=1`,
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

@final
class GeodeticPolygonTree:
    """A geodetic R-tree over polygons. Each polygon fills the region to the left of its
    exterior ring; with `oriented=False`, the smaller region the exterior bounds,
    whatever its direction (for clockwise data such as shapefiles)."""

    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> GeodeticPolygonTree: ...
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, tuple[Any]]: ...
    def __copy__(self) -> GeodeticPolygonTree: ...
    def __deepcopy__(self, memo: Any, /) -> GeodeticPolygonTree: ...

    def __new__(
        cls, data: Iterable[_PolygonLike] | dict[str, Any] | Any, *, oriented: bool = True
    ) -> GeodeticPolygonTree: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Polygon: ...
    def geometry(self, index: int) -> Polygon:
        """The polygon at input position `index`."""
    def geometries(self) -> list[Polygon]:
        """Every polygon, in input order."""
    def nearest(self, query: _PointLike) -> int | None:
        """The input position of the nearest polygon to `query` (zero distance if `query` is
        inside one), or `None` if empty."""
    def nearest_with_distance(self, query: _PointLike) -> tuple[int, float] | None:
        """The `(input position, distance in metres)` of the nearest polygon, or `None`."""
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: Literal[False] = False) -> list[int]: ...
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: Literal[True]) -> list[tuple[int, float]]: ...
    @overload
    def within_distance(self, query: _PointLike, radius_metres: float, return_distance: bool) -> list[int] | list[tuple[int, float]]: ...
    def nearest_k(self, query: _PointLike, k: int, *, max_distance: float | None = None) -> list[tuple[int, float]]:
        """The `(input position, distance in metres)` of the `k` polygons nearest to `query`,
        nearest first, ties by the smaller position; with `max_distance`, only those within
        that many metres."""
    def query_nearest(
        self, queries: _Queries, k: int = 1, *, max_distance: float | None = None, workers: int = 1
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """The nearest polygons to each of `queries` (an `(n, 2)` array-like of `(lon, lat)`), as
        nearest_k finds them: `(positions, metres)` NumPy arrays of shape `(n,)` for `k=1`,
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
