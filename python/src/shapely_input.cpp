#include "shapely_input.hpp"

#include <cstddef>
#include <utility>

#include "numpy_arrays.hpp"
#include "toolkit/errors.hpp"
#include "toolkit/gil.hpp"

namespace sferix::python {

namespace {

InternedString shapely_name("shapely");
InternedString geometry_name("Geometry");
InternedString to_ragged_array_name("to_ragged_array");

// shapely's GeometryType numbers of the kinds read here.
constexpr long LINESTRING = 1;
constexpr long POLYGON = 3;
constexpr long MULTILINESTRING = 5;
constexpr long MULTIPOLYGON = 6;

// An offset array: entry k is where item k of a level starts in the level below, the
// last entry where that level ends. Checked, not trusted: the entries index copied-out
// memory.
struct Offsets {
    std::vector<std::size_t> starts;

    [[nodiscard]] std::size_t count() const noexcept { return starts.size() - 1; }
};

// Reads `array` as offsets into a level of `below` items, each item non-empty when
// `non_empty`. nullopt: an interrupt or exit request is pending; an empty `starts`:
// unusable (nothing pending).
std::optional<Offsets> read_offsets(PyObject* array, std::size_t below, bool non_empty) {
    Offsets offsets;
    const std::optional<PyRef> list = numeric_array_as_list(array);
    if (!list) {
        return discard_ordinary_error() ? std::optional<Offsets>(std::move(offsets)) : std::nullopt;
    }
    if (!*list || PyList_Size(list->get()) < 1) {
        return offsets;
    }
    const Py_ssize_t size = PyList_Size(list->get());
    offsets.starts.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k) {
        PyObject* entry = PyList_GetItem(list->get(), k);  // borrowed
        const long long value = PyLong_Check(entry) ? PyLong_AsLongLong(entry) : -1;
        const bool first = k == 0;
        if (value < 0 || static_cast<unsigned long long>(value) > below || (first && value != 0) ||
            (!first && (static_cast<std::size_t>(value) < offsets.starts.back() ||
                        (non_empty && static_cast<std::size_t>(value) == offsets.starts.back())))) {
            PyErr_Clear();
            offsets.starts.clear();
            return offsets;
        }
        offsets.starts.push_back(static_cast<std::size_t>(value));
    }
    if (offsets.starts.back() != below) {
        offsets.starts.clear();
    }
    return offsets;
}

}  // namespace

