// Compute Engine v1: instances, disks, regional disks, snapshots, operations
// and the read-only inventory (zones, regions, machine types, licences).
#include "Compute.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "DiskFiles.h"
#include "Emulator.h"
#include "Listing.h"
#include "Operations.h"

namespace gce::emu {
namespace {

const std::string kV1 = "/compute/v1/projects/{project}";

std::string scopePath(const std::string& project, const std::string& kind, const std::string& scope) {
    return "projects/" + project + "/" + kind + "/" + scope;
}

void requireProject(World& w, const std::string& p) {
    if (!w.projects.count(p) && !w.imageProjects.count(p)) throw notFound("projects/" + p);
}

void requireZone(World& w, const std::string& p, const std::string& z) {
    requireProject(w, p);
    if (!w.zones.count(z)) throw notFound("projects/" + p + "/zones/" + z);
}

void requireRegion(World& w, const std::string& p, const std::string& r) {
    requireProject(w, p);
    if (!w.regions.count(r)) throw notFound("projects/" + p + "/regions/" + r);
}

// The zone ("zones") or region ("regions") a zonal or regional call names.
void requireScope(World& w, const std::string& p, const std::string& kind, const std::string& scope) {
    if (kind == "zones")
        requireZone(w, p, scope);
    else
        requireRegion(w, p, scope);
}

// The disk a zonal or regional disk call names; the caller holds w.mu.
Disk& requireScopedDisk(World& w, Call& call, const std::string& kind, const std::string& scope,
                        std::string& key) {
    auto& p = call.p;
    requireScope(w, p["project"], kind, scope);
    key = scopePath(p["project"], kind, scope) + "/disks/" + p["disk"];
    auto it = w.disks.find(key);
    if (it == w.disks.end()) throw notFound(key);
    return it->second;
}

// Fresh resources can be made to 404 for a while (eventual consistency).
bool hiddenAsFresh(World& w, Clock::time_point created) {
    return w.limits.notFoundAfterInsertMs > 0 &&
           Clock::now() - created < std::chrono::milliseconds(w.limits.notFoundAfterInsertMs);
}

std::string jsonString(const json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_number_integer()) return std::to_string(v.get<int64_t>());
    throw invalid("Invalid value: expected a string, got " + v.dump());
}

int64_t parseInt64(const json& v, const std::string& field) {
    std::string s = jsonString(v);
    static const std::regex digits("-?[0-9]{1,18}");
    if (!std::regex_match(s, digits)) throw invalid("Invalid value for field '" + field + "': '" + s + "'");
    return std::stoll(s);
}

std::string lastSegment(const std::string& s) {
    return s.substr(s.rfind('/') + 1);
}

// Operation scope of a disk key ("projects/P/zones/Z/disks/D").
struct DiskScope {
    std::string project, kind, scope, name;
};

DiskScope splitDiskKey(const std::string& key) {
    // projects P kind scope disks name
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= key.size()) {
        auto slash = key.find('/', pos);
        if (slash == std::string::npos) slash = key.size();
        parts.push_back(key.substr(pos, slash - pos));
        pos = slash + 1;
    }
    if (parts.size() != 6) return {};
    return {parts[1], parts[2], parts[3], parts[5]};
}

int attachLimit(World& w, const Instance& inst) {
    if (w.limits.maxAttachedDisks > 0) return w.limits.maxAttachedDisks;
    auto mt = w.machineTypes.find(inst.zone + "/" + lastSegment(inst.res.value("machineType", "")));
    if (mt != w.machineTypes.end()) return mt->second.value("maximumPersistentDisks", 128);
    return 128;
}

bool validDeviceName(const std::string& n) {
    // Also keeps the by-id link inside the by-id directory.
    static const std::regex re("[a-zA-Z0-9]([-a-zA-Z0-9_]{0,62})?");
    return std::regex_match(n, re);
}

void reindexDisks(json& inst) {
    auto& disks = inst["disks"];
    std::stable_sort(disks.begin(), disks.end(), [](const json& a, const json& b) {
        return a.value("boot", false) > b.value("boot", false);
    });
    for (size_t i = 0; i < disks.size(); ++i) disks[i]["index"] = static_cast<int>(i);
}

void linkDevice(World& w, const std::string& instKey, const std::string& deviceName,
                const std::string& file) {
    if (instKey != w.proxyKey || w.byIdDir.empty()) return;
    std::string link = w.byIdDir + "/google-" + deviceName;
    ::unlink(link.c_str());
    if (::symlink(file.c_str(), link.c_str()) != 0) {
        throw std::runtime_error("cannot create device link " + link);
    }
}

void unlinkDevice(World& w, const std::string& instKey, const std::string& deviceName) {
    if (instKey != w.proxyKey || w.byIdDir.empty()) return;
    std::string link = w.byIdDir + "/google-" + deviceName;
    ::unlink(link.c_str());
}

void removeUser(Disk& d, const std::string& instLink) {
    auto& users = d.res["users"];
    for (auto it = users.begin(); it != users.end();) {
        it = *it == instLink ? users.erase(it) : it + 1;
    }
    if (users.empty()) d.res.erase("users");
}

const std::vector<std::string> kDiskTypes = {"pd-standard", "pd-balanced", "pd-ssd", "pd-extreme"};

// Primary version state of a KMS key, or "" if the key does not exist.
std::string kmsState(World& w, const std::string& key) {
    auto it = w.cryptoKeys.find(key);
    if (it == w.cryptoKeys.end()) return "";
    if (!it->second.res.contains("primary")) return "DISABLED";
    return it->second.res["primary"].value("state", "DISABLED");
}

std::string kmsKeyOf(const std::string& name) {
    auto pos = name.find("/cryptoKeyVersions/");
    return pos == std::string::npos ? name : name.substr(0, pos);
}

std::string kmsPrimaryName(World& w, const std::string& key) {
    auto it = w.cryptoKeys.find(key);
    if (it != w.cryptoKeys.end() && it->second.res.contains("primary")) {
        return it->second.res["primary"].value("name", key + "/cryptoKeyVersions/1");
    }
    return key + "/cryptoKeyVersions/1";
}

struct Prepared {
    std::string key;
    std::vector<CopyJob> copies;
    bool restoring = false;
};

void releaseBusy(World& w, const std::string& snapshotKey, const std::string& diskSourceKey) {
    if (!snapshotKey.empty()) {
        auto s = w.snapshots.find(snapshotKey);
        if (s != w.snapshots.end()) s->second.busy--;
    }
    if (!diskSourceKey.empty()) {
        auto d = w.disks.find(diskSourceKey);
        if (d != w.disks.end()) d->second.busy--;
    }
}

// Runs copies without the lock; returns an error text or "".
std::string runCopies(const std::vector<CopyJob>& jobs) {
    for (const auto& j : jobs) {
        try {
            copyKeepingHoles(j.src, j.dst, j.size);
        } catch (const std::exception& e) {
            return e.what();
        }
    }
    return "";
}

}  // namespace

std::string normalizeRef(const std::string& ref, const std::string& project) {
    std::string r = ref;
    for (const char* prefix :
         {"https://www.googleapis.com/compute/v1/", "https://compute.googleapis.com/compute/v1/",
          "http://www.googleapis.com/compute/v1/", "/compute/v1/", "compute/v1/"}) {
        if (r.rfind(prefix, 0) == 0) {
            r = r.substr(std::string(prefix).size());
            break;
        }
    }
    if (r.rfind("projects/", 0) == 0) return r;
    if (r.rfind("zones/", 0) == 0 || r.rfind("regions/", 0) == 0 || r.rfind("global/", 0) == 0) {
        return "projects/" + project + "/" + r;
    }
    return r;
}

// The key of the image a reference names ("family/F" takes the family's
// image). Caller holds w.mu. Throws notFound.
static std::string imageKey(World& w, const std::string& ref, const std::string& project) {
    std::string img = normalizeRef(ref, project);
    auto family = img.find("/global/images/family/");
    if (family != std::string::npos) {
        std::string fam = img.substr(family + 22);
        std::string owner = img.substr(0, family);
        img.clear();
        for (auto& [k, v] : w.images) {
            if (k.rfind(owner + "/", 0) == 0 && v.value("family", "") == fam) img = k;
        }
        if (img.empty()) throw notFound(owner + "/global/images/family/" + fam);
    }
    if (!w.images.count(img)) throw notFound(img);
    return img;
}

// The refusal of a disk smaller than its source, as the cloud words it.
static ApiError tooSmall(const std::string& sizeField, int64_t sizeGb, const std::string& source,
                         int64_t sourceGb) {
    return invalid("Invalid value for field '" + sizeField + "': '" + std::to_string(sizeGb) +
                   "'. Requested disk size cannot be smaller than the " + source + " size (" +
                   std::to_string(sourceGb) + " GB)");
}

