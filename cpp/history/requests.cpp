// Announcements of a download in the host's log, with the request that asks
// the host to prepare the data without waiting for it.
#include "history/history.hpp"

namespace telvar::history {
namespace {

// "CODE.MARKET" of a target record, as the log shows it.
nb::str code_dot_market(nb::handle target) {
    return percent_format("%s.%s", nb::make_tuple(getitem(target, "Code"), getitem(target, "Market")));
}

} // namespace

// def ask_get_k_data(**kwargs) -> None
nb::object ask_get_k_data(nb::args args, nb::kwargs kwargs) {
    require_no_positional("ask_get_k_data", args);
    nb::dict kw = nb::borrow<nb::dict>(kwargs);
    nb::object targets = pop_required_kwarg(kw, "targets");
    nb::object begin_date = pop_required_kwarg(kw, "begin_date");
    nb::object end_date = pop_required_kwarg(kw, "end_date");
    nb::object frequency = pop_required_kwarg(kw, "frequency");
    nb::object freq_num = pop_required_kwarg(kw, "freq_num");
    nb::object fq = pop_required_kwarg(kw, "fq");

    const size_t n_targets = nb::len(targets);
    if (n_targets < 1)
        return nb::none();

    nb::str first_label = code_dot_market(getitem(targets, 0));
    nb::str last_label = n_targets >= 2 ? code_dot_market(getitem(targets, -1)) : nb::str("");

    nb::object message = text("TEXT_PREPARE_KDATA")
                             .attr("format")(nb::arg("BEGINDATE") = begin_date,
                                             nb::arg("ENDDATE") = end_date,
                                             nb::arg("KFREQUENCY") = frequency,
                                             nb::arg("KFRENUM") = freq_num,
                                             nb::arg("PRETARGET") = first_label,
                                             nb::arg("LASTTARGET") = last_label);
    put_log(message);
    // The host always prepares one-unit bars; freq_num only shows in the log.
    global("tvcmd").attr("tvSendCmdGetKData")(targets, frequency, 1, begin_date, end_date, true, fq,
                                              nb::arg("noReturn") = true);
    return nb::none();
}

// def ask_get_tick_data(**kwargs) -> None
nb::object ask_get_tick_data(nb::args args, nb::kwargs kwargs) {
    require_no_positional("ask_get_tick_data", args);
    nb::dict kw = nb::borrow<nb::dict>(kwargs);
    nb::object targets = pop_required_kwarg(kw, "targets");
    nb::object begin_date = pop_required_kwarg(kw, "begin_date");
    nb::object end_date = pop_required_kwarg(kw, "end_date");
    nb::object fq = pop_required_kwarg(kw, "fq");

    nb::object days = global("get_trading_days")(begin_date, end_date);
    for (nb::handle target : targets) {
        for (nb::handle day : days) {
            nb::object code = getitem(target, "Code");
            nb::object market = getitem(target, "Market");
            nb::object message = text("TEXT_PREPARE_TICKDATA")
                                     .attr("format")(nb::arg("Day") = day, nb::arg("Code") = code,
                                                     nb::arg("Market") = market);
            put_log(message);
            global("tvcmd").attr("tvSendCmdGetTDPData")(market, code, to_int(day), fq,
                                                        nb::arg("no_return") = true);
        }
    }
    return nb::none();
}

} // namespace telvar::history
