// A file read -> Python objects, shaped as scipy.io.loadmat shapes them with
// its default options: numeric arrays keep the stored element type and byte
// order (column-major, the reader's buffer handed over without a copy),
// character arrays become string arrays along their last dimension, cells
// are object arrays, structs are record arrays with object fields.
#include "matio/matio.hpp"
#include "matio/numpy_api.hpp"

#include "common/mat/errors.hpp"

#include <cstring>
#include <string>

namespace telvar::matio {

namespace {

using mat::Value;

[[noreturn]] void raise_python() { throw nb::python_error(); }

nb::object checked(PyObject *obj) {
    if (!obj)
        raise_python();
    return nb::steal(obj);
}

std::vector<npy_intp> numpy_dims(const std::vector<int64_t> &dims) {
    return std::vector<npy_intp>(dims.begin(), dims.end());
}

int type_number(const Value &v) {
    if (v.complex)
        return v.scalar == mat::Scalar::f4 ? NPY_CFLOAT : NPY_CDOUBLE;
    switch (v.scalar) {
    case mat::Scalar::i1: return NPY_INT8;
    case mat::Scalar::u1: return NPY_UINT8;
    case mat::Scalar::i2: return NPY_INT16;
    case mat::Scalar::u2: return NPY_UINT16;
    case mat::Scalar::i4: return NPY_INT32;
    case mat::Scalar::u4: return NPY_UINT32;
    case mat::Scalar::f4: return NPY_FLOAT32;
    case mat::Scalar::f8: return NPY_FLOAT64;
    case mat::Scalar::i8: return NPY_INT64;
    default: return NPY_UINT64;
    }
}

// A new column-major array of `descr` (reference stolen); numpy allocates
// (and zero-fills when the dtype holds references).
nb::object new_fortran_array(PyArray_Descr *descr, const std::vector<int64_t> &dims) {
    std::vector<npy_intp> shape = numpy_dims(dims);
    return checked(PyArray_NewFromDescr(&PyArray_Type, descr, static_cast<int>(shape.size()),
                                        shape.data(), nullptr, nullptr, 1, nullptr));
}

void free_capsule(PyObject *capsule) {
    mat::Buffer::free(PyCapsule_GetPointer(capsule, nullptr));
}

nb::object numeric_array(Value &v) {
    PyArray_Descr *descr = PyArray_DescrFromType(type_number(v));
    const bool native = v.big_endian == !mat::kHostLittleEndian;
    if (!native) {
        PyArray_Descr *swapped = PyArray_DescrNewByteorder(descr, NPY_SWAP);
        Py_DECREF(descr);
        if (!swapped)
            raise_python();
        descr = swapped;
    }
    if (v.data.empty())
        return new_fortran_array(descr, v.dims);
    // The buffer becomes the array's memory; a capsule frees it with the array.
    void *bytes = v.data.release();
    PyObject *capsule = PyCapsule_New(bytes, nullptr, free_capsule);
    if (!capsule) {
        mat::Buffer::free(bytes);
        Py_DECREF(descr);
        raise_python();
    }
    nb::object owner = nb::steal(capsule);
    std::vector<npy_intp> shape = numpy_dims(v.dims);
    std::vector<npy_intp> strides(shape.size());
    npy_intp step = PyDataType_ELSIZE(descr);
    for (size_t k = 0; k < shape.size(); ++k) {
        strides[k] = step;
        step *= shape[k];
    }
    nb::object array = checked(PyArray_NewFromDescr(
        &PyArray_Type, descr, static_cast<int>(shape.size()), shape.data(), strides.data(), bytes,
        NPY_ARRAY_WRITEABLE, nullptr));
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(array.ptr()),
                              owner.release().ptr()) != 0)
        raise_python();
    return array;
}

const char *codec_name(mat::TextCodec codec) {
    switch (codec) {
    case mat::TextCodec::Ascii: return "ascii";
    case mat::TextCodec::Utf8: return "utf-8";
    case mat::TextCodec::Utf16LE: return "utf-16-le";
    case mat::TextCodec::Utf16BE: return "utf-16-be";
    case mat::TextCodec::Utf32LE: return "utf-32-le";
    default: return "utf-32-be";
    }
}

// The characters of a char array, column-major; stored blanks as nothing
// stand for blanks.
std::vector<Py_UCS4> decoded_chars(const Value &v, uint64_t count) {
    if (v.text.empty())
        return std::vector<Py_UCS4>(count, ' ');
    // undecodable bytes become U+FFFD, as scipy decodes them
    nb::object text = checked(PyUnicode_Decode(v.text.data(), static_cast<Py_ssize_t>(v.text.size()),
                                               codec_name(v.codec), "replace"));
    const Py_ssize_t n = PyUnicode_GetLength(text.ptr());
    if (static_cast<uint64_t>(n) < count)
        throw mat::FormatError("character data decode to " + std::to_string(n) +
                               " characters, fewer than the " + std::to_string(count) +
                               " the array's dimensions declare");
    std::vector<Py_UCS4> chars(count);
    const int kind = PyUnicode_KIND(text.ptr());
    const void *data = PyUnicode_DATA(text.ptr());
    for (uint64_t i = 0; i < count; ++i)
        chars[i] = PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
    return chars;
}

