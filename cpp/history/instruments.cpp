// Instruments rather than prices: main contracts, instrument histories,
// futures and stock information, target information (with a file cache for
// large requests), block code lists (with a per-day file cache) and the
// contracts of a futures market. Both file caches live in the attached
// store's cache scope.
#include "history/content_checks.hpp"

namespace telvar::history {
namespace {

// Requests of at least this many targets keep their answer in a file.
constexpr size_t kTargetInfoCacheMin = 100;
constexpr int kTargetInfoMaxAgeSeconds = 86400;

nb::object tvcmd_call(const char *command) { return global("tvcmd").attr(command); }

// Cache directories in the attached store's cache scope (`cnt.env.fm.cache_dir`).
constexpr const char *kTargetInfoCacheDir = "TelvarTargetInfo";
constexpr const char *kCodeListCacheDir = "TelvarCodeList";

nb::object file_manager() { return global("cnt").attr("env").attr("fm"); }

nb::object cache_dir(const char *name) { return file_manager().attr("cache_dir")(name); }

// Errors of a cache file whose content is not what the reader wrote.
bool is_content_error(nb::python_error &e) {
    return e.matches(PyExc_AttributeError) || e.matches(PyExc_TypeError) || e.matches(PyExc_ValueError) ||
           e.matches(PyExc_IndexError) || e.matches(PyExc_KeyError);
}

nb::list records_of_struct_array(nb::handle cash_data) {
    nb::list records;
    nb::object keys = cash_data.attr("dtype").attr("names");
    const size_t n_keys = nb::len(keys);
    nb::object ordered_dict = global("OrderedDict");
    for (nb::handle element : cash_data.attr("ravel")()) {
        nb::list pairs;
        size_t k = 0;
        for (nb::handle value : element) {
            if (k >= n_keys)
                break;
            nb::object field = getitem(keys, static_cast<Py_ssize_t>(k++));
            nb::object plain = nb::cast<Py_ssize_t>(value.attr("size")) > 0
                                   ? getitem(value.attr("ravel")(), 0)
                                   : nb::object(nb::str(""));
            pairs.append(nb::make_tuple(field, plain));
        }
        records.append(ordered_dict(pairs));
    }
    return records;
}

// Records of the cached struct array: one OrderedDict per element, fields
// in the file's order; an empty field reads as the empty string. A file
// that cannot be read (removed), or whose content is not a struct array
// `cashInfo` of `n_targets` records with Market and Code texts (warned
// about and removed), gives no records: the caller asks the host and
// rewrites the file.
nb::list read_target_info_cache(nb::handle cache_path, size_t n_targets) {
    nb::object content =
        global("load_mat")(cache_path, nb::arg("error") = "ignore", nb::arg("rm_if_error") = true);
    if (!truthy(content))
        return nb::list();
    try {
        checks::target_info_entry(content, n_targets);
        return records_of_struct_array(getitem(content, "cashInfo"));
    } catch (const checks::ContentProblem &problem) {
        checks::reject_cache_file(cache_path, problem);
    } catch (nb::python_error &e) {
        if (!is_content_error(e))
            throw;
    }
    return nb::list();
}

// The block name as one file-name component: characters that would make a
// path of it are escaped (and '%' itself, so different blocks never share a
// file).
nb::object file_name_safe(nb::handle block) {
    nb::object name = percent_format("%s", nb::make_tuple(block));
    static const char *escapes[][2] = {{"%", "%25"}, {"/", "%2F"}, {"\\", "%5C"}, {"\0", "%00"}};
    for (auto &escape : escapes) {
        nb::object from = nb::steal(PyUnicode_FromStringAndSize(escape[0], 1));
        name = name.attr("replace")(from, escape[1]);
    }
    return name;
}

nb::object code_list_cache_path(nb::handle block, nb::handle begin_date, nb::handle end_date) {
    nb::object today = global("to_int_now_date")();
    nb::object name =
        percent_format("%d_%s_%d_%d_py.mat", nb::make_tuple(today, file_name_safe(block), begin_date, end_date));
    return global("os").attr("path").attr("join")(cache_dir(kCodeListCacheDir), name);
}

// One column of a cached block. Text columns are stored as cell arrays
// (a MATLAB char matrix would pad shorter texts with blanks); each cell
// holds one value, an empty cell the empty string.
nb::object column_from_file(nb::handle stored) {
    nb::object np = global("np");
    nb::object flat = stored.attr("ravel")();
    if (!equals(flat.attr("dtype"), np.attr("dtype")("O")))
        return flat;
    nb::list values;
    for (nb::handle cell : flat) {
        if (nb::isinstance(cell, np.attr("ndarray")))
            values.append(nb::cast<Py_ssize_t>(cell.attr("size")) > 0 ? getitem(cell.attr("ravel")(), 0)
                                                                        : nb::object(nb::str("")));
        else
            values.append(cell);
    }
    return values;
}

// The host's records as one variable per field; columns holding text become
// object arrays, which are written as cell arrays.
nb::object columns_for_file(nb::handle records) {
    nb::object np = global("np");
    nb::object columns = global("pd").attr("DataFrame")(records).attr("to_dict")(nb::arg("orient") = "list");
    nb::dict out;
    for (nb::handle entry : columns.attr("items")()) {
        auto [key, values] = unpack_pair(entry);
        bool has_text = false;
        for (nb::handle value : values)
            has_text = has_text || PyUnicode_Check(value.ptr());
        if (!has_text) {
            out[key] = values;
            continue;
        }
        const size_t n = nb::len(values);
        nb::object cells = np.attr("empty")(n, nb::arg("dtype") = "O");
        Py_ssize_t i = 0;
        for (nb::handle value : values)
            cells[nb::int_(i++)] = value;
        out[key] = cells;
    }
    return out;
}

// Records of a cached block, or nothing when the file has no columns (an
// unreadable file reads as empty and is better asked again than served as
// an empty block) or columns that do not fit (warned about and removed).
bool read_code_list_cache(nb::handle cache_path, nb::list &results) {
    nb::object mat_dict =
        global("load_mat")(cache_path, nb::arg("error") = "ignore", nb::arg("rm_if_error") = true);
    bool has_columns = false;
    for (nb::handle key : mat_dict.attr("keys")())
        has_columns = has_columns || !truthy(key.attr("startswith")("__"));
    if (!has_columns)
        return false;
    try {
        checks::code_list_entry(mat_dict);
    } catch (const checks::ContentProblem &problem) {
        checks::reject_cache_file(cache_path, problem);
        return false;
    }
    nb::dict columns;
    for (nb::handle entry : mat_dict.attr("items")()) {
        auto [key, value] = unpack_pair(entry);
        if (truthy(key.attr("startswith")("__")))
            continue;
        columns[key] = column_from_file(value);
    }
    nb::object records = global("pd").attr("DataFrame")(columns).attr("to_dict")("records");
    nb::object toordereddict = global("toordereddict");
    for (nb::handle record : records)
        results.append(toordereddict(record));
    return true;
}

// Writes a cache file. A cache that cannot be written (read-only or full
// disk) costs the next call a host request, never the answer in hand: the
// author is warned and the call goes on. A path picked before the process
// attached to another store or data version is not written: the answer in
// hand may come from either.
template <typename Save> void save_cache(nb::handle cache_path, Save &&save) {
    if (!truthy(file_manager().attr("is_current_cache_path")(cache_path)))
        return;
    try {
        save();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        nb::object reason = exception_of(e);
        nb::object message = text("WARN_CACHE_WRITE_FAILED")
                                 .attr("format")(nb::arg("PATH") = cache_path, nb::arg("REASON") = reason);
        global("user_warning")(message);
    }
}

} // namespace

// def get_main_contract(targets, begin_date, end_date) -> dict
nb::object get_main_contract(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_main_contract", {"targets", "begin_date", "end_date"}, 3);
    auto bound = sig.bind(args, kwargs);
    nb::object dotted = global("todotmc")(bound[0]);
    return global("cnt").attr("vr").attr("g_TelvarMainContracts").attr("main_contracts")(dotted, bound[1], bound[2]);
}

// def get_history_instruments(targets, begin_date, end_date) -> dict
nb::object get_history_instruments(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_history_instruments", {"targets", "begin_date", "end_date"}, 3);
    auto bound = sig.bind(args, kwargs);
    nb::object dotted = global("todotmc")(bound[0]);
    return global("cnt").attr("vr").attr("g_TelvarInstrument").attr("history_instruments")(dotted, bound[1],
                                                                                          bound[2]);
}

// def get_future_info_ex(target_list)
nb::object get_future_info_ex(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_future_info_ex", {"target_list"}, 1);
    auto bound = sig.bind(args, kwargs);
    return tvcmd_call("tvSendCmdGetFutureInfoExculusively_20190918")(global("todictmc")(bound[0]));
}

// def get_stock_info_ex(target_list)
nb::object get_stock_info_ex(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_stock_info_ex", {"target_list"}, 1);
    auto bound = sig.bind(args, kwargs);
    return tvcmd_call("tvSendCmdGetStockInfoExculusively")(global("todictmc")(bound[0]));
}

// def get_target_info(targets) -> list of records
nb::object get_target_info(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_target_info", {"targets"}, 1);
    auto bound = sig.bind(args, kwargs);
    const nb::object &targets = bound[0];

    const bool use_cache = nb::len(targets) >= kTargetInfoCacheMin;
    nb::object cache_path = nb::none();
    nb::object target_info_list = nb::list();
    if (use_cache) {
        nb::object name = global("random_file_name")(nb::arg("suffix") = ".mat", nb::arg("middle") = targets);
        cache_path = global("os").attr("path").attr("join")(cache_dir(kTargetInfoCacheDir), name);
        nb::object expired = global("check_expired_file")(cache_path, nb::arg("seconds") = kTargetInfoMaxAgeSeconds,
                                                          nb::arg("rm_if_expired") = true);
        if (!truthy(expired))
            target_info_list = read_target_info_cache(cache_path, nb::len(targets));
    }
    if (!truthy(target_info_list)) {
        target_info_list = tvcmd_call("tvSendCmdGetFutureInfo_20190920")(targets);
        if (use_cache)
            save_cache(cache_path, [&] {
                global("save_mat")(cache_path, target_info_list, nb::arg("struct_name") = "cashInfo",
                                   nb::arg("long_field_names") = true, nb::arg("oned_as") = "row");
            });
    }

    nb::object targets_info = global("cnt").attr("vr").attr("g_TelvarTargetsInfo");
    nb::list results;
    for (nb::handle record : target_info_list) {
        nb::object key =
            percent_format("%s.%s", nb::make_tuple(getitem(record, "Market"), getitem(record, "Code"))).attr("upper")();
        targets_info[key] = record;
        results.append(record);
    }
    return results;
}

// def get_target_info_v2(target_idx) -> record or list of records
nb::object get_target_info_v2(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_target_info_v2", {"target_idx"}, 1);
    auto bound = sig.bind(args, kwargs);
    const nb::object &target_idx = bound[0];

    nb::object vr = global("cnt").attr("vr");
    nb::object targets = vr.attr("g_TelvarInputInfo").attr("TargetListDot");
    nb::object targets_info = vr.attr("g_TelvarTargetsInfo");
    int iterable = PyObject_IsInstance(target_idx.ptr(), global("Iterable").ptr());
    if (iterable < 0)
        throw nb::python_error();
    if (!iterable)
        return getitem(targets_info, getitem(targets, target_idx));
    nb::list records;
    for (nb::handle idx : target_idx)
        records.append(getitem(targets_info, getitem(targets, idx)));
    return records;
}

// def get_code_list(blocks: list, int_date) -> list
nb::object get_code_list(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_code_list", {"blocks", "int_date"}, 2);
    auto bound = sig.bind(args, kwargs);
    nb::list result;
    nb::object command = tvcmd_call("tvSendCmdGetCodeList");
    for (nb::handle block : bound[0])
        result.attr("extend")(command(block, bound[1]));
    return result;
}

// def get_code_list_set(blocks: str, begin_date, end_date) -> list
nb::object get_code_list_set(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_code_list_set", {"blocks", "begin_date", "end_date"}, 3);
    auto bound = sig.bind(args, kwargs);
    const nb::object &begin_date = bound[1], &end_date = bound[2];

    // An end date of 0 (an open range) is never cached.
    const bool use_cache = compare(end_date, nb::int_(0), Py_NE);
    nb::object path = global("os").attr("path");
    nb::list results;
    for (nb::handle block : bound[0]) {
        nb::object cache_path = code_list_cache_path(block, begin_date, end_date);
        if (use_cache && truthy(path.attr("exists")(cache_path)) && truthy(path.attr("isfile")(cache_path)) &&
            read_code_list_cache(cache_path, results))
            continue;
        nb::object records = tvcmd_call("tvSendCmdGetCodeListSet")(block, begin_date, end_date);
        if (use_cache)
            save_cache(cache_path, [&] { global("save_mat")(cache_path, columns_for_file(records)); });
        results.attr("extend")(records);
    }
    return results;
}

// def get_future_contracts(date, market, varieties) -> dict
nb::object get_future_contracts(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_future_contracts", {"date", "market", "varieties"}, 3);
    auto bound = sig.bind(args, kwargs);
    return tvcmd_call("tvSendCmdGetFutureContracts")(bound[0], bound[1], bound[2]);
}

} // namespace telvar::history
