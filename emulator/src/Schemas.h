// Field tables of the request bodies the emulator accepts.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace gce::emu {

// Throws ApiError 400 when body (or any nested object of a known schema)
// carries a field the API's schema does not define, naming the field the way
// Google does. api is "compute", "kms", "storage" or "crm". Thread-safe.
void checkKnownFields(const std::string& api, const std::string& schema, const nlohmann::json& body);

}  // namespace gce::emu
