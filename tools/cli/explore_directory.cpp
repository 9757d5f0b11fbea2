#include "explore_directory.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "output.h"
#include "tarvik/tarvik.hpp"

namespace tarvik_cli {

namespace {

[[noreturn]] void NoDirectory(ITarvikClient* client) {
    throw tarvik::Error(tarvik::ErrorCode::NotReady,
                        std::string("the directory is not available: the session is not ready (") +
                            tarvik::stateName(client->GetState()) + ")");
}

std::string Slot(const std::vector<char>& slots, size_t i, size_t width) {
    const char* slot = &slots[i * width];
    return std::string(slot, strnlen(slot, width));
}

}  // namespace

std::string DirectoryJson(ITarvikClient* client, uint64_t epoch) {
    nlohmann::ordered_json doc;
    doc["epoch"] = epoch;

    const int32_t typeCount = client->GetTypeCount();
    if (typeCount < 0) {
        NoDirectory(client);
    }
    std::vector<int32_t> typeIds(static_cast<size_t>(typeCount) + 1);
    std::vector<int32_t> fieldCounts(static_cast<size_t>(typeCount) + 1);
    const int32_t types =
        typeCount > 0 ? client->EnumTypes(typeCount, typeIds.data(), fieldCounts.data()) : 0;
    if (types < 0) {
        NoDirectory(client);
    }
    nlohmann::ordered_json typeList = nlohmann::ordered_json::array();
    for (int32_t t = 0; t < types; ++t) {
        const size_t n = static_cast<size_t>(fieldCounts[static_cast<size_t>(t)]);
        std::vector<int32_t> numbers(n + 1, -1);
        std::vector<int32_t> valueTypes(n + 1, 0);
        std::vector<char> names((n + 1) * TARVIK_FIELD_NAME, '\0');
        if (n > 0 && client->EnumFields(typeIds[static_cast<size_t>(t)], static_cast<int32_t>(n),
                                        numbers.data(), valueTypes.data(), names.data()) < 0) {
            NoDirectory(client);
        }
        nlohmann::ordered_json fields = nlohmann::ordered_json::array();
        for (size_t f = 0; f < n; ++f) {
            if (numbers[f] < 0) {
                continue;
            }
            fields.push_back({{"no", numbers[f]},
                              {"name", Slot(names, f, TARVIK_FIELD_NAME)},
                              {"type", TagName(valueTypes[f])}});
        }
        typeList.push_back(
            {{"id", typeIds[static_cast<size_t>(t)]}, {"fields", std::move(fields)}});
    }
    doc["types"] = std::move(typeList);

    const int32_t pointCount = client->GetPointCount();
    if (pointCount < 0) {
        NoDirectory(client);
    }
    const size_t n = static_cast<size_t>(pointCount);
    std::vector<int32_t> indexes(n + 1), aux(n + 1), typeOf(n + 1);
    std::vector<char> names((n + 1) * TARVIK_POINT_NAME, '\0');
    const int32_t points = pointCount > 0
                               ? client->EnumPoints(pointCount, indexes.data(), names.data(),
                                                    aux.data(), typeOf.data())
                               : 0;
    if (points < 0) {
        NoDirectory(client);
    }
    nlohmann::ordered_json index = nlohmann::ordered_json::array();
    nlohmann::ordered_json name = nlohmann::ordered_json::array();
    nlohmann::ordered_json type = nlohmann::ordered_json::array();
    nlohmann::ordered_json auxWords = nlohmann::ordered_json::array();
    for (size_t i = 0; i < static_cast<size_t>(points); ++i) {
        index.push_back(indexes[i]);
        name.push_back(Slot(names, i, TARVIK_POINT_NAME));
        type.push_back(typeOf[i]);
        auxWords.push_back(aux[i]);
    }
    doc["points"] = {{"index", std::move(index)},
                     {"name", std::move(name)},
                     {"type", std::move(type)},
                     {"aux", std::move(auxWords)}};
    return DumpJson(doc);
}

std::vector<KnownItem> LookUpItems(ITarvikClient* client, const std::vector<std::string>& names) {
    const size_t n = names.size();
    std::vector<KnownItem> items(n);
    if (n == 0) {
        return items;
    }
    // Names that cannot fit a slot are unknown; the others go in one call.
    std::vector<char> slots(n * TARVIK_ITEM_NAME, '\0');
    for (size_t i = 0; i < n; ++i) {
        const std::string& name = names[i];
        if (!name.empty() && name.size() < TARVIK_ITEM_NAME &&
            name.find('\0') == std::string::npos) {
            std::memcpy(&slots[i * TARVIK_ITEM_NAME], name.data(), name.size());
        }
    }
    const int32_t count = static_cast<int32_t>(n);
    std::vector<int32_t> points(n, -1), fields(n, -1), valueTypes(n, 0);
    if (client->ResolveItemNames(count, slots.data(), points.data(), fields.data()) < 0) {
        NoDirectory(client);
    }
    std::vector<char> canonical(n * TARVIK_ITEM_NAME, '\0');
    if (client->FormatItemNames(count, points.data(), fields.data(), canonical.data()) < 0 ||
        client->GetItemTypesByName(count, slots.data(), valueTypes.data()) < 0) {
        NoDirectory(client);
    }
    for (size_t i = 0; i < n; ++i) {
        if (points[i] < 0 || fields[i] < 0) {
            continue;
        }
        items[i].name = Slot(canonical, i, TARVIK_ITEM_NAME);
        items[i].point = static_cast<uint32_t>(points[i]);
        items[i].field = static_cast<uint32_t>(fields[i]);
        items[i].valueType = valueTypes[i];
    }
    return items;
}

}  // namespace tarvik_cli
