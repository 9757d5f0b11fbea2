// tarvik: the command-line tool. A host application of the library through its
// public header only: connects to a server, lists the point directory, reads
// and writes values, watches changes and reads and writes history.
//
// Exit codes: 0 done, 1 usage, 2 unknown item, point or type, 3 no server (or
// the connection was lost), 4 login refused, 5 a request failed or timed out,
// 6 the client could not be created or started, 7 a value refused by `write`
// (not of its field's type), 8 a write not confirmed.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "connect.h"
#include "explore_command.h"
#include "ole_date.h"
#include "output.h"
#include "tarvik/tarvik.hpp"
#include "tarvik/tarvik_version.h"
#include "write_value.h"

namespace tarvik_cli {
namespace {

// A failure of a command: its exit code and what to tell the user.
struct Failure {
    int code;
    std::string message;
};

[[noreturn]] void Fail(int code, const std::string& message) {
    throw Failure{code, message};
}

// ---- Options ------------------------------------------------------------------

struct GlobalOptions : Target {
    bool csv = false;
    bool json = false;

    Format format() const { return json ? Format::kJson : csv ? Format::kCsv : Format::kTable; }
};

// ---- Shared with the callbacks --------------------------------------------------
//
// The library calls back on its notification thread; a process of this tool
// has one client, so the callbacks find their data here.

struct Shared {
    std::mutex mu;
    std::condition_variable cv;
    int32_t state = CONN_CLOSED;
    bool watching = false;
    int32_t lastReported = CONN_READY;  // watch: the last state told to the user

    std::mutex outMu;  // output of the watch lines
    bool printing = false;
    Format format = Format::kTable;
    std::vector<std::string> itemNames;  // by the user value of the subscription
    size_t itemWidth = 0;
    uint64_t printed = 0;  // value lines so far
    uint64_t limit = 0;    // watch --count: stop after this many (0: no limit)
    std::atomic<bool> enough{false};
};

Shared g_shared;
std::atomic<bool> g_interrupted{false};

void OnSignal(int) {
    g_interrupted = true;
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}

void TARVIK_CALL OnState(ITarvikClient* client, TarvikUserData, int32_t newState) {
    try {
        std::lock_guard<std::mutex> lock(g_shared.mu);
        g_shared.state = newState;
        if (g_shared.watching && newState != g_shared.lastReported) {
            if (newState == CONN_READY) {
                std::fprintf(stderr,
                             "tarvik: connected again (CONN_READY); the subscriptions are "
                             "registered again\n");
            } else if (newState == CONN_NO_SERVER && g_shared.lastReported != CONN_READY) {
                std::fprintf(stderr, "tarvik: no server found yet (CONN_NO_SERVER%s); retrying\n",
                             Reason(client).c_str());
            } else if (newState == CONN_BROKEN || newState == CONN_NO_SERVER) {
                std::fprintf(stderr, "tarvik: connection lost (%s%s); reconnecting\n",
                             tarvik::stateName(newState), Reason(client).c_str());
            } else if (newState == CONN_REFUSED || newState == CONN_REJECTED) {
                std::fprintf(stderr, "tarvik: the server refused the client (%s)\n",
                             tarvik::stateName(newState));
            }
            std::fflush(stderr);
            if (newState == CONN_READY || newState == CONN_BROKEN || newState == CONN_NO_SERVER ||
                newState == CONN_REFUSED || newState == CONN_REJECTED) {
                g_shared.lastReported = newState;
            }
        }
        g_shared.cv.notify_all();
    } catch (...) {
        // Nothing may cross back into the library.
    }
}

// A time cell: local time for the table and CSV, ISO 8601 with the offset
// for JSON; milliseconds when withMs.
Cell TimeCell(double ole, bool withMs) {
    return Cell(FormatOle(ole, withMs), FormatOleIso(ole, withMs));
}

// The time now as a cell, to the millisecond.
Cell NowCell() {
    double ole = 0;
    if (!tarvik::UnixMsToOleDate(NowUnixMs(), kLocalTime, &ole)) {
        return Cell("?", nullptr);
    }
    return TimeCell(ole, true);
}

void PrintWatchLine(const Cell& time, const std::string& item, const Cell& value) {
    switch (g_shared.format) {
        case Format::kJson: {
            nlohmann::ordered_json line = {{"time", nlohmann::ordered_json(time.json)},
                                           {"item", item},
                                           {"value", nlohmann::ordered_json(value.json)}};
            std::printf("%s\n", DumpJson(line).c_str());
            break;
        }
        case Format::kCsv:
            std::printf("%s,%s,%s\n", CsvField(time.text).c_str(), CsvField(item).c_str(),
                        CsvField(value.text).c_str());
            break;
        case Format::kTable:
            std::printf("%s  %s  %s\n", time.text.c_str(),
                        PadRight(item, g_shared.itemWidth).c_str(), value.text.c_str());
            break;
    }
    // Under outMu, as every caller holds it.
    ++g_shared.printed;
    if (g_shared.limit > 0 && g_shared.printed >= g_shared.limit) {
        g_shared.printing = false;
        g_shared.enough = true;
        g_shared.cv.notify_all();
    }
}

void TARVIK_CALL OnData(ITarvikClient*, TarvikUserData, int32_t count, const int32_t*,
                        const int32_t* userValues, const VarValue* values) {
    try {
        std::lock_guard<std::mutex> lock(g_shared.outMu);
        if (!g_shared.printing || userValues == nullptr || values == nullptr) {
            return;
        }
        const Cell time = NowCell();
        for (int32_t i = 0; i < count && g_shared.printing; ++i) {
            const int32_t which = userValues[i];
            if (which < 0 || static_cast<size_t>(which) >= g_shared.itemNames.size()) {
                continue;
            }
            PrintWatchLine(time, g_shared.itemNames[static_cast<size_t>(which)],
                           ValueCell(values[i]));
        }
        std::fflush(stdout);
    } catch (...) {
        // Nothing may cross back into the library.
    }
}

// The host and port that were not given on the command line, from
// TARVIK_HOST and TARVIK_PORT (the tool's own defaults: the library itself
// takes no configuration).
void TakeServerFromEnvironment(bool hostGiven, bool portGiven, GlobalOptions* options) {
    const char* host = std::getenv("TARVIK_HOST");
    if (!hostGiven && host != nullptr && host[0] != '\0') {
        options->host = host;
    }
    if (portGiven) {
        return;
    }
    const char* port = std::getenv("TARVIK_PORT");
    if (port == nullptr || port[0] == '\0') {
        throw CLI::RequiredError("--port (or TARVIK_PORT) or --local");
    }
    char* end = nullptr;
    errno = 0;
    const long p = std::strtol(port, &end, 10);
    if (errno != 0 || *end != '\0' || p < 1 || p > 65535) {
        throw CLI::ValidationError("TARVIK_PORT",
                                   std::string("'") + port + "' is not a port number 1 to 65535");
    }
    options->port = static_cast<int>(p);
}

// ---- The client -------------------------------------------------------------------

// Owns the client: destroys it (which disconnects) when the command ends.
class Client {
  public:
    Client() = default;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client() {
        if (client_ != nullptr) {
            TarvikDestroyClient(client_);
        }
    }

