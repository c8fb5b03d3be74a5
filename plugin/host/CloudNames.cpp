#include "plugin/host/CloudNames.h"

#include <regex>

namespace CloudNames {

bool IsValidName(const std::string& name) {
    static const std::regex kName("[a-z]([-a-z0-9]*[a-z0-9])?");
    return !name.empty() && name.size() <= kMaxNameLength && std::regex_match(name, kName);
}

std::string CustomTypeSeries(const std::string& type) {
    static const std::regex kCustom("(?:([a-z][a-z0-9]*)-)?custom-[0-9]+-[0-9]+(-ext)?");
    std::smatch m;
    if (!std::regex_match(type, m, kCustom)) return std::string();
    return m[1].matched ? m[1].str() : std::string("n1");
}

bool IsMachineTypeOffered(const std::string& type, const std::vector<std::string>& offered) {
    for (const std::string& name : offered)
        if (name == type) return true;
    const std::string series = CustomTypeSeries(type);
    if (series.empty()) return false;
    for (const std::string& name : offered)
        if (name.rfind(series + "-", 0) == 0) return true;
    return false;
}

}  // namespace CloudNames
