// The eight market queries. Each is the shared query body with its own
// parameter list, wrapped at import by the argument checker's decorator.
#include "mkt/queries.hpp"
#include "mkt/query_family.hpp"

#include <cstring>
#include <string>

namespace telvar::mkt {
namespace {

using K = ParamKind;

struct Query {
    QuerySpec spec;
    const char *signature;
    const char *doc;
};

// Signatures as Python shows them; the bodies take *args/**kwargs and bind
// them through QuerySpec::signature.
const Query queries[] = {
    {{"market_limit",
      {"target_list", "begin_date", "end_date", "field"},
      {K::required_list, K::begin_date, K::end_date, K::list},
      true},
     "def market_limit(target_list: list | tuple, begin_date: str | int = '', "
     "end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame",
     "Daily limit-up and limit-down prices of stocks and whether the close sat at a limit."},
    {{"market_equ_flow",
      {"target_list", "begin_date", "end_date", "field"},
      {K::required_list, K::begin_date, K::end_date, K::list},
      true},
     "def market_equ_flow(target_list: list | tuple, begin_date: str | int = '', "
     "end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame",
     "Daily money inflow and outflow of stocks by order size."},
    {{"market_industry_flow",
      {"industry_list", "begin_date", "end_date", "field"},
      {K::list, K::begin_date, K::end_date, K::list},
      false},
     "def market_industry_flow(industry_list: list | tuple = (), "
     "begin_date: str | int = '', end_date: str | int = '', "
     "field: list | tuple = ()) -> pandas.DataFrame",
     "Daily money flow of industries."},
    {{"market_rank_stocks",
      {"target_list", "abnormal_type_cd", "begin_date", "end_date", "field"},
      {K::required_list, K::list, K::begin_date, K::end_date, K::list},
      true},
     "def market_rank_stocks(target_list: list | tuple, "
     "abnormal_type_cd: list | tuple = (), begin_date: str | int = '', "
     "end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame",
     "Daily rankings of stocks with abnormal moves, by abnormal type code."},
    {{"market_rank_industry",
      {"industry_list", "begin_date", "end_date", "field"},
      {K::list, K::begin_date, K::end_date, K::list},
      false},
     "def market_rank_industry(industry_list: list | tuple = (), "
     "begin_date: str | int = '', end_date: str | int = '', "
     "field: list | tuple = ()) -> pandas.DataFrame",
     "Daily rankings of industries by price change."},
    {{"ipo_con_traddays",
      {"target_list", "begin_date", "end_date", "field"},
      {K::list, K::begin_date, K::end_date, K::list},
      false},
     "def ipo_con_traddays(target_list: list | tuple = (), "
     "begin_date: str | int = '', end_date: str | int = '', "
     "field: list | tuple = ()) -> pandas.DataFrame",
     "Consecutive limit-up trading days of newly listed stocks."},
    {{"market_subnew_equd",
      {"target_list", "begin_date", "end_date", "field"},
      {K::list, K::begin_date, K::end_date, K::list},
      false},
     "def market_subnew_equd(target_list: list | tuple = (), "
     "begin_date: str | int = '', end_date: str | int = '', "
     "field: list | tuple = ()) -> pandas.DataFrame",
     "Daily data of sub-new stocks."},
    {{"market_blockd",
      {"target_list", "begin_date", "end_date", "field"},
      {K::list, K::begin_date, K::end_date, K::list},
      false},
     "def market_blockd(target_list: list | tuple = (), begin_date: str | int = '', "
     "end_date: str | int = '', field: list | tuple = ()) -> pandas.DataFrame",
     "Block trades."},
};

constexpr size_t query_count = sizeof(queries) / sizeof(queries[0]);

const char *parameter_doc(const char *name) {
    if (std::strcmp(name, "target_list") == 0)
        return "target_list: stocks as 'MARKET.CODE' keys or {'Market', 'Code'} records";
    if (std::strcmp(name, "industry_list") == 0)
        return "industry_list: industry names (all industries when empty)";
    if (std::strcmp(name, "abnormal_type_cd") == 0)
        return "abnormal_type_cd: abnormal-move type codes (all types when empty)";
    if (std::strcmp(name, "begin_date") == 0)
        return "begin_date: first date, YYYYMMDD ('' for the earliest)";
    if (std::strcmp(name, "end_date") == 0)
        return "end_date: last date, YYYYMMDD ('' for today)";
    if (std::strcmp(name, "field") == 0)
        return "field: the columns wanted (all columns when empty)";
    return "";
}

// The query's summary, its parameters and its result; kept for the module's
// life because the functions point at it.
const std::string &full_doc(size_t i) {
    static std::string docs[query_count];
    if (docs[i].empty()) {
        const Query &q = queries[i];
        docs[i] = std::string(q.doc) + "\n";
        for (const char *name : q.spec.names)
            docs[i] += std::string("\n") + parameter_doc(name);
        docs[i] += "\nReturns a pandas DataFrame, one row per record (empty when none).";
    }
    return docs[i];
}

// An inspect.Signature for the checked wrapper: functools.wraps points
// inspect at the compiled body, which inspect cannot read. Its annotations
// are the ones the compiled body's signature text shows.
nb::object python_signature(const QuerySpec &spec) {
    nb::module_ inspect = nb::module_::import_("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    nb::str list_type("list | tuple"), date_type("str | int");
    nb::list parameters;
    for (size_t i = 0; i < spec.names.size(); ++i) {
        nb::str name(spec.names[i]);
        switch (spec.kinds[i]) {
        case ParamKind::required_list:
            parameters.append(parameter(name, kind, nb::arg("annotation") = list_type));
            break;
        case ParamKind::list:
            parameters.append(parameter(name, kind, nb::arg("default") = nb::tuple(),
                                        nb::arg("annotation") = list_type));
            break;
        case ParamKind::begin_date:
        case ParamKind::end_date:
            parameters.append(parameter(name, kind, nb::arg("default") = nb::str(""),
                                        nb::arg("annotation") = date_type));
            break;
        }
    }
    return inspect.attr("Signature")(parameters,
                                     nb::arg("return_annotation") = nb::str("pandas.DataFrame"));
}

} // namespace

void define_queries(nb::module_ &m) {
    for (size_t i = 0; i < query_count; ++i) {
        const Query &q = queries[i];
        const QuerySpec *spec = &q.spec;
        // The scope gives the function a __qualname__, which the rule
        // decorator copies onto its wrapper (functools.wraps).
        nb::object body = nb::cpp_function(
            [spec](nb::args args, nb::kwargs kwargs) { return run_query(*spec, args, kwargs); },
            nb::scope(m), nb::name(spec->name), nb::sig(q.signature), full_doc(i).c_str());
        // The checked function is what the module exports under the query's name.
        nb::object checked = rule_decorator(*spec)(body);
        checked.attr("__signature__") = python_signature(*spec);
        m.attr(spec->name) = checked;
    }
}

} // namespace telvar::mkt
