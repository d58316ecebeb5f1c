// Helpers shared by the registration module's source files: the module
// globals, the run state and the catalog texts they lead to.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "common/args.hpp"
#include "common/arrays.hpp"
#include "common/interned.hpp"
#include "common/interop.hpp"
#include "regora/regora.hpp"
#include "common/kmatrix_layout.hpp"

namespace telvar::regora {

// A module global by name (a string literal).
template <size_t N> inline nb::object global(const char (&name)[N]) {
    return module_globals()(name);
}

// cnt.vr: the framework's run state.
inline nb::object run_state() { return attr_of(global("cnt"), "vr"); }
inline nb::object run_inputs() { return run_state().attr("g_TelvarInputInfo"); }
inline nb::object kdata_list() { return run_state().attr("g_TelvarKDataList"); }
template <size_t N> inline nb::object message(const char (&key)[N]) {
    return attr_of(global("text"), key);
}

// (frequency_i, freq_num) of a function that takes just these two.
struct FrequencyArgs {
    long long frequency_i, freq_num;
};
inline FrequencyArgs bind_frequency(const Signature &sig, nb::args args, nb::kwargs kwargs) {
    auto v = sig.bind(args, kwargs);
    return {as_int(v[0]), as_int(v[1])};
}

// An integer constant of the framework (gv.<name>, a string literal).
template <size_t N> inline long long gv_int(const char (&name)[N]) {
    return as_int(attr_of(global("gv"), name));
}

// `text.KEY + ", " + detail` as the single argument of an exception.
template <size_t N>
[[noreturn]] void raise_message(PyObject *type, const char (&key)[N], nb::handle detail = nb::handle()) {
    nb::object msg = message(key);
    if (detail.is_valid())
        msg = msg + nb::str(", ") + nb::borrow(detail);
    raise_with(type, msg);
}

// Calls a module function through the module namespace, as a Python module
// calling its own functions would (so a replaced global takes effect).
template <size_t N, typename... Args>
nb::object call_module(const char (&name)[N], Args &&...args) {
    return global(name)(std::forward<Args>(args)...);
}

// The time row of the fresh-bar store (the store itself while it is 1-D).
inline nb::object fresh_time_row() {
    nb::object store = run_state().attr("g_TelvarDataValueFresh");
    nb::object np = global("np");
    nb::object arr = np.attr("asarray")(store);
    if (as_int(arr.attr("ndim")) < 2)
        return arr.attr("ravel")();
    return getitem(arr, kmatrix::kTimeLine);
}

// The strategy bars among a refresh-base matrix's columns (its FreshIdx row
// as a boolean mask): the columns of the fresh-bar stores.
inline nb::object strategy_bar_mask(nb::handle base_matrix) {
    return getitem(base_matrix, kmatrix::kFreshIdx).attr("astype")("bool");
}

// An array read from a .mat file as a C-contiguous array of native byte
// order (scipy gives explicit little-endian dtypes and Fortran order, which
// buffer readers would otherwise convert again on every use).
inline nb::object native_array(nb::handle value) {
    nb::object arr = global("np").attr("asarray")(value);
    nb::object dtype = arr.attr("dtype").attr("newbyteorder")("=");
    return arr.attr("astype")(dtype, nb::arg("order") = "C");
}

// Synthesis cache (cache.cpp): the directory, the key of a request, a
// usable entry (None when caching is off, the entry is missing or empty, or
// `check(entry)` throws mat_content::ContentProblem: then the entry is
// warned about and removed) and the write.
bool cache_allowed();
nb::object cache_key(long long frequency_i, long long target_freq_num, const char *target_type,
                     const char *suffix);
nb::object cache_load(nb::handle key, const std::function<void(nb::handle entry)> &check);
void cache_save(nb::handle key, nb::handle value);
// [item.ravel() for item in value], accepting a 2-D array, a cell array
// (object array) or a list.
nb::object per_target_arrays(nb::handle value);

} // namespace telvar::regora
