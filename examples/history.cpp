// Writes history records of an item and reads them back, as stored records
// and as evenly spread samples. History times are OLE dates: days since
// 1899-12-30 00:00 in local time, the fraction being the time of day; the
// server keeps whole seconds.
//
//   history [HOST PORT [ITEM]]      default 127.0.0.1 4000 FIC101.TOTAL
//
// Exit code 0 when the records read back.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "tarvik/tarvik.h"

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
int32_t g_state = CONN_CLOSED;

void TARVIK_CALL OnState(ITarvikClient*, TarvikUserData, int32_t newState) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state = newState;
    g_changed.notify_all();
}

bool WaitReady(std::chrono::seconds timeout) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_changed.wait_for(lock, timeout, [] {
        return g_state == CONN_READY || g_state == CONN_REFUSED || g_state == CONN_REJECTED;
    });
    return g_state == CONN_READY;
}

// Days since 1970-01-01 of a date of the Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// The OLE date of a time: its local calendar time, counted from 1899-12-30.
double OleDate(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    const int64_t days = DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    const double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec;
    return static_cast<double>(days + 25569) + seconds / 86400.0;
}

// "HH:MM:SS" of an OLE date's time of day.
std::string TimeOfDay(double date) {
    const int64_t seconds =
        static_cast<int64_t>((date - static_cast<int64_t>(date)) * 86400.0 + 0.5);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? std::atoi(argv[2]) : 4000;
    const std::string item = argc > 3 ? argv[3] : "FIC101.TOTAL";

    ITarvikClient* client = TarvikCreateClient(0);
    if (client == nullptr) {
        return 1;
    }
    client->SetStateCallback(OnState);
    client->ConnectRemote(port, host, nullptr, 0);
    if (!WaitReady(std::chrono::seconds(10))) {
        std::fprintf(stderr, "no ready session with %s:%d\n", host, port);
        TarvikDestroyClient(client);
        return 1;
    }
    char name[TARVIK_ITEM_NAME] = {};
    std::strncpy(name, item.c_str(), sizeof name - 1);
    int32_t point = -1, field = -1;
    client->ResolveItemNames(1, name, &point, &field);
    if (point < 0 || field < 0) {
        std::fprintf(stderr, "unknown item %s\n", item.c_str());
        TarvikDestroyClient(client);
        return 1;
    }
    const uint32_t p = static_cast<uint32_t>(point), f = static_cast<uint32_t>(field);

    // Three records, a minute apart, ending a minute ago; the status word is
    // the application's own and passes through unchanged.
    const std::time_t now = std::time(nullptr);
    const double times[3] = {OleDate(now - 180), OleDate(now - 120), OleDate(now - 60)};
    const uint16_t statuses[3] = {0, 192, 0};
    const double values[3] = {1.5, 2.5, 3.5};
    if (client->WriteHistory(p, f, 3, times, statuses, values) != 3) {
        std::fprintf(stderr, "the history write failed\n");
        TarvikDestroyClient(client);
        return 1;
    }

    // The stored records: three arrays from the library's allocator, ours to
    // free (all null when there are none).
    double* recordTimes = nullptr;
    uint16_t* recordStatuses = nullptr;
    double* recordValues = nullptr;
    const int32_t count = client->ReadHistoryRaw(OleDate(now - 600), OleDate(now), p, f,
                                                 &recordTimes, &recordStatuses, &recordValues);
    for (int32_t i = 0; i < count; ++i) {
        std::printf("%s  status %u  value %g\n", TimeOfDay(recordTimes[i]).c_str(),
                    static_cast<unsigned>(recordStatuses[i]), recordValues[i]);
    }
    std::printf("%d records\n", static_cast<int>(count));
    TarvikFree(recordTimes);
    TarvikFree(recordStatuses);
    TarvikFree(recordValues);

    // Five samples from the first record to the last: each the value of the
    // last record at or before its time.
    double samples[5] = {};
    if (client->ReadHistory(times[0], times[2], 5, 1, &p, &f, samples) == 1) {
        for (int k = 0; k < 5; ++k) {
            std::printf("sample %d: %g\n", k, samples[k]);
        }
    }
    TarvikDestroyClient(client);
    return count == 3 ? 0 : 1;
}
