// Python values -> a write plan, converted as scipy.io.savemat converts them:
// arrays as they are (1-D ones as rows or columns), mappings as 1x1 structs,
// record arrays as struct arrays, object arrays as cells, string arrays as
// char matrices, anything else through numpy.asanyarray. Names scipy would
// silently skip (a leading '_' or digit) are refused instead: dropping data
// without a word is worse than an error.
#include "matio/matio.hpp"
#include "matio/numpy_api.hpp"

#include "common/mat/column_major.hpp"
#include "common/mat/errors.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace telvar::matio {

namespace {

using mat::Node;
using mat::StridedData;

constexpr int kMaxDepth = 64;

[[noreturn]] void raise(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

nb::object checked(PyObject *obj) {
    if (!obj)
        throw nb::python_error();
    return nb::steal(obj);
}

std::string describe(nb::handle obj) {
    return nb::cast<std::string>(nb::repr(obj)) + " (type " +
           nb::cast<std::string>(nb::repr(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()))))) + ")";
}

PyArrayObject *as_array(nb::handle obj) { return reinterpret_cast<PyArrayObject *>(obj.ptr()); }

StridedData strided(PyArrayObject *a) {
    StridedData s;
    s.data = reinterpret_cast<const std::byte *>(PyArray_BYTES(a));
    s.itemsize = static_cast<size_t>(PyArray_ITEMSIZE(a));
    s.shape.assign(PyArray_DIMS(a), PyArray_DIMS(a) + PyArray_NDIM(a));
    s.strides.assign(PyArray_STRIDES(a), PyArray_STRIDES(a) + PyArray_NDIM(a));
    s.swap = !PyArray_ISNOTSWAPPED(a);
    return s;
}

bool all_zero(const StridedData &s) {
    bool zero = true;
    mat::for_each_column_major(s, [&](const std::byte *item) {
        for (size_t i = 0; i < s.itemsize && zero; ++i)
            zero = item[i] == std::byte{0};
    });
    return zero;
}

// A struct field name as scipy stores it: ASCII, starting with a letter.
std::string field_name(nb::handle key, size_t max_length) {
    if (!PyUnicode_Check(key.ptr()))
        raise(PyExc_TypeError, "MAT struct field names must be str, got " + describe(key));
    const std::string name = nb::cast<std::string>(key);
    if (name.empty() || name[0] == '_' || (name[0] >= '0' && name[0] <= '9'))
        raise(PyExc_ValueError, "'" + name + "' cannot be a MAT struct field name: names start with a letter");
    if (std::any_of(name.begin(), name.end(), [](char c) { return (c & 0x80) != 0; }))
        raise(PyExc_ValueError, "'" + name + "' cannot be a MAT struct field name: names are ASCII");
    if (name.size() > max_length)
        raise(PyExc_ValueError, "Field names are restricted to " + std::to_string(max_length) + " characters");
    return name;
}

uint32_t slot_of(const std::vector<std::string> &fields) {
    size_t longest = 0;
    for (const std::string &f : fields)
        longest = std::max(longest, f.size());
    return static_cast<uint32_t>(longest + 1);
}

class Planner {
public:
    Planner(const PlanOptions &options, std::vector<nb::object> &keep)
        : options_(options), keep_(keep), numpy_(nb::module_::import_("numpy")) {}

    Node node_of(nb::handle obj, int depth) {
        if (depth > kMaxDepth)
            raise(PyExc_ValueError, "values nested more than " + std::to_string(kMaxDepth) +
                                        " deep cannot be stored in a MAT file");
        if (PyArray_Check(obj.ptr()))
            return from_array(nb::borrow(obj), depth);
        if (obj.is_none())
            raise(PyExc_TypeError, "Could not convert None (type <class 'NoneType'>) to array");
        const std::string module = nb::cast<std::string>(
            nb::getattr(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()))), "__module__", nb::str("")));
        if (module.rfind("scipy.sparse", 0) == 0)
            raise(PyExc_TypeError, "sparse matrices are not written to MAT files");
        if (nb::hasattr(obj, "__array__"))
            return from_array(numpy_.attr("asarray")(obj), depth);
        const bool mapping = nb::hasattr(obj, "keys") && nb::hasattr(obj, "values") && nb::hasattr(obj, "items");
        if (mapping)
            return struct_of_mapping(obj.attr("items")(), depth);
        if (nb::hasattr(obj, "__dict__")) { // an object: its public attributes
            nb::dict attributes;
            for (nb::handle pair : obj.attr("__dict__").attr("items")()) {
                nb::object key = pair[0];
                if (!(PyUnicode_Check(key.ptr()) && nb::cast<std::string>(key).rfind("_", 0) == 0))
                    attributes[key] = pair[1];
            }
            return struct_of_mapping(attributes.attr("items")(), depth);
        }
        nb::object array;
        try {
            array = numpy_.attr("asanyarray")(obj);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError))
                throw;
            array = numpy_.attr("asanyarray")(obj, nb::arg("dtype") = "O");
        }
        PyArrayObject *a = as_array(array);
        if (PyArray_NDIM(a) == 0 && PyArray_TYPE(a) == NPY_OBJECT)
            raise(PyExc_TypeError, "Could not convert " + describe(obj) + " to array");
        return from_array(array, depth);
    }

