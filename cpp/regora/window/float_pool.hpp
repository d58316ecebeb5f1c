// Python float objects shared by value.
//
// Market data repeats itself: prices lie on a tick grid and come back bar
// after bar and across the fields of a bar, volumes and open interest repeat
// too. A direct-mapped table kept for the whole process hands out the same
// float object for the same value instead of allocating another. Besides
// saving the allocation, windows then reference far fewer distinct objects,
// which keeps the reference-count updates of a window (and of its release)
// in cache. Floats are immutable, so sharing them cannot be observed except
// through `is`. Used with the GIL held.
#pragma once

#include <nanobind/nanobind.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "regora/window/object_array.hpp"

namespace telvar::regora {

namespace floats {

// The value of a float object.
inline double value_of(PyObject *obj) {
#if defined(Py_LIMITED_API)
    return PyFloat_AsDouble(obj);
#else
    return PyFloat_AS_DOUBLE(obj);
#endif
}

// Writing a float's value in place (PyFloatObject::ob_fval) relies on the
// object layout of one CPython build: the object header, then the double.
// The tests and benchmarks ran it on CPython 3.11 (GIL build); every other
// version, the limited API (whose layout is hidden) and free-threaded builds
// (where a reference count of one does not prove that no other thread holds
// the object) make a new float instead.
#if !defined(Py_LIMITED_API) && !defined(Py_GIL_DISABLED) && \
    PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define TELVAR_FLOAT_IN_PLACE 1
#else
#define TELVAR_FLOAT_IN_PLACE 0
#endif

// Gives `obj` the new value in place when it is a float that only its
// holder references (nobody else can see it change), and says whether it
// did; false where the in-place write is not used (above).
inline bool set_unshared_float([[maybe_unused]] PyObject *obj, [[maybe_unused]] double value) {
#if TELVAR_FLOAT_IN_PLACE
    static_assert(offsetof(PyFloatObject, ob_fval) == sizeof(PyObject),
                  "a float is its object header, then its value");
    if (Py_REFCNT(obj) != 1 || !PyFloat_CheckExact(obj))
        return false;
    reinterpret_cast<PyFloatObject *>(obj)->ob_fval = value;
    return true;
#else
    return false;
#endif
}

// A slot keeping the float last made for it, and the bits of its value.
struct Slot {
    uint64_t bits = 0;
    PyObject *obj = nullptr;

    // A new reference to a float of `value` (whose bits are `bits`): the
    // slot's own when it holds that value, else a new one, which it keeps.
    // A float only the slot still references is nobody else's to see, so it
    // is given the new value in place where that is safe (as CPython's own
    // iterators reuse a result tuple nobody kept) instead of being freed for
    // a new one.
    PyObject *get(double value, uint64_t value_bits) {
        if (!obj || bits != value_bits) {
            if (!obj || !set_unshared_float(obj, value)) {
                PyObject *made = PyFloat_FromDouble(value);
                if (!made)
                    throw nb::python_error();
                Py_XDECREF(obj);
                obj = made;
            }
            bits = value_bits;
        }
        Py_INCREF(obj);
        return obj;
    }
};

inline uint64_t bits_of(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// A new reference to one of the NaN ring's objects, taken in turn.
inline PyObject *nan_ref(size_t &turn) {
    PyObject *nan = nan_object(turn++);
    Py_INCREF(nan);
    return nan;
}

} // namespace floats

class FloatPool {
public:
    // A new reference to a float of `value`.
    PyObject *get(double value) {
        if (std::isnan(value))
            return floats::nan_ref(nans_);
        const uint64_t bits = floats::bits_of(value);
        return slots_[(bits * 0x9E3779B97F4A7C15ULL) >> (64 - slot_bits_)].get(value, bits);
    }

    // The column cache's pool (never destroyed: its floats may be in arrays
    // that outlive the interpreter's finalisation). Large, to catch values
    // coming back many bars later.
    static FloatPool &for_columns() {
        static FloatPool *pool = new FloatPool(15);
        return *pool;
    }

private:
    explicit FloatPool(unsigned slot_bits)
        : slot_bits_(slot_bits), slots_(size_t(1) << slot_bits) {}
    unsigned slot_bits_;
    size_t nans_ = 0;
    std::vector<floats::Slot> slots_;
};

// The float objects last made for the cells of a fresh-bar store, a slot per
// store row. A forming bar is one column of the store; from one bar position
// to the next only some of its fields change (the open and the bar's time
// hardly ever, the extremes now and then), so most cells are served from the
// slot of their row, whose slots lie together, with no table look-up.
class FreshRowFloats {
public:
    // Makes room for a store of `rows` rows.
    void fit(size_t rows) {
        if (slots_.size() < rows)
            slots_.resize(rows);
    }
    // A new reference to a float of `value` for store row `row` (< fit's rows).
    PyObject *get(size_t row, double value) {
        if (std::isnan(value))
            return floats::nan_ref(nans_);
        return slots_[row].get(value, floats::bits_of(value));
    }

    // One for each store (never destroyed, like the pools).
    static FreshRowFloats &for_plain_store() {
        static FreshRowFloats *store_floats = new FreshRowFloats();
        return *store_floats;
    }
    static FreshRowFloats &for_adjusted_store() {
        static FreshRowFloats *store_floats = new FreshRowFloats();
        return *store_floats;
    }

private:
    size_t nans_ = 0;
    std::vector<floats::Slot> slots_;
};

} // namespace telvar::regora
