// Names used as attribute or dict keys on every call, made into interned
// Python strings once: a look-up with one compares pointers, where a name
// given as a C string is made into a new string, hashed and compared by
// content every time.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

namespace telvar {
namespace nb = nanobind;

namespace detail {

// Interned strings by the address of their literal: open addressing over a
// power-of-two table, so a look-up is a multiplication and a compare or two.
class InternedNames {
public:
    nb::handle get(const char *literal) {
        size_t i = slot_of(literal);
        for (; slots_[i].key; i = (i + 1) & (slots_.size() - 1))
            if (slots_[i].key == literal)
                return slots_[i].name;
        PyObject *name = PyUnicode_InternFromString(literal);
        if (!name)
            throw nb::python_error();
        slots_[i] = {literal, name};
        if (++used_ * 2 > slots_.size())
            grow();
        return name;
    }

    static InternedNames &instance() {
        // Never destroyed: the strings outlive the interpreter's finalisation.
        static auto *names = new InternedNames();
        return *names;
    }

private:
    struct Slot {
        const char *key = nullptr;
        PyObject *name = nullptr;
    };
    size_t slot_of(const char *key) const {
        const uint64_t h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) *
                           0x9E3779B97F4A7C15ULL;
        return static_cast<size_t>(h >> 40) & (slots_.size() - 1);
    }
    void grow() {
        std::vector<Slot> old(slots_.size() * 2);
        old.swap(slots_);
        for (const Slot &s : old) {
            if (!s.key)
                continue;
            size_t i = slot_of(s.key);
            while (slots_[i].key)
                i = (i + 1) & (slots_.size() - 1);
            slots_[i] = s;
        }
    }
    std::vector<Slot> slots_ = std::vector<Slot>(256);
    size_t used_ = 0;
};

} // namespace detail

// The interned string of `literal`, kept for the life of the process. Keyed
// by the literal's address, so only string literals may be passed (the
// array-reference parameter keeps out plain char pointers).
template <size_t N> inline nb::handle interned(const char (&literal)[N]) {
    return detail::InternedNames::instance().get(literal);
}

// getattr(obj, literal)
template <size_t N> inline nb::object attr_of(nb::handle obj, const char (&literal)[N]) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), interned(literal).ptr());
    if (!value)
        throw nb::python_error();
    return nb::steal(value);
}

} // namespace telvar