    ITarvikClient* operator->() const { return client_; }
    ITarvikClient* get() const { return client_; }

    // Connects and waits up to the time-out for the ready session.
    void Connect(const GlobalOptions& options) {
        client_ = TarvikCreateClient(0);
        if (client_ == nullptr) {
            Fail(kExitClient, "the client could not be created");
        }
        client_->SetStateCallback(OnState);
        client_->SetDataCallback(OnData);
        if (!StartConnect(client_, options)) {
            Fail(kExitClient, "the client could not start" + Reason(client_));
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
        std::unique_lock<std::mutex> lock(g_shared.mu);
        const bool settled = g_shared.cv.wait_until(lock, deadline, [] {
            const int32_t s = g_shared.state;
            return s == CONN_READY || s == CONN_NO_SERVER || s == CONN_REFUSED ||
                   s == CONN_REJECTED || g_interrupted;
        });
        const int32_t state = g_shared.state;
        lock.unlock();
        if (state == CONN_READY) {
            return;
        }
        if (g_interrupted) {
            Fail(kExitNoServer, "interrupted while connecting to " + options.Where());
        }
        if (!settled && state == CONN_PENDING) {
            Fail(kExitNoServer, "a server at " + options.Where() +
                                    " took the connection but did not answer the login within " +
                                    std::to_string(options.timeoutMs) +
                                    " ms: is it a database server? (CONN_PENDING" +
                                    Reason(client_) + ")");
        }
        if (!settled) {
            Fail(kExitNoServer, "no server ready at " + options.Where() + " within " +
                                    std::to_string(options.timeoutMs) + " ms (state " +
                                    tarvik::stateName(state) + Reason(client_) + ")");
        }
        if (state == CONN_NO_SERVER) {
            Fail(kExitNoServer, "no server found at " + options.Where() + " (CONN_NO_SERVER" +
                                    Reason(client_) + ")");
        }
        Fail(kExitRefused,
             std::string("the server refused the login (") + tarvik::stateName(state) + ")");
    }

    // The failure of a request that returned -1.
    [[noreturn]] void RequestFailed(const char* what, const GlobalOptions& options) {
        const int32_t state = client_->GetState();
        if (state != CONN_READY) {
            Fail(kExitRequest, std::string(what) + " failed: the connection is lost (" +
                                   tarvik::stateName(state) + Reason(client_) + ")");
        }
        Fail(kExitRequest,
             std::string(what) +
                 " failed: the server's reply was unusable or did not come (time-out " +
                 std::to_string(options.timeoutMs) + " ms)");
    }

  private:
    ITarvikClient* client_ = nullptr;
};

// Values whose text blocks are freed with the array.
class ValueArray {
  public:
    explicit ValueArray(size_t n) : values_(n) {
        for (VarValue& v : values_) {
            std::memset(&v, 0, sizeof v);
        }
    }
    ValueArray(const ValueArray&) = delete;
    ValueArray& operator=(const ValueArray&) = delete;
    ~ValueArray() {
        for (VarValue& v : values_) {
            if (v.tag == VAL_STRING) {
                TarvikFree(v.u.strVal);
            }
        }
    }
    VarValue* data() { return values_.data(); }
    VarValue& operator[](size_t i) { return values_[i]; }

