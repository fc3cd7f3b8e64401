#pragma once

// The binary form of the trees and of single geometries, and its strict loader.
//
//   std::vector<std::byte> data = encode_point_tree(tree);
//   LoadResult<PointTree> loaded = try_decode_point_tree(data);   // or a FormatError
//
// Layout, version 2, every number little-endian, no padding between fields:
//
//   offset  size  field
//   0       8     magic "SFERIX\0\1"
//   8       4     u32 format version (2; version 1 is read too)
//   12      4     u32 kind (FormatKind)
//   16      8     u64 item count n (points, linestrings or polygons; 1 for a geometry)
//   24      8     u64 node count m (point tree), 0 otherwise
//   32            body
//   end − 8 8     u64 checksum of every byte before it: XXH64 (seed 0, support/checksum.hpp)
//                 of the XXH64 digests, as u64s, of those bytes' 1 MiB blocks in order
//                 (the last block shorter; one block, maybe empty, for a short buffer)
//
// The checksum is computed as the bytes are written, and checked before anything else
// is read but the magic and the version. Version 1 has no checksum and no part counts
// (every tree item is a single geometry); it still loads, with every other check below.
//
// Point tree body: the flat tree as stored, then the input coordinates.
//   m nodes of 56 bytes, root first: lower x, y, z and upper x, y, z (f64), first child
//     (u32), child count (u16), 1 if the children are leaves else 0 (u8), 0 (u8);
//   n leaves of 28 bytes, in storage order: unit vector x, y, z (f64), input position (u32);
//   n coordinates (lon, lat as f64, degrees), in input order.
// Each stored leaf vector must be embed() of its point's stored coordinate, every
// component within LEAF_VECTOR_TOLERANCE (16 units of 2^-53, 11 nm on the ground:
// room for a libm whose sine differs in the last bits, and for the loader's cheaper
// sine), so that the queries by vector and those by coordinate (WGS84) agree.
//
// Linestring and polygon tree bodies: the n items in input order, each a u32 part
// count p, then its parts: one geometry for p = 0 (a single geometry), else p geometries
// (a multipart item). A single geometry's body is one geometry; a MultiLineString's or
// MultiPolygon's is one item.
//   point:      lon, lat (f64);
//   linestring: u64 vertex count v, then v (lon, lat) pairs;
//   polygon:    u32 fill (0 left of the exterior, 1 the smaller region), u32 ring count
//               r ≥ 1, then r rings (exterior first) each as a linestring's vertices.
// Version 1 had no multipart items: its tree items are single geometries without the
// part count, and it has no MultiLineString or MultiPolygon kind.
// Their loader validates every geometry with the same factories as any input, and
// the tree is bulk-loaded again (the stored form carries no node array for them).
//
// The loaders trust nothing: every count is checked against the bytes that remain
// before anything is allocated, every coordinate goes through GeodeticCoord::try_new,
// every child index and count is checked, every leaf must be below exactly one node
// and every node but the root the child of exactly one node stored before it (so a
// walk can neither leave the arrays nor loop), and every node's box must equal the
// merge of its children's, compared as numbers (so a NaN box fails; a zero's sign,
// which no query can see, may differ). The buffer must end where the body ends. A
// failure names the field and its byte offset. A tree that loads answers every query
// exactly as the tree that was saved.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "geodetic/multipart.hpp"
#include "index/tree.hpp"

