#include "sim/history_store.h"

#include <algorithm>
#include <cstring>

namespace tarvik {
namespace sim {

void AppendHistoryRecord(const HistoryRecord& r, std::vector<uint8_t>* out) {
    uint8_t b[kHistoryRecordSize];
    WriteHistoryRecord(b, r);
    out->insert(out->end(), b, b + kHistoryRecordSize);
}

void HistoryStore::Record(int point, uint32_t fieldNo, const HistoryRecord& r) {
    std::vector<HistoryRecord>& v = items_[Key(point, fieldNo)];
    auto at = std::upper_bound(v.begin(), v.end(), r.time,
                               [](uint32_t t, const HistoryRecord& e) { return t < e.time; });
    v.insert(at, r);
    if (v.size() > kMaxPerItem) {
        v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() - kMaxPerItem));
    }
}

std::vector<HistoryRecord> HistoryStore::Range(int point, uint32_t fieldNo, uint32_t start,
                                               uint32_t span, size_t max) const {
    std::vector<HistoryRecord> out;
    auto it = items_.find(Key(point, fieldNo));
    if (it == items_.end()) {
        return out;
    }
    const uint64_t end = static_cast<uint64_t>(start) + span;
    for (const HistoryRecord& r : it->second) {
        if (r.time >= start && r.time <= end) {
            if (out.size() >= max) {
                break;
            }
            out.push_back(r);
        }
    }
    return out;
}

std::vector<float> HistoryStore::Sample(int point, uint32_t fieldNo, uint32_t start, uint32_t span,
                                        uint32_t samples, float fallback) const {
    std::vector<float> out;
    out.reserve(samples);
    auto it = items_.find(Key(point, fieldNo));
    const std::vector<HistoryRecord>* v = it != items_.end() ? &it->second : nullptr;
    for (uint32_t k = 0; k < samples; ++k) {
        const uint64_t t = static_cast<uint64_t>(start) +
                           (samples > 1 ? static_cast<uint64_t>(span) * k / (samples - 1) : 0);
        float value = fallback;
        if (v != nullptr && !v->empty()) {
            auto after = std::upper_bound(
                v->begin(), v->end(), t,
                [](uint64_t time, const HistoryRecord& e) { return time < e.time; });
            value = after == v->begin() ? v->front().value : (after - 1)->value;
        }
        out.push_back(value);
    }
    return out;
}

size_t HistoryStore::Size(int point, uint32_t fieldNo) const {
    auto it = items_.find(Key(point, fieldNo));
    return it == items_.end() ? 0 : it->second.size();
}

}  // namespace sim
}  // namespace tarvik
