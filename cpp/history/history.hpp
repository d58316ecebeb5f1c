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
#include "common/interop.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <utility>

namespace telvar {
namespace nb = nanobind;
} // namespace telvar

namespace telvar::history {

// The framework names bound into the module at import, looked up at call time.
ModuleGlobals &module_globals();

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
template <size_t N> inline nb::object global(const char (&name)[N]) {
    return module_globals()(name);
}

// A catalog text, read when it is used.
template <size_t N> inline nb::object text(const char (&key)[N]) {
    return attr_of(global("text"), key);
}

// One line in the host's log, under the strategy's task id of this moment.
inline void put_log(nb::handle message) {
    nb::object task_id = global("cnt").attr("vr").attr("g_TelvarModeTaskId");
    global("tvcmd").attr("tvSendCmdPutLog")(task_id, message);
}

// `np.array([])`
inline nb::object empty_array() { return global("np").attr("array")(nb::list()); }

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

} // namespace telvar::history