// Creates a disk record (CREATING) from a Disk body. Caller holds w.mu.
// scopeKind "zones" or "regions". Throws ApiError for invalid requests;
// sizeField names the size in them (a disk of an instance insert has its own).
// A disk made from a snapshot, disk or image takes its licences, guest OS
// features and architecture unless the body gives them.
static Prepared prepareDisk(World& w, const std::string& project, const std::string& scopeKind,
                            const std::string& scope, json body,
                            const std::string& sizeField = "resource.sizeGb") {
    Prepared out;
    std::string name = body.value("name", "");
    if (name.empty()) throw ApiError(400, "required", "Required field 'resource.name' not specified");
    if (!validName(name)) {
        throw invalid("Invalid value for field 'resource.name': '" + name +
                      "'. Must be a match of regex '(?:[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?|[1-9][0-9]{0,19})'");
    }
    std::string base = scopePath(project, scopeKind, scope);
    out.key = base + "/disks/" + name;
    if (w.disks.count(out.key)) throw alreadyExists(out.key);
    if (body.contains("labels")) checkLabels(body["labels"]);

    int64_t sizeGb = body.contains("sizeGb") ? parseInt64(body["sizeGb"], "sizeGb") : 0;
    std::string srcFile;
    std::string srcSnapshotKey, srcDiskKey;
    json licenses = body.value("licenses", json::array());
    json source;     // fields copied from the source
    json inherited;  // the snapshot, disk or image the disk is made from
    if (body.contains("sourceSnapshot")) {
        srcSnapshotKey = normalizeRef(jsonString(body["sourceSnapshot"]), project);
        if (srcSnapshotKey.find('/') == std::string::npos) {
            srcSnapshotKey = "projects/" + project + "/global/snapshots/" + srcSnapshotKey;
        }
        auto s = w.snapshots.find(srcSnapshotKey);
        if (s == w.snapshots.end()) throw notFound(srcSnapshotKey);
        if (s->second.res.value("status", "") != "READY") {
            throw notReady("The resource '" + srcSnapshotKey + "' is not ready");
        }
        int64_t snapGb = std::stoll(s->second.res.value("diskSizeGb", "0"));
        if (sizeGb == 0) sizeGb = snapGb;
        if (sizeGb < snapGb) throw tooSmall(sizeField, sizeGb, "snapshot", snapGb);
        srcFile = s->second.file;
        if (s->second.res.contains("licenses") && licenses.empty()) licenses = s->second.res["licenses"];
        inherited = s->second.res;
        source["sourceSnapshot"] = computeLink(srcSnapshotKey);
        source["sourceSnapshotId"] = s->second.res["id"];
        out.restoring = true;
    } else if (body.contains("sourceDisk")) {
        srcDiskKey = normalizeRef(jsonString(body["sourceDisk"]), project);
        auto d = w.disks.find(srcDiskKey);
        if (d == w.disks.end()) throw notFound(srcDiskKey);
        if (d->second.res.value("status", "") != "READY")
            throw notReady("The resource '" + srcDiskKey + "' is not ready");
        int64_t srcGb = std::stoll(d->second.res.value("sizeGb", "0"));
        if (sizeGb == 0) sizeGb = srcGb;
        if (sizeGb < srcGb) throw tooSmall(sizeField, sizeGb, "source disk", srcGb);
        srcFile = d->second.file;
        if (d->second.res.contains("licenses") && licenses.empty()) licenses = d->second.res["licenses"];
        inherited = d->second.res;
        source["sourceDisk"] = computeLink(srcDiskKey);
        source["sourceDiskId"] = d->second.res["id"];
        out.restoring = true;
    } else if (body.contains("sourceImage")) {
        std::string img = imageKey(w, jsonString(body["sourceImage"]), project);
        auto it = w.images.find(img);
        int64_t imgGb = std::stoll(it->second.value("diskSizeGb", "10"));
        if (sizeGb == 0) sizeGb = imgGb;
        if (sizeGb < imgGb) throw tooSmall(sizeField, sizeGb, "image", imgGb);
        if (licenses.empty() && it->second.contains("licenses")) licenses = it->second["licenses"];
        inherited = it->second;
        source["sourceImage"] = computeLink(img);
        source["sourceImageId"] = it->second["id"];
    }
    if (sizeGb == 0) sizeGb = scopeKind == "regions" ? 200 : 500;  // the API's defaults for pd-standard
    if (sizeGb < 1 || sizeGb > 65536) {
        throw invalid("Invalid value for field 'resource.sizeGb': '" + std::to_string(sizeGb) +
                      "'. Disk size must be between 1 and 65536 GB");
    }

    std::string type = body.contains("type") ? normalizeRef(jsonString(body["type"]), project)
                                             : base + "/diskTypes/pd-standard";
    if (type.find('/') == std::string::npos) type = base + "/diskTypes/" + type;
    if (type.rfind(base + "/diskTypes/", 0) != 0 ||
        std::find(kDiskTypes.begin(), kDiskTypes.end(), lastSegment(type)) == kDiskTypes.end()) {
        throw invalid("Invalid value for field 'resource.type': '" + type + "'. Disk type not found in " +
                      base);
    }

    json replicaZones = json::array();
    if (scopeKind == "regions") {
        if (!body.contains("replicaZones") || !body["replicaZones"].is_array() ||
            body["replicaZones"].size() != 2) {
            throw invalid(
                "Invalid value for field 'resource.replicaZones': exactly two replica zones are required");
        }
        for (auto& z : body["replicaZones"]) {
            std::string zk = normalizeRef(jsonString(z), project);
            std::string zone = lastSegment(zk);
            auto zi = w.zones.find(zone);
            if (zi == w.zones.end() || lastSegment(zi->second.value("region", "")) != scope) {
                throw invalid("Invalid value for field 'resource.replicaZones': zone '" + zone +
                              "' is not in region '" + scope + "'");
            }
            replicaZones.push_back(computeLink("projects/" + project + "/zones/" + zone));
        }
        if (replicaZones[0] == replicaZones[1]) {
            throw invalid("Invalid value for field 'resource.replicaZones': the two zones must differ");
        }
    } else if (body.contains("replicaZones")) {
        throw invalid(
            "Invalid value for field 'resource.replicaZones': only regional disks have replica zones");
    }

    Disk d;
    d.project = project;
    d.scopeKind = scopeKind;
    d.scope = scope;
    d.created = Clock::now();
    if (body.contains("diskEncryptionKey")) {
        json& k = body["diskEncryptionKey"];
        if (k.contains("kmsKeyName")) {
            d.kmsKey = kmsKeyOf(jsonString(k["kmsKeyName"]));
            if (kmsState(w, d.kmsKey).empty()) {
                throw invalid(
                    "Invalid value for field 'resource.diskEncryptionKey.kmsKeyName': Cloud KMS key '" +
                    d.kmsKey + "' was not found");
            }
        } else if (k.contains("rawKey")) {
            std::string raw;
            try {
                raw = base64Decode(jsonString(k["rawKey"]));
            } catch (const std::invalid_argument&) {
            }
            if (raw.size() != 32) {
                throw invalid(
                    "Invalid value for field 'resource.diskEncryptionKey.rawKey': must be a base64 "
                    "encoded 256-bit key");
            }
            d.csek = true;
            body["diskEncryptionKey"] = {{"sha256", base64Encode(sha256(raw))}};
        }
    }
    uint64_t id = w.newId();
    d.file = w.stateDir + "/disks/" + std::to_string(id) + ".img";
    json res = body;
    for (auto& [k, v] : source.items()) res[k] = v;
    for (const char* f : {"guestOsFeatures", "architecture"})
        if (!res.contains(f) && inherited.is_object() && inherited.contains(f)) res[f] = inherited[f];
    res["kind"] = "compute#disk";
    res["id"] = std::to_string(id);
    res["name"] = name;
    res["sizeGb"] = std::to_string(sizeGb);
    res["type"] = computeLink(type);
    res["status"] = "CREATING";
    res["creationTimestamp"] = nowTimestamp();
    res["selfLink"] = computeLink(out.key);
    res["labels"] = body.value("labels", json::object());
    res["labelFingerprint"] = labelFingerprint(res["labels"]);
    res["physicalBlockSizeBytes"] = "4096";
    if (!licenses.empty()) {
        res["licenses"] = json::array();
        for (auto& l : licenses) res["licenses"].push_back(computeLink(normalizeRef(jsonString(l), project)));
    }
    if (res.contains("licenses")) {
        res["licenseCodes"] = json::array();
        for (auto& l : res["licenses"]) {
            auto li = w.licenses.find(normalizeRef(l.get<std::string>(), project));
            if (li != w.licenses.end()) res["licenseCodes"].push_back(li->second.value("licenseCode", "0"));
        }
    }
    res.erase("users");
    if (scopeKind == "zones") {
        res["zone"] = computeLink(base);
    } else {
        res["region"] = computeLink(base);
        res["replicaZones"] = replicaZones;
    }
    if (!d.kmsKey.empty()) {
        res["diskEncryptionKey"] = {{"kmsKeyName", kmsPrimaryName(w, d.kmsKey)}};
    }
    d.res = std::move(res);

    if (srcFile.empty()) {
        out.copies.clear();
        createSparseFile(d.file, static_cast<uint64_t>(sizeGb) << 30);
    } else {
        out.copies.push_back({srcFile, d.file, static_cast<uint64_t>(sizeGb) << 30});
        if (!srcSnapshotKey.empty()) w.snapshots[srcSnapshotKey].busy++;
        if (!srcDiskKey.empty()) w.disks[srcDiskKey].busy++;
    }
    d.busy = 1;  // until the creating operation finishes
    d.res["__srcSnapshot"] = srcSnapshotKey;
    d.res["__srcDisk"] = srcDiskKey;
    w.disks[out.key] = std::move(d);
    return out;
}

// Finishes a disk created by prepareDisk once its data is in place: moves it
// through RESTORING (when copied) to READY, or FAILED if the copy failed.
// Caller holds w.mu. Returns the moment (ms from now) the disk is READY.
static int scheduleDiskReady(World& w, const std::string& key, bool restoring, const std::string& copyError) {
    auto& d = w.disks.at(key);
    std::string snap = d.res.value("__srcSnapshot", "");
    std::string src = d.res.value("__srcDisk", "");
    d.res.erase("__srcSnapshot");
    d.res.erase("__srcDisk");
    releaseBusy(w, snap, src);
    int ready = std::max(w.latency.diskMs, w.latency.operationMs);
    if (restoring) {
        w.schedule(ready / 2, [&w, key] {
            auto it = w.disks.find(key);
            if (it != w.disks.end() && it->second.res["status"] == "CREATING")
                it->second.res["status"] = "RESTORING";
        });
    }
    w.schedule(ready, [&w, key, copyError] {
        auto it = w.disks.find(key);
        if (it == w.disks.end()) return;
        it->second.busy = 0;
        it->second.res["status"] = copyError.empty() ? "READY" : "FAILED";
    });
    return ready;
}

