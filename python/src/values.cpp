#include "values.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "binary_form.hpp"
#include "geo_input.hpp"
#include "toolkit/arguments.hpp"
#include "toolkit/errors.hpp"
#include "toolkit/py_ref.hpp"
#include "toolkit/sequences.hpp"
#include "toolkit/types.hpp"

#include "support/float_text.hpp"

namespace sferix::python {

namespace {

// {"type": type_name, "coordinates": coordinates}, in that insertion order.
PyRef geometry_mapping(InternedString& type_name, PyRef coordinates) {
    if (!coordinates) {
        return PyRef();
    }
    PyObject* type_key = geo_key::type.get();                // borrowed, process-wide
    PyObject* coordinates_key = geo_key::coordinates.get();  // borrowed, process-wide
    PyObject* type_value = type_name.get();                  // borrowed, process-wide
    if (type_key == nullptr || coordinates_key == nullptr || type_value == nullptr) {
        return PyRef();
    }
    PyRef mapping = PyRef::steal(PyDict_New());
    if (!mapping || PyDict_SetItem(mapping.get(), type_key, type_value) < 0 ||
        PyDict_SetItem(mapping.get(), coordinates_key, coordinates.get()) < 0) {
        return PyRef();
    }
    return mapping;
}

// Geometries to the plain Python values of their __geo_interface__: coordinates are
// 2-tuples (lon, lat) of floats in degrees, vertex lists and rings are lists. Every
// call builds new objects; each returns an owned reference, or an empty PyRef with the
// interpreter's exception pending when it cannot allocate. Nothing is validated: the
// geometries were validated when built.

// (lon, lat).
PyRef coordinate_tuple(double lon, double lat) {
    PyRef tuple = PyRef::steal(PyTuple_New(2));
    if (!tuple) {
        return PyRef();
    }
    for (Py_ssize_t index = 0; index < 2; ++index) {
        PyObject* value = PyFloat_FromDouble(index == 0 ? lon : lat);  // owned, given to the tuple
        if (value == nullptr || PyTuple_SetItem(tuple.get(), index, value) < 0) {
            return PyRef();
        }
    }
    return tuple;
}

// [(lon, lat), ...], one tuple per vertex in order, repeated vertices included.
PyRef vertex_list(std::span<const geodetic::GeodeticCoord> vertices) {
    return new_list(vertices.size(), [vertices](std::size_t index) {
        return coordinate_tuple(vertices[index].lon(), vertices[index].lat());
    });
}

// [[(lon, lat), ...], ...]: one vertex_list per ring of `rings`, in order.
PyRef ring_lists(std::span<const geodetic::GeodeticRing> rings) {
    return new_list(rings.size(), [rings](std::size_t index) { return vertex_list(rings[index].coords()); });
}

// The "coordinates" of a geometry's __geo_interface__: a point's (lon, lat), a
// linestring's vertex list, a polygon's rings (the exterior first, each a vertex list,
// closed: its last vertex repeats the first), a multipart item's list of its parts'.
PyRef coordinates_of(const geodetic::GeodeticPoint& point) { return coordinate_tuple(point.lon(), point.lat()); }

PyRef coordinates_of(const geodetic::GeodeticLineString& linestring) { return vertex_list(linestring.coords()); }

PyRef coordinates_of(const geodetic::GeodeticPolygon& polygon) {
    const std::vector<geodetic::GeodeticRing>& interiors = polygon.interiors();
    return new_list(interiors.size() + 1, [&polygon, &interiors](std::size_t index) {
        return vertex_list((index == 0 ? polygon.exterior() : interiors[index - 1]).coords());
    });
}

template <typename G>
PyRef coordinates_of(const geodetic::MultiPart<G>& item) {
    return new_list(item.part_count(), [&item](std::size_t index) { return coordinates_of(item.part(index)); });
}

using PointHandle = std::shared_ptr<const geodetic::GeodeticPoint>;
using LineStringHandle = std::shared_ptr<const geodetic::GeodeticLineString>;
using PolygonHandle = std::shared_ptr<const geodetic::GeodeticPolygon>;
using MultiLineStringHandle = std::shared_ptr<const geodetic::LineStringItem>;
using MultiPolygonHandle = std::shared_ptr<const geodetic::PolygonItem>;

// The geometry behind an instance. The interpreter calls the slots and getters below
// only with instances of their own class (getset descriptors check the type).
template <typename Handle>
const auto& geometry_of(PyObject* self) noexcept {
    return *state_of<Handle>(self);
}

// A getter or slot body that builds a PyRef, run inside the entry wrapper.
template <typename Body>
PyObject* entry_object(Body&& body) noexcept {
    return run_entry([&]() -> PyObject* { return body().release(); });
}

PyRef text(const std::string& value) {
    return PyRef::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

// A value class as the binary-form methods see it: its name, type, and the codec of its
// geometry. A decoded geometry becomes the value new_value makes of it.
template <typename Handle, const char* Name, PyTypeObject* (*Type)(), auto Encode, auto Decode>
struct ValueForm {
    using State = Handle;
    using Geometry = typename Handle::element_type;
    static constexpr std::string_view NAME = Name;
    static PyTypeObject* type() { return Type(); }
    static std::vector<std::byte> encode(const Handle& handle) { return Encode(*handle); }
    static std::variant<Handle, indexed::FormatError> decode(std::span<const std::byte> data,
                                                              const std::shared_ptr<const void>& /* keeper */) {
        auto loaded = Decode(data);
        if (auto* error = std::get_if<indexed::FormatError>(&loaded)) {
            return std::move(*error);
        }
        return std::make_shared<Geometry>(std::move(std::get<0>(loaded)));
    }
    static PyObject* adopt(Handle&& handle) { return new_value(std::move(handle)); }
};

constexpr char POINT[] = "Point", LINESTRING[] = "LineString", POLYGON[] = "Polygon";
constexpr char MULTILINESTRING[] = "MultiLineString", MULTIPOLYGON[] = "MultiPolygon";
using PointForm = ValueForm<PointHandle, POINT, point_type, indexed::encode_point, indexed::try_decode_point>;
using LineStringForm = ValueForm<LineStringHandle, LINESTRING, linestring_type, indexed::encode_linestring,
                                 indexed::try_decode_linestring>;
using PolygonForm =
    ValueForm<PolygonHandle, POLYGON, polygon_type, indexed::encode_polygon, indexed::try_decode_polygon>;
using MultiLineStringForm = ValueForm<MultiLineStringHandle, MULTILINESTRING, multilinestring_type,
                                      indexed::encode_multilinestring, indexed::try_decode_multilinestring>;
using MultiPolygonForm = ValueForm<MultiPolygonHandle, MULTIPOLYGON, multipolygon_type, indexed::encode_multipolygon,
                                   indexed::try_decode_multipolygon>;

// A value class's process-wide parts: its getters, slots, PyType_Spec (named
// `type_name`, "sferix.<Name>") and type object, made on first use. Given a `length`,
// the class also has len(). Lives at namespace scope for the life of the process.
template <typename Form, std::size_t Getters>
class ValueClass {
    using Handle = typename Form::State;

public:
    ValueClass(const char* type_name, const char* doc, reprfunc repr, const std::array<PyGetSetDef, Getters>& getters,
               lenfunc length = nullptr)
        : getset_(table_of(getters)),
          methods_(table_of(travel_methods<Form>(
              "to_bytes($self)\n--\n\nThe geometry in its binary form, which `from_bytes` reads back.",
              "from_bytes($type, data)\n--\n\nThe geometry whose binary form is `data` (made by `to_bytes`), checked "
              "as\nany input; a bad buffer raises ValueError."))),
          slots_{{
              {Py_tp_doc, const_cast<char*>(doc)},
              {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<Handle>)},
              {Py_tp_repr, reinterpret_cast<void*>(repr)},
              {Py_tp_getset, getset_.data()},
              {Py_tp_methods, methods_.data()},
              // A slot may not be empty: without a length the list ends here.
              length != nullptr ? PyType_Slot{Py_mp_length, reinterpret_cast<void*>(length)} : PyType_Slot{0, nullptr},
              {0, nullptr},
          }},
          type_spec_{type_name, instance_size<Handle>(), 0, VALUE_CLASS_FLAGS, slots_.data()},
          type_(type_spec_) {}
    ValueClass(const ValueClass&) = delete;
    ValueClass& operator=(const ValueClass&) = delete;

    // The type object, borrowed; nullptr with an exception pending. REQUIRES: the GIL is held.
    PyTypeObject* get() { return type_.get(); }

private:
    std::array<PyGetSetDef, Getters + 1> getset_;
    std::array<PyMethodDef, 7> methods_;
    std::array<PyType_Slot, 7> slots_;
    PyType_Spec type_spec_;
    LazyType type_;
};

// The __geo_interface__ getter of a class whose geo mapping has the type `type_name`.
template <typename Handle, InternedString& type_name>
PyObject* geo_interface(PyObject* self, void* /* closure */) {
    return entry_object([self] { return geometry_mapping(type_name, coordinates_of(geometry_of<Handle>(self))); });
}

// Point

PyObject* point_x(PyObject* self, void* /* closure */) {
    return run_entry([self] { return PyFloat_FromDouble(geometry_of<PointHandle>(self).lon()); });
}

PyObject* point_y(PyObject* self, void* /* closure */) {
    return run_entry([self] { return PyFloat_FromDouble(geometry_of<PointHandle>(self).lat()); });
}

PyObject* point_coordinates(PyObject* self, void* /* closure */) {
    return entry_object([self] {
        const geodetic::GeodeticPoint& point = geometry_of<PointHandle>(self);
        return coordinate_tuple(point.lon(), point.lat());
    });
}

PyObject* point_repr(PyObject* self) {
    return entry_object([self] {
        const geodetic::GeodeticPoint& point = geometry_of<PointHandle>(self);
        return text("Point(lon=" + support::format_float(point.lon()) + ", lat=" + support::format_float(point.lat()) +
                    ")");
    });
}

ValueClass<PointForm, 4> point_class("sferix.Point", "A geodetic point `(lon, lat)` in degrees.", point_repr,
                                     {{
                                         {"x", point_x, nullptr, nullptr, nullptr},
                                         {"y", point_y, nullptr, nullptr, nullptr},
                                         {"coordinates", point_coordinates, nullptr, "The `(lon, lat)` pair.", nullptr},
                                         {"__geo_interface__", geo_interface<PointHandle, geo_type::point>, nullptr,
                                          nullptr, nullptr},
                                     }});

// LineString

PyObject* linestring_coordinates(PyObject* self, void* /* closure */) {
    return entry_object([self] { return vertex_list(geometry_of<LineStringHandle>(self).coords()); });
}

PyObject* linestring_repr(PyObject* self) {
    return entry_object([self] {
        const std::size_t vertices = geometry_of<LineStringHandle>(self).coords().size();
        return text("LineString(" + std::to_string(vertices) + " vertices)");
    });
}

Py_ssize_t linestring_length(PyObject* self) {
    return run_entry([self] { return static_cast<Py_ssize_t>(geometry_of<LineStringHandle>(self).coords().size()); });
}

ValueClass<LineStringForm, 2> linestring_class(
    "sferix.LineString", "A geodetic linestring: a sequence of `(lon, lat)` vertices joined by great-circle arcs.",
    linestring_repr,
    {{
        {"coordinates", linestring_coordinates, nullptr, "The `(lon, lat)` vertices.", nullptr},
        {"__geo_interface__", geo_interface<LineStringHandle, geo_type::linestring>, nullptr, nullptr, nullptr},
    }},
    linestring_length);

// Polygon

PyObject* polygon_exterior(PyObject* self, void* /* closure */) {
    return entry_object([self] { return vertex_list(geometry_of<PolygonHandle>(self).exterior().coords()); });
}

PyObject* polygon_interiors(PyObject* self, void* /* closure */) {
    return entry_object([self] { return ring_lists(geometry_of<PolygonHandle>(self).interiors()); });
}

PyObject* polygon_repr(PyObject* self) {
    return entry_object([self] {
        const geodetic::GeodeticPolygon& polygon = geometry_of<PolygonHandle>(self);
        return text("Polygon(exterior " + std::to_string(polygon.exterior().coords().size()) + " vertices, " +
                    std::to_string(polygon.interiors().size()) + " holes)");
    });
}

ValueClass<PolygonForm, 3> polygon_class(
    "sferix.Polygon", "A filled geodetic polygon: an exterior ring and any interior rings (holes).", polygon_repr,
    {{
        {"exterior", polygon_exterior, nullptr, "The exterior ring's `(lon, lat)` vertices (closed; first == last).",
         nullptr},
        {"interiors", polygon_interiors, nullptr, "The interior rings, each a list of `(lon, lat)` vertices.", nullptr},
        {"__geo_interface__", geo_interface<PolygonHandle, geo_type::polygon>, nullptr, nullptr, nullptr},
    }});

// MultiLineString and MultiPolygon

// A part of a shared item, as a handle sharing the item's ownership.
template <typename G>
std::shared_ptr<const G> part_handle(const std::shared_ptr<const geodetic::MultiPart<G>>& item, std::size_t index) {
    return std::shared_ptr<const G>(item, &item->part(index));
}

// The parts as a tuple of new value objects sharing the item.
template <typename Handle>
PyRef part_tuple(PyObject* self) {
    const Handle& item = state_of<Handle>(self);
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(item->part_count())));
    if (!tuple) {
        return PyRef();
    }
    for (std::size_t index = 0; index < item->part_count(); ++index) {
        PyObject* value = new_value(part_handle(item, index));  // owned, given to the tuple
        if (value == nullptr || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(index), value) < 0) {
            return PyRef();
        }
    }
    return tuple;
}

