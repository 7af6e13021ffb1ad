// The pieces Explain is made of: the definitions read with their warnings, a
// first pass over the status log that reaches the verdict as the host's scan
// does, and a second pass that explains the components not found.
#ifndef ORVEX_CHECK_EXPLAIN_PASSES_H
#define ORVEX_CHECK_EXPLAIN_PASSES_H

#include <string>
#include <utility>
#include <vector>

#include "Explanation.h"

namespace orvex::check {

// Sorts a few items, keeping equal ones in their order; the lists sorted here
// hold at most three items, so no general sort is linked in for them.
template <typename Item, typename Before>
void SortShort(Item* first, const Item* last, Before before) {
    for (Item* i = first; i != last; ++i) {
        for (Item* j = i; j != first && before(*j, *(j - 1)); --j) {
            std::swap(*j, *(j - 1));
        }
    }
}

// Reads the definitions file as the host does, adding each component and what
// in the file silently changes a verdict to out. Throws as ReadDefinitions.
std::vector<ComponentRule> ReadExplainedDefinitions(const std::string& path, Explanation& out);

// The first pass: the host's scan of the log, marking components, noting in
// out the line that marked each, the number of lines and what the line rules
// did, and adding the log's warnings. Throws as ScanStatusLog.
void ScanForVerdict(const std::string& path, std::vector<ComponentRule>& components, Explanation& out);

// The second pass: for each component the first pass did not find, its
// nearest line and the first line holding its first text, within the lines
// the first pass read. Where the log can no longer be read, or reads
// otherwise than in the first pass, a component may be left without them.
void ExplainMissing(const std::string& path, const std::vector<ComponentRule>& components, Explanation& out);

}  // namespace orvex::check

#endif
