// The files of the explorer's page, built into the tool (the page and the
// charting library), so that the tool serves them from a build tree and an
// installation alike.
#ifndef TARVIK_CLI_EXPLORE_ASSETS_H
#define TARVIK_CLI_EXPLORE_ASSETS_H

#include <cstddef>
#include <string>

namespace tarvik_cli {

struct ExploreAsset {
    const char* path;  // "/", "/explore.js", ...
    const char* type;  // its content type
    const unsigned char* data;
    size_t size;
};

// The file served at `path`; null when there is none.
const ExploreAsset* FindExploreAsset(const std::string& path);

}  // namespace tarvik_cli

#endif  // TARVIK_CLI_EXPLORE_ASSETS_H