private:
    Node from_array(nb::object array, int depth) {
        PyArrayObject *a = as_array(array);
        PyArray_Descr *descr = PyArray_DESCR(a);
        if (PyDataType_HASFIELDS(descr))
            return records(array, depth);
        const int type = PyArray_TYPE(a);
        if (type == NPY_OBJECT)
            return cells(array, depth);
        if (type == NPY_UNICODE || type == NPY_STRING)
            return chars(array);
        const char kind = descr->kind;
        const size_t size = static_cast<size_t>(PyArray_ITEMSIZE(a));
        const bool plain = (kind == 'b' && size == 1) || ((kind == 'i' || kind == 'u') && size <= 8) ||
                           (kind == 'f' && (size == 4 || size == 8)) ||
                           (kind == 'c' && (size == 8 || size == 16));
        if (!plain) // no MAT type of its own (float16, long double, dates): stored as double
            return from_array(array.attr("astype")(kind == 'c' ? "c16" : "f8"), depth);
        return numeric(array, kind, size);
    }

    std::vector<uint64_t> matdims(PyArrayObject *a) const {
        const int nd = PyArray_NDIM(a);
        const npy_intp *shape = PyArray_DIMS(a);
        if (nd == 0)
            return {1, 1};
        if (nd == 1) {
            const uint64_t n = static_cast<uint64_t>(shape[0]);
            if (n == 0)
                return {0, 0};
            return options_.oned_as_row ? std::vector<uint64_t>{1, n} : std::vector<uint64_t>{n, 1};
        }
        return std::vector<uint64_t>(shape, shape + nd);
    }

    Node numeric(nb::object array, char kind, size_t size) {
        PyArrayObject *a = as_array(array);
        Node node;
        node.kind = Node::Kind::Numeric;
        node.dims = matdims(a);
        node.logical = kind == 'b';
        node.real = strided(a);
        if (kind == 'c') {
            node.complex = true;
            node.scalar = size == 8 ? mat::Scalar::f4 : mat::Scalar::f8;
            node.real.itemsize = size / 2;
            node.imag = node.real;
            node.imag.data += size / 2;
        } else if (kind == 'f') {
            node.scalar = size == 4 ? mat::Scalar::f4 : mat::Scalar::f8;
        } else {
            static const mat::Scalar signed_types[] = {mat::Scalar::i1, mat::Scalar::i2, mat::Scalar::i4, mat::Scalar::i8};
            static const mat::Scalar unsigned_types[] = {mat::Scalar::u1, mat::Scalar::u2, mat::Scalar::u4, mat::Scalar::u8};
            const int log2 = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3;
            node.scalar = kind == 'i' ? signed_types[log2] : unsigned_types[log2];
        }
        keep_.push_back(std::move(array));
        return node;
    }

    Node chars(nb::object array) {
        PyArrayObject *a = as_array(array);
        const bool ucs4 = PyArray_TYPE(a) == NPY_UNICODE;
        const size_t width = static_cast<size_t>(PyArray_ITEMSIZE(a)) / (ucs4 ? 4 : 1);
        const StridedData s = strided(a);
        Node node;
        node.kind = Node::Kind::Char;
        // all strings empty: MATLAB cannot tell that from an empty char array
        // (scipy compares byte strings with '' and so never finds them empty)
        if (PyArray_SIZE(a) == 0 || (ucs4 && all_zero(s))) {
            node.dims.assign(std::max(PyArray_NDIM(a), 2), 0);
            return node;
        }
        node.dims.assign(PyArray_DIMS(a), PyArray_DIMS(a) + PyArray_NDIM(a));
        if (node.dims.empty())
            node.dims.push_back(1);
        node.dims.push_back(width);
        node.text = mat::char_matrix_text(s, width, ucs4);
        return node;
    }

    // The elements of an array in column-major order, kept alive with the plan.
    nb::object column_major_copy(nb::object array) {
        nb::object flat = checked(PyArray_Ravel(as_array(array), NPY_FORTRANORDER));
        keep_.push_back(flat);
        return flat;
    }

    static nb::handle slot_object(const char *slot) {
        PyObject *obj;
        std::memcpy(&obj, slot, sizeof obj);
        return obj ? nb::handle(obj) : nb::none();
    }

    Node cells(nb::object array, int depth) {
        Node node;
        node.kind = Node::Kind::Cell;
        node.dims = matdims(as_array(array));
        nb::object flat = column_major_copy(array);
        PyArrayObject *f = as_array(flat);
        const char *base = PyArray_BYTES(f);
        const npy_intp n = PyArray_SIZE(f);
        node.items.reserve(static_cast<size_t>(n));
        for (npy_intp i = 0; i < n; ++i)
            node.items.push_back(node_of(slot_object(base + i * PyArray_STRIDE(f, 0)), depth + 1));
        return node;
    }

    Node records(nb::object array, int depth) {
        PyArrayObject *a = as_array(array);
        nb::object dtype = nb::borrow(reinterpret_cast<PyObject *>(PyArray_DESCR(a)));
        nb::object fields = dtype.attr("fields");
        Node node;
        node.kind = Node::Kind::Struct;
        node.dims = matdims(a);
        std::vector<nb::object> names;
        std::vector<npy_intp> offsets;
        std::vector<bool> object_field;
        for (nb::handle name : dtype.attr("names")) {
            node.fields.push_back(field_name(name, options_.max_field_name));
            nb::object entry = fields[name];
            PyArray_Descr *field_type = reinterpret_cast<PyArray_Descr *>(nb::object(entry[0]).ptr());
            names.push_back(nb::borrow(name));
            offsets.push_back(nb::cast<npy_intp>(entry[1]));
            object_field.push_back(field_type->type_num == NPY_OBJECT);
        }
        node.name_slot = slot_of(node.fields);
        nb::object flat = column_major_copy(array);
        PyArrayObject *f = as_array(flat);
        const char *base = PyArray_BYTES(f);
        const npy_intp n = PyArray_SIZE(f);
        for (npy_intp i = 0; i < n; ++i) {
            const char *record = base + i * PyArray_STRIDE(f, 0);
            for (size_t j = 0; j < names.size(); ++j) {
                if (object_field[j]) {
                    node.items.push_back(node_of(slot_object(record + offsets[j]), depth + 1));
                } else { // numbers, strings, sub-arrays: as numpy hands out flat[i][name]
                    nb::object value = flat[nb::int_(i)][names[j]];
                    node.items.push_back(node_of(value, depth + 1));
                    keep_.push_back(value);
                }
            }
        }
        return node;
    }

    Node struct_of_mapping(nb::object items, int depth) {
        Node node;
        node.kind = Node::Kind::Struct;
        node.dims = {1, 1};
        for (nb::handle pair : items) {
            nb::object key = pair[0], value = pair[1];
            node.fields.push_back(field_name(key, options_.max_field_name));
            node.items.push_back(node_of(value, depth + 1));
            keep_.push_back(value);
        }
        node.name_slot = slot_of(node.fields);
        return node;
    }

    const PlanOptions &options_;
    std::vector<nb::object> &keep_;
    nb::module_ numpy_;
};

} // namespace

std::vector<mat::NamedNode> plan_variables(nb::handle mdict, const PlanOptions &options,
                                           std::vector<nb::object> &keep) {
    Planner planner(options, keep);
    std::vector<mat::NamedNode> out;
    for (nb::handle pair : mdict.attr("items")()) {
        nb::object key = pair[0], value = pair[1];
        if (!PyUnicode_Check(key.ptr()))
            raise(PyExc_TypeError, "MAT variable names must be str, got " + describe(key));
        if (PyUnicode_GetLength(key.ptr()) == 0 || PyUnicode_ReadChar(key.ptr(), 0) == '_')
            raise(PyExc_ValueError, nb::cast<std::string>(nb::repr(key)) +
                                        " cannot be a MAT variable name: names start with a letter");
        nb::object latin1 = checked(PyUnicode_AsLatin1String(key.ptr()));
        mat::NamedNode var;
        var.name.assign(PyBytes_AS_STRING(latin1.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(latin1.ptr())));
        var.node = planner.node_of(value, 0);
        keep.push_back(value);
        out.push_back(std::move(var));
    }
    return out;
}

} // namespace telvar::matio
