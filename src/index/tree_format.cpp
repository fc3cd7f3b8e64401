#include "index/tree_format.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "geodetic/embedding.hpp"
#include "rtree/params.hpp"
#include "rtree/validate.hpp"
#include "support/checksum.hpp"
#include "support/chunked_run.hpp"
#include "support/huge_pages.hpp"
#include "support/panic.hpp"

namespace sferix::indexed {

static_assert(std::endian::native == std::endian::little, "the binary form is written as the machine stores it");

namespace {

constexpr std::array<std::byte, 8> MAGIC{std::byte{'S'}, std::byte{'F'}, std::byte{'E'}, std::byte{'R'},
                                         std::byte{'I'}, std::byte{'X'}, std::byte{0},   std::byte{1}};
constexpr std::size_t NODE_BYTES = 56;
constexpr std::size_t COORD_BYTES = 16;
constexpr std::size_t LEAF_BYTES = 28;
static_assert(sizeof(indexed::PointLeaf) == LEAF_BYTES && std::is_trivially_copyable_v<indexed::PointLeaf>);
// How far a stored leaf vector's squared norm may be from 1: embed() gives unit vectors
// within a few ulps (|x² + y² + z² − 1| ≤ 4e-16 seen); a thousand times that still
// refuses any vector that is not on the sphere for rounding reasons alone.
constexpr double UNIT_NORM_2_TOLERANCE = 1e-12;

using geodetic::GeodeticCoord;
using geodetic::UnitVec;
using Node = rtree::FlatNode<UnitVec>;
using Box = rtree::AABB<UnitVec>;

// A loaded tree reads its three arrays in place, so a stored node and coordinate must
// be laid out as in memory (a node's last byte is padding there, 0 in the buffer).
static_assert(sizeof(Node) == NODE_BYTES && std::is_trivially_copyable_v<Node> && std::is_standard_layout_v<Node>);
static_assert(sizeof(Box) == 48 && offsetof(Node, first) == 48 && offsetof(Node, count) == 52 &&
              offsetof(Node, leaf_children) == 54 && sizeof(bool) == 1);
static_assert(sizeof(GeodeticCoord) == COORD_BYTES && std::is_trivially_copyable_v<GeodeticCoord> &&
              std::is_standard_layout_v<GeodeticCoord>);

// The checksum of the bytes before it: XXH64 of the XXH64 digests (u64 each) of the
// covered bytes' CHECKSUM_BLOCK_BYTES blocks, the last one shorter. In blocks so that
// writing and checking run on every core, a block each (from memory, one core sums
// ~3 GB/s: 20 ms of a 61 MB tree's load); the sum of sums detects what one sum would.
constexpr std::size_t CHECKSUM_BLOCK_BYTES = std::size_t{1} << 20;

std::size_t checksum_blocks(std::size_t covered) noexcept {
    return std::max<std::size_t>(1, (covered + CHECKSUM_BLOCK_BYTES - 1) / CHECKSUM_BLOCK_BYTES);
}

std::uint64_t combined_checksum(std::span<const std::uint64_t> block_digests) noexcept {
    return support::Checksum64::of(std::as_bytes(block_digests));
}

// Runs block(j) for every block of a covered size, on every core (a stop check each).
template <typename Block>
void for_each_checksum_block(std::size_t covered, const Block& block) {
    const support::ChunkedRunOptions options{.workers = support::usable_cores(), .chunk_size = 1};
    support::run_chunked(
        checksum_blocks(covered), options,
        [&](std::size_t first, std::size_t last) {
            support::StopCheck stop;
            for (std::size_t j = first; j < last; ++j) {
                stop.visit(support::STOP_CHECK_VISITS / 16);
                block(j);
            }
        },
        [] { return true; });
}

}  // namespace

std::uint64_t payload_checksum(std::span<const std::byte> covered) {
    std::vector<std::uint64_t> digests(checksum_blocks(covered.size()));
    for_each_checksum_block(covered.size(), [&](std::size_t j) {
        const std::size_t at = j * CHECKSUM_BLOCK_BYTES;
        digests[j] = support::Checksum64::of(covered.subspan(at, std::min(CHECKSUM_BLOCK_BYTES, covered.size() - at)));
    });
    return combined_checksum(digests);
}

namespace {

class Writer {
public:
    template <typename T>
    void put(T value) {
        const std::size_t at = bytes_.size();
        bytes_.resize(at + sizeof(T));
        std::memcpy(bytes_.data() + at, &value, sizeof(T));
    }

    void header(FormatKind kind, std::uint64_t items, std::uint64_t nodes) {
        bytes_.insert(bytes_.end(), MAGIC.begin(), MAGIC.end());
        put(FORMAT_VERSION);
        put(static_cast<std::uint32_t>(kind));
        put(items);
        put(nodes);
    }

    void vertices(std::span<const GeodeticCoord> coords) {
        put(static_cast<std::uint64_t>(coords.size()));
        for (const GeodeticCoord& coord : coords) {
            put(coord.lon());
            put(coord.lat());
        }
    }

    // The bytes, with the checksum of them all appended.
    [[nodiscard]] std::vector<std::byte> finish() && {
        put(payload_checksum(bytes_));
        return std::move(bytes_);
    }
    [[nodiscard]] std::vector<std::byte> take() && { return std::move(bytes_); }

private:
    std::vector<std::byte> bytes_;
};

// Each geometry as stored: a point its coordinate, a linestring its vertices, a polygon
// its fill rule and rings, a tree item its part count (0 for a single geometry), then
// its parts.
void write_geometry(Writer& out, const geodetic::GeodeticPoint& point) {
    out.put(point.lon());
    out.put(point.lat());
}

void write_geometry(Writer& out, const geodetic::GeodeticLineString& linestring) {
    out.vertices(linestring.coords());
}

void write_geometry(Writer& out, const geodetic::GeodeticPolygon& polygon) {
    out.put(static_cast<std::uint32_t>(polygon.fill() == geodetic::Fill::SmallerRegion ? 1 : 0));
    out.put(static_cast<std::uint32_t>(polygon.interiors().size() + 1));
    out.vertices(polygon.exterior().coords());
    for (const geodetic::GeodeticRing& ring : polygon.interiors()) {
        out.vertices(ring.coords());
    }
}

template <typename G>
void write_geometry(Writer& out, const geodetic::MultiPart<G>& item) {
    out.put(static_cast<std::uint32_t>(item.is_multipart() ? item.part_count() : 0));
    for (std::size_t i = 0; i < item.part_count(); ++i) {
        write_geometry(out, item.part(i));
    }
}

// The binary form of one geometry, or of a tree of `items`, of the given kind.
template <typename G>
std::vector<std::byte> encode_one(FormatKind kind, const G& geometry) {
    Writer out;
    out.header(kind, 1, 0);
    write_geometry(out, geometry);
    return std::move(out).finish();
}

template <typename Item>
std::vector<std::byte> encode_items(FormatKind kind, std::span<const std::shared_ptr<const Item>> items) {
    Writer out;
    out.header(kind, items.size(), 0);
    for (const auto& item : items) {
        write_geometry(out, *item);
    }
    return std::move(out).finish();
}

std::string at(std::string_view what, std::size_t offset) {
    return std::string(what) + " at offset " + std::to_string(offset);
}

// Reads fields in order from a buffer, never past its end: each read either gives the
// value or records why it could not, and later reads then fail too.
class Reader {
public:
    explicit Reader(std::span<const std::byte> data) : data_(data) {}

