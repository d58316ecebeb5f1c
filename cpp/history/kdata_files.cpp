// Reading the multi-target K-data files the host writes: a main file with
// the time line and bookkeeping, the bars either in it or in part files that
// it names. Failures are handed back as values, never raised. A file whose
// content does not fit (content_checks.hpp) is a TvDataError naming it.
#include "history/content_checks.hpp"

#include "common/kmatrix_layout.hpp"

namespace telvar::history {
namespace {

// Non-empty arrays of `name` from each part, in path order, joined along `axis`.
nb::object concatenate_or_empty(const nb::list &slices, int axis) {
    if (nb::len(slices) == 0)
        return empty_array();
    return global("np").attr("concatenate")(slices, nb::arg("axis") = axis);
}

bool has_values(nb::handle array) { return compare(array.attr("size"), nb::int_(0), Py_GT); }

// The result handed back when the file could not be used.
nb::dict default_results() {
    nb::dict results;
    results["KArray"] = nb::list();
    results["TickPriceData"] = nb::list();
    results["DayPos"] = empty_array();
    results["TimeLine"] = empty_array();
    results["TradeFreshPos"] = empty_array();
    return results;
}

bool is_invalid_file(nb::handle mat_path) {
    if (!truthy(mat_path))
        return true;
    nb::object path = global("os").attr("path");
    if (!truthy(path.attr("exists")(mat_path)))
        return true;
    nb::object size = path.attr("getsize")(mat_path);
    return equals(size, nb::int_(0));
}

// FilePaths names the part files as one "a|b|c" string. An empty string, or
// an empty array (what an empty string becomes in a MATLAB file), means the
// bars are in the main file itself.
bool names_part_files(nb::handle file_paths) {
    if (!has_values(file_paths))
        return false;
    return truthy(file_paths);
}

constexpr size_t bar_rows() { return static_cast<size_t>(kmatrix::kBarLen); }

nb::object read_main_file(nb::handle mat_path) {
    nb::object mat_dict = global("load_mat")(mat_path, nb::arg("rm_if_error") = true);
    for (const char *key : {"__header__", "__version__", "__globals__"})
        mat_dict.attr("pop")(key);

    const size_t n_bars = checks::check_host_file(mat_path, [&] { return checks::multi_file_head(mat_dict); });
    nb::object np = global("np");
    nb::object file_paths =
        mat_dict.attr("get")("FilePaths", np.attr("array")(nb::make_tuple(""))).attr("ravel")();
    if (names_part_files(file_paths)) {
        nb::object paths = getitem(file_paths, 0).attr("split")("|");
        auto [price, tick] = unpack_pair(global("load_mat_from_split_file")(paths));
        mat_dict["KArray"] = price;
        mat_dict["TickPriceData"] = tick;
        // the parts agree among themselves; together they must fit the time line
        checks::check_host_file(mat_path, [&] { checks::multi_file_bars(mat_dict, n_bars, bar_rows(), false); });
    } else {
        checks::check_host_file(mat_path, [&] { checks::multi_file_bars(mat_dict, n_bars, bar_rows(), true); });
        mat_dict["KArray"] = mat_dict.attr("get")("KArray", empty_array());
        mat_dict["TickPriceData"] = mat_dict.attr("get")("TickPriceData", empty_array());
    }
    mat_dict["TradeFreshPos"] = getitem(getitem(mat_dict, "TradeFreshPos").attr("ravel")(), 0);
    mat_dict["TimeLine"] = getitem(mat_dict, "TimeLine").attr("ravel")();
    mat_dict["DayPos"] = getitem(mat_dict, "DayPos").attr("ravel")();
    return mat_dict;
}

} // namespace

// def load_mat_from_split_file(file_paths) -> (big_price_data, big_tick_price_data)
nb::object load_mat_from_split_file(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("load_mat_from_split_file", {"file_paths"}, 1);
    auto bound = sig.bind(args, kwargs);

    nb::list price_slices, tick_slices;
    size_t n_bars = 0; // the first part's columns, which every other part must have
    for (nb::handle path : bound[0]) {
        nb::object mat_dict = global("load_mat")(path, nb::arg("error") = "ignore",
                                                 nb::arg("rm_if_error") = true);
        checks::check_host_file(path, [&] { checks::multi_file_bars(mat_dict, n_bars, bar_rows(), false); });
        nb::object price = mat_dict.attr("get")("KArray", empty_array());
        if (has_values(price)) {
            price_slices.append(price);
            n_bars = nb::cast<size_t>(getitem(price.attr("shape"), 1));
        }
        nb::object tick = mat_dict.attr("get")("TickPriceData", empty_array());
        if (has_values(tick)) {
            tick_slices.append(tick);
            n_bars = nb::cast<size_t>(getitem(tick.attr("shape"), 1));
        }
    }
    return nb::make_tuple(concatenate_or_empty(price_slices, 0), concatenate_or_empty(tick_slices, 2));
}

// def load_k_data_from_local(mat_path) -> (error, results)
nb::object load_k_data_from_local(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("load_k_data_from_local", {"mat_path"}, 1);
    auto bound = sig.bind(args, kwargs);
    const nb::object &mat_path = bound[0];

    if (is_invalid_file(mat_path)) {
        nb::object error = text("ERROR_INVALID_FILE");
        nb::object os_error = nb::steal(PyObject_CallOneArg(PyExc_OSError, error.ptr()));
        if (!os_error.is_valid())
            throw nb::python_error();
        return nb::make_tuple(os_error, default_results());
    }

    nb::object results;
    try {
        results = read_main_file(mat_path);
    } catch (nb::python_error &e) {
        // Anything short of an interrupt or exit is the caller's to raise.
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::make_tuple(exception_of(e), default_results());
    }
    return nb::make_tuple(nb::none(), results);
}

} // namespace telvar::history
