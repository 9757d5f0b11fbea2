#include "output.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>

namespace tarvik_cli {

namespace {

// Whether code point c takes no column (combining marks, joiners, variation
// selectors) or two (East Asian wide and full-width forms, emoji).
bool IsZeroWidth(uint32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x0483 && c <= 0x0489) ||
           (c >= 0x0591 && c <= 0x05BD) || (c >= 0x1AB0 && c <= 0x1AFF) ||
           (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE00 && c <= 0xFE0F) ||
           (c >= 0xFE20 && c <= 0xFE2F);
}

bool IsWide(uint32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
           (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
           (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
}

}  // namespace

size_t DisplayWidth(const std::string& text) {
    size_t width = 0;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char b = static_cast<unsigned char>(text[i]);
        size_t length = b < 0x80           ? 1
                        : (b >> 5) == 0x6  ? 2
                        : (b >> 4) == 0xE  ? 3
                        : (b >> 3) == 0x1E ? 4
                                           : 0;
        uint32_t c = length == 1   ? b
                     : length == 2 ? (b & 0x1F)
                     : length == 3 ? (b & 0x0F)
                                   : (b & 0x07);
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        if (!valid) {
            ++width;  // a stray byte shows as one replacement character
            ++i;
            continue;
        }
        width += IsZeroWidth(c) ? 0 : IsWide(c) ? 2 : 1;
        i += length;
    }
    return width;
}

std::string PadRight(const std::string& text, size_t width) {
    const size_t have = DisplayWidth(text);
    return have >= width ? text : text + std::string(width - have, ' ');
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

void Table::Print(Format format, std::FILE* out) const {
    if (format == Format::kJson) {
        // Keys in column order.
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const auto& row : rows_) {
            nlohmann::ordered_json object = nlohmann::ordered_json::object();
            for (size_t c = 0; c < keys_.size() && c < row.size(); ++c) {
                object[keys_[c]] = nlohmann::ordered_json(row[c].json);
            }
            array.push_back(std::move(object));
        }
        std::fprintf(out, "%s\n", DumpJson(array, 2).c_str());
        return;
    }
    if (format == Format::kCsv) {
        for (size_t c = 0; c < keys_.size(); ++c) {
            std::fprintf(out, "%s%s", c > 0 ? "," : "", CsvField(keys_[c]).c_str());
        }
        std::fprintf(out, "\n");
        for (const auto& row : rows_) {
            for (size_t c = 0; c < row.size(); ++c) {
                std::fprintf(out, "%s%s", c > 0 ? "," : "", CsvField(row[c].text).c_str());
            }
            std::fprintf(out, "\n");
        }
        return;
    }
    std::vector<std::string> header;
    std::vector<size_t> width;
    std::vector<bool> numeric;
    for (const std::string& key : keys_) {
        std::string upper = key;
        for (char& ch : upper) {
            if (ch >= 'a' && ch <= 'z') {
                ch = static_cast<char>(ch - 'a' + 'A');
            } else if (ch == '_') {
                ch = ' ';  // "sent_as" is headed SENT AS
            }
        }
        header.push_back(upper);
        width.push_back(DisplayWidth(upper));
        numeric.push_back(!rows_.empty());
    }
    for (const auto& row : rows_) {
        for (size_t c = 0; c < keys_.size() && c < row.size(); ++c) {
            width[c] = std::max(width[c], DisplayWidth(row[c].text));
            if (!row[c].json.is_number() && !row[c].text.empty()) {
                numeric[c] = false;
            }
        }
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string text;
        for (size_t c = 0; c < keys_.size(); ++c) {
            const std::string& cell = c < cells.size() ? cells[c] : std::string();
            const std::string pad(width[c] - std::min(width[c], DisplayWidth(cell)), ' ');
            if (c > 0) {
                text += "  ";
            }
            if (numeric[c]) {
                text += pad + cell;
            } else if (c + 1 < keys_.size()) {
                text += cell + pad;
            } else {
                text += cell;
            }
        }
        std::fprintf(out, "%s\n", text.c_str());
    };
    line(header);
    for (const auto& row : rows_) {
        std::vector<std::string> cells;
        for (const Cell& cell : row) {
            cells.push_back(cell.text);
        }
        line(cells);
    }
}

std::string DumpJson(const nlohmann::ordered_json& j, int indent) {
    // Texts that are not UTF-8 (the server's bytes) get U+FFFD.
    return j.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string FormatDouble(double v) {
    if (!std::isfinite(v)) {
        return std::isnan(v) ? "nan" : (v < 0 ? "-inf" : "inf");
    }
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, v);
    return std::string(text, result.ptr);
}

std::string FormatFloat(float v) {
    if (!std::isfinite(v)) {
        return FormatDouble(v);
    }
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, v);
    return std::string(text, result.ptr);
}

const char* TagName(int tag) {
    switch (tag) {
        case VAL_LONG:
            return "long";
        case VAL_DOUBLE:
            return "double";
        case VAL_STRING:
            return "text";
        case VAL_NONE:
            return "none";
        default:
            return "?";
    }
}

namespace {

// A JSON number for a double, or null where JSON has none.
nlohmann::json DoubleJson(double v) {
    return std::isfinite(v) ? nlohmann::json(v) : nlohmann::json(nullptr);
}

}  // namespace

Cell ValueCell(const VarValue& v) {
    // VarValue is packed: its payload is copied out, never referenced.
    switch (v.tag) {
        case VAL_LONG: {
            int32_t l = 0;
            std::memcpy(&l, v.u.raw, sizeof l);
            return Cell(std::to_string(l), l);
        }
        case VAL_DOUBLE: {
            double d = 0;
            std::memcpy(&d, v.u.raw, sizeof d);
            return Cell(FormatDouble(d), DoubleJson(d));
        }
        case VAL_STRING: {
            const char* s = nullptr;
            std::memcpy(&s, v.u.raw, sizeof s);
            // A text block holds at most 63 characters and a terminating zero.
            std::string text;
            if (s != nullptr) {
                size_t n = 0;
                while (n < TARVIK_TEXT_MAX && s[n] != '\0') {
                    ++n;
                }
                text.assign(s, n);
            }
            return Cell(text, text);
        }
        default:
            return Cell("", nullptr);
    }
}

}  // namespace tarvik_cli
