#include "array_arguments.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <limits>
#include <string>

#include "coordinates.hpp"
#include "geo_input.hpp"
#include "numpy_arrays.hpp"
#include "toolkit/arguments.hpp"
#include "toolkit/errors.hpp"
#include "toolkit/gil.hpp"
#include "toolkit/py_ref.hpp"

#include "support/chunked_run.hpp"

namespace sferix::python {

namespace {

// Puts "query N: " before the message of the pending exception when it is one of the
// errors reading a point raises (ValueError, TypeError, GeodeticError: made again from
// the longer message); any other ordinary error gets the note "while reading query N"
// instead, its constructor being unknown. Either way its attribute `query` is N. An
// interrupt or exit request is left as it is: it is not about one query.
std::nullopt_t prefix_query_error(std::size_t index) {
    if (PyErr_ExceptionMatches(PyExc_Exception) == 0) {
        return std::nullopt;
    }
    FetchedError error = FetchedError::fetch();
    error.normalize();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.value()));  // borrowed from the value
    if (type != PyExc_ValueError && type != PyExc_TypeError && type != geodetic_error_type()) {
        error.restore();
        set_error_index("query", index);
        add_note("while reading query " + std::to_string(index));
        return std::nullopt;
    }
    const PyRef text = PyRef::steal(PyObject_Str(error.value()));
    if (!text) {
        return std::nullopt;
    }
    const std::optional<std::string> utf8 = utf8_text(text.get());
    if (!utf8) {
        return std::nullopt;
    }
    set_error_text(type, "query " + std::to_string(index) + ": " + *utf8);
    set_error_index("query", index);
    return std::nullopt;
}

// str(object.shape) for a message; "?" when it cannot be had.
std::string shape_text(PyObject* object) {
    const PyRef shape = PyRef::steal(PyObject_GetAttrString(object, "shape"));
    const PyRef text = shape ? PyRef::steal(PyObject_Str(shape.get())) : PyRef();
    const std::optional<std::string> utf8 = text ? utf8_text(text.get()) : std::nullopt;
    if (!utf8) {
        PyErr_Clear();
        return "?";
    }
    return *utf8;
}

// What an exact numpy.ndarray says it is: dimensions, dtype kind ('f', 'O', ...) and
// str(dtype) for messages; nullopt with an exception pending.
struct ArrayFacts {
    long dimensions = 0;
    std::string kind;
    std::string dtype;
};

std::optional<std::string> str_attribute(PyObject* object, const char* name) {
    const PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
    const PyRef text = value ? PyRef::steal(PyObject_Str(value.get())) : PyRef();
    return text ? utf8_text(text.get()) : std::nullopt;
}

