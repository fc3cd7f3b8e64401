#include "geo_dicts.hpp"

#include <cstddef>
#include <utility>
#include <vector>

#include "geo_keys.hpp"
#include "interned_string.hpp"
#include "new_list.hpp"

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

}  // namespace

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

PyRef vertex_list(std::span<const geodetic::GeodeticCoord> vertices) {
    return new_list(vertices.size(), [vertices](std::size_t index) {
        return coordinate_tuple(vertices[index].lon(), vertices[index].lat());
    });
}

PyRef ring_lists(std::span<const geodetic::GeodeticRing> rings) {
    return new_list(rings.size(), [rings](std::size_t index) { return vertex_list(rings[index].coords()); });
}

PyRef point_mapping(double lon, double lat) { return geometry_mapping(geo_type::point, coordinate_tuple(lon, lat)); }

PyRef linestring_mapping(std::span<const geodetic::GeodeticCoord> vertices) {
    return geometry_mapping(geo_type::linestring, vertex_list(vertices));
}

PyRef polygon_mapping(const geodetic::GeodeticPolygon& polygon) {
    // The exterior ring first, then the interiors: ring_lists with one ring in front.
    const std::vector<geodetic::GeodeticRing>& interiors = polygon.interiors();
    PyRef rings = new_list(interiors.size() + 1, [&polygon, &interiors](std::size_t index) {
        return vertex_list((index == 0 ? polygon.exterior() : interiors[index - 1]).coords());
    });
    return geometry_mapping(geo_type::polygon, std::move(rings));
}

}  // namespace sferix::python