  private:
    std::vector<VarValue> values_;
};

// Arrays handed out by ReadHistoryRaw.
template <typename T>
struct LibraryArray {
    T* p = nullptr;
    LibraryArray() = default;
    LibraryArray(const LibraryArray&) = delete;
    LibraryArray& operator=(const LibraryArray&) = delete;
    ~LibraryArray() { TarvikFree(p); }
};

// ---- Items --------------------------------------------------------------------------

struct Item {
    std::string name;  // as the server spells it: POINT.FIELD
    uint32_t point = 0;
    uint32_t field = 0;
};

[[noreturn]] void DirectoryLost() {
    Fail(kExitNoServer, "the connection to the server was lost");
}

std::vector<Item> ResolveItems(ITarvikClient* client, const std::vector<std::string>& texts) {
    const size_t n = texts.size();
    std::vector<char> names(n * TARVIK_ITEM_NAME, '\0');
    for (size_t i = 0; i < n; ++i) {
        const std::string& text = texts[i];
        if (text.empty() || text.size() >= TARVIK_ITEM_NAME) {
            Fail(kExitUnknownItem, "unknown item '" + text + "'");
        }
        std::memcpy(&names[i * TARVIK_ITEM_NAME], text.data(), text.size());
    }
    const int32_t count = static_cast<int32_t>(n);
    std::vector<int32_t> points(n, -1), fields(n, -1);
    if (client->ResolveItemNames(count, names.data(), points.data(), fields.data()) < 0) {
        DirectoryLost();
    }
    for (size_t i = 0; i < n; ++i) {
        if (points[i] < 0) {
            const std::string point = texts[i].substr(0, texts[i].find('.'));
            Fail(kExitUnknownItem, "unknown item '" + texts[i] + "': no point '" + point + "'");
        }
        if (fields[i] < 0) {
            const size_t dot = texts[i].find('.');
            const std::string field = dot == std::string::npos ? "PV" : texts[i].substr(dot + 1);
            Fail(kExitUnknownItem,
                 "unknown item '" + texts[i] + "': its point has no field '" + field + "'");
        }
    }
    std::vector<char> canonical(n * TARVIK_ITEM_NAME, '\0');
    if (client->FormatItemNames(count, points.data(), fields.data(), canonical.data()) < 0) {
        DirectoryLost();
    }
    std::vector<Item> items(n);
    for (size_t i = 0; i < n; ++i) {
        const char* slot = &canonical[i * TARVIK_ITEM_NAME];
        items[i].name.assign(slot, strnlen(slot, TARVIK_ITEM_NAME));
        if (items[i].name.empty()) {
            items[i].name = texts[i];
        }
        items[i].point = static_cast<uint32_t>(points[i]);
        items[i].field = static_cast<uint32_t>(fields[i]);
    }
    return items;
}

std::string SlotText(const std::vector<char>& slots, size_t i, size_t width) {
    const char* slot = &slots[i * width];
    return std::string(slot, strnlen(slot, width));
}

// ---- Parsing values and times ------------------------------------------------------

// A text block from the library's allocator holding the value's text.
void FillValue(const TypedValue& typed, VarValue* v) {
    switch (typed.tag) {
        case VAL_LONG:
            v->tag = VAL_LONG;
            v->u.lVal = typed.l;
            return;
        case VAL_DOUBLE:
            v->tag = VAL_DOUBLE;
            v->u.dblVal = typed.d;
            return;
        default:
            break;
    }
    char* block = static_cast<char*>(TarvikAlloc(TARVIK_TEXT_BLOCK));
    if (block == nullptr) {
        Fail(kExitClient, "out of memory");
    }
    std::memset(block, 0, TARVIK_TEXT_BLOCK);
    std::memcpy(block, typed.text.data(), std::min<size_t>(typed.text.size(), TARVIK_TEXT_MAX));
    v->tag = VAL_STRING;
    v->u.strVal = block;
}

double ParseTimeOption(const std::string& option, const std::string& text, int64_t now) {
    double ole = 0;
    std::string error;
    if (!ParseTime(text, now, &ole, &error)) {
        Fail(kExitUsage, option + ": " + error);
    }
    return ole;
}

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return "";
    }
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// ---- Commands -----------------------------------------------------------------------

void CmdPoints(Client& client, const GlobalOptions& options) {
    const int32_t count = client->GetPointCount();
    if (count < 0) {
        DirectoryLost();
    }
    const size_t n = static_cast<size_t>(count);
    std::vector<int32_t> indexes(n), aux(n), types(n);
    std::vector<char> names(n * TARVIK_POINT_NAME + 1, '\0');
    if (count > 0 &&
        client->EnumPoints(count, indexes.data(), names.data(), aux.data(), types.data()) < 0) {
        DirectoryLost();
    }
    Table table({"index", "name", "type", "aux"});
    for (size_t i = 0; i < n; ++i) {
        table.AddRow({Cell::Number(indexes[i]), SlotText(names, i, TARVIK_POINT_NAME),
                      Cell::Number(types[i]), Cell::Number(aux[i])});
    }
    table.Print(options.format(), stdout);
}

void CmdTypes(Client& client, const GlobalOptions& options) {
    const int32_t count = client->GetTypeCount();
    if (count < 0) {
        DirectoryLost();
    }
    const size_t n = static_cast<size_t>(count);
    std::vector<int32_t> ids(n + 1), fieldCounts(n + 1);
    const int32_t written =
        count > 0 ? client->EnumTypes(count, ids.data(), fieldCounts.data()) : 0;
    if (written < 0) {
        DirectoryLost();
    }
    // The directory lists types in its own order; people look them up by id.
    std::vector<std::pair<int32_t, int32_t>> rows;
    for (int32_t i = 0; i < written; ++i) {
        rows.emplace_back(ids[static_cast<size_t>(i)], fieldCounts[static_cast<size_t>(i)]);
    }
    std::sort(rows.begin(), rows.end());
    Table table({"type", "fields"});
    for (const auto& row : rows) {
        table.AddRow({Cell::Number(row.first), Cell::Number(row.second)});
    }
    table.Print(options.format(), stdout);
}

void CmdFields(Client& client, const GlobalOptions& options, const std::string& typeText) {
    int32_t typeId = 0;
    bool integer = false;
    if (IsDecimalNumber(typeText, &integer) && integer) {
        const long long id = std::strtoll(typeText.c_str(), nullptr, 10);
        if (id < INT32_MIN || id > INT32_MAX) {
            Fail(kExitUnknownItem, "unknown type " + typeText);
        }
        typeId = static_cast<int32_t>(id);
    } else {
        // A point name stands for the point's type.
        if (typeText.empty() || typeText.size() >= TARVIK_POINT_NAME) {
            Fail(kExitUnknownItem, "unknown type or point '" + typeText + "'");
        }
        char name[TARVIK_POINT_NAME] = {};
        std::memcpy(name, typeText.data(), typeText.size());
        int32_t index = -1;
        if (client->GetPointIndexesByName(1, name, &index) < 0 ||
            (index >= 0 && client->GetPointTypesByIndex(1, &index, &typeId) < 0)) {
            DirectoryLost();
        }
        if (index < 0) {
            Fail(kExitUnknownItem, "unknown type or point '" + typeText + "'");
        }
    }
    int32_t fieldCount = -1;
    if (client->GetFieldCounts(1, &typeId, &fieldCount) < 0) {
        DirectoryLost();
    }
    if (fieldCount < 0) {
        Fail(kExitUnknownItem, "unknown type " + std::to_string(typeId));
    }
    const size_t n = static_cast<size_t>(fieldCount);
    std::vector<int32_t> fieldNos(n + 1), valueTypes(n + 1);
    std::vector<char> names((n + 1) * TARVIK_FIELD_NAME, '\0');
    const int32_t written = fieldCount > 0 ? client->EnumFields(typeId, fieldCount, fieldNos.data(),
                                                                valueTypes.data(), names.data())
                                           : 0;
    if (written < 0) {
        DirectoryLost();
    }
    Table table({"no", "name", "type"});
    for (size_t i = 0; i < n; ++i) {
        if (fieldNos[i] < 0) {
            continue;
        }
        table.AddRow({Cell::Number(fieldNos[i]), SlotText(names, i, TARVIK_FIELD_NAME),
                      TagName(valueTypes[i])});
    }
    table.Print(options.format(), stdout);
}

void SplitItems(const std::vector<Item>& items, std::vector<uint32_t>* points,
                std::vector<uint32_t>* fields) {
    for (const Item& item : items) {
        points->push_back(item.point);
        fields->push_back(item.field);
    }
}

// Reads the values of the items that SplitItems gave `points` and `fields`
// into `values`; a failed read ends the tool, naming `what` failed.
void ReadInto(Client& client, const GlobalOptions& options, const char* what,
              const std::vector<uint32_t>& points, const std::vector<uint32_t>& fields,
              ValueArray* values) {
    if (client->ReadValues(static_cast<uint32_t>(points.size()), points.data(), fields.data(),
                           values->data()) < 0) {
        client.RequestFailed(what, options);
    }
}

void CmdRead(Client& client, const GlobalOptions& options, const std::vector<std::string>& texts) {
    const std::vector<Item> items = ResolveItems(client.get(), texts);
    std::vector<uint32_t> points, fields;
    SplitItems(items, &points, &fields);
    ValueArray values(items.size());
    ReadInto(client, options, "the read", points, fields, &values);
    Table table({"item", "value", "type"});
    for (size_t i = 0; i < items.size(); ++i) {
        table.AddRow({items[i].name, ValueCell(values[i]), TagName(values[i].tag)});
    }
    table.Print(options.format(), stdout);
}

struct WriteOptions {
    bool convert = false;  // send as typed; the library converts to the field's type
    bool yes = false;      // no question on a terminal
};

// Shows the values about to be written and asks on the terminal. True when
// the user answers yes.
bool Confirm(const GlobalOptions& options, const Table& plan) {
    std::fprintf(stderr, "About to write to %s:\n", options.Where().c_str());
    plan.Print(Format::kTable, stderr);
    std::fprintf(stderr, "Write %zu value%s? [y/N] ", plan.RowCount(),
                 plan.RowCount() == 1 ? "" : "s");
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        std::fprintf(stderr, "\n");
        return false;
    }
    answer = Trim(answer);
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES" || answer == "Yes";
}

int CmdWrite(Client& client, const GlobalOptions& options, const WriteOptions& how,
             const std::vector<std::string>& assignments) {
    std::vector<std::string> texts, valueTexts;
    for (const std::string& a : assignments) {
        const size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0) {
            Fail(kExitUsage, "'" + a + "' is not ITEM=VALUE");
        }
        texts.push_back(a.substr(0, eq));
        valueTexts.push_back(a.substr(eq + 1));
    }
    const std::vector<Item> items = ResolveItems(client.get(), texts);
    const size_t n = items.size();
    // The field types first: a value that is not of its field's type is
    // refused before anything is written.
    std::vector<char> names(n * TARVIK_ITEM_NAME, '\0');
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(&names[i * TARVIK_ITEM_NAME], items[i].name.data(),
                    std::min<size_t>(items[i].name.size(), TARVIK_ITEM_NAME - 1));
    }
    std::vector<int32_t> fieldTypes(n, -1);
    if (client->GetItemTypesByName(static_cast<int32_t>(n), names.data(), fieldTypes.data()) < 0) {
        DirectoryLost();
    }
    ValueArray values(n);
    for (size_t i = 0; i < n; ++i) {
        TypedValue typed;
        std::string why;
        const bool ok = how.convert ? ValueAsTyped(valueTexts[i], &typed, &why)
                                    : ValueForField(valueTexts[i], fieldTypes[i], &typed, &why);
        if (!ok) {
            Fail(kExitValueRefused,
                 items[i].name + " is a " + TagName(fieldTypes[i]) + " field: '" + valueTexts[i] +
                     "' " + why + "; nothing was written" +
                     (how.convert ? "" : " (--convert sends it for the library to convert)"));
        }
        FillValue(typed, &values[i]);
    }
    std::vector<uint32_t> points, fields;
    SplitItems(items, &points, &fields);
    if (!how.yes && isatty(STDIN_FILENO)) {
        ValueArray now(n);
        ReadInto(client, options, "the read of the current values", points, fields, &now);
        Table plan({"item", "now", "new", "field"});
        for (size_t i = 0; i < n; ++i) {
            plan.AddRow(
                {items[i].name, ValueCell(now[i]), ValueCell(values[i]), TagName(fieldTypes[i])});
        }
        if (!Confirm(options, plan)) {
            std::fprintf(stderr, "tarvik: nothing was written\n");
            return kExitNotConfirmed;
        }
    }
    if (client->WriteValues(static_cast<uint32_t>(n), points.data(), fields.data(), values.data()) <
        0) {
        client.RequestFailed("the write", options);
    }
    Table table({"item", "value", "sent_as", "field"});
    for (size_t i = 0; i < n; ++i) {
        table.AddRow(
            {items[i].name, ValueCell(values[i]), TagName(values[i].tag), TagName(fieldTypes[i])});
    }
    table.Print(options.format(), stdout);
    return kExitOk;
}

