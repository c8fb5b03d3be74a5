#include "InstanceComparison.h"

#include <sstream>
#include <stdexcept>

namespace gce::testsupport {

using json = nlohmann::json;

namespace {

const std::string kComputeV1 = "/compute/v1/";

// The resource path of a Compute URL ("projects/P/zones/Z/disks/D"); any
// other text as it is.
std::string ResourcePath(const std::string& s) {
    const auto pos = s.find(kComputeV1);
    return pos == std::string::npos ? s : s.substr(pos + kComputeV1.size());
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep)) out.push_back(part);
    return out;
}

struct Placement {
    std::string project, zone, region;
};

Placement PlacementOf(const json& instance) {
    Placement p;
    const auto parts = Split(ResourcePath(instance.value("selfLink", "")), '/');
    if (parts.size() >= 4 && parts[0] == "projects" && parts[2] == "zones") {
        p.project = parts[1];
        p.zone = parts[3];
        p.region = p.zone.substr(0, p.zone.rfind('-'));
    }
    return p;
}

// A resource path with the instance's own project, zone and region made
// placeholders, and a key's version dropped; other text unchanged.
std::string Generalise(const std::string& text, const Placement& p) {
    std::string s = ResourcePath(text);
    if (s.rfind("projects/", 0) != 0) return text;
    const auto version = s.find("/cryptoKeyVersions/");
    if (version != std::string::npos) s.resize(version);
    auto parts = Split(s, '/');
    if (parts.size() > 2 && parts[1] == p.project &&
        (parts[2] == "zones" || parts[2] == "regions" || parts[2] == "global"))
        parts[1] = "{project}";
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        if (parts[i] == "zones" && parts[i + 1] == p.zone) parts[i + 1] = "{zone}";
        if (parts[i] == "regions" && parts[i + 1] == p.region) parts[i + 1] = "{region}";
    }
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) out += (i ? "/" : "") + parts[i];
    return out;
}

void GeneraliseAll(json& j, const Placement& p) {
    if (j.is_string()) {
        j = Generalise(j.get<std::string>(), p);
    } else if (j.is_structured()) {
        for (auto& child : j) GeneraliseAll(child, p);
    }
}

// Removes what a pointer pattern ("/disks/*/source") names.
void Erase(json& j, const std::vector<std::string>& parts, size_t i) {
    if (i >= parts.size()) return;
    const std::string& part = parts[i];
    const bool last = i + 1 == parts.size();
    if (part == "*") {
        if (!j.is_array()) return;
        for (auto& e : j) Erase(e, parts, i + 1);
    } else if (j.is_object() && j.contains(part)) {
        if (last)
            j.erase(part);
        else
            Erase(j[part], parts, i + 1);
    } else if (j.is_array() && !part.empty() && part.find_first_not_of("0123456789") == std::string::npos) {
        const size_t index = std::stoul(part);
        if (index >= j.size()) return;
        if (last)
            j.erase(index);
        else
            Erase(j[index], parts, i + 1);
    }
}

void Erase(json& j, const std::string& pattern) {
    auto parts = Split(pattern, '/');
    if (!parts.empty() && parts[0].empty()) parts.erase(parts.begin());
    Erase(j, parts, 0);
}

json View(const json& config, const ExpectedChanges& expected) {
    json view = config;
    for (const auto& field : FieldsAllowedToDiffer()) Erase(view, field);
    for (const auto& path : expected.ignoredPaths) Erase(view, path);
    for (const auto& key : expected.ignoredDiskLabels) Erase(view, "/disks/*/resource/labels/" + key);
    GeneraliseAll(view, PlacementOf(config));
    return view;
}

std::string Show(const json* j) {
    if (j == nullptr) return "(absent)";
    std::string text = j->dump();
    return text.size() > 300 ? text.substr(0, 300) + "..." : text;
}

void Diff(const json* a, const json* b, const std::string& path, std::string& out) {
    if (a != nullptr && b != nullptr && *a == *b) return;
    if (a != nullptr && b != nullptr && a->is_object() && b->is_object()) {
        for (const auto& [k, v] : a->items())
            Diff(&v, b->contains(k) ? &(*b)[k] : nullptr, path + "/" + k, out);
        for (const auto& [k, v] : b->items())
            if (!a->contains(k)) Diff(nullptr, &v, path + "/" + k, out);
        return;
    }
    if (a != nullptr && b != nullptr && a->is_array() && b->is_array() && a->size() == b->size()) {
        for (size_t i = 0; i < a->size(); ++i) Diff(&(*a)[i], &(*b)[i], path + "/" + std::to_string(i), out);
        return;
    }
    out += "  " + (path.empty() ? std::string("/") : path) + ": source " + Show(a) + ", result " + Show(b) +
           "\n";
}

}  // namespace

