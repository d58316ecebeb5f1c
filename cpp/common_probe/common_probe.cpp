// A small module that exposes the shared C++ helpers to the tests, so the
// argument binding, global lookup and array views are checked on their own.
#include "common/args.hpp"
#include "common/arrays.hpp"
#include "common/globals.hpp"

namespace nb = nanobind;
using namespace telvar;

static ModuleGlobals globals;

// def bind7(a, b, c, d, e, f, g) -> tuple of the bound values
static nb::object bind7(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("bind7", {"a", "b", "c", "d", "e", "f", "g"}, 7);
    auto v = sig.bind(args, kwargs);
    nb::list out;
    for (auto &x : v)
        out.append(x);
    return nb::tuple(out);
}

// def bind_range(a, b, c, d, e=None, f=None) -> tuple, None for defaults
static nb::object bind_range(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("bind_range", {"a", "b", "c", "d", "e", "f"}, 4);
    auto v = sig.bind(args, kwargs);
    nb::list out;
    for (auto &x : v)
        out.append(or_default(x, nb::none()));
    return nb::tuple(out);
}

// def keyword_only(**kwargs) -> (x, y, rest)
static nb::object keyword_only(nb::args args, nb::kwargs kwargs) {
    require_no_positional("keyword_only", args);
    nb::dict kw = nb::borrow<nb::dict>(kwargs);
    nb::object x = pop_required_kwarg(kw, "x");
    nb::object y = pop_required_kwarg(kw, "y");
    return nb::make_tuple(x, y, kw);
}

// Calls the module global `hook` with the argument, looked up at call time.
static nb::object call_hook(nb::handle value) { return globals("hook")(value); }

// Sums a float64 matrix through ArrayView and doubles it in place when asked.
static double sum_matrix(nb::handle matrix, bool double_in_place) {
    ArrayView<double> m(matrix, "matrix", 2, double_in_place);
    double total = 0.0;
    for (size_t r = 0; r < m.rows(); ++r)
        for (size_t c = 0; c < m.cols(); ++c) {
            total += m(r, c);
            if (double_in_place)
                m(r, c) *= 2.0;
        }
    return total;
}

static int64_t as_position(double value) { return checked_integer(value, "position"); }

NB_MODULE(_common_probe, m) {
    globals.attach(m);
    globals.set("hook", nb::none());
    m.def("bind7", &bind7);
    m.def("bind_range", &bind_range);
    m.def("keyword_only", &keyword_only);
    m.def("call_hook", &call_hook);
    m.def("sum_matrix", &sum_matrix, nb::arg("matrix"), nb::arg("double_in_place") = false);
    m.def("as_position", &as_position);
    m.def("import_missing", []() {
        globals.import_from("os.path", {"join", "no_such_name_here"});
    });
}
