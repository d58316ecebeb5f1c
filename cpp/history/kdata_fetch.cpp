// The blocking multi-target download (under a long socket time-out) and the
// fetch that chains it with reading the host's file.
#include "history/history.hpp"

namespace telvar::history {
namespace {

// A download of months of minute bars for hundreds of targets takes far
// longer than an ordinary command, so the socket waits this long meanwhile.
constexpr int kDownloadTimeOut = 90000;

// Sets the socket's time-out for its lifetime and puts the old value back on
// every exit. restore() is the normal exit and lets a failure to restore
// propagate; the destructor covers exits by exception, where the exception
// already on its way out must win, so a failure there is only reported.
class SocketTimeOut {
public:
    explicit SocketTimeOut(nb::object socket) : socket_(std::move(socket)) {
        old_ = socket_.attr("get_timeout")();
        socket_.attr("set_timeout")(kDownloadTimeOut);
        active_ = true;
    }
    SocketTimeOut(const SocketTimeOut &) = delete;
    SocketTimeOut &operator=(const SocketTimeOut &) = delete;

    void restore() {
        if (!active_)
            return;
        active_ = false;
        socket_.attr("set_timeout")(old_);
    }

    ~SocketTimeOut() {
        if (!active_)
            return;
        try {
            restore();
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("restoring the socket time-out");
        } catch (...) {
        }
    }

private:
    nb::object socket_;
    nb::object old_;
    bool active_ = false;
};

nb::object download(const nb::object &params) {
    nb::object targets = getitem(params, "targets");
    nb::object frequency = getitem(params, "frequency");
    nb::object freq_num = getitem(params, "freq_num");
    nb::object begin_date = getitem(params, "begin_date");
    nb::object end_date = getitem(params, "end_date");
    nb::object filled_up = getitem(params, "filled_up");
    nb::object fq_type = getitem(params, "fq_type");
    const bool show_ui_tip = truthy(params.attr("get")("need_show_ui_tip", true));

    nb::object file_path = nb::str("");
    SocketTimeOut time_out(global("cnt").attr("vr").attr("g_TelvarSocket"));
    try {
        if (equals(frequency, nb::str("tick"))) {
            if (show_ui_tip)
                global("ask_get_tick_data")(nb::arg("targets") = targets, nb::arg("begin_date") = begin_date,
                                            nb::arg("end_date") = end_date, nb::arg("fq") = fq_type);
            file_path = global("tvcmd").attr("tvSendCmdGetTDPDataMulti")(targets, begin_date, end_date, fq_type);
        } else {
            if (show_ui_tip)
                global("ask_get_k_data")(nb::arg("targets") = targets, nb::arg("frequency") = frequency,
                                         nb::arg("freq_num") = freq_num, nb::arg("begin_date") = begin_date,
                                         nb::arg("end_date") = end_date, nb::arg("fq") = fq_type);
            file_path = global("tvcmd").attr("tvSendCmdGetKDataMulti")(targets, frequency, begin_date, end_date,
                                                                       filled_up, fq_type);
        }
    } catch (nb::python_error &e) {
        nb::object host_error = global("TvReturnError");
        if (!e.matches(host_error))
            throw;
        nb::object error = exception_of(e);
        time_out.restore();
        return nb::make_tuple(error, nb::str(""));
    }
    time_out.restore();
    return nb::make_tuple(nb::none(), file_path);
}

} // namespace

// def load_k_data_from_pro(params) -> (error, file_path)
nb::object load_k_data_from_pro(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("load_k_data_from_pro", {"params"}, 1);
    auto bound = sig.bind(args, kwargs);
    return download(bound[0]);
}

// def get_k_data_multi(params) -> dict
nb::object get_k_data_multi(nb::args args, nb::kwargs kwargs) {
    static const Signature sig("get_k_data_multi", {"params"}, 1);
    auto bound = sig.bind(args, kwargs);
    const nb::object &params = bound[0];

    nb::object end_date = getitem(params, "end_date");
    auto [host_error, mat_path] = unpack_pair(global("load_k_data_from_pro")(params));
    if (!host_error.is_none())
        raise_instance(host_error);

    auto [file_error, result] = unpack_pair(global("load_k_data_from_local")(mat_path));
    // The host's file is cleaned whether or not it could be read.
    global("clear_mat_include_cur_trade_date")(mat_path, end_date);
    if (!file_error.is_none())
        raise_instance(file_error);
    return result;
}

} // namespace telvar::history
