// What the history module's readers rely on in each kind of file they read:
// the host's answers (multi-target bars, one target's bars, last-N records,
// ticks, trading times) and the module's own caches. Each check throws
// mat_content::ContentProblem naming the variable that fails; the reader
// turns it into a TvDataError naming the host's file (host_file_error), or
// counts the cache entry as absent and rebuilds it.
#pragma once

#include "history/history.hpp"

#include "common/mat_content.hpp"

#include <cstddef>

namespace telvar::history::checks {

using mat_content::ContentProblem;

// --- the host's answers ---

// The head of a multi-target bar or tick file: TimeLine (bar times), DayPos
// (one position per bar), TradeFreshPos (one position), and FilePaths (the
// part files' paths) when there is one. Returns the number of bars.
size_t multi_file_head(nb::handle mat);

// The bars of a multi-target file (or of one of its part files): KArray,
// blocks of `bar_len` rows, one column per bar; TickPriceData, fields x ticks
// x targets. `n_bars`: the columns the time line asks for (0: any, for a part
// file read on its own). With `required`, a file holding neither is missing
// its KArray.
void multi_file_bars(nb::handle mat, size_t n_bars, size_t bar_len, bool required);

// One target's bars: Time, the seven fields of the same length, and BeginBar
// (day starts) when the bars are intraday.
void per_target_file(nb::handle mat, bool intraday);

// The last-N records: KArray, a struct array of `n_records` records, each
// with Time, the seven fields and BeginBar (passed on as written), float and
// of one length. Returns the records, flattened.
nb::object last_n_file(nb::handle mat, size_t n_records);

// One day of ticks: Time, the tick fields and the five quote levels, each
// holding one value per tick (a level may be an n x k matrix). Returns the
// number of ticks; with none, nothing else is needed.
size_t tick_file(nb::handle mat);

// Bar times of a frequency: Time and DayPos of one length.
void trading_time_file(nb::handle mat);

// --- the module's caches ---

// A per-target K-matrix entry: k_matrix_single, `rows` float rows (bar
// times, then the fields) and at least one bar.
void per_target_entry(nb::handle entry, size_t rows);

// A last-N entry: the nine bar arrays, float and of one length, not empty.
void last_n_entry(nb::handle entry);

// Target information: cashInfo, `n_targets` records with Market and Code texts.
void target_info_entry(nb::handle mat, size_t n_targets);

// A block's records: one array per field, all of one length, with Market and
// Code among them.
void code_list_entry(nb::handle mat);

// --- what a reader does with a failed check ---

// TvDataError naming the host's file and the variable.
[[noreturn]] void host_file_error(nb::handle path, const ContentProblem &problem);

// `check()`; a ContentProblem becomes host_file_error(path, ...).
template <typename Check> auto check_host_file(nb::handle path, Check &&check) {
    try {
        return check();
    } catch (const ContentProblem &problem) {
        host_file_error(path, problem);
    }
}

// Warns that the cache file `path` failed its check, and removes it.
void reject_cache_file(nb::handle path, const ContentProblem &problem);

} // namespace telvar::history::checks
