// The checks of content_checks.hpp, one function per kind of file.
#include "regora/content_checks.hpp"

#include <string>
#include <vector>

namespace telvar::regora::checks {

using mat_content::Bounds;
using mat_content::Values;
namespace mc = mat_content;

namespace {

size_t count(long long value) { return value < 0 ? 0 : static_cast<size_t>(value); }

// Positions into `n` columns; a bar without columns has begin = end + 1, so
// both ends of the range may be reached.
Bounds positions_around(long long n) { return Bounds{-1.0, static_cast<double>(n)}; }

void matrix_of_shape(nb::handle entry, const char *name, long long rows, long long cols) {
    auto [found_rows, found_cols] = mc::matrix(mc::variable(entry, name), name, Values::Real);
    mc::require_shape(name, {found_rows, found_cols}, {count(rows), count(cols)});
}

size_t vector_of(nb::handle entry, const char *name, Values values, Bounds bounds = {}) {
    return mc::vector(mc::variable(entry, name), name, values, bounds);
}

// One vector per target, as save_mat stores a list of arrays: the rows of a
// matrix (arrays of one length) or the cells of a cell array. Returns them.
std::vector<nb::object> per_target_vectors(nb::handle entry, const char *name, long long targets, Values values,
                                           Bounds bounds) {
    nb::object stored = mc::variable(entry, name);
    std::vector<nb::object> vectors;
    if (mc::class_of(stored).kind == 'O') {
        for (nb::handle cell : stored.attr("ravel")()) {
            if (!nb::isinstance(cell, nb::module_::import_("numpy").attr("ndarray")))
                throw ContentProblem(name, ContentProblem::Kind::Class,
                                     mc::text_of(cell.attr("__class__").attr("__name__")), "array");
            mc::vector(cell, name, values, bounds);
            vectors.push_back(nb::borrow(cell));
        }
    } else {
        const size_t rows = mc::matrix(stored, name, values, bounds).first;
        for (size_t r = 0; r < rows; ++r)
            vectors.push_back(stored[nb::int_(r)]);
    }
    mc::require_length(name, vectors.size(), count(targets));
    return vectors;
}

ArrayView<double> values_of(nb::handle array, const char *name) {
    return ArrayView<double>(nb::module_::import_("numpy").attr("ravel")(array), name, 1);
}

// UnfilledIdx and UnfilledBarRef of one target against its volume row.
void check_bookkeeping(const double *volume, size_t cols, const ArrayView<double> &idx,
                       const ArrayView<double> &ref) {
    if (ref.size() != cols)
        throw ContentProblem("UnfilledBarRef", ContentProblem::Kind::Length, std::to_string(ref.size()),
                             std::to_string(cols));
    size_t traded = 0;
    for (size_t c = 0; c < cols; ++c) {
        if (volume[c] > 0) {
            if (traded >= idx.size() || idx[traded] != static_cast<double>(c))
                throw ContentProblem("UnfilledIdx", ContentProblem::Kind::Range,
                                     traded < idx.size() ? mc::number_text(idx[traded]) : "-",
                                     "[" + std::to_string(c) + ", " + std::to_string(c) + "]");
            ++traded;
        }
        const bool none_yet = traded == 0;
        const double expected = none_yet ? 0.0 : static_cast<double>(traded - 1);
        if (none_yet ? ref[c] == ref[c] : ref[c] != expected)
            throw ContentProblem("UnfilledBarRef", ContentProblem::Kind::Range, mc::number_text(ref[c]),
                                 none_yet ? "[nan, nan]" : "[" + mc::number_text(expected) + ", " +
                                                               mc::number_text(expected) + "]");
    }
    mc::require_length("UnfilledIdx", idx.size(), traded);
}

} // namespace

void synthesis_entry(nb::handle entry, const SynthesisShape &shape) {
    long long cols = shape.cols;
    size_t positions = count(shape.cols); // bP and eP: one per bar, or one per base bar
    if (shape.n_unit) {
        mc::require_length("FreComplete", vector_of(entry, "FreComplete", Values::Flag), count(shape.base_cols));
        nb::object flags = mc::variable(entry, "FreComplete");
        cols = nb::cast<long long>(nb::module_::import_("numpy").attr("count_nonzero")(flags));
        positions = count(shape.base_cols);
    }
    matrix_of_shape(entry, "Matrix", shape.rows, cols);
    for (const char *name : {"bP", "eP"})
        mc::require_length(name, vector_of(entry, name, Values::Index, positions_around(shape.base_cols)),
                           positions);
    const std::vector<nb::object> refs = per_target_vectors(entry, "UnfilledBarRef", shape.targets, Values::Real, {});
    const Bounds columns{0.0, static_cast<double>(cols - 1)};
    const std::vector<nb::object> idxs = per_target_vectors(entry, "UnfilledIdx", shape.targets, Values::Index, columns);
    // the targets' volume rows only: a copy of the whole matrix could be large
    nb::object np = nb::module_::import_("numpy");
    nb::object rows = np.attr("arange")(shape.head + shape.volume, shape.rows, shape.bar_len);
    ArrayView<double> volumes(mc::variable(entry, "Matrix")[rows], "Matrix", 2);
    if (volumes.rows() != count(shape.targets) || volumes.cols() != count(cols))
        raise_value_error("the framework's K-matrix layout does not fit " + std::to_string(shape.targets) +
                          " targets of " + std::to_string(shape.rows) + " rows");
    for (size_t t = 0; t < count(shape.targets); ++t)
        check_bookkeeping(volumes.data() + t * volumes.cols(), count(cols), values_of(idxs[t], "UnfilledIdx"),
                          values_of(refs[t], "UnfilledBarRef"));
    mc::require_length("CurrentBar",
                       vector_of(entry, "CurrentBar", Values::Index, Bounds{0.0, static_cast<double>(cols)}),
                       count(shape.strategy_bars));
}

void fresh_entry(nb::handle entry, long long rows, long long base_cols) {
    matrix_of_shape(entry, "Matrix", rows, base_cols);
    const Bounds base{0.0, static_cast<double>(base_cols - 1)};
    for (const char *name : {"bP", "eP"})
        mc::require_length(name, vector_of(entry, name, Values::Index, base), count(base_cols));
}

void adjusted_fresh_entry(nb::handle entry, long long rows, long long base_cols) {
    matrix_of_shape(entry, "Matrix", rows, base_cols);
    const Bounds base{0.0, static_cast<double>(base_cols - 1)};
    mc::require_length("LastSynBaseTimeLinePos", vector_of(entry, "LastSynBaseTimeLinePos", Values::Index, base), 1);
}

void factor_file(nb::handle mat, nb::handle series) {
    const size_t n = vector_of(mat, "Date", Values::Real);
    for (nb::handle name : series) {
        const std::string variable = mc::text_of(name);
        mc::require_length(variable, mc::vector(mc::variable(mat, variable.c_str()), variable, Values::Real), n);
    }
}

} // namespace telvar::regora::checks
