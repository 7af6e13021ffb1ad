// A small writer of JSON documents (RFC 8259), two blanks of indent per level.
// Texts are the product's bytes in the system's ANSI code page: each is
// decoded (on Windows with the active ANSI code page, elsewhere each byte as
// the character U+0000 to U+00FF) and written as UTF-8, control characters
// escaped, so that no input can make the document invalid.
#ifndef ORVEX_CHECK_JSON_WRITER_H
#define ORVEX_CHECK_JSON_WRITER_H

#include <cstdint>
#include <string>
#include <string_view>

namespace orvex::check {

// The bytes as a JSON string: decoded, written as UTF-8, in double quotes.
std::string JsonString(std::string_view bytes);

// The bytes decoded as JsonString decodes them, written as UTF-8 with nothing
// escaped: for the other reports that must carry the product's texts as UTF-8.
std::string Utf8FromCodePage(std::string_view bytes);

class JsonWriter {
public:
    void BeginObject() { Open('{'); }
    void EndObject() { Close('}'); }
    void BeginArray() { Open('['); }
    void EndArray() { Close(']'); }
    // The name of the next member of an object; names are ASCII.
    void Key(std::string_view name);
    void String(std::string_view bytes);
    void Number(std::uint64_t value);
    // A number with three decimals, such as a time in seconds.
    void Fixed(double value);
    void Bool(bool value);
    void Null();
    // A member of an object: its name, then its value.
    void StringMember(std::string_view name, std::string_view bytes) {
        Key(name);
        String(bytes);
    }
    void NumberMember(std::string_view name, std::uint64_t value) {
        Key(name);
        Number(value);
    }
    void BoolMember(std::string_view name, bool value) {
        Key(name);
        Bool(value);
    }

    // The document, with a line feed after it.
    std::string Finish();

private:
    void Open(char bracket);
    void Close(char bracket);
    // Before a value: the separator from the one before, unless it follows a key.
    void BeforeValue();
    void Indent();

    std::string out;
    unsigned depth = 0;
    bool first = true;      // nothing yet at this depth
    bool afterKey = false;  // a key was written, its value is next
};

}  // namespace orvex::check

#endif