// The parts getter and repr of a multipart class, whose repr counts its parts as `parts`
// ("MultiPolygon(2 polygons)").
template <typename Form, const char* parts>
struct MultipartValue {
    using Handle = typename Form::State;

    static PyObject* parts_getter(PyObject* self, void* /* closure */) {
        return entry_object([self] { return part_tuple<Handle>(self); });
    }
    static PyObject* repr(PyObject* self) {
        return entry_object([self] {
            return text(std::string(Form::NAME) + "(" + std::to_string(geometry_of<Handle>(self).part_count()) + " " +
                        parts + ")");
        });
    }
};

constexpr char LINESTRINGS[] = "linestrings";
constexpr char POLYGONS[] = "polygons";
using MultiLineStringValue = MultipartValue<MultiLineStringForm, LINESTRINGS>;
using MultiPolygonValue = MultipartValue<MultiPolygonForm, POLYGONS>;

ValueClass<MultiLineStringForm, 2> multilinestring_class(
    "sferix.MultiLineString", "Geodetic linestrings that are one item: its distance is the smallest over them.",
    MultiLineStringValue::repr,
    {{
        {"linestrings", MultiLineStringValue::parts_getter, nullptr, "The parts, a tuple of `LineString`.", nullptr},
        {"__geo_interface__", geo_interface<MultiLineStringHandle, geo_type::multilinestring>, nullptr, nullptr,
         nullptr},
    }});

