// The explorer's view of the point directory: the whole directory as one JSON
// document for the page (fetched once and searched in the browser), and item
// names looked up the way the server spells them.
#ifndef TARVIK_CLI_EXPLORE_DIRECTORY_H
#define TARVIK_CLI_EXPLORE_DIRECTORY_H

#include <cstdint>
#include <string>
#include <vector>

#include "tarvik/tarvik.h"

namespace tarvik_cli {

// The directory as JSON:
//   {"epoch": E, "types": [{"id": 1, "fields": [{"no": 0, "name": "PV", "type": "double"}]}],
//    "points": {"index": [...], "name": [...], "type": [...], "aux": [...]}}
// with the points in directory order as columns (half the size of objects,
// which matters at half a million points). Throws tarvik::Error (NotReady)
// when the client has no directory.
std::string DirectoryJson(ITarvikClient* client, uint64_t epoch);

// An item the directory knows, as the server spells it.
struct KnownItem {
    std::string name;  // POINT.FIELD; empty when the directory has no such item
    uint32_t point = 0;
    uint32_t field = 0;
    int valueType = VAL_NONE;
};

// Looks the names up (case is ignored, POINT means POINT.PV). Throws
// tarvik::Error (NotReady) when the client has no directory.
std::vector<KnownItem> LookUpItems(ITarvikClient* client, const std::vector<std::string>& names);

}  // namespace tarvik_cli

#endif  // TARVIK_CLI_EXPLORE_DIRECTORY_H
