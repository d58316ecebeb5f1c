// The K-matrix layout, compiled in. A K matrix holds head rows, then one
// block of kBarLen field rows per target, one column per bar; an adjusted
// price matrix has no head and kAdjBarLen rows (the four prices) per target.
// The framework states the same layout in Python (telvar.kestrum.globalvars);
// kmatrix_layout_check.hpp compares the two when a module is imported, so
// code may use these constants instead of reading gv on every call.
#pragma once

#include <cstdint>

namespace telvar::kmatrix {

// --- head rows ---
constexpr int64_t kTimeLine = 0; // bar (end) time, serial days
constexpr int64_t kDayPos = 1;   // position of the bar within its trading day, 1 = first
constexpr int64_t kFreshIdx = 2; // 1 where the bar time is a strategy bar time
constexpr int64_t kEnd = 3;      // last head row
constexpr int64_t kHeadLen = 4;

// --- field offsets within a target's block ---
constexpr int64_t kOpen = 0;
constexpr int64_t kHigh = 1;
constexpr int64_t kLow = 2;
constexpr int64_t kClose = 3;
constexpr int64_t kVolume = 4;
constexpr int64_t kTurnover = 5;
constexpr int64_t kOpenInterest = 6;
constexpr int64_t kBarBegin = kOpen;
constexpr int64_t kBarEnd = kOpenInterest; // inclusive
constexpr int64_t kBarLen = 7;
constexpr int kFieldCount = 7;

// --- adjusted blocks: the four prices ---
constexpr int64_t kAdjOpen = 0;
constexpr int64_t kAdjHigh = 1;
constexpr int64_t kAdjLow = 2;
constexpr int64_t kAdjClose = 3;
constexpr int64_t kAdjBarBegin = kAdjOpen;
constexpr int64_t kAdjBarEnd = kAdjClose; // inclusive
constexpr int64_t kAdjBarLen = 4;

// Open, high, low and close offsets of a plain and of an adjusted block.
constexpr int64_t kPriceFields[4] = {kOpen, kHigh, kLow, kClose};
constexpr int64_t kAdjPriceFields[4] = {kAdjOpen, kAdjHigh, kAdjLow, kAdjClose};

static_assert(kHeadLen == kEnd + 1, "the head ends with its last row");
static_assert(kBarLen == kBarEnd - kBarBegin + 1 && kBarLen == kFieldCount,
              "a target's block holds the seven bar fields");
static_assert(kAdjBarLen == kAdjBarEnd - kAdjBarBegin + 1, "an adjusted block holds four prices");
// The bar kernels combine the first fields of a block as open (first), high
// (max), low (min) and close (last): both layouts start with them in order.
static_assert(kOpen == 0 && kHigh == 1 && kLow == 2 && kClose == 3, "prices lead a block");
static_assert(kVolume > kClose && kVolume < kBarLen, "the volume follows the prices in a block");
static_assert(kAdjOpen == 0 && kAdjHigh == 1 && kAdjLow == 2 && kAdjClose == 3,
              "an adjusted block is open, high, low and close in that order");

// First row of target `t`'s block in a K matrix.
constexpr int64_t block_row(int64_t t) { return kHeadLen + t * kBarLen; }

// Row of `field` of target `t` in a K matrix, and in an adjusted matrix.
constexpr int64_t plain_row(int64_t field, int64_t t) { return block_row(t) + field; }
constexpr int64_t adj_row(int64_t field, int64_t t) { return t * kAdjBarLen + field; }

// Row count of a K matrix of `targets` targets.
constexpr int64_t matrix_rows(int64_t targets) { return kHeadLen + targets * kBarLen; }

// The gv name of each constant, for the check at import.
struct NamedConstant {
    const char *name;
    int64_t value;
};

constexpr NamedConstant kNamedConstants[] = {
    {"KMatrixPos_TimeLine", kTimeLine},
    {"KMatrixPos_DayPos", kDayPos},
    {"KMatrixPos_FreshIdx", kFreshIdx},
    {"KMatrixPos_End", kEnd},
    {"KMatrixPos_Head_len", kHeadLen},
    {"KMatrix_Open", kOpen},
    {"KMatrix_High", kHigh},
    {"KMatrix_Low", kLow},
    {"KMatrix_Close", kClose},
    {"KMatrix_Volume", kVolume},
    {"KMatrix_TurnOver", kTurnover},
    {"KMatrix_OpenInterest", kOpenInterest},
    {"KMatrix_Bar_Begin", kBarBegin},
    {"KMatrix_Bar_End", kBarEnd},
    {"KMatrix_Bar_Len", kBarLen},
    {"Adj_KMatrix_Open", kAdjOpen},
    {"Adj_KMatrix_High", kAdjHigh},
    {"Adj_KMatrix_Low", kAdjLow},
    {"Adj_KMatrix_Close", kAdjClose},
    {"Adj_KMatrix_Bar_Begin", kAdjBarBegin},
    {"Adj_KMatrix_Bar_End", kAdjBarEnd},
    {"Adj_KMatrix_Bar_Len", kAdjBarLen},
};

} // namespace telvar::kmatrix
