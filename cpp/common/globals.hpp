// Module-global names: bound once at import (so a missing framework name
// fails the import), looked up in the module's own namespace at every call, so
// `monkeypatch.setattr(module, "tvcmd", fake)` takes effect as it would on a
// Python module.
#pragma once

#include <nanobind/nanobind.h>

#include "common/interned.hpp"

#include <initializer_list>
#include <string>

namespace telvar {
namespace nb = nanobind;

class ModuleGlobals {
public:
    // The module dict outlives every call into the module, so a borrowed
    // pointer is safe and avoids touching a reference at interpreter exit.
    void attach(nb::module_ &m) { dict_ = PyModule_GetDict(m.ptr()); }

    void set(const char *name, nb::handle value) const {
        if (PyDict_SetItemString(dict_, name, value.ptr()) != 0)
            throw nb::python_error();
    }

    // The current value of a global; NameError if it was deleted.
    nb::object operator()(nb::handle name) const {
        PyObject *value = PyDict_GetItemWithError(dict_, name.ptr());
        if (!value) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
            throw nb::python_error();
        }
        return nb::borrow(value);
    }
    // A name given as a string literal is looked up by its interned string.
    template <size_t N> nb::object operator()(const char (&name)[N]) const {
        return (*this)(interned(name));
    }

    // `import module as alias`
    void import_module(const char *module, const char *alias) const {
        set(alias, nb::module_::import_(module));
    }

    // `from module import name` for each name; a missing name raises the
    // ImportError Python gives, so the importing module fails to load.
    void import_from(const char *module, std::initializer_list<const char *> names) const {
        nb::module_ mod = nb::module_::import_(module);
        for (const char *name : names)
            set(name, attr_or_import_error(mod, module, name));
    }

    // `from module import name as alias`
    void import_from_as(const char *module, const char *name, const char *alias) const {
        nb::module_ mod = nb::module_::import_(module);
        set(alias, attr_or_import_error(mod, module, name));
    }

private:
    static nb::object attr_or_import_error(nb::module_ &mod, const char *module,
                                           const char *name) {
        PyObject *value = PyObject_GetAttrString(mod.ptr(), name);
        if (value)
            return nb::steal(value);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        // Submodules that were not imported yet are found the way `from`
        // finds them.
        nb::object sub = nb::steal(PyImport_ImportModule(
            (std::string(module) + "." + name).c_str()));
        if (sub.is_valid())
            return sub;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        throw nb::python_error();
    }

    PyObject *dict_ = nullptr;
};

} // namespace telvar
