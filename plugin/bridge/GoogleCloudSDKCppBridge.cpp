// The cloud bridge on Google's REST APIs. Each operation is a few lines on
// top of the pieces in rest/: TokenSource (authentication), HttpSession and
// RestClient (transport, retries, operations) and the mappers (JSON to host
// records and back).
#include "plugin/bridge/GoogleCloudSDKCppBridge.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "plugin/bridge/rest/ComputeMapper.h"
#include "plugin/bridge/rest/Endpoints.h"
#include "plugin/bridge/rest/HttpSession.h"
#include "plugin/bridge/rest/KmsMapper.h"
#include "plugin/bridge/rest/RestClient.h"
#include "plugin/bridge/rest/StorageMapper.h"
#include "plugin/bridge/rest/TokenSource.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/EvDebug.h"

namespace GoogleCloudSDKCppBridge {

using json = nlohmann::json;
using VMInfoStructs::SDisk;
using VMInfoStructs::SKeyPairInfo;
using VMInfoStructs::SVMInfo;
namespace compute = rest::compute;
namespace kms = rest::kms;
namespace storage = rest::storage;

namespace {

constexpr const char* kTag = "CGoogleCloudSDKCppBridge";

// How long what this bridge read of a resource stands in for a new read:
// what does not change while a job runs (ids, selfLinks, keys, and the
// labels copied onto a snapshot) for the length of a job step; a whole
// description only right after the read that found the resource READY.
constexpr int64_t kRecentMs = 10LL * 60 * 1000;
constexpr int64_t kJustNowMs = 10LL * 1000;

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A creation the bridge only started: kept so that a status read can tell a
// resource that is not visible yet from one whose operation failed, and can
// send a rate-limited request again.
struct PendingStart {
    std::string strMethod;
    std::string strUrl;
    json body;
    json operation;
    int nReissues = 0;
    int64_t nDoneAt = 0;  // when the operation was first seen DONE without error
};

}  // namespace

struct CGoogleCloudSDKCppBridge::Impl {
    Impl() : client(session, endpoints) { session.SetTimeouts(10, 120); }

    EvDebug log;
    bool bEndpointFixed = false;  // SetEndpoint was called
    rest::Endpoints endpoints = rest::Endpoints::Google();
    rest::HttpSession session;
    rest::RestClient client;
    std::unique_ptr<rest::TokenSource> tokens;
    std::string strDefaultProject;

    // The calling thread's last failure text on this bridge.
    std::string& LastError() {
        thread_local std::map<const Impl*, std::string> texts;
        return texts[this];
    }
    std::mutex pendingLock;
    std::map<std::string, PendingStart> pending;
    // Machine types read so far, by resource path: a type never changes, and
    // every instance description would read it again.
    std::mutex machineTypeLock;
    std::map<std::string, json> machineTypes;

    bool MachineTypeByUri(const std::string& typeUri, json& out) {
        const std::string path = rest::ResourcePath(typeUri);
        {
            std::lock_guard<std::mutex> guard(machineTypeLock);
            const auto it = machineTypes.find(path);
            if (it != machineTypes.end()) {
                out = it->second;
                return true;
            }
        }
        if (!client.Get(endpoints.Compute(typeUri), out)) return false;
        std::lock_guard<std::mutex> guard(machineTypeLock);
        machineTypes[path] = out;
        return true;
    }

    // Disks and snapshots as this bridge last read them (status reads,
    // instance descriptions, disk reads), by resource path. A step that
    // follows at once answers from here instead of reading the resource
    // again: the description of a disk its status read has just found READY,
    // the selfLink of a snapshot just found READY, the labels and key of a
    // source disk about to be snapshotted. Every change this bridge makes to
    // a resource drops its entry.
    struct Seen {
        json resource;
        std::chrono::steady_clock::time_point at;
    };
    std::mutex seenLock;
    std::map<std::string, Seen> seen;

    void Remember(const json& resource) {
        const std::string path = rest::ResourcePath(compute::Str(resource, "selfLink"));
        if (path.empty() || path.compare(0, 9, "projects/") != 0) return;
        std::lock_guard<std::mutex> guard(seenLock);
        seen[path] = Seen{resource, std::chrono::steady_clock::now()};
    }
    // The resource at path read at most maxAgeMs ago.
    bool Recall(const std::string& pathOrUrl, int64_t maxAgeMs, json& out) {
        const std::string path = rest::ResourcePath(pathOrUrl);
        std::lock_guard<std::mutex> guard(seenLock);
        const auto it = seen.find(path);
        if (it == seen.end()) return false;
        const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - it->second.at)
                             .count();
        if (age > maxAgeMs) return false;
        out = it->second.resource;
        return true;
    }
    void Forget(const std::string& pathOrUrl) {
        std::lock_guard<std::mutex> guard(seenLock);
        seen.erase(rest::ResourcePath(pathOrUrl));
    }

    // The body of an attachDisk call, read-write and kept on detach. The
    // device name carries the disk's id; a disk named by the backup rule
    // carries it in its name, any other disk is read unless it was just seen.
    // False (the client's error set) when the disk cannot be read.
    bool AttachBody(const std::string& diskName, const std::string& diskUrl, json& body,
                    std::string& device) {
        device = compute::DeviceNameForDisk(diskName, "");
        if (device == kDeviceNamePrefix) {
            json disk;
            if (!Recall(diskUrl, kRecentMs, disk) && !client.Get(diskUrl, disk)) return false;
            device = compute::DeviceNameForDisk(diskName, compute::Str(disk, "id"));
        }
        body = {{"source", rest::ResourcePath(diskUrl)},
                {"deviceName", device},
                {"mode", "READ_WRITE"},
                {"autoDelete", false},
                {"type", "PERSISTENT"}};
        return true;
    }

    // Disks this bridge attached to an instance (device name by disk path)
    // and disks it detached from one, by instance path. Only this job
    // attaches the disks it made, so a disk this bridge detached stays
    // detached until this bridge attaches it again, and the device name of
    // a disk it attached is known without reading the instance.
    std::mutex attachLock;
    std::map<std::string, std::map<std::string, std::string>> attachedHere;
    std::map<std::string, std::set<std::string>> detachedHere;

    void NoteAttached(const std::string& instPath, const std::string& diskPath, const std::string& device) {
        std::lock_guard<std::mutex> guard(attachLock);
        attachedHere[instPath][diskPath] = device;
        detachedHere[instPath].erase(diskPath);
    }
    void NoteDetached(const std::string& instPath, const std::string& diskPath) {
        std::lock_guard<std::mutex> guard(attachLock);
        attachedHere[instPath].erase(diskPath);
        detachedHere[instPath].insert(diskPath);
    }
    // Attaches and detaches sent by StartAttachDisk / StartDetachDisk and not
    // yet awaited, by disk path: the instance path, the device name and the
    // operation.
    struct PendingAttachment {
        std::string instUrl;
        std::string instPath;
        std::string device;
        json operation;
    };
    std::map<std::string, PendingAttachment> pendingAttaches;
    std::map<std::string, PendingAttachment> pendingDetaches;

    // Takes the pending attach (or detach) of a disk off its list; false
    // when there is none.
    bool TakePending(std::map<std::string, PendingAttachment>& from, const std::string& diskPath,
                     PendingAttachment& out) {
        std::lock_guard<std::mutex> guard(attachLock);
        const auto it = from.find(diskPath);
        if (it == from.end()) return false;
        out = std::move(it->second);
        from.erase(it);
        return true;
    }

    // Awaits a pending operation; true when it ended without error.
    bool AwaitPending(PendingAttachment& p) {
        if (!client.WaitDone(p.operation)) return false;
        if (p.operation.contains("error")) {
            client.SetError(compute::DescribeOperationError(p.operation));
            return false;
        }
        return true;
    }

    // Before a disk is detached, deleted, moved or resized: its pending
    // detach is awaited, and a pending attach that nobody claimed is awaited
    // and undone (with bUndoAttach), so that the disk is free again.
    void Settle(const std::string& diskPath, bool bUndoAttach) {
        PendingAttachment p;
        if (TakePending(pendingAttaches, diskPath, p)) {
            if (AwaitPending(p)) {
                NoteAttached(p.instPath, diskPath, p.device);
                if (bUndoAttach) {
                    json op;
                    if (client.Mutate("POST",
                                      rest::WithQuery(p.instUrl + "/detachDisk", "deviceName", p.device),
                                      json(), true, op) &&
                        !op.contains("error"))
                        NoteDetached(p.instPath, diskPath);
                }
            }
            Forget(diskPath);
        }
        if (TakePending(pendingDetaches, diskPath, p)) {
            if (AwaitPending(p)) NoteDetached(p.instPath, diskPath);
            Forget(diskPath);
        }
        client.ClearError();
    }

    void NoteDiskGone(const std::string& diskPath) {
        std::lock_guard<std::mutex> guard(attachLock);
        for (auto& [inst, disks] : attachedHere) disks.erase(diskPath);
        for (auto& [inst, disks] : detachedHere) disks.erase(diskPath);
    }

    void ResolveEndpoints() {
        if (bEndpointFixed) return;
        std::string base;
        ArPlatformInfo::getString("VirtualServer", "strGoogleEndpoint", base);
        const char* env = std::getenv("GCEBACKUP_ENDPOINT");
        if (env != nullptr && *env != '\0') base = env;
        endpoints = rest::Endpoints::FromBase(base);
    }

    std::string Zonal(const std::string& p, const std::string& z, const std::string& rest) const {
        return endpoints.strCompute + "/projects/" + p + "/zones/" + z + rest;
    }
    std::string Regional(const std::string& p, const std::string& r, const std::string& rest) const {
        return endpoints.strCompute + "/projects/" + p + "/regions/" + r + rest;
    }
    std::string Global(const std::string& p, const std::string& rest) const {
        return endpoints.strCompute + "/projects/" + p + "/global" + rest;
    }
    std::string DiskUrl(const std::string& p, const std::string& name, const std::string& zone,
                        const std::string& region, bool regional) const {
        return regional ? Regional(p, region, "/disks/" + rest::UrlEncode(name))
                        : Zonal(p, zone, "/disks/" + rest::UrlEncode(name));
    }
    std::string InstanceUrl(const std::string& p, const std::string& zone, const std::string& name) const {
        return Zonal(p, zone, "/instances/" + rest::UrlEncode(name));
    }

    // Every project visible to the credential, or just the one given.
    bool Projects(const std::string& project, std::vector<std::string>& out) {
        if (!project.empty()) {
            out.push_back(project);
            return true;
        }
        std::vector<json> items;
        if (!client.ListAll(endpoints.strCrm + "/projects", "projects", items, "pageSize")) return false;
        for (const auto& p : items) {
            const std::string state = compute::Str(p, "lifecycleState");
            if (!state.empty() && state != "ACTIVE") continue;
            const std::string id = compute::Str(p, "projectId");
            if (!id.empty()) out.push_back(id);
        }
        return true;
    }

    // Instance resources of one project (aggregated), optionally one zone.
    bool ProjectInstances(const std::string& project, const std::string& zone, std::vector<json>& out) {
        if (!zone.empty()) return client.ListAll(Zonal(project, zone, "/instances"), "items", out);
        std::vector<std::pair<std::string, json>> scoped;
        if (!client.AggregatedListAll(endpoints.strCompute + "/projects/" + project + "/aggregated/instances",
                                      "instances", scoped))
            return false;
        for (auto& s : scoped) out.push_back(std::move(s.second));
        return true;
    }

    bool MachineType(const std::string& project, const std::string& zone, const std::string& name,
                     json& out) {
        return MachineTypeByUri(Zonal(project, zone, "/machineTypes/" + rest::UrlEncode(name)), out);
    }

