// tarvik-sim: the development server as a program. Serves the demo plant or a
// database file over TCP and, with --local, over the local window transport,
// until SIGINT or SIGTERM (on Windows: Ctrl-C, Ctrl-Break, closing the console,
// logoff or shutdown).
#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "platform/platform.h"
#include "sim/sim_server.h"
#include "tarvik/tarvik_version.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

std::atomic<bool> g_stop{false};

#if defined(_WIN32)
// Runs on a thread of its own: the main loop sees the flag and stops the
// server. The system ends the process once the handler returns from a close,
// logoff or shutdown event, so the handler waits for the main loop there.
std::atomic<bool> g_stopped{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    g_stop = true;
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        for (int i = 0; i < 100 && !g_stopped; ++i) {
            tarvik::plat::SleepMs(50);
        }
    }
    return TRUE;
}

void CatchStopRequests() {
    ::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

void ReportStopped() {
    g_stopped = true;
}
#else
void OnSignal(int) {
    g_stop = true;
}

void CatchStopRequests() {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
}

void ReportStopped() {}
#endif

}  // namespace

int main(int argc, char** argv) {
    using tarvik::sim::CSimServer;
    using tarvik::sim::Database;
    using tarvik::sim::ServerOptions;

    CLI::App app{"tarvik-sim: development server for the Tarvik client library", "tarvik-sim"};
    app.set_version_flag("--version", "tarvik-sim " TARVIK_VERSION_STRING,
                         "print the version and exit");
    app.footer(
        "Prints \"listening on port N\" (and with --local \"registered as \"db\", window W\")\n"
        "and serves until SIGINT or SIGTERM. Exit codes: 0 stopped, 1 usage or a database\n"
        "file that cannot be used, 2 the server could not start.");
    ServerOptions options;
    int port = 0;
    std::string dbFile;
    std::string namePrefix;
    int simulateMs = 0;
    bool noTcp = false;
    bool verbose = false;
    int gap = 0;
    int faultPercent = 0;
    unsigned faultSeed = 1;
    unsigned maxFaults = 100;
    app.add_option("--port,-p", port, "TCP port to listen on; 0 picks a free one")
        ->check(CLI::Range(0, 65535));
    app.add_option("--bind", options.bindAddress, "IPv4 address to listen on")
        ->capture_default_str();
    app.add_flag("--no-tcp", noTcp, "do not listen on TCP");
    app.add_flag("--local", options.local,
                 "register a window as \"db\" in the shared registry (local transport)");
    app.add_option("--db", dbFile, "load the point database from this JSON file");
    app.add_option("--simulate", simulateMs,
                   "move the simulated fields every MS milliseconds (default 1000)")
        ->expected(0, 1)
        ->default_str("1000")
        ->check(CLI::Range(1, 3600000));
    app.add_option("--seed", options.seed, "seed of the random walk")->capture_default_str();
    app.add_option("--name-prefix", namePrefix,
                   "prefix for the names of shared objects (tests running in parallel)");
    app.add_flag("--server-flag", options.serverFlag,
                 "set param of login and heartbeat replies (the server flag)");
    app.add_option("--gap", gap, "zero bytes before the point count in the directory")
        ->check(CLI::Range(0, 65536));
    app.add_option("--faults", faultPercent,
                   "random faults: percent of replies that meet one (soak tests)")
        ->check(CLI::Range(0, 100));
    app.add_option("--fault-seed", faultSeed, "seed of the random faults");
    app.add_option("--max-faults", maxFaults, "at most this many random faults");
    app.add_flag("--verbose,-v", verbose, "print every received message on stderr");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end with 0, every usage error with 1.
        return app.exit(e) == 0 ? 0 : 1;
    }
    if (noTcp && !options.local) {
        std::cerr << "tarvik-sim: nothing to serve: --no-tcp needs --local (the local "
                     "transport)\n";
        return 1;
    }

    if (app.count("--simulate") > 0 && simulateMs == 0) {
        simulateMs = 1000;
    }
    if (!namePrefix.empty()) {
        tarvik::plat::SetObjectNamePrefix(namePrefix.c_str());
    }
    Database db = Database::DemoPlant();
    if (!dbFile.empty()) {
        std::string error;
        if (!Database::LoadJsonFile(dbFile, &db, &error)) {
            std::cerr << "tarvik-sim: " << error << "\n";
            return 1;
        }
    }
    options.tcp = !noTcp;
    options.port = static_cast<uint16_t>(port);
    options.simulateMs = simulateMs;
    options.directoryGap = gap;
    if (verbose) {
        options.log = [](const std::string& line) { std::cerr << line << "\n"; };
    }

    CatchStopRequests();

    CSimServer server(std::move(db));
    if (faultPercent > 0) {
        server.SetRandomFaults(faultSeed, static_cast<uint32_t>(faultPercent), maxFaults);
    }
    std::string error;
    if (!server.Start(options, &error)) {
        std::cerr << "tarvik-sim: " << error << "\n";
        return 2;
    }
    if (options.tcp) {
        std::printf("listening on port %u\n", static_cast<unsigned>(server.Port()));
    }
    if (options.local) {
        std::printf("registered as \"db\", window %d\n", static_cast<int>(server.Window()));
    }
    std::fflush(stdout);
    while (!g_stop) {
        tarvik::plat::SleepMs(50);
    }
    server.Stop();
    ReportStopped();
    return 0;
}
