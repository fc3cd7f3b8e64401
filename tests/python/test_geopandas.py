"""sferix.geopandas against geopandas' own joins where the plane and the sphere agree (small
mid-latitude data, projected locally for geopandas), and against brute force written here
where they do not (the antimeridian, the poles)."""

import math
import subprocess
import sys
import warnings

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
shapely = pytest.importorskip("shapely", minversion="2.0")
geopandas = pytest.importorskip("geopandas")
pytest.importorskip("pyproj")

import sferix  # noqa: E402
import sferix.geopandas as joins  # noqa: E402

EARTH_RADIUS_M = 6371008.8
# A local equidistant projection centred on the data: planar and great-circle answers agree
# there for anything not near a tie.
LOCAL = "+proj=aeqd +lat_0=47 +lon_0=8 +datum=WGS84 +units=m"


def local_frames():
    """Points around (8, 47) and right frames of points and of squares, each with a clash
    of column names, a named index and a missing geometry; the left points lie nearer one
    right geometry than any other by far."""
    rng = np.random.default_rng(11)
    centres = np.array([(7.0 + 0.5 * i, 46.5 + 0.4 * j) for i in range(4) for j in range(3)])
    picks = rng.integers(0, len(centres), 60)
    offsets = rng.uniform(-0.12, 0.12, (60, 2))
    offsets[::3] *= 3.0  # some points outside every square
    left = geopandas.GeoDataFrame(
        {"name": [f"p{i}" for i in range(60)], "count": np.arange(60)},
        geometry=list(shapely.points(centres[picks] + offsets)),
        index=pd.Index(100 + 2 * np.arange(60), name="fix"),
        crs=4326,
    )
    left.loc[[104, 130], "geometry"] = [None, shapely.Point()]
    squares = [shapely.box(x - 0.1, y - 0.1, x + 0.1, y + 0.1) for x, y in centres]
    right_index = pd.Index([f"s{i}" for i in range(len(centres))], name="site")
    names = [f"n{i}" for i in range(len(centres))]
    points = geopandas.GeoDataFrame({"name": names, "rank": np.arange(len(centres))},
                                    geometry=list(shapely.points(centres)), index=right_index, crs=4326)
    polygons = geopandas.GeoDataFrame({"name": names, "rank": np.arange(len(centres))}, geometry=squares,
                                      index=right_index, crs=4326)
    points.iloc[5, points.columns.get_loc("geometry")] = None
    polygons.iloc[5, polygons.columns.get_loc("geometry")] = None
    return left, {"points": points, "polygons": polygons}