int CmdWatch(Client& client, const GlobalOptions& options, const std::vector<std::string>& texts,
             double seconds, uint64_t count) {
    const std::vector<Item> items = ResolveItems(client.get(), texts);
    std::vector<uint32_t> points, fields;
    SplitItems(items, &points, &fields);
    // The current values first; then every change the server reports.
    ValueArray initial(items.size());
    ReadInto(client, options, "the read", points, fields, &initial);
    {
        std::lock_guard<std::mutex> lock(g_shared.outMu);
        g_shared.format = options.format();
        g_shared.limit = count;
        for (const Item& item : items) {
            g_shared.itemNames.push_back(item.name);
            g_shared.itemWidth = std::max(g_shared.itemWidth, DisplayWidth(item.name));
        }
        const Cell time = NowCell();
        if (g_shared.format == Format::kCsv) {
            std::printf("time,item,value\n");
        } else if (g_shared.format == Format::kTable) {
            std::printf("%s  %s  %s\n", PadRight("TIME", DisplayWidth(time.text)).c_str(),
                        PadRight("ITEM", g_shared.itemWidth).c_str(), "VALUE");
        }
        g_shared.printing = true;
        for (size_t i = 0; i < items.size() && g_shared.printing; ++i) {
            PrintWatchLine(time, items[i].name, ValueCell(initial[i]));
        }
        std::fflush(stdout);
    }
    if (g_shared.enough) {
        return kExitOk;
    }
    {
        std::lock_guard<std::mutex> lock(g_shared.mu);
        g_shared.watching = true;
        g_shared.lastReported = CONN_READY;
    }
    std::vector<int32_t> userValues(items.size()), handles(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        userValues[i] = static_cast<int32_t>(i);
    }
    if (client->Advise(static_cast<uint32_t>(items.size()), points.data(), fields.data(),
                       userValues.data(), handles.data()) < 0) {
        client.RequestFailed("the subscription", options);
    }
    const bool forever = seconds <= 0 || seconds > 1e9;
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000.0));
    int32_t state = CONN_READY;
    {
        std::unique_lock<std::mutex> lock(g_shared.mu);
        for (;;) {
            state = g_shared.state;
            if (g_interrupted || g_shared.enough || state == CONN_REFUSED ||
                state == CONN_REJECTED) {
                break;
            }
            const auto now = std::chrono::steady_clock::now();
            if (!forever && now >= end) {
                break;
            }
            // Wakes on every state change, and often enough to see Ctrl-C.
            auto until = now + std::chrono::milliseconds(100);
            if (!forever && until > end) {
                until = end;
            }
            g_shared.cv.wait_until(lock, until);
        }
        g_shared.watching = false;
    }
    {
        std::lock_guard<std::mutex> lock(g_shared.outMu);
        g_shared.printing = false;
    }
    if (state == CONN_REFUSED || state == CONN_REJECTED) {
        Fail(kExitRefused,
             std::string("the server refused the client (") + tarvik::stateName(state) + ")");
    }
    return kExitOk;
}

