"""sferix.dask on a two-process local cluster: the joins give what the array queries give
on the whole input at once, and the tree is one key of the graph."""

import subprocess
import sys

import time

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import sferix  # noqa: E402
import sferix.dask  # noqa: E402

ROWS = 300
PARTITIONS = 4
# Poles at several longitudes and both sides of the antimeridian.
EDGES = [(180.0, 0.0), (-180.0, 0.5), (179.99, -10.0), (-179.99, 10.0), (0.0, 90.0), (123.0, 90.0),
         (-45.0, -90.0), (179.9, 89.9), (-179.9, -89.9)]


def uniform(rng, count):
    return np.column_stack((rng.uniform(-180, 180, count), np.degrees(np.arcsin(rng.uniform(-1, 1, count)))))


def make_tree(kind):
    rng = np.random.default_rng(len(kind))
    if kind == "two points":
        return sferix.GeodeticPointTree([(0, 0), (180, 0)])
    if kind == "point":
        return sferix.GeodeticPointTree(np.vstack((uniform(rng, 500), EDGES)))
    starts = uniform(rng, 80).clip([-180, -85], [176, 85])
    if kind == "linestring":
        return sferix.GeodeticLineStringTree([[(x, y), (x + 2, y + 1)] for x, y in starts.tolist()])
    squares = [[[(x, y), (x + 3, y), (x + 3, y + 3), (x, y + 3), (x, y)]] for x, y in starts.tolist()]
    # One square across the antimeridian.
    squares.append([[(178.0, -2.0), (-178.0, -2.0), (-178.0, 2.0), (178.0, 2.0), (178.0, -2.0)]])
    return sferix.GeodeticPolygonTree(squares)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        # A broadcast reaches the workers running at the time: both, before any test (a
        # worker counts as connected a moment before the scheduler sends it data).
        c.wait_for_workers(2, timeout=60)
        deadline = time.monotonic() + 60.0
        while time.monotonic() < deadline and not all(
                w.get("status") == "running" for w in c.scheduler_info()["workers"].values()):
            time.sleep(0.05)
        yield c


@pytest.fixture(scope="module")
def frame():
    """Query rows with a gappy integer index (so labels are not positions) split into partitions."""
    rng = np.random.default_rng(7)
    queries = np.vstack((EDGES, uniform(rng, ROWS - len(EDGES))))
    pdf = pd.DataFrame({"x": queries[:, 0], "y": queries[:, 1], "tag": np.arange(ROWS)},
                       index=pd.Index(1000 + 7 * np.arange(ROWS), name="fix"))
    return pdf, dd.from_pandas(pdf, npartitions=PARTITIONS)


def query_array(pdf):
    return pdf[["x", "y"]].to_numpy()


class TestNearest:
    @pytest.mark.parametrize(("kind", "k", "wgs84"), [
        ("point", 1, False), ("point", 4, False), ("point", 3, True), ("two points", 3, False),
        ("linestring", 2, False), ("polygon", 1, False),
    ])
    def test_columns_are_the_array_answers(self, client, frame, kind, k, wgs84):
        pdf, ddf = frame
        tree = make_tree(kind)
        joined = sferix.dask.nearest(ddf, tree, lon="x", lat="y", k=k, wgs84=wgs84).compute()
        query = tree.query_nearest_wgs84 if wgs84 else tree.query_nearest
        positions, metres = query(query_array(pdf), k)
        positions, metres = positions.reshape(ROWS, k), metres.reshape(ROWS, k)
        pd.testing.assert_frame_equal(joined[pdf.columns], pdf)
        suffixes = [""] if k == 1 else [f"_{i}" for i in range(1, k + 1)]
        for i, suffix in enumerate(suffixes):
            assert joined[f"nearest_position{suffix}"].dtype == np.int64
            np.testing.assert_array_equal(joined[f"nearest_position{suffix}"], positions[:, i])
            np.testing.assert_array_equal(joined[f"nearest_metres{suffix}"], metres[:, i])
        assert list(joined.columns[3:]) == [f"nearest_{what}{s}" for what in ("position", "metres") for s in suffixes]
        assert (positions[:, 2:] == -1).all() if kind == "two points" else (positions >= 0).all()


