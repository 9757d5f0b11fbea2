#include "explore_command.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "explore_server.h"
#include "tarvik/tarvik.hpp"

namespace tarvik_cli {

namespace {

// SIGINT and SIGTERM write a byte here; the main thread waits for it.
int g_stopPipe[2] = {-1, -1};
volatile sig_atomic_t g_stopRequested = 0;

void OnStopSignal(int) {
    g_stopRequested = 1;
    const char byte = 1;
    const ssize_t ignored = write(g_stopPipe[1], &byte, 1);
    (void)ignored;
    // A second Ctrl-C ends the program at once.
    signal(SIGINT, SIG_DFL);
}

bool CatchStopSignals() {
    if (pipe(g_stopPipe) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return true;
}

void WaitForStopSignal() {
    char byte = 0;
    while (!g_stopRequested && read(g_stopPipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
}

// Connects as the other commands do: waits up to the time-out for the ready
// session and says why there is none. Ctrl-C ends the wait.
int Connect(tarvik::Client& client, const Target& target) {
    ITarvikClient* raw = client.get();
    if (!StartConnect(raw, target)) {
        std::fprintf(stderr, "tarvik: the client could not start%s\n", Reason(raw).c_str());
        return kExitClient;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(target.timeoutMs);
    int32_t state = raw->GetState();
    while (!g_stopRequested) {
        if (client.waitReady(std::chrono::milliseconds(50))) {
            return kExitOk;
        }
        state = raw->GetState();
        if (state == CONN_NO_SERVER || state == CONN_REFUSED || state == CONN_REJECTED ||
            std::chrono::steady_clock::now() >= deadline) {
            break;
        }
    }
    if (g_stopRequested) {
        std::fprintf(stderr, "tarvik: interrupted while connecting to %s\n",
                     target.Where().c_str());
        return kExitNoServer;
    }
    if (state == CONN_REFUSED || state == CONN_REJECTED) {
        std::fprintf(stderr, "tarvik: the server refused the login (%s)\n",
                     tarvik::stateName(state));
        return kExitRefused;
    }
    if (state == CONN_NO_SERVER) {
        std::fprintf(stderr, "tarvik: no server found at %s (CONN_NO_SERVER%s)\n",
                     target.Where().c_str(), Reason(raw).c_str());
    } else {
        std::fprintf(stderr, "tarvik: no server ready at %s within %d ms (state %s%s)\n",
                     target.Where().c_str(), target.timeoutMs, tarvik::stateName(state),
                     Reason(raw).c_str());
    }
    return kExitNoServer;
}

}  // namespace

std::shared_ptr<ExploreCommand> AddExploreCommand(CLI::App& tool) {
    auto command = std::make_shared<ExploreCommand>();
    CLI::App* app =
        tool.add_subcommand("explore", "serve a page to browse points, watch trends and history");
    app->footer(
        "Serves a page on http://127.0.0.1:8080/ (--http-bind, --http-port) and prints the\n"
        "address to open; it opens nothing by itself and runs until Ctrl-C. The page lists\n"
        "types, points and fields, watches values live, plots history and exports CSV.\n"
        "On an address other than loopback it asks for a random token, which is part of\n"
        "the printed address. Writing values is off unless --allow-write; it never\n"
        "writes history.");
    app->add_option("--http-bind", command->httpBind,
                    "address to serve the page on; other than loopback needs the token")
        ->capture_default_str();
    app->add_option("--http-port", command->httpPort, "port of the page; 0 picks a free one")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    app->add_flag("--allow-write", command->allowWrite,
                  "let the page write values (each after a confirmation)");
    command->app = app;
    return command;
}

int RunExplore(const ExploreCommand& command, const Target& target) {
    if (!CatchStopSignals()) {
        std::fprintf(stderr, "tarvik: cannot wait for Ctrl-C: %s\n", std::strerror(errno));
        return kExitClient;
    }
    try {
        tarvik::Client client;
        const int connected = Connect(client, target);
        if (connected != kExitOk) {
            return connected;
        }
        ExploreSettings settings;
        settings.bind = command.httpBind;
        settings.port = command.httpPort;
        settings.allowWrite = command.allowWrite;
        settings.server = target.Where();
        if (!IsLoopbackAddress(command.httpBind)) {
            settings.token = NewToken();
        }
        ExploreServer server(client, settings);
        std::string error;
        if (!server.Start(&error)) {
            std::fprintf(stderr, "tarvik: %s (--http-port 0 picks a free port)\n", error.c_str());
            return kExitUsage;
        }
        std::fprintf(
            stderr, "tarvik explore: connected to %s; writing is %s\n", settings.server.c_str(),
            settings.allowWrite ? "on (--allow-write)" : "off (--allow-write turns it on)");
        if (!settings.token.empty()) {
            std::fprintf(stderr,
                         "tarvik explore: serving on %s for other machines too: the page asks for "
                         "the token in this address\n",
                         command.httpBind.c_str());
        }
        std::fprintf(stderr, "tarvik explore: open this address in a browser (Ctrl-C stops):\n");
        std::fflush(stderr);
        std::printf("%s\n", server.Url().c_str());
        std::fflush(stdout);
        WaitForStopSignal();
        std::fprintf(stderr, "tarvik explore: stopping\n");
        server.Stop();
    } catch (const tarvik::Error& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return kExitClient;
    }
    return kExitOk;
}

}  // namespace tarvik_cli
