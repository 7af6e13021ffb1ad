// Gathers the verdict and its explanation in at most two passes over the
// status log: the first is the host's own scan and decides; only where a
// component is not found does a second pass look for its nearest line.
#include "Explanation.h"

#include "ExplainPasses.h"

namespace orvex::check {

Explanation Explain(const std::string& propertiesPath, const std::string& logPath) {
    Explanation explanation;
    std::vector<ComponentRule> components = ReadExplainedDefinitions(propertiesPath, explanation);
    ScanForVerdict(logPath, components, explanation);
    for (std::size_t c = 0; c < components.size(); ++c) {
        explanation.components[c].rule.found = components[c].found;
        if (!components[c].found) {
            explanation.confirmed = false;
            explanation.failed.push_back(components[c].text1);
        }
    }
    if (!explanation.confirmed) {
        ExplainMissing(logPath, components, explanation);
    }
    return explanation;
}

}  // namespace orvex::check
