// Rules of the cloud for the names a restore is given: resource names, and
// whether a zone offers a machine type (custom types included). Used by the
// plug-in's destination checks and by the host before a restore starts.
#pragma once

#include <string>
#include <vector>

namespace CloudNames {

// Longest resource name the cloud accepts.
constexpr size_t kMaxNameLength = 63;

// True when `name` is a valid resource name: 1 to 63 characters matching
// [a-z]([-a-z0-9]*[a-z0-9])?.
bool IsValidName(const std::string& name);

// The series of a custom machine type: "n1" for "custom-N-M", "<series>" for
// "<series>-custom-N-M" (either with an optional "-ext"); empty for any other
// name.
std::string CustomTypeSeries(const std::string& type);

// True when a zone offering the machine types `offered` (names) offers
// `type`: listed by name, or a custom type whose series the zone offers (a
// zone never lists custom types).
bool IsMachineTypeOffered(const std::string& type, const std::vector<std::string>& offered);

}  // namespace CloudNames
