#include "mkt/query_family.hpp"

namespace telvar::mkt {

ModuleGlobals &module_globals() {
    static ModuleGlobals globals;
    return globals;
}

namespace {

nb::object default_for(ParamKind kind) {
    if (kind == ParamKind::begin_date || kind == ParamKind::end_date)
        return nb::str("");
    return nb::tuple();
}

size_t position_of(const QuerySpec &spec, ParamKind kind) {
    for (size_t i = 0; i < spec.kinds.size(); ++i)
        if (spec.kinds[i] == kind)
            return i;
    PyErr_Format(PyExc_SystemError, "%s: query has no date parameter", spec.name);
    throw nb::python_error();
}

} // namespace

nb::object run_query(const QuerySpec &spec, const nb::args &args, const nb::kwargs &kwargs) {
    std::vector<nb::object> values = spec.signature.bind(args, kwargs);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = or_default(values[i], default_for(spec.kinds[i]));

    if (spec.normalise_targets)
        values[0] = global("check_targets_without_change")(values[0]);

    const size_t begin = position_of(spec, ParamKind::begin_date);
    const size_t end = position_of(spec, ParamKind::end_date);
    values[begin] = global("begin_date_checking_rule")(nb::arg("date") = values[begin]);
    values[end] = global("end_date_checking_rule")(nb::arg("date") = values[end]);

    if (compare(values[end], values[begin], Py_LT))
        raise_with(PyExc_ValueError, attr_of(global("text"), "ERROR_INPUT_BEGIN_GT_ENDDATE"));

    nb::dict params;
    for (size_t i = 0; i < values.size(); ++i)
        params[spec.names[i]] = values[i];

    nb::object result = global("get_fundamental_info")(nb::arg("params") = params,
                                                        nb::arg("func_name") = spec.name);
    return global("convert_fundamental_to_df")(result);
}

nb::object rule_decorator(const QuerySpec &spec) {
    nb::object verify_that = global("verify_that");
    nb::list rules;
    for (size_t i = 0; i < spec.names.size(); ++i) {
        nb::object rule = verify_that(nb::str(spec.names[i]));
        const bool is_date =
            spec.kinds[i] == ParamKind::begin_date || spec.kinds[i] == ParamKind::end_date;
        if (is_date)
            rules.append(rule.attr("is_valid_date")(nb::arg("allow_empty_str") = true));
        else
            rules.append(rule.attr("is_instance_of")(
                nb::handle(reinterpret_cast<PyObject *>(&PyList_Type)),
                nb::handle(reinterpret_cast<PyObject *>(&PyTuple_Type))));
    }
    return global("apply_rule")(*rules);
}

} // namespace telvar::mkt
