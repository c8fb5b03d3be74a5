// Builds the emulated world from a seed description.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "World.h"

namespace gce::emu {

// The demo world as a seed document. dataMiB scales the real (non-hole) data
// written into web-1's disks (default 256 MiB in total).
nlohmann::json demoSeed(int dataMiB);

// Applies a seed document (format in emulator/README.md) to w: creates the
// projects, zones, machine types, licences, images, KMS keys, service
// accounts (writing their .p12 and JSON key files and credential.txt into
// w.stateDir), instances and disks (writing their data patterns), buckets,
// and marks the proxy. w.stateDir, w.byIdDir and w.baseUrl must be set.
// Throws std::runtime_error (or ApiError) naming the offending entry.
//
// keyCacheDir, when not empty, holds one PEM private key per service account
// (<e-mail>.pem): an existing one is reused instead of generating a new key,
// a new one is stored there. Test suites use it to skip RSA key generation.
void applySeed(World& w, const nlohmann::json& seed, const std::string& keyCacheDir = "");

}  // namespace gce::emu
