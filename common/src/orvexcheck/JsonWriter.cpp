#include "JsonWriter.h"

#include "Pieces.h"

#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace orvex::check {
namespace {

void PutUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// One character of a JSON string: quotes, backslashes and control characters escaped.
void PutCharacter(std::string& out, std::uint32_t code) {
    switch (code) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        default:
            break;
    }
    if (code < 0x20 || code == 0x7F) {
        const char* const digits = "0123456789abcdef";
        out += "\\u00";
        out += digits[code >> 4];
        out += digits[code & 0x0F];
        return;
    }
    PutUtf8(out, code);
}

// The characters the bytes stand for, in order.
std::vector<std::uint32_t> Decode(std::string_view bytes) {
    std::vector<std::uint32_t> codes;
#ifdef _WIN32
    // The active ANSI code page, as the product wrote its files; a byte that
    // stands for no character becomes one the code page chooses, never an error.
    const int size = static_cast<int>(bytes.size());
    const int wide = size == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
    std::vector<wchar_t> units(static_cast<std::size_t>(wide));
    if (wide > 0) {
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, units.data(), wide);
    }
    for (std::size_t k = 0; k < units.size(); ++k) {
        const auto unit = static_cast<std::uint32_t>(units[k]);
        const bool high = unit >= 0xD800 && unit < 0xDC00;
        const bool low = unit >= 0xDC00 && unit < 0xE000;
        if (high && k + 1 < units.size() && units[k + 1] >= 0xDC00 && units[k + 1] < 0xE000) {
            codes.push_back(0x10000 + ((unit - 0xD800) << 10) + (static_cast<std::uint32_t>(units[k + 1]) - 0xDC00));
            ++k;
        } else {
            codes.push_back(high || low ? 0xFFFD : unit);  // a lone half of a pair stands for nothing
        }
    }
#else
    // Each byte as the character of the same number.
    codes.reserve(bytes.size());
    for (const char c : bytes) {
        codes.push_back(static_cast<unsigned char>(c));
    }
#endif
    return codes;
}

}  // namespace

std::string JsonString(std::string_view bytes) {
    std::string out = "\"";
    for (const std::uint32_t code : Decode(bytes)) {
        PutCharacter(out, code);
    }
    out += '"';
    return out;
}

std::string Utf8FromCodePage(std::string_view bytes) {
    std::string out;
    for (const std::uint32_t code : Decode(bytes)) {
        PutUtf8(out, code);
    }
    return out;
}

void JsonWriter::Key(std::string_view name) {
    BeforeValue();
    out += JsonString(name);
    out += ": ";
    afterKey = true;
}

void JsonWriter::String(std::string_view bytes) {
    BeforeValue();
    out += JsonString(bytes);
}

void JsonWriter::Number(std::uint64_t value) {
    BeforeValue();
    out += std::to_string(value);
}

void JsonWriter::Fixed(double value) {
    BeforeValue();
    out += FixedText(value);
}

void JsonWriter::Bool(bool value) {
    BeforeValue();
    out += value ? "true" : "false";
}

void JsonWriter::Null() {
    BeforeValue();
    out += "null";
}

std::string JsonWriter::Finish() {
    out += '\n';
    return std::move(out);
}

void JsonWriter::Open(char bracket) {
    BeforeValue();
    out += bracket;
    ++depth;
    first = true;
}

void JsonWriter::Close(char bracket) {
    --depth;
    if (!first) {
        Indent();
    }
    out += bracket;
    first = false;
}

void JsonWriter::BeforeValue() {
    if (afterKey) {
        afterKey = false;
        return;
    }
    if (!first) {
        out += ',';
    }
    if (depth > 0) {
        Indent();
    }
    first = false;
}

void JsonWriter::Indent() {
    out += '\n';
    out.append(std::size_t{depth} * 2, ' ');
}

}  // namespace orvex::check
