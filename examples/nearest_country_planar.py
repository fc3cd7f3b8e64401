"""Draw where the nearest country on a projection's plane is not the nearest on the sphere.

Random points uniform on the sphere that lie in no country (Natural Earth, 1:110m) are
joined to the nearest country twice: by `geopandas.sjoin_nearest` on the Equal Earth
plane (EPSG:8857), the projection an analyst would pick for the whole world, and by
`sferix.geopandas.sjoin_nearest` along great circles. The map marks every point where the
two answers differ.

Writes nearest_country_planar.png next to this script (needs geopandas below 1.0 for the
data, and matplotlib):

    python examples/nearest_country_planar.py
"""

import pathlib
import warnings

import matplotlib

matplotlib.use("Agg")
import geopandas  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import sferix.geopandas  # noqa: E402

OUTPUT = pathlib.Path(__file__).with_name("nearest_country_planar.png")
POINTS = 8_000
EQUAL_EARTH = "EPSG:8857"


def load_countries():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        countries = geopandas.read_file(geopandas.datasets.get_path("naturalearth_lowres"))
    return countries[["name", "geometry"]]


def main():
    countries = load_countries()
    rng = np.random.default_rng(2098)
    lon, lat = rng.uniform(-180, 180, POINTS), np.degrees(np.arcsin(rng.uniform(-1, 1, POINTS)))
    points = geopandas.GeoDataFrame(geometry=geopandas.points_from_xy(lon, lat), crs=4326)
    inside = sferix.geopandas.sjoin(points, countries, predicate="within")
    sea = points.drop(index=inside.index.unique())

    sphere = sferix.geopandas.sjoin_nearest(sea, countries)
    planar = geopandas.sjoin_nearest(sea.to_crs(EQUAL_EARTH), countries.to_crs(EQUAL_EARTH))
    # A point as near to two countries keeps its first answer on either side.
    sphere = sphere[~sphere.index.duplicated()]["name"]
    planar = planar[~planar.index.duplicated()]["name"]
    differ = sea.loc[sphere.index[sphere.to_numpy() != planar.loc[sphere.index].to_numpy()]]
    share = len(differ) / len(sea)
    print(f"{len(sea):,} of {POINTS:,} random points lie in no country; the nearest country on the Equal Earth "
          f"plane is not the nearest on the sphere for {len(differ):,} of them ({share:.0%})")

    figure, axis = plt.subplots(figsize=(11, 5.8))
    countries.boundary.plot(ax=axis, color="grey", linewidth=0.4)
    axis.scatter(sea.geometry.x, sea.geometry.y, s=2, c="lightsteelblue", label="both agree")
    axis.scatter(differ.geometry.x, differ.geometry.y, s=3, c="tab:red", label="planar nearest is wrong")
    axis.set_xlim(-180, 180)
    axis.set_ylim(-90, 90)
    axis.set_xlabel("longitude (°)")
    axis.set_ylabel("latitude (°)")
    axis.set_title(f"Nearest country: the Equal Earth plane is wrong for {share:.0%} of points in no country")
    axis.legend(loc="lower left", fontsize=8, markerscale=4)
    figure.tight_layout()
    figure.savefig(OUTPUT, dpi=100)
    print(f"wrote {OUTPUT}")


if __name__ == "__main__":
    main()