    [[nodiscard]] std::size_t offset() const noexcept { return offset_; }
    [[nodiscard]] std::size_t remaining() const noexcept { return data_.size() - offset_; }
    [[nodiscard]] const std::byte* here() const noexcept { return data_.data() + offset_; }

    template <typename T>
    [[nodiscard]] std::optional<T> get(std::string_view what) {
        if (remaining() < sizeof(T)) {
            fail(at(what, offset_) + ": the data ends after " + std::to_string(data_.size()) + " bytes");
            return std::nullopt;
        }
        T value;
        std::memcpy(&value, here(), sizeof(T));
        offset_ += sizeof(T);
        return value;
    }

    void skip(std::size_t bytes) noexcept { offset_ += bytes; }

    void fail(std::string message) {
        if (!error_) {
            error_ = FormatError{std::move(message)};
        }
    }
    [[nodiscard]] bool failed() const noexcept { return error_.has_value(); }
    [[nodiscard]] FormatError error() && { return std::move(*error_); }

    // One validated coordinate; `what` names it in a failure.
    [[nodiscard]] std::optional<GeodeticCoord> coord(std::string_view what) {
        const std::size_t start = offset_;
        const std::optional<double> lon = get<double>(what);
        const std::optional<double> lat = get<double>(what);
        if (!lon || !lat) {
            return std::nullopt;
        }
        geodetic::Result<GeodeticCoord> checked = GeodeticCoord::try_new(*lon, *lat);
        if (!checked) {
            fail(at(what, start) + ": " + checked.error().message());
            return std::nullopt;
        }
        return checked.value();
    }

    // A vertex count and that many unvalidated pairs, the count first checked against
    // the bytes left so that a huge count allocates nothing.
    [[nodiscard]] std::optional<std::vector<geodetic::LonLat>> lonlat_list(std::string_view what) {
        const std::size_t start = offset_;
        const std::optional<std::uint64_t> count = get<std::uint64_t>(what);
        if (!count) {
            return std::nullopt;
        }
        if (*count > remaining() / COORD_BYTES) {
            fail(at(what, start) + ": " + std::to_string(*count) + " vertices but " + std::to_string(remaining()) +
                 " bytes left");
            return std::nullopt;
        }
        std::vector<geodetic::LonLat> pairs(static_cast<std::size_t>(*count));
        for (geodetic::LonLat& pair : pairs) {
            std::memcpy(&pair.lon, here(), sizeof(double));
            std::memcpy(&pair.lat, here() + sizeof(double), sizeof(double));
            skip(COORD_BYTES);
        }
        return pairs;
    }

    // The header, which must announce `kind`; gives the item and node counts.
    [[nodiscard]] std::optional<std::pair<std::uint64_t, std::uint64_t>> header(FormatKind kind) {
        if (data_.size() < HEADER_BYTES) {
            fail("header at offset 0: " + std::to_string(data_.size()) + " bytes, fewer than the header's " +
                 std::to_string(HEADER_BYTES));
            return std::nullopt;
        }
        if (std::memcmp(data_.data(), MAGIC.data(), MAGIC.size()) != 0) {
            fail("magic at offset 0: not sferix binary data");
            return std::nullopt;
        }
        skip(MAGIC.size());
        const std::uint32_t version = *get<std::uint32_t>("format version");
        if (version < OLDEST_FORMAT_VERSION || version > FORMAT_VERSION) {
            fail("format version at offset 8: " + std::to_string(version) + ", this build reads versions " +
                 std::to_string(OLDEST_FORMAT_VERSION) + " to " + std::to_string(FORMAT_VERSION));
            return std::nullopt;
        }
        if (version >= MULTIPART_FORMAT_VERSION && !checksum_matches()) {
            return std::nullopt;
        }
        version_ = version;
        const std::uint32_t found = *get<std::uint32_t>("kind");
        if (found != static_cast<std::uint32_t>(kind)) {
            fail("kind at offset 12: " + std::to_string(found) + ", expected " +
                 std::to_string(static_cast<std::uint32_t>(kind)));
            return std::nullopt;
        }
        if (version < MULTIPART_FORMAT_VERSION &&
            (kind == FormatKind::MultiLineString || kind == FormatKind::MultiPolygon)) {
            fail("kind at offset 12: " + std::to_string(found) + " needs format version " +
                 std::to_string(MULTIPART_FORMAT_VERSION));
            return std::nullopt;
        }
        const std::uint64_t items = *get<std::uint64_t>("item count");
        const std::uint64_t nodes = *get<std::uint64_t>("node count");
        return std::pair{items, nodes};
    }

    // The format version the header announced (0 before the header is read).
    [[nodiscard]] std::uint32_t version() const noexcept { return version_; }

    // Checks the trailing checksum against the bytes before it, which then become the
    // whole buffer; records the failure when they differ.
    [[nodiscard]] bool checksum_matches() {
        if (data_.size() < HEADER_BYTES + CHECKSUM_BYTES) {
            fail("checksum at offset " + std::to_string(HEADER_BYTES) + ": the data ends after " +
                 std::to_string(data_.size()) + " bytes");
            return false;
        }
        const std::span<const std::byte> covered = data_.first(data_.size() - CHECKSUM_BYTES);
        std::uint64_t stored = 0;
        std::memcpy(&stored, data_.data() + covered.size(), sizeof(stored));
        if (payload_checksum(covered) != stored) {
            fail("checksum at offset " + std::to_string(covered.size()) +
                 ": the data differ from the data written (damaged or altered)");
            return false;
        }
        data_ = covered;
        return true;
    }