std::vector<Item> ResolveOne(Client& client, const std::string& text) {
    return ResolveItems(client.get(), std::vector<std::string>{text});
}

void CmdHistory(Client& client, const GlobalOptions& options, const std::vector<std::string>& texts,
                double start, double end, uint32_t samples) {
    const std::vector<Item> items = ResolveItems(client.get(), texts);
    std::vector<uint32_t> points, fields;
    SplitItems(items, &points, &fields);
    std::vector<double> values(items.size() * samples);
    if (client->ReadHistory(start, end, samples, static_cast<uint32_t>(items.size()), points.data(),
                            fields.data(), values.data()) < 0) {
        client.RequestFailed("the history read", options);
    }
    // The server sends all samples of one item together, item after item, at
    // times spread evenly from the start to the end (both included).
    std::vector<std::string> keys = {"time"};
    for (const Item& item : items) {
        keys.push_back(item.name);
    }
    Table table(keys);
    // The times asked for: the range as the wire carries it (whole seconds),
    // to the millisecond where the samples fall between seconds.
    const double from = WholeSeconds(start);
    const double to = WholeSeconds(end);
    auto sampleTime = [&](uint32_t k) {
        return samples > 1 ? from + (to - from) * k / (samples - 1) : from;
    };
    bool withMs = false;
    for (uint32_t k = 0; k < samples && !withMs; ++k) {
        withMs = HasMilliseconds(sampleTime(k));
    }
    for (uint32_t k = 0; k < samples; ++k) {
        std::vector<Cell> row = {TimeCell(sampleTime(k), withMs)};
        for (size_t i = 0; i < items.size(); ++i) {
            const float v = static_cast<float>(values[i * samples + k]);
            row.push_back(Cell(FormatFloat(v),
                               std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(nullptr)));
        }
        table.AddRow(std::move(row));
    }
    table.Print(options.format(), stdout);
}

