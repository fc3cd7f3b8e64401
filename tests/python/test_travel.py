"""Trees and geometries that travel: binary form, pickle and copy."""

import copy
import gc
import math
import pickle
import random
import sys

import pytest

import sferix

RING = [(170.0, -10.0), (-170.0, -10.0), (-170.0, 10.0), (170.0, 10.0), (170.0, -10.0)]
HOLE = [(178.0, -2.0), (178.0, 2.0), (-178.0, 2.0), (-178.0, -2.0), (178.0, -2.0)]


def random_coords(count, seed):
    rng = random.Random(seed)
    return [(rng.uniform(-180, 180), rng.uniform(-90, 90)) for _ in range(count)]


def point_tree(count):
    return sferix.GeodeticPointTree(random_coords(count, count))


def line_tree(count):
    coords = random_coords(2 * count, 7)
    return sferix.GeodeticLineStringTree([[coords[2 * i], coords[2 * i + 1]] for i in range(count)])


def polygon_tree(count, oriented=True):
    polygons = [[RING, HOLE]] + [[[(lon, lat), (lon + 1, lat), (lon, lat + 1), (lon, lat)]]
                                 for lon, lat in random_coords(count - 1, 3) if lon < 179 and lat < 89]
    return sferix.GeodeticPolygonTree(polygons[:count], oriented=oriented)


def big_ring_tree(count):
    # Rings this long get an edge index, which a loaded tree must build again.
    circle = [(20 * math.cos(2 * math.pi * k / 3000), 20 * math.sin(2 * math.pi * k / 3000)) for k in range(3000)]
    return sferix.GeodeticPolygonTree([[circle + circle[:1]]] * count)


TREES = {
    "point": point_tree,
    "linestring": line_tree,
    "polygon": polygon_tree,
    "polygon-unoriented": lambda count: polygon_tree(count, oriented=False),
    "polygon-big-ring": big_ring_tree,
}


def answers(tree):
    queries = random_coords(40, 99) + [(180.0, 0.0), (0.0, 90.0)]
    return [(tree.nearest_with_distance(q), sorted(tree.within_distance(q, 2e6, return_distance=True)))
            for q in queries]


def round_trips(obj):
    yield type(obj).from_bytes(obj.to_bytes())
    yield type(obj).from_bytes(memoryview(obj.to_bytes()))
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        yield pickle.loads(pickle.dumps(obj, protocol=protocol))
    buffers = []
    stream = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and len(stream) < 200
    yield pickle.loads(stream, buffers=buffers)


class TestTreeRoundTrip:
    @pytest.mark.parametrize("kind", TREES)
    @pytest.mark.parametrize("count", [0, 1, 300])
    def test_answers_as_the_saved_tree(self, kind, count):
        tree = TREES[kind](count)
        expected = answers(tree)
        for loaded in round_trips(tree):
            assert type(loaded) is type(tree)
            assert len(loaded) == len(tree)
            assert loaded.to_bytes() == tree.to_bytes()
            assert answers(loaded) == expected

    @pytest.mark.parametrize("kind", TREES)
    def test_copies_are_the_object(self, kind):
        tree = TREES[kind](5)
        assert copy.copy(tree) is tree
        assert copy.deepcopy(tree) is tree

    def test_loaded_point_tree_keeps_wgs84_answers(self):
        tree = point_tree(500)
        loaded = pickle.loads(pickle.dumps(tree))
        for q in random_coords(20, 5):
            assert loaded.nearest_with_distance_wgs84(q) == tree.nearest_with_distance_wgs84(q)
            assert loaded.in_rectangle((170, -20), (-170, 20)) == tree.in_rectangle((170, -20), (-170, 20))