    // Fails unless every byte was read.
    void expect_end() {
        if (!failed() && remaining() != 0) {
            fail(at("end of data", offset_) + ": " + std::to_string(remaining()) + " bytes left over");
        }
    }

private:
    std::span<const std::byte> data_;
    std::size_t offset_ = 0;
    std::uint32_t version_ = 0;
    std::optional<FormatError> error_;
};

std::string item_name(std::string_view kind, std::size_t index) {
    return std::string(kind) + " " + std::to_string(index);
}

// A vertex list checked as a `Chain` (a linestring or a ring); `name` names it in a
// failure.
template <typename Chain>
std::optional<Chain> read_chain(Reader& in, const std::string& name) {
    const std::size_t start = in.offset();
    std::optional<std::vector<geodetic::LonLat>> pairs = in.lonlat_list(name);
    if (!pairs) {
        return std::nullopt;
    }
    geodetic::Result<Chain> chain = Chain::try_from_lonlat(std::move(*pairs));
    if (!chain) {
        in.fail(at(name, start) + ": " + chain.error().message());
        return std::nullopt;
    }
    return std::move(chain).value();
}

std::optional<geodetic::GeodeticLineString> read_linestring(Reader& in, std::size_t index) {
    return read_chain<geodetic::GeodeticLineString>(in, item_name("linestring", index));
}

std::optional<geodetic::GeodeticPolygon> read_polygon(Reader& in, std::size_t index) {
    const std::string name = item_name("polygon", index);
    const std::size_t start = in.offset();
    const std::optional<std::uint32_t> fill = in.get<std::uint32_t>(name + " fill");
    const std::optional<std::uint32_t> rings = in.get<std::uint32_t>(name + " ring count");
    if (!fill || !rings) {
        return std::nullopt;
    }
    if (*fill > 1) {
        in.fail(at(name + " fill", start) + ": " + std::to_string(*fill) + " is neither 0 nor 1");
        return std::nullopt;
    }
    // Each ring takes at least its vertex count's 8 bytes.
    if (*rings == 0 || *rings > in.remaining() / sizeof(std::uint64_t)) {
        in.fail(at(name + " ring count", start + 4) + ": " + std::to_string(*rings) + " rings with " +
                std::to_string(in.remaining()) + " bytes left");
        return std::nullopt;
    }
    std::optional<geodetic::GeodeticRing> exterior;
    std::vector<geodetic::GeodeticRing> interiors;
    interiors.reserve(*rings - 1);
    for (std::uint32_t r = 0; r < *rings; ++r) {
        std::optional<geodetic::GeodeticRing> ring =
            read_chain<geodetic::GeodeticRing>(in, name + " ring " + std::to_string(r));
        if (!ring) {
            return std::nullopt;
        }
        if (r == 0) {
            exterior.emplace(std::move(*ring));
        } else {
            interiors.push_back(std::move(*ring));
        }
    }
    geodetic::Result<geodetic::GeodeticPolygon> polygon = geodetic::GeodeticPolygon::try_new(
        std::move(*exterior), std::move(interiors),
        *fill == 1 ? geodetic::Fill::SmallerRegion : geodetic::Fill::LeftOfExterior);
    if (!polygon) {
        in.fail(at(name, start) + ": " + polygon.error().message());
        return std::nullopt;
    }
    return std::move(polygon).value();
}

// A tree item whose parts `read_part` reads: from version 2 a part count (0 for a
// single geometry) first; before it, always a single geometry.
template <typename G, std::optional<G> (*read_part)(Reader&, std::size_t)>
std::optional<geodetic::MultiPart<G>> read_item(Reader& in, std::size_t index) {
    const std::size_t start = in.offset();
    std::optional<std::uint32_t> parts = 0;
    if (in.version() >= MULTIPART_FORMAT_VERSION &&
        !(parts = in.get<std::uint32_t>(item_name("item", index) + " part count"))) {
        return std::nullopt;
    }
    // Each part takes at least eight bytes (a vertex count, or a fill and a ring count).
    if (*parts > in.remaining() / sizeof(std::uint64_t)) {
        in.fail(at(item_name("item", index) + " part count", start) + ": " + std::to_string(*parts) +
                " parts with " + std::to_string(in.remaining()) + " bytes left");
        return std::nullopt;
    }
    std::vector<G> read;
    read.reserve(std::max<std::uint32_t>(*parts, 1));
    for (std::uint32_t part = 0; part < std::max<std::uint32_t>(*parts, 1); ++part) {
        std::optional<G> geometry = read_part(in, index);
        if (!geometry) {
            return std::nullopt;
        }
        read.push_back(std::move(*geometry));
    }
    if (*parts == 0) {
        return geodetic::MultiPart<G>(std::move(read.front()));
    }
    return geodetic::MultiPart<G>::of_parts(std::move(read));
}

constexpr auto read_linestring_item = read_item<geodetic::GeodeticLineString, read_linestring>;
constexpr auto read_polygon_item = read_item<geodetic::GeodeticPolygon, read_polygon>;

// A tree body of `Geometry` items read by `read_item`.
template <typename Geometry, typename ReadItem>
LoadResult<std::vector<Geometry>> decode_items(std::span<const std::byte> data, FormatKind kind, ReadItem read_item) {
    Reader in(data);
    const auto counts = in.header(kind);
    if (!counts) {
        return std::move(in).error();
    }
    const auto [items, nodes] = *counts;
    // Every item takes at least eight bytes.
    if (items > in.remaining() / sizeof(std::uint64_t)) {
        return FormatError{"item count at offset 16: " + std::to_string(items) + " items with " +
                           std::to_string(in.remaining()) + " bytes left"};
    }
    if (nodes != 0) {
        return FormatError{"node count at offset 24: " + std::to_string(nodes) + ", expected 0"};
    }
    std::vector<Geometry> geometries;
    geometries.reserve(static_cast<std::size_t>(items));
    support::StopCheck stop;
    for (std::size_t i = 0; i < items; ++i) {
        stop.visit(1 + in.remaining() / std::max<std::size_t>(1, items - i) / 256);
        std::optional<Geometry> geometry = read_item(in, i);
        if (!geometry) {
            return std::move(in).error();
        }
        geometries.push_back(std::move(*geometry));
    }
    in.expect_end();
    if (in.failed()) {
        return std::move(in).error();
    }
    return geometries;
}

// The one geometry of a single-geometry buffer.
template <typename Geometry, typename ReadItem>
LoadResult<Geometry> decode_one(std::span<const std::byte> data, FormatKind kind, ReadItem read_item) {
    LoadResult<std::vector<Geometry>> items = decode_items<Geometry>(data, kind, read_item);
    if (auto* error = std::get_if<FormatError>(&items)) {
        return std::move(*error);
    }
    std::vector<Geometry>& geometries = std::get<0>(items);
    if (geometries.size() != 1) {
        return FormatError{"item count at offset 16: " + std::to_string(geometries.size()) + ", expected 1"};
    }
    return std::move(geometries.front());
}

std::string node_failure(std::size_t index, std::size_t offset, std::string_view why) {
    return at("node " + std::to_string(index), offset) + ": " + std::string(why);
}

// The `count` elements of type E at `offset` in `data`, borrowed when a keeper holds
// `data` and the place is aligned for E, else copied once into a buffer of their own
// (allocated without being cleared first, as every byte is overwritten).
template <typename E>
rtree::FlatArray<E> adopt_or_copy(std::span<const std::byte> data, std::size_t offset, std::size_t count,
                                  const std::shared_ptr<const void>& keeper) {
    static_assert(std::is_trivially_copyable_v<E>);
    const std::byte* start = data.data() + offset;
    if (keeper && reinterpret_cast<std::uintptr_t>(start) % alignof(E) == 0) {
        return rtree::FlatArray<E>::borrow({reinterpret_cast<const E*>(start), count}, keeper);
    }
    static_assert(alignof(E) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    std::shared_ptr<std::byte[]> copy(new std::byte[std::max<std::size_t>(count * sizeof(E), 1)]);
    support::advise_huge_pages(copy.get(), count * sizeof(E));
    if (count != 0) {
        std::memcpy(copy.get(), start, count * sizeof(E));
    }
    const E* elements = reinterpret_cast<const E*>(copy.get());
    return rtree::FlatArray<E>::borrow({elements, count}, std::move(copy));
}

// The first coordinate GeodeticCoord::try_new refuses. Its test is made inline (NaN
// and infinities fail both comparisons), as a call per coordinate would cost more
// than the test; try_new itself runs only to name the fault.
std::optional<FormatError> check_coords(std::span<const GeodeticCoord> coords, std::size_t coords_offset) {
    support::StopCheck stop;
    for (std::size_t i = 0; i < coords.size(); ++i) {
        stop.visit();
        if (!(std::fabs(coords[i].lon()) <= 180.0 && std::fabs(coords[i].lat()) <= 90.0)) [[unlikely]] {
            geodetic::Result<GeodeticCoord> coord = GeodeticCoord::try_new(coords[i].lon(), coords[i].lat());
            if (!coord) {
                return FormatError{at("coordinate " + std::to_string(i), coords_offset + i * COORD_BYTES) + ": " +
                                   coord.error().message()};
            }
        }
    }
    return std::nullopt;
}

// The nodes, last to first, by rtree::check_structure (children after their parent,
// each child and leaf claimed once, so no walk can loop; boxes exactly their children's
// merge), with this form's own checks on the way: the flag bytes, and each leaf's input
// position (every one held by one leaf) and unit vector. Then sets min_positions (one
// per node).
std::optional<FormatError> check_nodes(std::span<const Node> nodes, std::span<const indexed::PointLeaf> leaves,
                                       std::size_t nodes_offset, std::size_t positions_offset,
                                       std::span<std::uint32_t> min_positions) {
    const std::size_t n = leaves.size();
    rtree::Marks position_placed(n);
    const auto node_offset = [&](std::size_t i) { return nodes_offset + i * NODE_BYTES; };
    const auto leaf_place = [&](std::size_t leaf) {
        return at("leaf " + std::to_string(leaf), positions_offset + leaf * LEAF_BYTES);
    };
    const auto flags_of = [&](std::size_t i) {
        // The flag is read as a byte: a bool holding anything but 0 or 1 must not be read.
        return reinterpret_cast<const std::uint8_t*>(&nodes[i]) + offsetof(Node, leaf_children);
    };
    const auto check_flags = [&](std::size_t i) -> std::optional<FormatError> {
        const std::uint8_t* flags = flags_of(i);
        if (flags[0] > 1 || flags[1] != 0) {
            return FormatError{node_failure(i, node_offset(i) + 54, "flag bytes must be 0 or 1, then 0")};
        }
        return std::nullopt;
    };
    const auto check_leaf = [&](std::size_t, std::size_t leaf) -> std::optional<FormatError> {
        const auto position = static_cast<std::size_t>(leaves[leaf].data());
        if (position >= n || position_placed.set(position)) {
            return FormatError{at("leaf " + std::to_string(leaf), positions_offset + leaf * LEAF_BYTES + 24) +
                               ": position " + std::to_string(position) +
                               (position >= n ? " beyond the " + std::to_string(n) + " points" : " repeated")};
        }
        const UnitVec v = leaves[leaf].vector();
        const double norm_2 = v.x * v.x + v.y * v.y + v.z * v.z;
        if (!(std::fabs(norm_2 - 1.0) <= UNIT_NORM_2_TOLERANCE)) {
            return FormatError{leaf_place(leaf) + ": not a unit vector"};
        }
        return std::nullopt;
    };
    const auto describe = [&](const rtree::TreeDefect& defect) -> FormatError {
        using Field = rtree::TreeDefect::Field;
        switch (defect.field) {
            case Field::Children: return FormatError{node_failure(defect.index, node_offset(defect.index) + 48, defect.what)};
            case Field::Box: return FormatError{node_failure(defect.index, node_offset(defect.index), defect.what)};
            case Field::UnclaimedNode: return FormatError{node_failure(defect.index, node_offset(defect.index), defect.what)};
            case Field::UnclaimedLeaf: break;
        }
        return FormatError{leaf_place(defect.index) + ": " + defect.what};
    };
    const rtree::StructureHooks<FormatError, decltype(check_flags), decltype(check_leaf), decltype(describe)> hooks{
        check_flags, check_leaf, describe};
    if (std::optional<FormatError> error = rtree::check_structure(nodes, leaves, hooks)) {
        return error;
    }
    support::StopCheck stop;
    for (std::size_t i = nodes.size(); i-- > 0;) {
        stop.visit();
        const Node& node = nodes[i];
        std::uint32_t least = std::numeric_limits<std::uint32_t>::max();
        for (std::size_t child = node.first; child < std::size_t{node.first} + node.count; ++child) {
            least = std::min(least, node.leaf_children ? static_cast<std::uint32_t>(leaves[child].data())
                                                       : min_positions[child]);
        }
        min_positions[i] = least;
    }
    return std::nullopt;
}

// Two doubles, a lane each, and a comparison's lanes (all ones where it holds). On any
// x86-64 an operation on a pair costs one instruction, and each lane's result is the
// one-double operation's, so two leaves checked at once give the same answers.
using Pair = double __attribute__((vector_size(16)));
using PairMask = std::int64_t __attribute__((vector_size(16)));

// Lane by lane whether |d| ≤ t, as -t ≤ d ≤ t, which a NaN fails too.
PairMask within(Pair d, double t) noexcept {
    return (d <= t) & (d >= -t);
}

// Sine and cosine of an angle in degrees, within a few units in the last place, at a
// quarter of libm's cost: the whole degrees from a table, the fraction (under 0.0175
// radians either way) by its Taylor series to the 7th power (the next term is below
// 1e-16 of it).
// Against embed(), which calls libm on the angle in radians, the vectors differ by at
// most 5 units of 2^-53 (seen over 2·10^6 random and 2000 whole or quarter degrees),
// well inside LEAF_VECTOR_TOLERANCE.
class DegreeSineCosine {
public:
    DegreeSineCosine() noexcept {
        // Each whole degree reduced exactly to [-45, 45] first, so that its table entry
        // carries no error from rounding a large angle to radians.
        for (int k = -180; k <= 180; ++k) {
            const int quadrant = static_cast<int>(std::lround(k / 90.0));
            const double r = (k - 90 * quadrant) * geodetic::RADIANS_PER_DEGREE;
            const double s = std::sin(r);
            const double c = std::cos(r);
            const auto at = static_cast<std::size_t>(k + 180);
            switch (quadrant & 3) {
                case 0: sine_[at] = s; cosine_[at] = c; break;
                case 1: sine_[at] = c; cosine_[at] = -s; break;
                case 2: sine_[at] = -s; cosine_[at] = -c; break;
                default: sine_[at] = -c; cosine_[at] = s; break;
            }
        }
    }

    // The sines and cosines of `degrees`, lane by lane: each lane the arithmetic of one
    // angle, operation for operation. REQUIRES: -180 ≤ each ≤ 180.
    void operator()(Pair degrees, Pair& sine, Pair& cosine) const noexcept {
        using Whole = std::int32_t __attribute__((vector_size(8)));
        // Whole degrees toward zero (one conversion, where floor would be a libm call in
        // a build for any x86-64), and the fraction of the same sign, both exact.
        const Whole whole = __builtin_convertvector(degrees, Whole);
        const Pair b = (degrees - __builtin_convertvector(whole, Pair)) * geodetic::RADIANS_PER_DEGREE;
        const Pair b2 = b * b;
        const Pair sin_b = b - b * b2 * (1.0 / 6.0 - b2 * (1.0 / 120.0 - b2 * (1.0 / 5040.0)));
        const Pair cos_b = 1.0 - b2 * (0.5 - b2 * (1.0 / 24.0 - b2 * (1.0 / 720.0)));
        const auto at0 = static_cast<std::size_t>(whole[0] + 180);
        const auto at1 = static_cast<std::size_t>(whole[1] + 180);
        const Pair s = {sine_[at0], sine_[at1]};
        const Pair c = {cosine_[at0], cosine_[at1]};
        sine = s * cos_b + c * sin_b;
        cosine = c * cos_b - s * sin_b;
    }

    // Lane by lane whether the vector (x, y, z) is embed() of the coordinate (lon, lat)
    // within LEAF_VECTOR_TOLERANCE on every axis. REQUIRES: coordinates valid.
    [[nodiscard]] PairMask embeds(Pair x, Pair y, Pair z, Pair lon, Pair lat) const noexcept {
        Pair sin_lon;
        Pair cos_lon;
        Pair sin_lat;
        Pair cos_lat;
        (*this)(lon, sin_lon, cos_lon);
        (*this)(lat, sin_lat, cos_lat);
        return within(x - cos_lat * cos_lon, LEAF_VECTOR_TOLERANCE) &
               within(y - cos_lat * sin_lon, LEAF_VECTOR_TOLERANCE) & within(z - sin_lat, LEAF_VECTOR_TOLERANCE);
    }

    // The same for one vector.
    [[nodiscard]] bool embeds(const UnitVec& v, const GeodeticCoord& coord) const noexcept {
        return embeds(Pair{v.x, v.x}, Pair{v.y, v.y}, Pair{v.z, v.z}, Pair{coord.lon(), coord.lon()},
                      Pair{coord.lat(), coord.lat()})[0] != 0;
    }

private:
    std::array<double, 361> sine_{};  // of -180, ..., 180 degrees
    std::array<double, 361> cosine_{};
};

// The first leaf (in storage order) whose vector is not embed() of its point's
// coordinate within LEAF_VECTOR_TOLERANCE. REQUIRES: every leaf's position is below
// coords.size() (check_nodes passed) and every coordinate valid (check_coords passed).
// Two sines and cosines per point and one random access, so it runs on every core,
// the access started a few leaves ahead.
std::optional<FormatError> check_leaf_vectors(std::span<const indexed::PointLeaf> leaves,
                                              std::span<const GeodeticCoord> coords, std::size_t positions_offset) {
    constexpr std::size_t LEAVES_PER_CHUNK = std::size_t{1} << 16;
    constexpr std::size_t AHEAD = 64;
    const std::size_t n = leaves.size();
    std::vector<std::size_t> first_wrong((n + LEAVES_PER_CHUNK - 1) / LEAVES_PER_CHUNK, n);
    static const DegreeSineCosine sine_cosine;
    const auto work = [&](std::size_t begin, std::size_t end) {
        support::StopCheck stop;
        for (std::size_t i = begin; i < end; ++i) {
            stop.visit();
            if (i + AHEAD < end) {
                __builtin_prefetch(&coords[leaves[i + AHEAD].data()]);
            }
            if (!sine_cosine.embeds(leaves[i].vector(), coords[leaves[i].data()])) {
                first_wrong[begin / LEAVES_PER_CHUNK] = i;
                return;
            }
        }
    };
    const support::ChunkedRunOptions options{.workers = support::usable_cores(), .chunk_size = LEAVES_PER_CHUNK};
    support::run_chunked(n, options, work, [] { return true; });
    for (const std::size_t leaf : first_wrong) {
        if (leaf < n) {
            return FormatError{at("leaf " + std::to_string(leaf), positions_offset + leaf * LEAF_BYTES) +
                               ": vector is not that of its point's coordinate (point " +
                               std::to_string(leaves[leaf].data()) + ")"};
        }
    }
    return std::nullopt;
}


using Bits = std::vector<std::uint64_t>;

// Sets bit `index`; whether it was set already.
bool set_bit(Bits& bits, std::size_t index) noexcept {
    const std::uint64_t bit = std::uint64_t{1} << (index % 64);
    const bool was = (bits[index / 64] & bit) != 0;
    bits[index / 64] |= bit;
    return was;
}

// Sets bits [first, end), a word at a time; false when one was set already.
bool set_bits(Bits& bits, std::size_t first, std::size_t end) noexcept {
    for (std::size_t word = first / 64; first < end && word <= (end - 1) / 64; ++word) {
        const std::size_t lo = std::max(first, word * 64) - word * 64;
        const std::size_t hi = std::min(end, word * 64 + 64) - word * 64;
        const std::uint64_t mask =
            (hi == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << hi) - 1) & ~((std::uint64_t{1} << lo) - 1);
        if ((bits[word] & mask) != 0) {
            return false;
        }
        bits[word] |= mask;
    }
    return true;
}

// Whether bits [0, count) are all set.
bool all_set(const Bits& bits, std::size_t count) noexcept {
    for (std::size_t word = 0; word < count / 64; ++word) {
        if (bits[word] != ~std::uint64_t{0}) {
            return false;
        }
    }
    return count % 64 == 0 || (bits[count / 64] & ((std::uint64_t{1} << (count % 64)) - 1)) ==
                                  (std::uint64_t{1} << (count % 64)) - 1;
}

// Whether the loader's checks (checksum_matches, check_coords, check_nodes,
// check_leaf_vectors) all pass, found in one pass on every core. Each task sums one
// checksum block and then checks the nodes whose leaves start in it, so that those
// leaves are read while the sum has just brought them into the core's cache (read
// again from memory, they cost the pass about a fifth more); each leaf, its position
// and its coordinate are read once, by the node that holds it, and each node claims
// its children in its thread's own sets, merged after. Only the inner nodes' boxes
// and smallest positions, an eighth of the nodes, are checked after, on one core. Sets
// min_positions when it passes. Refuses everything one of those checks refuses (it is
// the same rules, in another order), so the caller needs them only to name the fault
// once this has refused.
// REQUIRES: covered is the data before the stored checksum, the leaves stored from
// byte positions_offset of it; the spans sized as the header's counts say.
bool passes_checks_at_once(std::span<const std::byte> covered, std::uint64_t stored_checksum,
                           std::size_t positions_offset, std::span<const Node> nodes,
                           std::span<const indexed::PointLeaf> leaves, std::span<const GeodeticCoord> coords,
                           std::span<std::uint32_t> min_positions) {
    // Leaves ahead whose coordinate reads are started: two nodes of 16. Farther was
    // slower once the leaves come from the cache (256: 7% more work, none: twice as much).
    constexpr std::size_t PREFETCH_AHEAD = 32;
    const std::size_t n = leaves.size();
    const std::size_t m = nodes.size();
    static const DegreeSineCosine sine_cosine;

    // The flag bytes are read as bytes: a bool holding anything but 0 or 1 must not be read.
    const auto flags_of = [&](std::size_t i) {
        return reinterpret_cast<const std::uint8_t*>(&nodes[i]) + offsetof(Node, leaf_children);
    };
    // Task j's nodes are [node_bounds[j], node_bounds[j + 1]): from the first
    // leaf-level node whose leaves start at or after block j's first byte, found by
    // bisection as a tree is written (inner nodes first, then the leaf-level nodes in
    // leaf order). Any other buffer only splits the nodes worse: each is still checked
    // once.
    const std::size_t tasks = checksum_blocks(covered.size());
    std::vector<std::size_t> node_bounds(tasks + 1, m);
    node_bounds[0] = 0;
    for (std::size_t j = 1; j < tasks; ++j) {
        const std::size_t at = j * CHECKSUM_BLOCK_BYTES;
        const std::size_t first_leaf =
            at <= positions_offset ? 0 : std::min(n, (at - positions_offset + LEAF_BYTES - 1) / LEAF_BYTES);
        std::size_t lo = node_bounds[j - 1];
        std::size_t hi = m;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (*flags_of(mid) == 1 && nodes[mid].first >= first_leaf) {
                hi = mid;
            } else {
                lo = mid + 1;
            }
        }
        node_bounds[j] = lo;
    }

