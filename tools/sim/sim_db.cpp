// The point database: demo plant, JSON loading, conversions and the directory
// body.
#include "sim/sim_db.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "session/message.h"
#include "session/payloads.h"
#include "session/value_record.h"

namespace tarvik {
namespace sim {

// ---- SimValue -----------------------------------------------------------------

SimValue SimValue::Long(int32_t v) {
    SimValue r;
    r.type = VAL_LONG;
    r.l = v;
    return r;
}

SimValue SimValue::Double(double v) {
    SimValue r;
    r.type = VAL_DOUBLE;
    r.d = v;
    return r;
}

SimValue SimValue::Text(const std::string& v) {
    SimValue r;
    r.type = VAL_STRING;
    r.s = v.substr(0, std::min(v.size(), kMaxText));
    const size_t zero = r.s.find('\0');
    if (zero != std::string::npos) {
        r.s.resize(zero);
    }
    return r;
}

bool SimValue::operator==(const SimValue& o) const {
    if (type != o.type) {
        return false;
    }
    switch (type) {
        case VAL_LONG:
            return l == o.l;
        case VAL_DOUBLE:
            return d == o.d || (std::isnan(d) && std::isnan(o.d));
        case VAL_STRING:
            return s == o.s;
        default:
            return true;
    }
}

double SimValue::AsNumber() const {
    switch (type) {
        case VAL_LONG:
            return l;
        case VAL_DOUBLE:
            return d;
        case VAL_STRING:
            return std::strtod(s.c_str(), nullptr);
        default:
            return 0.0;
    }
}

std::string SimValue::ToString() const {
    char buf[64];
    switch (type) {
        case VAL_LONG:
            std::snprintf(buf, sizeof buf, "%d", static_cast<int>(l));
            return buf;
        case VAL_DOUBLE:
            std::snprintf(buf, sizeof buf, "%g", d);
            return buf;
        case VAL_STRING:
            return "\"" + s + "\"";
        default:
            return "(none)";
    }
}

// ---- Conversion ---------------------------------------------------------------

namespace {

int32_t SaturateToLong(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    if (v >= 2147483647.0) {
        return INT32_MAX;
    }
    if (v <= -2147483648.0) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(v);
}

// atol without its undefined behaviour on overflow: leading blanks, a sign,
// digits; saturated to the int32 range.
int32_t TextToLong(const std::string& s) {
    errno = 0;
    const long long v = std::strtoll(s.c_str(), nullptr, 10);
    if (v > INT32_MAX) {
        return INT32_MAX;
    }
    if (v < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(v);
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buf[64];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    buf[63] = '\0';
    return buf;
}

}  // namespace

SimValue ConvertValue(const SimValue& v, uint8_t valueType) {
    switch (valueType) {
        case VAL_LONG:
            switch (v.type) {
                case VAL_LONG:
                    return v;
                case VAL_DOUBLE:
                    return SimValue::Long(SaturateToLong(std::floor(v.d + 0.5)));
                case VAL_STRING:
                    return SimValue::Long(TextToLong(v.s));
                default:
                    return SimValue::Long(0);
            }
        case VAL_DOUBLE:
            switch (v.type) {
                case VAL_LONG:
                    return SimValue::Double(v.l);
                case VAL_DOUBLE:
                    return v;
                case VAL_STRING:
                    return SimValue::Double(std::strtod(v.s.c_str(), nullptr));
                default:
                    return SimValue::Double(0.0);
            }
        case VAL_STRING:
            switch (v.type) {
                case VAL_LONG:
                    return SimValue::Text(Format("%d", static_cast<int>(v.l)));
                case VAL_DOUBLE:
                    return SimValue::Text(Format("%f", v.d));
                case VAL_STRING:
                    return SimValue::Text(v.s);
                default:
                    return SimValue::Text("");
            }
        default:
            return SimValue();
    }
}

SimValue FromVarValue(const VarValue& v) {
    switch (v.tag) {
        case VAL_LONG:
            return SimValue::Long(v.u.lVal);
        case VAL_DOUBLE:
            return SimValue::Double(v.u.dblVal);
        case VAL_STRING:
            if (v.u.strVal == nullptr) {
                return SimValue::Text("");
            }
            return SimValue::Text(std::string(v.u.strVal, strnlen(v.u.strVal, kMaxText)));
        default:
            return SimValue();
    }
}

void AppendValueRecord(const SimValue& v, std::vector<uint8_t>* out) {
    uint8_t rec[kMaxValueRecord];
    size_t n = 0;
    switch (v.type) {
        case VAL_LONG:
            n = EncodeLongRecord(v.l, rec);
            break;
        case VAL_DOUBLE:
            n = EncodeDoubleRecord(v.d, rec);
            break;
        case VAL_STRING:
            n = EncodeTextRecord(v.s.c_str(), std::min(v.s.size(), kMaxText), rec);
            break;
        default:
            rec[0] = VAL_NONE;
            n = 1;
            break;
    }
    out->insert(out->end(), rec, rec + n);
}

bool SameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// ---- Types and points ---------------------------------------------------------

int TypeInfo::FieldByNo(uint32_t fieldNo) const {
    for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].fieldNo == fieldNo) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int TypeInfo::FieldByName(const std::string& n) const {
    for (size_t i = 0; i < fields.size(); ++i) {
        if (SameName(fields[i].name, n)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int Database::TypeIndex(int32_t typeId) const {
    for (size_t i = 0; i < types.size(); ++i) {
        if (types[i].typeId == typeId) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

namespace {

std::string UpperName(std::string name) {
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
}

}  // namespace

int Database::PointIndex(const std::string& name) const {
    if (byName_.size() != points.size()) {
        byName_.clear();
        for (size_t i = 0; i < points.size(); ++i) {
            byName_.emplace(UpperName(points[i].name), static_cast<int>(i));
        }
    }
    const auto it = byName_.find(UpperName(name));
    return it != byName_.end() && SameName(points[it->second].name, name) ? it->second : -1;
}

namespace {

bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr) {
        *error = text;
    }
    return false;
}

bool PrintableName(const std::string& name, size_t maxLength) {
    if (name.empty() || name.size() > maxLength) {
        return false;
    }
    for (char c : name) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '.' || c == 0x7f) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool Database::AddType(const TypeInfo& type, std::string* error) {
    if (TypeIndex(type.typeId) >= 0) {
        return Fail(error, "type id " + std::to_string(type.typeId) + " is defined twice");
    }
    if (types.size() >= 32767) {
        return Fail(error, "too many point types");
    }
    for (size_t i = 0; i < type.fields.size(); ++i) {
        const FieldInfo& f = type.fields[i];
        if (!PrintableName(f.name, kMaxFieldName)) {
            return Fail(error, "field name \"" + f.name + "\" of type " +
                                   std::to_string(type.typeId) +
                                   " must have 1 to 11 characters, no blanks or dots");
        }
        if (f.valueType != VAL_LONG && f.valueType != VAL_DOUBLE && f.valueType != VAL_STRING) {
            return Fail(error, "field " + f.name + ": value type must be long, double or text");
        }
        for (size_t j = 0; j < i; ++j) {
            if (type.fields[j].fieldNo == f.fieldNo) {
                return Fail(error, "field number " + std::to_string(f.fieldNo) +
                                       " is used twice in type " + std::to_string(type.typeId));
            }
            if (SameName(type.fields[j].name, f.name)) {
                return Fail(error, "field " + f.name + " is defined twice in type " +
                                       std::to_string(type.typeId));
            }
        }
    }
    TypeInfo copy = type;
    for (FieldInfo& f : copy.fields) {
        f.initial = ConvertValue(f.initial, f.valueType);
    }
    types.push_back(std::move(copy));
    return true;
}

bool Database::AddPoint(const std::string& name, int32_t typeId, int32_t aux, std::string* error) {
    if (!PrintableName(name, kMaxPointName)) {
        return Fail(error,
                    "point name \"" + name + "\" must have 1 to 19 characters, no blanks or dots");
    }
    if (PointIndex(name) >= 0) {
        return Fail(error, "point " + name + " is defined twice");
    }
    const int t = TypeIndex(typeId);
    if (t < 0) {
        return Fail(error, "point " + name + ": unknown type " + std::to_string(typeId));
    }
    if (points.size() >= 0xFFFFFF) {
        return Fail(error, "too many points");
    }
    PointInfo p;
    p.name = name;
    p.typeId = typeId;
    p.aux = aux;
    p.typeIndex = t;
    for (const FieldInfo& f : types[t].fields) {
        p.values.push_back(f.initial);
        p.versions.push_back(0);
    }
    byName_.emplace(UpperName(p.name), static_cast<int>(points.size()));
    points.push_back(std::move(p));
    return true;
}

// ---- Demo plant ---------------------------------------------------------------

namespace {

FieldInfo Field(const char* name, uint8_t no, uint8_t type, SimValue initial, bool simulate = false,
                double min = 0.0, double max = 0.0) {
    FieldInfo f;
    f.name = name;
    f.fieldNo = no;
    f.valueType = type;
    f.initial = std::move(initial);
    f.simulate = simulate;
    f.min = min;
    f.max = max;
    return f;
}

}  // namespace

Database Database::DemoPlant() {
    Database db;
    TypeInfo tank{1, "TANK", {}};
    tank.fields = {Field("PV", 0, VAL_DOUBLE, SimValue::Double(50.0), true, 0.0, 100.0),
                   Field("SP", 1, VAL_DOUBLE, SimValue::Double(50.0)),
                   Field("HI", 2, VAL_DOUBLE, SimValue::Double(90.0)),
                   Field("LO", 3, VAL_DOUBLE, SimValue::Double(10.0)),
                   Field("STATE", 4, VAL_STRING, SimValue::Text("NORMAL"))};
    TypeInfo pump{2, "PUMP", {}};
    pump.fields = {Field("RUN", 0, VAL_LONG, SimValue::Long(1)),
                   Field("SPEED", 1, VAL_DOUBLE, SimValue::Double(1450.0), true, 0.0, 3000.0)};
    TypeInfo valve{3, "VALVE", {}};
    valve.fields = {Field("POS", 0, VAL_DOUBLE, SimValue::Double(40.0), true, 0.0, 100.0),
                    Field("MODE", 1, VAL_STRING, SimValue::Text("AUTO"))};
    TypeInfo flow{4, "FLOW", {}};
    flow.fields = {Field("PV", 0, VAL_DOUBLE, SimValue::Double(120.0), true, 0.0, 500.0),
                   Field("TOTAL", 1, VAL_DOUBLE, SimValue::Double(0.0))};
    // Field numbers with gaps, and a long field at number 255.
    TypeInfo temp{5, "TEMP", {}};
    temp.fields = {Field("PV", 0, VAL_DOUBLE, SimValue::Double(21.5), true, -20.0, 150.0),
                   Field("UNIT", 10, VAL_STRING, SimValue::Text("degC")),
                   Field("ALARM", 255, VAL_LONG, SimValue::Long(0))};
    for (const TypeInfo* t : {&tank, &pump, &valve, &flow, &temp}) {
        db.AddType(*t, nullptr);
    }
    char name[32];
    for (int i = 1; i <= 8; ++i) {
        std::snprintf(name, sizeof name, "TANK%d", 100 + i);
        db.AddPoint(name, 1, 1, nullptr);
        std::snprintf(name, sizeof name, "PUMP%d", 100 + i);
        db.AddPoint(name, 2, 1, nullptr);
    }
    for (int i = 1; i <= 10; ++i) {
        std::snprintf(name, sizeof name, "VALVE%d", 100 + i);
        db.AddPoint(name, 3, 2, nullptr);
    }
    for (int i = 1; i <= 6; ++i) {
        std::snprintf(name, sizeof name, "FIC%d", 100 + i);
        db.AddPoint(name, 4, 2, nullptr);
    }
    for (int i = 1; i <= 4; ++i) {
        std::snprintf(name, sizeof name, "TI%d", 100 + i);
        db.AddPoint(name, 5, 3, nullptr);
    }
    return db;
}

// ---- JSON ---------------------------------------------------------------------

namespace {

using nlohmann::json;

bool ReadValueType(const json& j, uint8_t* out) {
    if (j.is_number_integer()) {
        const int v = j.get<int>();
        if (v == VAL_LONG || v == VAL_DOUBLE || v == VAL_STRING) {
            *out = static_cast<uint8_t>(v);
            return true;
        }
        return false;
    }
    if (!j.is_string()) {
        return false;
    }
    const std::string s = j.get<std::string>();
    if (SameName(s, "long") || SameName(s, "int")) {
        *out = VAL_LONG;
    } else if (SameName(s, "double")) {
        *out = VAL_DOUBLE;
    } else if (SameName(s, "text") || SameName(s, "string")) {
        *out = VAL_STRING;
    } else {
        return false;
    }
    return true;
}

// A JSON value as a SimValue: numbers (integers as longs), texts, booleans.
bool ReadValue(const json& j, SimValue* out) {
    if (j.is_number_integer()) {
        const long long v = j.get<long long>();
        if (v < INT32_MIN || v > INT32_MAX) {
            *out = SimValue::Double(static_cast<double>(v));
        } else {
            *out = SimValue::Long(static_cast<int32_t>(v));
        }
    } else if (j.is_number()) {
        *out = SimValue::Double(j.get<double>());
    } else if (j.is_string()) {
        *out = SimValue::Text(j.get<std::string>());
    } else if (j.is_boolean()) {
        *out = SimValue::Long(j.get<bool>() ? 1 : 0);
    } else if (j.is_null()) {
        *out = SimValue();
    } else {
        return false;
    }
    return true;
}

bool ParseDoc(const json& doc, Database* db, std::string* error) {
    if (!doc.is_object() || !doc.contains("types") || !doc["types"].is_array()) {
        return Fail(error, "the file needs an object with an array \"types\"");
    }
    for (const json& jt : doc["types"]) {
        if (!jt.is_object() || !jt.contains("id") || !jt["id"].is_number_integer()) {
            return Fail(error, "every type needs an integer \"id\"");
        }
        TypeInfo t;
        const long long id = jt["id"].get<long long>();
        if (id < INT32_MIN || id > INT32_MAX) {
            return Fail(error, "type id out of range");
        }
        t.typeId = static_cast<int32_t>(id);
        t.name = jt.value("name", std::string());
        if (!jt.contains("fields") || !jt["fields"].is_array()) {
            return Fail(error, "type " + std::to_string(t.typeId) + " needs an array \"fields\"");
        }
        int position = 0;
        for (const json& jf : jt["fields"]) {
            if (!jf.is_object() || !jf.contains("name") || !jf["name"].is_string()) {
                return Fail(error, "every field needs a \"name\"");
            }
            FieldInfo f;
            f.name = jf["name"].get<std::string>();
            const long long no = jf.value("no", static_cast<long long>(position));
            if (no < 0 || no > 255) {
                return Fail(error, "field " + f.name + ": \"no\" must be 0 to 255");
            }
            f.fieldNo = static_cast<uint8_t>(no);
            if (!jf.contains("type") || !ReadValueType(jf["type"], &f.valueType)) {
                return Fail(error, "field " + f.name + ": \"type\" must be long, double or text");
            }
            if (jf.contains("initial") && !ReadValue(jf["initial"], &f.initial)) {
                return Fail(error, "field " + f.name + ": bad \"initial\"");
            }
            f.simulate = jf.value("simulate", false);
            f.min = jf.value("min", 0.0);
            f.max = jf.value("max", 0.0);
            t.fields.push_back(std::move(f));
            ++position;
        }
        if (!db->AddType(t, error)) {
            return false;
        }
    }
    if (doc.contains("points")) {
        if (!doc["points"].is_array()) {
            return Fail(error, "\"points\" must be an array");
        }
        for (const json& jp : doc["points"]) {
            if (!jp.is_object() || !jp.contains("name") || !jp["name"].is_string() ||
                !jp.contains("type")) {
                return Fail(error, "every point needs a \"name\" and a \"type\"");
            }
            const std::string name = jp["name"].get<std::string>();
            int32_t typeId = 0;
            const json& jtype = jp["type"];
            if (jtype.is_number_integer()) {
                typeId = static_cast<int32_t>(jtype.get<long long>());
            } else if (jtype.is_string()) {
                bool found = false;
                for (const TypeInfo& t : db->types) {
                    if (!t.name.empty() && SameName(t.name, jtype.get<std::string>())) {
                        typeId = t.typeId;
                        found = true;
                        break;
                    }
                }
                if (!found) {
                    return Fail(error,
                                "point " + name + ": unknown type " + jtype.get<std::string>());
                }
            } else {
                return Fail(error, "point " + name + ": \"type\" must be an id or a type name");
            }
            const long long aux = jp.value("aux", 0LL);
            if (!db->AddPoint(name, typeId, static_cast<int32_t>(aux), error)) {
                return false;
            }
            if (jp.contains("values")) {
                if (!jp["values"].is_object()) {
                    return Fail(error, "point " + name + ": \"values\" must be an object");
                }
                PointInfo& p = db->points.back();
                const TypeInfo& t = db->types[p.typeIndex];
                for (auto it = jp["values"].begin(); it != jp["values"].end(); ++it) {
                    const int f = t.FieldByName(it.key());
                    SimValue v;
                    if (f < 0 || !ReadValue(it.value(), &v)) {
                        return Fail(error, "point " + name + ": bad value for " + it.key());
                    }
                    p.values[f] = ConvertValue(v, t.fields[f].valueType);
                }
            }
        }
    }
    return true;
}

// "line L, column C: what is wrong" for a JSON syntax error; the column counts
// characters (UTF-8 sequences), tabs as one.
std::string SyntaxError(const std::string& text, const json::parse_error& e) {
    const size_t end = std::min<size_t>(e.byte > 0 ? e.byte - 1 : 0, text.size());
    size_t line = 1;
    size_t column = 1;
    for (size_t i = 0; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++line;
            column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++column;
        }
    }
    // The parser's own words come after its "parse error at ...: " head.
    std::string what = e.what();
    const size_t colon = what.find(": ");
    if (colon != std::string::npos) {
        what = what.substr(colon + 2);
    }
    return "not valid JSON: line " + std::to_string(line) + ", column " + std::to_string(column) +
           ": " + what;
}

}  // namespace

bool Database::ParseJson(const std::string& text, Database* out, std::string* error) {
    try {
        json doc;
        try {
            doc = json::parse(text);
        } catch (const json::parse_error& e) {
            return Fail(error, SyntaxError(text, e));
        }
        Database db;
        if (!ParseDoc(doc, &db, error)) {
            return false;
        }
        *out = std::move(db);
        return true;
    } catch (const std::exception& e) {
        return Fail(error, e.what());
    }
}

bool Database::LoadJsonFile(const std::string& path, Database* out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int why = errno;
        return Fail(error, "cannot open " + path +
                               (why != 0 ? ": " + std::string(std::strerror(why)) : ""));
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!ParseJson(text.str(), out, error)) {
        if (error != nullptr) {
            *error = path + ": " + *error;
        }
        return false;
    }
    return true;
}

// ---- Directory body -----------------------------------------------------------

std::vector<uint8_t> EncodeDirectory(const Database& db, const std::vector<int>& visible,
                                     int32_t gap) {
    if (gap < 0) {
        gap = 0;
    }
    std::vector<uint8_t> body(dir::kTypesOffset);
    for (const TypeInfo& t : db.types) {
        size_t at = body.size();
        body.resize(at + dir::kTypeHeaderSize + dir::kFieldDefSize * t.fields.size());
        dir::WriteTypeHeader(body.data() + at, t.typeId, static_cast<int32_t>(t.fields.size()));
        at += dir::kTypeHeaderSize;
        for (const FieldInfo& f : t.fields) {
            dir::WriteFieldDef(body.data() + at, f.valueType, f.name.data(), f.name.size(),
                               f.fieldNo);
            at += dir::kFieldDefSize;
        }
    }
    body.insert(body.end(), static_cast<size_t>(gap), 0);
    // L is chosen so that the point count stands right here.
    const int64_t countAt = static_cast<int64_t>(body.size());
    dir::WriteHead(body.data(), static_cast<int32_t>(countAt - dir::kCountBias),
                   static_cast<int16_t>(db.types.size()));
    body.resize(body.size() + kCountSize + dir::kPointSize * visible.size());
    StoreI32(body.data() + countAt, static_cast<int32_t>(visible.size()));
    uint8_t* record = body.data() + countAt + kCountSize;
    for (int index : visible) {
        const PointInfo& p = db.points[index];
        dir::WritePoint(record, p.aux, p.typeId, p.name.data(), p.name.size());
        record += dir::kPointSize;
    }
    return body;
}

}  // namespace sim
}  // namespace tarvik
