// The history module: historical bars, ticks, the trading calendar and
// instrument queries, answered by the host through the command channel.
//
// Every function takes (nb::args, nb::kwargs) and binds them with
// telvar::Signature, so argument errors read exactly as CPython's. Framework
// names (tvcmd, cnt, load_mat, text, ...) and the module's own functions are
// looked up in the module namespace when a function runs, never cached in C++.
#pragma once

#include "common/args.hpp"
#include "common/globals.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <utility>

namespace telvar {
namespace nb = nanobind;

ModuleGlobals &history_globals();

namespace history {

// --- host K-data requests (requests.cpp) ---
nb::object ask_get_k_data(nb::args args, nb::kwargs kwargs);
nb::object ask_get_tick_data(nb::args args, nb::kwargs kwargs);

// --- K-data files (kdata_files.cpp) ---
nb::object load_mat_from_split_file(nb::args args, nb::kwargs kwargs);
nb::object load_k_data_from_local(nb::args args, nb::kwargs kwargs);

// --- K-data download and multi-target fetch (kdata_fetch.cpp) ---
nb::object load_k_data_from_pro(nb::args args, nb::kwargs kwargs);
nb::object get_k_data_multi(nb::args args, nb::kwargs kwargs);

// --- trading calendar (calendar.cpp) ---
nb::object get_trading_days(nb::args args, nb::kwargs kwargs);
nb::object get_trading_days_condition(nb::args args, nb::kwargs kwargs);
nb::object get_trading_time(nb::args args, nb::kwargs kwargs);

// --- instruments and contracts (instruments.cpp) ---
nb::object get_main_contract(nb::args args, nb::kwargs kwargs);
nb::object get_history_instruments(nb::args args, nb::kwargs kwargs);
nb::object get_future_info_ex(nb::args args, nb::kwargs kwargs);
nb::object get_stock_info_ex(nb::args args, nb::kwargs kwargs);
nb::object get_target_info(nb::args args, nb::kwargs kwargs);
nb::object get_target_info_v2(nb::args args, nb::kwargs kwargs);
nb::object get_code_list(nb::args args, nb::kwargs kwargs);
nb::object get_code_list_set(nb::args args, nb::kwargs kwargs);
nb::object get_future_contracts(nb::args args, nb::kwargs kwargs);

// --- ticks (ticks.cpp) ---
nb::object load_tick_data_from_pro(nb::args args, nb::kwargs kwargs);
nb::object get_bar_tick_data(nb::args args, nb::kwargs kwargs);

// --- per-target K-data matrices (independent_target.cpp) ---
nb::object get_k_data_independent_target(nb::args args, nb::kwargs kwargs);

// --- last-N-bars K-data (last_n.cpp) ---
nb::object get_k_data_n(nb::args args, nb::kwargs kwargs);

// --- strategy run-time queries (runtime.cpp) ---
nb::object get_bar(nb::args args, nb::kwargs kwargs);
nb::object get_strategy_id(nb::args args, nb::kwargs kwargs);
nb::object get_performance(nb::args args, nb::kwargs kwargs);

// ---------------------------------------------------------------------------
// Small helpers shared by the files of this module.

// A module global (framework name or one of the module's own functions).
inline nb::object global(const char *name) { return history_globals()(name); }

// A catalog text, read when it is used.
inline nb::object text(const char *key) { return global("text").attr(key); }

// One line in the host's log, under the strategy's task id of this moment.
inline void put_log(nb::handle message) {
    nb::object task_id = global("cnt").attr("vr").attr("g_TelvarModeTaskId");
    global("tvcmd").attr("tvSendCmdPutLog")(task_id, message);
}

// `bool(value)`
inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

// `a <op> b` as a truth value (op: Py_EQ, Py_NE, Py_GT, ...)
inline bool compare(nb::handle a, nb::handle b, int op) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

// `a == b` as a truth value
inline bool equals(nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }

// `str(value)`
inline nb::str to_str(nb::handle value) {
    PyObject *result = PyObject_Str(value.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal<nb::str>(result);
}

// `int(value)`
inline nb::object to_int(nb::handle value) {
    PyObject *result = PyNumber_Long(value.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

// `np.array([])`
inline nb::object empty_array() { return global("np").attr("array")(nb::list()); }

// `obj[index]`, negative indices as Python allows them
inline nb::object item_at(nb::handle obj, Py_ssize_t index) {
    nb::object key = nb::steal(PyLong_FromSsize_t(index));
    PyObject *value = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

// `obj[key]`, KeyError/IndexError as the container raises them
inline nb::object item(nb::handle obj, nb::handle key) {
    PyObject *value = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

inline nb::object item(nb::handle obj, const char *key) { return item(obj, nb::str(key)); }

// `fmt % args`
inline nb::str percent_format(const char *fmt, nb::handle args) {
    PyObject *result = PyUnicode_Format(nb::str(fmt).ptr(), args.ptr());
    if (!result)
        throw nb::python_error();
    return nb::steal<nb::str>(result);
}

// `a, b = value`, with Python's unpacking errors
inline std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object seq = nb::steal(PySequence_Fast(value.ptr(), "cannot unpack non-iterable object"));
    if (!seq.is_valid())
        throw nb::python_error();
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    if (n != 2) {
        if (n < 2)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        else
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    return {nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 0)),
            nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), 1))};
}

// `raise error`: the very instance, so callers see the object they were handed.
[[noreturn]] inline void raise_instance(nb::handle error) {
    if (!PyExceptionInstance_Check(error.ptr())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw nb::python_error();
    }
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

// nanobind before 3.0 keeps an error unnormalised on Python < 3.12 (a
// KeyError raised by a dict look-up carries the bare key tuple), so the
// instance is made here as Python would make it. Consumes the error.
inline nb::object exception_of(nb::python_error &e) {
    e.restore();
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) {
        PyException_SetTraceback(value, traceback);
        Py_DECREF(traceback);
    }
    Py_XDECREF(type);
    return nb::steal(value);
#endif
}

// Integer value of a gv layout constant.
inline Py_ssize_t gv_int(const char *name) { return nb::cast<Py_ssize_t>(global("gv").attr(name)); }

// Raises the framework's TvDataError with a catalog text.
[[noreturn]] inline void raise_data_error(nb::handle message) {
    nb::object error_type = nb::module_::import_("telvar.kestrum.utils.exceptions").attr("TvDataError");
    PyErr_SetObject(error_type.ptr(), message.ptr());
    throw nb::python_error();
}

// TvDataError: a field of the host's file for `target` holds `length`
// values where `expected` were due.
[[noreturn]] inline void raise_field_length_error(nb::handle target, nb::handle field, size_t length,
                                                  size_t expected) {
    raise_data_error(text("ERROR_BAR_FIELD_LENGTH")
                         .attr("format")(nb::arg("TARGET") = target, nb::arg("FIELD") = field,
                                         nb::arg("LENGTH") = length, nb::arg("EXPECTED") = expected));
}

} // namespace history
} // namespace telvar