    std::vector<std::uint64_t> digests(tasks);
    std::vector<std::uint8_t> task_failed(tasks, 1);  // until the task has run and passed
    std::vector<std::uint8_t> inner(m, 0);             // 1 for an inner node
    // The positions met and the leaves and nodes claimed, a bit set of each for each
    // thread at work, taken for a task and given back after.
    struct Met {
        Bits positions;
        Bits leaves;
        Bits nodes;
    };
    std::mutex met_lock;
    std::vector<std::unique_ptr<Met>> mets;
    std::vector<Met*> idle;

    const auto check_nodes_of = [&](std::size_t task) {
        Met* met = nullptr;
        {
            const std::lock_guard hold(met_lock);
            if (idle.empty()) {
                mets.push_back(std::make_unique<Met>(Met{Bits(n / 64 + 1, 0), Bits(n / 64 + 1, 0), Bits(m / 64 + 1, 0)}));
                idle.push_back(mets.back().get());
            }
            met = idle.back();
            idle.pop_back();
        }
        support::StopCheck stop;
        bool good = true;
        for (std::size_t i = node_bounds[task]; good && i < node_bounds[task + 1]; ++i) {
            const std::uint8_t* flags = flags_of(i);
            if (flags[0] > 1 || flags[1] != 0) {
                good = false;
                break;
            }
            const Node& node = nodes[i];
            const std::size_t first = node.first;
            const std::size_t end = first + node.count;
            if (flags[0] == 0) {
                // An inner node: its children come after it, each claimed once; its box
                // and smallest position are checked after, when its children have theirs.
                if (node.count == 0 || node.count > rtree::INNER_NODE_CAPACITY || first <= i || end > m ||
                    !set_bits(met->nodes, first, end)) {
                    good = false;
                    break;
                }
                inner[i] = 1;
                continue;
            }
            if (node.count > rtree::LEAF_NODE_CAPACITY || (node.count == 0 && !(i == 0 && n == 0)) || end > n ||
                !set_bits(met->leaves, first, end)) {
                good = false;
                break;
            }
            stop.visit(node.count);
            // Two leaves at a time, a lane each (the last with itself when the count is
            // odd: a leaf's checks, merge and minimum may be repeated). The box is
            // merged as AABB::merge does, lane by lane, then across the lanes.
            constexpr double MAX = std::numeric_limits<double>::max();
            Pair lower[3] = {{MAX, MAX}, {MAX, MAX}, {MAX, MAX}};
            Pair upper[3] = {{-MAX, -MAX}, {-MAX, -MAX}, {-MAX, -MAX}};
            std::uint32_t least = std::numeric_limits<std::uint32_t>::max();
            for (std::size_t leaf = first; leaf < end; leaf += 2) {
                const std::size_t other = std::min(leaf + 1, end - 1);
                // The coordinates are in input order, met at random: their reads are
                // started a few leaves ahead (the leaves of the next nodes, in a tree as
                // written).
                if (other + PREFETCH_AHEAD < n) {
                    __builtin_prefetch(coords.data() + std::min<std::size_t>(leaves[leaf + PREFETCH_AHEAD].data(), n - 1));
                    __builtin_prefetch(coords.data() + std::min<std::size_t>(leaves[other + PREFETCH_AHEAD].data(), n - 1));
                }
                const UnitVec a = leaves[leaf].vector();
                const UnitVec b = leaves[other].vector();
                const std::size_t position_a = leaves[leaf].data();
                const std::size_t position_b = leaves[other].data();
                if (position_a >= n || position_b >= n) {
                    good = false;
                    break;
                }
                static_cast<void>(set_bit(met->positions, position_a));
                static_cast<void>(set_bit(met->positions, position_b));
                least = std::min({least, static_cast<std::uint32_t>(position_a), static_cast<std::uint32_t>(position_b)});
                const Pair v[3] = {{a.x, b.x}, {a.y, b.y}, {a.z, b.z}};
                const Pair lon = {coords[position_a].lon(), coords[position_b].lon()};
                const Pair lat = {coords[position_a].lat(), coords[position_b].lat()};
                const PairMask valid = within(v[0] * v[0] + v[1] * v[1] + v[2] * v[2] - 1.0, UNIT_NORM_2_TOLERANCE) &
                                       within(lon, 180.0) & within(lat, 90.0);
                if (!(valid[0] != 0 && valid[1] != 0)) {
                    good = false;
                    break;
                }
                const PairMask embedded = sine_cosine.embeds(v[0], v[1], v[2], lon, lat);
                if (!(embedded[0] != 0 && embedded[1] != 0)) {
                    good = false;
                    break;
                }
                for (std::size_t axis = 0; axis < 3; ++axis) {
                    lower[axis] = lower[axis] < v[axis] ? lower[axis] : v[axis];
                    upper[axis] = upper[axis] > v[axis] ? upper[axis] : v[axis];
                }
            }
            for (std::size_t axis = 0; good && axis < 3; ++axis) {
                const double low = lower[axis][0] < lower[axis][1] ? lower[axis][0] : lower[axis][1];
                const double high = upper[axis][0] > upper[axis][1] ? upper[axis][0] : upper[axis][1];
                good = node.envelope.lower()[axis] == low && node.envelope.upper()[axis] == high;
            }
            min_positions[i] = least;
        }
        task_failed[task] = good ? 0 : 1;
        const std::lock_guard hold(met_lock);
        idle.push_back(met);
    };
    const support::ChunkedRunOptions options{.workers = support::usable_cores(), .chunk_size = 1};
    support::run_chunked(
        tasks, options,
        [&](std::size_t begin, std::size_t end) {
            support::StopCheck stop;
            for (std::size_t task = begin; task < end; ++task) {
                stop.visit(support::STOP_CHECK_VISITS / 16);
                const std::size_t at = task * CHECKSUM_BLOCK_BYTES;
                digests[task] =
                    support::Checksum64::of(covered.subspan(at, std::min(CHECKSUM_BLOCK_BYTES, covered.size() - at)));
                check_nodes_of(task);
            }
        },
        [] { return true; });
    if (combined_checksum(digests) != stored_checksum ||
        std::any_of(task_failed.begin(), task_failed.end(), [](std::uint8_t failed) { return failed != 0; })) {
        return false;
    }
    // The leaf ranges tile [0, n) when no two sets share a leaf and together they hold
    // every one. Then the n leaves are each met once, so n positions that cover [0, n)
    // are each met once. Likewise every node but the root is the child of one node (the
    // root, 0, cannot be one: children come after their parent).
    Met& all = *mets.front();
    for (std::size_t set = 1; set < mets.size(); ++set) {
        const Met& other = *mets[set];
        for (std::size_t word = 0; word < all.leaves.size(); ++word) {
            if ((all.leaves[word] & other.leaves[word]) != 0) {
                return false;
            }
            all.leaves[word] |= other.leaves[word];
            all.positions[word] |= other.positions[word];
        }
        for (std::size_t word = 0; word < all.nodes.size(); ++word) {
            if ((all.nodes[word] & other.nodes[word]) != 0) {
                return false;
            }
            all.nodes[word] |= other.nodes[word];
        }
    }
    static_cast<void>(set_bit(all.nodes, 0));
    if (!all_set(all.leaves, n) || !all_set(all.positions, n) || !all_set(all.nodes, m)) {
        return false;
    }
    // The inner nodes, last to first as check_structure takes them: each box exactly
    // its children's merge, and each smallest position from its children's.
    for (std::size_t i = m; i-- > 0;) {
        if (inner[i] != 0) {
            const Node& node = nodes[i];
            std::uint32_t least = std::numeric_limits<std::uint32_t>::max();
            Box merged = Box::new_empty();
            for (std::size_t child = node.first; child < std::size_t{node.first} + node.count; ++child) {
                least = std::min(least, min_positions[child]);
                merged.merge(nodes[child].envelope);
            }
            for (std::size_t axis = 0; axis < 3; ++axis) {
                if (!(node.envelope.lower()[axis] == merged.lower()[axis] &&
                      node.envelope.upper()[axis] == merged.upper()[axis])) {
                    return false;
                }
            }
            min_positions[i] = least;
        }
    }
    return true;
}

// Where a point tree's sections lie, from the header's counts and the body's size.
struct PointTreeSections {
    std::size_t n;  // points
    std::size_t m;  // nodes
    std::size_t nodes_offset;
    std::size_t positions_offset;
    std::size_t coords_offset;
};

std::variant<PointTreeSections, FormatError> point_tree_sections(std::uint64_t items, std::uint64_t node_count,
                                                                 std::size_t body) {
    // Bounding each count by the body first keeps the size product below overflow.
    if (items >= std::numeric_limits<std::uint32_t>::max() || items > body / (LEAF_BYTES + COORD_BYTES)) {
        return FormatError{"item count at offset 16: " + std::to_string(items) + " points with " +
                           std::to_string(body) + " bytes of body"};
    }
    if (node_count == 0 || node_count > body / NODE_BYTES) {
        return FormatError{"node count at offset 24: " + std::to_string(node_count) + " nodes with " +
                           std::to_string(body) + " bytes of body"};
    }
    const std::size_t n = static_cast<std::size_t>(items);
    const std::size_t m = static_cast<std::size_t>(node_count);
    const std::size_t expected = m * NODE_BYTES + n * (LEAF_BYTES + COORD_BYTES);
    if (body != expected) {
        return FormatError{"body at offset 32: " + std::to_string(body) + " bytes, but " + std::to_string(n) +
                           " points and " + std::to_string(m) + " nodes take " + std::to_string(expected)};
    }
    return PointTreeSections{n, m, HEADER_BYTES, HEADER_BYTES + m * NODE_BYTES,
                             HEADER_BYTES + m * NODE_BYTES + n * LEAF_BYTES};
}

// A point tree's three arrays, read where the tree will read them, so that what was
// checked is what is used even if the caller's bytes were to change afterwards.
struct PointTreeArrays {
    rtree::FlatArray<Node> nodes;
    rtree::FlatArray<indexed::PointLeaf> leaves;
    rtree::FlatArray<GeodeticCoord> coords;

