// Checks of what a reader takes from a MAT file (the mapping `load_mat`
// returns) before it uses it: the variable is there, its class fits what its
// values stand for, and its shape fits the other variables. A failed check
// throws ContentProblem, and each reader turns that into its own answer: a
// host file it cannot use is a TvDataError naming the file and the variable
// (raise_host_file_error); a cache entry counts as absent and is rebuilt.
//
// The readers' checks of each kind of file are built from these pieces, so
// the rules for a class or a shape are written once.
#pragma once

#include <nanobind/nanobind.h>

#include "common/arrays.hpp"

#include <cmath>
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace telvar::mat_content {
namespace nb = nanobind;

// What a variable's values stand for; it decides which classes are accepted.
enum class Values {
    // Prices, volumes, bar times, factor values: float64 only. A single
    // float loses the minutes of a bar time; an integer or logical class
    // means the writer truncated the values (an int8 time line wraps).
    Real,
    // Positions and counts: whole float64 values, or integers of 32 bits or
    // more (a smaller integer class has wrapped before it was written).
    Index,
    // Flags: logical (read back as uint8), integer or float classes holding
    // 0 and 1 only.
    Flag,
};

// Bounds of the values of an Index variable (both included).
struct Bounds {
    double low = -std::numeric_limits<double>::infinity();
    double high = std::numeric_limits<double>::infinity();
};

class ContentProblem : public std::exception {
public:
    enum class Kind { Missing, Class, Length, Shape, NotWhole, Range };

    ContentProblem(std::string variable, Kind kind, std::string found = {}, std::string expected = {})
        : variable_(std::move(variable)), kind_(kind), found_(std::move(found)),
          expected_(std::move(expected)) {}

    const char *what() const noexcept override { return "a MAT file variable does not fit its reader"; }
    const std::string &variable() const { return variable_; }
    Kind kind() const { return kind_; }

    // What is wrong, as the message catalog `text` words it.
    nb::object reason(nb::handle text) const {
        nb::str found(found_.c_str()), expected(expected_.c_str());
        switch (kind_) {
        case Kind::Missing:
            return text.attr("TEXT_CONTENT_MISSING");
        case Kind::Class:
            return text.attr("TEXT_CONTENT_CLASS").attr("format")(nb::arg("FOUND") = found,
                                                                   nb::arg("EXPECTED") = expected);
        case Kind::Length:
            return text.attr("TEXT_CONTENT_LENGTH").attr("format")(nb::arg("FOUND") = found,
                                                                    nb::arg("EXPECTED") = expected);
        case Kind::Shape:
            return text.attr("TEXT_CONTENT_SHAPE").attr("format")(nb::arg("FOUND") = found,
                                                                   nb::arg("EXPECTED") = expected);
        case Kind::NotWhole:
            return text.attr("TEXT_CONTENT_NOT_WHOLE").attr("format")(nb::arg("FOUND") = found);
        case Kind::Range:
            break;
        }
        return text.attr("TEXT_CONTENT_RANGE").attr("format")(nb::arg("FOUND") = found,
                                                               nb::arg("EXPECTED") = expected);
    }

private:
    std::string variable_;
    Kind kind_;
    std::string found_, expected_;
};

// TvDataError: the host file `path` cannot be used, naming the variable.
[[noreturn]] inline void raise_host_file_error(nb::handle text, nb::handle path, const ContentProblem &problem) {
    nb::object message = text.attr("ERROR_HOST_FILE_CONTENT")
                             .attr("format")(nb::arg("PATH") = path,
                                             nb::arg("VARIABLE") = nb::str(problem.variable().c_str()),
                                             nb::arg("REASON") = problem.reason(text));
    nb::object error_type = nb::module_::import_("telvar.kestrum.utils.exceptions").attr("TvDataError");
    PyErr_SetObject(error_type.ptr(), message.ptr());
    throw nb::python_error();
}

// `str(value)` as a C++ string.
inline std::string text_of(nb::handle value) {
    nb::object s = nb::steal(PyObject_Str(value.ptr()));
    if (!s.is_valid())
        throw nb::python_error();
    Py_ssize_t size = 0;
    const char *chars = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!chars)
        throw nb::python_error();
    return std::string(chars, static_cast<size_t>(size));
}

inline std::string number_text(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.15g", value);
    return buffer;
}

// The class of an array as a reader reports it: "text", "cell", "struct",
// "logical", or numpy's name of a numeric class ("int8", "float32", ...).
struct ClassOf {
    char kind;
    Py_ssize_t itemsize;
    std::string label;
};

inline ClassOf class_of(nb::handle array) {
    nb::object dtype = array.attr("dtype");
    const std::string kind = text_of(dtype.attr("kind"));
    ClassOf c{kind.empty() ? '?' : kind[0], nb::cast<Py_ssize_t>(dtype.attr("itemsize")), {}};
    switch (c.kind) {
    case 'U':
    case 'S':
        c.label = "text";
        break;
    case 'O':
        c.label = "cell";
        break;
    case 'V':
        c.label = "struct";
        break;
    case 'b':
        c.label = "logical";
        break;
    default:
        c.label = text_of(dtype.attr("name"));
    }
    return c;
}

