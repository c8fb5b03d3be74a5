#include "Schemas.h"

#include <map>
#include <sstream>

#include "ApiError.h"

namespace gce::emu {
namespace {

struct Entry {
    const char* api;
    const char* schema;
    const char* fields;
};

const Entry kTable[] = {
#include "SchemaTable.inc"
};

// api/schema -> field -> child schema ("" when not descended).
using Fields = std::map<std::string, std::string>;

const std::map<std::string, Fields>& table() {
    static const std::map<std::string, Fields> t = [] {
        std::map<std::string, Fields> m;
        for (const auto& e : kTable) {
            Fields f;
            std::istringstream in(e.fields);
            std::string word;
            while (in >> word) {
                auto colon = word.find(':');
                if (colon == std::string::npos) {
                    f[word] = "";
                } else {
                    f[word.substr(0, colon)] = word.substr(colon + 1);
                }
            }
            m[std::string(e.api) + "/" + e.schema] = std::move(f);
        }
        return m;
    }();
    return t;
}

void check(const std::string& api, const std::string& schema, const nlohmann::json& body,
           const std::string& where) {
    auto it = table().find(api + "/" + schema);
    if (it == table().end() || !body.is_object()) return;
    for (auto& [name, value] : body.items()) {
        auto f = it->second.find(name);
        if (f == it->second.end()) {
            throw ApiError(400, "invalid",
                           "Invalid JSON payload received. Unknown name \"" + name + "\" at '" + where +
                               "': Cannot find field.");
        }
        if (f->second.empty()) continue;
        if (value.is_array()) {
            for (size_t i = 0; i < value.size(); ++i) {
                check(api, f->second, value[i], where + "." + name + "[" + std::to_string(i) + "]");
            }
        } else if (value.is_object()) {
            check(api, f->second, value, where + "." + name);
        }
    }
}

}  // namespace

void checkKnownFields(const std::string& api, const std::string& schema, const nlohmann::json& body) {
    std::string where = schema;
    if (!where.empty()) where[0] = static_cast<char>(std::tolower(where[0]));
    check(api, schema, body, where);
}

}  // namespace gce::emu
