// telvar.api.fundamental.mkt.mkt: market-level fundamental queries.
#include "mkt/queries.hpp"
#include "mkt/query_family.hpp"

namespace nb = nanobind;
NB_MODULE(mkt, m) {
    telvar::ModuleGlobals &globals = telvar::mkt::module_globals();
    globals.attach(m);
    // Import order is part of the module's contract; any missing name fails
    // the import.
    globals.import_from("telvar.api.fundamental.convertor",
                        {"get_fundamental_info", "convert_fundamental_to_df"});
    globals.import_from("telvar.kestrum.ufuncs", {"check_targets_without_change",
                                                  "begin_date_checking_rule",
                                                  "end_date_checking_rule"});
    globals.import_from("telvar.kestrum.language", {"text"});
    globals.import_from("telvar.kestrum.utils.argchecker", {"apply_rule", "verify_that"});
    telvar::mkt::define_queries(m);
}
