// Pieces of the Compute Engine emulation the seeding code reuses.
#pragma once

#include <string>

#include "World.h"

namespace gce::emu {

// Turns a full or partial Compute reference ("https://www.googleapis.com/
// compute/v1/projects/P/...", "projects/P/...", "zones/Z/...") into a path
// relative to compute/v1 ("projects/P/..."). Bare names are returned as is.
std::string normalizeRef(const std::string& ref, const std::string& project);

// Creates an empty READY disk from a Disk body at once (used when seeding).
// Caller holds w.mu. Returns its key. Throws ApiError on invalid input.
std::string seedDisk(World& w, const std::string& project, const std::string& scopeKind,
                     const std::string& scope, const nlohmann::json& body);

// Attaches an existing disk to an instance at once (used when seeding).
// Caller holds w.mu. attached is an AttachedDisk with at least deviceName.
void seedAttach(World& w, const std::string& instKey, const std::string& diskKey,
                const nlohmann::json& attached);

}  // namespace gce::emu