// The strings along the last dimension: element i (C order over the other
// dimensions) holds characters (i..., k) for k along the last dimension.
nb::object char_array(const Value &v) {
    const uint64_t count = v.count();
    const std::vector<Py_UCS4> chars = decoded_chars(v, count);
    const size_t nd = v.dims.size();
    const uint64_t width = static_cast<uint64_t>(v.dims[nd - 1]);
    std::vector<npy_intp> shape(v.dims.begin(), v.dims.end() - 1);
    if (width == 0) { // empty: scipy marks the next-to-last dimension empty
        if (nd == 2 || nd == 1)
            shape.assign(1, 0);
        else
            shape.back() = 0;
    }
    nb::object dtype_text = checked(PyUnicode_FromFormat("U%llu", static_cast<unsigned long long>(width ? width : 1)));
    PyArray_Descr *descr = nullptr;
    if (!PyArray_DescrConverter(dtype_text.ptr(), &descr))
        raise_python();
    nb::object array = checked(PyArray_NewFromDescr(&PyArray_Type, descr, static_cast<int>(shape.size()),
                                                    shape.data(), nullptr, nullptr, 0, nullptr));
    if (width == 0 || count == 0)
        return array;
    auto *out = static_cast<Py_UCS4 *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.ptr())));
    const uint64_t strings = count / width;
    // walk the strings column-major, placing each at its C-order position
    std::vector<uint64_t> index(nd - 1, 0), c_stride(nd - 1, 1);
    for (size_t k = nd - 1; k-- > 1;)
        c_stride[k - 1] = c_stride[k] * static_cast<uint64_t>(v.dims[k]);
    for (uint64_t f = 0; f < strings; ++f) {
        uint64_t c = 0;
        for (size_t k = 0; k + 1 < nd; ++k)
            c += index[k] * c_stride[k];
        for (uint64_t k = 0; k < width; ++k)
            out[c * width + k] = chars[f + strings * k];
        for (size_t k = 0; k + 1 < nd; ++k) {
            if (++index[k] < static_cast<uint64_t>(v.dims[k]))
                break;
            index[k] = 0;
        }
    }
    return array;
}

nb::object convert(Value &v);

nb::object cell_array(Value &v) {
    nb::object array = new_fortran_array(PyArray_DescrFromType(NPY_OBJECT), v.dims);
    auto **slots = static_cast<PyObject **>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.ptr())));
    for (size_t i = 0; i < v.items.size(); ++i)
        slots[i] = convert(v.items[i]).release().ptr();
    return array;
}

nb::object struct_array(Value &v) {
    if (v.fields.empty()) { // no dtype can say this: scipy gives an object array of None
        nb::object array = new_fortran_array(PyArray_DescrFromType(NPY_OBJECT), v.dims);
        auto **slots = static_cast<PyObject **>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.ptr())));
        const uint64_t count = v.count();
        for (uint64_t i = 0; i < count; ++i) {
            Py_INCREF(Py_None);
            slots[i] = Py_None;
        }
        return array;
    }
    nb::list spec;
    for (const std::string &field : v.fields) {
        nb::object name = checked(PyUnicode_DecodeUTF8(field.data(), static_cast<Py_ssize_t>(field.size()), "strict"));
        spec.append(nb::make_tuple(name, "O"));
    }
    PyArray_Descr *descr = nullptr;
    if (!PyArray_DescrConverter(spec.ptr(), &descr))
        raise_python();
    const npy_intp itemsize = PyDataType_ELSIZE(descr);
    nb::object dtype = nb::steal(reinterpret_cast<PyObject *>(descr));
    nb::object fields = dtype.attr("fields");
    std::vector<npy_intp> offsets;
    for (nb::handle name : dtype.attr("names")) {
        nb::object entry = fields[name];
        offsets.push_back(nb::cast<npy_intp>(entry[1]));
    }
    if (offsets.size() != v.fields.size())
        throw mat::FormatError("the struct's field names do not make a record type");
    Py_INCREF(descr); // new_fortran_array takes one reference
    nb::object array = new_fortran_array(descr, v.dims);
    auto *base = static_cast<char *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(array.ptr())));
    const size_t nf = v.fields.size();
    for (size_t i = 0; i < v.items.size(); ++i) {
        PyObject *item = convert(v.items[i]).release().ptr();
        std::memcpy(base + static_cast<npy_intp>(i / nf) * itemsize + offsets[i % nf], &item, sizeof item);
    }
    return array;
}

nb::object convert(Value &v) {
    switch (v.kind) {
    case Value::Kind::Empty: {
        npy_intp shape[2] = {1, 0};
        return checked(PyArray_SimpleNew(2, shape, NPY_FLOAT64));
    }
    case Value::Kind::Numeric: return numeric_array(v);
    case Value::Kind::Char: return char_array(v);
    case Value::Kind::Cell: return cell_array(v);
    default: return struct_array(v);
    }
}

} // namespace

nb::dict to_python(mat::MatFile &file) {
    nb::dict out;
    out["__header__"] = nb::bytes(file.header_text.data(), file.header_text.size());
    out["__version__"] = nb::str((std::to_string(file.version_major) + "." +
                                  std::to_string(file.version_minor)).c_str());
    nb::list globals;
    out["__globals__"] = globals;
    for (mat::Variable &var : file.variables) {
        nb::object name = var.name.empty()
                              ? nb::str("__function_workspace__")
                              : checked(PyUnicode_DecodeLatin1(var.name.data(),
                                                               static_cast<Py_ssize_t>(var.name.size()), nullptr));
        out[name] = convert(var.value);
        if (var.global)
            globals.append(name);
    }
    return out;
}

} // namespace telvar::matio
