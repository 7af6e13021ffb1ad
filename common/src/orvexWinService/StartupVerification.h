// The pieces of the startup verification that the status checker is built
// from, for the tools that explain its verdict with the same code.
#ifndef ORVEX_STARTUP_VERIFICATION_H
#define ORVEX_STARTUP_VERIFICATION_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ComponentMatcher.h"
#include "LineReader.h"
#include "StatusChecker.h"

namespace orvex {

// The white space of the product files' rules.
inline bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The status text keeps at most this many characters of the log's lines.
inline constexpr std::size_t statusLogTextLimit = std::size_t{256} * 1024;

// What one line of the definitions file holds.
struct Definition {
    bool assigns = false;     // neither blank nor a comment, and holds "="
    std::string key;          // before the first "=", leading white space dropped
    std::size_t tokens = 0;   // tokens of its value; only the first three are used
    ComponentRule rule;       // a rule when all three texts are non-empty
    bool DefinesRule() const { return !rule.text1.empty() && !rule.text2.empty() && !rule.text3.empty(); }
};

Definition ParseDefinitionLine(const std::string& line);

// Told of each line of the definitions file as it is read.
class DefinitionObserver {
public:
    DefinitionObserver() = default;
    DefinitionObserver(const DefinitionObserver&) = delete;
    DefinitionObserver& operator=(const DefinitionObserver&) = delete;
    virtual ~DefinitionObserver() = default;
    // number counts lines from 1.
    virtual void OnDefinition(std::uint64_t number, const Line& line, const Definition& definition) = 0;
};

// LoadComponentRules, telling observer of each line.
std::vector<ComponentRule> ReadDefinitions(const std::string& path, DefinitionObserver* observer);

// The last lines of the log for the status text: each line with its line
// feed, whole lines only, at most limit characters in all. Only the last
// limit characters read (and the one before them) are held, in a ring; which
// lines they hold whole is settled when they are asked for.
class StatusTail {
public:
    // A limit under 256 is taken as 256, so that any line fits.
    explicit StatusTail(std::size_t limit = statusLogTextLimit);

    // One line of the log: no line feed, at most 255 characters. Its line feed is added here.
    void Append(const char* text, std::size_t size) {
        ++lines;
        written += size + 1;
        if (capacity - position > size) {
            std::memcpy(ring.get() + position, text, size);
            position += size;
            ring[position] = '\n';
            position = position + 1 == capacity ? 0 : position + 1;
        } else {
            Write(text, size);
            Write("\n", 1);
        }
    }

    // Whole lines at once, each already followed by its line feed.
    void AppendLines(const char* text, std::size_t size, std::uint64_t count) {
        lines += count;
        written += size;
        Write(text, size);
    }

    // How many lines are not kept, the oldest ones.
    std::uint64_t LeftOut() const;
    // The kept lines, oldest first, appended to out.
    void AppendTo(std::string& out) const;

private:
    void Write(const char* bytes, std::size_t size);
    // How many of the last characters written form the kept lines.
    std::size_t KeptSize() const;
    char At(std::size_t back) const;  // the character written back + 1 characters ago
    // Calls visit(begin, size) on the kept characters, oldest first, in one or two pieces.
    template <typename Visit>
    void ForKept(Visit&& visit) const {
        const std::size_t size = KeptSize();
        const std::size_t start = (position + capacity - size) % capacity;
        const std::size_t first = std::min(size, capacity - start);
        visit(ring.get() + start, first);
        if (size > first) {
            visit(ring.get(), size - first);
        }
    }

    std::size_t limit;
    std::size_t capacity;  // limit + 1
    std::unique_ptr<char[]> ring;
    std::size_t position = 0;   // where the next character goes
    std::uint64_t written = 0;  // characters, line feeds included
    std::uint64_t lines = 0;
};

// Told of each line of the status log as the scan reads it.
class ScanObserver {
public:
    ScanObserver() = default;
    ScanObserver(const ScanObserver&) = delete;
    ScanObserver& operator=(const ScanObserver&) = delete;
    virtual ~ScanObserver() = default;
    // number counts lines from 1; matcher is null where the line was not
    // searched (an empty line, or every component already found); marked is
    // the component the line marked, or ComponentMatcher::noComponent.
    virtual void OnLine(std::uint64_t number, const Line& line, const ComponentMatcher* matcher,
                        std::size_t marked) = 0;
};

// Reads the status log at path once, marking the components its lines report
// and keeping the status text's lines in tail. Throws OpeningFailure(path),
// with nothing changed, when the log cannot be opened, and ReadingFailure(path)
// when a read fails, with the components marked so far.
void ScanStatusLog(const std::string& path, std::vector<ComponentRule>& components, StatusTail& tail,
                   ScanObserver* observer = nullptr);

// "(<N> earlier lines of <path> are not shown)\n"
std::string LeftOutNote(std::uint64_t lines, const std::string& path);

// What the status text holds after its header: the note of the lines left
// out, if any, then the kept lines of the log at path.
void AppendStatusLines(const StatusTail& tail, const std::string& path, std::string& out);

}  // namespace orvex

#endif
