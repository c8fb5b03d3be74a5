// The reliability end-to-end tests: the gcebackup fixture and a fingerprint
// of every cloud resource to compare before and after a job.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "GcebackupFixture.h"

namespace reliability {

namespace fs = std::filesystem;
using gce::testsupport::EmulatorProcess;
using nlohmann::json;

constexpr const char* kProject = "demo-project";

inline int EnvInt(const char* name, int def) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : def;
}

// Every resource of every project, one line each: instances with their
// attached disks, disks, snapshots, key rings, keys, buckets. Ids are part
// of the line so that a resource deleted and made again shows up.
inline std::set<std::string> Fingerprint(const json& resources) {
    std::set<std::string> out;
    for (const auto& [project, p] : resources["projects"].items()) {
        for (const auto& i : p["instances"]) {
            const std::string name = i.value("name", "");
            out.insert(project + " instance " + name + " " + i.value("id", ""));
            for (const auto& d : i.value("disks", json::array())) {
                const std::string src = d.value("source", "");
                out.insert(project + " instance " + name + " disk " + src.substr(src.rfind('/') + 1));
            }
        }
        for (const auto& d : p["disks"])
            out.insert(project + " disk " + d.value("name", "") + " " + d.value("id", ""));
        for (const auto& s : p["snapshots"]) out.insert(project + " snapshot " + s.value("name", ""));
        for (const auto& k : p["keyRings"]) out.insert(project + " keyRing " + k.value("name", ""));
        for (const auto& k : p["cryptoKeys"]) out.insert(project + " cryptoKey " + k.value("name", ""));
        for (const auto& b : p["buckets"]) out.insert(project + " bucket " + b.value("name", ""));
    }
    return out;
}

inline std::string Diff(const std::set<std::string>& before, const std::set<std::string>& after) {
    std::string out;
    for (const auto& s : after)
        if (!before.count(s)) out += "  left behind: " + s + "\n";
    for (const auto& s : before)
        if (!after.count(s)) out += "  gone: " + s + "\n";
    return out;
}

// True when `made` (fingerprint lines new since the jobs started) is exactly
// the instances named, each stopped, with the disks attached to them: what
// finished restores leave.
inline bool AreCompleteRestores(const std::set<std::string>& made, const std::vector<std::string>& names,
                                const json& resources) {
    if (made.empty()) return false;
    std::set<std::string> attached;  // "<project> disk <name> "
    for (const auto& name : names) {
        bool stopped = false;
        for (const auto& [project, p] : resources["projects"].items())
            for (const auto& i : p["instances"])
                if (i.value("name", "") == name) stopped = i.value("status", "") == "TERMINATED";
        const std::string instance = " instance " + name + " ";
        bool haveInstance = false;
        for (const auto& line : made) {
            const size_t at = line.find(instance);
            if (at == std::string::npos) continue;
            const std::string rest = line.substr(at + instance.size());
            if (rest.rfind("disk ", 0) == 0)
                attached.insert(line.substr(0, at) + " disk " + rest.substr(5) + " ");
            else
                haveInstance = true;
        }
        if (!stopped || !haveInstance) return false;
    }
    for (const auto& line : made) {
        bool known = false;
        for (const auto& name : names)
            known = known || line.find(" instance " + name + " ") != std::string::npos;
        for (const auto& prefix : attached) known = known || line.rfind(prefix, 0) == 0;
        if (!known) return false;
    }
    return true;
}

class ReliabilityE2E : public gce::testsupport::GcebackupFixture {
  protected:
    std::vector<std::string> BackupArgs(const std::string& instance = "web-1") const {
        return {"backup", "--project", kProject, "--instance", instance, "--to", m_store};
    }
    std::vector<std::string> RestoreArgs(const std::string& as, const std::string& instance = "web-1") const {
        return {"restore", "--from", m_store, "--instance", instance, "--as", as, "--zone", "us-central1-a"};
    }

    std::set<std::string> Resources() const { return Fingerprint(m_emu->resources()); }
};

}  // namespace reliability
