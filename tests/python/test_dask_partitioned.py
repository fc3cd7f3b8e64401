"""sferix.dask.PartitionedTree on a two-process local cluster: every join equals the one
tree over the whole frame, row for row, wherever the partitions' bounds lie."""

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
pytest.importorskip("distributed")
pytest.importorskip("pyarrow")

import sferix  # noqa: E402
import sferix.dask  # noqa: E402
from sferix import _partitioned  # noqa: E402
from test_dask import EDGES, client, uniform  # noqa: E402,F401  (the module's cluster)


def around(rng, centre, spread, count):
    lon = (centre[0] + rng.normal(0, spread, count) + 180) % 360 - 180
    lat = np.clip(centre[1] + rng.normal(0, spread, count), -90, 90)
    return np.column_stack((lon, lat))


def lattice():
    """A 1-degree grid symmetric about lon 0 and lat 0, where the first cut of the cube face
    runs: a query on either line is equally far from points in two or four partitions."""
    steps = np.arange(-9.5, 10)
    return np.array([(x, y) for x in steps for y in steps])


def points(kind):
    rng = np.random.default_rng(len(kind))
    if kind == "uniform":
        return np.vstack((uniform(rng, 3000), EDGES))
    if kind == "clustered":
        # Clusters across the antimeridian and at both poles, and far-off loners.
        return np.vstack([around(rng, c, 2.0, 700) for c in [(180, 0), (0, 90), (60, -89), (10, 50)]]
                         + [uniform(rng, 20)])
    if kind == "duplicates":
        # Most rows at one place: several cut points coincide and leave partitions empty.
        return np.vstack((np.tile([[10.0, 10.0]], (2000, 1)), uniform(rng, 300)))
    if kind == "lattice":
        return lattice()[rng.permutation(400)]
    if kind == "split":
        # Partitions of 13,000 points: each is split into several trees.
        return uniform(rng, 26000)
    return uniform(rng, 30)  # "few": fewer than k in some partitions


def queries(kind, count=400):
    rng = np.random.default_rng(99)
    if kind == "lattice":
        line = np.arange(-10, 10.5, 0.5)
        return np.vstack((np.column_stack((np.zeros_like(line), line)), np.column_stack((line, np.zeros_like(line)))))
    return np.vstack((EDGES, uniform(rng, count), around(rng, (180, 0), 3.0, 100), around(rng, (0, 90), 2.0, 50)))


def point_frame(lonlat, npartitions):
    """Rows under a gappy index, so that positions are row numbers, not labels."""
    frame = pd.DataFrame({"x": lonlat[:, 0], "y": lonlat[:, 1]}, index=pd.Index(5 + 3 * np.arange(len(lonlat))))
    return dd.from_pandas(frame, npartitions=npartitions)


def nearest_columns(joined, k):
    if k == 1:
        return joined["nearest_position"].to_numpy()[:, None], joined["nearest_metres"].to_numpy()[:, None]
    return (joined[[f"nearest_position_{i}" for i in range(1, k + 1)]].to_numpy(),
            joined[[f"nearest_metres_{i}" for i in range(1, k + 1)]].to_numpy())


def check_nearest(single, tree, asked, k, wgs84=False, max_distance=None):
    joined = sferix.dask.nearest(point_frame(asked, 3), tree, lon="x", lat="y", k=k, wgs84=wgs84,
                                 max_distance=max_distance).compute()
    query = single.query_nearest_wgs84 if wgs84 else single.query_nearest
    positions, metres = query(asked, k, max_distance=max_distance)
    got_positions, got_metres = nearest_columns(joined, k)
    np.testing.assert_array_equal(got_positions, positions.reshape(-1, k))
    np.testing.assert_array_equal(got_metres, metres.reshape(-1, k))
    return positions.reshape(-1, k), metres.reshape(-1, k)


def check_within(single, tree, asked, radius, wgs84=False):
    pairs = sferix.dask.within_distance(point_frame(asked, 3), tree, radius, lon="x", lat="y", wgs84=wgs84).compute()
    query = single.query_within_distance_wgs84 if wgs84 else single.query_within_distance
    found, metres = query(asked, radius, return_distance=True)
    expected = pd.DataFrame({"row": 5 + 3 * found[0], "position": found[1], "metres": metres})
    expected = expected.sort_values(["row", "position"], kind="stable").reset_index(drop=True)
    pd.testing.assert_frame_equal(pairs.reset_index(drop=True), expected)
    return len(pairs)


