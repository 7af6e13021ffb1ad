// Component definitions reader and status log scan.
//
// Both product files go through the same LineReader, so the line rules are
// the same for both and on every platform. The scan is one streaming pass:
// each line is searched for every text of every component at once and only
// the last lines of the log are kept for the status text, so memory does not
// grow with the log.
#include "StartupVerification.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace orvex {

std::string SkipLeadingSpace(const std::string& text, std::size_t start) {
    std::size_t position = std::min(start, text.size());
    while (position < text.size() && IsWhiteSpace(text[position])) {
        ++position;
    }
    return text.substr(position);
}

std::string NextToken(const std::string& value, std::size_t& position) {
    position = std::min(position, value.size());
    while (position < value.size() && value[position] == ',') {
        ++position;
    }
    const std::size_t begin = position;
    const std::size_t comma = value.find(',', begin);
    position = comma == std::string::npos ? value.size() : comma;
    return value.substr(begin, position - begin);
}

Definition ParseDefinitionLine(const std::string& line) {
    Definition definition;
    const std::string text = SkipLeadingSpace(line, 0);
    if (text.empty() || text[0] == '#' || text[0] == '!') {
        return definition;
    }
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) {
        return definition;
    }
    definition.assigns = true;
    definition.key = text.substr(0, equals);
    const std::string value = SkipLeadingSpace(text, equals + 1);
    std::size_t position = 0;
    definition.rule.text1 = NextToken(value, position);
    definition.rule.text2 = SkipLeadingSpace(NextToken(value, position), 0);
    definition.rule.text3 = SkipLeadingSpace(NextToken(value, position), 0);
    // A token holds no comma and is never empty, so every token is counted.
    for (std::size_t k = 0; k < value.size(); ++k) {
        if (value[k] != ',' && (k == 0 || value[k - 1] == ',')) {
            ++definition.tokens;
        }
    }
    return definition;
}

std::vector<ComponentRule> ReadDefinitions(const std::string& path, DefinitionObserver* observer) {
    LineReader reader(path);
    std::vector<ComponentRule> rules;
    Line line;
    std::uint64_t number = 0;
    while (reader.Next(line)) {
        ++number;
        Definition definition = ParseDefinitionLine(std::string(line.text, line.size));
        if (observer != nullptr) {
            observer->OnDefinition(number, line, definition);
        }
        if (definition.DefinesRule()) {
            rules.push_back(std::move(definition.rule));
        }
    }
    return rules;
}

std::vector<ComponentRule> LoadComponentRules(const std::string& path) {
    return ReadDefinitions(path, nullptr);
}

// The limit always holds one line of 255 characters and its line feed.
StatusTail::StatusTail(std::size_t limit)
    : limit(std::max(limit, maxLineLength + 1)), capacity(this->limit + 1), ring(new char[capacity]) {}

void StatusTail::Write(const char* bytes, std::size_t size) {
    // Only the last capacity characters are ever read back.
    if (size > capacity) {
        bytes += size - capacity;
        size = capacity;
    }
    const std::size_t first = std::min(size, capacity - position);
    std::memcpy(ring.get() + position, bytes, first);
    std::memcpy(ring.get(), bytes + first, size - first);
    position += size;
    position -= position >= capacity ? capacity : 0;
}

char StatusTail::At(std::size_t back) const {
    return ring[(position + capacity - 1 - back) % capacity];
}

std::size_t StatusTail::KeptSize() const {
    if (written <= limit) {
        return static_cast<std::size_t>(written);
    }
    // The last limit characters, less the part of a line cut at their start.
    std::size_t size = limit;
    if (At(limit) != '\n') {
        while (At(size - 1) != '\n') {
            --size;
        }
        --size;
    }
    return size;
}

std::uint64_t StatusTail::LeftOut() const {
    std::uint64_t kept = 0;
    ForKept([&kept](const char* begin, std::size_t size) {
        kept += static_cast<std::uint64_t>(std::count(begin, begin + size, '\n'));
    });
    return lines - kept;
}

