// Compute Engine operations: creation and their timed life cycle.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "World.h"

namespace gce::emu {

// Creates a PENDING operation and returns its key ("projects/P/zones/Z/operations/N").
// scopeKind is "zones", "regions" or "global". Caller holds w.mu.
std::string newOperation(World& w, const std::string& project, const std::string& scopeKind,
                         const std::string& scope, const std::string& type, const std::string& targetLink,
                         const std::string& targetId, const std::string& requestId);

// Moves the operation to RUNNING at half of doneAfterMs, then at doneAfterMs
// calls finish (with mu held); a returned error fails the operation. The
// operation is DONE afterwards either way. Caller holds w.mu.
void runOperation(World& w, const std::string& key, int doneAfterMs,
                  std::function<std::optional<OpError>()> finish);

// Marks op DONE with the error. Caller holds w.mu.
void failOperation(json& op, const OpError& err);

}  // namespace gce::emu
