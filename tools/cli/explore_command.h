// `tarvik explore`: connects like every other command, serves the explorer's
// page on a loopback address (or, with a random access token, on another),
// prints the address to open and runs until Ctrl-C.
#ifndef TARVIK_CLI_EXPLORE_COMMAND_H
#define TARVIK_CLI_EXPLORE_COMMAND_H

#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "connect.h"

namespace tarvik_cli {

struct ExploreCommand {
    CLI::App* app = nullptr;  // the subcommand: true when it was given
    std::string httpBind = "127.0.0.1";
    int httpPort = 8080;
    bool allowWrite = false;
};

// Adds the command and its options to the tool.
std::shared_ptr<ExploreCommand> AddExploreCommand(CLI::App& tool);

// Runs the explorer until SIGINT or SIGTERM; the tool's exit code.
int RunExplore(const ExploreCommand& command, const Target& target);

}  // namespace tarvik_cli

#endif  // TARVIK_CLI_EXPLORE_COMMAND_H