ValueClass<MultiPolygonForm, 2> multipolygon_class(
    "sferix.MultiPolygon",
    "Filled geodetic polygons that are one item: a point is inside when it is inside any of them, and\nits "
    "distance is the smallest over them.",
    MultiPolygonValue::repr,
    {{
        {"polygons", MultiPolygonValue::parts_getter, nullptr, "The parts, a tuple of `Polygon`.", nullptr},
        {"__geo_interface__", geo_interface<MultiPolygonHandle, geo_type::multipolygon>, nullptr, nullptr, nullptr},
    }});

template <typename Handle>
PyObject* new_value_object(PyTypeObject* type /* borrowed */, Handle geometry) {
    if (type == nullptr) {
        return nullptr;
    }
    return new_instance(type, std::move(geometry));
}

template <typename Geometry>
PyObject* new_value_objects(std::span<const std::shared_ptr<const Geometry>> geometries) {
    return new_list(geometries.size(), [geometries](std::size_t index) {
        return PyRef::steal(new_value(geometries[index]));
    }).release();
}

}  // namespace

PyTypeObject* point_type() { return point_class.get(); }
PyTypeObject* linestring_type() { return linestring_class.get(); }
PyTypeObject* polygon_type() { return polygon_class.get(); }
PyTypeObject* multilinestring_type() { return multilinestring_class.get(); }
PyTypeObject* multipolygon_type() { return multipolygon_class.get(); }