const std::vector<std::string>& FieldsAllowedToDiffer() {
    static const std::vector<std::string> fields = {
        // The instance: its identity and place, its state, and the stamps
        // and addresses the cloud gives a new instance.
        "/id", "/name", "/selfLink", "/zone", "/creationTimestamp", "/fingerprint", "/labelFingerprint",
        "/status", "/statusMessage", "/cpuPlatform", "/lastStartTimestamp", "/lastStopTimestamp",
        "/lastSuspendedTimestamp", "/startRestricted", "/resourceStatus", "/satisfiesPzs",
        "/metadata/fingerprint", "/tags/fingerprint", "/networkInterfaces/*/fingerprint",
        "/networkInterfaces/*/networkIP", "/networkInterfaces/*/accessConfigs/*/natIP",
        // Its attached disks: which disk (the restored one has its own name)
        // and whether it goes with the instance (the restore decides that).
        "/disks/*/source", "/disks/*/autoDelete",
        // Each disk: identity, place, state, what it was made from, and the
        // description with which the job marks each disk it creates.
        "/disks/*/resource/id", "/disks/*/resource/name", "/disks/*/resource/selfLink",
        "/disks/*/resource/zone", "/disks/*/resource/region", "/disks/*/resource/creationTimestamp",
        "/disks/*/resource/labelFingerprint", "/disks/*/resource/status", "/disks/*/resource/users",
        "/disks/*/resource/lastAttachTimestamp", "/disks/*/resource/lastDetachTimestamp",
        "/disks/*/resource/sourceSnapshot", "/disks/*/resource/sourceSnapshotId",
        "/disks/*/resource/sourceDisk", "/disks/*/resource/sourceDiskId", "/disks/*/resource/sourceImage",
        "/disks/*/resource/sourceImageId", "/disks/*/resource/description",
        "/disks/*/resource/resourceStatus", "/disks/*/resource/satisfiesPzs"};
    return fields;
}

ExpectedChanges& ExpectedChanges::MachineType(const std::string& type) {
    values["/machineType"] = "projects/{project}/zones/{zone}/machineTypes/" + type;
    return *this;
}

ExpectedChanges& ExpectedChanges::BootLicenses(const std::vector<std::string>& licences) {
    json list = json::array();
    for (const auto& l : licences) list.push_back(ResourcePath(l));
    values["/disks/0/licenses"] = list;
    values["/disks/0/resource/licenses"] = list;
    ignoredPaths.insert("/disks/0/resource/licenseCodes");  // they follow the licences
    return *this;
}

ExpectedChanges& ExpectedChanges::DiskKey(size_t index, const std::string& key) {
    const std::string i = std::to_string(index);
    values["/disks/" + i + "/diskEncryptionKey/kmsKeyName"] = key;
    values["/disks/" + i + "/resource/diskEncryptionKey/kmsKeyName"] = key;
    return *this;
}

ExpectedChanges& ExpectedChanges::IgnoreDiskLabel(const std::string& key) {
    ignoredDiskLabels.insert(key);
    return *this;
}

ExpectedChanges& ExpectedChanges::Ignore(const std::string& path) {
    ignoredPaths.insert(path);
    return *this;
}

json ReadInstanceConfig(const EmulatorProcess& emu, const std::string& project, const std::string& zone,
                        const std::string& name) {
    const std::string token = emu.accessToken();
    auto get = [&](const std::string& path) {
        HttpReply r = emu.request("GET", kComputeV1 + path, "", token);
        if (r.status != 200)
            throw std::runtime_error("GET " + path + ": HTTP " + std::to_string(r.status) + " " + r.body);
        return r.json();
    };
    json instance = get("projects/" + project + "/zones/" + zone + "/instances/" + name);
    for (auto& attached : instance["disks"])
        if (attached.contains("source"))
            attached["resource"] = get(ResourcePath(attached["source"].get<std::string>()));
    return instance;
}

std::string CompareInstanceConfigs(const json& source, const json& result, const ExpectedChanges& expected) {
    json want = View(source, expected);
    for (const auto& [path, value] : expected.values) {
        if (!value.is_null()) {
            want[json::json_pointer(path)] = value;
            continue;
        }
        Erase(want, path);
    }
    const json got = View(result, expected);
    std::string out;
    Diff(&want, &got, "", out);
    if (out.empty()) return out;
    return "instance " + result.value("name", std::string("?")) + " differs from " +
           source.value("name", std::string("?")) + ":\n" + out;
}

}  // namespace gce::testsupport