void CmdHistoryRaw(Client& client, const GlobalOptions& options, const std::string& text,
                   double start, double end) {
    const Item item = ResolveOne(client, text)[0];
    LibraryArray<double> times, values;
    LibraryArray<uint16_t> statuses;
    const int32_t count = client->ReadHistoryRaw(start, end, item.point, item.field, &times.p,
                                                 &statuses.p, &values.p);
    if (count < 0) {
        client.RequestFailed("the history read", options);
    }
    Table table({"time", "status", "value"});
    // Milliseconds where a record carries them (the wire's are whole seconds).
    bool withMs = false;
    for (int32_t i = 0; i < count && times.p && !withMs; ++i) {
        withMs = HasMilliseconds(times.p[i]);
    }
    for (int32_t i = 0; i < count && times.p && statuses.p && values.p; ++i) {
        const float v = static_cast<float>(values.p[i]);
        table.AddRow(
            {TimeCell(times.p[i], withMs), Cell::Number(statuses.p[i]),
             Cell(FormatFloat(v), std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(nullptr))});
    }
    table.Print(options.format(), stdout);
}

// The fields of a CSV line: separated by commas, each optionally in double
// quotes (a quote inside written twice), blanks around unquoted fields
// dropped. False with the reason for a quote that does not close.
bool SplitCsvLine(const std::string& line, std::vector<std::string>* fields, std::string* error) {
    size_t at = 0;
    for (;;) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
            ++at;
        }
        std::string field;
        if (at < line.size() && line[at] == '"') {
            ++at;
            for (;;) {
                if (at >= line.size()) {
                    *error = "a quoted field does not end";
                    return false;
                }
                if (line[at] == '"') {
                    if (at + 1 < line.size() && line[at + 1] == '"') {
                        field += '"';
                        at += 2;
                        continue;
                    }
                    ++at;
                    break;
                }
                field += line[at++];
            }
            while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
                ++at;
            }
            if (at < line.size() && line[at] != ',') {
                *error = "text after a quoted field";
                return false;
            }
        } else {
            const size_t comma = line.find(',', at);
            field =
                Trim(line.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
            at = comma == std::string::npos ? line.size() : comma;
        }
        fields->push_back(field);
        if (at >= line.size()) {
            return true;
        }
        ++at;  // the comma
    }
}

// Reads "time,status,value" lines, CSV as --csv writes it (quotes allowed);
// blank lines, lines starting with '#' and a header line "time,..." are
// skipped.
void ReadHistoryFile(const std::string& path, std::vector<double>* times,
                     std::vector<uint16_t>* statuses, std::vector<double>* values) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (path != "-") {
        file.open(path);
        if (!file) {
            Fail(kExitUsage, "cannot read " + path);
        }
        in = &file;
    }
    const int64_t now = NowUnixMs();
    std::string line;
    int lineNo = 0;
    bool first = true;
    while (std::getline(*in, line)) {
        ++lineNo;
        const std::string where = path + ":" + std::to_string(lineNo) + ": ";
        line = Trim(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> parts;
        std::string error;
        if (!SplitCsvLine(line, &parts, &error)) {
            Fail(kExitUsage, where + error);
        }
        if (first && !parts.empty() && (parts[0] == "time" || parts[0] == "TIME")) {
            first = false;
            continue;
        }
        first = false;
        if (parts.size() != 3) {
            Fail(kExitUsage, where + "expected \"time,status,value\"");
        }
        double ole = 0;
        if (!ParseTime(parts[0], now, &ole, &error)) {
            Fail(kExitUsage, where + error);
        }
        bool integer = false;
        const long status = IsDecimalNumber(parts[1], &integer) && integer
                                ? std::strtol(parts[1].c_str(), nullptr, 10)
                                : -1;
        if (status < 0 || status > 65535) {
            Fail(kExitUsage, where + "the status '" + parts[1] + "' is not 0 to 65535");
        }
        errno = 0;
        const double value =
            IsDecimalNumber(parts[2], &integer) ? std::strtod(parts[2].c_str(), nullptr) : NAN;
        if (errno != 0 || !std::isfinite(value)) {
            Fail(kExitUsage, where + "the value '" + parts[2] + "' is not a number");
        }
        times->push_back(ole);
        statuses->push_back(static_cast<uint16_t>(status));
        values->push_back(value);
    }
}

