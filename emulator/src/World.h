// The emulated cloud's state and its clock of pending state changes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Crypto.h"

namespace gce::emu {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

// Delays (milliseconds) after which asynchronous work finishes.
struct Latency {
    int diskMs = 50;       // disk CREATING/RESTORING -> READY
    int snapshotMs = 50;   // snapshot UPLOADING -> READY
    int instanceMs = 50;   // instance start/stop/insert transitions
    int operationMs = 20;  // plain operations PENDING -> DONE
    int waitMs = 120000;   // longest an operations wait call blocks
    int attachMs = -1;     // attachDisk / detachDisk PENDING -> DONE; -1: operationMs
    int AttachMs() const { return attachMs < 0 ? operationMs : attachMs; }
};

// Limits a test can tighten; zero means "not enforced" unless noted.
struct Limits {
    int maxAttachedDisks = 0;         // per instance; 0: the machine type's limit (128 by default)
    int tokenLifetimeSeconds = 3600;  // expires_in of new tokens
    int snapshotIntervalSeconds = 0;  // min seconds between snapshots of one disk
    int notFoundAfterInsertMs = 0;    // GET of a fresh resource answers 404 this long
};

struct Disk {
    json res;
    std::string project, scopeKind, scope;  // scopeKind "zones" or "regions"
    std::string file;
    std::string kmsKey;  // key name without version, empty if none
    bool csek = false;
    Clock::time_point created;
    std::vector<Clock::time_point> snapshotTimes;
    int busy = 0;  // file copies reading or writing this disk right now
};

struct Instance {
    json res;
    std::string project, zone;
    Clock::time_point created;
    std::set<std::string> pendingDeviceNames;  // attaches accepted but not yet done
    std::set<std::string> pendingDisks;        // disk keys of those attaches
    bool guestFlushFail = false;
};

struct Snapshot {
    json res;
    std::string project, file, kmsKey;
    Clock::time_point created;
    int busy = 0;  // disks being restored from this snapshot right now
};

struct Operation {
    json res;
    std::string project;
};

struct CryptoKey {
    json res;
    std::vector<json> versions;
};

struct StoredObject {
    json res;
    std::string data;
    int64_t created = 0;  // seconds since the epoch (retention is counted from it)
};

struct Bucket {
    json res;
    std::string project;
    std::map<std::string, StoredObject> objects;
};

// A resumable upload of a Cloud Storage object, between its start and its
// last byte.
struct UploadSession {
    std::string bucket, name, contentType, data;
    json metadata;  // the object's custom metadata, if any
    bool ifGenerationMatch0 = false;
    std::string ifGenerationMatch;  // the precondition as given ("" when none)
};

struct ServiceAccount {
    std::string email, project;
    PKey key;  // holds the public half used to check JWTs
};

struct Project {
    std::string id, number, name;
    json labels = json::object();
};

// An operation's outcome when it fails.
struct OpError {
    std::string code;  // e.g. RESOURCE_NOT_FOUND
    std::string message;
    int http = 400;
};

// A file copy that must happen before an operation can proceed.
struct CopyJob {
    std::string src, dst;
    uint64_t size = 0;
};

// World holds every resource. All fields are guarded by mu; handlers lock it
// for the whole of their bookkeeping and release it around file copies.
// The scheduler thread runs timed state changes with mu held and notifies
// `changed` after each, which operations wait calls block on.
class World {
  public:
    World();
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    std::mutex mu;
    std::condition_variable changed;

    std::string stateDir, byIdDir, baseUrl;
    Latency latency;
    Limits limits;
    bool guestFlushFail = false;
    bool stopping = false;

    std::map<std::string, Project> projects;    // by project id
    std::set<std::string> imageProjects;        // owners of public licences and images
    std::map<std::string, json> regions;        // by region name
    std::map<std::string, json> zones;          // by zone name
    std::map<std::string, json> machineTypes;   // "zone/type"
    std::map<std::string, json> licenses;       // "projects/P/global/licenses/L"
    std::map<std::string, json> images;         // "projects/P/global/images/I"
    std::map<std::string, json> networks;       // "projects/P/global/networks/N"
    std::map<std::string, json> subnetworks;    // "projects/P/regions/R/subnetworks/S"
    std::map<std::string, Instance> instances;  // "projects/P/zones/Z/instances/I"
    std::map<std::string, Disk> disks;          // ".../zones/Z/disks/D" or ".../regions/R/disks/D"
    std::map<std::string, Snapshot> snapshots;  // "projects/P/global/snapshots/S"
    std::map<std::string, Operation> operations;
    std::map<std::string, json> keyRings;                   // KMS names
    std::map<std::string, CryptoKey> cryptoKeys;            // KMS names
    std::map<std::string, Bucket> buckets;                  // by bucket name
    std::map<std::string, ServiceAccount> serviceAccounts;  // by e-mail
    std::map<std::string, Clock::time_point> tokens;
    std::map<std::string, UploadSession> uploads;   // resumable uploads by upload_id
    std::map<std::string, std::string> requestIds;  // "project/requestId" -> op key ("" while pending)
    std::string proxyKey;                           // instance the metadata server describes
    // Reads of a disk, snapshot or operation that was still pending (not
    // READY, FAILED or DONE) when read, by kind: the status polls a client
    // made. Reported and cleared with the request counts.
    std::map<std::string, uint64_t> pendingReads;
    int64_t clockSkewSeconds = 0;

    // Caller holds mu. Runs fn (with mu held) after delayMs on the scheduler.
    void schedule(int delayMs, std::function<void()> fn);
    void startScheduler();
    // Stops the scheduler and wakes every waiter. Safe to call twice.
    void shutdown();

    uint64_t newId();
    std::mt19937_64 rng;

  private:
    void run();
    std::condition_variable wake_;
    std::multimap<Clock::time_point, std::function<void()>> queue_;
    std::thread thread_;
    uint64_t nextId_ = 1734503000000000000ULL;
};

// The bucket's retention period in seconds (0: none).
int64_t retentionPeriod(const Bucket& b);

// RFC 3339 timestamp (UTC) of `t` seconds since the epoch.
std::string rfc3339(int64_t t);

// RFC 3339 timestamp of the current wall-clock time, e.g. 2024-05-01T10:00:00.123-00:00.
std::string nowTimestamp();

constexpr const char* kComputePrefix = "https://www.googleapis.com/compute/v1/";

inline std::string computeLink(const std::string& rel) {
    return kComputePrefix + rel;
}

}  // namespace gce::emu