std::optional<BulkQueryGeometries> read_shapely_query_geometries(const std::vector<PyRef>& elements) {
    BulkQueryGeometries bulk;
    PyObject* name = shapely_name.get();  // borrowed, process-wide
    if (name == nullptr) {
        return std::nullopt;
    }
    // Only a program that imported shapely can pass its geometries.
    const PyRef shapely = PyRef::steal(PyImport_GetModule(name));
    if (!shapely || elements.empty()) {
        return PyErr_Occurred() == nullptr || discard_ordinary_error() ? std::optional(std::move(bulk)) : std::nullopt;
    }
    const auto give_up = [&]() -> std::optional<BulkQueryGeometries> {
        if (PyErr_Occurred() != nullptr && !discard_ordinary_error()) {
            return std::nullopt;
        }
        return BulkQueryGeometries{};
    };
    PyObject* geometry_key = geometry_name.get();          // borrowed, process-wide
    PyObject* to_ragged_array_key = to_ragged_array_name.get();  // borrowed, process-wide
    if (geometry_key == nullptr || to_ragged_array_key == nullptr) {
        return std::nullopt;
    }
    const PyRef geometry_type = PyRef::steal(PyObject_GetAttr(shapely.get(), geometry_key));
    const PyRef to_ragged_array = PyRef::steal(PyObject_GetAttr(shapely.get(), to_ragged_array_key));
    if (!geometry_type || !to_ragged_array) {
        return give_up();
    }
    const PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(elements.size())));
    if (!list) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const int is_geometry = PyObject_IsInstance(elements[i].get(), geometry_type.get());
        if (is_geometry != 1) {
            return give_up();
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), PyRef::new_ref(elements[i].get()).release());
    }
    const PyRef ragged = PyRef::steal(PyObject_CallFunctionObjArgs(to_ragged_array.get(), list.get(), nullptr));
    if (!ragged || !PyTuple_Check(ragged.get()) || PyTuple_Size(ragged.get()) != 3) {
        return give_up();
    }
    const long kind = PyLong_Check(PyTuple_GetItem(ragged.get(), 0)) ? PyLong_AsLong(PyTuple_GetItem(ragged.get(), 0))
                                                                        : -1;
    const bool polygons = kind == POLYGON || kind == MULTIPOLYGON;
    const bool multi = kind == MULTILINESTRING || kind == MULTIPOLYGON;
    if (!polygons && kind != LINESTRING && kind != MULTILINESTRING) {
        return give_up();
    }
    const std::optional<Float64Matrix> coords = float64_matrix(PyTuple_GetItem(ragged.get(), 1));
    if (!coords) {
        return give_up();
    }
    PyObject* offset_arrays = PyTuple_GetItem(ragged.get(), 2);  // borrowed
    // Chains (rings or lines) into coordinates, polygons into rings, geometries into
    // parts: the levels a kind has, innermost first.
    const Py_ssize_t levels = 1 + (polygons ? 1 : 0) + (multi ? 1 : 0);
    if (!coords->qualifies() || coords->columns() < 2 || !PyTuple_Check(offset_arrays) ||
        PyTuple_Size(offset_arrays) != levels) {
        return give_up();
    }
    std::vector<Offsets> level(static_cast<std::size_t>(levels));
    std::size_t below = coords->rows();
    for (Py_ssize_t l = 0; l < levels; ++l) {
        std::optional<Offsets> read = read_offsets(PyTuple_GetItem(offset_arrays, l), below, true);
        if (!read) {
            return std::nullopt;
        }
        if (read->starts.empty()) {
            return give_up();
        }
        below = read->count();
        level[static_cast<std::size_t>(l)] = std::move(*read);
    }
    if (below != elements.size()) {
        return give_up();
    }
    const Offsets& chains = level[0];
    const auto chain = [&](std::size_t c) {
        std::vector<geodetic::LonLat> pairs;
        pairs.reserve(chains.starts[c + 1] - chains.starts[c]);
        for (std::size_t row = chains.starts[c]; row < chains.starts[c + 1]; ++row) {
            pairs.push_back({coords->at(row, 0), coords->at(row, 1)});
        }
        return pairs;
    };
    bulk.geometries.reserve(elements.size());
    for (std::size_t g = 0; g < elements.size(); ++g) {
        QueryParts parts;
        std::size_t first = g;
        std::size_t end = g + 1;
        if (multi) {
            first = level.back().starts[g];
            end = level.back().starts[g + 1];
        }
        for (std::size_t p = first; p < end; ++p) {
            bool valid = true;
            if (polygons) {
                const Offsets& rings = level[1];
                std::optional<geodetic::GeodeticRing> exterior;
                std::vector<geodetic::GeodeticRing> interiors;
                for (std::size_t r = rings.starts[p]; valid && r < rings.starts[p + 1]; ++r) {
                    std::optional<geodetic::GeodeticRing> ring = checked(geodetic::GeodeticRing::try_from_lonlat(chain(r)));
                    if (!ring) {
                        valid = false;
                    } else if (!exterior) {
                        exterior.emplace(std::move(*ring));
                    } else {
                        interiors.push_back(std::move(*ring));
                    }
                }
                if (valid) {
                    parts.polygons.push_back(PolygonRings{std::move(*exterior), std::move(interiors)});
                }
            } else {
                std::optional<geodetic::ValidatedLineString> line =
                    checked(geodetic::GeodeticLineString::try_validate_lonlat(chain(p)));
                valid = line.has_value();
                if (valid) {
                    parts.lines.push_back(std::move(*line));
                }
            }
            if (!valid) {
                mark_input_item(g);
                return std::nullopt;
            }
        }
        bulk.geometries.push_back(std::move(parts));
    }
    bulk.read = true;
    return bulk;
}

}  // namespace sferix::python
