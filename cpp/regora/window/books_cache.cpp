// Typed views of real-bar bookkeeping kept between window calls (see
// books_cache.hpp). Runs with the GIL held.
#include "regora/window/books_cache.hpp"

#include "regora/window/window_cells.hpp"

#include <algorithm>
#include <string>

namespace telvar::regora {

namespace {

constexpr size_t kMaxItems = 16;

nb::object element(nb::handle seq, long long t) {
    if (PyList_CheckExact(seq.ptr())) {
        if (t < 0 || t >= PyList_GET_SIZE(seq.ptr()))
            raise_index_error("target index " + std::to_string(t) +
                              " has no real-bar bookkeeping");
        return nb::borrow(PyList_GET_ITEM(seq.ptr(), t));
    }
    PyObject *item = PySequence_GetItem(seq.ptr(), static_cast<Py_ssize_t>(t));
    if (!item)
        throw nb::python_error();
    return nb::steal(item);
}

} // namespace

RealBarBooks::RealBarBooks(nb::handle refs, nb::handle idxs)
    : refs_(nb::borrow(refs)), idxs_(nb::borrow(idxs)) {
    if (PyList_CheckExact(refs.ptr()))
        targets_.resize(static_cast<size_t>(PyList_GET_SIZE(refs.ptr())));
}

bool RealBarBooks::same(nb::handle refs, nb::handle idxs) const {
    return refs.ptr() == refs_.ptr() && idxs.ptr() == idxs_.ptr();
}

bool RealBarBooks::orphaned() const { return Py_REFCNT(refs_.ptr()) <= 1; }

RealBarTarget &RealBarBooks::target(long long t) {
    if (t < 0)
        raise_index_error("target index " + std::to_string(t) + " has no real-bar bookkeeping");
    if (static_cast<size_t>(t) >= targets_.size())
        targets_.resize(static_cast<size_t>(t) + 1);
    RealBarTarget &slot = targets_[static_cast<size_t>(t)];
    // Lists (the usual case) are read without taking references.
    if (slot.direct && PyList_CheckExact(refs_.ptr()) &&
        PyList_CheckExact(idxs_.ptr()) && t < PyList_GET_SIZE(refs_.ptr()) &&
        t < PyList_GET_SIZE(idxs_.ptr()) &&
        PyList_GET_ITEM(refs_.ptr(), t) == slot.ref_source.ptr() &&
        PyList_GET_ITEM(idxs_.ptr(), t) == slot.idx_source.ptr())
        return slot;
    // Reading the lists and the arrays may run Python code, which may look up
    // targets of these books too: the slot is found again after it.
    nb::object ref_now = element(refs_, t);
    nb::object idx_now = element(idxs_, t);
    RealBarTarget &kept = targets_[static_cast<size_t>(t)];
    if (kept.direct && kept.ref_source.ptr() == ref_now.ptr() &&
        kept.idx_source.ptr() == idx_now.ptr())
        return kept;
    RealBarTarget fresh;
    fresh.bar_ref = ArrayView<double>(ref_now, "UnfilledBarRef", 1);
    fresh.real_columns = ArrayView<int64_t>(idx_now, "UnfilledIdx", 1);
    fresh.ref_source = ref_now;
    fresh.idx_source = idx_now;
    // A converted copy would not see later writes to the array: it is used
    // for this call only.
    fresh.direct = cells::shares_data(ref_now, fresh.bar_ref.data()) &&
                   cells::shares_data(idx_now, fresh.real_columns.data());
    RealBarTarget &now = targets_[static_cast<size_t>(t)];
    now = std::move(fresh);
    return now;
}

std::shared_ptr<RealBarBooks> real_bar_books(nb::handle refs, nb::handle idxs) {
    // Never destroyed: it holds Python objects past the interpreter's end.
    static auto *cache = new std::vector<std::shared_ptr<RealBarBooks>>();
    auto &entries = *cache;
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i]->same(refs, idxs)) {
            std::rotate(entries.begin() + static_cast<std::ptrdiff_t>(i),
                        entries.begin() + static_cast<std::ptrdiff_t>(i) + 1, entries.end());
            return entries.back();
        }
    // Dropping an entry only drops the cache's reference: holders keep theirs.
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const std::shared_ptr<RealBarBooks> &e) { return e->orphaned(); }),
                  entries.end());
    if (entries.size() >= kMaxItems)
        entries.erase(entries.begin());
    entries.push_back(std::make_shared<RealBarBooks>(refs, idxs));
    return entries.back();
}

} // namespace telvar::regora