class TestPointsEqualOneTree:
    @pytest.mark.parametrize("kind", ["uniform", "clustered", "duplicates", "lattice", "few", "split"])
    def test_nearest_and_within(self, client, kind):
        data = points(kind)
        count = 2 if kind == "split" else 8
        tree = sferix.dask.PartitionedTree(point_frame(data, 4).rename(columns={"x": "lon", "y": "lat"}),
                                           npartitions=count)
        single = sferix.GeodeticPointTree(data)
        asked = queries(kind)
        assert len(tree) == len(data) and tree.npartitions == count
        if kind == "duplicates":
            assert any(part is None for part in tree._parts)
        if kind == "split":
            assert all(len(caps) > 1 for caps in tree._caps)
        check_nearest(single, tree, asked, 1)
        check_nearest(single, tree, asked, 3, wgs84=True)
        _, metres = check_nearest(single, tree, asked, 6)
        if kind == "lattice":
            # The ties the queries were placed for: equal distances, in different partitions.
            assert (metres[:, 0] == metres[:, 1]).sum() > 10
        check_nearest(single, tree, asked, 4, max_distance=300_000.0)
        assert check_within(single, tree, asked, 400_000.0) > 0
        check_within(single, tree, asked, 150_000.0, wgs84=True)
        check_within(single, tree, asked, -1.0)

    def test_nearest_far_from_every_partition(self, client):
        # All items near one place, the queries on the far side of the Earth: the partition
        # first asked holds none of the answer.
        rng = np.random.default_rng(3)
        data = around(rng, (10, 45), 3.0, 2000)
        tree = sferix.dask.PartitionedTree(dd.from_pandas(pd.DataFrame({"lon": data[:, 0], "lat": data[:, 1]}),
                                                          npartitions=2), npartitions=8)
        single = sferix.GeodeticPointTree(data)
        asked = around(rng, (-170, -45), 20.0, 200)
        check_nearest(single, tree, asked, 1)
        check_nearest(single, tree, asked, 5, wgs84=True)

    def test_routing_goes_to_few_partitions(self, client):
        data = uniform(np.random.default_rng(5), 20000)
        tree = sferix.dask.PartitionedTree(dd.from_pandas(pd.DataFrame({"lon": data[:, 0], "lat": data[:, 1]}),
                                                          npartitions=2), npartitions=8)
        asked = uniform(np.random.default_rng(6), 1000)
        joined = _partitioned.nearest(point_frame(asked, 2), tree, lon="x", lat="y", k=1, max_distance=None,
                                      wgs84=False, count=True).compute()
        assert 1 <= joined["partitions"].mean() < 1.6
        # The join ran where the trees are: none was copied to the other worker.
        holders = client.who_has([part for part in tree._parts if part is not None]).values()
        assert all(len(workers) == 1 for workers in holders) and len(set().union(*holders)) == 2
        touched = tree._router.partitions_touched(len(asked), *tree._router.within(asked, 10_000.0, False))
        assert touched.mean() < 1.3


    def test_every_tree_asked_apart(self, client, monkeypatch):
        # One group per tree: a chunk then asks several groups on each worker, and the
        # second round goes between groups on the other worker too.
        plan = _partitioned._Context.__init__

        def apart(context, tree):
            plan(context, tree)
            context.plan = [(home, [members[at]], [(0, t)], [u]) for home, members, layout, trees in context.plan
                            for (at, t), u in zip(layout, trees)]
            context.group_of = np.argsort([group[3][0] for group in context.plan])

        monkeypatch.setattr(_partitioned._Context, "__init__", apart)
        data = points("split")
        tree = sferix.dask.PartitionedTree(point_frame(data, 2).rename(columns={"x": "lon", "y": "lat"}),
                                           npartitions=2)
        assert len(tree._trees) > 4
        single = sferix.GeodeticPointTree(data)
        asked = queries("uniform")
        check_nearest(single, tree, asked, 3)
        check_within(single, tree, asked, 300_000.0)