PyObject* new_point(PointHandle geometry) { return new_value_object(point_type(), std::move(geometry)); }
PyObject* new_linestring(LineStringHandle geometry) { return new_value_object(linestring_type(), std::move(geometry)); }
PyObject* new_polygon(PolygonHandle geometry) { return new_value_object(polygon_type(), std::move(geometry)); }

PyObject* new_point_list(std::span<const PointHandle> geometries) { return new_value_objects(geometries); }
PyObject* new_linestring_list(std::span<const LineStringHandle> geometries) { return new_value_objects(geometries); }
PyObject* new_polygon_list(std::span<const PolygonHandle> geometries) { return new_value_objects(geometries); }

PyObject* new_value(MultiLineStringHandle item) {
    if (!item->is_multipart()) {
        return new_linestring(part_handle(item, 0));
    }
    return new_value_object(multilinestring_type(), std::move(item));
}

PyObject* new_value(MultiPolygonHandle item) {
    if (!item->is_multipart()) {
        return new_polygon(part_handle(item, 0));
    }
    return new_value_object(multipolygon_type(), std::move(item));
}

PyObject* new_value_list(std::span<const MultiLineStringHandle> items) { return new_value_objects(items); }
PyObject* new_value_list(std::span<const MultiPolygonHandle> items) { return new_value_objects(items); }

}  // namespace sferix::python