std::optional<ArrayFacts> array_facts(PyObject* array) {
    ArrayFacts facts;
    const PyRef ndim = PyRef::steal(PyObject_GetAttrString(array, "ndim"));
    if (!ndim) {
        return std::nullopt;
    }
    facts.dimensions = PyLong_AsLong(ndim.get());
    if (facts.dimensions == -1 && PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    const PyRef dtype = PyRef::steal(PyObject_GetAttrString(array, "dtype"));
    if (!dtype) {
        return std::nullopt;
    }
    std::optional<std::string> kind = str_attribute(dtype.get(), "kind");
    std::optional<std::string> text = kind ? str_attribute(array, "dtype") : std::nullopt;
    if (!text) {
        return std::nullopt;
    }
    facts.kind = std::move(*kind);
    facts.dtype = std::move(*text);
    return facts;
}

// TypeError "<name> must be an array of numbers, not dtype <U1".
std::nullopt_t not_numbers(const char* name, const ArrayFacts& facts) {
    set_error_text(PyExc_TypeError, std::string(name) + " must be an array of numbers, not dtype " + facts.dtype);
    return std::nullopt;
}

// Validating and embedding a row costs about a tenth of answering it, so with several
// workers it is shared out as well, without the GIL; the rows are numbers already
// copied out of the array, and each point is made in its final place. An invalid row
// is looked at again afterwards, with the GIL, to raise its error: the first one in
// row order, whichever thread met it.
std::optional<QueryPoints> parse_float64_rows(const Float64Matrix& matrix, std::size_t workers) {
    constexpr std::size_t ROWS_PER_CHUNK = 4096;
    QueryPoints points(matrix.rows());
    std::vector<std::size_t> first_invalid((matrix.rows() + ROWS_PER_CHUNK - 1) / ROWS_PER_CHUNK, matrix.rows());
    {
        const auto work = [&](std::size_t begin, std::size_t end) {
            for (std::size_t row = begin; row < end; ++row) {
                geodetic::Result<geodetic::GeodeticPoint> point =
                    geodetic::GeodeticPoint::try_new(matrix.at(row, 0), matrix.at(row, 1));
                if (!point) {
                    first_invalid[begin / ROWS_PER_CHUNK] = row;
                    return;
                }
                points.construct(row, point.value());
            }
        };
        const support::ChunkedRunOptions options{
            .workers = workers, .chunk_size = ROWS_PER_CHUNK, .poll_interval = POLL_INTERVAL};
        if (!run_interruptibly([&] { support::run_chunked(matrix.rows(), options, work, [] { return true; }); })) {
            return std::nullopt;
        }
    }
    for (const std::size_t row : first_invalid) {
        if (row < matrix.rows()) {
            map_error(geodetic::GeodeticPoint::try_new(matrix.at(row, 0), matrix.at(row, 1)).error());
            return prefix_query_error(row);
        }
    }
    return points;
}

std::optional<QueryPoints> parse_each(PyObject* queries) {
    std::optional<std::vector<PyRef>> elements = sequence(queries);
    if (!elements) {
        return std::nullopt;
    }
    QueryPoints points(elements->size());
    for (std::size_t i = 0; i < elements->size(); ++i) {
        std::optional<geodetic::GeodeticPoint> point = parse_point((*elements)[i].get());
        if (!point) {
            return prefix_query_error(i);
        }
        points.construct(i, *point);
    }
    return points;
}

}  // namespace

std::optional<QueryPoints> parse_queries(PyObject* queries, std::size_t workers) {
    const std::optional<bool> array = is_exact_ndarray(queries);
    if (!array) {
        return std::nullopt;
    }
    if (!*array) {
        return parse_each(queries);
    }
    const std::optional<MatrixShape> shape = matrix_shape(queries);
    if (!shape) {
        return std::nullopt;
    }
    if (!shape->is_matrix || shape->columns < 2) {
        return value_error("queries must be an array of shape (n, 2), not " + shape_text(queries)), std::nullopt;
    }
    // The constructors' rule for arrays of points, and their words: up to two further
    // columns (altitude, measure) are ignored, more is an array the wrong way round.
    std::optional<Float64Matrix> matrix;
    if (!refuse_wide_point_array(*shape) || !(matrix = float64_matrix(queries))) {
        return std::nullopt;
    }
    if (matrix->qualifies()) {
        return parse_float64_rows(*matrix, workers);
    }
    const std::optional<PyRef> rows = numeric_array_as_list(queries);
    if (!rows) {
        return std::nullopt;
    }
    if (*rows) {
        return parse_each(rows->get());
    }
    const std::optional<ArrayFacts> facts = array_facts(queries);
    if (!facts || facts->kind != "O") {
        return facts ? not_numbers("queries", *facts) : std::nullopt;
    }
    // An object array's elements as nested lists: read as the same objects in a list
    // would be, as the constructors read such arrays.
    const std::optional<PyRef> objects = array_as_list(queries);
    if (!objects) {
        return std::nullopt;
    }
    return parse_each(objects->get());
}

