#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "index/tree_format.hpp"
#include "indexed_testing.hpp"

namespace sferix::indexed {
namespace {

using geodetic::GeodeticPoint;
using indexed::PointTree;

PointTree tree_of(std::size_t count, unsigned seed) {
    std::mt19937_64 random(seed);
    return geodetic::testing::point_tree(geodetic::testing::random_point_coords(random, count));
}

// Every position within `radius` of `query`, with its squared chord, in walk order.
std::vector<std::pair<std::uint64_t, double>> within(const PointTree& tree, const GeodeticPoint& query, double radius) {
    std::vector<std::pair<std::uint64_t, double>> found;
    for (const auto& [leaf, distance_2] : tree.locate_within_distance(query, radius)) {
        found.emplace_back(leaf->data(), distance_2);
    }
    return found;
}

TEST(PointTreeFormat, RoundTripAnswersAsTheSavedTree) {
    for (std::size_t count : {0, 1, 7, 1000}) {
        const PointTree tree = tree_of(count, 11);
        const std::vector<std::byte> data = encode_point_tree(tree);
        LoadResult<PointTree> loaded = try_decode_point_tree(data);
        ASSERT_TRUE(std::holds_alternative<PointTree>(loaded)) << std::get<FormatError>(loaded).message;
        const PointTree& copy = std::get<PointTree>(loaded);
        ASSERT_EQ(copy.size(), tree.size());
        EXPECT_EQ(encode_point_tree(copy), data);
        ASSERT_EQ(copy.min_positions().size(), tree.min_positions().size());
        EXPECT_TRUE(std::equal(copy.min_positions().begin(), copy.min_positions().end(), tree.min_positions().begin()));
        for (double lon : {-179.5, 0.0, 120.0}) {
            const GeodeticPoint query = GeodeticPoint::try_new(lon, 10.0).value();
            EXPECT_EQ(within(copy, query, 3e6), within(tree, query, 3e6));
        }
    }
}

// Whether `inner` lies within `outer`'s bytes.
template <typename E>
bool lies_in(std::span<const E> inner, std::span<const std::byte> outer) {
    const auto* begin = reinterpret_cast<const std::byte*>(inner.data());
    return begin >= outer.data() && begin + inner.size_bytes() <= outer.data() + outer.size();
}

// With a keeper the tree reads the aligned arrays where they lie in the buffer and
// keeps the buffer alive; what lies unaligned (the coordinates after an odd number of
// 28-byte leaves, or every 8-byte array of a buffer shifted by one) is copied. Either
// way the tree answers, saves and counts its memory as the tree that was saved.
TEST(PointTreeFormat, KeeperLetsTheTreeReadTheBufferInPlaceAndOutliveIt) {
    const GeodeticPoint query = GeodeticPoint::try_new(35.0, 40.0).value();
    for (std::size_t count : {1000, 999}) {
        for (std::size_t shift : {0, 1}) {
            const PointTree tree = tree_of(count, 4);
            const std::vector<std::byte> saved = encode_point_tree(tree);
            auto held = std::make_shared<std::vector<std::byte>>(shift, std::byte{0});
            held->insert(held->end(), saved.begin(), saved.end());
            const std::span<const std::byte> data = std::span<const std::byte>(*held).subspan(shift);
            LoadResult<PointTree> loaded = try_decode_point_tree(data, held);
            ASSERT_TRUE(std::holds_alternative<PointTree>(loaded)) << std::get<FormatError>(loaded).message;
            const PointTree& copy = std::get<PointTree>(loaded);
            const rtree::FlatTreeView<indexed::PointLeaf> view = copy.rtree().view();
            EXPECT_TRUE(lies_in(view.leaves, data));
            EXPECT_EQ(lies_in(view.nodes, data), shift == 0);
            EXPECT_EQ(lies_in(copy.coords(), data), shift == 0 && count % 2 == 0);

            const std::weak_ptr<std::vector<std::byte>> watch = held;
            held.reset();
            EXPECT_FALSE(watch.expired());
            EXPECT_EQ(encode_point_tree(copy), saved);
            EXPECT_EQ(within(copy, query, 2e6), within(tree, query, 2e6));
            EXPECT_EQ(copy.heap_bytes(), std::get<PointTree>(try_decode_point_tree(saved)).heap_bytes());
            loaded = FormatError{"dropped"};
            EXPECT_TRUE(watch.expired());
        }
    }
}

// Each buffer must be refused with a message, never crash or read outside it (the
// sanitizer build checks the latter).
void expect_refused(const std::vector<std::byte>& data) {
    LoadResult<PointTree> loaded = try_decode_point_tree(data);
    ASSERT_TRUE(std::holds_alternative<FormatError>(loaded));
    EXPECT_FALSE(std::get<FormatError>(loaded).message.empty());
}

template <typename T>
void poke(std::vector<std::byte>& data, std::size_t offset, T value) {
    std::memcpy(data.data() + offset, &value, sizeof(T));
}

// The checksum made right again after an edit, as a deliberate edit would.
std::vector<std::byte> resealed(std::vector<std::byte> data) {
    const std::size_t covered = data.size() - CHECKSUM_BYTES;
    poke<std::uint64_t>(data, covered, payload_checksum(std::span(data).first(covered)));
    return data;
}

// The same buffer in format version 1: no checksum.
std::vector<std::byte> as_version_1(const std::vector<std::byte>& data) {
    std::vector<std::byte> old(data.begin(), data.end() - static_cast<std::ptrdiff_t>(CHECKSUM_BYTES));
    poke<std::uint32_t>(old, 8, 1);
    return old;
}

std::string refusal(const std::vector<std::byte>& data) {
    LoadResult<PointTree> loaded = try_decode_point_tree(data);
    return std::holds_alternative<FormatError>(loaded) ? std::get<FormatError>(loaded).message : "loaded";
}

TEST(PointTreeFormat, RefusesEveryTruncation) {
    const std::vector<std::byte> data = encode_point_tree(tree_of(40, 3));
    for (std::size_t length = 0; length < data.size(); ++length) {
        expect_refused(std::vector<std::byte>(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length)));
    }
}

TEST(PointTreeFormat, RefusesCraftedFields) {
    const std::vector<std::byte> good = encode_point_tree(tree_of(40, 5));
    const std::size_t nodes = 32;
    const auto crafted = [&good](auto edit) {
        std::vector<std::byte> data = good;
        edit(data);
        return resealed(std::move(data));
    };
    expect_refused(crafted([](auto& d) { poke<std::uint32_t>(d, 8, FORMAT_VERSION + 1); }));  // version
    expect_refused(crafted([](auto& d) { poke<std::uint32_t>(d, 8, 0); }));
    expect_refused(crafted([](auto& d) { poke<std::uint32_t>(d, 12, 2); }));                  // kind
    expect_refused(crafted([](auto& d) { poke<std::uint64_t>(d, 16, UINT64_MAX); }));         // huge count
    expect_refused(crafted([](auto& d) { poke<std::uint64_t>(d, 24, UINT64_MAX / 56); }));    // huge nodes
    expect_refused(crafted([&](auto& d) { poke<std::uint32_t>(d, nodes + 48, 4000); }));      // child range
    expect_refused(crafted([&](auto& d) { poke<std::uint32_t>(d, nodes + 48, 0); }));         // root's own child
    expect_refused(crafted([&](auto& d) { poke<std::uint16_t>(d, nodes + 52, 9); }));         // too many children
    expect_refused(crafted([&](auto& d) { poke<double>(d, nodes, std::nan("")); }));          // NaN box
    const std::size_t end = good.size() - CHECKSUM_BYTES;  // of the body
    expect_refused(crafted([&](auto& d) { poke<double>(d, end - 8, std::nan("")); }));   // NaN latitude
    expect_refused(crafted([&](auto& d) { poke<double>(d, end - 16, 181.0); }));         // longitude range
    expect_refused(crafted([&](auto& d) { poke<std::uint32_t>(d, end - 40 * 16 - 4, 40); }));  // position
    expect_refused(crafted([&](auto& d) { poke<double>(d, end - 40 * 16 - 28, 2.0); }));  // not unit
    expect_refused(crafted([&](auto& d) { poke<double>(d, end - 40 * 16 - 28, std::nan("")); }));  // NaN
    expect_refused(crafted([](auto& d) { d.push_back(std::byte{0}); }));                      // trailing byte
}

// The checksum refuses any change it was not recomputed for; a version 1 buffer has
// none and still loads.
TEST(PointTreeFormat, ChecksumRefusesChangesAndVersion1StillLoads) {
    const PointTree tree = tree_of(40, 6);
    const std::vector<std::byte> good = encode_point_tree(tree);
    EXPECT_EQ(refusal(good), "loaded");
    std::vector<std::byte> flipped = good;
    flipped[100] ^= std::byte{4};
    EXPECT_EQ(refusal(flipped), "checksum at offset " + std::to_string(good.size() - 8) +
                                    ": the data differ from the data written (damaged or altered)");
    const std::vector<std::byte> old = as_version_1(good);
    LoadResult<PointTree> loaded = try_decode_point_tree(old);
    ASSERT_TRUE(std::holds_alternative<PointTree>(loaded));
    const GeodeticPoint query = GeodeticPoint::try_new(20.0, -5.0).value();
    EXPECT_EQ(within(std::get<PointTree>(loaded), query, 1e7), within(tree, query, 1e7));
    EXPECT_NE(refusal(std::vector<std::byte>(old.begin(), old.begin() + 20)).find("header"), std::string::npos);

    // Written and summed a block at a time on every core: nodes cut by block edges
    // come out whole, and damage past the first block is seen.
    const PointTree large = tree_of(50'000, 8);
    std::vector<std::byte> big = encode_point_tree(large);
    ASSERT_GT(big.size(), std::size_t{2} << 20);
    LoadResult<PointTree> big_loaded = try_decode_point_tree(big);
    ASSERT_TRUE(std::holds_alternative<PointTree>(big_loaded));
    EXPECT_EQ(within(std::get<PointTree>(big_loaded), query, 1e6), within(large, query, 1e6));
    big[(std::size_t{3} << 19) + 5] ^= std::byte{1};
    EXPECT_NE(refusal(big).find("checksum"), std::string::npos);
}

// Two leaves' positions swapped, the checksum made right: each vector then belongs to
// the other's coordinate, which the loader sees (queries by vector and by coordinate
// would disagree). So does a coordinate moved without its vector, in version 1 too.
TEST(PointTreeFormat, RefusesLeafVectorsThatAreNotTheirCoordinates) {
    const std::vector<std::byte> good = encode_point_tree(tree_of(3, 7));
    const std::size_t leaves = 32 + 56;  // one node
    std::vector<std::byte> swapped = good;
    std::swap_ranges(swapped.begin() + leaves + 24, swapped.begin() + leaves + 28, swapped.begin() + leaves + 28 + 24);
    EXPECT_NE(refusal(resealed(swapped)).find("vector is not that of its point's coordinate"), std::string::npos);
    std::vector<std::byte> moved = as_version_1(good);
    poke<double>(moved, moved.size() - 16, 179.5);
    EXPECT_NE(refusal(moved).find("vector is not that of its point's coordinate"), std::string::npos);
}

// A buffer with a checksum is checked in one pass on every core, a version 1 buffer
// check by check: the same edit must get the same verdict from both, resealed in the
// first. Bit flips anywhere in the body, and deliberate edits: a leaf given its twin's
// position (every point is there twice, so only the repeat is wrong), two leaves'
// positions swapped, a leaf-level node's range moved. The large tree's nodes are shared
// out among several tasks, so a repeat may span two of them.
TEST(PointTreeFormat, OnePassRefusesWhatTheChecksOneAtATimeRefuse) {
    std::mt19937_64 random(23);
    // 120,000 points take six checksum blocks, whose nodes the one pass checks on
    // different threads.
    for (const std::size_t half : {1, 20, 350, 20'000, 60'000}) {
        std::vector<geodetic::LonLat> coords = geodetic::testing::random_point_coords(random, half);
        coords.insert(coords.end(), coords.begin(), coords.end());
        const std::size_t count = coords.size();
        const std::vector<std::byte> good = encode_point_tree(geodetic::testing::point_tree(coords));
        const std::vector<std::byte> old = as_version_1(good);
        std::uint64_t nodes = 0;
        std::memcpy(&nodes, good.data() + 24, sizeof(nodes));
        const std::size_t leaves = 32 + nodes * 56;
        const auto same_verdict = [&](const std::string& what, auto edit) {
            std::vector<std::byte> sealed = good;
            std::vector<std::byte> unsealed = old;
            edit(sealed);
            edit(unsealed);
            EXPECT_EQ(refusal(resealed(std::move(sealed))), refusal(unsealed)) << count << " points, " << what;
        };
        for (int flip = 0; flip < (count > 1000 ? 60 : 400); ++flip) {
            const std::size_t bit = 32 * 8 + random() % ((old.size() - 32) * 8);
            same_verdict("bit " + std::to_string(bit), [bit](std::vector<std::byte>& d) {
                d[bit / 8] ^= std::byte{static_cast<unsigned char>(1u << (bit % 8))};
            });
        }
        const auto position_at = [&](std::size_t leaf) { return leaves + leaf * 28 + 24; };
        std::vector<std::size_t> leaf_of(count);
        for (std::size_t leaf = 0; leaf < count; ++leaf) {
            std::uint32_t position = 0;
            std::memcpy(&position, good.data() + position_at(leaf), sizeof(position));
            leaf_of[position] = leaf;
        }
        for (int edit = 0; edit < 10; ++edit) {
            const std::size_t position = random() % half;
            const std::size_t a = leaf_of[position];
            const std::size_t twin = leaf_of[position + half];
            const std::size_t other = random() % count;
            same_verdict("repeat", [&](std::vector<std::byte>& d) {
                std::copy_n(d.begin() + position_at(a), 4, d.begin() + position_at(twin));
            });
            same_verdict("swap", [&](std::vector<std::byte>& d) {
                std::swap_ranges(d.begin() + position_at(a), d.begin() + position_at(a) + 4,
                                 d.begin() + position_at(other));
            });
        }
        const std::size_t last = 32 + (nodes - 1) * 56;  // a leaf-level node: children follow parents
        for (const std::int64_t shift : {-1, 1}) {
            same_verdict("range", [&](std::vector<std::byte>& d) {
                std::uint32_t first = 0;
                std::memcpy(&first, d.data() + last + 48, sizeof(first));
                poke<std::uint32_t>(d, last + 48, static_cast<std::uint32_t>(first + shift));
            });
        }
        // A node given another's children (the last leaf-level node the first one's
        // leaves, a child node its sibling's), and two nodes' children swapped.
        const std::size_t leaf_level = nodes - (count + 15) / 16;  // 16 leaves a node below 2^22 points
        for (const std::size_t node : {leaf_level, nodes / 2, std::min<std::size_t>(1, nodes - 1)}) {
            const std::size_t from = 32 + node * 56;
            same_verdict("claim", [&](std::vector<std::byte>& d) {
                std::copy_n(d.begin() + from + 48, 6, d.begin() + last + 48);
            });
            same_verdict("swap children", [&](std::vector<std::byte>& d) {
                std::swap_ranges(d.begin() + from + 48, d.begin() + from + 54, d.begin() + last + 48);
            });
        }
    }
}

TEST(PointTreeFormat, RefusesOrAcceptsEveryBitFlipWithoutHarm) {
    // Version 1, without the checksum that would refuse them all.
    const std::vector<std::byte> good = as_version_1(encode_point_tree(tree_of(30, 9)));
    const GeodeticPoint query = GeodeticPoint::try_new(20.0, -5.0).value();
    for (std::size_t bit = 0; bit < good.size() * 8; ++bit) {
        std::vector<std::byte> data = good;
        data[bit / 8] ^= std::byte{static_cast<unsigned char>(1u << (bit % 8))};
        LoadResult<PointTree> loaded = try_decode_point_tree(data);
        // Some flips still load (a coordinate's low bits; a vector's sign, when
        // another leaf keeps the box): the walks must then find exactly what a scan of
        // the loaded leaves finds.
        if (auto* copy = std::get_if<PointTree>(&loaded)) {
            const double bound_2 = geodetic::metres_to_squared_chord(1e7);
            std::vector<std::uint64_t> expected;
            for (const indexed::PointLeaf& leaf : copy->rtree().view().leaves) {
                if (leaf.distance_2(query.vector()) <= bound_2) {
                    expected.push_back(leaf.data());
                }
            }
            std::vector<std::uint64_t> found;
            for (const auto& [position, distance_2] : within(*copy, query, 1e7)) {
                found.push_back(position);
            }
            std::sort(expected.begin(), expected.end());
            std::sort(found.begin(), found.end());
            EXPECT_EQ(found, expected) << "bit " << bit;
        }
    }
}

TEST(PointTreeFormat, RefusesRandomBytesBehindAValidHeader) {
    std::mt19937_64 random(17);
    const std::vector<std::byte> good = as_version_1(encode_point_tree(tree_of(20, 1)));
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<std::byte> data(good.begin(), good.begin() + 32);
        data.resize(32 + random() % 2000);
        for (std::size_t i = 32; i < data.size(); ++i) {
            data[i] = static_cast<std::byte>(random());
        }
        poke<std::uint64_t>(data, 16, random() % 64);
        poke<std::uint64_t>(data, 24, random() % 16);
        expect_refused(data);
    }
}

TEST(GeometryFormat, RoundTripsAndRefusesBadGeometry) {
    const auto line = geodetic::GeodeticLineString::try_from_lonlat({{179.0, 0.0}, {-179.0, 1.0}}).value();
    const auto ring = geodetic::GeodeticRing::try_from_lonlat({{0, 0}, {0, 10}, {10, 0}, {0, 0}}).value();
    const auto polygon = geodetic::GeodeticPolygon::try_new(ring, {}, geodetic::Fill::SmallerRegion).value();
    const auto line_data = encode_linestring(line);
    const auto polygon_data = encode_polygon(polygon);
    ASSERT_TRUE(std::holds_alternative<geodetic::GeodeticLineString>(try_decode_linestring(line_data)));
    const auto decoded = try_decode_polygon(polygon_data);
    ASSERT_TRUE(std::holds_alternative<geodetic::GeodeticPolygon>(decoded));
    EXPECT_EQ(std::get<geodetic::GeodeticPolygon>(decoded).fill(), geodetic::Fill::SmallerRegion);
    EXPECT_EQ(encode_polygon(std::get<geodetic::GeodeticPolygon>(decoded)), polygon_data);

    auto unclosed = polygon_data;
    poke<double>(unclosed, unclosed.size() - 16, 1.0);  // last vertex no longer the first
    EXPECT_TRUE(std::holds_alternative<FormatError>(try_decode_polygon(unclosed)));
    auto huge = line_data;
    poke<std::uint64_t>(huge, 32, UINT64_MAX);  // vertex count
    EXPECT_TRUE(std::holds_alternative<FormatError>(try_decode_linestring(huge)));
    EXPECT_TRUE(std::holds_alternative<FormatError>(try_decode_polygon(line_data)));  // wrong kind
    for (std::size_t length = 0; length < polygon_data.size(); ++length) {
        EXPECT_TRUE(std::holds_alternative<FormatError>(
            try_decode_polygon({polygon_data.data(), length})));
    }
}

TEST(GeometryFormat, MultipartItemsRoundTripAndHugePartCountsAllocateNothing) {
    using geodetic::testing::polygon;
    std::vector<geodetic::GeodeticPolygon> parts;
    parts.push_back(*polygon({{0, 0}, {1, 0}, {1, 1}, {0, 0}}));
    parts.push_back(*polygon({{5, 5}, {6, 5}, {6, 6}, {5, 5}}));
    const auto multi = std::make_shared<const geodetic::PolygonItem>(geodetic::PolygonItem::of_parts(std::move(parts)));
    const auto single = geodetic::testing::single_item(polygon({{9, 9}, {10, 9}, {10, 10}, {9, 9}}));
    const std::vector<std::shared_ptr<const geodetic::PolygonItem>> items{multi, single};
    const std::vector<std::byte> data = encode_polygons(items);
    const auto decoded = try_decode_polygons(data);
    ASSERT_TRUE(std::holds_alternative<std::vector<geodetic::PolygonItem>>(decoded));
    const auto& loaded = std::get<std::vector<geodetic::PolygonItem>>(decoded);
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_TRUE(loaded[0].is_multipart() && loaded[0].part_count() == 2);
    EXPECT_FALSE(loaded[1].is_multipart());
    EXPECT_EQ(loaded[0].part(1).exterior().coords()[1].lon(), 6.0);
    EXPECT_EQ(encode_polygons(std::vector{std::make_shared<const geodetic::PolygonItem>(loaded[0]), single}), data);

    auto huge = data;
    poke<std::uint32_t>(huge, 32, UINT32_MAX);  // the first item's part count
    EXPECT_TRUE(std::holds_alternative<FormatError>(try_decode_polygons(huge)));
    for (std::size_t length = 0; length < data.size(); ++length) {
        EXPECT_TRUE(std::holds_alternative<FormatError>(try_decode_polygons({data.data(), length})));
    }
    // A multipart value's buffer must hold a multipart item.
    auto one = encode_multipolygon(*multi);
    ASSERT_TRUE(std::holds_alternative<geodetic::PolygonItem>(try_decode_multipolygon(one)));
    EXPECT_TRUE(std::holds_alternative<FormatError>(try_decode_multipolygon(encode_polygons({&single, 1}))));
}

}  // namespace
}  // namespace sferix::indexed