namespace sferix::indexed {

enum class FormatKind : std::uint32_t {
    PointTreeForm = 1,
    LineStringTreeForm = 2,
    PolygonTreeForm = 3,
    Point = 4,
    LineString = 5,
    Polygon = 6,
    MultiLineString = 7,
    MultiPolygon = 8,
};

// The version written; every version from OLDEST_FORMAT_VERSION on is read. Version 3
// is version 2 with leaf-level nodes of up to 32 leaves: a build that reads only up to 2
// then refuses it by its version rather than by a node it cannot place.
inline constexpr std::uint32_t FORMAT_VERSION = 3;
inline constexpr std::uint32_t OLDEST_FORMAT_VERSION = 1;
// The first version whose tree items carry a part count and whose payload ends in a
// checksum.
inline constexpr std::uint32_t MULTIPART_FORMAT_VERSION = 2;
inline constexpr std::size_t HEADER_BYTES = 32;
inline constexpr std::size_t CHECKSUM_BYTES = 8;
inline constexpr double LEAF_VECTOR_TOLERANCE = 16.0 * 0x1p-53;

// Why a buffer was refused, e.g. "node 3 at offset 200: child range [9, 15) beyond
// the 12 nodes".
struct FormatError {
    std::string message;
};

template <typename T>
using LoadResult = std::variant<T, FormatError>;

// The checksum stored after `covered`, the bytes before it (see the layout above).
[[nodiscard]] std::uint64_t payload_checksum(std::span<const std::byte> covered);

[[nodiscard]] std::vector<std::byte> encode_point_tree(const indexed::PointTree& tree);
// The size of encode_point_tree(tree), and its bytes written into `out` instead, so that
// a caller can write them straight into storage of its own (a bytes object) rather than
// fill a vector and copy it. REQUIRES: out.size() == point_tree_encoded_size(tree).
[[nodiscard]] std::size_t point_tree_encoded_size(const indexed::PointTree& tree) noexcept;
void encode_point_tree_into(const indexed::PointTree& tree, std::span<std::byte> out);
[[nodiscard]] std::vector<std::byte> encode_linestrings(
    std::span<const std::shared_ptr<const geodetic::LineStringItem>> linestrings);
[[nodiscard]] std::vector<std::byte> encode_polygons(
    std::span<const std::shared_ptr<const geodetic::PolygonItem>> polygons);
[[nodiscard]] std::vector<std::byte> encode_point(const geodetic::GeodeticPoint& point);
[[nodiscard]] std::vector<std::byte> encode_linestring(const geodetic::GeodeticLineString& linestring);
[[nodiscard]] std::vector<std::byte> encode_polygon(const geodetic::GeodeticPolygon& polygon);
[[nodiscard]] std::vector<std::byte> encode_multilinestring(const geodetic::LineStringItem& item);
[[nodiscard]] std::vector<std::byte> encode_multipolygon(const geodetic::PolygonItem& item);

// The checked tree; linear in the buffer's size. Without a keeper the tree copies its
// arrays out of `data`. With one, `data` must not change and must stay alive while the
// keeper (or any copy of it) is held: the tree then reads every array whose place in
// `data` is aligned for its type (nodes and coordinates at 8 bytes) in place, keeping
// a share of the keeper, and copies only the others. Either way the checks read the
// arrays the tree keeps, and heap_bytes() is the same.
[[nodiscard]] LoadResult<indexed::PointTree> try_decode_point_tree(std::span<const std::byte> data,
                                                                    const std::shared_ptr<const void>& keeper = nullptr);
// The checked items of a linestring or polygon tree, in input order, for the caller
// to index.
[[nodiscard]] LoadResult<std::vector<geodetic::LineStringItem>> try_decode_linestrings(
    std::span<const std::byte> data);
[[nodiscard]] LoadResult<std::vector<geodetic::PolygonItem>> try_decode_polygons(std::span<const std::byte> data);
[[nodiscard]] LoadResult<geodetic::GeodeticPoint> try_decode_point(std::span<const std::byte> data);
[[nodiscard]] LoadResult<geodetic::GeodeticLineString> try_decode_linestring(std::span<const std::byte> data);
[[nodiscard]] LoadResult<geodetic::GeodeticPolygon> try_decode_polygon(std::span<const std::byte> data);
[[nodiscard]] LoadResult<geodetic::LineStringItem> try_decode_multilinestring(std::span<const std::byte> data);
[[nodiscard]] LoadResult<geodetic::PolygonItem> try_decode_multipolygon(std::span<const std::byte> data);

}  // namespace sferix::indexed