void StatusTail::AppendTo(std::string& out) const {
    out.reserve(out.size() + KeptSize());
    ForKept([&out](const char* begin, std::size_t size) { out.append(begin, size); });
}

std::string LeftOutNote(std::uint64_t lines, const std::string& path) {
    return "(" + std::to_string(lines) + " earlier lines of " + path + " are not shown)\n";
}

void AppendStatusLines(const StatusTail& tail, const std::string& path, std::string& out) {
    const std::uint64_t leftOut = tail.LeftOut();
    if (leftOut > 0) {
        out += LeftOutNote(leftOut, path);
    }
    tail.AppendTo(out);
}

void ScanStatusLog(const std::string& path, std::vector<ComponentRule>& components, StatusTail& tail,
                   ScanObserver* observer) {
    LineReader reader(path);
    // An observer is told of the texts of every line; without one, only the
    // lines that hold a component's anchor are searched for every text.
    ComponentMatcher matcher(components, observer != nullptr ? ComponentMatcher::Search::everyLine
                                                             : ComponentMatcher::Search::anchorLines);
    Line line;
    std::uint64_t number = 0;
    std::uint64_t fillings = 0;
    const auto markFound = [&components](std::size_t component) { components[component].found = true; };
    // The matcher marks the candidate starts of each buffer the reader fills.
    const auto followBuffer = [&reader, &matcher, &fillings]() {
        if (reader.Fillings() != fillings) {
            fillings = reader.Fillings();
            matcher.SetBlock(reader.Buffer(), reader.BufferSize());
        }
    };
    for (;;) {
        // Where no observer needs each line, runs of plain lines are taken at
        // once: they are counted, kept and searched where a text may begin.
        Run run;
        if (observer == nullptr && reader.NextRun(run)) {
            number += run.lines;
            tail.AppendLines(run.text, run.size, run.lines);
            if (!matcher.AllFound()) {
                followBuffer();
                matcher.MarkLines(run.text, run.size, reader.Feeds(), markFound);
            }
            continue;
        }
        if (!reader.Next(line)) {
            break;
        }
        ++number;
        followBuffer();
        tail.Append(line.text, line.size);
        std::size_t marked = ComponentMatcher::noComponent;
        const bool searched = line.size > 0 && !matcher.AllFound();
        if (searched) {
            marked = matcher.MarkLine(line.text, line.size);
            if (marked != ComponentMatcher::noComponent) {
                markFound(marked);
            }
        }
        if (observer != nullptr) {
            observer->OnLine(number, line, searched ? &matcher : nullptr, marked);
        }
    }
}

StatusChecker::StatusChecker(const std::string& propertiesPath, const std::string& logPath)
    : components(LoadComponentRules(propertiesPath)), logPath(logPath), statusText(statusTextHeader) {}

bool StatusChecker::Check() {
    // The scan marks a copy: a log that cannot be read to its end leaves the
    // checker as it was.
    std::vector<ComponentRule> scannedComponents = components;
    StatusTail tail;
    ScanStatusLog(logPath, scannedComponents, tail);
    components = std::move(scannedComponents);

    AppendStatusLines(tail, logPath, statusText);

    bool verdict = true;
    for (const ComponentRule& rule : components) {
        if (!rule.found) {
            verdict = false;
            failedComponents.push_back(rule.text1);
        }
    }
    scanned = true;
    return verdict;
}

std::string StatusChecker::GetStatusText() const& {
    return statusText;
}

std::string StatusChecker::GetStatusText() && {
    return std::move(statusText);
}

std::vector<std::string> StatusChecker::GetFailedComponents() {
    if (!scanned) {
        Check();
    }
    return failedComponents;
}

const std::vector<ComponentRule>& StatusChecker::GetComponents() const {
    return components;
}

}  // namespace orvex
