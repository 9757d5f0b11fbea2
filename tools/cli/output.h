// Output of the command-line tool: an aligned table for people, CSV or JSON
// for scripts.
#ifndef TARVIK_CLI_OUTPUT_H
#define TARVIK_CLI_OUTPUT_H

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tarvik/tarvik.h"

namespace tarvik_cli {

enum class Format { kTable, kCsv, kJson };

// One cell: its text for the table and CSV, its value for JSON.
struct Cell {
    Cell(std::string t, nlohmann::json j) : text(std::move(t)), json(std::move(j)) {}
    Cell(const std::string& t) : text(t), json(t) {}  // NOLINT: a text cell
    Cell(const char* t) : text(t), json(t) {}         // NOLINT: a text cell
    static Cell Number(int64_t v) { return Cell(std::to_string(v), v); }

    std::string text;
    nlohmann::json json;
};

class Table {
  public:
    // Column keys: lower case, the JSON keys and the CSV header; the table's
    // header shows them in capitals.
    explicit Table(std::vector<std::string> keys) : keys_(std::move(keys)) {}
    void AddRow(std::vector<Cell> cells) { rows_.push_back(std::move(cells)); }
    size_t RowCount() const { return rows_.size(); }
    // Table: header, then the rows; numeric columns right-aligned.
    // CSV: header line, then one line per row. JSON: an array of objects.
    void Print(Format format, std::FILE* out) const;

  private:
    std::vector<std::string> keys_;
    std::vector<std::vector<Cell>> rows_;
};

// Columns a text takes on a terminal: UTF-8 characters, East Asian wide ones
// as two, combining marks as none; a byte that is not UTF-8 as one.
size_t DisplayWidth(const std::string& text);
// The text and blanks up to `width` columns.
std::string PadRight(const std::string& text, size_t width);

// A CSV field, quoted when it needs to be.
std::string CsvField(const std::string& text);

// JSON text; bytes that are not UTF-8 are replaced, never thrown about.
std::string DumpJson(const nlohmann::ordered_json& j, int indent = -1);

// The shortest text that reads back as the same double (or float).
std::string FormatDouble(double v);
std::string FormatFloat(float v);

// "long", "double", "text" or "none" for a value tag.
const char* TagName(int tag);

// A value of the library as a cell. Text blocks are read, not freed.
Cell ValueCell(const VarValue& v);

}  // namespace tarvik_cli

#endif  // TARVIK_CLI_OUTPUT_H