    // Names made only of lowercase letters, digits and hyphens (all that
    // Compute Engine allows), safe inside a filter's regular expression.
    static bool PlainName(const std::string& name) {
        return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        });
    }
    // The resources of a collection with the given plain names, with one
    // filtered list call.
    bool ListNamed(const std::string& collection, const std::vector<std::string>& names,
                   std::vector<json>& items) {
        std::string pattern;
        for (const auto& n : names) pattern += (pattern.empty() ? "" : "|") + n;
        return client.ListAll(
            rest::WithQuery(endpoints.Compute(collection), "filter", "name eq '(" + pattern + ")'"), "items",
            items);
    }

    // Reads the persistent disks attached to one instance into disksByPath:
    // the disks of one zone or region with one filtered list call (names
    // are matched whole), any disk that list did not return with a read of
    // its own.
    bool ReadAttachedDisks(const json& inst, std::map<std::string, json>& disksByPath) {
        std::map<std::string, std::vector<std::string>> namesByCollection;
        std::vector<std::string> sources;
        for (const auto& ad : inst.value("disks", json::array())) {
            const std::string source = compute::Str(ad, "source");
            if (source.empty() || disksByPath.count(rest::ResourcePath(source))) continue;
            sources.push_back(source);
            const rest::ResourceRef ref = rest::ParseResourceUri(source);
            if (ref.bValid && ref.strCollection == "disks" && !ref.strLocation.empty() &&
                PlainName(ref.strName))
                namesByCollection["projects/" + ref.strProject + "/" + ref.strScope + "/" + ref.strLocation +
                                  "/disks"]
                    .push_back(ref.strName);
        }
        for (const auto& [collection, names] : namesByCollection) {
            if (names.size() < 2) continue;
            std::vector<json> items;
            if (!ListNamed(collection, names, items)) continue;  // each disk is then read on its own
            for (auto& d : items) {
                Remember(d);
                const std::string path = rest::ResourcePath(compute::Str(d, "selfLink"));
                disksByPath[path] = std::move(d);
            }
        }
        for (const auto& source : sources) {
            if (disksByPath.count(rest::ResourcePath(source))) continue;
            json disk;
            if (!client.Get(endpoints.Compute(source), disk)) return false;
            Remember(disk);
            disksByPath[rest::ResourcePath(source)] = disk;
        }
        return true;
    }

    // Instance records for instance resources, with their disks and machine
    // types read in as few calls as possible.
    bool ToRecords(const std::vector<json>& instances, std::vector<SVMInfo>& out, bool bFewCalls) {
        std::map<std::string, json> disksByPath;
        std::set<std::string> diskProjects;
        if (bFewCalls) {
            for (const auto& inst : instances)
                diskProjects.insert(rest::ParseResourceUri(compute::Str(inst, "selfLink")).strProject);
            for (const auto& p : diskProjects) {
                std::vector<std::pair<std::string, json>> disks;
                if (!client.AggregatedListAll(endpoints.strCompute + "/projects/" + p + "/aggregated/disks",
                                              "disks", disks))
                    return false;
                for (auto& d : disks)
                    disksByPath[rest::ResourcePath(compute::Str(d.second, "selfLink"))] = d.second;
            }
        }
        for (const auto& inst : instances) {
            if (!bFewCalls && !ReadAttachedDisks(inst, disksByPath)) return false;
            const std::string typeUri = compute::Str(inst, "machineType");
            json typeJson;
            const json* type = nullptr;
            int cpus = 0, mem = 0;
            if (!typeUri.empty() && !compute::ParseCustomMachineType(rest::ShortName(typeUri), cpus, mem) &&
                MachineTypeByUri(typeUri, typeJson))
                type = &typeJson;
            SVMInfo vm;
            compute::FillVMInfo(inst, type, disksByPath, vm);
            out.push_back(std::move(vm));
        }
        client.ClearError();
        return true;
    }

    // Finds one instance: by name (in the zone, or in any zone), else by id.
    // False with an empty error when it does not exist.
    bool FindInstance(const std::string& project, const std::string& name, const std::string& guid,
                      const std::string& zone, json& out) {
        if (!name.empty() && !zone.empty() && !project.empty()) {
            if (client.Get(InstanceUrl(project, zone, name), out)) return true;
            if (client.NotFound()) client.SetError("", 404, "notFound");
            return false;
        }
        if (name.empty() && guid.empty()) {
            client.SetError("neither an instance name nor an instance id was given");
            return false;
        }
        std::vector<std::string> projects;
        if (!Projects(project, projects)) return false;
        for (const auto& p : projects) {
            std::vector<json> items;
            if (!ProjectInstances(p, zone, items)) {
                if (project.empty()) continue;  // an unreadable project does not hide the others
                return false;
            }
            for (auto& inst : items) {
                const bool match =
                    !name.empty() ? compute::Str(inst, "name") == name : compute::Str(inst, "id") == guid;
                if (match) {
                    out = std::move(inst);
                    client.ClearError();
                    return true;
                }
            }
        }
        client.SetError("", 404, "notFound");
        return false;
    }

    // Polls a disk or snapshot until READY; FAILED or a time-out fails.
    bool WaitReady(const std::string& url, json& resource) {
        const auto start = std::chrono::steady_clock::now();
        int64_t pause = 500;
        for (;;) {
            if (client.Get(url, resource)) {
                const std::string status = compute::Str(resource, "status");
                if (status == "READY") {
                    Remember(resource);
                    return true;
                }
                if (status == "FAILED") {
                    client.SetError(compute::Str(resource, "name") + " reached status FAILED");
                    return false;
                }
            } else if (!client.NotFound()) {
                return false;
            }
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
            if (elapsed > client.nOperationTimeoutMs) {
                client.SetError("resource did not become READY within " +
                                std::to_string(client.nOperationTimeoutMs / 1000) + " s");
                return false;
            }
            client.sleep(pause);
            pause = std::min<int64_t>(pause * 2, 5000);
        }
    }

    // Resource path of a started creation's key ("disk:<path>" or
    // "snapshot:projects/<project>/<name>").
    static std::string PathOfStart(const std::string& key) {
        if (key.compare(0, 5, "disk:") == 0) return key.substr(5);
        if (key.compare(0, 18, "snapshot:projects/") != 0) return "";
        const std::string rest = key.substr(18);
        const size_t slash = rest.find('/');
        if (slash == std::string::npos) return "";
        return "projects/" + rest.substr(0, slash) + "/global/snapshots/" + rest.substr(slash + 1);
    }

    // Remembers a started creation under key.
    void RememberStart(const std::string& key, const std::string& method, const std::string& url,
                       const json& body, const json& operation) {
        NoteMade(PathOfStart(key));
        std::lock_guard<std::mutex> guard(pendingLock);
        pending[key] = PendingStart{method, url, body, operation, 0, 0};
    }

    void ForgetStart(const std::string& key) {
        std::lock_guard<std::mutex> guard(pendingLock);
        pending.erase(key);
    }

    // Status of a started creation whose resource cannot be read (404):
    // "CREATING" while its operation runs (or after a rate-limited operation
    // was sent again), "FAILED" when the operation failed. False when nothing
    // was started under that key, or when the creation vanished.
    bool PendingStatus(const std::string& key, std::string& status) {
        PendingStart start;
        {
            std::lock_guard<std::mutex> guard(pendingLock);
            const auto it = pending.find(key);
            if (it == pending.end()) return false;
            start = it->second;
        }
        if (compute::Str(start.operation, "status") != "DONE" && !client.Refresh(start.operation)) {
            if (client.NotFound()) {
                // Neither the resource nor its operation exists: the creation
                // is lost (the service forgot it), and waiting longer cannot
                // bring it back.
                client.SetError("the creation of [" + key + "] and its operation are gone", 404, "notFound");
                ForgetStart(key);
                status = "FAILED";
                return true;
            }
            status = "CREATING";  // the operation cannot be read just now: ask again next time
            client.ClearError();
            return true;
        }
        if (compute::Str(start.operation, "status") != "DONE") {
            status = "CREATING";
        } else if (start.operation.contains("error")) {
            if (compute::IsRetryableOperationError(start.operation) &&
                start.nReissues < client.nMaxOperationReissues) {
                json op;
                if (client.Issue(start.strMethod, start.strUrl, start.body, op)) {
                    start.operation = op;
                    ++start.nReissues;
                    log.Debug(kTag, "Creation behind [%s] was rate limited; request sent again", key.c_str());
                }
                status = "CREATING";
                client.ClearError();
            } else {
                status = "FAILED";
                client.SetError(compute::DescribeOperationError(start.operation));
            }
        } else {
            // Done without error but not visible yet: allow a short grace period.
            if (start.nDoneAt == 0) start.nDoneAt = NowSeconds();
            if (NowSeconds() - start.nDoneAt > 120) {
                client.SetError("the created resource [" + key + "] cannot be found", 404, "notFound");
                ForgetStart(key);
                return false;
            }
            status = "CREATING";
        }
        std::lock_guard<std::mutex> guard(pendingLock);
        pending[key] = start;
        return true;
    }

    static std::pair<std::string, std::string> SplitPath(const std::string& pathOrUrl) {
        const std::string path = rest::ResourcePath(pathOrUrl);
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) return {"", ""};
        return {path.substr(0, slash), path.substr(slash + 1)};
    }

    // Reads of the disks and snapshots this bridge made, batched. While two
    // or more resources made here live in one collection, a status read or
    // existence check of one of them lists them all with one filtered call,
    // and the reads that follow within kBatchFreshMs answer from that list:
    // a round of status reads over N resources being made, or the existence
    // checks of a clean-up before it deletes them, cost one call instead of
    // N. kBatchFreshMs is shorter than the shortest pause between two rounds
    // of status reads, so every round sees new states; a deletion this
    // bridge sends takes the resource out at once.
    static constexpr int64_t kBatchFreshMs = 200;
    struct Batch {
        std::chrono::steady_clock::time_point at;
        std::map<std::string, json> byName;
    };
    std::mutex batchLock;
    std::map<std::string, std::set<std::string>> madeHere;  // names by collection path
    std::map<std::string, Batch> batches;                   // by collection path

    void NoteMade(const std::string& pathOrUrl) {
        const auto [collection, name] = SplitPath(pathOrUrl);
        if (collection.empty() || !PlainName(name)) return;
        std::lock_guard<std::mutex> guard(batchLock);
        madeHere[collection].insert(name);
        batches.erase(collection);
    }
    void NoteUnmade(const std::string& pathOrUrl) {
        const auto [collection, name] = SplitPath(pathOrUrl);
        std::lock_guard<std::mutex> guard(batchLock);
        const auto it = madeHere.find(collection);
        if (it != madeHere.end()) it->second.erase(name);
        const auto b = batches.find(collection);
        if (b != batches.end()) b->second.byName.erase(name);
    }

    enum class Batched { kNotBatched, kFound, kAbsent };
    Batched ReadBatched(const std::string& url, json& out) {
        const auto [collection, name] = SplitPath(url);
        std::vector<std::string> names;
        const auto now = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> guard(batchLock);
            const auto made = madeHere.find(collection);
            if (made == madeHere.end() || made->second.size() < 2 || !made->second.count(name))
                return Batched::kNotBatched;
            const auto it = batches.find(collection);
            if (it != batches.end() &&
                std::chrono::duration_cast<std::chrono::milliseconds>(now - it->second.at).count() <=
                    kBatchFreshMs) {
                const auto found = it->second.byName.find(name);
                if (found == it->second.byName.end()) return Batched::kAbsent;
                out = found->second;
                return Batched::kFound;
            }
            names.assign(made->second.begin(), made->second.end());
        }
        std::vector<json> items;
        if (!ListNamed(collection, names, items)) {
            client.ClearError();  // each resource is then read on its own
            return Batched::kNotBatched;
        }
        Batch batch;
        batch.at = now;
        for (auto& item : items) {
            const std::string itemName = compute::Str(item, "name");
            batch.byName[itemName] = std::move(item);
        }
        Batched result = Batched::kAbsent;
        const auto found = batch.byName.find(name);
        if (found != batch.byName.end()) {
            out = found->second;
            result = Batched::kFound;
        }
        std::lock_guard<std::mutex> guard(batchLock);
        batches[collection] = std::move(batch);
        return result;
    }

    // Status of a disk or snapshot, tolerating the moment between the start
    // of its creation and its appearance.
    bool ResourceStatus(const std::string& key, const std::string& url, std::string& status) {
        json resource;
        const Batched batched = ReadBatched(url, resource);
        if (batched == Batched::kAbsent) return PendingStatus(key, status);
        if (batched == Batched::kFound || client.Get(url, resource)) {
            status = compute::Str(resource, "status");
            if (status == "READY" || status == "FAILED") ForgetStart(key);
            if (status == "READY") Remember(resource);
            return true;
        }
        if (!client.NotFound()) return false;
        return PendingStatus(key, status);
    }

    // Starts or stops an instance and waits until it is RUNNING or TERMINATED.
    bool SetPower(const std::string& project, const std::string& name, const std::string& guid,
                  const std::string& zone, bool on) {
        json inst;
        if (!FindInstance(project, name, guid, zone, inst)) {
            if (client.Error().empty())
                client.SetError("instance [" + name + "]" + (guid.empty() ? "" : " (id " + guid + ")") +
                                    " not found" + (zone.empty() ? "" : " in zone [" + zone + "]"),
                                404, "notFound");
            return false;
        }
        const std::string target = on ? "RUNNING" : "TERMINATED";
        const std::string url = endpoints.Compute(compute::Str(inst, "selfLink"));
        if (compute::Str(inst, "status") != target) {
            json op;
            if (!client.Mutate("POST", url + (on ? "/start" : "/stop"), json(), true, op)) return false;
        }
        const auto start = std::chrono::steady_clock::now();
        int64_t pause = 500;
        for (;;) {
            if (!client.Get(url, inst)) return false;
            const std::string status = compute::Str(inst, "status");
            if (status == target || (!on && status == "STOPPED")) return true;
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start)
                                     .count();
            if (elapsed > client.nOperationTimeoutMs) {
                client.SetError("instance [" + compute::Str(inst, "name") + "] stays " + status);
                return false;
            }
            client.sleep(pause);
            pause = std::min<int64_t>(pause * 2, 5000);
        }
    }

    // Deletes a disk or snapshot and waits; one that does not exist is fine.
    bool DeleteResource(const std::string& url) {
        Forget(url);
        NoteUnmade(url);
        json op;
        bool gone = client.Mutate("DELETE", url, json(), true, op) || client.NotFound();
        if (!gone && op.is_object() && op.contains("error")) {
            for (const auto& e : op["error"].value("errors", json::array()))
                if (compute::Str(e, "code") == "RESOURCE_NOT_FOUND") gone = true;
        }
        if (gone) NoteDiskGone(rest::ResourcePath(url));
        return gone;
    }

    // Deletions sent by StartDelete and not yet awaited, by resource path,
    // with the order they were sent in.
    struct PendingDelete {
        json operation;  // empty object: there was nothing to delete
        uint64_t nSeq = 0;
    };
    std::mutex deleteLock;
    std::map<std::string, PendingDelete> deletes;
    uint64_t nDeleteSeq = 0;

    bool StartDelete(const std::string& url) {
        Forget(url);
        NoteUnmade(url);
        json op;
        if (!client.Issue("DELETE", url, json(), op)) {
            if (!client.NotFound()) return false;
            op = json::object();
            client.ClearError();
        }
        std::lock_guard<std::mutex> guard(deleteLock);
        deletes[rest::ResourcePath(url)] = PendingDelete{op, ++nDeleteSeq};
        return true;
    }

    // Deletions sent together finish together: the last one sent in the
    // same operations collection is awaited, and then the others are read
    // with one list call. A deletion still running after that is awaited on
    // its own.
    void AwaitDeletesWith(const json& operation) {
        const std::string link = compute::Str(operation, "selfLink");
        const size_t slash = link.rfind('/');
        if (slash == std::string::npos) return;
        const std::string collection = rest::ResourcePath(link.substr(0, slash));
        std::string newestPath;
        json newest;
        std::vector<std::string> others;
        {
            std::lock_guard<std::mutex> guard(deleteLock);
            uint64_t seq = 0;
            for (const auto& [path, d] : deletes) {
                const std::string l = compute::Str(d.operation, "selfLink");
                if (compute::Str(d.operation, "status") == "DONE" || l.rfind('/') == std::string::npos ||
                    rest::ResourcePath(l.substr(0, l.rfind('/'))) != collection)
                    continue;
                if (d.nSeq > seq) {
                    seq = d.nSeq;
                    newestPath = path;
                    newest = d.operation;
                }
            }
            for (const auto& [path, d] : deletes) {
                const std::string l = compute::Str(d.operation, "selfLink");
                if (path == newestPath || compute::Str(d.operation, "status") == "DONE" ||
                    l.rfind('/') == std::string::npos ||
                    rest::ResourcePath(l.substr(0, l.rfind('/'))) != collection)
                    continue;
                others.push_back(compute::Str(d.operation, "name"));
            }
        }
        if (newestPath.empty() || !client.WaitDone(newest)) return;
        std::map<std::string, json> byName;
        byName[compute::Str(newest, "name")] = newest;
        std::string pattern;
        for (const auto& n : others) {
            const bool plain = !n.empty() && std::all_of(n.begin(), n.end(), [](char c) {
                return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
            });
            if (plain) pattern += (pattern.empty() ? "" : "|") + n;
        }
        std::vector<json> items;
        if (!pattern.empty() && client.ListAll(rest::WithQuery(endpoints.Compute(collection), "filter",
                                                               "name eq '(" + pattern + ")'"),
                                               "items", items)) {
            for (auto& item : items) {
                const std::string name = compute::Str(item, "name");
                byName[name] = std::move(item);
            }
        }
        client.ClearError();
        std::lock_guard<std::mutex> guard(deleteLock);
        for (auto& [path, d] : deletes) {
            const auto it = byName.find(compute::Str(d.operation, "name"));
            if (it != byName.end() && !compute::Str(d.operation, "name").empty()) d.operation = it->second;
        }
    }

    // Waits for the deletion StartDelete sent for url (or deletes it now when
    // none was sent). True once the resource is gone.
    bool FinishDelete(const std::string& url) {
        const std::string path = rest::ResourcePath(url);
        json op;
        {
            std::lock_guard<std::mutex> guard(deleteLock);
            const auto it = deletes.find(path);
            if (it == deletes.end()) return DeleteResource(url);
            op = it->second.operation;
        }
        if (!op.empty() && compute::Str(op, "status") != "DONE") {
            AwaitDeletesWith(op);
            std::lock_guard<std::mutex> guard(deleteLock);
            op = deletes[path].operation;
        }
        {
            std::lock_guard<std::mutex> guard(deleteLock);
            deletes.erase(path);
        }
        if (!op.empty() && compute::Str(op, "status") != "DONE" && !client.WaitDone(op)) return false;
        bool gone = true;
        if (op.is_object() && op.contains("error")) {
            gone = false;
            for (const auto& e : op["error"].value("errors", json::array()))
                if (compute::Str(e, "code") == "RESOURCE_NOT_FOUND") gone = true;
            // A deletion turned away by a rate or pending-operation limit is
            // sent again, this time awaited on its own.
            if (!gone && compute::IsRetryableOperationError(op)) return DeleteResource(url);
            if (!gone)
                client.SetError(compute::DescribeOperationError(op),
                                compute::Int(op, "httpErrorStatusCode", 0), "operationError");
        }
        if (gone) {
            client.ClearError();
            NoteDiskGone(path);
        }
        return gone;
    }

    // Body fields that give a new disk its type, replica zones, key and
    // labels, and, from the description of the disk it stands in for (the
    // template's strDiskJson), what the cloud needs to boot and bill it as
    // that disk: licences (unless the body names them already), guest OS
    // features and architecture.
    bool DiskPlacement(const std::string& project, const std::string& zone, const std::string& region,
                       bool regional, const std::string& type, const SDisk& templ, json& body,
                       std::string& error) {
        if (!type.empty()) {
            body["type"] = regional ? "projects/" + project + "/regions/" + region + "/diskTypes/" + type
                                    : "projects/" + project + "/zones/" + zone + "/diskTypes/" + type;
        }
        if (regional) {
            std::vector<std::string> zones = templ.vecReplicaZones;
            if (zones.empty() && !templ.strDiskJson.empty()) {
                std::string regionUri;
                compute::ReplicaZones(json::parse(templ.strDiskJson, nullptr, false), zones, regionUri);
            }
            if (zones.size() != 2) {
                error = "a regional disk needs two replica zones";
                return false;
            }
            json list = json::array();
            for (const auto& z : zones)
                list.push_back("projects/" + project + "/zones/" + rest::ShortName(z));
            body["replicaZones"] = list;
        }
        if (templ.bEncrypted && !templ.strEncryptionKey.empty()) {
            std::string keyType, keyPath;
            if (!kms::KeyTypeAndPath(templ.strEncryptionKey, keyType, keyPath) || keyType != kms::kTypeKms) {
                error = "the disk's key [" + keyType + "] is not a Cloud KMS key";
                return false;
            }
            body["diskEncryptionKey"] = {{"kmsKeyName", keyPath}};
        }
        if (!templ.vecLabels.empty()) {
            json labels = json::object();
            for (const auto& l : templ.vecLabels) labels[l.strKey] = l.strValue;
            body["labels"] = labels;
        }
        const json source =
            templ.strDiskJson.empty() ? json() : json::parse(templ.strDiskJson, nullptr, false);
        if (source.is_object()) {
            if (!body.contains("licenses") && source.contains("licenses") && source["licenses"].is_array() &&
                !source["licenses"].empty()) {
                json licences = json::array();
                for (const auto& l : source["licenses"])
                    if (l.is_string()) licences.push_back(rest::ResourcePath(l.get<std::string>()));
                body["licenses"] = licences;
            }
            if (source.contains("guestOsFeatures") && source["guestOsFeatures"].is_array() &&
                !source["guestOsFeatures"].empty()) {
                json features = json::array();
                for (const auto& f : source["guestOsFeatures"])
                    if (!compute::Str(f, "type").empty())
                        features.push_back({{"type", compute::Str(f, "type")}});
                body["guestOsFeatures"] = features;
            }
            if (!compute::Str(source, "architecture").empty())
                body["architecture"] = compute::Str(source, "architecture");
        }
        return true;
    }
};

CGoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge() : m_pImpl(std::make_unique<Impl>()) {
    m_pImpl->LastError().clear();  // a former object at this address may have left text
}

CGoogleCloudSDKCppBridge::~CGoogleCloudSDKCppBridge() = default;

void CGoogleCloudSDKCppBridge::SetLastError(const std::string& strText) {
    m_pImpl->LastError() = strText;
}

std::string CGoogleCloudSDKCppBridge::GetLastError() {
    return m_pImpl->LastError();
}

void CGoogleCloudSDKCppBridge::SetEndpoint(const std::string& strBaseUrl) {
    m_pImpl->bEndpointFixed = !strBaseUrl.empty();
    m_pImpl->endpoints = rest::Endpoints::FromBase(strBaseUrl);
}

bool CGoogleCloudSDKCppBridge::Fail(const char* op, const std::string& strText) {
    SetLastError(strText);
    m_pImpl->log.Error(kTag, "%s failed: %s", op, strText.c_str());
    return false;
}

bool CGoogleCloudSDKCppBridge::Ready(const char* op) {
    if (m_pImpl->tokens) return true;
    return Fail(op, "not connected: Connect has not succeeded");
}

bool CGoogleCloudSDKCppBridge::Succeed() {
    SetLastError("");
    return true;
}

bool CGoogleCloudSDKCppBridge::Init() {
    m_pImpl->ResolveEndpoints();
    if (!m_pImpl->session.IsReady()) {
        SetLastError("the HTTP client could not be initialised");
        return false;
    }
    m_pImpl->log.DebugLvl(kTag, 2, "Bridge initialised; compute endpoint [%s]",
                          m_pImpl->endpoints.strCompute.c_str());
    return true;
}

