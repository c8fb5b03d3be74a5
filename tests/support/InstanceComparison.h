// Compares an instance made by a restore, revert or replication pass with
// the instance it came from, field by field, as gce-emulator describes both.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "EmulatorProcess.h"

namespace gce::testsupport {

// An instance's configuration: its instances.get answer, each attached disk
// carrying that disk's disks.get answer under "resource". Throws
// std::runtime_error when the instance or one of its disks cannot be read.
nlohmann::json ReadInstanceConfig(const EmulatorProcess& emu, const std::string& project,
                                  const std::string& zone, const std::string& name);

// What the result has instead of the source's value where a job changes it
// on purpose (a machine type given on the command line, a converted
// instance's licences, a key of the destination project). Paths are JSON
// pointers into the compared view: the configuration above with every
// Compute URL reduced to its path, the instance's own project, zone and
// region written {project}, {zone} and {region}, and key versions dropped.
struct ExpectedChanges {
    std::map<std::string, nlohmann::json> values;  // path -> the result's value (null: absent)
    std::set<std::string> ignoredDiskLabels;       // label keys a job adds to every disk
    std::set<std::string> ignoredPaths;            // fields a job builds anew (a converted instance)

    ExpectedChanges& MachineType(const std::string& type);
    // The boot disk's licences (full URLs or resource paths), on the disk and
    // on its attachment.
    ExpectedChanges& BootLicenses(const std::vector<std::string>& licences);
    // The KMS key (without version) of the disk attached at `index`.
    ExpectedChanges& DiskKey(size_t index, const std::string& key);
    ExpectedChanges& IgnoreDiskLabel(const std::string& key);
    ExpectedChanges& Ignore(const std::string& path);
};

// The fields an instance and its copy must differ in (identity, placement,
// state, stamps of a new resource); all else is compared. Patterns of JSON
// pointers in which "*" stands for any array index.
const std::vector<std::string>& FieldsAllowedToDiffer();

// Empty when `result` matches `source` except for FieldsAllowedToDiffer()
// and `expected`; otherwise one line per difference, e.g.
// "/disks/0/resource/licenses: source [...], result (absent)".
std::string CompareInstanceConfigs(const nlohmann::json& source, const nlohmann::json& result,
                                   const ExpectedChanges& expected = {});

}  // namespace gce::testsupport
