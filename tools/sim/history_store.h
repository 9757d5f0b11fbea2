// The server's history: every value change of every item with its time, and
// the records that clients write. Times are seconds since 1970 (the wire
// time); values are float32 as they travel. Not locked: the server calls it
// under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "session/payloads.h"

namespace tarvik {
namespace sim {

// Records as they travel (session/payloads.h).
using tarvik::HistoryRecord;
void AppendHistoryRecord(const HistoryRecord& r, std::vector<uint8_t>* out);

class HistoryStore {
  public:
    // Oldest records beyond this many per item are dropped.
    static constexpr size_t kMaxPerItem = 100000;

    // Inserts in time order; a record with the time of existing ones goes
    // behind them.
    void Record(int point, uint32_t fieldNo, const HistoryRecord& r);
    // Records with start <= time <= start + span (64-bit end, so a span that
    // wrapped reaches into the future instead of wrapping), oldest first, at
    // most `max`.
    std::vector<HistoryRecord> Range(int point, uint32_t fieldNo, uint32_t start, uint32_t span,
                                     size_t max) const;
    // `samples` values evenly spread over [start, start + span]: each the value
    // of the last record at or before its time, else of the first record, else
    // `fallback`.
    std::vector<float> Sample(int point, uint32_t fieldNo, uint32_t start, uint32_t span,
                              uint32_t samples, float fallback) const;
    size_t Size(int point, uint32_t fieldNo) const;
    void Clear() { items_.clear(); }

  private:
    static uint64_t Key(int point, uint32_t fieldNo) {
        return (static_cast<uint64_t>(static_cast<uint32_t>(point)) << 8) | (fieldNo & 0xFF);
    }
    std::map<uint64_t, std::vector<HistoryRecord>> items_;
};

}  // namespace sim
}  // namespace tarvik
