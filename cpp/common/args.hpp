// Argument binding for module functions written against `nb::args` /
// `nb::kwargs`, with the TypeError wording CPython extension functions use.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

namespace telvar {
namespace nb = nanobind;

// Raises TypeError: "f() takes exactly 7 positional arguments (6 given)",
// "at least" when too few of a range, "at most" when too many.
[[noreturn]] inline void raise_arg_count(const char *func, Py_ssize_t min_args,
                                         Py_ssize_t max_args, Py_ssize_t given) {
    const char *more_or_less;
    Py_ssize_t expected;
    if (min_args == max_args) {
        more_or_less = "exactly";
        expected = min_args;
    } else if (given < min_args) {
        more_or_less = "at least";
        expected = min_args;
    } else {
        more_or_less = "at most";
        expected = max_args;
    }
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func, more_or_less, expected, expected == 1 ? "" : "s", given);
    throw nb::python_error();
}

// A Python-style parameter list: `names` in order, the first `n_required`
// without defaults, those after the first `n_positional` keyword-only (all
// may be positional unless given). bind() maps positional and keyword arguments onto it;
// optional parameters the caller left out come back as null objects
// (`!value.is_valid()`), so each function applies its own default.
class Signature {
public:
    Signature(const char *func, std::initializer_list<const char *> names,
              size_t n_required)
        : func_(func), names_(names), n_required_(n_required), n_positional_(names.size()) {}
    Signature(const char *func, std::initializer_list<const char *> names, size_t n_required,
              size_t n_positional)
        : func_(func), names_(names), n_required_(n_required),
          n_positional_(std::min(n_positional, names.size())) {}

    const char *name() const { return func_; }

    std::vector<nb::object> bind(const nb::args &args, const nb::kwargs &kwargs) const {
        const Py_ssize_t n_params = static_cast<Py_ssize_t>(n_positional_);
        const Py_ssize_t n_req = static_cast<Py_ssize_t>(n_required_);
        const Py_ssize_t n_pos = static_cast<Py_ssize_t>(args.size());
        if (n_pos > n_params)
            raise_arg_count(func_, n_req, n_params, n_pos);

        std::vector<nb::object> values(names_.size());
        for (Py_ssize_t i = 0; i < n_pos; ++i)
            values[i] = nb::borrow(args[i]);

        for (auto item : kwargs) {
            nb::handle key = item.first;
            if (!PyUnicode_Check(key.ptr())) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_);
                throw nb::python_error();
            }
            const char *kw = PyUnicode_AsUTF8(key.ptr());
            if (!kw)
                throw nb::python_error();
            Py_ssize_t index = find(kw);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError,
                             "%.200s() got an unexpected keyword argument '%s'", func_, kw);
                throw nb::python_error();
            }
            if (values[index].is_valid()) {
                PyErr_Format(PyExc_TypeError,
                             "%.200s() got multiple values for keyword argument '%s'",
                             func_, kw);
                throw nb::python_error();
            }
            values[index] = nb::borrow(item.second);
        }

        for (Py_ssize_t i = 0; i < n_req; ++i)
            if (!values[i].is_valid())
                raise_arg_count(func_, n_req, n_params, i);
        return values;
    }

private:
    Py_ssize_t find(const char *kw) const {
        for (size_t i = 0; i < names_.size(); ++i)
            if (std::string(names_[i]) == kw)
                return static_cast<Py_ssize_t>(i);
        return -1;
    }

    const char *func_;
    std::vector<const char *> names_;
    size_t n_required_;
    size_t n_positional_;
};

// Value of an optional bound parameter, or `fallback` when it was left out.
inline nb::object or_default(const nb::object &value, nb::object fallback) {
    return value.is_valid() ? value : fallback;
}

// For keyword-only functions (`def f(**kwargs)`): any positional argument is
// the same TypeError CPython gives.
inline void require_no_positional(const char *func, const nb::args &args) {
    if (args.size() != 0)
        raise_arg_count(func, 0, 0, static_cast<Py_ssize_t>(args.size()));
}

// Reads and removes `key` from a keyword dictionary; a missing key raises
// KeyError(key), as `kwargs.pop(key)` would.
inline nb::object pop_required_kwarg(nb::dict &kwargs, const char *key) {
    nb::str k(key);
    if (!kwargs.contains(k)) {
        PyErr_SetObject(PyExc_KeyError, k.ptr());
        throw nb::python_error();
    }
    nb::object value = kwargs[k];
    PyDict_DelItem(kwargs.ptr(), k.ptr());
    return value;
}

} // namespace telvar
