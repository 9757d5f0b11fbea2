// The point database of the development server: point types with their
// numbered fields, points with their current values, the built-in demo plant,
// loading from a JSON file, value conversion to a field's type, and the
// directory body that a successful login carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "tarvik/tarvik.h"

namespace tarvik {
namespace sim {

// A value held by the server: a tag (VAL_NONE, VAL_LONG, VAL_DOUBLE or
// VAL_STRING) and the matching part. Texts hold at most 63 characters.
struct SimValue {
    uint8_t type = VAL_NONE;
    int32_t l = 0;
    double d = 0.0;
    std::string s;

    static SimValue Long(int32_t v);
    static SimValue Double(double v);
    static SimValue Text(const std::string& v);
    bool operator==(const SimValue& o) const;
    bool operator!=(const SimValue& o) const { return !(*this == o); }
    // The value as a number (a text is read as the C library's atof does).
    double AsNumber() const;
    std::string ToString() const;
};

constexpr size_t kMaxText = 63;
constexpr size_t kMaxPointName = 19;
constexpr size_t kMaxFieldName = 11;

struct FieldInfo {
    std::string name;
    uint8_t fieldNo = 0;
    uint8_t valueType = VAL_DOUBLE;  // VAL_LONG, VAL_DOUBLE or VAL_STRING
    bool simulate = false;           // takes part in the random walk
    double min = 0.0;                // range of the random walk, used when max > min
    double max = 0.0;
    SimValue initial;  // converted to valueType when a point is added
};

struct TypeInfo {
    int32_t typeId = 0;
    std::string name;
    std::vector<FieldInfo> fields;  // in directory order

    // Position of the field with this number or name (case-insensitive); -1.
    int FieldByNo(uint32_t fieldNo) const;
    int FieldByName(const std::string& name) const;
};

struct PointInfo {
    std::string name;
    int32_t typeId = 0;
    int32_t aux = 0;
    int typeIndex = -1;              // position in Database::types
    std::vector<SimValue> values;    // per field position of the type
    std::vector<uint64_t> versions;  // advanced at every change of the value
};

class Database {
  public:
    // A few dozen points: tanks, pumps, valves, flow meters, temperatures.
    static Database DemoPlant();
    // Reads the JSON format described in the README; false with a message.
    static bool ParseJson(const std::string& text, Database* out, std::string* error);
    static bool LoadJsonFile(const std::string& path, Database* out, std::string* error);

    // Checks names, numbers and types; false with a message and no change.
    bool AddType(const TypeInfo& type, std::string* error);
    // The point's values start as its fields' initial values.
    bool AddPoint(const std::string& name, int32_t typeId, int32_t aux, std::string* error);

    int TypeIndex(int32_t typeId) const;
    // Case-insensitive; -1 when unknown.
    int PointIndex(const std::string& name) const;
    const TypeInfo& TypeOf(int point) const { return types[points[point].typeIndex]; }

    std::vector<TypeInfo> types;
    std::vector<PointInfo> points;

  private:
    // Upper-case name -> position, so that a file of half a million points
    // loads in seconds; rebuilt when `points` changed behind AddPoint's back.
    mutable std::unordered_map<std::string, int> byName_;
};

// The value converted to a field's value type, the way the server stores a
// write: to a long by floor(v + 0.5) (saturated, NaN gives 0) or by reading a
// text's leading digits; to a double exactly or by reading a text; to a text
// with "%d" or "%f". Anything else gives 0, 0.0 or the empty text.
SimValue ConvertValue(const SimValue& v, uint8_t valueType);
// A received VarValue as a SimValue (texts cut at 63 characters).
SimValue FromVarValue(const VarValue& v);
// Appends the value record of v (L = 4, 8, or text length + 1).
void AppendValueRecord(const SimValue& v, std::vector<uint8_t>* out);

// The body of the login reply for the points `visible` (indexes into
// db.points, in the order the client will number them):
//   int32 L, int16 N, N type blocks, `gap` zero bytes, int32 d at L + 9,
//   d point records of 28 bytes.
std::vector<uint8_t> EncodeDirectory(const Database& db, const std::vector<int>& visible,
                                     int32_t gap);

// Case-insensitive ASCII comparison.
bool SameName(const std::string& a, const std::string& b);

}  // namespace sim
}  // namespace tarvik
