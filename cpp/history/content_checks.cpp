// The checks of content_checks.hpp, one function per kind of file.
#include "history/content_checks.hpp"

#include <string>
#include <vector>

namespace telvar::history::checks {

using mat_content::Bounds;
using mat_content::Values;
namespace mc = mat_content;

namespace {

const char *const kBarFields[7] = {"Open", "High", "Low", "Close", "Volume", "TurnOver", "OpenInterest"};
const char *const kTickFields[6] = {"Time", "Price", "Volume", "VolumeTick", "TurnOver", "OpenInterest"};
const char *const kQuoteNames[4] = {"BidPrice", "BidVolume", "AskPrice", "AskVolume"};

// Day positions count the bars of a trading day from 1.
constexpr Bounds kDayPositions{1.0, 9.0e15};

// A variable that is present but holds nothing (what an empty text or an
// absent value becomes in a MAT file).
bool is_empty(nb::handle array) { return nb::cast<size_t>(array.attr("size")) == 0; }

// `name` of `mat`: a vector of `values` holding `length` values.
void vector_of_length(nb::handle mat, const char *name, Values values, size_t length, Bounds bounds = {}) {
    mc::require_length(name, mc::vector(mc::variable(mat, name), name, values, bounds), length);
}

// A quote level: one value per tick, or an n_ticks x k matrix whose first
// column is the level.
void quote_level(nb::handle mat, const std::string &name, size_t n_ticks) {
    nb::object level = mc::variable(mat, name.c_str());
    const std::vector<size_t> shape = mc::shape_of(level);
    if (shape.size() == 2 && shape[0] == n_ticks && shape[1] > 1) {
        mc::matrix(level, name, Values::Real);
        return;
    }
    mc::require_length(name, mc::vector(level, name, Values::Real), n_ticks);
}

// The field `field` of the struct element `element` (a MAT file record).
nb::object record_field(nb::handle element, const char *field, const std::string &name) {
    nb::object value = element[field];
    if (!nb::isinstance(value, nb::module_::import_("numpy").attr("ndarray")))
        throw ContentProblem(name, ContentProblem::Kind::Class,
                             mc::text_of(value.attr("__class__").attr("__name__")), "array");
    return value;
}

// Every value of the array `text`s (a cell of texts, or a character array).
bool holds_texts(nb::handle array) {
    const mc::ClassOf c = mc::class_of(array);
    if (c.kind == 'U')
        return true;
    if (c.kind != 'O')
        return false;
    for (nb::handle cell : array.attr("ravel")()) {
        if (PyUnicode_Check(cell.ptr()))
            continue;
        if (!nb::isinstance(cell, nb::module_::import_("numpy").attr("ndarray")) ||
            mc::class_of(cell).kind != 'U')
            return false;
    }
    return true;
}

} // namespace

size_t multi_file_head(nb::handle mat) {
    const size_t n = mc::vector(mc::variable(mat, "TimeLine"), "TimeLine", Values::Real);
    vector_of_length(mat, "DayPos", Values::Index, n, kDayPositions);
    vector_of_length(mat, "TradeFreshPos", Values::Index, 1);
    if (mc::has_variable(mat, "FilePaths")) {
        nb::object paths = mc::variable(mat, "FilePaths");
        if (!is_empty(paths) && mc::class_of(paths).kind != 'U')
            throw ContentProblem("FilePaths", ContentProblem::Kind::Class, mc::class_of(paths).label, "text");
    }
    return n;
}

void multi_file_bars(nb::handle mat, size_t n_bars, size_t bar_len, bool required) {
    const bool has_bars = mc::has_variable(mat, "KArray"), has_ticks = mc::has_variable(mat, "TickPriceData");
    if (required && !has_bars && !has_ticks)
        throw ContentProblem("KArray", ContentProblem::Kind::Missing);
    if (has_bars) {
        nb::object bars = mc::variable(mat, "KArray");
        if (!is_empty(bars)) {
            auto [rows, cols] = mc::matrix(bars, "KArray", Values::Real);
            if (rows % bar_len != 0 || (n_bars != 0 && cols != n_bars))
                throw ContentProblem("KArray", ContentProblem::Kind::Shape,
                                     mc::shape_text({rows, cols}),
                                     "(k*" + std::to_string(bar_len) + ")x" +
                                         (n_bars != 0 ? std::to_string(n_bars) : std::string("N")));
        }
    }
    if (has_ticks) {
        nb::object ticks = mc::variable(mat, "TickPriceData");
        if (!is_empty(ticks)) {
            mc::require_class(ticks, "TickPriceData", Values::Real);
            const std::vector<size_t> shape = mc::shape_of(ticks);
            if (shape.size() < 2 || shape.size() > 3 || (n_bars != 0 && shape[1] != n_bars))
                throw ContentProblem("TickPriceData", ContentProblem::Kind::Shape, mc::shape_text(shape),
                                     "Fx" + (n_bars != 0 ? std::to_string(n_bars) : std::string("N")) + "xT");
        }
    }
}

void per_target_file(nb::handle mat, bool intraday) {
    const size_t n = mc::vector(mc::variable(mat, "Time"), "Time", Values::Real);
    if (n == 0)
        return;
    for (const char *field : kBarFields)
        vector_of_length(mat, field, Values::Real, n);
    if (intraday)
        vector_of_length(mat, "BeginBar", Values::Flag, n);
}

nb::object last_n_file(nb::handle mat, size_t n_records) {
    nb::object records = mc::struct_array(
        mc::variable(mat, "KArray"), "KArray",
        {"Time", "Open", "High", "Low", "Close", "Volume", "TurnOver", "OpenInterest", "BeginBar"});
    mc::require_length("KArray", nb::len(records), n_records);
    for (nb::handle element : records) {
        auto values_of = [&](const char *field, Values values) {
            const std::string name = std::string("KArray.") + field;
            return mc::vector(record_field(element, field, name), name, values);
        };
        const size_t n = values_of("Time", Values::Real);
        for (const char *field : kBarFields)
            mc::require_length(std::string("KArray.") + field, values_of(field, Values::Real), n);
        // passed on as the host wrote it, not interpreted
        mc::require_length("KArray.BeginBar", values_of("BeginBar", Values::Real), n);
    }
    return records;
}

size_t tick_file(nb::handle mat) {
    const size_t n = mc::vector(mc::variable(mat, "Time"), "Time", Values::Real);
    if (n == 0)
        return 0;
    for (const char *field : kTickFields)
        vector_of_length(mat, field, Values::Real, n);
    for (int level = 1; level <= 5; ++level)
        for (const char *quote : kQuoteNames)
            quote_level(mat, quote + std::to_string(level), n);
    return n;
}

void trading_time_file(nb::handle mat) {
    const size_t n = mc::vector(mc::variable(mat, "Time"), "Time", Values::Real);
    vector_of_length(mat, "DayPos", Values::Index, n, kDayPositions);
}

void per_target_entry(nb::handle entry, size_t rows) {
    nb::object matrix = mc::variable(entry, "k_matrix_single");
    auto [found_rows, cols] = mc::matrix(matrix, "k_matrix_single", Values::Real);
    if (found_rows != rows || cols == 0)
        throw ContentProblem("k_matrix_single", ContentProblem::Kind::Shape, mc::shape_text({found_rows, cols}),
                             std::to_string(rows) + "xN");
}

void last_n_entry(nb::handle entry) {
    const size_t n = mc::vector(mc::variable(entry, "Time"), "Time", Values::Real);
    if (n == 0)
        throw ContentProblem("Time", ContentProblem::Kind::Length, "0", "N");
    for (const char *field : kBarFields)
        vector_of_length(entry, field, Values::Real, n);
    vector_of_length(entry, "BeginBar", Values::Real, n);
}

void target_info_entry(nb::handle mat, size_t n_targets) {
    nb::object records = mc::struct_array(mc::variable(mat, "cashInfo"), "cashInfo", {"Market", "Code"});
    mc::require_length("cashInfo", nb::len(records), n_targets);
    for (nb::handle element : records)
        for (const char *field : {"Market", "Code"}) {
            const std::string name = std::string("cashInfo.") + field;
            nb::object value = record_field(element, field, name);
            if (!holds_texts(value))
                throw ContentProblem(name, ContentProblem::Kind::Class, mc::class_of(value).label, "text");
        }
}

namespace {

// A vector's length whatever its class (cells, texts, numbers).
size_t column_length(nb::handle column, const std::string &name) {
    const std::vector<size_t> shape = mc::shape_of(column);
    size_t length = 1, extents_above_one = 0;
    for (size_t extent : shape) {
        length *= extent;
        extents_above_one += extent > 1;
    }
    if (shape.size() > 2 || extents_above_one > 1)
        throw ContentProblem(name, ContentProblem::Kind::Shape, mc::shape_text(shape), "1xN");
    return length;
}

} // namespace

void code_list_entry(nb::handle mat) {
    for (const char *field : {"Market", "Code"}) {
        nb::object column = mc::variable(mat, field);
        if (!holds_texts(column))
            throw ContentProblem(field, ContentProblem::Kind::Class, mc::class_of(column).label, "text");
    }
    const size_t n = column_length(mc::variable(mat, "Market"), "Market");
    for (nb::handle entry : mat.attr("items")()) {
        const std::string variable = mc::text_of(entry[0]);
        if (variable.rfind("__", 0) == 0)
            continue;
        nb::object column = mc::variable(mat, variable.c_str());
        mc::require_length(variable, column_length(column, variable), n);
    }
}

void host_file_error(nb::handle path, const ContentProblem &problem) {
    mc::raise_host_file_error(global("text"), path, problem);
}

void reject_cache_file(nb::handle path, const ContentProblem &problem) {
    global("reject_cache_file")(path, nb::str(problem.variable().c_str()), problem.reason(global("text")));
}

} // namespace telvar::history::checks
