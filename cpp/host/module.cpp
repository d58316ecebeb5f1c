// telvar.host.store._kmatrix: the host's loops over every bar of a
// multi-target answer (placement into the K matrix, filling), in C++.
#include "common/arrays.hpp"
#include "host/placement.hpp"

#include <nanobind/nanobind.h>

#include <string>
#include <vector>

namespace nb = nanobind;
using namespace telvar;

namespace {

// The K matrix as the functions take it: writable, C-contiguous float64
// (slots, 7 * targets). Returns the number of targets.
size_t targets_of(const ArrayView<double> &k) {
    if (k.cols() % host::kFields != 0)
        raise_value_error("k must have 7 columns per target, got " + std::to_string(k.cols()));
    return k.cols() / host::kFields;
}

void require_length(const ArrayView<int64_t> &a, size_t n, const char *what) {
    if (a.size() != n)
        raise_value_error(std::string(what) + " has " + std::to_string(a.size()) + " items, expected " +
                          std::to_string(n));
}

// def place(k, slots, keys, target, values) -> int
size_t place(nb::handle k_obj, nb::handle slots_obj, nb::handle keys_obj, nb::handle target_obj,
             nb::handle values_obj) {
    ArrayView<double> k(k_obj, "k", 2, true);
    const size_t targets = targets_of(k);
    ArrayView<int64_t> slots(slots_obj, "slots", 1);
    if (slots.size() != k.rows())
        raise_value_error("slots has " + std::to_string(slots.size()) + " items, k has " +
                          std::to_string(k.rows()) + " rows");
    ArrayView<int64_t> keys(keys_obj, "keys", 1);
    const size_t rows = keys.size();

    host::Bars bars{};
    bars.keys = keys.data();
    bars.rows = rows;
    ArrayView<int64_t> target_rows;
    if (PyLong_Check(target_obj.ptr())) {
        bars.target = nb::cast<int64_t>(target_obj);
        if (bars.target < 0 || static_cast<size_t>(bars.target) >= targets)
            raise_index_error("target " + std::to_string(bars.target) + " is not one of the " +
                              std::to_string(targets) + " targets");
    } else {
        target_rows = ArrayView<int64_t>(target_obj, "target", 1);
        require_length(target_rows, rows, "target");
        for (size_t i = 0; i < rows; ++i)
            if (target_rows[i] < 0 || static_cast<size_t>(target_rows[i]) >= targets)
                raise_index_error("target " + std::to_string(target_rows[i]) + " of row " + std::to_string(i) +
                                  " is not one of the " + std::to_string(targets) + " targets");
        bars.targets = target_rows.data();
    }
    nb::sequence seq = nb::borrow<nb::sequence>(values_obj);
    if (nb::len(seq) != host::kFields)
        raise_value_error("values must hold 7 field columns, got " + std::to_string(nb::len(seq)));
    std::vector<ArrayView<double>> fields;
    fields.reserve(host::kFields);
    for (size_t f = 0; f < host::kFields; ++f) {
        fields.emplace_back(seq[f], "values", 1);
        if (fields.back().size() != rows)
            raise_value_error("field column " + std::to_string(f) + " has " + std::to_string(fields.back().size()) +
                              " items, keys has " + std::to_string(rows));
        bars.fields[f] = fields.back().data();
    }
    // every Python object is converted and checked: the loop touches none
    nb::gil_scoped_release unlocked;
    return host::place_rows(k.data(), k.rows(), targets, slots.data(), bars);
}

// def fill(k) -> None
void fill(nb::handle k_obj) {
    ArrayView<double> k(k_obj, "k", 2, true);
    const size_t targets = targets_of(k);
    nb::gil_scoped_release unlocked;
    host::fill_blocks(k.data(), k.rows(), targets);
}

} // namespace

NB_MODULE(_kmatrix, m) {
    m.doc() = "The host's loops over every bar of a multi-target answer: placing stored bars into the "
              "K matrix and filling it. The matrix is given as its transpose, a C-contiguous "
              "(slots, 7 * targets) float64 array.";
    m.def("place", &place, nb::arg("k"), nb::arg("slots"), nb::arg("keys"), nb::arg("target"), nb::arg("values"),
          nb::sig("def place(k: numpy.typing.ArrayLike, slots: numpy.typing.ArrayLike, "
                  "keys: numpy.typing.ArrayLike, target: int | numpy.typing.ArrayLike, "
                  "values: collections.abc.Sequence[numpy.typing.ArrayLike]) -> int"),
          "Row i of the bars (`keys[i]`, the 7 field columns `values[f][i]`) into the slot of its key on\n"
          "the sorted `slots` for target `target[i]` (or the one target `target`); rows whose key is no\n"
          "slot are dropped. Returns how many rows were placed.");
    m.def("fill", &fill, nb::arg("k"), nb::sig("def fill(k: numpy.typing.ArrayLike) -> None"),
          "Filled bars in place: a slot without a close after a target's first close repeats that close\n"
          "as open, high, low and close, with volume and turnover 0 and the open interest carried.");
}
