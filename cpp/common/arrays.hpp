// Typed, bounds-aware views of numpy arrays through the buffer protocol.
// Inputs that are read only are converted with numpy.ascontiguousarray first
// (lists, other dtypes, strided views); arrays written in place must already
// be C-contiguous and of the right dtype, otherwise ValueError names the
// argument. Every size is checked before a pointer is handed out.
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace telvar {
namespace nb = nanobind;

[[noreturn]] inline void raise_value_error(const std::string &message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw nb::python_error();
}

[[noreturn]] inline void raise_index_error(const std::string &message) {
    PyErr_SetString(PyExc_IndexError, message.c_str());
    throw nb::python_error();
}

[[noreturn]] inline void raise_type_error(const std::string &message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw nb::python_error();
}

template <typename T> struct dtype_traits;
template <> struct dtype_traits<double> {
    static constexpr const char *numpy_name = "float64";
    static bool matches(const char *fmt) { return std::strcmp(fmt, "d") == 0; }
};
template <> struct dtype_traits<int64_t> {
    static constexpr const char *numpy_name = "int64";
    static bool matches(const char *fmt) {
        return std::strcmp(fmt, "l") == 0 || std::strcmp(fmt, "q") == 0;
    }
};
template <> struct dtype_traits<uint8_t> { // numpy bool
    static constexpr const char *numpy_name = "bool";
    static bool matches(const char *fmt) { return std::strcmp(fmt, "?") == 0; }
};

// A C-contiguous array of T with 1 or 2 dimensions. A 1-D array is seen as
// one row. Owns its buffer (released on destruction) and keeps the array
// alive.
template <typename T> class ArrayView {
public:
    ArrayView() = default;
    ArrayView(nb::handle obj, const char *argname, int ndim, bool writable = false)
        : argname_(argname) {
        if (writable) {
            owner_ = nb::borrow(obj);
        } else {
            nb::module_ np = nb::module_::import_("numpy");
            owner_ = np.attr("ascontiguousarray")(obj, nb::arg("dtype") = dtype_traits<T>::numpy_name);
        }
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(owner_.ptr(), &view_, flags) != 0) {
            PyErr_Clear();
            raise_value_error(std::string(argname) + " must be a " +
                              (writable ? "writable C-contiguous " : "") +
                              dtype_traits<T>::numpy_name + " array");
        }
        held_ = true;
        if (!dtype_traits<T>::matches(view_.format ? view_.format : "B") ||
            view_.itemsize != static_cast<Py_ssize_t>(sizeof(T)))
            raise_value_error(std::string(argname) + " must have dtype " +
                              dtype_traits<T>::numpy_name);
        if (view_.ndim != ndim)
            raise_value_error(std::string(argname) + " must be a " + std::to_string(ndim) +
                              "-D array, got " + std::to_string(view_.ndim) + "-D");
        if (ndim == 2) {
            rows_ = static_cast<size_t>(view_.shape[0]);
            cols_ = static_cast<size_t>(view_.shape[1]);
        } else if (ndim == 1) {
            rows_ = 1;
            cols_ = static_cast<size_t>(view_.shape[0]);
        } else {
            rows_ = 1;
            cols_ = 1;
        }
    }

    // A view of `data`, a C-contiguous block of rows x cols inside `owner`
    // (an array the caller has checked), kept alive by the view.
    static ArrayView of_block(nb::handle owner, T *data, size_t rows, size_t cols,
                              const char *argname) {
        ArrayView view;
        view.owner_ = nb::borrow(owner);
        view.view_.buf = data;
        view.rows_ = rows;
        view.cols_ = cols;
        view.argname_ = argname;
        return view;
    }

    ArrayView(const ArrayView &) = delete;
    ArrayView &operator=(const ArrayView &) = delete;
    ArrayView(ArrayView &&other) noexcept { *this = std::move(other); }
    ArrayView &operator=(ArrayView &&other) noexcept {
        if (this != &other) {
            release();
            owner_ = std::move(other.owner_);
            view_ = other.view_;
            held_ = other.held_;
            rows_ = other.rows_;
            cols_ = other.cols_;
            argname_ = other.argname_;
            other.held_ = false;
        }
        return *this;
    }
    ~ArrayView() { release(); }

    T *data() const { return static_cast<T *>(view_.buf); }
    size_t rows() const { return rows_; }
    size_t cols() const { return cols_; }
    size_t size() const { return rows_ * cols_; }
    T &operator()(size_t r, size_t c) const { return data()[r * cols_ + c]; }
    T &operator[](size_t i) const { return data()[i]; }
    const nb::object &object() const { return owner_; }

    void require_rows(size_t at_least, const char *what) const {
        if (rows_ < at_least)
            raise_value_error(std::string(argname_) + " has " + std::to_string(rows_) +
                              " rows, " + what + " needs at least " +
                              std::to_string(at_least));
    }

private:
    void release() {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }

    nb::object owner_;
    Py_buffer view_{};
    bool held_ = false;
    size_t rows_ = 0, cols_ = 0;
    const char *argname_ = "";
};

[[noreturn]] inline void raise_not_an_integer(double value, const char *argname) {
    raise_value_error(std::string(argname) + " must be an integer value, got " +
                      std::to_string(value));
}

// A float that must hold an integer (a position, a count): NaN, infinities
// and fractions raise ValueError naming the argument.
inline int64_t checked_integer(double value, const char *argname) {
    // the negated test is also true for NaN
    if (!(std::fabs(value) <= 9.0e15))
        raise_not_an_integer(value, argname);
    const int64_t integer = static_cast<int64_t>(value);
    if (static_cast<double>(integer) != value)
        raise_not_an_integer(value, argname);
    return integer;
}

} // namespace telvar
