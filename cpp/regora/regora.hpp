// The registration module `telvar.api.regora._regora`: module globals and
// the public functions, grouped by the file that defines them. Its sources
// sit in folders by subsystem: registration/ (indices, base and synthesised
// bars, forming bars, the synthesis cache), adjusted/ (price adjustment
// across main-contract rolls, adjusted bars and their window), user/ (user
// indicators, user data and factors) and window/ (the bar-by-bar window and
// the float objects, caches and object arrays it is made of). Every public
// function takes Python-style arguments (nb::args, nb::kwargs) and binds them
// with telvar::Signature, so argument errors read as CPython's.
#pragma once

#include <nanobind/nanobind.h>

#include "common/globals.hpp"

namespace telvar {
namespace nb = nanobind;
} // namespace telvar

namespace telvar::regora {

// The framework and history names bound into the module at import, looked up
// at call time.
ModuleGlobals &module_globals();

// registration/indices.cpp: registration indices and instrument look-up
nb::object get_instruments(nb::args args, nb::kwargs kwargs);
nb::object check_reg_k_data_precondition(nb::args args, nb::kwargs kwargs);
nb::object gen_empty_reg_k_data_idx(nb::args args, nb::kwargs kwargs);
nb::object construct_k_data_reg_idx(nb::args args, nb::kwargs kwargs);
nb::object get_reg_idx(nb::args args, nb::kwargs kwargs);

// registration/fetch.cpp: base-frequency K-data from the history module
nb::object fetch_1_freq_k_data(nb::args args, nb::kwargs kwargs);
nb::object _check_cache_k_data_legal(nb::args args, nb::kwargs kwargs);

// registration/synthesis.cpp: one-unit and N-unit bar synthesis
nb::object synthetic_1_freq_k_data(nb::args args, nb::kwargs kwargs);
nb::object synthetic_n_freq_k_data(nb::args args, nb::kwargs kwargs);

// registration/fresh.cpp: forming bars at every strategy bar
nb::object synthetic_fresh_matrix(nb::args args, nb::kwargs kwargs);

// registration/register.cpp: the registration entry
nb::object reg_k_data(nb::args args, nb::kwargs kwargs);

// window/window.cpp: the bar-by-bar window of registered K-data
nb::object get_reg_k_data(nb::args args, nb::kwargs kwargs);

// adjusted/adjust_factors.cpp: price adjustment across main-contract rolls
nb::object find_exchange_day(nb::args args, nb::kwargs kwargs);
nb::object calc_1_freq_matrix_adj(nb::args args, nb::kwargs kwargs);

// adjusted/synthesis.cpp: adjusted bars and adjusted forming bars
nb::object synthetic_matrix_adj(nb::args args, nb::kwargs kwargs);
nb::object synthetic_fresh_matrix_adj(nb::args args, nb::kwargs kwargs);

// adjusted/window.cpp: the window of adjusted K-data
nb::object get_reg_k_data_adj(nb::args args, nb::kwargs kwargs);

// user/user_data.cpp: user indicators and user data, and their windows
nb::object reg_user_indices(nb::args args, nb::kwargs kwargs);
nb::object reg_user_data(nb::args args, nb::kwargs kwargs);
nb::object get_reg_user_indicator(nb::args args, nb::kwargs kwargs);
nb::object get_reg_user_data(nb::args args, nb::kwargs kwargs);

// user/factors.cpp: factor registration and the factor window
nb::object reg_factor(nb::args args, nb::kwargs kwargs);
nb::object get_reg_factor(nb::args args, nb::kwargs kwargs);

} // namespace telvar::regora
