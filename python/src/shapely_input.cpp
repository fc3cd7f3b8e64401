#include "shapely_input.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

#include "toolkit/errors.hpp"
#include "toolkit/gil.hpp"

namespace sferix::python {

namespace {

InternedString shapely_name("shapely");
InternedString geometry_name("Geometry");
InternedString linear_ring_name("LinearRing");
InternedString to_wkb_name("to_wkb");
InternedString output_dimension_name("output_dimension");

// The WKB type numbers of the kinds read here (two-dimensional, no SRID).
constexpr std::uint32_t WKB_LINESTRING = 2;
constexpr std::uint32_t WKB_POLYGON = 3;
constexpr std::uint32_t WKB_MULTILINESTRING = 5;
constexpr std::uint32_t WKB_MULTIPOLYGON = 6;

// Reads one geometry's WKB, as shapely writes it in two dimensions, into the parts that
// parse_query_geometry would give, validating each chain in the same order. Every
// count is checked against the bytes left: the buffer comes from outside.
class WkbReader {
public:
    explicit WkbReader(std::span<const std::byte> bytes) noexcept : bytes_(bytes) {}

    // Whether the geometry was a (multi)linestring or (multi)polygon with nothing
    // empty, read whole into `parts`; false for anything else, or a failed validation
    // (`invalid` set, the exception pending).
    bool read(QueryParts& parts, bool& invalid) {
        std::uint32_t type = 0;
        if (!header(type)) {
            return false;
        }
        if (type == WKB_LINESTRING || type == WKB_POLYGON) {
            return part(type, parts, invalid) && at_ == bytes_.size();
        }
        if (type != WKB_MULTILINESTRING && type != WKB_MULTIPOLYGON) {
            return false;
        }
        std::uint32_t count = 0;
        if (!number(count) || count == 0) {
            return false;
        }
        for (std::uint32_t k = 0; k < count; ++k) {
            std::uint32_t part_type = 0;
            if (!header(part_type) || part_type != type - 3 || !part(part_type, parts, invalid)) {
                return false;
            }
        }
        return at_ == bytes_.size();
    }

private:
    bool header(std::uint32_t& type) {
        if (at_ >= bytes_.size() || (bytes_[at_] != std::byte{0} && bytes_[at_] != std::byte{1})) {
            return false;
        }
        swap_ = (bytes_[at_] == std::byte{1}) != (std::endian::native == std::endian::little);
        ++at_;
        return number(type);
    }

    template <typename T>
    bool number(T& out) {
        if (bytes_.size() - at_ < sizeof(T)) {
            return false;
        }
        std::array<std::byte, sizeof(T)> raw{};
        std::memcpy(raw.data(), bytes_.data() + at_, sizeof(T));
        if (swap_) {
            std::reverse(raw.begin(), raw.end());
        }
        std::memcpy(&out, raw.data(), sizeof(T));
        at_ += sizeof(T);
        return true;
    }

    // A chain of at least one point.
    bool chain(std::vector<geodetic::LonLat>& pairs) {
        std::uint32_t count = 0;
        if (!number(count) || count == 0 || (bytes_.size() - at_) / 16 < count) {
            return false;
        }
        pairs.resize(count);
        for (geodetic::LonLat& pair : pairs) {
            static_cast<void>(number(pair.lon) && number(pair.lat));
        }
        return true;
    }

