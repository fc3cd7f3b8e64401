#include "geo_dicts.hpp"

#include <cstddef>
#include <utility>
#include <vector>

#include "geo_keys.hpp"
#include "interned_string.hpp"

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
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(vertices.size())));
    if (!list) {
        return PyRef();
    }
    for (std::size_t index = 0; index < vertices.size(); ++index) {
        PyRef vertex = coordinate_tuple(vertices[index].lon(), vertices[index].lat());
        if (!vertex || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(index), vertex.release()) < 0) {
            return PyRef();
        }
    }
    return list;
}

PyRef ring_lists(std::span<const geodetic::GeodeticRing> rings) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(rings.size())));
    if (!list) {
        return PyRef();
    }
    for (std::size_t index = 0; index < rings.size(); ++index) {
        PyRef ring = vertex_list(rings[index].coords());
        if (!ring || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(index), ring.release()) < 0) {
            return PyRef();
        }
    }
    return list;
}

PyRef point_mapping(double lon, double lat) { return geometry_mapping(geo_type::point, coordinate_tuple(lon, lat)); }

PyRef linestring_mapping(std::span<const geodetic::GeodeticCoord> vertices) {
    return geometry_mapping(geo_type::linestring, vertex_list(vertices));
}

PyRef polygon_mapping(const geodetic::GeodeticPolygon& polygon) {
    const std::vector<geodetic::GeodeticRing>& interiors = polygon.interiors();
    PyRef rings = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(interiors.size() + 1)));
    if (!rings) {
        return PyRef();
    }
    for (std::size_t index = 0; index <= interiors.size(); ++index) {
        const geodetic::GeodeticRing& ring = index == 0 ? polygon.exterior() : interiors[index - 1];
        PyRef vertices = vertex_list(ring.coords());
        if (!vertices || PyList_SetItem(rings.get(), static_cast<Py_ssize_t>(index), vertices.release()) < 0) {
            return PyRef();
        }
    }
    return geometry_mapping(geo_type::polygon, std::move(rings));
}

}  // namespace sferix::python