class TestLoadedPointTreeMemory:
    """A point tree loaded from bytes reads them in place and keeps them alive; anything
    else is copied first. Odd counts put the coordinates off their alignment."""

    @pytest.mark.parametrize("count", [300, 301])
    def test_tree_holds_its_bytes_until_it_goes(self, count):
        tree = point_tree(count)
        data = tree.to_bytes()
        before = sys.getrefcount(data)
        loaded = sferix.GeodeticPointTree.from_bytes(data)
        assert sys.getrefcount(data) == before + 1
        del loaded
        assert sys.getrefcount(data) == before

    @pytest.mark.parametrize("count", [300, 301])
    def test_tree_outlives_its_source(self, count):
        tree = point_tree(count)
        expected = answers(tree)
        from_bytes = sferix.GeodeticPointTree.from_bytes(tree.to_bytes())
        stream = pickle.dumps(tree, protocol=5)
        unpickled = pickle.loads(stream)
        del stream
        mutable = bytearray(tree.to_bytes())
        from_bytearray = sferix.GeodeticPointTree.from_bytes(mutable)
        mutable[32:] = bytes(len(mutable) - 32)
        gc.collect()
        for loaded in (from_bytes, unpickled, from_bytearray):
            assert answers(loaded) == expected
            assert loaded.to_bytes() == tree.to_bytes()


class TestValueRoundTrip:
    @pytest.mark.parametrize("value", [
        sferix.GeodeticPointTree([(-180.0, -0.0)])[0],
        sferix.GeodeticLineStringTree([[(179.0, 0.0), (-179.0, 1.0)]])[0],
        sferix.GeodeticPolygonTree([[RING, HOLE]], oriented=False)[0],
    ], ids=["point", "linestring", "polygon"])
    def test_geometry_survives(self, value):
        for loaded in round_trips(value):
            assert type(loaded) is type(value)
            assert repr(loaded) == repr(value)
            assert loaded.__geo_interface__ == value.__geo_interface__
        assert copy.deepcopy(value) is value

    def test_polygon_keeps_its_fill(self):
        # A clockwise ring: filled as the rest of the sphere unless unoriented.
        clockwise = [list(reversed(RING))]
        for oriented in (True, False):
            tree = sferix.GeodeticPolygonTree([clockwise], oriented=oriented)
            loaded = pickle.loads(pickle.dumps(tree))
            assert loaded.nearest((0.0, 0.0)) == tree.nearest((0.0, 0.0))
            assert loaded.nearest_with_distance((0.0, 0.0)) == tree.nearest_with_distance((0.0, 0.0))