    bool part(std::uint32_t type, QueryParts& parts, bool& invalid) {
        std::vector<geodetic::LonLat> pairs;
        if (type == WKB_LINESTRING) {
            if (!chain(pairs)) {
                return false;
            }
            std::optional<geodetic::ValidatedLineString> line =
                checked(geodetic::GeodeticLineString::try_validate_lonlat(std::move(pairs)));
            invalid = !line;
            if (line) {
                parts.lines.push_back(std::move(*line));
            }
            return line.has_value();
        }
        std::uint32_t rings = 0;
        if (!number(rings) || rings == 0) {
            return false;
        }
        std::optional<geodetic::GeodeticRing> exterior;
        std::vector<geodetic::GeodeticRing> interiors;
        for (std::uint32_t r = 0; r < rings; ++r) {
            if (!chain(pairs)) {
                return false;
            }
            std::optional<geodetic::GeodeticRing> ring = checked(geodetic::GeodeticRing::try_from_lonlat(std::move(pairs)));
            if (!ring) {
                invalid = true;
                return false;
            }
            if (!exterior) {
                exterior.emplace(std::move(*ring));
            } else {
                interiors.push_back(std::move(*ring));
            }
        }
        parts.polygons.push_back(PolygonRings{std::move(*exterior), std::move(interiors)});
        return true;
    }

    std::span<const std::byte> bytes_;
    std::size_t at_ = 0;
    bool swap_ = false;
};

}  // namespace

std::optional<BulkQueryGeometries> read_shapely_query_geometries(const std::vector<PyRef>& elements) {
    BulkQueryGeometries bulk;
    const std::optional<PyRef> imported = imported_module(shapely_name);
    if (!imported) {
        return std::nullopt;
    }
    const PyRef& shapely = *imported;
    if (!shapely || elements.empty()) {
        return std::optional(std::move(bulk));
    }
    const auto give_up = [&]() -> std::optional<BulkQueryGeometries> {
        if (PyErr_Occurred() != nullptr && !discard_ordinary_error()) {
            return std::nullopt;
        }
        return BulkQueryGeometries{};
    };
    PyObject* dimension_key = output_dimension_name.get();  // borrowed, process-wide
    if (dimension_key == nullptr) {
        return std::nullopt;
    }
    const PyRef geometry_type = attribute(shapely.get(), geometry_name);
    const PyRef linear_ring_type = attribute(shapely.get(), linear_ring_name);
    const PyRef to_wkb = attribute(shapely.get(), to_wkb_name);
    if (!geometry_type || !linear_ring_type || !to_wkb) {
        return give_up();
    }
    const PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
    if (!list) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < elements.size(); ++i) {
        // A ring is written as a linestring, but one by one it is not read as one.
        const int is_geometry = PyObject_IsInstance(elements[i].get(), geometry_type.get());
        if (is_geometry != 1 || PyObject_IsInstance(elements[i].get(), linear_ring_type.get()) != 0) {
            return give_up();
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), PyRef::new_ref(elements[i].get()).release());
    }
    // WKB in two dimensions (a z is not read, as one-by-one reading ignores it): one
    // call for every element, where shapely's other bulk forms take several.
    const PyRef args = PyRef::steal(PyTuple_Pack(1, list.get()));
    const PyRef kwargs = PyRef::steal(PyDict_New());
    const PyRef two = PyRef::steal(PyLong_FromLong(2));
    if (!args || !kwargs || !two || PyDict_SetItem(kwargs.get(), dimension_key, two.get()) != 0) {
        return std::nullopt;
    }
    const PyRef written = PyRef::steal(PyObject_Call(to_wkb.get(), args.get(), kwargs.get()));
    if (!written) {
        return give_up();
    }
    bulk.geometries.reserve(elements.size());
    for (std::size_t g = 0; g < elements.size(); ++g) {
        const PyRef wkb = PyRef::steal(PySequence_GetItem(written.get(), static_cast<Py_ssize_t>(g)));
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (!wkb || !PyBytes_Check(wkb.get()) || PyBytes_AsStringAndSize(wkb.get(), &data, &size) != 0) {
            return give_up();
        }
        QueryParts parts;
        bool invalid = false;
        WkbReader reader(std::as_bytes(std::span<const char>(data, static_cast<std::size_t>(size))));
        if (!reader.read(parts, invalid)) {
            if (invalid) {
                mark_input_item(g);
                return std::nullopt;
            }
            return give_up();
        }
        bulk.geometries.push_back(std::move(parts));
    }
    bulk.read = true;
    return bulk;
}

}  // namespace sferix::python