    PointTreeArrays(std::span<const std::byte> data, const PointTreeSections& at,
                    const std::shared_ptr<const void>& keeper)
        : nodes(adopt_or_copy<Node>(data, at.nodes_offset, at.m, keeper)),
          leaves(adopt_or_copy<indexed::PointLeaf>(data, at.positions_offset, at.n, keeper)),
          coords(adopt_or_copy<GeodeticCoord>(data, at.coords_offset, at.n, keeper)) {}

    [[nodiscard]] indexed::PointTree into_tree(std::vector<std::uint32_t> min_positions) && {
        return indexed::PointTree::from_checked_parts(
            rtree::RTree<indexed::PointLeaf>::from_flat_arrays(std::move(nodes), std::move(leaves)),
            std::move(coords), std::move(min_positions));
    }
};

// The tree of a buffer with a checksum that passes every check, by
// passes_checks_at_once; nothing when it fails any, or has no checksum.
std::optional<indexed::PointTree> load_point_tree_at_once(std::span<const std::byte> data,
                                                          const std::shared_ptr<const void>& keeper) {
    if (data.size() < HEADER_BYTES + CHECKSUM_BYTES || std::memcmp(data.data(), MAGIC.data(), MAGIC.size()) != 0) {
        return std::nullopt;
    }
    std::uint32_t version = 0;
    std::uint32_t kind = 0;
    std::uint64_t items = 0;
    std::uint64_t node_count = 0;
    std::uint64_t stored_checksum = 0;
    std::memcpy(&version, data.data() + 8, sizeof(version));
    std::memcpy(&kind, data.data() + 12, sizeof(kind));
    std::memcpy(&items, data.data() + 16, sizeof(items));
    std::memcpy(&node_count, data.data() + 24, sizeof(node_count));
    const std::span<const std::byte> covered = data.first(data.size() - CHECKSUM_BYTES);
    std::memcpy(&stored_checksum, data.data() + covered.size(), sizeof(stored_checksum));
    if (version < MULTIPART_FORMAT_VERSION || version > FORMAT_VERSION ||
        kind != static_cast<std::uint32_t>(FormatKind::PointTreeForm)) {
        return std::nullopt;
    }
    const auto sections = point_tree_sections(items, node_count, covered.size() - HEADER_BYTES);
    if (!std::holds_alternative<PointTreeSections>(sections)) {
        return std::nullopt;
    }
    PointTreeArrays arrays(data, std::get<PointTreeSections>(sections), keeper);
    std::vector<std::uint32_t> min_positions(arrays.nodes.span().size());
    if (!passes_checks_at_once(covered, stored_checksum, std::get<PointTreeSections>(sections).positions_offset,
                               arrays.nodes.span(), arrays.leaves.span(), arrays.coords.span(), min_positions)) {
        return std::nullopt;
    }
    return std::move(arrays).into_tree(std::move(min_positions));
}

}  // namespace