class TestHostileBuffers:
    @pytest.mark.parametrize("cls, obj", [
        (sferix.GeodeticPointTree, point_tree(50)),
        (sferix.GeodeticPolygonTree, polygon_tree(5)),
        (sferix.LineString, line_tree(1)[0]),
    ], ids=["point-tree", "polygon-tree", "linestring"])
    def test_truncated_and_flipped_buffers_raise_value_error(self, cls, obj):
        data = obj.to_bytes()
        for length in range(len(data)):
            with pytest.raises(ValueError, match="offset"):
                cls.from_bytes(data[:length])
        rng = random.Random(1)
        for _ in range(500):
            flipped = bytearray(data)
            bit = rng.randrange(len(data) * 8)
            flipped[bit // 8] ^= 1 << (bit % 8)
            try:
                cls.from_bytes(flipped)
            except ValueError:
                pass

    def test_wrong_kind_and_type(self):
        data = point_tree(3).to_bytes()
        with pytest.raises(ValueError, match="kind"):
            sferix.GeodeticLineStringTree.from_bytes(data)
        with pytest.raises(TypeError):
            sferix.GeodeticPointTree.from_bytes(3.5)


def as_version_1(data):
    """The same tree of single geometries in the first format version, which has no
    checksum and no part count before each linestring or polygon item."""
    kind = int.from_bytes(data[12:16], "little")
    body = data[32:-8]
    if kind in (2, 3):
        items, at, rest = int.from_bytes(data[16:24], "little"), 0, bytearray()
        for _ in range(items):
            assert body[at:at + 4] == bytes(4)  # a single geometry
            at += 4
            start = at
            rings = 1
            if kind == 3:
                rings = int.from_bytes(body[at + 4:at + 8], "little")
                at += 8
            for _ in range(rings):
                at += 8 + 16 * int.from_bytes(body[at:at + 8], "little")
            rest += body[start:at]
        body = bytes(rest)
    return data[:8] + (1).to_bytes(4, "little") + data[12:32] + body


def mutated(data, rng):
    buffer = bytearray(data)
    how = rng.randrange(5)
    if how == 0:
        bit = rng.randrange(len(buffer) * 8)
        buffer[bit // 8] ^= 1 << (bit % 8)
    elif how == 1:
        at = rng.randrange(len(buffer) - 8)
        buffer[at:at + 8] = rng.randbytes(8)
    elif how == 2:
        a, b = rng.randrange(len(buffer) - 8), rng.randrange(len(buffer) - 8)
        buffer[a:a + 8], buffer[b:b + 8] = buffer[b:b + 8], buffer[a:a + 8]
    elif how == 3:
        del buffer[rng.randrange(len(buffer)):]
    else:
        buffer += rng.randbytes(rng.randint(1, 16))
    return bytes(buffer)


def answers(tree):
    queries = [(2.35, 48.86), (-74.0, 40.7), (179.9, -89.0)]
    found = [tree.nearest_with_distance(q) for q in queries] + [tree.within_distance(q, 3e6) for q in queries]
    return found + [g.to_bytes() for g in tree.geometries()]


class TestDamagedBuffers:
    # The checksum (and for points the leaf vectors) must turn damage into ValueError:
    # a buffer that loads answers as the saved tree (benchmarks/python/fuzz_binary_form.py
    # runs 27,000).
    @pytest.mark.parametrize("obj", [point_tree(40), line_tree(20), polygon_tree(5)],
                             ids=["point-tree", "linestring-tree", "polygon-tree"])
    def test_mutated_buffers_refused_or_unchanged(self, obj):
        data = obj.to_bytes()
        expected = answers(obj)
        rng = random.Random(2)
        for _ in range(300):
            buffer = mutated(data, rng)
            try:
                loaded = type(obj).from_bytes(buffer)
            except ValueError:
                continue
            assert answers(loaded) == expected

    def test_damage_is_named_as_such_and_version_1_still_loads(self):
        tree = point_tree(30)
        data = bytearray(tree.to_bytes())
        data[100] ^= 1
        with pytest.raises(ValueError, match=rf"^GeodeticPointTree.from_bytes: checksum at offset {len(data) - 8}: "
                                             r"the data differ from the data written \(damaged or altered\)$"):
            sferix.GeodeticPointTree.from_bytes(data)
        for obj in [tree, line_tree(3), polygon_tree(2)]:
            old = type(obj).from_bytes(as_version_1(obj.to_bytes()))
            assert old.to_bytes() == obj.to_bytes()
        with pytest.raises(ValueError, match=r"format version at offset 8: 4, this build reads versions 1 to 3"):
            sferix.GeodeticPointTree.from_bytes(data[:8] + (4).to_bytes(4, "little") + data[12:])

    def test_leaves_swapped_without_their_coordinates_are_refused(self):
        # Paris, Berlin, London: with two leaves' positions swapped, the sphere would
        # answer Berlin for Paris while the ellipsoid answered London.
        data = bytearray(as_version_1(sferix.GeodeticPointTree([(2.35, 48.86), (13.4, 52.52), (-0.13, 51.5)]).to_bytes()))
        leaves = 32 + 56
        first, second = leaves + 24, leaves + 28 + 24
        data[first:first + 4], data[second:second + 4] = data[second:second + 4], data[first:first + 4]
        with pytest.raises(ValueError, match=r"leaf 0 at offset 88: vector is not that of its point's coordinate"):
            sferix.GeodeticPointTree.from_bytes(bytes(data))