std::optional<std::vector<double>> parse_radii(PyObject* radius_metres, std::size_t query_count, const char* name) {
    PyObject* source = radius_metres;  // borrowed; or the list below
    PyRef listed;
    const std::optional<bool> array = is_exact_ndarray(radius_metres);
    if (!array) {
        return std::nullopt;
    }
    bool is_sequence = false;
    if (*array) {
        // A 0-d array is one number; a 1-D one of numbers (or of objects that convert to
        // numbers, as in a list) is its list; any other shape or dtype is refused.
        const std::optional<ArrayFacts> facts = array_facts(radius_metres);
        if (!facts) {
            return std::nullopt;
        }
        if (facts->dimensions > 1) {
            value_error(std::string(name) + " must be one number or an array of shape (n,), not " +
                        shape_text(radius_metres));
            return std::nullopt;
        }
        if (facts->dimensions == 1) {
            if (facts->kind != "O" && facts->kind != "f" && facts->kind != "i" && facts->kind != "u") {
                return not_numbers(name, *facts);
            }
            std::optional<PyRef> rows = array_as_list(radius_metres);
            if (!rows) {
                return std::nullopt;
            }
            listed = std::move(*rows);
            source = listed.get();
            is_sequence = true;
        }
    } else {
        is_sequence = PySequence_Check(source) != 0 && PyUnicode_Check(source) == 0 && PyBytes_Check(source) == 0 &&
                      PyByteArray_Check(source) == 0;
    }
    if (!is_sequence) {
        const std::optional<double> radius = convert_double(source, name);
        if (!radius) {
            return std::nullopt;
        }
        return std::vector<double>{*radius};
    }
    std::optional<std::vector<PyRef>> elements = sequence(source);
    if (!elements) {
        return std::nullopt;
    }
    if (elements->size() != query_count) {
        value_error(std::string(name) + " must be one number or one per query (" + std::to_string(query_count) + "), not " +
                    std::to_string(elements->size()));
        return std::nullopt;
    }
    std::vector<double> radii;
    radii.reserve(elements->size());
    for (const PyRef& element : *elements) {
        const std::optional<double> radius = convert_double(element.get(), name);
        if (!radius) {
            return std::nullopt;
        }
        radii.push_back(*radius);
    }
    return radii;
}

namespace {

// The int value of `object` (through __index__), clamped: nullopt with an exception
// pending when it is not an integer; beyond a long long, the nearest long long.
std::optional<long long> clamped_index(PyObject* object, const char* name) {
    const PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) {
        add_argument_note(name);
        return std::nullopt;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && overflow == 0 && PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    if (overflow != 0) {
        return overflow > 0 ? std::numeric_limits<long long>::max() : std::numeric_limits<long long>::min();
    }
    return value;
}

}  // namespace

std::optional<std::size_t> parse_k(PyObject* k) {
    const std::optional<long long> value = clamped_index(k, "k");
    if (!value) {
        return std::nullopt;
    }
    if (*value < 1) {
        value_error("k must be at least 1");
        return std::nullopt;
    }
    if (static_cast<unsigned long long>(*value) > MAX_K) {
        const PyRef index = PyRef::steal(PyNumber_Index(k));
        const PyRef text = index ? PyRef::steal(PyObject_Str(index.get())) : PyRef();
        const std::optional<std::string> utf8 = text ? utf8_text(text.get()) : std::nullopt;
        if (!utf8) {
            return std::nullopt;
        }
        value_error("k must be at most 2^31 (" + std::to_string(MAX_K) + "), not " + *utf8);
        return std::nullopt;
    }
    return static_cast<std::size_t>(*value);
}

std::optional<bool> parse_return_distance(PyObject* return_distance) {
    return return_distance == nullptr ? std::optional<bool>(false) : convert_bool(return_distance, "return_distance");
}

std::optional<double> parse_max_distance(PyObject* max_distance) {
    if (max_distance == nullptr || max_distance == Py_None) {
        return std::numeric_limits<double>::infinity();
    }
    // One limit for the call: an array of them is a mistake, not a number to convert.
    const std::optional<bool> array = is_exact_ndarray(max_distance);
    if (!array) {
        return std::nullopt;
    }
    if (*array) {
        const std::optional<ArrayFacts> facts = array_facts(max_distance);
        if (!facts) {
            return std::nullopt;
        }
        if (facts->dimensions != 0) {
            value_error("max_distance must be one number, not an array of shape " + shape_text(max_distance));
            return std::nullopt;
        }
    }
    return convert_double(max_distance, "max_distance");
}

std::optional<std::size_t> parse_workers(PyObject* workers) {
    if (workers == nullptr) {
        return 1;
    }
    const std::optional<long long> value = clamped_index(workers, "workers");
    if (!value) {
        return std::nullopt;
    }
    if (*value == -1) {
        return support::usable_cores();
    }
    if (*value < 1) {
        value_error("workers must be -1 or at least 1");
        return std::nullopt;
    }
    // More threads than cores only take turns on them; beyond this many, none helps.
    constexpr long long MOST_WORKERS = 1024;
    return static_cast<std::size_t>(std::min(*value, MOST_WORKERS));
}

}  // namespace sferix::python