std::size_t point_tree_encoded_size(const indexed::PointTree& tree) noexcept {
    const rtree::FlatTreeView<indexed::PointLeaf> view = tree.rtree().view();
    return HEADER_BYTES + view.nodes.size() * NODE_BYTES + view.leaves.size() * LEAF_BYTES +
           tree.size() * COORD_BYTES + CHECKSUM_BYTES;
}

void encode_point_tree_into(const indexed::PointTree& tree, std::span<std::byte> out) {
    SFERIX_ASSERT(out.size() == point_tree_encoded_size(tree), "a point tree's bytes fit their storage");
    const rtree::FlatTreeView<indexed::PointLeaf> view = tree.rtree().view();
    Writer header;
    header.header(FormatKind::PointTreeForm, tree.size(), view.nodes.size());
    const std::vector<std::byte> header_bytes = std::move(header).take();
    SFERIX_ASSERT(header_bytes.size() == HEADER_BYTES, "the header is HEADER_BYTES long");
    std::memcpy(out.data(), header_bytes.data(), HEADER_BYTES);
    // The body's size is known, so every checksum block of it is written in place and
    // summed at once, while still in cache, each block on whichever core takes it.
    const std::size_t nodes_offset = HEADER_BYTES;
    const std::size_t positions_offset = nodes_offset + view.nodes.size() * NODE_BYTES;
    const std::size_t coords_offset = positions_offset + view.leaves.size() * LEAF_BYTES;
    const std::size_t covered = out.size() - CHECKSUM_BYTES;
    // A node as stored: its fields, then 0 in place of the padding byte.
    const auto node_bytes = [&](std::size_t i, std::byte* to) {
        const Node& node = view.nodes[i];
        const UnitVec& lower = node.envelope.lower();
        const UnitVec& upper = node.envelope.upper();
        const double corners[6] = {lower.x, lower.y, lower.z, upper.x, upper.y, upper.z};
        const std::uint8_t flags[2] = {static_cast<std::uint8_t>(node.leaf_children ? 1 : 0), 0};
        std::memcpy(to, corners, sizeof(corners));
        std::memcpy(to + 48, &node.first, sizeof(node.first));
        std::memcpy(to + 52, &node.count, sizeof(node.count));
        std::memcpy(to + 54, flags, sizeof(flags));
    };
    // A leaf and a coordinate in memory are their stored bytes already, so bytes
    // [begin, end) of those sections are those of the arrays (an empty array may be
    // null, and memcpy from null is undefined even for no bytes).
    const auto copy_range = [&](const void* array, std::size_t array_offset, std::size_t array_bytes,
                                std::size_t begin, std::size_t end) {
        const std::size_t from = std::max(begin, array_offset);
        const std::size_t to = std::min(end, array_offset + array_bytes);
        if (from < to) {
            std::memcpy(out.data() + from, static_cast<const std::byte*>(array) + (from - array_offset), to - from);
        }
    };
    const auto write_range = [&](std::size_t begin, std::size_t end) {
        const std::size_t from = std::max(begin, nodes_offset);
        const std::size_t to = std::min(end, positions_offset);
        for (std::size_t i = (from - nodes_offset) / NODE_BYTES; from < to && nodes_offset + i * NODE_BYTES < to; ++i) {
            const std::size_t at = nodes_offset + i * NODE_BYTES;
            if (at >= from && at + NODE_BYTES <= to) {
                node_bytes(i, out.data() + at);
            } else {  // a node cut by the block's edge
                std::byte whole[NODE_BYTES];
                node_bytes(i, whole);
                const std::size_t lo = std::max(at, from);
                const std::size_t hi = std::min(at + NODE_BYTES, to);
                std::memcpy(out.data() + lo, whole + (lo - at), hi - lo);
            }
        }
        copy_range(view.leaves.data(), positions_offset, view.leaves.size() * LEAF_BYTES, begin, end);
        copy_range(tree.coords().data(), coords_offset, tree.size() * COORD_BYTES, begin, end);
    };
    std::vector<std::uint64_t> digests(checksum_blocks(covered));
    for_each_checksum_block(covered, [&](std::size_t j) {
        const std::size_t begin = j * CHECKSUM_BLOCK_BYTES;
        const std::size_t end = std::min(covered, begin + CHECKSUM_BLOCK_BYTES);
        write_range(std::max(begin, HEADER_BYTES), end);
        digests[j] = support::Checksum64::of(out.subspan(begin, end - begin));
    });
    const std::uint64_t checksum = combined_checksum(digests);
    std::memcpy(out.data() + covered, &checksum, CHECKSUM_BYTES);
}