inline bool accepts(const ClassOf &c, Values values) {
    switch (values) {
    case Values::Real:
        return c.kind == 'f' && c.itemsize == 8;
    case Values::Index:
        return (c.kind == 'f' && c.itemsize == 8) || ((c.kind == 'i' || c.kind == 'u') && c.itemsize >= 4);
    case Values::Flag:
        break;
    }
    return c.kind == 'b' || c.kind == 'i' || c.kind == 'u' || c.kind == 'f';
}

inline const char *expected_class(Values values) {
    switch (values) {
    case Values::Real:
        return "float64";
    case Values::Index:
        return "float64/int32/int64/uint32/uint64";
    case Values::Flag:
        break;
    }
    return "logical/integer/float";
}

inline std::vector<size_t> shape_of(nb::handle array) {
    std::vector<size_t> shape;
    for (nb::handle extent : array.attr("shape"))
        shape.push_back(nb::cast<size_t>(extent));
    return shape;
}

inline std::string shape_text(const std::vector<size_t> &shape) {
    if (shape.empty())
        return "1x1";
    std::string out;
    for (size_t i = 0; i < shape.size(); ++i)
        out += (i ? "x" : "") + std::to_string(shape[i]);
    return out;
}

// The variable `name` of `mat`: an array. Missing when absent or None.
inline nb::object variable(nb::handle mat, const char *name) {
    nb::object value = mat.attr("get")(name);
    if (value.is_none())
        throw ContentProblem(name, ContentProblem::Kind::Missing);
    if (!nb::isinstance(value, nb::module_::import_("numpy").attr("ndarray")))
        throw ContentProblem(name, ContentProblem::Kind::Class,
                             text_of(value.attr("__class__").attr("__name__")), "array");
    return value;
}

inline bool has_variable(nb::handle mat, const char *name) { return !mat.attr("get")(name).is_none(); }

inline void require_class(nb::handle array, const std::string &name, Values values) {
    const ClassOf c = class_of(array);
    if (!accepts(c, values))
        throw ContentProblem(name, ContentProblem::Kind::Class, c.label, expected_class(values));
}

// Index values must be whole and within `bounds`, flags 0 or 1.
inline void check_values(nb::handle array, const std::string &name, Values values, Bounds bounds) {
    if (values == Values::Real)
        return;
    if (values == Values::Flag)
        bounds = Bounds{0.0, 1.0};
    ArrayView<double> view(nb::module_::import_("numpy").attr("ravel")(array), name.c_str(), 1);
    for (size_t i = 0; i < view.size(); ++i) {
        const double v = view[i];
        if (std::floor(v) != v) // NaN and infinities too
            throw ContentProblem(name, ContentProblem::Kind::NotWhole, number_text(v));
        if (v < bounds.low || v > bounds.high)
            throw ContentProblem(name, ContentProblem::Kind::Range, number_text(v),
                                 "[" + number_text(bounds.low) + ", " + number_text(bounds.high) + "]");
    }
}

// A vector of `values` (MAT stores one as 1 x n or n x 1; 0 x 0 is an empty
// one); returns its length.
inline size_t vector(nb::handle array, const std::string &name, Values values, Bounds bounds = {}) {
    require_class(array, name, values);
    const std::vector<size_t> shape = shape_of(array);
    size_t length = 1, extents_above_one = 0;
    for (size_t extent : shape) {
        length *= extent;
        extents_above_one += extent > 1;
    }
    if (shape.size() > 2 || extents_above_one > 1)
        throw ContentProblem(name, ContentProblem::Kind::Shape, shape_text(shape), "1xN");
    check_values(array, name, values, bounds);
    return length;
}

// A 2-D matrix of `values`; returns {rows, columns}.
inline std::pair<size_t, size_t> matrix(nb::handle array, const std::string &name, Values values,
                                        Bounds bounds = {}) {
    require_class(array, name, values);
    const std::vector<size_t> shape = shape_of(array);
    if (shape.size() != 2)
        throw ContentProblem(name, ContentProblem::Kind::Shape, shape_text(shape), "MxN");
    check_values(array, name, values, bounds);
    return {shape[0], shape[1]};
}

inline void require_length(const std::string &name, size_t found, size_t expected) {
    if (found != expected)
        throw ContentProblem(name, ContentProblem::Kind::Length, std::to_string(found), std::to_string(expected));
}

inline void require_shape(const std::string &name, const std::vector<size_t> &found,
                          const std::vector<size_t> &expected) {
    if (found != expected)
        throw ContentProblem(name, ContentProblem::Kind::Shape, shape_text(found), shape_text(expected));
}

// A struct array whose elements carry `fields`; returns it flattened.
inline nb::object struct_array(nb::handle array, const std::string &name,
                               std::initializer_list<const char *> fields) {
    const ClassOf c = class_of(array);
    nb::object names = array.attr("dtype").attr("names");
    if (c.kind != 'V' || names.is_none())
        throw ContentProblem(name, ContentProblem::Kind::Class, c.label, "struct");
    for (const char *field : fields) {
        const int found = PySequence_Contains(names.ptr(), nb::str(field).ptr());
        if (found < 0)
            throw nb::python_error();
        if (found == 0)
            throw ContentProblem(name + "." + field, ContentProblem::Kind::Missing);
    }
    return array.attr("ravel")();
}

} // namespace telvar::mat_content
