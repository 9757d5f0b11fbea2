// Writes history records of an item and reads them back, as stored records
// and as evenly spread samples. The server keeps whole seconds; the library
// converts times through the machine's local time zone.
//
//   history [HOST PORT [ITEM]]      default 127.0.0.1 4000 FIC101.TOTAL
//
// Exit code 0 when the three records read back.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tarvik/tarvik.hpp"

namespace {

// "HH:MM:SS" local time.
std::string TimeOfDay(std::chrono::system_clock::time_point t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    using std::chrono::minutes;
    const std::string host = argc > 1 ? argv[1] : "127.0.0.1";
    const int port = argc > 2 ? std::atoi(argv[2]) : 4000;
    const std::string item = argc > 3 ? argv[3] : "FIC101.TOTAL";
    try {
        tarvik::Client client;
        client.connectRemote(host, port);

        // Three records a minute apart, ending a minute ago, in whole
        // seconds; the status word is the application's own.
        const auto now =
            std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
        client.writeHistory(
            item,
            {{now - minutes(3), 0, 1.5}, {now - minutes(2), 192, 2.5}, {now - minutes(1), 0, 3.5}});

        const std::vector<tarvik::HistorySample> records =
            client.history(item, now - minutes(10), now);
        for (const tarvik::HistorySample& r : records) {
            std::printf("%s  status %u  value %g\n", TimeOfDay(r.time).c_str(),
                        static_cast<unsigned>(r.status), r.value);
        }
        std::printf("%zu records\n", records.size());

        // Five samples from the first record to the last: each the value of
        // the last record at or before its time.
        const std::vector<double> samples =
            client.sampledHistory(item, now - minutes(3), now - minutes(1), 5);
        for (size_t k = 0; k < samples.size(); ++k) {
            std::printf("sample %zu: %g\n", k, samples[k]);
        }
        return records.size() == 3 ? 0 : 1;
    } catch (const tarvik::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
