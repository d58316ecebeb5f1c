// The eight market queries. Each is the shared query body with its own
// parameter list, wrapped at import by the argument checker's decorator.
#include "queries.hpp"
#include "query_family.hpp"

namespace telvar {
namespace mkt {
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
     "def market_limit(target_list, begin_date='', end_date='', field=())",
     "Daily limit-up and limit-down prices of stocks and whether the close sat at a limit."},
    {{"market_equ_flow",
      {"target_list", "begin_date", "end_date", "field"},
      {K::required_list, K::begin_date, K::end_date, K::list},
      true},
     "def market_equ_flow(target_list, begin_date='', end_date='', field=())",
     "Daily money inflow and outflow of stocks by order size."},
    {{"market_industry_flow",
      {"industry_list", "begin_date", "end_date", "field"},
      {K::list, K::begin_date, K::end_date, K::list},
      false},
     "def market_industry_flow(industry_list=(), begin_date='', end_date='', field=())",
     "Daily money flow of industries."},
    {{"market_rank_stocks",
      {"target_list", "abnormal_type_cd", "begin_date", "end_date", "field"},
      {K::required_list, K::list, K::begin_date, K::end_date, K::list},
      true},
     "def market_rank_stocks(target_list, abnormal_type_cd=(), begin_date='', end_date='', "
     "field=())",
     "Daily rankings of stocks with abnormal moves, by abnormal type code."},
    {{"market_rank_industry",
      {"industry_list", "begin_date", "end_date", "field"},
      {K::list, K::begin_date, K::end_date, K::list},
      false},
     "def market_rank_industry(industry_list=(), begin_date='', end_date='', field=())",
     "Daily rankings of industries by price change."},
    {{"ipo_con_traddays",
      {"target_list", "begin_date", "end_date", "field"},
      {K::list, K::begin_date, K::end_date, K::list},
      false},
     "def ipo_con_traddays(target_list=(), begin_date='', end_date='', field=())",
     "Consecutive limit-up trading days of newly listed stocks."},
    {{"market_subnew_equd",
      {"target_list", "begin_date", "end_date", "field"},
      {K::list, K::begin_date, K::end_date, K::list},
      false},
     "def market_subnew_equd(target_list=(), begin_date='', end_date='', field=())",
     "Daily data of sub-new stocks."},
    {{"market_blockd",
      {"target_list", "begin_date", "end_date", "field"},
      {K::list, K::begin_date, K::end_date, K::list},
      false},
     "def market_blockd(target_list=(), begin_date='', end_date='', field=())",
     "Block trades."},
};

} // namespace

void define_queries(nb::module_ &m) {
    for (const Query &q : queries) {
        const QuerySpec *spec = &q.spec;
        // The scope gives the function a __qualname__, which the rule
        // decorator copies onto its wrapper (functools.wraps).
        nb::object body = nb::cpp_function(
            [spec](nb::args args, nb::kwargs kwargs) { return run_query(*spec, args, kwargs); },
            nb::scope(m), nb::name(spec->name), nb::sig(q.signature), q.doc);
        // The checked function is what the module exports under the query's name.
        nb::object checked = rule_decorator(*spec)(body);
        m.attr(spec->name) = checked;
    }
}

} // namespace mkt
} // namespace telvar