class TestSaveAndLoad:
    @pytest.mark.parametrize("local", [False, True])
    def test_a_read_tree_answers_as_the_written_one(self, client, tmp_path, local):
        # Empty partitions in one, partitions of several trees in the other.
        data, count = (points("duplicates"), 6) if local else (points("split"), 2)
        frame = dd.from_pandas(pd.DataFrame({"lon": data[:, 0], "lat": data[:, 1]}), npartitions=3)
        single = sferix.GeodeticPointTree(data)
        asked = queries("uniform", 100)
        if local:
            with dask.config.set(scheduler="sync"):
                sferix.dask.PartitionedTree(frame, npartitions=count).to_parquet(str(tmp_path))
                check_nearest(single, sferix.dask.PartitionedTree.read(str(tmp_path)), asked, 3)
        else:
            sferix.dask.PartitionedTree(frame, npartitions=count).to_parquet(str(tmp_path))
            read = sferix.dask.PartitionedTree.read(str(tmp_path))
            assert (len(read), read.npartitions, read.kind) == (len(data), count, "point")
            check_nearest(single, read, asked, 3)
            check_within(single, read, asked, 500_000.0, wgs84=True)

    def test_a_damaged_directory_is_refused(self, client, tmp_path):
        data = points("few")
        frame = dd.from_pandas(pd.DataFrame({"lon": data[:, 0], "lat": data[:, 1]}), npartitions=1)
        sferix.dask.PartitionedTree(frame, npartitions=2).to_parquet(str(tmp_path))
        pq = pytest.importorskip("pyarrow.parquet")
        rows = pq.read_table(tmp_path / "rows-00000-0.parquet")
        pq.write_table(rows.slice(1), tmp_path / "rows-00000-0.parquet")
        with pytest.raises(ValueError, match="tree 0 of partition 0 has"):
            sferix.dask.PartitionedTree.read(str(tmp_path))


class TestGeometryFrames:
    @pytest.mark.parametrize("kind", ["linestring", "polygon"])
    def test_nearest_and_within(self, client, kind):
        shapely = pytest.importorskip("shapely")
        geopandas = pytest.importorskip("geopandas")
        dask_geopandas = pytest.importorskip("dask_geopandas")
        rng = np.random.default_rng(11)
        starts = np.vstack((uniform(rng, 300).clip([-180, -80], [176, 80]), around(rng, (178, 0), 1.0, 50)))
        if kind == "linestring":
            shapes = [shapely.LineString([(x, y), ((x + 180 + 2) % 360 - 180, y + 1)]) for x, y in starts]
        else:
            shapes = [shapely.Polygon([(x, y), (x + 1, y), (x + 1, y + 1), (x, y + 1)])
                      for x, y in starts.clip(-180, 179)]
            # Clockwise: it fills all the sphere but the square, so it bounds every partition.
            shapes[7] = shapely.Polygon([(20, 20), (20, 21), (21, 21), (21, 20)])
        frame = dask_geopandas.from_geopandas(geopandas.GeoDataFrame(geometry=shapes), npartitions=3)
        tree = sferix.dask.PartitionedTree(frame, npartitions=6)
        single = (sferix.GeodeticLineStringTree if kind == "linestring" else sferix.GeodeticPolygonTree)(shapes)
        asked = queries("uniform", 200)
        assert tree.kind == kind
        check_nearest(single, tree, asked, 1)
        check_nearest(single, tree, asked, 4)
        check_within(single, tree, asked, 0.0 if kind == "polygon" else 50_000.0)


class TestErrors:
    def test_bad_input(self, client):
        data = points("few")
        frame = dd.from_pandas(pd.DataFrame({"lon": data[:, 0], "lat": data[:, 1]}), npartitions=1)
        with pytest.raises(ValueError, match="no column named 'lon'"):
            sferix.dask.PartitionedTree(frame.rename(columns={"lon": "x"}))
        with pytest.raises(ValueError, match="npartitions must be"):
            sferix.dask.PartitionedTree(frame, npartitions=0)
        bad = data.copy()
        bad[17, 1] = 95.0
        with pytest.raises(sferix.GeodeticError, match="^row 17: latitude 95"):
            sferix.dask.PartitionedTree(dd.from_pandas(pd.DataFrame({"lon": bad[:, 0], "lat": bad[:, 1]}),
                                                       npartitions=2), npartitions=3)
        tree = sferix.dask.PartitionedTree(frame, npartitions=2)
        with pytest.raises(ValueError, match="k must be at least 1"):
            sferix.dask.nearest(point_frame(data, 1), tree, lon="x", lat="y", k=0)
        asked = data.copy()
        asked[4, 1] = -91.0
        with pytest.raises(sferix.GeodeticError, match="^row 17: latitude -91"):
            sferix.dask.within_distance(point_frame(asked, 2), tree, 1.0, lon="x", lat="y").compute()
        with pytest.raises(sferix.GeodeticError, match="^row 17: latitude -91"):
            sferix.dask.nearest(point_frame(asked, 2), tree, lon="x", lat="y").compute()
        # Past a bound by a few ulps is the bound, as in the array queries.
        asked[4, 1] = np.nextafter(-90.0, -91.0)
        check_nearest(sferix.GeodeticPointTree(data), tree, asked, 2)
