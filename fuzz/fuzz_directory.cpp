// Feeds arbitrary bytes to the directory builder as a login reply's body,
// then asks the directory what a client would: counts, listings, look-ups by
// name and number. Nothing may read outside the body or the caller's arrays.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "directory/point_directory.h"

namespace {
using namespace tarvik;

void Query(const CPointDirectory& dir) {
    int32_t idx[8];
    int32_t aux[8];
    int32_t types[8];
    int32_t counts[8];
    char points[8 * 20];
    char fields[8 * 12];
    char items[8 * 32];
    dir.EnumPoints(8, idx, points, aux, types);
    dir.EnumTypes(8, types, counts);
    dir.GetFieldCounts(8, types, counts);
    for (int i = 0; i < 2; ++i) {
        int32_t nos[8];
        int32_t vts[8];
        dir.EnumFields(types[i], 8, nos, vts, fields);
        dir.GetFieldNosByName(types[i], 8, fields, nos);
        dir.GetFieldNamesByNo(types[i], 8, nos, fields);
        dir.GetFieldTypesByNo(types[i], 8, nos, vts);
    }
    dir.GetPointIndexesByName(8, points, idx);
    dir.FormatItemNames(8, idx, counts, items);
    dir.ResolveItemNames(8, items, idx, counts);
    dir.GetItemTypesByName(8, items, counts);
    for (uint32_t p = 0; p < 4; ++p) {
        uint8_t vt = 0;
        dir.IsValidItem(p, p, &vt);
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CPointDirectory dir;
    dir.Build(data, size);
    Query(dir);
    // A second build over the first: replaced whole, or kept whole.
    if (size > 1) {
        dir.Build(data + 1, size - 1);
        Query(dir);
    }
    return 0;
}