def theirs(join, left, right, **kwargs):
    """geopandas' join on the locally projected frames, back in degrees."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = join(left.to_crs(LOCAL), right.to_crs(LOCAL), **kwargs)
    return result.to_crs(4326)


def assert_same_join(ours, expected, distance_col=None):
    assert list(ours.columns) == list(expected.columns)
    assert ours.index.equals(expected.index)
    assert ours.crs == expected.crs
    assert ours.geometry.name == expected.geometry.name
    # geopandas orders several matches of a row by its tree: compare them in row order.
    key = [c for c in ours.columns if c.startswith("index_")]
    plain = [c for c in ours.columns if c not in (distance_col, ours.geometry.name)]
    mine, exp = (f.reset_index().sort_values([f.index.name or "index", *key], kind="stable") for f in (ours, expected))
    pd.testing.assert_frame_equal(mine[plain].reset_index(drop=True), exp[plain].reset_index(drop=True))
    a, b = np.asarray(mine[ours.geometry.name].array), np.asarray(exp[ours.geometry.name].array)
    assert (shapely.equals_exact(a, b, 1e-7) | (shapely.is_missing(a) & shapely.is_missing(b))).all()
    if distance_col is not None:
        np.testing.assert_allclose(mine[distance_col], exp[distance_col], rtol=5e-3)


@pytest.fixture(scope="module")
def frames():
    return local_frames()


class TestAgainstGeopandas:
    @pytest.mark.parametrize("kind", ["points", "polygons"])
    @pytest.mark.parametrize("how", ["inner", "left"])
    @pytest.mark.parametrize("max_distance", [None, 15_000.0])
    def test_sjoin_nearest(self, frames, kind, how, max_distance):
        left, rights = frames
        ours = joins.sjoin_nearest(left, rights[kind], how=how, max_distance=max_distance, distance_col="metres")
        expected = theirs(geopandas.sjoin_nearest, left, rights[kind], how=how, max_distance=max_distance,
                          distance_col="metres")
        assert_same_join(ours, expected, "metres")
        assert {"name_left", "name_right", "index_right", "rank"} <= set(ours.columns)

    def test_sjoin_nearest_right_joins_each_right_point_to_its_nearest_left_point(self, frames):
        left, rights = frames
        ours = joins.sjoin_nearest(left, rights["points"], how="right", distance_col="d", lsuffix="l", rsuffix="r")
        expected = theirs(geopandas.sjoin_nearest, left, rights["points"], how="right", distance_col="d",
                          lsuffix="l", rsuffix="r")
        assert_same_join(ours, expected, "d")

    @pytest.mark.parametrize("predicate", ["intersects", "within"])
    @pytest.mark.parametrize("how", ["inner", "left", "right"])
    def test_sjoin_in_polygons(self, frames, predicate, how):
        left, rights = frames
        ours = joins.sjoin(left, rights["polygons"], how=how, predicate=predicate)
        assert_same_join(ours, theirs(geopandas.sjoin, left, rights["polygons"], how=how, predicate=predicate))

    def test_dwithin_is_the_join_with_buffers(self, frames):
        left, rights = frames
        ours = joins.sjoin(left, rights["points"], predicate="dwithin", distance=20_000.0)
        buffered = rights["points"].to_crs(LOCAL)
        buffered.geometry = buffered.buffer(20_000.0, 64)
        expected = theirs(geopandas.sjoin, left, buffered.to_crs(4326), predicate="intersects")
        assert_same_join(ours, expected)
        assert len(ours) > 10

    def test_empty_frames(self, frames):
        left, rights = frames
        for how in ("inner", "left"):
            for l, r in ((left.iloc[:0], rights["polygons"]), (left, rights["polygons"].iloc[:0])):
                ours = joins.sjoin_nearest(l, r, how=how, distance_col="d")
                expected = theirs(geopandas.sjoin_nearest, l, r, how=how, distance_col="d")
                assert list(ours.columns) == list(expected.columns) and len(ours) == len(expected)


def haversine(lon1, lat1, lon2, lat2):
    lon1, lat1, lon2, lat2 = map(np.radians, (lon1, lat1, lon2, lat2))
    h = np.sin((lat2 - lat1) / 2) ** 2 + np.cos(lat1) * np.cos(lat2) * np.sin((lon2 - lon1) / 2) ** 2
    return 2 * EARTH_RADIUS_M * np.arcsin(np.sqrt(np.minimum(h, 1.0)))


@pytest.fixture(scope="module")
def edge_frames():
    """Points near the antimeridian and the poles, and their great-circle metres by brute force."""
    rng = np.random.default_rng(5)
    lon = np.concatenate((rng.uniform(175, 180, 40), rng.uniform(-180, -175, 40), rng.uniform(-180, 180, 40)))
    lat = np.concatenate((rng.uniform(-5, 5, 80), rng.uniform(80, 90, 40)))
    right = geopandas.GeoDataFrame({"id": np.arange(120)}, geometry=list(shapely.points(lon, lat)))
    qlon = np.concatenate((rng.uniform(178, 180, 30), rng.uniform(-180, -178, 30), rng.uniform(-180, 180, 30)))
    qlat = np.concatenate((rng.uniform(-3, 3, 60), rng.uniform(84, 90, 30)))
    left = geopandas.GeoDataFrame({"q": np.arange(90)}, geometry=list(shapely.points(qlon, qlat)))
    metres = haversine(qlon[:, None], qlat[:, None], lon[None, :], lat[None, :])
    return left, right, metres


class TestWherePlaneAndSphereDiffer:
    """Points near the antimeridian and the poles, where degrees mislead."""

    def test_sjoin_nearest_is_the_brute_force_nearest(self, edge_frames):
        left, right, metres = edge_frames
        joined = joins.sjoin_nearest(left, right, distance_col="d")
        np.testing.assert_array_equal(joined["index_right"], metres.argmin(axis=1))
        np.testing.assert_allclose(joined["d"], metres.min(axis=1), rtol=1e-9)
        assert joined.crs is None

    def test_dwithin_is_the_brute_force_pairs(self, edge_frames):
        left, right, metres = edge_frames
        joined = joins.sjoin(left, right, predicate="dwithin", distance=150_000.0, how="left")
        expected = [(q, r) for q, r in zip(*np.nonzero(metres <= 150_000.0))]
        found = [(q, r) for q, r in zip(joined["q"], joined["index_right"]) if not math.isnan(r)]
        assert found == expected
        assert set(joined["q"]) == set(range(90))

    def test_wgs84_measures_geodesics(self, edge_frames):
        geodesic = pytest.importorskip("geographiclib.geodesic").Geodesic.WGS84
        left, right, _ = edge_frames
        joined = joins.sjoin_nearest(left, right, distance_col="d", wgs84=True)
        for point, index, metres in zip(joined.geometry[:20], joined["index_right"][:20], joined["d"][:20]):
            target = right.geometry[index]
            line = geodesic.Inverse(point.y, point.x, target.y, target.x)
            assert metres == pytest.approx(line["s12"], abs=1e-6)


class TestTiesAndExclusive:
    def test_a_point_on_a_shared_edge_is_in_and_nearest_to_both_squares(self):
        # The meridian 0 is exact in unit vectors, so the point is on both boundaries.
        squares = geopandas.GeoDataFrame({"side": ["west", "east"]},
                                         geometry=[shapely.box(-1, 0, 0, 1), shapely.box(0, 0, 1, 1)])
        left = geopandas.GeoDataFrame(geometry=[shapely.Point(0, 0.5), shapely.Point(0.5, 0.5)])
        nearest = joins.sjoin_nearest(left, squares, distance_col="d")
        assert list(nearest.index) == [0, 0, 1] and list(nearest["side"]) == ["west", "east", "east"]
        assert list(nearest["d"]) == [0.0, 0.0, 0.0]
        assert list(joins.sjoin(left, squares, predicate="within")["side"]) == ["west", "east", "east"]

    @pytest.mark.parametrize("wgs84", [False, True])
    def test_repeated_points_tie_and_exclusive_passes_over_the_query_itself(self, wgs84):
        right = geopandas.GeoDataFrame({"id": range(5)},
                                       geometry=list(shapely.points([(0, 0), (1, 0), (0, 0), (1, 0), (3, 0)])))
        left = geopandas.GeoDataFrame(geometry=[shapely.Point(0, 0), shapely.Point(2.5, 0)])
        plain = joins.sjoin_nearest(left, right, wgs84=wgs84)
        assert list(zip(plain.index, plain["id"])) == [(0, 0), (0, 2), (1, 4)]
        exclusive = joins.sjoin_nearest(left, right, exclusive=True, distance_col="d", wgs84=wgs84)
        assert list(zip(exclusive.index, exclusive["id"])) == [(0, 1), (0, 3), (1, 4)]
        assert exclusive["d"].iloc[0] == exclusive["d"].iloc[1] > 100_000
        # Nothing left once the query itself is passed over.
        alone = joins.sjoin_nearest(left.iloc[:1], right.iloc[[0, 2]], how="left", exclusive=True)
        assert len(alone) == 1 and math.isnan(alone["index_right"].iloc[0])


class TestRefusals:
    @pytest.mark.parametrize(("call", "error", "message"), [
        (lambda l, r: joins.sjoin(l.to_crs(3857), r), ValueError, r"projected CRS EPSG:3857.*left.to_crs\(4326\)"),
        (lambda l, r: joins.sjoin_nearest(l, r.to_crs(32632)), ValueError, r"right.to_crs\(4326\)"),
        (lambda l, r: joins.sjoin_nearest(r, r), TypeError, "sjoin_nearest takes points in left, found a Polygon in row 's0'"),
        (lambda l, r: joins.sjoin_nearest(l, r, wgs84=True), TypeError, "wgs84=True needs points in right"),
        (lambda l, r: joins.sjoin_nearest(l, r, how="right"), TypeError, "how='right' needs points in right"),
        (lambda l, r: joins.sjoin(l, r, how="outer"), ValueError, "how must be one of"),
        (lambda l, r: joins.sjoin(l, r, predicate="contains"), ValueError, "predicate must be one of"),
        (lambda l, r: joins.sjoin(l, r, predicate="dwithin"), ValueError, "distance is needed"),
        (lambda l, r: joins.sjoin(l.rename(columns={"count": "index_right"}), r), ValueError, "'index_right'"),
        (lambda l, r: joins.sjoin(l.rename(columns={"count": "name_left"}), r), ValueError, "two columns named"),
        (lambda l, r: joins.sjoin(l, pd.concat([r, l.iloc[:2]])), TypeError, "one kind of geometry"),
    ])
    def test_refused(self, frames, call, error, message):
        left, rights = frames
        with pytest.raises(error, match=message):
            call(left, rights["polygons"])

    def test_a_bad_coordinate_names_its_row(self, frames):
        left, rights = frames
        bad = left.copy()
        bad.loc[150, "geometry"] = shapely.Point(8.0, 95.0)
        with pytest.raises(sferix.GeodeticError, match=r"^left row 150: latitude 95"):
            joins.sjoin_nearest(bad, rights["points"])

    def test_import_sferix_leaves_geopandas_alone(self):
        code = "import sys, sferix; assert not any(m.split('.')[0] in ('geopandas', 'shapely') for m in sys.modules)"
        subprocess.run([sys.executable, "-c", code], check=True)


def test_natural_earth_multipart_rows_join_as_their_parts():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            countries = geopandas.read_file(geopandas.datasets.get_path("naturalearth_lowres"))
        except Exception as err:  # geopandas 1.0 ships no data
            pytest.skip(f"Natural Earth data unavailable: {err!r}")
    parts = countries.explode(index_parts=False)
    parts = parts.set_geometry(parts.geometry.clip_by_rect(-180, -90, 180, 90))
    rng = np.random.default_rng(3)
    points = geopandas.GeoDataFrame(
        geometry=list(shapely.points(rng.uniform(-180, 180, 3000), np.degrees(np.arcsin(rng.uniform(-1, 1, 3000))))),
        crs=4326,
    )
    whole = joins.sjoin_nearest(points, countries, distance_col="d")
    split = joins.sjoin_nearest(points, parts, distance_col="d")
    split = split.reset_index().drop_duplicates(["index", "index_right"]).set_index("index")
    split.index.name = None
    assert list(zip(whole.index, whole["index_right"])) == list(zip(split.index, split["index_right"]))
    np.testing.assert_allclose(whole["d"], split["d"], rtol=1e-12, atol=1e-6)
    inside = joins.sjoin(points, countries, predicate="within")
    assert (whole.loc[inside.index, "d"] == 0).all()


# ---- frames and series as tree input and as query geometries ---------------------------


@pytest.mark.parametrize("missing", [False, True])
def test_series_and_frames_read_as_their_geometries(missing):
    squares = [shapely.box(x, 40, x + 2, 42) for x in range(-179, 179, 7)] + [shapely.LineString([(170, 0), (-170, 1)])]
    if missing:
        squares[3] = None
    series = geopandas.GeoSeries(squares, crs=4326)
    frame = geopandas.GeoDataFrame({"a": range(len(squares))}, geometry=series)
    points = sferix.GeodeticPointTree([(x + 1.0, 41.0) for x in range(-179, 179, 7)])

    def outcome(call):
        try:
            result = call()
        except (TypeError, ValueError) as error:
            return type(error), str(error), getattr(error, "item", None)
        return result.tolist() if hasattr(result, "tolist") else result.to_bytes()

    for data in (series, frame):
        assert outcome(lambda: points.query_many(data)) == outcome(lambda: points.query_many(squares))
        assert outcome(lambda: sferix.GeodeticPolygonTree(data.iloc[:-1])) == outcome(
            lambda: sferix.GeodeticPolygonTree(squares[:-1]))