std::vector<std::byte> encode_point_tree(const indexed::PointTree& tree) {
    std::vector<std::byte> out(point_tree_encoded_size(tree));
    encode_point_tree_into(tree, out);
    return out;
}

std::vector<std::byte> encode_linestrings(std::span<const std::shared_ptr<const geodetic::LineStringItem>> linestrings) {
    return encode_items(FormatKind::LineStringTreeForm, linestrings);
}

std::vector<std::byte> encode_polygons(std::span<const std::shared_ptr<const geodetic::PolygonItem>> polygons) {
    return encode_items(FormatKind::PolygonTreeForm, polygons);
}

std::vector<std::byte> encode_point(const geodetic::GeodeticPoint& point) {
    return encode_one(FormatKind::Point, point);
}

std::vector<std::byte> encode_linestring(const geodetic::GeodeticLineString& linestring) {
    return encode_one(FormatKind::LineString, linestring);
}

std::vector<std::byte> encode_polygon(const geodetic::GeodeticPolygon& polygon) {
    return encode_one(FormatKind::Polygon, polygon);
}

std::vector<std::byte> encode_multilinestring(const geodetic::LineStringItem& item) {
    return encode_one(FormatKind::MultiLineString, item);
}

std::vector<std::byte> encode_multipolygon(const geodetic::PolygonItem& item) {
    return encode_one(FormatKind::MultiPolygon, item);
}