class TestWithinDistance:
    @pytest.mark.parametrize(("kind", "wgs84"), [("point", False), ("point", True), ("polygon", False)])
    def test_pairs_are_the_array_answers_by_label(self, client, frame, kind, wgs84):
        pdf, ddf = frame
        tree = make_tree(kind)
        pairs = sferix.dask.within_distance(ddf, tree, 800_000.0, lon="x", lat="y", wgs84=wgs84).compute()
        query = tree.query_within_distance_wgs84 if wgs84 else tree.query_within_distance
        expected, metres = query(query_array(pdf), 800_000.0, return_distance=True)
        assert len(pairs) > 100
        assert list(pairs.dtypes) == [np.int64, np.int64, np.float64]
        np.testing.assert_array_equal(pairs["row"], pdf.index[expected[0]])
        np.testing.assert_array_equal(pairs["position"], expected[1])
        np.testing.assert_array_equal(pairs["metres"], metres)


class TestGraph:
    """Every partition task depends on one key holding the tree: a cheap proof that a
    worker receives the tree once, not with every task."""

    def test_cluster_holds_the_tree_on_every_worker(self, client, frame):
        _, ddf = frame
        tree = make_tree("point")
        joined = sferix.dask.nearest(ddf, tree, lon="x", lat="y")
        graph = dict(joined.__dask_graph__())
        assert not any(getattr(node, "value", None) is tree for node in graph.values())
        (key,) = set.intersection(*(set(graph[task].dependencies) for task in joined.__dask_keys__()))
        # The scheduler learns of the second copy a moment after the scatter returns.
        deadline = time.monotonic() + 30.0
        while len(client.who_has()[key]) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        workers = {a: w.get("status") for a, w in client.scheduler_info()["workers"].items()}
        assert len(client.who_has()[key]) == 2, (client.who_has()[key], workers)

    def test_local_scheduler_has_one_key_holding_the_tree(self, frame):
        pdf, ddf = frame
        tree = make_tree("point")
        with dask.config.set(scheduler="sync"):
            joined = sferix.dask.nearest(ddf, tree, lon="x", lat="y")
            np.testing.assert_array_equal(joined.compute()["nearest_position"], tree.query_nearest(query_array(pdf))[0])
        graph = dict(joined.__dask_graph__())
        (key,) = [key for key, node in graph.items() if getattr(node, "value", None) is tree]
        assert all(key in graph[task].dependencies for task in joined.__dask_keys__())
        # The same call names the same graph, so Dask can share work between them.
        with dask.config.set(scheduler="sync"):
            assert sferix.dask.nearest(ddf, tree, lon="x", lat="y")._name == joined._name

    def test_import_sferix_leaves_dask_alone(self):
        code = "import sys, sferix; assert not any(m.startswith('dask') for m in sys.modules)"
        subprocess.run([sys.executable, "-c", code], check=True)


class TestErrors:
    @pytest.mark.parametrize(("call", "error", "message"), [
        (lambda f, t: sferix.dask.nearest(f.compute(), t), TypeError, "points must be a Dask DataFrame, not DataFrame"),
        (lambda f, t: sferix.dask.nearest(f, [(0, 0)], lon="x", lat="y"), TypeError, "not list"),
        (lambda f, t: sferix.dask.nearest(f, t), ValueError, "no column named 'lon'"),
        (lambda f, t: sferix.dask.nearest(f, t, lon="x", lat="y", k=0), ValueError, "k must be at least 1"),
        (lambda f, t: sferix.dask.nearest(f.assign(nearest_metres_2=1.0), t, lon="x", lat="y", k=2),
         ValueError, "already has a column named 'nearest_metres_2'"),
        (lambda f, t: sferix.dask.within_distance(f, t, [1.0, 2.0], lon="x", lat="y"), TypeError, "one number"),
        (lambda f, t: sferix.dask.within_distance(f, make_tree("polygon"), 1.0, lon="x", lat="y", wgs84=True),
         TypeError, "wgs84=True needs a GeodeticPointTree, not GeodeticPolygonTree"),
    ])
    def test_raise_before_anything_runs(self, frame, call, error, message):
        with pytest.raises(error, match=message):
            call(frame[1], sferix.GeodeticPointTree([(0, 0)]))

    @pytest.mark.parametrize("join", [
        lambda f, t: sferix.dask.nearest(f, t, lon="x", lat="y"),
        lambda f, t: sferix.dask.within_distance(f, t, 1.0, lon="x", lat="y"),
    ])
    def test_a_bad_coordinate_names_its_row_label(self, frame, join):
        pdf, _ = frame
        bad = pdf.copy()
        bad.iloc[-3, bad.columns.get_loc("y")] = 95.0
        with dask.config.set(scheduler="sync"), pytest.raises(
                sferix.GeodeticError, match=rf"^row {bad.index[-3]}: latitude 95"):
            join(dd.from_pandas(bad, npartitions=PARTITIONS), make_tree("point")).compute()


