// The time on one direction of a line that carries characters (or frames) one after another at
// its bit rate. While the line is busy, times are counted in bits from the start of the busy
// stretch, so a long run of characters ends exactly where its bit count says: no character time
// is ever rounded and added up.
#pragma once

#include "drive_model.h"

#include <algorithm>
#include <cstdint>

namespace zsim {

class LineTime {
public:
    // `bits` sent at `rate` bit/s as soon as the line is free, but not before `earliest`.
    // Returns the moment the last bit is through.
    Nanos Send(Nanos earliest, uint64_t bits, uint32_t rate)
    {
        if (rate != rate_ || earliest > end_) {
            start_ = std::max(earliest, end_);
            bits_ = 0;
            rate_ = rate;
        }
        bits_ += bits;
        end_ = start_ + BitTime(bits_, rate_);
        return end_;
    }

    // When the line is free again.
    Nanos free_at() const { return end_; }

private:
    Nanos start_ = 0;
    uint64_t bits_ = 0;
    uint32_t rate_ = 0;
    Nanos end_ = 0;
};

} // namespace zsim
