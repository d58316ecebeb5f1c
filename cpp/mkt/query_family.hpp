// The one shape shared by every market query: bind the arguments, normalise
// targets and dates, pack the parameters in argument order and hand them to
// the fundamental converter under the query's own name.
#pragma once

#include "common/args.hpp"
#include "common/globals.hpp"
#include "common/interop.hpp"

#include <initializer_list>
#include <vector>

namespace telvar::mkt {
namespace nb = nanobind;

// The framework names bound into the module at import (see module.cpp),
// looked up at call time.
ModuleGlobals &module_globals();

// A module global, looked up when it is used.
template <size_t N> inline nb::object global(const char (&name)[N]) { return module_globals()(name); }

// What a parameter is checked as, and the default it takes when left out.
enum class ParamKind {
    required_list, // a list or tuple the caller must give
    list,          // a list or tuple, default ()
    begin_date,    // a date or '', default ''
    end_date,      // a date or '', default ''
};

struct QuerySpec {
    QuerySpec(const char *name_, std::initializer_list<const char *> names_,
              std::initializer_list<ParamKind> kinds_, bool normalise)
        : name(name_), names(names_), kinds(kinds_), normalise_targets(normalise),
          signature(name_, names_, count_required(kinds_)) {}

    const char *name;
    std::vector<const char *> names;
    std::vector<ParamKind> kinds;
    // Whether the first argument (the targets) goes through
    // check_targets_without_change before it is sent.
    bool normalise_targets;
    Signature signature;

private:
    static size_t count_required(std::initializer_list<ParamKind> kinds) {
        size_t n = 0;
        for (ParamKind k : kinds)
            n += k == ParamKind::required_list;
        return n;
    }
};

// The body of a query, for arguments the rules have already accepted.
nb::object run_query(const QuerySpec &spec, const nb::args &args, const nb::kwargs &kwargs);

// The argument checker's decorator for the query: one rule per parameter, in
// parameter order, built with verify_that / apply_rule.
nb::object rule_decorator(const QuerySpec &spec);

} // namespace telvar::mkt