@pytest.fixture(scope="module")
def geo_frames():
    """A dask-geopandas frame of points (one None, labels not positions) and a right frame
    of squares, one across the antimeridian."""
    geopandas = pytest.importorskip("geopandas")
    dask_geopandas = pytest.importorskip("dask_geopandas")
    shapely = pytest.importorskip("shapely", minversion="2.0")
    rng = np.random.default_rng(9)
    queries = np.vstack((EDGES, uniform(rng, ROWS - len(EDGES))))
    left = geopandas.GeoDataFrame({"tag": np.arange(ROWS)}, geometry=list(shapely.points(queries)),
                                  index=pd.Index(1000 + 7 * np.arange(ROWS), name="fix"), crs=4326)
    left.iloc[3, left.columns.get_loc("geometry")] = None
    starts = uniform(rng, 60).clip([-180, -85], [170, 80])
    squares = [shapely.box(x, y, x + 8, y + 8) for x, y in starts.tolist()]
    squares.append(shapely.Polygon([(178, -2), (-178, -2), (-178, 2), (178, 2)]))
    right = geopandas.GeoDataFrame({"tag": np.arange(61)}, geometry=squares, crs=4326)
    return left, dask_geopandas.from_geopandas(left, npartitions=PARTITIONS), right


class TestGeopandasJoins:
    @pytest.mark.parametrize(("join", "options"), [
        ("sjoin_nearest", dict(how="inner", distance_col="metres")),
        ("sjoin_nearest", dict(how="left", max_distance=500_000.0)),
        ("sjoin", dict(how="inner", predicate="within")),
        ("sjoin", dict(how="left", predicate="dwithin", distance=300_000.0)),
    ])
    def test_the_same_as_in_one_process(self, client, geo_frames, join, options):
        import sferix.geopandas

        left, ddf, right = geo_frames
        joined = getattr(sferix.dask, join)(ddf, right, **options)
        expected = getattr(sferix.geopandas, join)(left, right, **options)
        assert len(expected) > 20
        # A left join gives every partition the dtypes of missing values, as geopandas gives
        # a frame with some.
        pd.testing.assert_frame_equal(joined.compute(), expected, check_dtype=options["how"] == "inner")
        assert list(joined.dtypes) == list(joined.compute().dtypes)

    def test_nearest_reads_a_point_geometry_column(self, client, geo_frames):
        import dask_geopandas

        left, _, _ = geo_frames
        tree = make_tree("point")
        usable = left.drop(index=left.index[3])
        ddf = dask_geopandas.from_geopandas(usable, npartitions=PARTITIONS)
        joined = sferix.dask.nearest(ddf, tree, k=2)
        positions, metres = tree.query_nearest(np.column_stack((usable.geometry.x, usable.geometry.y)), 2)
        np.testing.assert_array_equal(joined.compute()[["nearest_position_1", "nearest_position_2"]], positions)
        pairs = sferix.dask.within_distance(ddf, tree, 500_000.0).compute()
        assert len(pairs) > 100 and set(pairs["row"]) <= set(usable.index)

    @pytest.mark.parametrize(("call", "error", "message"), [
        (lambda l, r: sferix.dask.sjoin(l, r, how="right"), ValueError, "how must be 'inner' or 'left'"),
        (lambda l, r: sferix.dask.sjoin(l.to_crs(3857), r), ValueError, r"left.to_crs\(4326\)"),
        (lambda l, r: sferix.dask.sjoin_nearest(l, r, wgs84=True), TypeError, "wgs84=True needs points in right"),
        (lambda l, r: sferix.dask.nearest(l.to_crs(3857), make_tree("point")), ValueError, r"points.to_crs\(4326\)"),
    ])
    def test_refused_before_anything_runs(self, geo_frames, call, error, message):
        _, ddf, right = geo_frames
        with pytest.raises(error, match=message):
            call(ddf, right)