struct HistoryRecords {
    std::vector<double> times;
    std::vector<uint16_t> statuses;
    std::vector<double> values;
};

void CmdHistoryWrite(Client& client, const GlobalOptions& options, const std::string& text,
                     const HistoryRecords& records) {
    const std::vector<double>& times = records.times;
    const std::vector<uint16_t>& statuses = records.statuses;
    const std::vector<double>& values = records.values;
    const Item item = ResolveOne(client, text)[0];
    if (client->WriteHistory(item.point, item.field, static_cast<uint32_t>(times.size()),
                             times.data(), statuses.data(), values.data()) < 0) {
        client.RequestFailed("the history write", options);
    }
    Table table({"item", "records"});
    table.AddRow({item.name, Cell::Number(static_cast<int64_t>(times.size()))});
    table.Print(options.format(), stdout);
}

// ---- main -----------------------------------------------------------------------------

int Run(int argc, char** argv) {
    CLI::App app{
        "tarvik: command-line client of the real-time database server\n"
        "The server is --host (default: $TARVIK_HOST, else 127.0.0.1) and --port (default:\n"
        "$TARVIK_PORT), or --local.\n"
        "Exit codes: 0 done, 1 usage, 2 unknown item, 3 no server, 4 login refused,\n"
        "5 request failed or timed out, 6 the client could not start, 7 write: a value not\n"
        "of its field's type, 8 write: not confirmed."};
    app.name("tarvik");  // not the path it was started by
    app.set_version_flag("--version", "tarvik " TARVIK_VERSION_STRING,
                         "print the version and exit");
    app.fallthrough();
    app.footer(
        "Items are POINT.FIELD, or POINT for POINT.PV; names ignore case.\n"
        "Run 'tarvik COMMAND --help' for the options of a command.");
    app.require_subcommand(1);
    GlobalOptions options;
    auto* host = app.add_option("--host", options.host, "server host name or IP address");
    auto* port =
        app.add_option("--port,-p", options.port, "server TCP port")->check(CLI::Range(1, 65535));
    auto* backup =
        app.add_option("--backup", options.backup, "backup server as HOST:PORT")
            ->check([](const std::string& s) {
                const size_t colon = s.rfind(':');
                if (colon == std::string::npos || colon == 0) {
                    return std::string("expected HOST:PORT");
                }
                const int p = std::atoi(s.c_str() + colon + 1);
                return p >= 1 && p <= 65535 ? std::string() : std::string("expected HOST:PORT");
            });
    auto* local = app.add_flag("--local", options.local, "connect to the server on this machine");
    local->excludes(host)->excludes(port)->excludes(backup);
    app.add_option("--timeout", options.timeoutMs,
                   "time-out in ms for connecting and for each request")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600000));
    auto* csv = app.add_flag("--csv", options.csv, "CSV output");
    app.add_flag("--json", options.json, "JSON output")->excludes(csv);

    auto* points = app.add_subcommand("points", "list the points: index, name, type id, aux");
    auto* types = app.add_subcommand("types", "list the point types: type id, number of fields");
    std::string typeText;
    auto* fieldsCmd =
        app.add_subcommand("fields", "list the fields of a type: FieldNo, name, value type");
    fieldsCmd->add_option("TYPE", typeText, "a type id, or a point name for the point's type")
        ->required();

    std::vector<std::string> itemTexts;
    auto* read = app.add_subcommand("read", "read current values");
    read->add_option("ITEM", itemTexts, "POINT or POINT.FIELD (POINT means POINT.PV)")->required();

    std::vector<std::string> assignments;
    WriteOptions writeOptions;
    auto* write = app.add_subcommand("write", "write values");
    write->footer(
        "VALUE must be a value of the field's type: a whole number in the 32-bit range for a\n"
        "long field, a finite number for a double field, at most 63 characters for a text\n"
        "field; anything else is refused (exit code 7) and nothing is written. --convert\n"
        "sends VALUE as typed (an integer as a long, a number as a double, else a text) and\n"
        "lets the library convert it to the field's type. On a terminal the tool shows the\n"
        "current and the new values and asks first, unless --yes; it never asks when its\n"
        "standard input is not a terminal.");
    write->add_option("ITEM=VALUE", assignments, "item and value")->required();
    write->add_flag("--convert", writeOptions.convert,
                    "send VALUE as typed; the library converts it to the field's type");
    write->add_flag("--yes,-y", writeOptions.yes, "do not ask for confirmation");

    double watchSeconds = 0;
    auto* watch = app.add_subcommand("watch", "print changes of values until Ctrl-C");
    watch->footer(
        "Prints the current values, then every change with a local time stamp, until Ctrl-C,\n"
        "--for or --count. When the server goes away it says so and reconnects on its own.\n"
        "--json prints one object a line.");
    watch->add_option("ITEM", itemTexts, "POINT or POINT.FIELD")->required();
    watch->add_option("--for", watchSeconds, "stop after SECONDS")->check(CLI::PositiveNumber);
    uint64_t watchCount = 0;
    watch
        ->add_option("--count,-c", watchCount,
                     "stop after N value lines (the current values count)")
        ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 53));

    std::string fromText, toText = "now";
    uint32_t samples = 10;
    const char* timeHelp =
        "\"YYYY-MM-DD HH:MM:SS[.fff]\" or \"YYYY-MM-DDTHH:MM:SS\" (local time; with Z or an "
        "offset like +01:00 in that zone), @SECONDS since 1970 UTC, \"now\", or an offset from "
        "now like -10m, -1h, -2d";
    auto* history = app.add_subcommand("history", "read the history of items");
    history->footer(
        "Prints the values of the items at SAMPLES times spread evenly from --from to --to\n"
        "(both included; the server takes whole seconds). Times print in local time, with\n"
        "milliseconds where the samples fall between seconds; --json prints them in ISO 8601\n"
        "with the offset from UTC. A range that ends before it starts is refused.");
    history->add_option("ITEM", itemTexts, "POINT or POINT.FIELD")->required();
    history->add_option("--from", fromText, std::string("start: ") + timeHelp)->required();
    history->add_option("--to", toText, "end (default now)");
    history->add_option("--samples,-n", samples, "values per item")
        ->capture_default_str()
        ->check(CLI::Range(1, 100000));

    std::string itemText;
    auto* historyRaw =
        app.add_subcommand("history-raw", "read the stored history records of an item");
    historyRaw->add_option("ITEM", itemText, "POINT or POINT.FIELD")->required();
    historyRaw->add_option("--from", fromText, std::string("start: ") + timeHelp)->required();
    historyRaw->add_option("--to", toText, "end (default now)");

    std::string filePath;
    auto* historyWrite =
        app.add_subcommand("history-write", "store history records of an item from a file");
    historyWrite->footer(
        "The file has lines \"time,status,value\": times as for history, status 0 to 65535.\n"
        "Blank lines, lines starting with # and a first line \"time,...\" are skipped.");
    historyWrite->add_option("ITEM", itemText, "POINT or POINT.FIELD")->required();
    historyWrite->add_option("--file,-f", filePath, "the records; - reads standard input")
        ->required();

    const auto explore = AddExploreCommand(app);

    try {
        app.parse(argc, argv);
        if (!options.local) {
            TakeServerFromEnvironment(app.count("--host") > 0, app.count("--port") > 0, &options);
        }
    } catch (const CLI::ParseError& e) {
        // A word that is no command: say which, rather than that one is missing.
        const std::vector<std::string> extra = app.remaining();
        if (app.get_subcommands().empty() && !extra.empty() && e.get_exit_code() != 0) {
            std::fprintf(stderr,
                         "tarvik: unknown command '%s'\nRun 'tarvik --help' for the commands.\n",
                         extra[0].c_str());
            return kExitUsage;
        }
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }

    const int64_t now = NowUnixMs();
    double start = 0, end = 0;
    if (*history || *historyRaw) {
        start = ParseTimeOption("--from", fromText, now);
        end = ParseTimeOption("--to", toText, now);
        if (WholeSeconds(end) < WholeSeconds(start)) {
            Fail(kExitUsage, "the range ends before it starts: --from " + fromText + " is " +
                                 FormatOle(start, false) + ", --to " + toText + " is " +
                                 FormatOle(end, false));
        }
        if (static_cast<uint64_t>(samples) * itemTexts.size() > 10000000) {
            Fail(kExitUsage, "too many values: items times samples is over 10000000");
        }
    }

    // The records are read before connecting: a bad file is a usage error.
    HistoryRecords records;
    if (*historyWrite) {
        ReadHistoryFile(filePath, &records.times, &records.statuses, &records.values);
    }

    if (*explore->app) {
        return RunExplore(*explore, options);
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    Client client;
    client.Connect(options);
    if (*points) {
        CmdPoints(client, options);
    } else if (*types) {
        CmdTypes(client, options);
    } else if (*fieldsCmd) {
        CmdFields(client, options, typeText);
    } else if (*read) {
        CmdRead(client, options, itemTexts);
    } else if (*write) {
        return CmdWrite(client, options, writeOptions, assignments);
    } else if (*watch) {
        return CmdWatch(client, options, itemTexts, watchSeconds, watchCount);
    } else if (*history) {
        CmdHistory(client, options, itemTexts, start, end, samples);
    } else if (*historyRaw) {
        CmdHistoryRaw(client, options, itemText, start, end);
    } else if (*historyWrite) {
        CmdHistoryWrite(client, options, itemText, records);
    }
    return kExitOk;
}

}  // namespace
}  // namespace tarvik_cli

int main(int argc, char** argv) {
    int code = tarvik_cli::kExitOk;
    try {
        code = tarvik_cli::Run(argc, argv);
    } catch (const tarvik_cli::Failure& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "tarvik: %s\n", f.message.c_str());
        code = f.code;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "tarvik: %s\n", e.what());
        code = tarvik_cli::kExitClient;
    }
    std::fflush(stdout);
    return code;
}
