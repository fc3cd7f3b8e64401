#include "coordinates.hpp"

#include <cstddef>

#include "toolkit/errors.hpp"

namespace sferix::python {

namespace {

constexpr const char* NOT_NUMBERS = "a coordinate must be a sequence of numbers";

// The numbers of one coordinate as they are read: the first two kept, all counted.
class CoordinateNumbers {
public:
    void add(double value) noexcept {
        if (count_ < 2) {
            values_[count_] = value;
        }
        ++count_;
    }

    [[nodiscard]] std::optional<geodetic::LonLat> finish() const {
        if (count_ < 2) {
            return raise_too_few_numbers();
        }
        return geodetic::LonLat{values_[0], values_[1]};
    }

private:
    double values_[2] = {0.0, 0.0};
    std::size_t count_ = 0;
};

// A float conversion that failed inside a coordinate: whatever ordinary error it raised
// becomes the one ValueError for unreadable coordinates.
std::nullopt_t not_numbers() {
    if (discard_ordinary_error()) {
        value_error(NOT_NUMBERS);
    }
    return std::nullopt;
}

enum class FastRead {
    Read,       // every element was read into the numbers
    Failed,     // an element failed, with the general path's exception pending
    Undecided,  // an element of another type: nothing raised, the general path decides
};

// Reads an exact list or tuple whose elements are exact floats or ints. Those convert
// without running Python code, so the list cannot change while it is read, and a
// failure here (an int too large for a double) is the failure the general path would
// report at the same element. An element of any other type may run Python code when
// converted; then nothing is decided here, and as nothing observable has happened yet
// the general path can start over.
FastRead read_exact_numbers(PyObject* obj, bool is_tuple, CoordinateNumbers& numbers) {
    const Py_ssize_t size = is_tuple ? PyTuple_Size(obj) : PyList_Size(obj);
    for (Py_ssize_t index = 0; index < size; ++index) {
        // Borrowed: no Python code runs before it is read.
        PyObject* element = is_tuple ? PyTuple_GetItem(obj, index) : PyList_GetItem(obj, index);
        double value = 0.0;
        if (PyFloat_CheckExact(element)) {
            value = PyFloat_AsDouble(element);
        } else if (PyLong_CheckExact(element)) {
            // What PyFloat_AsDouble does for an int, without the temporary float.
            value = PyLong_AsDouble(element);
        } else {
            return FastRead::Undecided;
        }
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            not_numbers();
            return FastRead::Failed;
        }
        numbers.add(value);
    }
    return FastRead::Read;
}

std::optional<geodetic::LonLat> read_any_sequence(PyObject* obj) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
        value_error(NOT_NUMBERS);
        return std::nullopt;
    }
    // Reading a coordinate asks for its length (its __len__ runs, and may fail
    // harmlessly), although nothing is sized by it: only two numbers are kept.
    if (PySequence_Size(obj) < 0 && !discard_ordinary_error()) {
        return std::nullopt;
    }
    const PyRef iterator = PyRef::steal(PyObject_GetIter(obj));
    if (!iterator) {
        return not_numbers();
    }
    CoordinateNumbers numbers;
    while (true) {
        const PyRef element = PyRef::steal(PyIter_Next(iterator.get()));
        if (!element) {
            if (PyErr_Occurred() != nullptr) {
                return not_numbers();
            }
            return numbers.finish();
        }
        const double value = PyFloat_AsDouble(element.get());
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            return not_numbers();
        }
        numbers.add(value);
    }
}

}  // namespace

std::nullopt_t raise_too_few_numbers() {
    value_error("a coordinate needs at least a longitude and a latitude");
    return std::nullopt;
}

std::optional<geodetic::LonLat> coord_pair(PyObject* obj) {
    const bool is_tuple = PyTuple_CheckExact(obj);
    if (is_tuple || PyList_CheckExact(obj)) {
        CoordinateNumbers numbers;
        switch (read_exact_numbers(obj, is_tuple, numbers)) {
        case FastRead::Read:
            return numbers.finish();
        case FastRead::Failed:
            return std::nullopt;
        case FastRead::Undecided:
            break;
        }
    }
    return read_any_sequence(obj);
}

std::optional<std::vector<geodetic::LonLat>> coord_list(PyObject* obj) {
    std::vector<geodetic::LonLat> pairs;
    pairs.reserve(exact_sequence_size(obj));
    const bool read = for_each_input_element(obj, [&pairs](PyObject* element) {
        const std::optional<geodetic::LonLat> pair = coord_pair(element);
        if (!pair) {
            return false;
        }
        pairs.push_back(*pair);
        return true;
    });
    if (!read) {
        return std::nullopt;
    }
    return pairs;
}

std::optional<std::vector<PyRef>> sequence(PyObject* obj) {
    std::vector<PyRef> elements;
    elements.reserve(exact_sequence_size(obj));
    const bool read = for_each_input_element(obj, [&elements](PyObject* element) {
        elements.push_back(PyRef::new_ref(element));
        return true;
    });
    if (!read) {
        return std::nullopt;
    }
    return elements;
}

}  // namespace sferix::python
