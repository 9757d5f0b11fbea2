// History requests: sampled values of several items, stored records of one
// item, and storing records. Items travel by name ("POINT.FIELD") and times
// as whole seconds since 1970.
#include <cstdio>
#include <cstring>
#include <limits>

#include "client/client.h"
#include "requests/ole_date.h"
#include "requests/request_cycle.h"
#include "session/message.h"
#include "session/payloads.h"

namespace tarvik {
namespace {

void WriteQuery(uint8_t* out, uint32_t start, uint32_t end, uint32_t samples, uint32_t names) {
    HistoryQuery q;
    q.start = start;
    q.span = end - start;  // the 32-bit difference, sent as it is
    q.samples = samples;
    q.names = names;
    WriteHistoryQuery(out, q);
}

// A double as the float32 of a record. A value beyond the float range becomes
// an infinity of its sign (the conversion itself would be undefined).
float ToFloat(double v) {
    if (v > static_cast<double>(std::numeric_limits<float>::max())) {
        return std::numeric_limits<float>::infinity();
    }
    if (v < -static_cast<double>(std::numeric_limits<float>::max())) {
        return -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(v);  // NaN stays NaN
}

}  // namespace

bool CTarvikClient::WriteItemName(uint32_t pointIndex, uint32_t fieldNo, uint8_t* out) {
    if (!directory_.IsValidItem(pointIndex, fieldNo, nullptr)) {
        return false;
    }
    const PointRecord* point = directory_.FindPoint(pointIndex);
    const FieldDef* field = directory_.FindField(point->typeId, fieldNo);
    if (field == nullptr) {
        return false;
    }
    char name[kItemNameSize] = {};
    // At most 19 + 1 + 11 characters: always fits.
    std::snprintf(name, sizeof name, "%s.%s", point->name, field->name);
    std::memcpy(out, name, kItemNameSize);
    return true;
}

int32_t CTarvikClient::ReadHistory(double start, double end, uint32_t samples, uint32_t count,
                                   const uint32_t* pointIndexes, const uint32_t* fieldNos,
                                   double* values) {
    return InRequest(-1, [&]() -> int32_t {
        if (count == 0 || pointIndexes == nullptr || fieldNos == nullptr ||
            count > (kMaxRequestPayload - kHistoryQuerySize) / kItemNameSize) {
            return -1;
        }
        const uint64_t wanted = static_cast<uint64_t>(count) * samples;
        if (wanted > 0 && values == nullptr) {
            return -1;
        }
        uint32_t from = 0;
        uint32_t to = 0;
        if (!OleDateToWire(start, &from) || !OleDateToWire(end, &to)) {
            return -1;
        }
        CBlock payload(kHistoryQuerySize + kItemNameSize * static_cast<size_t>(count));
        if (!payload.ok()) {
            return -1;
        }
        std::memset(payload.data(), 0, payload.size());
        WriteQuery(payload.data(), from, to, samples, count);
        {
            plat::CLockHold hold(stateLock_);
            for (uint32_t i = 0; i < count; ++i) {
                if (!WriteItemName(pointIndexes[i], fieldNos[i],
                                   payload.data() + kHistoryQuerySize + kItemNameSize * i)) {
                    return -1;
                }
            }
        }
        Reply reply;
        if (!Exchange(CMD_READ_HISTORY, 0, payload.data(), static_cast<uint32_t>(payload.size()),
                      &reply)) {
            return -1;
        }
        // Computed in 64 bits: no product of count and samples may wrap into
        // a pass that reads past the reply.
        if (static_cast<uint64_t>(reply.payloadLength) < wanted * 4) {
            return -1;
        }
        for (uint64_t i = 0; i < wanted; ++i) {
            values[i] = static_cast<double>(FloatAt(reply.payload + 4 * i));
        }
        return static_cast<int32_t>(count);
    });
}

int32_t CTarvikClient::WriteHistory(uint32_t pointIndex, uint32_t fieldNo, uint32_t count,
                                    const double* times, const uint16_t* statuses,
                                    const double* values) {
    return InRequest(-1, [&]() -> int32_t {
        if (count > (kMaxRequestPayload - kItemNameSize) / kHistoryRecordSize ||
            (count > 0 && (times == nullptr || statuses == nullptr || values == nullptr))) {
            return -1;
        }
        CBlock payload(kItemNameSize + kHistoryRecordSize * static_cast<size_t>(count));
        if (!payload.ok()) {
            return -1;
        }
        std::memset(payload.data(), 0, payload.size());
        {
            plat::CLockHold hold(stateLock_);
            if (!WriteItemName(pointIndex, fieldNo, payload.data())) {
                return -1;
            }
        }
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t t = 0;
            if (!OleDateToWire(times[i], &t)) {
                return -1;
            }
            HistoryRecord record;
            record.time = t;
            record.status = statuses[i];
            record.value = ToFloat(values[i]);
            WriteHistoryRecord(payload.data() + kItemNameSize + kHistoryRecordSize * i, record);
        }
        Reply reply;
        // Only the low 16 bits of the record count travel in param.
        if (!Exchange(CMD_WRITE_HISTORY, static_cast<int16_t>(count & 0xFFFF), payload.data(),
                      static_cast<uint32_t>(payload.size()), &reply)) {
            return -1;
        }
        if (reply.param == 0) {
            return -1;
        }
        return static_cast<int32_t>(count);
    });
}

int32_t CTarvikClient::ReadHistoryRaw(double start, double end, uint32_t pointIndex,
                                      uint32_t fieldNo, double** times, uint16_t** statuses,
                                      double** values) {
    return InRequest(-1, [&]() -> int32_t {
        if (times == nullptr || statuses == nullptr || values == nullptr) {
            return -1;
        }
        uint32_t from = 0;
        uint32_t to = 0;
        if (!OleDateToWire(start, &from) || !OleDateToWire(end, &to)) {
            return -1;
        }
        uint8_t payload[kRawHistoryQuerySize] = {};
        WriteQuery(payload, from, to, 0, 1);
        {
            plat::CLockHold hold(stateLock_);
            if (!WriteItemName(pointIndex, fieldNo, payload + kHistoryQuerySize)) {
                return -1;
            }
        }
        Reply reply;
        if (!Exchange(CMD_READ_HISTORY_RAW, 0, payload, sizeof payload, &reply)) {
            return -1;
        }
        if (reply.payloadLength < 4) {
            return -1;
        }
        const uint32_t h = LoadU32(reply.payload);
        // 64-bit arithmetic: a count that needs more than the payload fails
        // without reading past it.
        if (4 + static_cast<uint64_t>(h) * kHistoryRecordSize > reply.payloadLength) {
            return -1;
        }
        if (h == 0) {
            *times = nullptr;
            *statuses = nullptr;
            *values = nullptr;
            return 0;
        }
        auto* t = static_cast<double*>(MemAlloc(sizeof(double) * h));
        auto* s = static_cast<uint16_t*>(MemAlloc(sizeof(uint16_t) * h));
        auto* v = static_cast<double*>(MemAlloc(sizeof(double) * h));
        if (t == nullptr || s == nullptr || v == nullptr) {
            MemFree(t);
            MemFree(s);
            MemFree(v);
            *times = nullptr;
            *statuses = nullptr;
            *values = nullptr;
            return -1;
        }
        for (uint32_t i = 0; i < h; ++i) {
            const HistoryRecord record =
                ReadHistoryRecord(reply.payload + kCountSize + kHistoryRecordSize * i);
            t[i] = WireToOleDate(record.time);
            s[i] = record.status;
            v[i] = static_cast<double>(record.value);
        }
        *times = t;
        *statuses = s;
        *values = v;
        return static_cast<int32_t>(h);
    });
}

}  // namespace tarvik