namespace {

// Counts a read of a resource that has not reached a final status.
void countPendingRead(World& w, const char* kind, const json& res) {
    const std::string status = res.value("status", "");
    if (status != "READY" && status != "FAILED" && status != "DONE") w.pendingReads[kind]++;
}

// Counts a list that returned a resource still pending as one status read of
// its kind: a client may poll the status of several resources with one list.
void countPendingList(World& w, const char* kind, const json& page) {
    for (const auto& item : page.value("items", json::array())) {
        const std::string status = item.value("status", "");
        if (status != "READY" && status != "FAILED" && status != "DONE") {
            w.pendingReads[kind]++;
            return;
        }
    }
}

void getDisk(World& w, Call& call, const std::string& kind) {
    std::lock_guard<std::mutex> lock(w.mu);
    auto& p = call.p;
    if (kind == "zones")
        requireZone(w, p["project"], p["zone"]);
    else
        requireRegion(w, p["project"], p["region"]);
    std::string key =
        scopePath(p["project"], kind, kind == "zones" ? p["zone"] : p["region"]) + "/disks/" + p["disk"];
    auto it = w.disks.find(key);
    if (it == w.disks.end() || hiddenAsFresh(w, it->second.created)) throw notFound(key);
    countPendingRead(w, "disk", it->second.res);
    call.reply(it->second.res);
}

void listDisks(World& w, Call& call, const std::string& kind) {
    std::lock_guard<std::mutex> lock(w.mu);
    auto& p = call.p;
    std::string scope = kind == "zones" ? p["zone"] : p["region"];
    requireScope(w, p["project"], kind, scope);
    std::string base = scopePath(p["project"], kind, scope);
    std::vector<json> items;
    for (auto it = w.disks.lower_bound(base + "/disks/");
         it != w.disks.end() && it->first.rfind(base + "/disks/", 0) == 0; ++it) {
        items.push_back(it->second.res);
    }
    json page =
        listPage(call, std::move(items), "compute#diskList", base + "/disks", computeLink(base + "/disks"));
    countPendingList(w, "disk", page);
    call.reply(page);
}

void insertDisk(World& w, Call& call, const std::string& kind) {
    json body = call.body("compute", "Disk");
    auto& p = call.p;
    std::string scope = kind == "zones" ? p["zone"] : p["region"];
    std::unique_lock<std::mutex> lock(w.mu);
    requireScope(w, p["project"], kind, scope);
    Prepared prep = prepareDisk(w, p["project"], kind, scope, body);
    auto& disk = w.disks.at(prep.key);
    std::string kmsKey = disk.kmsKey;
    auto opKey = newOperation(w, p["project"], kind, scope, "insert", disk.res["selfLink"], disk.res["id"],
                              call.query("requestId"));
    call.replyOp(w, opKey);
    lock.unlock();
    std::string err = runCopies(prep.copies);
    lock.lock();
    if (!kmsKey.empty() && kmsState(w, kmsKey) != "ENABLED") {
        err = "Cloud KMS error when using key " + kmsKey + ": key version is not enabled";
    }
    int ready = scheduleDiskReady(w, prep.key, prep.restoring, err);
    std::string diskKey = prep.key;
    runOperation(w, opKey, ready, [&w, err, diskKey]() -> std::optional<OpError> {
        if (err.empty()) return std::nullopt;
        return OpError{"RESOURCE_OPERATION_FAILED", "Disk '" + diskKey + "' could not be created: " + err,
                       400};
    });
}

void deleteDisk(World& w, Call& call, const std::string& kind) {
    auto& p = call.p;
    std::string scope = kind == "zones" ? p["zone"] : p["region"];
    std::lock_guard<std::mutex> lock(w.mu);
    std::string key;
    Disk& d = requireScopedDisk(w, call, kind, scope, key);
    if (d.res.contains("users") && !d.res["users"].empty()) {
        throw inUse("The disk resource '" + key + "' is already being used by '" +
                    d.res["users"][0].get<std::string>().substr(std::string(kComputePrefix).size()) + "'");
    }
    for (auto& [ik, inst] : w.instances) {
        if (inst.pendingDisks.count(key))
            throw inUse("The disk resource '" + key + "' is being attached to '" + ik + "'");
    }
    if (d.busy > 0 || d.res["status"] == "DELETING") {
        throw notReady("The resource '" + key + "' is not ready");
    }
    d.res["status"] = "DELETING";
    auto opKey = newOperation(w, p["project"], kind, scope, "delete", d.res["selfLink"], d.res["id"],
                              call.query("requestId"));
    runOperation(w, opKey, w.latency.operationMs, [&w, key]() -> std::optional<OpError> {
        auto it = w.disks.find(key);
        if (it != w.disks.end()) {
            ::unlink(it->second.file.c_str());
            w.disks.erase(it);
        }
        return std::nullopt;
    });
    call.replyOp(w, opKey);
}

// Compares the request's labelFingerprint with the resource's and applies
// the new labels. Throws 412 when the fingerprint is stale or missing.
void applyLabels(json& res, const json& body) {
    json labels = body.value("labels", json::object());
    checkLabels(labels);
    std::string fp = body.value("labelFingerprint", "");
    if (fp != res.value("labelFingerprint", "")) {
        throw ApiError(412, "conditionNotMet",
                       "Labels fingerprint either invalid or resource labels have changed");
    }
    res["labels"] = labels;
    res["labelFingerprint"] = labelFingerprint(labels);
}

void setDiskLabels(World& w, Call& call, const std::string& kind) {
    json body = call.body("compute", kind == "zones" ? "ZoneSetLabelsRequest" : "RegionSetLabelsRequest");
    auto& p = call.p;
    std::string scope = kind == "zones" ? p["zone"] : p["region"];
    std::lock_guard<std::mutex> lock(w.mu);
    std::string key;
    Disk& d = requireScopedDisk(w, call, kind, scope, key);
    applyLabels(d.res, body);
    auto opKey = newOperation(w, p["project"], kind, scope, "setLabels", d.res["selfLink"], d.res["id"],
                              call.query("requestId"));
    runOperation(w, opKey, w.latency.operationMs, nullptr);
    call.replyOp(w, opKey);
}

// disks.resize: grows the disk (its file) at once; the operation finishes
// after the plain operation delay. A disk may only grow.
void resizeDisk(World& w, Call& call, const std::string& kind) {
    json body = call.body("compute", kind == "zones" ? "DisksResizeRequest" : "RegionDisksResizeRequest");
    for (auto& [name, value] : body.items()) {
        if (name != "sizeGb")
            throw ApiError(400, "invalid",
                           "Invalid JSON payload received. Unknown name \"" + name +
                               "\" at 'disksResizeRequest': Cannot find field.");
    }
    if (!body.contains("sizeGb")) throw ApiError(400, "required", "Required field 'sizeGb' not specified");
    const int64_t sizeGb = parseInt64(body["sizeGb"], "sizeGb");
    auto& p = call.p;
    std::string scope = kind == "zones" ? p["zone"] : p["region"];
    std::lock_guard<std::mutex> lock(w.mu);
    std::string key;
    Disk& d = requireScopedDisk(w, call, kind, scope, key);
    if (d.busy > 0 || d.res.value("status", "") != "READY")
        throw notReady("The resource '" + key + "' is not ready");
    const int64_t current = std::stoll(d.res.value("sizeGb", "0"));
    if (sizeGb <= current)
        throw invalid("Invalid value for field 'sizeGb': '" + std::to_string(sizeGb) + "'. New disk size '" +
                      std::to_string(sizeGb) + "' GiB must be larger than existing size '" +
                      std::to_string(current) + "' GiB.");
    if (sizeGb > 65536)
        throw invalid("Invalid value for field 'sizeGb': '" + std::to_string(sizeGb) +
                      "'. Disk size cannot be larger than 65536 GB.");
    if (::truncate(d.file.c_str(), static_cast<off_t>(static_cast<uint64_t>(sizeGb) << 30)) != 0)
        throw ApiError(500, "backendError", "Internal error: the disk could not be resized");
    d.res["sizeGb"] = std::to_string(sizeGb);
    // An instance's attached-disk entry reports the disk's current size.
    for (auto& [instKey, inst] : w.instances) {
        if (!inst.res.contains("disks")) continue;
        for (auto& ad : inst.res["disks"])
            if (ad.value("source", "") == d.res["selfLink"]) ad["diskSizeGb"] = d.res["sizeGb"];
    }
    auto opKey = newOperation(w, p["project"], kind, scope, "resize", d.res["selfLink"], d.res["id"],
                              call.query("requestId"));
    runOperation(w, opKey, w.latency.operationMs, nullptr);
    call.replyOp(w, opKey);
}

// Snapshot of diskKey into snapshot project snapProject. Handles the zonal,
// regional and global forms.
void createSnapshot(World& w, Call& call, const std::string& snapProject, const std::string& diskKey,
                    json body, const std::string& opKind, const std::string& opScope, bool guestFlush) {
    std::unique_lock<std::mutex> lock(w.mu);
    requireProject(w, snapProject);
    auto dit = w.disks.find(diskKey);
    if (dit == w.disks.end()) throw notFound(diskKey);
    Disk& disk = dit->second;
    std::string name = body.value("name", "");
    if (name.empty()) throw ApiError(400, "required", "Required field 'resource.name' not specified");
    if (!validName(name)) {
        throw invalid("Invalid value for field 'resource.name': '" + name +
                      "'. Must be a match of regex '(?:[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?|[1-9][0-9]{0,19})'");
    }
    std::string snapKey = "projects/" + snapProject + "/global/snapshots/" + name;
    if (w.snapshots.count(snapKey)) throw alreadyExists(snapKey);
    if (body.contains("labels")) checkLabels(body["labels"]);
    if (disk.res.value("status", "") != "READY")
        throw notReady("The resource '" + diskKey + "' is not ready");
    if (disk.csek && !body.contains("sourceDiskEncryptionKey")) {
        throw ApiError(400, "resourceIsEncryptedWithCustomerEncryptionKey",
                       "The resource '" + diskKey +
                           "' is encrypted with a customer-supplied encryption key; the key must be supplied "
                           "in sourceDiskEncryptionKey to snapshot it");
    }
    std::string requestId = call.query("requestId");
    // snapshots.insert is a global operation of the snapshot's project; the
    // disk-scoped forms are operations of the disk's zone or region.
    auto opKey =
        newOperation(w, opKind == "global" ? snapProject : disk.project, opKind, opScope,
                     opKind == "global" ? "insert" : "createSnapshot",
                     opKind == "global" ? computeLink(snapKey) : disk.res["selfLink"].get<std::string>(),
                     opKind == "global" ? std::string() : disk.res["id"].get<std::string>(), requestId);

    // Failures the real service reports only in the operation.
    std::optional<OpError> deferred;
    if (guestFlush) {
        bool fail = w.guestFlushFail;
        for (auto& u : disk.res.value("users", json::array())) {
            auto inst = w.instances.find(normalizeRef(u.get<std::string>(), disk.project));
            if (inst != w.instances.end() && inst->second.guestFlushFail) fail = true;
        }
        if (fail) {
            deferred = OpError{
                "GUEST_FLUSH_FAILED",
                "Guest flush failed on the instance using disk '" + diskKey +
                    "': the pre-snapshot script or VSS writer reported an error. No snapshot was created.",
                400};
        }
    }
    if (!deferred && !disk.kmsKey.empty() && kmsState(w, disk.kmsKey) != "ENABLED") {
        deferred = OpError{"KMS_KEY_NOT_ENABLED",
                           "Cloud KMS error when using key " + disk.kmsKey + ": the primary key version is " +
                               kmsState(w, disk.kmsKey) + ", so disk '" + diskKey + "' cannot be snapshotted",
                           400};
    }
    if (!deferred && w.limits.snapshotIntervalSeconds > 0 && !disk.snapshotTimes.empty() &&
        Clock::now() - disk.snapshotTimes.back() < std::chrono::seconds(w.limits.snapshotIntervalSeconds)) {
        deferred = OpError{"RESOURCE_OPERATION_RATE_EXCEEDED",
                           "Operation rate exceeded for resource '" + diskKey +
                               "'. Too frequent operations from the source resource.",
                           429};
    }
    if (deferred) {
        runOperation(w, opKey, w.latency.operationMs, [deferred] { return deferred; });
        call.replyOp(w, opKey);
        return;
    }
    disk.snapshotTimes.push_back(Clock::now());

    Snapshot s;
    s.project = snapProject;
    s.created = Clock::now();
    s.kmsKey = disk.kmsKey;
    uint64_t id = w.newId();
    s.file = w.stateDir + "/snapshots/" + std::to_string(id) + ".img";
    std::string regionOfDisk =
        disk.scopeKind == "regions"
            ? disk.scope
            : lastSegment(w.zones.count(disk.scope) ? w.zones[disk.scope].value("region", "") : "");
    json res = body;
    res.erase("sourceDiskEncryptionKey");
    res["kind"] = "compute#snapshot";
    res["id"] = std::to_string(id);
    res["name"] = name;
    res["status"] = "CREATING";
    res["creationTimestamp"] = nowTimestamp();
    res["selfLink"] = computeLink(snapKey);
    res["sourceDisk"] = disk.res["selfLink"];
    res["sourceDiskId"] = disk.res["id"];
    res["diskSizeGb"] = disk.res["sizeGb"];
    res["labels"] = body.value("labels", json::object());
    res["labelFingerprint"] = labelFingerprint(res["labels"]);
    res["storageBytesStatus"] = "UPDATING";
    res["storageBytes"] = "0";
    if (!res.contains("snapshotType")) res["snapshotType"] = "STANDARD";
    if (!res.contains("storageLocations")) {
        res["storageLocations"] = json::array({regionOfDisk.rfind("europe", 0) == 0 ? "eu" : "us"});
    }
    for (const char* f : {"licenses", "licenseCodes", "guestOsFeatures", "architecture"})
        if (disk.res.contains(f)) res[f] = disk.res[f];
    if (!s.kmsKey.empty()) res["snapshotEncryptionKey"] = {{"kmsKeyName", kmsPrimaryName(w, s.kmsKey)}};
    s.res = std::move(res);
    s.busy = 1;
    std::string srcFile = disk.file;
    std::string dstFile = s.file;
    disk.busy++;
    w.snapshots[snapKey] = std::move(s);
    call.replyOp(w, opKey);

    // The copy runs without the lock; busy counters keep both files in place.
    lock.unlock();
    std::string err = runCopies({{srcFile, dstFile, 0}});
    uint64_t stored = err.empty() ? allocatedDataBytes(dstFile) : 0;
    lock.lock();
    releaseBusy(w, "", diskKey);
    int opMs = w.latency.operationMs;
    int readyMs = opMs + w.latency.snapshotMs;
    runOperation(w, opKey, opMs, [&w, snapKey, err]() -> std::optional<OpError> {
        auto it = w.snapshots.find(snapKey);
        if (it != w.snapshots.end() && err.empty()) it->second.res["status"] = "UPLOADING";
        if (err.empty()) return std::nullopt;
        if (it != w.snapshots.end()) it->second.res["status"] = "FAILED";
        return OpError{"RESOURCE_OPERATION_FAILED", "Snapshot data could not be copied: " + err, 500};
    });
    w.schedule(readyMs, [&w, snapKey, err, stored] {
        auto it = w.snapshots.find(snapKey);
        if (it == w.snapshots.end()) return;
        it->second.busy = 0;
        if (!err.empty()) return;
        it->second.res["status"] = "READY";
        it->second.res["storageBytesStatus"] = "UP_TO_DATE";
        it->second.res["storageBytes"] = std::to_string(stored);
        it->second.res["creationSizeBytes"] = std::to_string(stored);
    });
}

// ---- instances ----

Instance& findInstance(World& w, const std::string& project, const std::string& zone, const std::string& name,
                       std::string& key) {
    requireZone(w, project, zone);
    key = scopePath(project, "zones", zone) + "/instances/" + name;
    auto it = w.instances.find(key);
    if (it == w.instances.end()) throw notFound(key);
    return it->second;
}

// Resolves an AttachedDisk.source for an instance in zone; returns the disk key.
std::string resolveAttachSource(World& w, const std::string& project, const std::string& zone,
                                const json& ad) {
    if (!ad.contains("source")) throw ApiError(400, "required", "Required field 'source' not specified");
    std::string key = normalizeRef(jsonString(ad["source"]), project);
    if (key.find('/') == std::string::npos) key = scopePath(project, "zones", zone) + "/disks/" + key;
    auto it = w.disks.find(key);
    if (it == w.disks.end()) throw notFound(key);
    const Disk& d = it->second;
    if (d.scopeKind == "zones" && d.scope != zone) {
        throw invalid("Invalid value for field 'source': disk '" + key + "' is not in zone '" + zone + "'");
    }
    if (d.scopeKind == "regions") {
        bool ok = false;
        for (auto& z : d.res.value("replicaZones", json::array()))
            ok = ok || lastSegment(z.get<std::string>()) == zone;
        if (!ok)
            throw invalid("Invalid value for field 'source': regional disk '" + key +
                          "' has no replica in '" + zone + "'");
    }
    return key;
}

// Checks that disk can be attached in mode to instance (not counting pending
// attaches when applying). Throws ApiError.
void checkAttachable(World& w, const std::string& instKey, const Instance& inst, const std::string& diskKey,
                     const std::string& mode, bool forceAttach) {
    Disk& d = w.disks.at(diskKey);
    if (d.res.value("status", "") != "READY") throw notReady("The resource '" + diskKey + "' is not ready");
    std::string instLink = computeLink(instKey);
    for (auto& u : d.res.value("users", json::array())) {
        std::string user = u.get<std::string>();
        if (user == instLink) {
            throw inUse("The disk resource '" + diskKey + "' is already being used by '" + instKey + "'");
        }
    }
    if (inst.pendingDisks.count(diskKey)) {
        throw inUse("The disk resource '" + diskKey + "' is already being attached to '" + instKey + "'");
    }
    bool othersRw = false, others = false;
    for (auto& [ik, other] : w.instances) {
        if (ik == instKey) continue;
        for (auto& ad : other.res.value("disks", json::array())) {
            if (normalizeRef(ad.value("source", ""), other.project) == diskKey) {
                others = true;
                othersRw = othersRw || ad.value("mode", "READ_WRITE") == "READ_WRITE";
            }
        }
        if (other.pendingDisks.count(diskKey)) others = othersRw = true;
    }
    bool takeover = forceAttach && d.scopeKind == "regions";
    if (forceAttach && d.scopeKind != "regions") {
        throw invalid("Invalid value for field 'forceAttach': only regional disks can be force-attached");
    }
    if (!takeover && (othersRw || (others && mode == "READ_WRITE"))) {
        std::string user =
            d.res.contains("users") && !d.res["users"].empty()
                ? d.res["users"][0].get<std::string>().substr(std::string(kComputePrefix).size())
                : std::string("another instance");
        throw inUse("The disk resource '" + diskKey + "' is already being used by '" + user + "'");
    }
}

// Adds the disk to the instance and the instance to the disk's users.
void applyAttach(World& w, const std::string& instKey, Instance& inst, const std::string& diskKey, json ad,
                 bool force) {
    Disk& d = w.disks.at(diskKey);
    std::string instLink = computeLink(instKey);
    ad["kind"] = "compute#attachedDisk";
    ad["type"] = "PERSISTENT";
    ad["source"] = d.res["selfLink"];
    ad["diskSizeGb"] = d.res["sizeGb"];
    if (!ad.contains("mode")) ad["mode"] = "READ_WRITE";
    if (!ad.contains("autoDelete")) ad["autoDelete"] = false;
    if (!ad.contains("boot")) ad["boot"] = false;
    if (!ad.contains("interface")) ad["interface"] = "SCSI";
    ad.erase("forceAttach");
    ad.erase("initializeParams");
    if (d.res.contains("licenses")) ad["licenses"] = d.res["licenses"];
    if (d.res.contains("guestOsFeatures")) ad["guestOsFeatures"] = d.res["guestOsFeatures"];
    if (d.res.contains("architecture")) ad["architecture"] = d.res["architecture"];
    if (d.res.contains("diskEncryptionKey")) ad["diskEncryptionKey"] = d.res["diskEncryptionKey"];
    {
        // A force-attach of a regional disk takes it from its previous users.
        if (force && d.scopeKind == "regions" && ad.value("mode", "READ_WRITE") == "READ_WRITE") {
            for (auto& [ik, other] : w.instances) {
                if (ik == instKey) continue;
                auto& od = other.res["disks"];
                for (auto it = od.begin(); it != od.end();) {
                    if (normalizeRef(it->value("source", ""), other.project) == diskKey) {
                        unlinkDevice(w, ik, it->value("deviceName", ""));
                        removeUser(d, computeLink(ik));
                        it = od.erase(it);
                    } else {
                        ++it;
                    }
                }
            }
        }
    }
    inst.res["disks"].push_back(ad);
    reindexDisks(inst.res);
    if (!d.res.contains("users")) d.res["users"] = json::array();
    d.res["users"].push_back(instLink);
    d.res["lastAttachTimestamp"] = nowTimestamp();
    linkDevice(w, instKey, ad["deviceName"].get<std::string>(), d.file);
}

void detachFrom(World& w, const std::string& instKey, Instance& inst, const std::string& deviceName) {
    auto& disks = inst.res["disks"];
    for (auto it = disks.begin(); it != disks.end(); ++it) {
        if (it->value("deviceName", "") != deviceName) continue;
        std::string diskKey = normalizeRef(it->value("source", ""), inst.project);
        disks.erase(it);
        reindexDisks(inst.res);
        unlinkDevice(w, instKey, deviceName);
        auto d = w.disks.find(diskKey);
        if (d != w.disks.end()) {
            removeUser(d->second, computeLink(instKey));
            d->second.res["lastDetachTimestamp"] = nowTimestamp();
        }
        return;
    }
}

void attachDisk(World& w, Call& call) {
    json ad = call.body("compute", "AttachedDisk");
    auto& p = call.p;
    std::lock_guard<std::mutex> lock(w.mu);
    std::string instKey;
    Instance& inst = findInstance(w, p["project"], p["zone"], p["instance"], instKey);
    std::string diskKey = resolveAttachSource(w, p["project"], p["zone"], ad);
    std::string mode = ad.value("mode", "READ_WRITE");
    if (mode != "READ_WRITE" && mode != "READ_ONLY")
        throw invalid("Invalid value for field 'mode': '" + mode + "'");
    bool force = call.query("forceAttach") == "true" || ad.value("forceAttach", false);
    checkAttachable(w, instKey, inst, diskKey, mode, force);
    std::string deviceName = ad.value("deviceName", lastSegment(diskKey));
    if (!validDeviceName(deviceName)) {
        throw invalid("Invalid value for field 'deviceName': '" + deviceName +
                      "'. Device names may contain letters, digits, '-' and '_' (1-63 characters)");
    }
    for (auto& existing : inst.res["disks"]) {
        if (existing.value("deviceName", "") == deviceName) {
            throw invalid("Invalid value for field 'deviceName': '" + deviceName +
                          "'. A disk with this device name is already attached to '" + instKey + "'");
        }
    }
    if (inst.pendingDeviceNames.count(deviceName)) {
        throw invalid("Invalid value for field 'deviceName': '" + deviceName + "' is being attached already");
    }
    int limit = attachLimit(w, inst);
    int count = static_cast<int>(inst.res["disks"].size() + inst.pendingDisks.size());
    if (count >= limit) {
        throw ApiError(400, "limitExceeded",
                       "Exceeded limit 'maximum_persistent_disks' on resource '" + p["instance"] +
                           "'. Limit: " + std::to_string(limit) + ".0");
    }
    if (ad.value("boot", false) && inst.res.value("status", "") != "TERMINATED") {
        throw invalid("Instance '" + instKey + "' must be stopped (TERMINATED) to attach a boot disk");
    }
    ad["deviceName"] = deviceName;
    ad["mode"] = mode;
    inst.pendingDisks.insert(diskKey);
    inst.pendingDeviceNames.insert(deviceName);
    auto opKey = newOperation(w, p["project"], "zones", p["zone"], "attachDisk", inst.res["selfLink"],
                              inst.res["id"], call.query("requestId"));
    runOperation(
        w, opKey, w.latency.AttachMs(), [&w, instKey, diskKey, ad, mode, force]() -> std::optional<OpError> {
            auto it = w.instances.find(instKey);
            if (it == w.instances.end()) {
                return OpError{"RESOURCE_NOT_FOUND", "The resource '" + instKey + "' was not found", 404};
            }
            Instance& in = it->second;
            in.pendingDisks.erase(diskKey);
            in.pendingDeviceNames.erase(ad["deviceName"].get<std::string>());
            if (!w.disks.count(diskKey)) {
                return OpError{"RESOURCE_NOT_FOUND", "The resource '" + diskKey + "' was not found", 404};
            }
            try {
                checkAttachable(w, instKey, in, diskKey, mode, force);
                applyAttach(w, instKey, in, diskKey, ad, force);
            } catch (const ApiError& e) {
                return OpError{"RESOURCE_IN_USE_BY_ANOTHER_RESOURCE", e.what(), e.code()};
            }
            return std::nullopt;
        });
    call.replyOp(w, opKey);
}

void detachDisk(World& w, Call& call) {
    auto& p = call.p;
    std::string deviceName = call.query("deviceName");
    if (deviceName.empty()) throw ApiError(400, "required", "Required parameter 'deviceName' not specified");
    std::lock_guard<std::mutex> lock(w.mu);
    std::string instKey;
    Instance& inst = findInstance(w, p["project"], p["zone"], p["instance"], instKey);
    bool found = false;
    for (auto& ad : inst.res["disks"]) {
        if (ad.value("deviceName", "") != deviceName) continue;
        found = true;
        if (ad.value("boot", false) && inst.res.value("status", "") != "TERMINATED") {
            throw invalid("Instance '" + instKey + "' must be stopped (TERMINATED) to detach its boot disk");
        }
    }
    if (!found) {
        throw invalid("Invalid value for field 'deviceName': No attached disk found with device name '" +
                      deviceName + "'");
    }
    auto opKey = newOperation(w, p["project"], "zones", p["zone"], "detachDisk", inst.res["selfLink"],
                              inst.res["id"], call.query("requestId"));
    runOperation(w, opKey, w.latency.AttachMs(), [&w, instKey, deviceName]() -> std::optional<OpError> {
        auto it = w.instances.find(instKey);
        if (it == w.instances.end()) {
            return OpError{"RESOURCE_NOT_FOUND", "The resource '" + instKey + "' was not found", 404};
        }
        detachFrom(w, instKey, it->second, deviceName);
        return std::nullopt;
    });
    call.replyOp(w, opKey);
}

void setInstanceStatus(World& w, const std::string& key, const std::string& status) {
    auto it = w.instances.find(key);
    if (it == w.instances.end()) return;
    it->second.res["status"] = status;
    if (status == "RUNNING") it->second.res["lastStartTimestamp"] = nowTimestamp();
    if (status == "TERMINATED") it->second.res["lastStopTimestamp"] = nowTimestamp();
}

void startStop(World& w, Call& call, bool start) {
    auto& p = call.p;
    std::lock_guard<std::mutex> lock(w.mu);
    std::string key;
    Instance& inst = findInstance(w, p["project"], p["zone"], p["instance"], key);
    std::string status = inst.res.value("status", "");
    int ms = std::max(w.latency.instanceMs, w.latency.operationMs);
    auto opKey = newOperation(w, p["project"], "zones", p["zone"], start ? "start" : "stop",
                              inst.res["selfLink"], inst.res["id"], call.query("requestId"));
    if (start && status == "TERMINATED") {
        inst.res["status"] = "PROVISIONING";
        w.schedule(ms / 3, [&w, key] { setInstanceStatus(w, key, "STAGING"); });
        runOperation(w, opKey, ms, [&w, key]() -> std::optional<OpError> {
            setInstanceStatus(w, key, "RUNNING");
            return std::nullopt;
        });
    } else if (!start && (status == "RUNNING" || status == "PROVISIONING" || status == "STAGING")) {
        inst.res["status"] = "STOPPING";
        runOperation(w, opKey, ms, [&w, key]() -> std::optional<OpError> {
            setInstanceStatus(w, key, "TERMINATED");
            return std::nullopt;
        });
    } else if ((start && status == "RUNNING") || (!start && status == "TERMINATED")) {
        runOperation(w, opKey, w.latency.operationMs, nullptr);  // already there
    } else {
        w.operations.erase(opKey);
        throw notReady("The resource '" + key + "' is not ready: instance is " + status);
    }
    call.replyOp(w, opKey);
}

// A configuration object as the cloud quotes it in a refusal, its fields in
// the order given: {  "enableSecureBoot": true,  "enableVtpm": true}.
std::string quotedConfig(const json& config, std::initializer_list<const char*> order) {
    std::string text = "{";
    bool first = true;
    for (const char* k : order) {
        if (!config.contains(k)) continue;
        text += std::string(first ? "  \"" : ",  \"") + k + "\": " + config[k].dump();
        first = false;
    }
    return text + "}";
}

// The guest OS features of the disk an instance would boot from (the disk
// marked boot, else the first): an existing disk's, or those a new disk gets
// from its image or snapshot and its own list. Caller holds w.mu.
std::set<std::string> bootDiskFeatures(World& w, const std::string& project, const std::string& zone,
                                       const json& disks) {
    const json* boot = nullptr;
    for (auto& d : disks)
        if (!boot && d.value("boot", false)) boot = &d;
    if (!boot && !disks.empty()) boot = &disks[0];
    std::set<std::string> out;
    if (!boot) return out;
    auto add = [&out](const json& list) {
        if (!list.is_array()) return;
        for (auto& f : list)
            if (f.is_object()) out.insert(f.value("type", ""));
    };
    if (!boot->contains("initializeParams")) {
        add(w.disks.at(resolveAttachSource(w, project, zone, *boot)).res.value("guestOsFeatures", json()));
        return out;
    }
    add(boot->value("guestOsFeatures", json()));
    const json& ip = (*boot)["initializeParams"];
    if (ip.contains("sourceSnapshot")) {
        std::string key = normalizeRef(jsonString(ip["sourceSnapshot"]), project);
        if (key.find('/') == std::string::npos) key = "projects/" + project + "/global/snapshots/" + key;
        auto s = w.snapshots.find(key);
        if (s != w.snapshots.end()) add(s->second.res.value("guestOsFeatures", json()));
    } else if (ip.contains("sourceImage")) {
        add(w.images.at(imageKey(w, jsonString(ip["sourceImage"]), project))
                .value("guestOsFeatures", json()));
    }
    return out;
}

// Refuses what the boot disk cannot run: Shielded VM without UEFI, a
// confidential instance without SEV. Caller holds w.mu.
void checkBootFeatures(World& w, const std::string& project, const std::string& zone, const json& body,
                       const json& disks) {
    auto config = [&body](const char* name) {
        return body.contains(name) && body[name].is_object() ? body[name] : json::object();
    };
    auto on = [](const json& c, const char* flag) { return c.contains(flag) && c[flag] == true; };
    const json shielded = config("shieldedInstanceConfig");
    const json confidential = config("confidentialInstanceConfig");
    const bool wantsShielded = on(shielded, "enableSecureBoot") || on(shielded, "enableVtpm") ||
                               on(shielded, "enableIntegrityMonitoring");
    const bool wantsConfidential = on(confidential, "enableConfidentialCompute");
    if (!wantsShielded && !wantsConfidential) return;
    const std::set<std::string> features = bootDiskFeatures(w, project, zone, disks);
    if (wantsShielded && !features.count("UEFI_COMPATIBLE")) {
        throw invalid(
            "Invalid value for field 'resource.shieldedInstanceConfig': '" +
            quotedConfig(shielded, {"enableSecureBoot", "enableVtpm", "enableIntegrityMonitoring"}) +
            "'. Shielded VM Config can only be set when using a UEFI-compatible disk.");
    }
    if (wantsConfidential && !features.count("SEV_CAPABLE")) {
        throw invalid("Invalid value for field 'resource.confidentialInstanceConfig': '" +
                      quotedConfig(confidential, {"enableConfidentialCompute"}) +
                      "'. Confidential Instance Config is only supported when using an SEV_CAPABLE image.");
    }
}

// Checks the network and subnetwork of each interface and completes the
// pair: a subnetwork gives its network, a network its subnetwork in the
// instance's region when it has one. Caller holds w.mu.
void resolveNetworks(World& w, const std::string& project, const std::string& zone, json& nics) {
    const std::string region = lastSegment(w.zones[zone].value("region", ""));
    for (size_t i = 0; i < nics.size(); ++i) {
        json& ni = nics[i];
        const std::string field = "resource.networkInterfaces[" + std::to_string(i) + "]";
        if (ni.contains("subnetwork")) {
            const std::string given = jsonString(ni["subnetwork"]);
            std::string key = normalizeRef(given, project);
            if (key.find('/') == std::string::npos)
                key = "projects/" + project + "/regions/" + region + "/subnetworks/" + key;
            auto it = w.subnetworks.find(key);
            if (it == w.subnetworks.end()) {
                throw invalid("Invalid value for field '" + field + ".subnetwork': '" + given +
                              "'. The referenced subnetwork resource cannot be found.");
            }
            ni["subnetwork"] = computeLink(key);
            if (!ni.contains("network")) ni["network"] = it->second["network"];
        }
        if (!ni.contains("network")) continue;
        const std::string given = jsonString(ni["network"]);
        std::string key = normalizeRef(given, project);
        if (key.find('/') == std::string::npos) key = "projects/" + project + "/global/networks/" + key;
        if (!w.networks.count(key)) {
            throw invalid("Invalid value for field '" + field + ".network': '" + given +
                          "'. The referenced network resource cannot be found.");
        }
        ni["network"] = computeLink(key);
        if (ni.contains("subnetwork")) continue;
        for (auto& [k, sub] : w.subnetworks) {
            if (normalizeRef(sub.value("network", ""), "") == key &&
                lastSegment(sub.value("region", "")) == region) {
                ni["subnetwork"] = computeLink(k);
                break;
            }
        }
    }
}

void insertInstance(World& w, Call& call) {
    json body = call.body("compute", "Instance");
    auto& p = call.p;
    std::unique_lock<std::mutex> lock(w.mu);
    requireZone(w, p["project"], p["zone"]);
    std::string base = scopePath(p["project"], "zones", p["zone"]);
    std::string name = body.value("name", "");
    if (name.empty()) throw ApiError(400, "required", "Required field 'resource.name' not specified");
    if (!validName(name)) {
        throw invalid("Invalid value for field 'resource.name': '" + name +
                      "'. Must be a match of regex '(?:[a-z](?:[-a-z0-9]{0,61}[a-z0-9])?|[1-9][0-9]{0,19})'");
    }
    std::string key = base + "/instances/" + name;
    if (w.instances.count(key)) throw alreadyExists(key);
    if (body.contains("labels")) checkLabels(body["labels"]);
    if (!body.contains("machineType"))
        throw ApiError(400, "required", "Required field 'resource.machineType' not specified");
    const std::string givenType = jsonString(body["machineType"]);
    std::string mt = normalizeRef(givenType, p["project"]);
    if (mt.find('/') == std::string::npos) mt = base + "/machineTypes/" + mt;
    static const std::regex custom("(n1-|n2-|e2-)?custom-[0-9]+-[0-9]+");
    if (mt.rfind(base + "/machineTypes/", 0) != 0 ||
        (!w.machineTypes.count(p["zone"] + "/" + lastSegment(mt)) &&
         !std::regex_match(lastSegment(mt), custom))) {
        throw invalid("Invalid value for field 'resource.machineType': '" + givenType +
                      "'. Machine type with name '" + lastSegment(mt) + "' does not exist in zone '" +
                      p["zone"] + "'.");
    }
    json disks = body.value("disks", json::array());
    if (!disks.is_array() || disks.empty())
        throw invalid("Invalid value for field 'resource.disks': a boot disk is required");
    bool anyBoot = false;
    for (auto& d : disks) anyBoot = anyBoot || d.value("boot", false);
    if (!anyBoot) disks[0]["boot"] = true;

    Instance inst;
    inst.project = p["project"];
    inst.zone = p["zone"];
    inst.created = Clock::now();
    uint64_t id = w.newId();
    json res = body;
    res["kind"] = "compute#instance";
    res["id"] = std::to_string(id);
    res["name"] = name;
    res["zone"] = computeLink(base);
    res["machineType"] = computeLink(mt);
    res["status"] = "PROVISIONING";
    res["creationTimestamp"] = nowTimestamp();
    res["selfLink"] = computeLink(key);
    res["labels"] = body.value("labels", json::object());
    res["labelFingerprint"] = labelFingerprint(res["labels"]);
    res["fingerprint"] = base64Encode(sha256(std::to_string(id)).substr(0, 8));
    res["disks"] = json::array();
    if (!res.contains("networkInterfaces")) {
        res["networkInterfaces"] = json::array(
            {{{"network", computeLink("projects/" + p["project"] + "/global/networks/default")}}});
    }
    resolveNetworks(w, p["project"], p["zone"], res["networkInterfaces"]);
    int nic = 0;
    for (auto& ni : res["networkInterfaces"]) {
        ni["kind"] = "compute#networkInterface";
        ni["name"] = "nic" + std::to_string(nic++);
        if (!ni.contains("networkIP")) {
            // An address of the interface's subnetwork ("10.132.0.0/20" -> "10.132.0.N").
            auto sub = w.subnetworks.find(normalizeRef(ni.value("subnetwork", ""), ""));
            std::string range = sub != w.subnetworks.end() ? sub->second.value("ipCidrRange", "") : "";
            std::string prefix = range.empty() ? "10.128.0." : range.substr(0, range.rfind('.') + 1);
            ni["networkIP"] = prefix + std::to_string(2 + (id % 250));
        }
    }
    if (res.contains("metadata")) {
        res["metadata"]["kind"] = "compute#metadata";
        res["metadata"]["fingerprint"] = base64Encode(sha256(res["metadata"].dump()).substr(0, 8));
    }

    // Check every existing disk first so a failure leaves nothing behind.
    std::set<std::string> deviceNames;
    std::vector<std::pair<std::string, json>> existing;
    for (auto& ad : disks) {
        if (ad.contains("initializeParams")) continue;
        std::string dk = resolveAttachSource(w, p["project"], p["zone"], ad);
        checkAttachable(w, key, inst, dk, ad.value("mode", "READ_WRITE"), false);
        existing.emplace_back(dk, ad);
    }
    checkBootFeatures(w, p["project"], p["zone"], body, disks);
    std::vector<Prepared> created;
    std::vector<std::string> pendingDevices;
    try {
        for (size_t index = 0; index < disks.size(); ++index) {
            json& ad = disks[index];
            std::string dn = ad.value("deviceName", "");
            if (ad.contains("initializeParams")) {
                json ip = ad["initializeParams"];
                json dbody = {
                    {"name",
                     ip.value("diskName",
                              ad.value("boot", false) ? name : name + "-" + std::to_string(created.size()))}};
                if (ip.contains("diskSizeGb")) dbody["sizeGb"] = ip["diskSizeGb"];
                if (ip.contains("diskType")) dbody["type"] = ip["diskType"];
                if (ip.contains("sourceSnapshot")) dbody["sourceSnapshot"] = ip["sourceSnapshot"];
                if (ip.contains("sourceImage")) dbody["sourceImage"] = ip["sourceImage"];
                if (ip.contains("labels")) dbody["labels"] = ip["labels"];
                if (ip.contains("licenses")) dbody["licenses"] = ip["licenses"];
                if (ip.contains("architecture")) dbody["architecture"] = ip["architecture"];
                if (ad.contains("guestOsFeatures")) dbody["guestOsFeatures"] = ad["guestOsFeatures"];
                if (ad.contains("diskEncryptionKey")) dbody["diskEncryptionKey"] = ad["diskEncryptionKey"];
                const std::string sizeField =
                    "resource.disks[" + std::to_string(index) + "].initializeParams.diskSizeGb";
                Prepared prep = prepareDisk(w, p["project"], "zones", p["zone"], dbody, sizeField);
                created.push_back(prep);
                if (dn.empty()) dn = lastSegment(prep.key);
            } else if (dn.empty()) {
                dn = lastSegment(resolveAttachSource(w, p["project"], p["zone"], ad));
            }
            if (!validDeviceName(dn) || !deviceNames.insert(dn).second) {
                throw invalid("Invalid value for field 'deviceName': '" + dn + "'");
            }
            ad["deviceName"] = dn;
        }
    } catch (...) {
        for (auto& c : created) {
            auto& d = w.disks[c.key];
            scheduleDiskReady(w, c.key, false, "aborted");
            ::unlink(d.file.c_str());
            w.disks.erase(c.key);
        }
        throw;
    }
    inst.res = std::move(res);
    w.instances[key] = std::move(inst);
    auto opKey = newOperation(w, p["project"], "zones", p["zone"], "insert", computeLink(key),
                              std::to_string(id), call.query("requestId"));
    call.replyOp(w, opKey);

    // Disks are attached once they are READY, i.e. when the operation ends;
    // until then they are reserved for this instance.
    size_t ci = 0;
    std::vector<std::pair<std::string, json>> toAttach;
    for (auto& ad : disks) {
        std::string dk = ad.contains("initializeParams")
                             ? created[ci++].key
                             : resolveAttachSource(w, p["project"], p["zone"], ad);
        json a = ad;
        a.erase("initializeParams");
        if (ad.contains("initializeParams") && !a.contains("autoDelete")) a["autoDelete"] = true;
        toAttach.emplace_back(dk, a);
        w.instances[key].pendingDisks.insert(dk);
    }
    std::vector<CopyJob> copies;
    for (auto& c : created) copies.insert(copies.end(), c.copies.begin(), c.copies.end());
    lock.unlock();
    std::string err = runCopies(copies);
    lock.lock();
    int ready = std::max(w.latency.instanceMs, w.latency.operationMs);
    for (auto& c : created) ready = std::max(ready, scheduleDiskReady(w, c.key, c.restoring, err));
    w.schedule(ready / 3, [&w, key] { setInstanceStatus(w, key, "STAGING"); });
    runOperation(w, opKey, ready, [&w, key, toAttach, err]() -> std::optional<OpError> {
        auto it = w.instances.find(key);
        if (it == w.instances.end()) return std::nullopt;
        Instance& in = it->second;
        in.pendingDisks.clear();
        if (!err.empty()) {
            in.res["status"] = "TERMINATED";
            return OpError{"RESOURCE_OPERATION_FAILED", "Instance disks could not be created: " + err, 400};
        }
        for (auto& [dk, ad] : toAttach) {
            if (!w.disks.count(dk)) continue;
            applyAttach(w, key, in, dk, ad, false);
        }
        setInstanceStatus(w, key, "RUNNING");
        return std::nullopt;
    });
}

void deleteInstance(World& w, Call& call) {
    auto& p = call.p;
    std::lock_guard<std::mutex> lock(w.mu);
    std::string key;
    Instance& inst = findInstance(w, p["project"], p["zone"], p["instance"], key);
    if (inst.res.value("deletionProtection", false)) {
        throw invalid(
            "Invalid resource usage: 'Resource cannot be deleted if it's protected against deletion.'");
    }
    inst.res["status"] = "STOPPING";
    auto opKey = newOperation(w, p["project"], "zones", p["zone"], "delete", inst.res["selfLink"],
                              inst.res["id"], call.query("requestId"));
    runOperation(w, opKey, std::max(w.latency.instanceMs, w.latency.operationMs),
                 [&w, key]() -> std::optional<OpError> {
                     auto it = w.instances.find(key);
                     if (it == w.instances.end()) return std::nullopt;
                     Instance& in = it->second;
                     std::vector<std::pair<std::string, bool>> disks;
                     for (auto& ad : in.res["disks"]) {
                         disks.emplace_back(normalizeRef(ad.value("source", ""), in.project),
                                            ad.value("autoDelete", false));
                     }
                     std::vector<std::string> names;
                     for (auto& ad : in.res["disks"]) names.push_back(ad.value("deviceName", ""));
                     for (auto& n : names) detachFrom(w, key, in, n);
                     for (auto& [dk, autoDelete] : disks) {
                         auto d = w.disks.find(dk);
                         if (!autoDelete || d == w.disks.end() || d->second.res.contains("users")) continue;
                         ::unlink(d->second.file.c_str());
                         w.disks.erase(d);
                     }
                     w.instances.erase(key);
                     return std::nullopt;
                 });
    call.replyOp(w, opKey);
}

void setInstanceLabels(World& w, Call& call) {
    json body = call.body("compute", "InstancesSetLabelsRequest");
    auto& p = call.p;
    std::lock_guard<std::mutex> lock(w.mu);
    std::string key;
    Instance& inst = findInstance(w, p["project"], p["zone"], p["instance"], key);
    applyLabels(inst.res, body);
    auto opKey = newOperation(w, p["project"], "zones", p["zone"], "setLabels", inst.res["selfLink"],
                              inst.res["id"], call.query("requestId"));
    runOperation(w, opKey, w.latency.operationMs, nullptr);
    call.replyOp(w, opKey);
}

void setDiskAutoDelete(World& w, Call& call) {
    auto& p = call.p;
    std::string deviceName = call.query("deviceName");
    std::string autoDelete = call.query("autoDelete");
    if (deviceName.empty() || (autoDelete != "true" && autoDelete != "false")) {
        throw ApiError(400, "required", "Required parameters 'autoDelete' and 'deviceName' must be given");
    }
    std::lock_guard<std::mutex> lock(w.mu);
    std::string key;
    Instance& inst = findInstance(w, p["project"], p["zone"], p["instance"], key);
    bool found = false;
    for (auto& ad : inst.res["disks"]) {
        if (ad.value("deviceName", "") == deviceName) {
            ad["autoDelete"] = autoDelete == "true";
            found = true;
        }
    }
    if (!found) throw invalid("No attached disk found with device name '" + deviceName + "'");
    auto opKey = newOperation(w, p["project"], "zones", p["zone"], "setDiskAutoDelete", inst.res["selfLink"],
                              inst.res["id"], call.query("requestId"));
    runOperation(w, opKey, w.latency.operationMs, nullptr);
    call.replyOp(w, opKey);
}

// Aggregated list over the zones (and regions) of a project.
template <typename Map>
json aggregated(World& w, Call& call, const Map& items, const std::string& kind, const std::string& field,
                bool withRegions) {
    auto& p = call.p;
    requireProject(w, p["project"]);
    Filter filter = Filter::parse(call.query("filter"));
    std::vector<std::pair<std::string, json>> all;  // scope key, item
    std::vector<std::string> scopes;
    for (auto& [z, _] : w.zones) scopes.push_back("zones/" + z);
    if (withRegions)
        for (auto& [r, _] : w.regions) scopes.push_back("regions/" + r);
    if (field == "operations") scopes.push_back("global");
    std::sort(scopes.begin(), scopes.end());
    for (auto& scope : scopes) {
        std::string prefix = "projects/" + p["project"] + "/" + scope + "/";
        for (auto it = items.lower_bound(prefix); it != items.end() && it->first.rfind(prefix, 0) == 0;
             ++it) {
            if (filter.matches(it->second.res)) all.emplace_back(scope, it->second.res);
        }
    }
    size_t limit = maxResults(call);
    size_t offset = call.hasQuery("pageToken") ? decodePageToken(call.query("pageToken")) : 0;
    json out = {{"kind", kind},
                {"id", "projects/" + p["project"] + "/aggregated/" + field},
                {"selfLink", computeLink("projects/" + p["project"] + "/aggregated/" + field)},
                {"items", json::object()}};
    for (auto& scope : scopes) out["items"][scope] = json::object();
    for (size_t i = offset; i < all.size() && i < offset + limit; ++i) {
        out["items"][all[i].first][field].push_back(all[i].second);
    }
    for (auto& scope : scopes) {
        if (!out["items"][scope].contains(field)) {
            out["items"][scope] = {
                {"warning",
                 {{"code", "NO_RESULTS_ON_PAGE"},
                  {"message", "There are no results for scope '" + scope + "' on this page."},
                  {"data", json::array({{{"key", "scope"}, {"value", scope}}})}}}};
        }
    }
    if (offset + limit < all.size()) out["nextPageToken"] = encodePageToken(offset + limit);
    return out;
}

// ---- operations ----

void getOperation(World& w, Call& call, const std::string& kind, bool wait) {
    auto& p = call.p;
    std::string scope = kind == "zones" ? p["zone"] : kind == "regions" ? p["region"] : "";
    std::string key = "projects/" + p["project"] + "/" + (kind == "global" ? "global" : kind + "/" + scope) +
                      "/operations/" + p["operation"];
    std::unique_lock<std::mutex> lock(w.mu);
    requireProject(w, p["project"]);
    auto it = w.operations.find(key);
    if (it == w.operations.end()) throw notFound(key);
    // A wait call blocks until the operation is done: only plain reads poll.
    if (!wait) countPendingRead(w, "operation", it->second.res);
    if (wait) {
        auto deadline = Clock::now() + std::chrono::milliseconds(std::min(w.latency.waitMs, 120000));
        while (!w.stopping) {
            it = w.operations.find(key);
            if (it == w.operations.end() || it->second.res["status"] == "DONE") break;
            if (w.changed.wait_until(lock, deadline) == std::cv_status::timeout) break;
        }
        it = w.operations.find(key);
        if (it == w.operations.end()) throw notFound(key);
    }
    call.reply(it->second.res);
}

void listOperations(World& w, Call& call, const std::string& kind) {
    auto& p = call.p;
    std::string scope = kind == "zones" ? p["zone"] : kind == "regions" ? p["region"] : "";
    std::string base = "projects/" + p["project"] + "/" + (kind == "global" ? "global" : kind + "/" + scope) +
                       "/operations/";
    std::lock_guard<std::mutex> lock(w.mu);
    requireProject(w, p["project"]);
    std::vector<json> items;
    for (auto it = w.operations.lower_bound(base); it != w.operations.end() && it->first.rfind(base, 0) == 0;
         ++it) {
        items.push_back(it->second.res);
    }
    call.reply(listPage(call, std::move(items), "compute#operationList", base, computeLink(base)));
}

}  // namespace

