// No read during a run sees a bar after the current one.
//
// While the runner calls a strategy's on_bar, the run state (cnt.vr) holds
// the current bar position in g_TelvarReadLimit; before and after the bar
// loop, and in notebooks and tests that only set a run up, it is -1 and
// reads are not limited. A reading function reads it once per call and
// checks the bar position it resolved (negative positions counted from the
// end, NaN as the latest) against it.
#pragma once

#include <nanobind/nanobind.h>

#include "common/interned.hpp"

namespace telvar {
namespace nb = nanobind;

// The newest bar position reads may see now, or -1 when they are not
// limited (also for a run state without the attribute).
inline long long read_limit(nb::handle run_state) {
    PyObject *value = PyObject_GetAttr(run_state.ptr(), interned("g_TelvarReadLimit").ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        return -1;
    }
    const long long limit = PyLong_AsLongLong(value);
    Py_DECREF(value);
    if (limit == -1 && PyErr_Occurred())
        throw nb::python_error();
    return limit < 0 ? -1 : limit;
}

// Raises IndexError with the message catalog's ERROR_READ_AHEAD when bar
// position `bar` lies after `limit` (when reads are limited). `asked` is the
// position as the caller gave it; `catalog()` gives the catalog, looked up
// only for the message.
template <typename Catalog>
inline void require_not_ahead(long long bar, nb::handle asked, long long limit,
                              Catalog &&catalog) {
    if (limit < 0 || bar <= limit)
        return;
    nb::object message = catalog().attr("ERROR_READ_AHEAD").attr("format")(
        nb::arg("POSITION") = asked, nb::arg("BAR") = bar, nb::arg("CURRENT") = limit);
    PyErr_SetObject(PyExc_IndexError, message.ptr());
    throw nb::python_error();
}

// The same check for a position given as a Python object. One that is not
// an integer (a float, say) names no bar: it is left to the caller's own
// indexing, which refuses it.
template <typename Catalog>
inline void require_not_ahead(nb::handle position, long long limit, Catalog &&catalog) {
    if (limit < 0)
        return;
    PyObject *index = PyNumber_Index(position.ptr());
    if (!index) {
        PyErr_Clear();
        return;
    }
    int overflow = 0;
    const long long bar = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (bar == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow > 0 || bar > limit) // far beyond any bar, or after the current one
        require_not_ahead(overflow > 0 ? limit + 1 : bar, position, limit, catalog);
}

// Lifts the limit for as long as it lives (a registration that computes a
// series over every bar position), then puts the value back, also when an
// exception leaves early.
class ReadLimitLifted {
public:
    explicit ReadLimitLifted(nb::handle run_state) : state_(nb::borrow(run_state)) {
        PyObject *value = PyObject_GetAttr(state_.ptr(), interned("g_TelvarReadLimit").ptr());
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                throw nb::python_error();
            PyErr_Clear();
            return; // nothing to lift
        }
        saved_ = nb::steal(value);
        set(PyLong_FromLong(-1));
    }
    ReadLimitLifted(const ReadLimitLifted &) = delete;
    ReadLimitLifted &operator=(const ReadLimitLifted &) = delete;
    ~ReadLimitLifted() {
        if (!saved_.is_valid())
            return;
        // An exception on its way out keeps its error state.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        if (PyObject_SetAttr(state_.ptr(), interned("g_TelvarReadLimit").ptr(), saved_.ptr()) != 0)
            PyErr_WriteUnraisable(state_.ptr());
        PyErr_Restore(type, value, traceback);
    }

    // The limit in force before it was lifted: the run's current bar while
    // on_bar runs, -1 (or nothing) otherwise.
    long long saved() const {
        if (!saved_.is_valid() || !PyLong_Check(saved_.ptr()))
            return -1;
        const long long value = PyLong_AsLongLong(saved_.ptr());
        if (value == -1 && PyErr_Occurred())
            PyErr_Clear();
        return value;
    }

private:
    void set(PyObject *value) {
        nb::object owned = nb::steal(value);
        if (!owned.is_valid() ||
            PyObject_SetAttr(state_.ptr(), interned("g_TelvarReadLimit").ptr(), owned.ptr()) != 0)
            throw nb::python_error();
    }
    nb::object state_, saved_;
};

} // namespace telvar
