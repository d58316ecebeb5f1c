#include "host/placement.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace telvar {
namespace host {

size_t place_rows(double *k, size_t width, size_t targets, const int64_t *slots, const Bars &bars) {
    if (width == 0)
        return 0;
    const size_t stride = kFields * targets;
    const int64_t *const end = slots + width;
    const int64_t *hint = slots;
    size_t placed = 0;
    for (size_t i = 0; i < bars.rows; ++i) {
        const int64_t key = bars.keys[i];
        // rows mostly come in time order, a bar in the slot after the last one's: look there
        // first, then search on from the last slot found
        const int64_t *at = hint + 1;
        if (!(at < end && *at == key)) {
            const int64_t *from = (hint != end && *hint <= key) ? hint : slots;
            at = std::lower_bound(from, end, key);
        }
        if (at == end || *at != key)
            continue;
        hint = at;
        const size_t target = static_cast<size_t>(bars.targets ? bars.targets[i] : bars.target);
        double *bar = k + static_cast<size_t>(at - slots) * stride + target * kFields;
        for (size_t f = 0; f < kFields; ++f)
            bar[f] = bars.fields[f][i];
        ++placed;
    }
    return placed;
}

void fill_blocks(double *k, size_t width, size_t targets) {
    const size_t stride = kFields * targets;
    constexpr size_t kNone = static_cast<size_t>(-1);
    std::vector<size_t> last(targets, kNone); // per target, the slot of its last close
    for (size_t s = 0; s < width; ++s) {
        double *row = k + s * stride;
        for (size_t t = 0; t < targets; ++t) {
            double *bar = row + t * kFields;
            if (!std::isnan(bar[kClose])) {
                last[t] = s;
                continue;
            }
            if (last[t] == kNone)
                continue;
            const double *source = k + last[t] * stride + t * kFields;
            bar[0] = bar[1] = bar[2] = bar[kClose] = source[kClose];
            bar[kVolume] = bar[kTurnover] = 0.0;
            bar[kOpenInterest] = source[kOpenInterest];
        }
    }
}

} // namespace host
} // namespace telvar