void registerCompute(Emulator& emu) {
    World& w = emu.world();
    const auto C = Service::kCompute;
    // projects
    emu.route("GET", kV1, C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        auto it = w.projects.find(call.p["project"]);
        if (it == w.projects.end()) throw notFound("projects/" + call.p["project"]);
        call.reply(
            {{"kind", "compute#project"},
             {"id", it->second.number},
             {"name", it->second.id},
             {"creationTimestamp", "2023-01-01T00:00:00.000-00:00"},
             {"selfLink", computeLink("projects/" + it->second.id)},
             {"defaultServiceAccount", it->second.number + "-compute@developer.gserviceaccount.com"},
             {"commonInstanceMetadata", {{"kind", "compute#metadata"}, {"fingerprint", "42WmSpB8rSM="}}},
             {"xpnProjectStatus", "UNSPECIFIED_XPN_PROJECT_STATUS"}});
    });
    // zones / regions
    emu.route("GET", kV1 + "/zones", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireProject(w, call.p["project"]);
        std::vector<json> items;
        for (auto& [name, z] : w.zones) {
            json item = z;
            item["selfLink"] = computeLink("projects/" + call.p["project"] + "/zones/" + name);
            item["region"] = computeLink("projects/" + call.p["project"] + "/regions/" +
                                         lastSegment(z.value("region", "")));
            items.push_back(item);
        }
        std::string base = "projects/" + call.p["project"] + "/zones";
        call.reply(listPage(call, std::move(items), "compute#zoneList", base, computeLink(base)));
    });
    emu.route("GET", kV1 + "/zones/{zone}", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireZone(w, call.p["project"], call.p["zone"]);
        json item = w.zones[call.p["zone"]];
        item["selfLink"] = computeLink("projects/" + call.p["project"] + "/zones/" + call.p["zone"]);
        item["region"] = computeLink("projects/" + call.p["project"] + "/regions/" +
                                     lastSegment(item.value("region", "")));
        call.reply(item);
    });
    auto regionJson = [&w](const std::string& project, const std::string& name) {
        json item = w.regions[name];
        item["selfLink"] = computeLink("projects/" + project + "/regions/" + name);
        item["zones"] = json::array();
        for (auto& [zn, z] : w.zones) {
            if (lastSegment(z.value("region", "")) == name) {
                item["zones"].push_back(computeLink("projects/" + project + "/zones/" + zn));
            }
        }
        return item;
    };
    emu.route("GET", kV1 + "/regions", C, [&w, regionJson](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireProject(w, call.p["project"]);
        std::vector<json> items;
        for (auto& [name, r] : w.regions) items.push_back(regionJson(call.p["project"], name));
        std::string base = "projects/" + call.p["project"] + "/regions";
        call.reply(listPage(call, std::move(items), "compute#regionList", base, computeLink(base)));
    });
    emu.route("GET", kV1 + "/regions/{region}", C, [&w, regionJson](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireRegion(w, call.p["project"], call.p["region"]);
        call.reply(regionJson(call.p["project"], call.p["region"]));
    });
    // machine types
    auto mtJson = [](const std::string& project, const std::string& zone, json mt) {
        mt["zone"] = zone;  // the bare zone name, as the real API answers
        mt["selfLink"] =
            computeLink("projects/" + project + "/zones/" + zone + "/machineTypes/" + mt.value("name", ""));
        return mt;
    };
    emu.route("GET", kV1 + "/zones/{zone}/machineTypes", C, [&w, mtJson](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireZone(w, call.p["project"], call.p["zone"]);
        std::vector<json> items;
        std::string prefix = call.p["zone"] + "/";
        for (auto it = w.machineTypes.lower_bound(prefix);
             it != w.machineTypes.end() && it->first.rfind(prefix, 0) == 0; ++it) {
            items.push_back(mtJson(call.p["project"], call.p["zone"], it->second));
        }
        std::string base = "projects/" + call.p["project"] + "/zones/" + call.p["zone"] + "/machineTypes";
        call.reply(listPage(call, std::move(items), "compute#machineTypeList", base, computeLink(base)));
    });
    emu.route("GET", kV1 + "/zones/{zone}/machineTypes/{type}", C, [&w, mtJson](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireZone(w, call.p["project"], call.p["zone"]);
        auto it = w.machineTypes.find(call.p["zone"] + "/" + call.p["type"]);
        if (it == w.machineTypes.end()) {
            throw notFound("projects/" + call.p["project"] + "/zones/" + call.p["zone"] + "/machineTypes/" +
                           call.p["type"]);
        }
        call.reply(mtJson(call.p["project"], call.p["zone"], it->second));
    });
    // disk types
    auto dtJson = [](const std::string& project, const std::string& zone, const std::string& t) {
        return json{{"kind", "compute#diskType"},
                    {"name", t},
                    {"zone", computeLink("projects/" + project + "/zones/" + zone)},
                    {"validDiskSize", t == "pd-extreme" ? "500GB-65536GB" : "10GB-65536GB"},
                    {"defaultDiskSizeGb", t == "pd-standard" ? "500" : "100"},
                    {"selfLink", computeLink("projects/" + project + "/zones/" + zone + "/diskTypes/" + t)}};
    };
    emu.route("GET", kV1 + "/zones/{zone}/diskTypes", C, [&w, dtJson](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireZone(w, call.p["project"], call.p["zone"]);
        std::vector<json> items;
        for (auto& t : kDiskTypes) items.push_back(dtJson(call.p["project"], call.p["zone"], t));
        std::string base = "projects/" + call.p["project"] + "/zones/" + call.p["zone"] + "/diskTypes";
        call.reply(listPage(call, std::move(items), "compute#diskTypeList", base, computeLink(base)));
    });
    emu.route("GET", kV1 + "/zones/{zone}/diskTypes/{type}", C, [&w, dtJson](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireZone(w, call.p["project"], call.p["zone"]);
        if (std::find(kDiskTypes.begin(), kDiskTypes.end(), call.p["type"]) == kDiskTypes.end()) {
            throw notFound("projects/" + call.p["project"] + "/zones/" + call.p["zone"] + "/diskTypes/" +
                           call.p["type"]);
        }
        call.reply(dtJson(call.p["project"], call.p["zone"], call.p["type"]));
    });
    // networks and subnetworks (read only: made by the seed)
    emu.route("GET", kV1 + "/global/networks", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireProject(w, call.p["project"]);
        std::string prefix = "projects/" + call.p["project"] + "/global/networks/";
        std::vector<json> items;
        for (auto it = w.networks.lower_bound(prefix);
             it != w.networks.end() && it->first.rfind(prefix, 0) == 0; ++it)
            items.push_back(it->second);
        std::string base = "projects/" + call.p["project"] + "/global/networks";
        call.reply(listPage(call, std::move(items), "compute#networkList", base, computeLink(base)));
    });
    emu.route("GET", kV1 + "/global/networks/{network}", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireProject(w, call.p["project"]);
        std::string key = "projects/" + call.p["project"] + "/global/networks/" + call.p["network"];
        auto it = w.networks.find(key);
        if (it == w.networks.end()) throw notFound(key);
        call.reply(it->second);
    });
    emu.route("GET", kV1 + "/regions/{region}/subnetworks", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireRegion(w, call.p["project"], call.p["region"]);
        std::string prefix =
            "projects/" + call.p["project"] + "/regions/" + call.p["region"] + "/subnetworks/";
        std::vector<json> items;
        for (auto it = w.subnetworks.lower_bound(prefix);
             it != w.subnetworks.end() && it->first.rfind(prefix, 0) == 0; ++it)
            items.push_back(it->second);
        std::string base = "projects/" + call.p["project"] + "/regions/" + call.p["region"] + "/subnetworks";
        call.reply(listPage(call, std::move(items), "compute#subnetworkList", base, computeLink(base)));
    });
    emu.route("GET", kV1 + "/regions/{region}/subnetworks/{subnetwork}", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireRegion(w, call.p["project"], call.p["region"]);
        std::string key = "projects/" + call.p["project"] + "/regions/" + call.p["region"] + "/subnetworks/" +
                          call.p["subnetwork"];
        auto it = w.subnetworks.find(key);
        if (it == w.subnetworks.end()) throw notFound(key);
        call.reply(it->second);
    });
    // licences and images
    emu.route("GET", kV1 + "/global/licenses", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireProject(w, call.p["project"]);
        std::string prefix = "projects/" + call.p["project"] + "/global/licenses/";
        std::vector<json> items;
        for (auto it = w.licenses.lower_bound(prefix);
             it != w.licenses.end() && it->first.rfind(prefix, 0) == 0; ++it) {
            items.push_back(it->second);
        }
        json page = listPage(call, std::move(items), "compute#licenseList", prefix, computeLink(prefix));
        page.erase("kind");  // LicensesListResponse has no kind
        call.reply(page);
    });
    emu.route("GET", kV1 + "/global/licenses/{license}", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        std::string key = "projects/" + call.p["project"] + "/global/licenses/" + call.p["license"];
        auto it = w.licenses.find(key);
        if (it == w.licenses.end()) throw notFound(key);
        call.reply(it->second);
    });
    emu.route("GET", kV1 + "/global/images/family/{family}", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        std::string prefix = "projects/" + call.p["project"] + "/global/images/";
        for (auto it = w.images.lower_bound(prefix); it != w.images.end() && it->first.rfind(prefix, 0) == 0;
             ++it) {
            if (it->second.value("family", "") == call.p["family"]) return call.reply(it->second);
        }
        throw notFound(prefix + "family/" + call.p["family"]);
    });

    // disks (zonal and regional)
    for (std::string kind : {"zones", "regions"}) {
        std::string base = kV1 + "/" + kind + (kind == "zones" ? "/{zone}" : "/{region}") + "/disks";
        emu.route("GET", base, C, [&w, kind](Call& call) { listDisks(w, call, kind); });
        emu.route("GET", base + "/{disk}", C, [&w, kind](Call& call) { getDisk(w, call, kind); });
        emu.route(
            "POST", base, C, [&w, kind](Call& call) { insertDisk(w, call, kind); }, true);
        emu.route(
            "DELETE", base + "/{disk}", C, [&w, kind](Call& call) { deleteDisk(w, call, kind); }, true);
        emu.route(
            "POST", base + "/{disk}/setLabels", C, [&w, kind](Call& call) { setDiskLabels(w, call, kind); },
            true);
        emu.route(
            "POST", base + "/{disk}/resize", C, [&w, kind](Call& call) { resizeDisk(w, call, kind); }, true);
        emu.route(
            "POST", base + "/{disk}/createSnapshot", C,
            [&w, kind](Call& call) {
                json body = call.body("compute", "Snapshot");
                auto& p = call.p;
                std::string scope = kind == "zones" ? p["zone"] : p["region"];
                {
                    std::lock_guard<std::mutex> lock(w.mu);
                    requireScope(w, p["project"], kind, scope);
                }
                std::string diskKey = scopePath(p["project"], kind, scope) + "/disks/" + p["disk"];
                createSnapshot(w, call, p["project"], diskKey, body, kind, scope,
                               kind == "zones" && call.query("guestFlush") == "true");
            },
            true);
    }
    emu.route("GET", kV1 + "/aggregated/disks", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        call.reply(aggregated(w, call, w.disks, "compute#diskAggregatedList", "disks", true));
    });

    // snapshots
    emu.route("GET", kV1 + "/global/snapshots", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireProject(w, call.p["project"]);
        std::string prefix = "projects/" + call.p["project"] + "/global/snapshots/";
        std::vector<json> items;
        for (auto it = w.snapshots.lower_bound(prefix);
             it != w.snapshots.end() && it->first.rfind(prefix, 0) == 0; ++it) {
            items.push_back(it->second.res);
        }
        json page = listPage(call, std::move(items), "compute#snapshotList", prefix, computeLink(prefix));
        countPendingList(w, "snapshot", page);
        call.reply(page);
    });
    emu.route("GET", kV1 + "/global/snapshots/{snapshot}", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireProject(w, call.p["project"]);
        std::string key = "projects/" + call.p["project"] + "/global/snapshots/" + call.p["snapshot"];
        auto it = w.snapshots.find(key);
        if (it == w.snapshots.end() || hiddenAsFresh(w, it->second.created)) throw notFound(key);
        countPendingRead(w, "snapshot", it->second.res);
        call.reply(it->second.res);
    });
    emu.route(
        "POST", kV1 + "/global/snapshots", C,
        [&w](Call& call) {
            json body = call.body("compute", "Snapshot");
            if (!body.contains("sourceDisk"))
                throw ApiError(400, "required", "Required field 'resource.sourceDisk' not specified");
            std::string diskKey = normalizeRef(jsonString(body["sourceDisk"]), call.p["project"]);
            auto ds = splitDiskKey(diskKey);
            if (ds.project.empty())
                throw invalid("Invalid value for field 'resource.sourceDisk': '" + diskKey + "'");
            body.erase("sourceDisk");
            // The operation is global and in the snapshot's project.
            createSnapshot(w, call, call.p["project"], diskKey, body, "global", "", false);
        },
        true);
    emu.route(
        "DELETE", kV1 + "/global/snapshots/{snapshot}", C,
        [&w](Call& call) {
            std::lock_guard<std::mutex> lock(w.mu);
            requireProject(w, call.p["project"]);
            std::string key = "projects/" + call.p["project"] + "/global/snapshots/" + call.p["snapshot"];
            auto it = w.snapshots.find(key);
            if (it == w.snapshots.end()) throw notFound(key);
            if (it->second.busy > 0 || it->second.res["status"] == "DELETING") {
                throw notReady("The resource '" + key + "' is not ready");
            }
            it->second.res["status"] = "DELETING";
            auto opKey =
                newOperation(w, call.p["project"], "global", "", "delete", it->second.res["selfLink"],
                             it->second.res["id"], call.query("requestId"));
            runOperation(w, opKey, w.latency.operationMs, [&w, key]() -> std::optional<OpError> {
                auto s = w.snapshots.find(key);
                if (s != w.snapshots.end()) {
                    ::unlink(s->second.file.c_str());
                    w.snapshots.erase(s);
                }
                return std::nullopt;
            });
            call.replyOp(w, opKey);
        },
        true);
    emu.route(
        "POST", kV1 + "/global/snapshots/{snapshot}/setLabels", C,
        [&w](Call& call) {
            json body = call.body("compute", "GlobalSetLabelsRequest");
            std::lock_guard<std::mutex> lock(w.mu);
            requireProject(w, call.p["project"]);
            std::string key = "projects/" + call.p["project"] + "/global/snapshots/" + call.p["snapshot"];
            auto it = w.snapshots.find(key);
            if (it == w.snapshots.end()) throw notFound(key);
            applyLabels(it->second.res, body);
            auto opKey = newOperation(w, call.p["project"], "global", "", "setLabels",
                                      it->second.res["selfLink"], it->second.res["id"], "");
            runOperation(w, opKey, w.latency.operationMs, nullptr);
            call.replyOp(w, opKey);
        },
        true);

    // instances
    std::string inst = kV1 + "/zones/{zone}/instances";
    emu.route("GET", inst, C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        requireZone(w, call.p["project"], call.p["zone"]);
        std::string prefix = scopePath(call.p["project"], "zones", call.p["zone"]) + "/instances/";
        std::vector<json> items;
        for (auto it = w.instances.lower_bound(prefix);
             it != w.instances.end() && it->first.rfind(prefix, 0) == 0; ++it) {
            items.push_back(it->second.res);
        }
        std::string base = prefix.substr(0, prefix.size() - 1);
        call.reply(listPage(call, std::move(items), "compute#instanceList", base, computeLink(base)));
    });
    emu.route("GET", inst + "/{instance}", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        std::string key;
        Instance& in = findInstance(w, call.p["project"], call.p["zone"], call.p["instance"], key);
        if (hiddenAsFresh(w, in.created)) throw notFound(key);
        call.reply(in.res);
    });
    emu.route(
        "POST", inst, C, [&w](Call& call) { insertInstance(w, call); }, true);
    emu.route(
        "DELETE", inst + "/{instance}", C, [&w](Call& call) { deleteInstance(w, call); }, true);
    emu.route(
        "POST", inst + "/{instance}/start", C, [&w](Call& call) { startStop(w, call, true); }, true);
    emu.route(
        "POST", inst + "/{instance}/stop", C, [&w](Call& call) { startStop(w, call, false); }, true);
    emu.route(
        "POST", inst + "/{instance}/attachDisk", C, [&w](Call& call) { attachDisk(w, call); }, true);
    emu.route(
        "POST", inst + "/{instance}/detachDisk", C, [&w](Call& call) { detachDisk(w, call); }, true);
    emu.route(
        "POST", inst + "/{instance}/setLabels", C, [&w](Call& call) { setInstanceLabels(w, call); }, true);
    emu.route(
        "POST", inst + "/{instance}/setDiskAutoDelete", C, [&w](Call& call) { setDiskAutoDelete(w, call); },
        true);
    emu.route("GET", kV1 + "/aggregated/instances", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        call.reply(aggregated(w, call, w.instances, "compute#instanceAggregatedList", "instances", false));
    });

    // operations
    emu.route("GET", kV1 + "/aggregated/operations", C, [&w](Call& call) {
        std::lock_guard<std::mutex> lock(w.mu);
        call.reply(aggregated(w, call, w.operations, "compute#operationAggregatedList", "operations", true));
    });
    for (std::string kind : {"zones", "regions", "global"}) {
        std::string base = kV1 +
                           (kind == "zones"     ? "/zones/{zone}"
                            : kind == "regions" ? "/regions/{region}"
                                                : "/global") +
                           "/operations";
        emu.route("GET", base, C, [&w, kind](Call& call) { listOperations(w, call, kind); });
        emu.route("GET", base + "/{operation}", C,
                  [&w, kind](Call& call) { getOperation(w, call, kind, false); });
        emu.route("POST", base + "/{operation}/wait", C,
                  [&w, kind](Call& call) { getOperation(w, call, kind, true); });
    }
}

std::string seedDisk(World& w, const std::string& project, const std::string& scopeKind,
                     const std::string& scope, const json& body) {
    Prepared prep = prepareDisk(w, project, scopeKind, scope, body);
    Disk& d = w.disks.at(prep.key);
    d.res.erase("__srcSnapshot");
    d.res.erase("__srcDisk");
    d.busy = 0;
    d.res["status"] = "READY";
    d.created = Clock::now() - std::chrono::hours(24);
    return prep.key;
}

// Attaches a disk while seeding (no operation). Caller holds w.mu.
void seedAttach(World& w, const std::string& instKey, const std::string& diskKey, const json& attached) {
    applyAttach(w, instKey, w.instances.at(instKey), diskKey, attached, false);
}

}  // namespace gce::emu
