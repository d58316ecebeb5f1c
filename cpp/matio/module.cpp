// telvar.kestrum._matio: read(path) and write(path, mdict, ...) for MAT v5
// files. The file is parsed and written without the GIL; Python objects are
// made (or read) before and after.
#define TELVAR_MATIO_IMPORTS_NUMPY
#include "matio/matio.hpp"
#include "matio/numpy_api.hpp"

#include "common/mat/errors.hpp"
#include "common/mat/reader.hpp"
#include "common/mat/writer.hpp"

#include <nanobind/stl/string.h>

#include <cstring>
#include <string>

namespace nb = nanobind;
using namespace telvar;

namespace {

std::string fs_path(nb::handle path) {
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(path.ptr(), &bytes))
        throw nb::python_error();
    nb::object owner = nb::steal(bytes);
    return std::string(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
}

nb::dict read_mat(nb::handle path, nb::handle max_bytes) {
    const std::string p = fs_path(path);
    mat::Limits limits;
    if (!max_bytes.is_none())
        limits.max_output_bytes = nb::cast<uint64_t>(max_bytes);
    mat::MatFile file;
    {
        nb::gil_scoped_release unlocked;
        file = mat::read_file(p, limits);
    }
    return matio::to_python(file);
}

void write_mat(nb::handle path, nb::handle mdict, const std::string &oned_as, bool long_field_names,
               bool do_compression, bool sync) {
    if (oned_as != "row" && oned_as != "column") {
        PyErr_Format(PyExc_ValueError, "1-D option \"%s\" is strange", oned_as.c_str());
        throw nb::python_error();
    }
    const std::string p = fs_path(path);
    matio::PlanOptions options;
    options.oned_as_row = oned_as == "row";
    options.max_field_name = long_field_names ? 63 : 31;
    std::vector<nb::object> keep; // what the plan points into, released after the write
    std::vector<mat::NamedNode> variables = matio::plan_variables(mdict, options, keep);
    mat::WriteOptions write_options;
    write_options.compress = do_compression;
    write_options.sync = sync;
    nb::gil_scoped_release unlocked;
    mat::write_file(p, variables, write_options);
}

void raise_os_error(const mat::IoError &e) {
    nb::object filename = nb::steal(PyUnicode_DecodeFSDefault(e.path().c_str()));
    if (!filename.is_valid())
        return; // the decoding error stands
    // OSError(errno, ...) gives the matching subclass (FileNotFoundError, ...)
    nb::object error = nb::steal(PyObject_CallFunction(PyExc_OSError, "isO", e.error_number(),
                                                       std::strerror(e.error_number()), filename.ptr()));
    if (error.is_valid())
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
}

} // namespace

NB_MODULE(_matio, m) {
    if (_import_array() < 0)
        throw nb::python_error();
    m.doc() = "MAT v5 files: a reader that refuses damaged files with an error instead of crashing, "
              "and a writer that stores arrays without copying them first.";
    nb::exception<mat::FormatError>(m, "MatFileError", PyExc_ValueError);
    nb::register_exception_translator([](const std::exception_ptr &p, void *) {
        try {
            std::rethrow_exception(p);
        } catch (const mat::IoError &e) {
            raise_os_error(e);
        }
    });
    m.def("read", &read_mat, nb::arg("path"), nb::arg("max_bytes") = nb::none(),
          nb::sig("def read(path: str | bytes | os.PathLike, max_bytes: int | None = None) -> dict[str, object]"),
          "The variables of a MAT v5 file, as scipy.io.loadmat(path) gives them. A file that\n"
          "cannot be read safely raises MatFileError (a ValueError) saying what and where;\n"
          "OSError when it cannot be opened or read. max_bytes bounds the memory the\n"
          "file's arrays may take (default: half the physical memory).");
    m.def("write", &write_mat, nb::arg("path"), nb::arg("mdict"), nb::kw_only(),
          nb::arg("oned_as") = "row", nb::arg("long_field_names") = false,
          nb::arg("do_compression") = false, nb::arg("sync") = false,
          nb::sig("def write(path: str | bytes | os.PathLike, mdict: collections.abc.Mapping[str, object], *, "
                  "oned_as: str = 'row', long_field_names: bool = False, do_compression: bool = False, "
                  "sync: bool = False) -> None"),
          "Creates or truncates `path` and stores the variables of `mdict` as scipy.io.savemat\n"
          "would, reading arrays where they lie. oned_as: 'row' or 'column', the shape 1-D\n"
          "arrays are stored in; long_field_names: struct field names of up to 63 characters\n"
          "instead of 31; do_compression: zlib-compress each variable; sync: wait until the\n"
          "file is on disk. On an error the file may be left half written: write to a\n"
          "temporary file and rename it.");
}