LoadResult<indexed::PointTree> try_decode_point_tree(std::span<const std::byte> data,
                                                      const std::shared_ptr<const void>& keeper) {
    if (std::optional<indexed::PointTree> tree = load_point_tree_at_once(data, keeper)) {
        return std::move(*tree);
    }
    // Refused (or written before the checksum): the checks again, one at a time in
    // their order, to name the first fault.
    Reader in(data);
    const auto counts = in.header(FormatKind::PointTreeForm);
    if (!counts) {
        return std::move(in).error();
    }
    auto sections = point_tree_sections(counts->first, counts->second, in.remaining());
    if (auto* error = std::get_if<FormatError>(&sections)) {
        return std::move(*error);
    }
    const PointTreeSections& at = std::get<PointTreeSections>(sections);
    PointTreeArrays arrays(data, at, keeper);
    const std::span<const GeodeticCoord> coords = arrays.coords.span();
    const std::span<const indexed::PointLeaf> leaves = arrays.leaves.span();
    if (std::optional<FormatError> error = check_coords(coords, at.coords_offset)) {
        return std::move(*error);
    }
    std::vector<std::uint32_t> min_positions(at.m);
    if (std::optional<FormatError> error =
            check_nodes(arrays.nodes.span(), leaves, at.nodes_offset, at.positions_offset, min_positions)) {
        return std::move(*error);
    }
    if (std::optional<FormatError> error = check_leaf_vectors(leaves, coords, at.positions_offset)) {
        return std::move(*error);
    }
    return std::move(arrays).into_tree(std::move(min_positions));
}

LoadResult<std::vector<geodetic::LineStringItem>> try_decode_linestrings(std::span<const std::byte> data) {
    return decode_items<geodetic::LineStringItem>(data, FormatKind::LineStringTreeForm, read_linestring_item);
}

LoadResult<std::vector<geodetic::PolygonItem>> try_decode_polygons(std::span<const std::byte> data) {
    return decode_items<geodetic::PolygonItem>(data, FormatKind::PolygonTreeForm, read_polygon_item);
}

LoadResult<geodetic::GeodeticPoint> try_decode_point(std::span<const std::byte> data) {
    return decode_one<geodetic::GeodeticPoint>(data, FormatKind::Point,
                                               [](Reader& in, std::size_t) -> std::optional<geodetic::GeodeticPoint> {
                                                   const std::optional<GeodeticCoord> coord = in.coord("point 0");
                                                   if (!coord) {
                                                       return std::nullopt;
                                                   }
                                                   return geodetic::GeodeticPoint::from_coord(*coord);
                                               });
}

LoadResult<geodetic::GeodeticLineString> try_decode_linestring(std::span<const std::byte> data) {
    return decode_one<geodetic::GeodeticLineString>(data, FormatKind::LineString, read_linestring);
}

LoadResult<geodetic::GeodeticPolygon> try_decode_polygon(std::span<const std::byte> data) {
    return decode_one<geodetic::GeodeticPolygon>(data, FormatKind::Polygon, read_polygon);
}

namespace {

// A multipart geometry's one item, which must be multipart.
template <typename Item>
LoadResult<Item> only_multipart(LoadResult<Item>&& loaded) {
    if (const Item* item = std::get_if<Item>(&loaded); item != nullptr && !item->is_multipart()) {
        return FormatError{at("item 0 part count", HEADER_BYTES) + ": 0, a multipart geometry has parts"};
    }
    return std::move(loaded);
}

}  // namespace

LoadResult<geodetic::LineStringItem> try_decode_multilinestring(std::span<const std::byte> data) {
    return only_multipart(
        decode_one<geodetic::LineStringItem>(data, FormatKind::MultiLineString, read_linestring_item));
}

LoadResult<geodetic::PolygonItem> try_decode_multipolygon(std::span<const std::byte> data) {
    return only_multipart(decode_one<geodetic::PolygonItem>(data, FormatKind::MultiPolygon, read_polygon_item));
}

}  // namespace sferix::indexed