bool CGoogleCloudSDKCppBridge::Connect(const std::string& strKeyFilePath, const std::string& strUserEmail,
                                       const std::string& strSecret) {
    Impl& impl = *m_pImpl;
    impl.log.DebugLvl(kTag, 2, "Connect: Start >>>");
    impl.ResolveEndpoints();
    impl.tokens.reset();
    impl.session.SetTokenProvider(nullptr);
    impl.log.Debug(kTag, "Connecting as [%s]%s%s%s", strUserEmail.c_str(),
                   strKeyFilePath.empty() ? " with the given secret" : " with key file [",
                   strKeyFilePath.c_str(), strKeyFilePath.empty() ? "" : "]");
    rest::ServiceAccountKey key;
    std::string error;
    if (!rest::ServiceAccountKey::Load(strKeyFilePath, strUserEmail, strSecret, key, error))
        return Fail("Connect", "cannot use the service account key: " + error);
    impl.strDefaultProject = key.strProjectId;
    const std::string audience = key.strTokenUri.empty() ? rest::kGoogleTokenUri : key.strTokenUri;
    auto tokens = std::make_unique<rest::TokenSource>(key, impl.endpoints.strToken, audience, impl.session);
    std::string token;
    if (!tokens->GetToken(token, error)) return Fail("Connect", error);
    impl.tokens = std::move(tokens);
    impl.session.SetTokenProvider(impl.tokens.get());
    impl.log.DebugLvl(kTag, 2, "Connect: End <<<");
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::CheckConnection() {
    if (!Ready("CheckConnection")) return false;
    std::string token, error;
    if (!m_pImpl->tokens->GetToken(token, error)) return Fail("CheckConnection", error);
    return Succeed();
}

// ---------------------------------------------------------------- Inventory

bool CGoogleCloudSDKCppBridge::GetProjectInfoList(std::vector<VMInfoStructs::SProjectInfo>& vecProjects) {
    if (!Ready("GetProjectInfoList")) return false;
    std::vector<json> items;
    if (!m_pImpl->client.ListAll(m_pImpl->endpoints.strCrm + "/projects", "projects", items, "pageSize"))
        return Fail("GetProjectInfoList", m_pImpl->client.Error());
    for (const auto& p : items) {
        const std::string state = compute::Str(p, "lifecycleState");
        if (!state.empty() && state != "ACTIVE") continue;
        VMInfoStructs::SProjectInfo info;
        info.strGuid = compute::Str(p, "projectId");
        info.strName = compute::Str(p, "name");
        if (info.strName.empty()) info.strName = info.strGuid;
        vecProjects.push_back(info);
    }
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetDCInfoList(const std::string& strProjectId,
                                             std::vector<VMInfoStructs::SDataCenterInfo>& vecRegions,
                                             unsigned long long) {
    if (!Ready("GetDCInfoList")) return false;
    Impl& impl = *m_pImpl;
    std::vector<std::string> projects;
    if (!impl.Projects(strProjectId, projects)) return Fail("GetDCInfoList", impl.client.Error());
    // Without a project every visible project is asked; they mostly see the
    // same regions, so each name is listed once (from the first project that
    // has it). Projects that cannot be read are skipped, but when none can,
    // the listing failed and must not look like an empty one.
    std::set<std::string> seen;
    bool anyListed = projects.empty();
    for (const auto& p : projects) {
        std::vector<json> items;
        if (!impl.client.ListAll(impl.endpoints.strCompute + "/projects/" + p + "/regions", "items", items)) {
            if (strProjectId.empty()) continue;
            return Fail("GetDCInfoList", impl.client.Error());
        }
        anyListed = true;
        for (const auto& r : items) {
            VMInfoStructs::SDataCenterInfo dc;
            compute::FillDCInfo(r, p, dc);
            if (!seen.insert(dc.strName).second) continue;
            vecRegions.push_back(dc);
        }
    }
    if (!anyListed) return Fail("GetDCInfoList", impl.client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetHostInfoList(const std::string& strProjectId, unsigned long long, int,
                                               std::vector<VMInfoStructs::SHostInfo>& vecZones) {
    if (!Ready("GetHostInfoList")) return false;
    Impl& impl = *m_pImpl;
    std::vector<std::string> projects;
    if (!impl.Projects(strProjectId, projects)) return Fail("GetHostInfoList", impl.client.Error());
    // Without a project every visible project is asked; they mostly see the
    // same zones, so each name is listed once (from the first project that
    // has it). Projects that cannot be read are skipped, but when none can,
    // the listing failed and must not look like an empty one.
    std::set<std::string> seen;
    bool anyListed = projects.empty();
    for (const auto& p : projects) {
        std::vector<json> items;
        if (!impl.client.ListAll(impl.endpoints.strCompute + "/projects/" + p + "/zones", "items", items)) {
            if (strProjectId.empty()) continue;
            return Fail("GetHostInfoList", impl.client.Error());
        }
        anyListed = true;
        for (const auto& z : items) {
            VMInfoStructs::SHostInfo host;
            compute::FillHostInfo(z, p, host);
            if (!seen.insert(host.strName).second) continue;
            vecZones.push_back(host);
        }
    }
    if (!anyListed) return Fail("GetHostInfoList", impl.client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetHostInfo(const std::string& strProjectId, const std::string& strZone,
                                           const std::string&, VMInfoStructs::SHostInfo& zone,
                                           unsigned long long) {
    if (!Ready("GetHostInfo")) return false;
    Impl& impl = *m_pImpl;
    if (strZone.empty()) return Fail("GetHostInfo", "no zone given");
    std::vector<std::string> projects;
    if (!impl.Projects(strProjectId, projects)) return Fail("GetHostInfo", impl.client.Error());
    for (const auto& p : projects) {
        json z;
        if (impl.client.Get(impl.Zonal(p, strZone, ""), z)) {
            compute::FillHostInfo(z, p, zone);
            return Succeed();
        }
        if (!strProjectId.empty()) return Fail("GetHostInfo", impl.client.Error());
    }
    return Fail("GetHostInfo", "zone [" + strZone + "] not found in any visible project");
}

bool CGoogleCloudSDKCppBridge::GetMachineTypesInfoList(const std::string& strProjectId,
                                                       const std::string& strZone,
                                                       std::vector<VMInfoStructs::SVMSizeInfo>& vecSizes,
                                                       unsigned long long) {
    if (!Ready("GetMachineTypesInfoList")) return false;
    Impl& impl = *m_pImpl;
    std::vector<std::string> projects;
    if (!strProjectId.empty()) {
        projects.push_back(strProjectId);
    } else {
        if (!impl.strDefaultProject.empty()) projects.push_back(impl.strDefaultProject);
        if (!impl.Projects("", projects)) return Fail("GetMachineTypesInfoList", impl.client.Error());
    }
    for (const auto& p : projects) {
        std::vector<json> items;
        if (impl.client.ListAll(impl.Zonal(p, strZone, "/machineTypes"), "items", items)) {
            for (const auto& t : items) {
                VMInfoStructs::SVMSizeInfo size;
                compute::FillSize(t, size);
                vecSizes.push_back(size);
            }
            return Succeed();
        }
        if (!strProjectId.empty()) break;
    }
    return Fail("GetMachineTypesInfoList", "machine types of zone [" + strZone + "]: " + impl.client.Error());
}

bool CGoogleCloudSDKCppBridge::GetLicenseUrlsForProject(const std::string& strGuestOS,
                                                        std::vector<std::string>& vecUrls) {
    if (!Ready("GetLicenseUrlsForProject")) return false;
    Impl& impl = *m_pImpl;
    const std::string os = Lower(strGuestOS);
    static const std::pair<const char*, const char*> kImageProjects[] = {
        {"windows", "windows-cloud"}, {"ubuntu", "ubuntu-os-cloud"}, {"debian", "debian-cloud"},
        {"centos", "centos-cloud"},   {"red hat", "rhel-cloud"},     {"rhel", "rhel-cloud"},
        {"suse", "suse-cloud"},       {"sles", "suse-cloud"},        {"rocky", "rocky-linux-cloud"}};
    std::string imageProject;
    for (const auto& [word, project] : kImageProjects) {
        if (os.find(word) != std::string::npos) {
            imageProject = project;
            break;
        }
    }
    if (imageProject.empty())
        return Fail("GetLicenseUrlsForProject", "no licence project for [" + strGuestOS + "]");
    std::vector<json> items;
    if (!impl.client.ListAll(impl.Global(imageProject, "/licenses"), "items", items))
        return Fail("GetLicenseUrlsForProject", impl.client.Error());
    vecUrls.clear();
    for (const auto& l : items) {
        const std::string link = compute::Str(l, "selfLink");
        if (!link.empty()) vecUrls.push_back(link);
    }
    if (vecUrls.empty())
        return Fail("GetLicenseUrlsForProject", "project [" + imageProject + "] lists no licence");
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::isProjectAccessible(const std::string& strProjectId) {
    if (!Ready("isProjectAccessible")) return false;
    if (strProjectId.empty()) return Fail("isProjectAccessible", "no project given");
    json p;
    if (!m_pImpl->client.Get(m_pImpl->endpoints.strCrm + "/projects/" + rest::UrlEncode(strProjectId), p))
        return Fail("isProjectAccessible", m_pImpl->client.Error());
    const std::string state = compute::Str(p, "lifecycleState");
    if (!state.empty() && state != "ACTIVE")
        return Fail("isProjectAccessible", "project [" + strProjectId + "] is " + state);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::DoesNetworkExist(const std::string& strProjectId,
                                                const std::string& strNetwork) {
    if (!Ready("DoesNetworkExist")) return false;
    if (strNetwork.empty()) return Fail("DoesNetworkExist", "no network given");
    Impl& impl = *m_pImpl;
    const std::string url = strNetwork.find('/') != std::string::npos
                                ? impl.endpoints.Compute(strNetwork)
                                : impl.Global(strProjectId, "/networks/" + rest::UrlEncode(strNetwork));
    json network;
    if (!impl.client.Get(url, network)) return Fail("DoesNetworkExist", impl.client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::DoesSubnetworkExist(const std::string& strProjectId,
                                                   const std::string& strRegion,
                                                   const std::string& strSubnetwork) {
    if (!Ready("DoesSubnetworkExist")) return false;
    if (strSubnetwork.empty()) return Fail("DoesSubnetworkExist", "no subnetwork given");
    Impl& impl = *m_pImpl;
    const std::string url =
        strSubnetwork.find('/') != std::string::npos
            ? impl.endpoints.Compute(strSubnetwork)
            : impl.Regional(strProjectId, strRegion, "/subnetworks/" + rest::UrlEncode(strSubnetwork));
    json subnetwork;
    if (!impl.client.Get(url, subnetwork)) return Fail("DoesSubnetworkExist", impl.client.Error());
    return Succeed();
}

// ---------------------------------------------------------------- Instances

bool CGoogleCloudSDKCppBridge::GetVMInfoList(std::vector<SVMInfo>& vecVMs, unsigned long long nRequestValue) {
    return GetVMInfoListInProject("", vecVMs, nRequestValue);
}

bool CGoogleCloudSDKCppBridge::GetVMInfoListInProject(const std::string& strProjectId,
                                                      std::vector<SVMInfo>& vecVMs, unsigned long long) {
    if (!Ready("GetVMInfoListInProject")) return false;
    Impl& impl = *m_pImpl;
    std::vector<std::string> projects;
    if (!impl.Projects(strProjectId, projects)) return Fail("GetVMInfoListInProject", impl.client.Error());
    std::vector<json> instances;
    for (const auto& p : projects) {
        if (!impl.ProjectInstances(p, "", instances)) {
            if (!strProjectId.empty()) return Fail("GetVMInfoListInProject", impl.client.Error());
            impl.log.Error(kTag, "Instances of project [%s] cannot be listed: %s", p.c_str(),
                           impl.client.Error().c_str());
        }
    }
    if (!impl.ToRecords(instances, vecVMs, true)) return Fail("GetVMInfoListInProject", impl.client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetVMInfoListInRegion(const std::string& strProjectId, const std::string&,
                                                     const std::string& strRegion,
                                                     std::vector<SVMInfo>& vecVMs, unsigned long long) {
    if (!Ready("GetVMInfoListInRegion")) return false;
    Impl& impl = *m_pImpl;
    std::vector<std::string> projects;
    if (!impl.Projects(strProjectId, projects)) return Fail("GetVMInfoListInRegion", impl.client.Error());
    std::vector<json> instances;
    for (const auto& p : projects) {
        json region;
        if (!impl.client.Get(impl.Regional(p, strRegion, ""), region)) {
            if (!strProjectId.empty()) return Fail("GetVMInfoListInRegion", impl.client.Error());
            continue;
        }
        std::set<std::string> zones;
        for (const auto& z : region.value("zones", json::array()))
            if (z.is_string()) zones.insert(rest::ShortName(z.get<std::string>()));
        std::vector<json> all;
        if (!impl.ProjectInstances(p, "", all)) return Fail("GetVMInfoListInRegion", impl.client.Error());
        for (auto& inst : all)
            if (zones.count(rest::ShortName(compute::Str(inst, "zone"))))
                instances.push_back(std::move(inst));
    }
    if (!impl.ToRecords(instances, vecVMs, true)) return Fail("GetVMInfoListInRegion", impl.client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetVMInfoListInZone(const std::string& strProjectId,
                                                   const std::string& strZone, std::vector<SVMInfo>& vecVMs,
                                                   unsigned long long) {
    if (!Ready("GetVMInfoListInZone")) return false;
    Impl& impl = *m_pImpl;
    if (strZone.empty()) return Fail("GetVMInfoListInZone", "no zone given");
    std::vector<std::string> projects;
    if (!impl.Projects(strProjectId, projects)) return Fail("GetVMInfoListInZone", impl.client.Error());
    std::vector<json> instances;
    for (const auto& p : projects) {
        if (!impl.ProjectInstances(p, strZone, instances)) {
            if (!strProjectId.empty()) return Fail("GetVMInfoListInZone", impl.client.Error());
        }
    }
    if (!impl.ToRecords(instances, vecVMs, instances.size() > 4))
        return Fail("GetVMInfoListInZone", impl.client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetVMInfoListByLabel(const std::string& strLabelKey,
                                                    const std::string& strLabelValue,
                                                    std::vector<SVMInfo>& vecVMs, unsigned long long) {
    if (!Ready("GetVMInfoListByLabel")) return false;
    Impl& impl = *m_pImpl;
    if (strLabelKey.empty()) return Fail("GetVMInfoListByLabel", "no label key given");
    std::vector<std::string> projects;
    if (!impl.Projects("", projects)) return Fail("GetVMInfoListByLabel", impl.client.Error());
    const std::string key = Lower(strLabelKey), value = Lower(strLabelValue);
    std::vector<json> instances;
    for (const auto& p : projects) {
        std::vector<json> all;
        if (!impl.ProjectInstances(p, "", all)) continue;
        for (auto& inst : all) {
            if (!inst.contains("labels") || !inst["labels"].is_object()) continue;
            for (const auto& [k, v] : inst["labels"].items()) {
                if (Lower(k) != key) continue;
                if (!value.empty() && (!v.is_string() || Lower(v.get<std::string>()) != value)) continue;
                instances.push_back(inst);
                break;
            }
        }
    }
    if (!impl.ToRecords(instances, vecVMs, true)) return Fail("GetVMInfoListByLabel", impl.client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetVMInfo(const std::string& strProjectId, const std::string& strVMName,
                                         const std::string& strVMGuid, const std::string& strVMHost, SVMInfo& vm,
                                         unsigned long long) {
    if (!Ready("GetVMInfo")) return false;
    Impl& impl = *m_pImpl;
    json inst;
    // The host is the instance's zone when the caller knows it: an instance
    // of the same name in another zone of the project is then never taken.
    if (!impl.FindInstance(strProjectId, strVMName, strVMGuid, strVMHost, inst)) {
        const std::string what = !strVMName.empty() ? strVMName : strVMGuid;
        return Fail("GetVMInfo",
                    impl.client.Error().empty() ? "instance [" + what + "] not found" : impl.client.Error());
    }
    std::vector<SVMInfo> records;
    if (!impl.ToRecords({inst}, records, false) || records.empty())
        return Fail("GetVMInfo", impl.client.Error());
    vm = records.front();
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::DoesVMExist(const std::string& strProjectId, const std::string& strVMName,
                                           const std::string& strZone, SVMInfo& vm) {
    if (!Ready("DoesVMExist")) return false;
    Impl& impl = *m_pImpl;
    json inst;
    if (!impl.FindInstance(strProjectId, strVMName, "", strZone, inst)) {
        if (impl.client.Error().empty()) {
            SetLastError("");
            return false;
        }
        return Fail("DoesVMExist", impl.client.Error());
    }
    std::vector<SVMInfo> records;
    if (!impl.ToRecords({inst}, records, false) || records.empty())
        return Fail("DoesVMExist", impl.client.Error());
    vm = records.front();
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetInstanceConfigJson(const std::string& strProjectId,
                                                     const std::string& strVMName,
                                                     const std::string& strVMGuid, const std::string& strZone,
                                                     std::string& strJson) {
    if (!Ready("GetInstanceConfigJson")) return false;
    json inst;
    if (!m_pImpl->FindInstance(strProjectId, strVMName, strVMGuid, strZone, inst)) {
        const std::string err = m_pImpl->client.Error();
        return Fail("GetInstanceConfigJson",
                    err.empty() ? "instance [" + strVMName + strVMGuid + "] not found" : err);
    }
    strJson = inst.dump(2);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetVMSizeFromVMConfigJson(const std::string& strProjectId,
                                                         const std::string& strConfigJson,
                                                         VMInfoStructs::SVMSizeInfo& size) {
    const json inst = json::parse(strConfigJson, nullptr, false);
    if (!inst.is_object()) return Fail("GetVMSizeFromVMConfigJson", "the instance configuration is not JSON");
    const std::string typeUri = compute::Str(inst, "machineType");
    if (typeUri.empty())
        return Fail("GetVMSizeFromVMConfigJson", "the instance configuration has no machine type");
    const std::string name = rest::ShortName(typeUri);
    int cpus = 0, memory = 0;
    if (compute::ParseCustomMachineType(name, cpus, memory)) {
        size.strName = name;
        size.nNumCPUs = cpus;
        size.nMemoryMB = memory;
        return Succeed();
    }
    if (!Ready("GetVMSizeFromVMConfigJson")) return false;
    const rest::ResourceRef ref = rest::ParseResourceUri(typeUri);
    std::string zone =
        ref.strScope == "zones" ? ref.strLocation : rest::ShortName(compute::Str(inst, "zone"));
    const std::string project = ref.bValid ? ref.strProject : strProjectId;
    json type;
    if (!m_pImpl->MachineType(project, zone, name, type) &&
        !(project != strProjectId && !strProjectId.empty() &&
          m_pImpl->MachineType(strProjectId, zone, name, type)))
        return Fail("GetVMSizeFromVMConfigJson", m_pImpl->client.Error());
    compute::FillSize(type, size);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::RestoreVM(const std::string& strProjectId, SVMInfo& vm,
                                         const std::string& strConfigJson, bool bStandby,
                                         const std::map<std::string, std::string>& mapDiskNames,
                                         bool bAutoDeleteDisks) {
    if (!Ready("RestoreVM")) return false;
    Impl& impl = *m_pImpl;
    json body;
    std::string error;
    if (!compute::BuildInsertableInstance(strConfigJson, vm, strProjectId, mapDiskNames, bStandby,
                                          bAutoDeleteDisks, body, error))
        return Fail("RestoreVM", error);
    const std::string project = !strProjectId.empty() ? strProjectId : vm.strProjectId;
    impl.log.Debug(kTag, "Creating instance [%s] in project [%s], zone [%s]", vm.strName.c_str(),
                   project.c_str(), vm.strZone.c_str());
    json op;
    if (!impl.client.Mutate("POST", impl.Zonal(project, vm.strZone, "/instances"), body, true, op))
        return Fail("RestoreVM", "instance [" + vm.strName + "]: " + impl.client.Error());
    json inst;
    if (!impl.client.Get(impl.InstanceUrl(project, vm.strZone, vm.strName), inst))
        return Fail("RestoreVM", impl.client.Error());
    std::vector<SVMInfo> records;
    if (!impl.ToRecords({inst}, records, false) || records.empty())
        return Fail("RestoreVM", impl.client.Error());
    vm = records.front();
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::DelayVMDeployment(const std::string& strProjectId,
                                                 const std::string& strConfigJson,
                                                 const std::string& strBucketName,
                                                 const std::string& strObjectName, SVMInfo& vm, bool bStandby,
                                                 const std::map<std::string, std::string>& mapDiskNames,
                                                 bool bAutoDeleteDisks) {
    if (!Ready("DelayVMDeployment")) return false;
    Impl& impl = *m_pImpl;
    json body;
    std::string error;
    if (!compute::BuildInsertableInstance(strConfigJson, vm, strProjectId, mapDiskNames, bStandby,
                                          bAutoDeleteDisks, body, error))
        return Fail("DelayVMDeployment", error);
    json object;
    if (!impl.client.SendText("POST", storage::ObjectUploadUrl(impl.endpoints, strBucketName, strObjectName),
                              body.dump(2), "application/json", object))
        return Fail("DelayVMDeployment", "upload to bucket [" + strBucketName + "]: " + impl.client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::BuildInstanceJson(const std::string& strProjectId, const SVMInfo& vm,
                                                 const std::string& strConfigJson, bool bStandby,
                                                 const std::map<std::string, std::string>& mapDiskNames,
                                                 bool bAutoDeleteDisks, std::string& strInstanceJson) {
    json body;
    std::string error;
    if (!compute::BuildInsertableInstance(strConfigJson, vm, strProjectId, mapDiskNames, bStandby,
                                          bAutoDeleteDisks, body, error))
        return Fail("BuildInstanceJson", error);
    strInstanceJson = body.dump();
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::CreateVMFromJson(const std::string& strProjectId, const std::string& strZone,
                                                const std::string& strConfigJson, SVMInfo& vm) {
    if (!Ready("CreateVMFromJson")) return false;
    Impl& impl = *m_pImpl;
    json body = json::parse(strConfigJson, nullptr, false);
    if (!body.is_object()) return Fail("CreateVMFromJson", "the instance configuration is not a JSON object");
    const std::string name = compute::Str(body, "name");
    if (name.empty() || strProjectId.empty() || strZone.empty())
        return Fail("CreateVMFromJson", "the configuration needs a name, and the call a project and a zone");
    compute::RebaseInstance(body, strProjectId, strZone);
    json op;
    if (!impl.client.Mutate("POST", impl.Zonal(strProjectId, strZone, "/instances"), body, true, op))
        return Fail("CreateVMFromJson", "instance [" + name + "]: " + impl.client.Error());
    json inst;
    if (!impl.client.Get(impl.InstanceUrl(strProjectId, strZone, name), inst))
        return Fail("CreateVMFromJson", impl.client.Error());
    std::vector<SVMInfo> records;
    if (!impl.ToRecords({inst}, records, false) || records.empty())
        return Fail("CreateVMFromJson", impl.client.Error());
    vm = records.front();
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::DeleteVM(const std::string& strProjectId, const std::string& strVMName,
                                        const std::string& strVMGuid, const std::string& strZone,
                                        bool bDeleteDisks) {
    if (!Ready("DeleteVM")) return false;
    Impl& impl = *m_pImpl;
    json inst;
    if (!impl.FindInstance(strProjectId, strVMName, strVMGuid, strZone, inst)) {
        if (!impl.client.Error().empty()) return Fail("DeleteVM", impl.client.Error());
        impl.log.Debug(kTag, "Instance [%s%s] does not exist; nothing to delete", strVMName.c_str(),
                       strVMGuid.c_str());
        return Succeed();
    }
    const std::string link = compute::Str(inst, "selfLink");
    const std::string url = impl.endpoints.Compute(link);
    std::vector<std::string> diskPaths;
    for (const auto& ad : inst.value("disks", json::array())) {
        if (compute::Str(ad, "type") == "SCRATCH") continue;
        const std::string device = compute::Str(ad, "deviceName");
        if (bDeleteDisks) {
            if (compute::Str(ad, "mode") != "READ_ONLY") diskPaths.push_back(compute::Str(ad, "source"));
        } else if (ad.value("autoDelete", false)) {
            json op;
            const std::string call = rest::WithQuery(
                rest::WithQuery(url + "/setDiskAutoDelete", "autoDelete", "false"), "deviceName", device);
            if (!impl.client.Mutate("POST", call, json(), true, op))
                return Fail("DeleteVM", "keeping disk [" + device + "]: " + impl.client.Error());
        }
    }
    json op;
    if (!impl.client.Mutate("DELETE", url, json(), true, op) && !impl.client.NotFound())
        return Fail("DeleteVM", "instance [" + compute::Str(inst, "name") + "]: " + impl.client.Error());
    for (const auto& path : diskPaths) {
        json disk;
        if (!impl.client.Get(impl.endpoints.Compute(path), disk)) continue;  // deleted with the instance
        if (disk.contains("users") && disk["users"].is_array() && !disk["users"].empty()) continue;
        json dop;
        if (!impl.client.Mutate("DELETE", impl.endpoints.Compute(path), json(), true, dop) &&
            !impl.client.NotFound())
            return Fail("DeleteVM", "disk [" + rest::ShortName(path) + "]: " + impl.client.Error());
    }
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::PowerOnVM(const std::string& strProjectId, const std::string& strVMName,
                                         const std::string& strVMGuid, const std::string& strZone) {
    if (!Ready("PowerOnVM")) return false;
    if (!m_pImpl->SetPower(strProjectId, strVMName, strVMGuid, strZone, true))
        return Fail("PowerOnVM", m_pImpl->client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::PowerOffVM(const std::string& strProjectId, const std::string& strVMName,
                                          const std::string& strVMGuid, const std::string& strZone) {
    if (!Ready("PowerOffVM")) return false;
    if (!m_pImpl->SetPower(strProjectId, strVMName, strVMGuid, strZone, false))
        return Fail("PowerOffVM", m_pImpl->client.Error());
    return Succeed();
}

// ---------------------------------------------------------------- Disks

bool CGoogleCloudSDKCppBridge::GetDiskInfo(const std::string& strProjectId, const std::string& strDiskName,
                                           const std::string& strZone, const std::string& strRegion,
                                           bool bRegional, SDisk& disk, int) {
    if (!Ready("GetDiskInfo")) return false;
    Impl& impl = *m_pImpl;
    const std::string url = impl.DiskUrl(strProjectId, strDiskName, strZone, strRegion, bRegional);
    json d;
    if (!impl.Recall(url, kJustNowMs, d)) {
        if (!impl.client.Get(url, d))
            return Fail("GetDiskInfo", "disk [" + strDiskName + "]: " + impl.client.Error());
        impl.Remember(d);
    }
    compute::FillDisk(d, strZone, disk);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetDiskState(const std::string& strProjectId, const std::string& strZone,
                                            const std::string& strRegion, bool bRegional,
                                            const std::string& strDiskName, std::string& strState) {
    if (!Ready("GetDiskState")) return false;
    Impl& impl = *m_pImpl;
    const std::string url = impl.DiskUrl(strProjectId, strDiskName, strZone, strRegion, bRegional);
    if (!impl.ResourceStatus("disk:" + rest::ResourcePath(url), url, strState))
        return Fail("GetDiskState", "disk [" + strDiskName + "]: " + impl.client.Error());
    if (strState == "FAILED" && !impl.client.Error().empty())
        SetLastError(impl.client.Error());
    else
        SetLastError("");
    return true;
}

bool CGoogleCloudSDKCppBridge::Exists(const char* op, const std::string& url) {
    json resource;
    const Impl::Batched batched = m_pImpl->ReadBatched(url, resource);
    if (batched == Impl::Batched::kFound ||
        (batched == Impl::Batched::kNotBatched && m_pImpl->client.Get(url, resource)))
        return Succeed();
    if (batched == Impl::Batched::kAbsent || m_pImpl->client.NotFound()) {
        SetLastError("");
        return false;
    }
    return Fail(op, m_pImpl->client.Error());
}

bool CGoogleCloudSDKCppBridge::DoesDiskExist(const std::string& strProjectId, const std::string& strDiskName,
                                             const std::string& strZone, const std::string& strRegion,
                                             bool bRegional) {
    if (!Ready("DoesDiskExist")) return false;
    const std::string url = m_pImpl->DiskUrl(strProjectId, strDiskName, strZone, strRegion, bRegional);
    return Exists("DoesDiskExist", url);
}

bool CGoogleCloudSDKCppBridge::CreateDisk(const std::string& strProjectId, const std::string& strDiskName,
                                          const std::string& strZone, const std::string& strRegion,
                                          bool bRegional, SDisk& disk, const std::string& strLicense) {
    return StartCreateDisk(strProjectId, strDiskName, strZone, strRegion, bRegional, disk, strLicense) &&
           FinishCreateDisk(strProjectId, strDiskName, strZone, strRegion, bRegional, disk);
}

bool CGoogleCloudSDKCppBridge::StartCreateDisk(const std::string& strProjectId,
                                               const std::string& strDiskName, const std::string& strZone,
                                               const std::string& strRegion, bool bRegional, SDisk& disk,
                                               const std::string& strLicense) {
    if (!Ready("CreateDisk")) return false;
    Impl& impl = *m_pImpl;
    uint64_t sizeGb = std::max<uint64_t>(1, (disk.nSize + compute::kGiB - 1) / compute::kGiB);
    // Never smaller than the disk it stands in for.
    if (!disk.strDiskJson.empty()) {
        const int64_t sourceGb = compute::Int(json::parse(disk.strDiskJson, nullptr, false), "sizeGb", 0);
        if (sourceGb > 0) sizeGb = std::max<uint64_t>(sizeGb, static_cast<uint64_t>(sourceGb));
    }
    json body = {{"name", strDiskName}, {"sizeGb", std::to_string(sizeGb)}};
    if (!disk.strDescription.empty()) body["description"] = disk.strDescription;
    if (!strLicense.empty()) body["licenses"] = json::array({rest::ResourcePath(strLicense)});
    std::string error;
    const std::string type =
        disk.strDiskType.empty() || disk.strDiskType == "SCRATCH" ? "pd-balanced" : disk.strDiskType;
    if (!impl.DiskPlacement(strProjectId, strZone, strRegion, bRegional, type, disk, body, error))
        return Fail("CreateDisk", "disk [" + strDiskName + "]: " + error);
    const std::string collection = bRegional ? impl.Regional(strProjectId, strRegion, "/disks")
                                             : impl.Zonal(strProjectId, strZone, "/disks");
    json op;
    if (!impl.client.Issue("POST", collection, body, op))
        return Fail("CreateDisk", "disk [" + strDiskName + "]: " + impl.client.Error());
    const std::string url = impl.DiskUrl(strProjectId, strDiskName, strZone, strRegion, bRegional);
    impl.RememberStart("disk:" + rest::ResourcePath(url), "POST", collection, body, op);
    disk.strName = strDiskName;
    disk.strDiskId = compute::Str(op, "targetId");
    disk.strLocationUri = compute::Str(op, "targetLink");
    disk.strZone = strZone;
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::FinishCreateDisk(const std::string& strProjectId,
                                                const std::string& strDiskName, const std::string& strZone,
                                                const std::string& strRegion, bool bRegional, SDisk& disk) {
    if (!Ready("CreateDisk")) return false;
    Impl& impl = *m_pImpl;
    const std::string url = impl.DiskUrl(strProjectId, strDiskName, strZone, strRegion, bRegional);
    const std::string key = "disk:" + rest::ResourcePath(url);
    PendingStart start;
    bool started = false;
    {
        std::lock_guard<std::mutex> guard(impl.pendingLock);
        const auto it = impl.pending.find(key);
        if (it != impl.pending.end()) {
            start = it->second;
            started = true;
        }
    }
    if (started) {
        // The operation's wait returns as soon as it is done; a rate-limited
        // creation is sent again (with its own bounded re-issues and pauses).
        json op = start.operation;
        bool ok = impl.client.WaitDone(op);
        if (ok && op.contains("error")) {
            if (compute::IsRetryableOperationError(op)) {
                ok = impl.client.Mutate(start.strMethod, start.strUrl, start.body, true, op);
            } else {
                impl.client.SetError(compute::DescribeOperationError(op),
                                     compute::Int(op, "httpErrorStatusCode", 0), "operationError");
                ok = false;
            }
        }
        impl.ForgetStart(key);
        if (!ok) return Fail("CreateDisk", "disk [" + strDiskName + "]: " + impl.client.Error());
    }
    json created;
    if (!impl.WaitReady(url, created))
        return Fail("CreateDisk", "disk [" + strDiskName + "]: " + impl.client.Error());
    compute::FillDisk(created, strZone, disk);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::CreateDiskFromSnapshot(const std::string& strProjectId,
                                                      const std::string& strSnapshotUri,
                                                      const std::string& strNewDiskName,
                                                      const std::string& strZone,
                                                      const std::string& strRegion, bool bRegional,
                                                      const std::string& strDiskType, SDisk& disk) {
    if (!Ready("CreateDiskFromSnapshot")) return false;
    Impl& impl = *m_pImpl;
    if (strSnapshotUri.empty()) return Fail("CreateDiskFromSnapshot", "no snapshot given");
    json body = {{"name", strNewDiskName}, {"sourceSnapshot", rest::ResourcePath(strSnapshotUri)}};
    std::string error;
    // The API's default type reads slowly on small disks: always name one.
    const std::string type = strDiskType.empty() || strDiskType == "SCRATCH" ? "pd-balanced" : strDiskType;
    if (!impl.DiskPlacement(strProjectId, strZone, strRegion, bRegional, type, disk, body, error))
        return Fail("CreateDiskFromSnapshot", "disk [" + strNewDiskName + "]: " + error);
    const std::string collection = bRegional ? impl.Regional(strProjectId, strRegion, "/disks")
                                             : impl.Zonal(strProjectId, strZone, "/disks");
    json op;
    if (!impl.client.Issue("POST", collection, body, op))
        return Fail("CreateDiskFromSnapshot", "disk [" + strNewDiskName + "]: " + impl.client.Error());
    const std::string url = impl.DiskUrl(strProjectId, strNewDiskName, strZone, strRegion, bRegional);
    impl.RememberStart("disk:" + rest::ResourcePath(url), "POST", collection, body, op);
    disk.strDiskId = compute::Str(op, "targetId");
    disk.strLocationUri = compute::Str(op, "targetLink");
    impl.log.Debug(kTag, "Creation of disk [%s] from snapshot [%s] started", strNewDiskName.c_str(),
                   rest::ShortName(strSnapshotUri).c_str());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::DeleteDisk(const std::string& strProjectId, const std::string& strDiskName,
                                          const std::string& strZone, const std::string& strRegion,
                                          bool bRegional) {
    if (!Ready("DeleteDisk")) return false;
    Impl& impl = *m_pImpl;
    const std::string url = impl.DiskUrl(strProjectId, strDiskName, strZone, strRegion, bRegional);
    impl.Settle(rest::ResourcePath(url), true);
    if (!impl.DeleteResource(url))
        return Fail("DeleteDisk", "disk [" + strDiskName + "]: " + impl.client.Error());
    impl.ForgetStart("disk:" + rest::ResourcePath(url));
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::StartDeleteDisk(const std::string& strProjectId,
                                               const std::string& strDiskName, const std::string& strZone,
                                               const std::string& strRegion, bool bRegional) {
    if (!Ready("DeleteDisk")) return false;
    Impl& impl = *m_pImpl;
    const std::string url = impl.DiskUrl(strProjectId, strDiskName, strZone, strRegion, bRegional);
    impl.Settle(rest::ResourcePath(url), true);
    if (!impl.StartDelete(url))
        return Fail("DeleteDisk", "disk [" + strDiskName + "]: " + impl.client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::FinishDeleteDisk(const std::string& strProjectId,
                                                const std::string& strDiskName, const std::string& strZone,
                                                const std::string& strRegion, bool bRegional) {
    if (!Ready("DeleteDisk")) return false;
    Impl& impl = *m_pImpl;
    const std::string url = impl.DiskUrl(strProjectId, strDiskName, strZone, strRegion, bRegional);
    if (!impl.FinishDelete(url))
        return Fail("DeleteDisk", "disk [" + strDiskName + "]: " + impl.client.Error());
    impl.ForgetStart("disk:" + rest::ResourcePath(url));
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::AttachDisk(const std::string& strProjectId, const std::string& strDiskName,
                                          const std::string& strInstanceName, const std::string& strZone,
                                          bool& bLimitReached) {
    bLimitReached = false;
    if (!Ready("AttachDisk")) return false;
    Impl& impl = *m_pImpl;
    const std::string what = "disk [" + strDiskName + "] to instance [" + strInstanceName + "]: ";
    const std::string diskUrl = impl.DiskUrl(strProjectId, strDiskName, strZone, "", false);
    const std::string diskPath = rest::ResourcePath(diskUrl);
    const std::string instUrl = impl.InstanceUrl(strProjectId, strZone, strInstanceName);
    const std::string instPath = rest::ResourcePath(instUrl);
    // An attach sent ahead by StartAttachDisk is awaited; one that failed is
    // sent again below, where its refusal is told apart.
    Impl::PendingAttachment pending;
    if (impl.TakePending(impl.pendingAttaches, diskPath, pending)) {
        if (pending.instPath == instPath && impl.AwaitPending(pending)) {
            impl.Forget(diskPath);
            impl.NoteAttached(instPath, diskPath, pending.device);
            return Succeed();
        }
        impl.client.ClearError();
    }
    impl.Settle(diskPath, false);
    json body;
    std::string device;
    if (!impl.AttachBody(strDiskName, diskUrl, body, device))
        return Fail("AttachDisk", what + impl.client.Error());
    // The instance is not read first: the cloud refuses an attach beyond the
    // instance's disk limit and one of a disk already attached, and both
    // refusals are told apart below.
    json op;
    const bool attached = impl.client.Mutate("POST", instUrl + "/attachDisk", body, true, op);
    impl.Forget(diskPath);  // its users changed
    if (attached) {
        impl.NoteAttached(instPath, diskPath, device);
        return Succeed();
    }
    const std::string error = impl.client.Error();
    const long status = impl.client.Status();
    std::string message = error;
    if (compute::IsDiskLimitError(impl.client.Reason(), message)) bLimitReached = true;
    // Already attached here (an earlier attach, or an answer lost on the way
    // back) is success.
    json inst;
    if (status != 404 && impl.client.Get(instUrl, inst)) {
        for (const auto& ad : inst.value("disks", json::array())) {
            if (rest::ResourcePath(compute::Str(ad, "source")) != diskPath) continue;
            impl.log.Debug(kTag, "Disk [%s] is attached to [%s]", strDiskName.c_str(),
                           strInstanceName.c_str());
            impl.NoteAttached(instPath, diskPath, compute::Str(ad, "deviceName"));
            bLimitReached = false;
            return Succeed();
        }
    }
    return Fail("AttachDisk", what + error);
}

bool CGoogleCloudSDKCppBridge::DetachDisk(const std::string& strProjectId, const std::string& strDiskName,
                                          const std::string& strInstanceName, const std::string& strZone) {
    if (!Ready("DetachDisk")) return false;
    Impl& impl = *m_pImpl;
    const std::string instUrl = impl.InstanceUrl(strProjectId, strZone, strInstanceName);
    const std::string instPath = rest::ResourcePath(instUrl);
    const std::string diskPath =
        rest::ResourcePath(impl.DiskUrl(strProjectId, strDiskName, strZone, "", false));
    // A detach sent ahead by StartDetachDisk is awaited; one that failed is
    // tried again below. An attach sent ahead and never claimed is awaited
    // first, so that its device name is known.
    Impl::PendingAttachment pending;
    if (impl.TakePending(impl.pendingDetaches, diskPath, pending)) {
        if (impl.AwaitPending(pending)) {
            impl.NoteDetached(pending.instPath, diskPath);
            impl.Forget(diskPath);
            return Succeed();
        }
        impl.log.Debug(kTag, "Detach of disk [%s] sent earlier failed: %s; trying again", strDiskName.c_str(),
                       impl.client.Error().c_str());
        impl.client.ClearError();
    }
    impl.Settle(diskPath, false);
    std::string device;
    {
        std::lock_guard<std::mutex> guard(impl.attachLock);
        if (impl.detachedHere[instPath].count(diskPath)) {
            impl.log.Debug(kTag, "Disk [%s] was detached from [%s] already", strDiskName.c_str(),
                           strInstanceName.c_str());
            return Succeed();
        }
        const auto& attached = impl.attachedHere[instPath];
        const auto it = attached.find(diskPath);
        if (it != attached.end()) device = it->second;
    }
    json op;
    if (!device.empty()) {
        // Attached by this bridge: its device name is known.
        if (impl.client.Mutate("POST", rest::WithQuery(instUrl + "/detachDisk", "deviceName", device), json(),
                               true, op)) {
            impl.NoteDetached(instPath, diskPath);
            impl.Forget(diskPath);
            return Succeed();
        }
        const long status = impl.client.Status();
        if (status != 400 && status != 404)
            return Fail("DetachDisk", "disk [" + strDiskName + "]: " + impl.client.Error());
        device.clear();  // no such device any more: look at the instance
    }
    json inst;
    if (!impl.client.Get(instUrl, inst))
        return Fail("DetachDisk", "instance [" + strInstanceName + "]: " + impl.client.Error());
    for (const auto& ad : inst.value("disks", json::array())) {
        const rest::ResourceRef ref = rest::ParseResourceUri(compute::Str(ad, "source"));
        if (ref.strName == strDiskName && ref.strProject == strProjectId)
            device = compute::Str(ad, "deviceName");
    }
    if (device.empty()) {
        impl.log.Debug(kTag, "Disk [%s] is not attached to [%s]", strDiskName.c_str(),
                       strInstanceName.c_str());
        impl.NoteDetached(instPath, diskPath);
        return Succeed();
    }
    if (!impl.client.Mutate("POST", rest::WithQuery(instUrl + "/detachDisk", "deviceName", device), json(),
                            true, op))
        return Fail("DetachDisk", "disk [" + strDiskName + "]: " + impl.client.Error());
    impl.NoteDetached(instPath, diskPath);
    impl.Forget(diskPath);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::StartAttachDisk(const std::string& strProjectId,
                                               const std::string& strDiskName,
                                               const std::string& strInstanceName,
                                               const std::string& strZone) {
    if (!Ready("AttachDisk")) return false;
    Impl& impl = *m_pImpl;
    const std::string diskUrl = impl.DiskUrl(strProjectId, strDiskName, strZone, "", false);
    const std::string diskPath = rest::ResourcePath(diskUrl);
    const std::string instUrl = impl.InstanceUrl(strProjectId, strZone, strInstanceName);
    const std::string instPath = rest::ResourcePath(instUrl);
    {
        std::lock_guard<std::mutex> guard(impl.attachLock);
        if (impl.pendingAttaches.count(diskPath) || impl.attachedHere[instPath].count(diskPath))
            return Succeed();
    }
    impl.Settle(diskPath, false);
    json body;
    std::string device;
    if (!impl.AttachBody(strDiskName, diskUrl, body, device))
        return Fail("AttachDisk", "disk [" + strDiskName + "]: " + impl.client.Error());
    json op;
    if (!impl.client.Issue("POST", instUrl + "/attachDisk", body, op))
        return Fail("AttachDisk", "disk [" + strDiskName + "] to instance [" + strInstanceName +
                                      "]: " + impl.client.Error());
    impl.Forget(diskPath);
    std::lock_guard<std::mutex> guard(impl.attachLock);
    impl.pendingAttaches[diskPath] = Impl::PendingAttachment{instUrl, instPath, device, op};
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::StartDetachDisk(const std::string& strProjectId,
                                               const std::string& strDiskName,
                                               const std::string& strInstanceName,
                                               const std::string& strZone) {
    if (!Ready("DetachDisk")) return false;
    Impl& impl = *m_pImpl;
    const std::string instUrl = impl.InstanceUrl(strProjectId, strZone, strInstanceName);
    const std::string instPath = rest::ResourcePath(instUrl);
    const std::string diskPath =
        rest::ResourcePath(impl.DiskUrl(strProjectId, strDiskName, strZone, "", false));
    impl.Settle(diskPath, false);
    std::string device;
    {
        std::lock_guard<std::mutex> guard(impl.attachLock);
        if (impl.detachedHere[instPath].count(diskPath) || impl.pendingDetaches.count(diskPath))
            return Succeed();
        const auto& attached = impl.attachedHere[instPath];
        const auto it = attached.find(diskPath);
        if (it != attached.end()) device = it->second;
    }
    // Without a known device name the instance must be read: the whole
    // detach is done at once.
    if (device.empty()) return DetachDisk(strProjectId, strDiskName, strInstanceName, strZone);
    json op;
    if (!impl.client.Issue("POST", rest::WithQuery(instUrl + "/detachDisk", "deviceName", device), json(),
                           op))
        return DetachDisk(strProjectId, strDiskName, strInstanceName, strZone);
    impl.Forget(diskPath);
    std::lock_guard<std::mutex> guard(impl.attachLock);
    impl.pendingDetaches[diskPath] = Impl::PendingAttachment{instUrl, instPath, device, op};
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::ResizeDisk(const std::string& strProjectId, const std::string& strDiskName,
                                          const std::string& strZone, const std::string& strRegion,
                                          bool bRegional, int64_t nNewSizeGb) {
    if (!Ready("ResizeDisk")) return false;
    Impl& impl = *m_pImpl;
    const std::string what = "disk [" + strDiskName + "] to " + std::to_string(nNewSizeGb) + " GB: ";
    const std::string url = impl.DiskUrl(strProjectId, strDiskName, strZone, strRegion, bRegional);
    impl.Settle(rest::ResourcePath(url), false);
    impl.Forget(url);
    json disk;
    if (!impl.client.Get(url, disk)) return Fail("ResizeDisk", what + impl.client.Error());
    int64_t current = 0;
    const json size = disk.value("sizeGb", json());
    if (size.is_number_integer()) current = size.get<int64_t>();
    if (size.is_string()) current = std::strtoll(size.get<std::string>().c_str(), nullptr, 10);
    if (current >= nNewSizeGb) return Succeed();
    json op;
    if (!impl.client.Mutate("POST", url + "/resize", {{"sizeGb", std::to_string(nNewSizeGb)}}, true, op))
        return Fail("ResizeDisk", what + impl.client.Error());
    if (op.contains("error")) return Fail("ResizeDisk", what + compute::DescribeOperationError(op));
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::MoveDisk(const std::string& strProjectId, const std::string& strDiskName,
                                        const std::string& strSourceZone, const std::string& strDestZone,
                                        SDisk& disk) {
    if (!Ready("MoveDisk")) return false;
    Impl& impl = *m_pImpl;
    const std::string what =
        "disk [" + strDiskName + "] from [" + strSourceZone + "] to [" + strDestZone + "]: ";
    if (strSourceZone == strDestZone)
        return GetDiskInfo(strProjectId, strDiskName, strDestZone, "", false, disk, 0);
    const std::string srcUrl = impl.DiskUrl(strProjectId, strDiskName, strSourceZone, "", false);
    impl.Settle(rest::ResourcePath(srcUrl), true);
    impl.Forget(srcUrl);
    impl.Forget(impl.DiskUrl(strProjectId, strDiskName, strDestZone, "", false));
    json src;
    if (!impl.client.Get(srcUrl, src)) return Fail("MoveDisk", what + impl.client.Error());
    if (src.contains("users") && src["users"].is_array() && !src["users"].empty())
        return Fail("MoveDisk", what + "the disk is attached to an instance");
    if (compute::EncryptionKeyName(src) == kms::kTypeCsek)
        return Fail("MoveDisk", what + "the disk is encrypted with a customer-supplied key");

    // The caller may name the snapshot (so that it can record it before it
    // exists); else a fresh name.
    const std::string snapName =
        !disk.strSnapshotName.empty()
            ? disk.strSnapshotName
            : ("zd-move-" + compute::Str(src, "id") + "-" + rest::NewRequestId().substr(0, 8));
    json op, snap;
    if (!impl.client.Mutate("POST", srcUrl + "/createSnapshot", {{"name", snapName}}, true, op) ||
        !impl.WaitReady(impl.Global(strProjectId, "/snapshots/" + snapName), snap)) {
        const std::string error = impl.client.Error();
        impl.DeleteResource(impl.Global(strProjectId, "/snapshots/" + snapName));
        return Fail("MoveDisk", what + error);
    }
    json body = {{"name", strDiskName},
                 {"sourceSnapshot", "projects/" + strProjectId + "/global/snapshots/" + snapName},
                 {"type", "projects/" + strProjectId + "/zones/" + strDestZone + "/diskTypes/" +
                              rest::ShortName(compute::Str(src, "type"))}};
    for (const char* field :
         {"description", "labels", "sizeGb", "licenses", "guestOsFeatures", "architecture"})
        if (src.contains(field)) body[field] = src[field];
    const std::string key = compute::EncryptionKeyName(src);
    if (!key.empty()) body["diskEncryptionKey"] = {{"kmsKeyName", key}};
    json created;
    const std::string dstUrl = impl.DiskUrl(strProjectId, strDiskName, strDestZone, "", false);
    if (!impl.client.Mutate("POST", impl.Zonal(strProjectId, strDestZone, "/disks"), body, true, op) ||
        !impl.WaitReady(dstUrl, created)) {
        const std::string error = impl.client.Error();
        impl.DeleteResource(impl.Global(strProjectId, "/snapshots/" + snapName));
        return Fail("MoveDisk", what + error);
    }
    if (!impl.DeleteResource(srcUrl)) {
        const std::string error = impl.client.Error();
        impl.DeleteResource(impl.Global(strProjectId, "/snapshots/" + snapName));
        return Fail(
            "MoveDisk",
            what + "the copy exists in the destination but the source could not be deleted: " + error);
    }
    if (!impl.DeleteResource(impl.Global(strProjectId, "/snapshots/" + snapName)))
        impl.log.Error(kTag, "Snapshot [%s] of a disk move could not be deleted: %s", snapName.c_str(),
                       impl.client.Error().c_str());
    compute::FillDisk(created, strDestZone, disk);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetDiskLabels(const std::string& strProjectId, const std::string& strDiskName,
                                             const std::string& strZone, const std::string& strRegion,
                                             bool bRegional, std::vector<SKeyPairInfo>& vecLabels) {
    if (!Ready("GetDiskLabels")) return false;
    json d;
    if (!m_pImpl->client.Get(m_pImpl->DiskUrl(strProjectId, strDiskName, strZone, strRegion, bRegional), d))
        return Fail("GetDiskLabels", "disk [" + strDiskName + "]: " + m_pImpl->client.Error());
    compute::Labels(d, vecLabels);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetDiskLabels(const std::string& strDiskJson,
                                             std::map<std::string, std::string>& mapLabels) {
    const json d = json::parse(strDiskJson, nullptr, false);
    if (!d.is_object()) return Fail("GetDiskLabels", "the disk description is not a JSON object");
    std::vector<SKeyPairInfo> labels;
    compute::Labels(d, labels);
    mapLabels.clear();
    for (const auto& l : labels) mapLabels[l.strKey] = l.strValue;
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::SetDiskLabels(const std::string& strProjectId, const SDisk& disk,
                                             const std::string& strZone, const std::string& strRegion,
                                             bool bRegional, const std::vector<SKeyPairInfo>& vecLabels) {
    if (!Ready("SetDiskLabels")) return false;
    Impl& impl = *m_pImpl;
    const std::string url = impl.DiskUrl(strProjectId, disk.strName, strZone, strRegion, bRegional);
    impl.Forget(url);
    for (int attempt = 0; attempt < 5; ++attempt) {
        json d;
        if (!impl.client.Get(url, d)) break;
        json labels = d.contains("labels") && d["labels"].is_object() ? d["labels"] : json::object();
        for (const auto& l : vecLabels) labels[l.strKey] = l.strValue;
        const json body = {{"labels", labels}, {"labelFingerprint", compute::Str(d, "labelFingerprint")}};
        json op;
        if (impl.client.Mutate("POST", url + "/setLabels", body, true, op)) return Succeed();
        if (impl.client.Status() != 412) break;  // stale fingerprint: read again
    }
    return Fail("SetDiskLabels", "disk [" + disk.strName + "]: " + impl.client.Error());
}

bool CGoogleCloudSDKCppBridge::ParseReplicaZonesFromJson(const std::string& strDiskJson,
                                                         std::vector<std::string>& vecZones,
                                                         std::string& strRegionUri) {
    const json d = json::parse(strDiskJson, nullptr, false);
    if (!d.is_object()) return Fail("ParseReplicaZonesFromJson", "the disk description is not a JSON object");
    compute::ReplicaZones(d, vecZones, strRegionUri);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetDiskEncryptionInfoJson(const std::vector<SDisk>& vecDisks,
                                                         std::string& strJson) {
    Impl& impl = *m_pImpl;
    std::map<std::string, std::vector<std::string>> diskNamesByKey;
    for (const auto& d : vecDisks) {
        std::string keyName;
        if (!d.strDiskJson.empty())
            keyName = compute::EncryptionKeyName(json::parse(d.strDiskJson, nullptr, false));
        if (keyName.empty() && d.bEncrypted) keyName = d.strEncryptionKey;
        std::string type, path;
        if (keyName.empty() || !kms::KeyTypeAndPath(keyName, type, path) || type != kms::kTypeKms) continue;
        diskNamesByKey[path].push_back(d.strName);
    }
    std::vector<json> entries;
    for (const auto& [path, names] : diskNamesByKey) {
        json key;
        const bool read = impl.tokens && impl.client.Get(impl.endpoints.strKms + "/" + path, key);
        if (!read)
            impl.log.Error(kTag, "Key [%s] cannot be read; saving its name only: %s", path.c_str(),
                           impl.client.Error().c_str());
        json entry = kms::EncryptionInfoEntry(path, read ? &key : nullptr);
        for (const auto& n : names) entry["disks"].push_back(n);
        entries.push_back(entry);
    }
    strJson = kms::EncryptionInfoText(entries);
    return Succeed();
}

// ---------------------------------------------------------------- Snapshots

bool CGoogleCloudSDKCppBridge::CreateDiskSnapshot(const std::string& strProjectId,
                                                  const std::string& strDiskName, const std::string& strZone,
                                                  const std::string& strRegion, bool bRegional,
                                                  bool bAppConsistent,
                                                  const VMInfoStructs::SSnapshot& snapshot) {
    if (!Ready("CreateDiskSnapshot")) return false;
    Impl& impl = *m_pImpl;
    const std::string what = "snapshot [" + snapshot.strName + "] of disk [" + strDiskName + "]: ";
    const std::string diskUrl = impl.DiskUrl(strProjectId, strDiskName, strZone, strRegion, bRegional);
    // The disk is read for its labels and its key; the instance description
    // that named it has usually read it moments ago.
    json disk;
    if (!impl.Recall(diskUrl, kRecentMs, disk)) {
        if (!impl.client.Get(diskUrl, disk)) return Fail("CreateDiskSnapshot", what + impl.client.Error());
        impl.Remember(disk);
    }
    if (compute::EncryptionKeyName(disk) == kms::kTypeCsek)
        return Fail("CreateDiskSnapshot", what +
                                              "the disk is encrypted with a customer-supplied key, which the "
                                              "backup cannot supply; it cannot be snapshotted");
    json labels = disk.contains("labels") && disk["labels"].is_object() ? disk["labels"] : json::object();
    for (const auto& l : snapshot.vecLabels) labels[l.strKey] = l.strValue;
    json body = {{"name", snapshot.strName}};
    if (!snapshot.strDescription.empty()) body["description"] = snapshot.strDescription;
    if (!labels.empty()) body["labels"] = labels;
    std::string url = diskUrl + "/createSnapshot";
    if (bAppConsistent && !bRegional) url = rest::WithQuery(url, "guestFlush", "true");
    if (bAppConsistent && bRegional)
        impl.log.Debug(kTag, "Regional disk [%s]: no guest flush, crash-consistent snapshot",
                       strDiskName.c_str());
    json op;
    if (!impl.client.Issue("POST", url, body, op))
        return Fail("CreateDiskSnapshot", what + impl.client.Error());
    impl.RememberStart("snapshot:projects/" + strProjectId + "/" + snapshot.strName, "POST", url, body, op);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetSnapshotState(const std::string& strProjectId,
                                                const std::string& strSnapshotName, std::string& strState) {
    if (!Ready("GetSnapshotState")) return false;
    Impl& impl = *m_pImpl;
    const std::string url = impl.Global(strProjectId, "/snapshots/" + rest::UrlEncode(strSnapshotName));
    if (!impl.ResourceStatus("snapshot:projects/" + strProjectId + "/" + strSnapshotName, url, strState))
        return Fail("GetSnapshotState", "snapshot [" + strSnapshotName + "]: " + impl.client.Error());
    if (strState == "FAILED" && !impl.client.Error().empty())
        SetLastError(impl.client.Error());
    else
        SetLastError("");
    return true;
}

bool CGoogleCloudSDKCppBridge::GetSnapshotUri(const std::string& strProjectId,
                                              const std::string& strSnapshotName, std::string& strUri) {
    if (!Ready("GetSnapshotUri")) return false;
    const std::string url = m_pImpl->Global(strProjectId, "/snapshots/" + rest::UrlEncode(strSnapshotName));
    json s;
    // A snapshot whose status read found it READY a moment ago is not read
    // again; should it be gone since, the disk made from it fails instead.
    if (!m_pImpl->Recall(url, kRecentMs, s) && !m_pImpl->client.Get(url, s))
        return Fail("GetSnapshotUri", "snapshot [" + strSnapshotName + "]: " + m_pImpl->client.Error());
    strUri = compute::Str(s, "selfLink");
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::StartDeleteDiskSnapshot(const std::string& strProjectId,
                                                       const std::string& strSnapshotName) {
    if (!Ready("DeleteDiskSnapshot")) return false;
    Impl& impl = *m_pImpl;
    if (!impl.StartDelete(impl.Global(strProjectId, "/snapshots/" + rest::UrlEncode(strSnapshotName))))
        return Fail("DeleteDiskSnapshot", "snapshot [" + strSnapshotName + "]: " + impl.client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::ListLabelledDisks(const std::string& strProjectId, const std::string& strLabelKey,
                                                 const std::string& strLabelValue, std::vector<SDisk>& vecDisks) {
    if (!Ready("ListLabelledDisks")) return false;
    Impl& impl = *m_pImpl;
    if (strLabelKey.empty()) return Fail("ListLabelledDisks", "no label key given");
    const std::string filter = "labels." + strLabelKey + "=" + strLabelValue;
    std::vector<std::pair<std::string, json>> all;
    if (!impl.client.AggregatedListAll(
            rest::WithQuery(impl.endpoints.strCompute + "/projects/" + strProjectId + "/aggregated/disks", "filter",
                            filter),
            "disks", all))
        return Fail("ListLabelledDisks", "project [" + strProjectId + "]: " + impl.client.Error());
    for (const auto& [scope, d] : all) {
        SDisk disk;
        disk.strName = compute::Str(d, "name");
        disk.strNewName = disk.strName;
        disk.strDiskId = compute::Str(d, "id");
        disk.strLocationUri = compute::Str(d, "selfLink");
        if (scope.rfind("zones/", 0) == 0) disk.strZone = scope.substr(6);
        compute::Labels(d, disk.vecLabels);
        vecDisks.push_back(disk);
    }
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::ListLabelledSnapshots(const std::string& strProjectId,
                                                     const std::string& strLabelKey,
                                                     const std::string& strLabelValue,
                                                     std::vector<VMInfoStructs::SSnapshot>& vecSnapshots) {
    if (!Ready("ListLabelledSnapshots")) return false;
    Impl& impl = *m_pImpl;
    if (strLabelKey.empty()) return Fail("ListLabelledSnapshots", "no label key given");
    const std::string filter = "labels." + strLabelKey + "=" + strLabelValue;
    std::vector<json> all;
    if (!impl.client.ListAll(rest::WithQuery(impl.Global(strProjectId, "/snapshots"), "filter", filter), "items",
                             all))
        return Fail("ListLabelledSnapshots", "project [" + strProjectId + "]: " + impl.client.Error());
    for (const auto& sn : all) {
        VMInfoStructs::SSnapshot snapshot;
        snapshot.strName = compute::Str(sn, "name");
        compute::Labels(sn, snapshot.vecLabels);
        vecSnapshots.push_back(snapshot);
    }
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::FinishDeleteDiskSnapshot(const std::string& strProjectId,
                                                        const std::string& strSnapshotName) {
    if (!Ready("DeleteDiskSnapshot")) return false;
    Impl& impl = *m_pImpl;
    if (!impl.FinishDelete(impl.Global(strProjectId, "/snapshots/" + rest::UrlEncode(strSnapshotName))))
        return Fail("DeleteDiskSnapshot", "snapshot [" + strSnapshotName + "]: " + impl.client.Error());
    impl.ForgetStart("snapshot:projects/" + strProjectId + "/" + strSnapshotName);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::DoesSnapshotExist(const std::string& strProjectId,
                                                 const std::string& strSnapshotName) {
    if (!Ready("DoesSnapshotExist")) return false;
    const std::string url = m_pImpl->Global(strProjectId, "/snapshots/" + rest::UrlEncode(strSnapshotName));
    return Exists("DoesSnapshotExist", url);
}

bool CGoogleCloudSDKCppBridge::DeleteDiskSnapshot(const std::string& strProjectId,
                                                  const std::string& strSnapshotName) {
    if (!Ready("DeleteDiskSnapshot")) return false;
    Impl& impl = *m_pImpl;
    if (!impl.DeleteResource(impl.Global(strProjectId, "/snapshots/" + rest::UrlEncode(strSnapshotName))))
        return Fail("DeleteDiskSnapshot", "snapshot [" + strSnapshotName + "]: " + impl.client.Error());
    impl.ForgetStart("snapshot:projects/" + strProjectId + "/" + strSnapshotName);
    return Succeed();
}

// ---------------------------------------------------------------- Encryption keys

bool CGoogleCloudSDKCppBridge::CheckAndGetEncryptionKeyName(const std::string& strDiskJson,
                                                            std::string& strKeyName) {
    const json d = json::parse(strDiskJson, nullptr, false);
    if (!d.is_object())
        return Fail("CheckAndGetEncryptionKeyName", "the disk description is not a JSON object");
    strKeyName = compute::EncryptionKeyName(d);
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetKeyTypeAndKeyPath(const std::string& strKeyName, std::string& strKeyType,
                                                    std::string& strKeyPath) {
    if (!kms::KeyTypeAndPath(strKeyName, strKeyType, strKeyPath))
        return Fail("GetKeyTypeAndKeyPath", "[" + strKeyName + "] is not a key name");
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::IsKeyTypeSupported(const std::string& strKeyType, const std::string&,
                                                  std::string& strText) {
    if (strKeyType == kms::kTypeKms) return Succeed();
    strText = strKeyType == kms::kTypeCsek ? "customer-supplied key" : strKeyType;
    SetLastError("");
    return false;
}

bool CGoogleCloudSDKCppBridge::GetKeyInfoAsJson(const std::string& strKeyPath, std::string& strJson) {
    if (!Ready("GetKeyInfoAsJson")) return false;
    if (!kms::IsValidPath(strKeyPath, true))
        return Fail("GetKeyInfoAsJson", "[" + strKeyPath + "] is not a key path");
    json key;
    if (!m_pImpl->client.Get(m_pImpl->endpoints.strKms + "/" + strKeyPath, key)) {
        if (m_pImpl->client.NotFound()) {
            SetLastError(m_pImpl->client.Error());
            return false;
        }
        return Fail("GetKeyInfoAsJson", "key [" + strKeyPath + "]: " + m_pImpl->client.Error());
    }
    strJson = key.dump();
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetKeyStateAndLevel(const std::string& strKeyJson, std::string& strState,
                                                   std::string& strLevel) {
    if (!kms::KeyStateAndLevel(json::parse(strKeyJson, nullptr, false), strState, strLevel))
        return Fail("GetKeyStateAndLevel", "the key description has no primary version");
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::IsKeyLevelSupported(const std::string& strLevel) {
    SetLastError("");
    return strLevel == "SOFTWARE" || strLevel == "HSM";
}

bool CGoogleCloudSDKCppBridge::CheckKeyRingExists(const std::string& strKeyRingPath) {
    if (!Ready("CheckKeyRingExists")) return false;
    if (!kms::IsValidPath(strKeyRingPath, false))
        return Fail("CheckKeyRingExists", "[" + strKeyRingPath + "] is not a key ring path");
    json ring;
    if (m_pImpl->client.Get(m_pImpl->endpoints.strKms + "/" + strKeyRingPath, ring)) return Succeed();
    SetLastError(m_pImpl->client.Error());
    return false;
}

bool CGoogleCloudSDKCppBridge::CreateKeyRing(const std::string& strProjectId, const std::string& strLocation,
                                             const std::string& strKeyRing) {
    if (!Ready("CreateKeyRing")) return false;
    Impl& impl = *m_pImpl;
    const std::string parent = "projects/" + strProjectId + "/locations/" + strLocation;
    json ring;
    if (impl.client.Send(
            "POST",
            rest::WithQuery(impl.endpoints.strKms + "/" + parent + "/keyRings", "keyRingId", strKeyRing),
            json::object(), ring) ||
        impl.client.Status() == 409)
        return Succeed();
    return Fail("CreateKeyRing",
                "key ring [" + parent + "/keyRings/" + strKeyRing + "]: " + impl.client.Error());
}

bool CGoogleCloudSDKCppBridge::CreateDummyKey(const std::string& strProjectId, const std::string& strLocation,
                                              const std::string& strKeyRing, const std::string& strKey) {
    if (!Ready("CreateDummyKey")) return false;
    Impl& impl = *m_pImpl;
    const std::string ring =
        "projects/" + strProjectId + "/locations/" + strLocation + "/keyRings/" + strKeyRing;
    json key;
    if (impl.client.Send(
            "POST",
            rest::WithQuery(impl.endpoints.strKms + "/" + ring + "/cryptoKeys", "cryptoKeyId", strKey),
            kms::PlaceholderKeyBody(), key) ||
        impl.client.Status() == 409)
        return Succeed();
    return Fail("CreateDummyKey", "key [" + ring + "/cryptoKeys/" + strKey + "]: " + impl.client.Error());
}

bool CGoogleCloudSDKCppBridge::UpdateKey(const std::string& strEncryptionKey,
                                         const std::string& strSavedKeyInfo) {
    if (!Ready("UpdateKey")) return false;
    Impl& impl = *m_pImpl;
    std::string type, path;
    if (!kms::KeyTypeAndPath(strEncryptionKey, type, path) || type != kms::kTypeKms)
        return Fail("UpdateKey", "[" + strEncryptionKey + "] is not a Cloud KMS key");
    const json saved = json::parse(strSavedKeyInfo, nullptr, false);
    json body;
    std::string mask;
    if (!kms::UpdatePatch(saved, NowSeconds(), body, mask))
        return Fail("UpdateKey", "the saved key information is not a JSON object");
    if (mask.empty()) return Succeed();
    json key;
    if (!impl.client.Send("PATCH", rest::WithQuery(impl.endpoints.strKms + "/" + path, "updateMask", mask),
                          body, key))
        return Fail("UpdateKey", "key [" + path + "]: " + impl.client.Error());
    return Succeed();
}

bool CGoogleCloudSDKCppBridge::GetKeyMapFromDisksEncryptionInfoJson(
    const std::string& strJson, std::map<std::string, std::string>& mapKeys) {
    if (!kms::ParseEncryptionInfo(strJson, mapKeys))
        return Fail("GetKeyMapFromDisksEncryptionInfoJson",
                    "the disk encryption information is not readable");
    return Succeed();
}

// ---------------------------------------------------------------- Storage

bool CGoogleCloudSDKCppBridge::CreateBucket(const std::string& strProjectId,
                                            const std::string& strBucketName) {
    if (!Ready("CreateBucket")) return false;
    Impl& impl = *m_pImpl;
    if (!storage::IsValidBucketName(strBucketName))
        return Fail("CreateBucket", "[" + strBucketName + "] is not a valid bucket name");
    json bucket;
    if (impl.client.Get(storage::BucketUrl(impl.endpoints, strBucketName), bucket)) return Succeed();
    if (!impl.client.NotFound())
        return Fail("CreateBucket", "bucket [" + strBucketName + "]: " + impl.client.Error());
    if (impl.client.Send("POST", storage::BucketInsertUrl(impl.endpoints, strProjectId),
                         storage::BucketBody(strBucketName), bucket))
        return Succeed();
    // A retried insert may have created it; a name taken by someone else is not ours.
    if (impl.client.Status() == 409 &&
        impl.client.Get(storage::BucketUrl(impl.endpoints, strBucketName), bucket))
        return Succeed();
    return Fail("CreateBucket", "bucket [" + strBucketName + "]: " + impl.client.Error());
}

bool CGoogleCloudSDKCppBridge::DownloadVMInfoFromBucket(const std::string&, const std::string& strBucketName,
                                                        const std::string& strObjectName,
                                                        std::string& strText) {
    if (!Ready("DownloadVMInfoFromBucket")) return false;
    if (!m_pImpl->client.GetText(storage::ObjectMediaUrl(m_pImpl->endpoints, strBucketName, strObjectName),
                                 strText))
        return Fail("DownloadVMInfoFromBucket", "object [" + strObjectName + "] of bucket [" + strBucketName +
                                                    "]: " + m_pImpl->client.Error());
    return Succeed();
}

}  // namespace GoogleCloudSDKCppBridge
