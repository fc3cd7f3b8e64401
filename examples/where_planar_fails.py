"""Draw three places where an index on the lon/lat plane answers wrongly and sferix does not.

1. A polygon across the antimeridian: its ring runs from 170°E to 170°W; read as a
   planar polygon it covers everything between 170°W and 170°E instead.
2. A cap around the North Pole: the points within 1,500 km of the pole; a planar
   disc of the same angular radius around (0, 90) misses most longitudes.
3. A nearest query near 180°: the nearest point across the antimeridian is 0.2° away
   on the sphere; a planar search picks one 1.8° away on the same side.

Writes where_planar_fails.png next to this script (needs matplotlib):

    python examples/where_planar_fails.py
"""

import math
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import sferix  # noqa: E402

OUTPUT = pathlib.Path(__file__).with_name("where_planar_fails.png")
RING = [(170.0, -20.0), (-170.0, -20.0), (-170.0, 20.0), (170.0, 20.0), (170.0, -20.0)]
CAP_METRES = 1_500_000.0
EARTH_RADIUS_METRES = 6_371_008.8


def grid(step):
    return [(lon + step / 2, lat + step / 2) for lon in range(-180, 180, step) for lat in range(-90, 90, step)]


def planar_contains(ring, lon, lat):
    """Even-odd ray casting on the lon/lat plane, as a planar index would test."""
    inside = False
    for (x1, y1), (x2, y2) in zip(ring, ring[1:]):
        if (y1 > lat) != (y2 > lat) and lon < x1 + (lat - y1) * (x2 - x1) / (y2 - y1):
            inside = not inside
    return inside


def scatter(axis, points, colour, label):
    if points:
        axis.scatter([p[0] for p in points], [p[1] for p in points], s=4, c=colour, label=label)


def antimeridian_polygon(axis):
    polygons = sferix.GeodeticPolygonTree([[RING]])
    points = grid(5)
    sphere = [p for p in points if polygons.nearest_with_distance(p)[1] == 0.0]
    planar = [p for p in points if planar_contains(RING, *p)]
    scatter(axis, planar, "tab:red", "planar: inside")
    scatter(axis, sphere, "tab:blue", "sferix: inside")
    axis.set_title("Polygon from 170°E to 170°W")


def polar_cap(axis):
    points = grid(4)
    tree = sferix.GeodeticPointTree(points)
    sphere = [points[i] for i in tree.within_distance((0.0, 90.0), CAP_METRES)]
    radius_degrees = math.degrees(CAP_METRES / EARTH_RADIUS_METRES)
    planar = [p for p in points if math.hypot(p[0], p[1] - 90.0) <= radius_degrees]
    scatter(axis, sphere, "tab:blue", "sferix: within 1,500 km")
    scatter(axis, planar, "tab:red", "planar: within 13.5°")
    axis.set_title("Cap around the North Pole")


def nearest_across_180(axis):
    candidates = [(-179.9, 0.3), (178.1, 0.0)]
    query = (179.9, 0.0)
    tree = sferix.GeodeticPointTree(candidates)
    sphere = candidates[tree.nearest(query)]
    planar = min(candidates, key=lambda c: math.hypot(c[0] - query[0], c[1] - query[1]))

    # Drawn on longitudes 0 to 360, so that 180° is not at the edge.
    def east(point):
        return (point[0] % 360.0, point[1])

    axis.scatter(*zip(*map(east, candidates)), c="black", s=30, label="candidates")
    axis.scatter(*east(query), c="tab:green", s=80, marker="*", label="query")
    axis.annotate("", xy=east(planar), xytext=east(query), arrowprops={"color": "tab:red", "width": 1})
    axis.annotate("", xy=east(sphere), xytext=east(query), arrowprops={"color": "tab:blue", "width": 1})
    axis.plot([], [], c="tab:red", label="planar nearest")
    axis.plot([], [], c="tab:blue", label="sferix nearest")
    axis.axvline(180, c="grey", lw=0.5)
    axis.set_xlim(177, 181)
    axis.set_ylim(-1, 1)
    axis.set_xlabel("longitude (°, 0 to 360)")
    axis.set_title("Nearest to 179.9°E")


def main():
    figure, axes = plt.subplots(1, 3, figsize=(15, 4.2))
    for draw, axis in zip((antimeridian_polygon, polar_cap), axes):
        draw(axis)
        axis.set_xlim(-180, 180)
        axis.set_ylim(-90, 90)
        axis.set_xlabel("longitude (°)")
    nearest_across_180(axes[2])
    for axis in axes:
        axis.set_ylabel("latitude (°)")
        axis.legend(loc="lower left", fontsize=7)
    figure.tight_layout()
    figure.savefig(OUTPUT, dpi=110)
    print(f"wrote {OUTPUT}")


if __name__ == "__main__":
    main()
