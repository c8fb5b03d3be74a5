#include "Seed.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "ApiError.h"
#include "Compute.h"
#include "DiskFiles.h"
#include "Emulator.h"

namespace gce::emu {
namespace {

constexpr uint64_t kMiB = 1ull << 20;

json machineType(const std::string& name, int cpus, int memMb, bool shared) {
    return {{"name", name},
            {"guestCpus", cpus},
            {"memoryMb", memMb},
            {"isSharedCpu", shared},
            {"maximumPersistentDisks", shared ? 16 : 128}};
}

// Chunk list with lengths scaled by `scale` (never below 1 MiB).
json chunks(std::initializer_list<std::pair<uint64_t, uint64_t>> offsetLengthMiB, double scale) {
    json out = json::array();
    for (auto [off, len] : offsetLengthMiB) {
        uint64_t l = static_cast<uint64_t>(static_cast<double>(len) * scale);
        out.push_back({{"offsetMiB", off}, {"lengthMiB", std::max<uint64_t>(1, l)}});
    }
    return out;
}

// A guestOsFeatures list of these feature types.
json features(std::initializer_list<const char*> types) {
    json out = json::array();
    for (const char* t : types) out.push_back({{"type", t}});
    return out;
}

void writeFile(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
    ::chmod(path.c_str(), mode);
}

uint64_t u64(const json& j, const char* name, uint64_t def) {
    if (!j.contains(name)) return def;
    if (j[name].is_string()) return std::stoull(j[name].get<std::string>());
    return j[name].get<uint64_t>();
}

std::vector<DataChunk> dataChunks(const json& data) {
    std::vector<DataChunk> out;
    for (auto& c : data.value("chunks", json::array())) {
        DataChunk d;
        d.offset = c.contains("offsetMiB") ? u64(c, "offsetMiB", 0) * kMiB : u64(c, "offset", 0);
        d.length = c.contains("lengthMiB") ? u64(c, "lengthMiB", 0) * kMiB : u64(c, "length", 0);
        out.push_back(d);
    }
    return out;
}

// Creates one disk of the seed, writes its data pattern, and returns its key.
std::string makeDisk(World& w, const std::string& project, const std::string& zone, const std::string& region,
                     const json& diskSeed) {
    json body = {{"name", diskSeed.at("name")}, {"sizeGb", std::to_string(u64(diskSeed, "sizeGb", 10))}};
    std::string kind = region.empty() ? "zones" : "regions";
    std::string scope = region.empty() ? zone : region;
    body["type"] =
        "projects/" + project + "/" + kind + "/" + scope + "/diskTypes/" + diskSeed.value("type", "pd-balanced");
    for (const char* f :
         {"labels", "licenses", "description", "guestOsFeatures", "architecture", "replicaZones"}) {
        if (diskSeed.contains(f)) body[f] = diskSeed[f];
    }
    if (diskSeed.contains("kmsKey")) body["diskEncryptionKey"] = {{"kmsKeyName", diskSeed["kmsKey"]}};
    std::string key = seedDisk(w, project, kind, scope, body);
    if (diskSeed.contains("data")) {
        const Disk& d = w.disks.at(key);
        uint64_t size = u64(diskSeed, "sizeGb", 10) << 30;
        auto list = dataChunks(diskSeed["data"]);
        for (auto& c : list) {
            if (c.offset + c.length > size)
                throw std::runtime_error("data chunk past the end of disk " + key);
        }
        writePattern(d.file, u64(diskSeed["data"], "seed", 1), list);
    }
    return key;
}

}  // namespace

namespace {

// An instance of the demo fleet: a 10 GB boot disk and, with disks 2, a
// 10 GB data disk, each with a little data of seed `seed` (and seed + 1).
json fleetInstance(const std::string& project, const std::string& zone, const std::string& name,
                   const std::string& machineType, const std::string& app, const std::string& backup,
                   int disks, int seed, double scale) {
    const std::string debian = "projects/debian-cloud/global/licenses/debian-12-bookworm";
    json list = json::array({{{"name", name},
                              {"sizeGb", 10},
                              {"boot", true},
                              {"licenses", {debian}},
                              {"data", {{"seed", seed}, {"chunks", chunks({{0, 8}, {4096, 4}}, scale)}}}}});
    if (disks > 1)
        list.push_back({{"name", name + "-data"},
                        {"sizeGb", 10},
                        {"labels", {{"tier", "data"}}},
                        {"data", {{"seed", seed + 1}, {"chunks", chunks({{0, 4}, {8192, 4}}, scale)}}}});
    return {{"project", project},
            {"zone", zone},
            {"name", name},
            {"machineType", machineType},
            {"labels", {{"app", app}, {"backup", backup}}},
            {"disks", list}};
}

}  // namespace

json demoSeed(int dataMiB) {
    double scale = dataMiB / 256.0;
    json mts = json::array(
        {machineType("e2-small", 2, 2048, true), machineType("e2-medium", 2, 4096, true),
         machineType("e2-standard-2", 2, 8192, false), machineType("e2-standard-4", 4, 16384, false),
         machineType("n1-standard-1", 1, 3840, false), machineType("n1-standard-2", 2, 7680, false),
         machineType("n1-standard-4", 4, 15360, false), machineType("n2-standard-2", 2, 8192, false),
         machineType("n2-standard-4", 4, 16384, false), machineType("n2-standard-8", 8, 32768, false)});
    // europe-west1-d lacks the larger n2 types, so automatic machine-type
    // choice has something to do.
    mts[8]["exceptZones"] = json::array({"europe-west1-d"});
    mts[9]["exceptZones"] = json::array({"europe-west1-d"});
    const std::string debian = "projects/debian-cloud/global/licenses/debian-12-bookworm";
    const std::string windows = "projects/windows-cloud/global/licenses/windows-server-2022-dc";
    const std::string key =
        "projects/demo-project/locations/us-central1/keyRings/backup-ring/cryptoKeys/disk-key";
    json seed = {
        {"projects",
         json::array({{{"id", "demo-project"}, {"number", "482718394021"}, {"name", "Demo Project"}},
                      {{"id", "demo-dr"}, {"number", "739201846502"}, {"name", "Demo DR"}}})},
        {"regions", json::array({{{"name", "us-central1"},
                                  {"zones", {"us-central1-a", "us-central1-b", "us-central1-c"}}},
                                 {{"name", "europe-west1"},
                                  {"zones", {"europe-west1-b", "europe-west1-c", "europe-west1-d"}}}})},
        {"machineTypes", mts},
        {"licenses",
         json::array(
             {{{"project", "debian-cloud"}, {"name", "debian-12-bookworm"}, {"code", "2147286739765738111"}},
              {{"project", "windows-cloud"},
               {"name", "windows-server-2022-dc"},
               {"code", "4079807029871201927"}}})},
        {"images", json::array({{{"project", "debian-cloud"},
                                 {"name", "debian-12-bookworm-v20240110"},
                                 {"family", "debian-12"},
                                 {"diskSizeGb", "10"},
                                 {"licenses", {debian}},
                                 {"architecture", "X86_64"},
                                 {"guestOsFeatures",
                                  features({"UEFI_COMPATIBLE", "VIRTIO_SCSI_MULTIQUEUE", "GVNIC"})}},
                                {{"project", "windows-cloud"},
                                 {"name", "windows-server-2022-dc-v20240111"},
                                 {"family", "windows-2022"},
                                 {"diskSizeGb", "50"},
                                 {"licenses", {windows}},
                                 {"architecture", "X86_64"},
                                 {"guestOsFeatures",
                                  features({"UEFI_COMPATIBLE", "VIRTIO_SCSI_MULTIQUEUE", "WINDOWS",
                                            "GVNIC"})}}})},
        {"serviceAccounts", json::array({{{"email", "backup-sa@demo-project.iam.gserviceaccount.com"},
                                          {"project", "demo-project"},
                                          {"keyFile", "backup-sa"}}})},
        {"kms", json::array({{{"project", "demo-project"},
                              {"location", "us-central1"},
                              {"keyRing", "backup-ring"},
                              {"keys", json::array({{{"name", "disk-key"}, {"protectionLevel", "SOFTWARE"}},
                                                    {{"name", "hsm-key"}, {"protectionLevel", "HSM"}}})}}})},
        {"instances",
         json::array({
             {{"project", "demo-project"},
              {"zone", "us-central1-a"},
              {"name", "backup-proxy"},
              {"machineType", "e2-standard-4"},
              {"proxy", true},
              {"labels", {{"role", "backup-proxy"}}},
              {"disks",
               json::array(
                   {{{"name", "backup-proxy"}, {"sizeGb", 20}, {"boot", true}, {"licenses", {debian}}}})}},
             {{"project", "demo-project"},
              {"zone", "us-central1-b"},
              {"name", "web-1"},
              {"machineType", "e2-standard-2"},
              {"labels", {{"app", "web"}, {"env", "prod"}}},
              {"disks",
               json::array(
                   {{{"name", "web-1"},
                     {"sizeGb", 10},
                     {"boot", true},
                     {"licenses", {debian}},
                     {"data",
                      {{"seed", 101},
                       {"chunks", chunks({{0, 32}, {1024, 16}, {5120, 8}, {10200, 8}}, scale)}}}},
                    {{"name", "web-1-data"},
                     {"sizeGb", 50},
                     {"type", "pd-ssd"},
                     {"labels", {{"tier", "data"}}},
                     {"data",
                      {{"seed", 102},
                       {"chunks",
                        chunks({{0, 64}, {2048, 32}, {10240, 32}, {30720, 16}, {51000, 16}}, scale)}}}},
                    {{"name", "web-1-logs"},
                     {"sizeGb", 20},
                     {"labels", {{"backup", "skip"}}},
                     {"data",
                      {{"seed", 103}, {"chunks", chunks({{0, 16}, {4096, 8}, {20000, 8}}, scale)}}}}})}},
             {{"project", "demo-project"},
              {"zone", "us-central1-c"},
              {"name", "win-1"},
              {"machineType", "n2-standard-4"},
              {"labels", {{"app", "erp"}, {"os", "windows"}}},
              {"disks",
               json::array({{{"name", "win-1"},
                             {"sizeGb", 50},
                             {"boot", true},
                             {"licenses", {windows}},
                             {"guestOsFeatures",
                              json::array({{{"type", "WINDOWS"}}, {{"type", "VIRTIO_SCSI_MULTIQUEUE"}}})},
                             {"data", {{"seed", 201}, {"chunks", chunks({{0, 8}, {40960, 8}}, scale)}}}}})}},
             {{"project", "demo-project"},
              {"zone", "us-central1-a"},
              {"name", "db-1"},
              {"machineType", "n2-standard-2"},
              {"labels", {{"app", "db"}}},
              {"disks",
               json::array({{{"name", "db-1"}, {"sizeGb", 10}, {"boot", true}, {"licenses", {debian}}},
                            {{"name", "db-1-data"},
                             {"sizeGb", 20},
                             {"type", "pd-ssd"},
                             {"kmsKey", key},
                             {"labels", {{"tier", "data"}}},
                             {"data", {{"seed", 301}, {"chunks", chunks({{0, 8}, {8192, 8}}, scale)}}}}})}},
             {{"project", "demo-project"},
              {"zone", "europe-west1-b"},
              {"name", "eu-app-1"},
              {"machineType", "e2-medium"},
              {"labels", {{"app", "eu"}}},
              {"disks", json::array({{{"name", "eu-app-1"},
                                      {"sizeGb", 10},
                                      {"boot", true},
                                      {"licenses", {debian}},
                                      {"data", {{"seed", 401}, {"chunks", chunks({{0, 4}}, scale)}}}}})}},
             // Shielded VM (secure boot, vTPM, integrity monitoring) on a
             // UEFI boot disk, with a gVNIC interface: a restore that loses
             // the disk's guest OS features cannot create it.
             {{"project", "demo-project"},
              {"zone", "us-central1-b"},
              {"name", "shielded-1"},
              {"machineType", "n2-standard-2"},
              {"labels", {{"app", "api"}}},
              {"metadata", json::array({{{"key", "enable-oslogin"}, {"value", "TRUE"}}})},
              {"tags", json::array({"https-server"})},
              {"nicType", "GVNIC"},
              {"shieldedInstanceConfig",
               {{"enableSecureBoot", true}, {"enableVtpm", true}, {"enableIntegrityMonitoring", true}}},
              {"disks", json::array({{{"name", "shielded-1"},
                                      {"sizeGb", 20},
                                      {"boot", true},
                                      {"licenses", {debian}},
                                      {"architecture", "X86_64"},
                                      {"guestOsFeatures",
                                       features({"UEFI_COMPATIBLE", "VIRTIO_SCSI_MULTIQUEUE", "GVNIC"})},
                                      {"data",
                                       {{"seed", 601}, {"chunks", chunks({{0, 8}, {10240, 4}}, scale)}}}}})}},
             // A small fleet for protection policies: instances labelled
             // backup=daily in both projects, one backup=weekly.
             fleetInstance("demo-project", "us-central1-c", "shop-1", "e2-small", "shop", "daily", 2, 701, scale),
             fleetInstance("demo-project", "us-central1-c", "shop-2", "e2-small", "shop", "daily", 1, 711, scale),
             fleetInstance("demo-dr", "us-central1-a", "dr-web-1", "e2-small", "web", "daily", 2, 721, scale),
             fleetInstance("demo-dr", "us-central1-a", "dr-web-2", "e2-small", "web", "daily", 1, 731, scale),
             fleetInstance("demo-dr", "us-central1-b", "dr-db-1", "e2-medium", "db", "daily", 2, 741, scale),
             fleetInstance("demo-dr", "europe-west1-b", "dr-batch-1", "e2-small", "batch", "weekly", 1, 751,
                           scale),
         })},
        {"disks",
         json::array(
             {{{"project", "demo-project"},
               {"region", "us-central1"},
               {"name", "shared-data"},
               {"sizeGb", 200},
               {"replicaZones", {"zones/us-central1-a", "zones/us-central1-b"}},
               {"labels", {{"tier", "shared"}}},
               {"data", {{"seed", 501}, {"chunks", chunks({{0, 4}}, scale)}}}},
              {{"project", "demo-project"}, {"zone", "us-central1-b"}, {"name", "spare-1"}, {"sizeGb", 5}}})},
        {"buckets", json::array()},
    };
    // Scaled up, a chunk near the end of its disk would run past it: such a
    // chunk is moved back to end with the disk, so that every amount of demo
    // data up to the advertised maximum fits.
    auto fit = [](json& disk) {
        if (!disk.contains("data")) return;
        const uint64_t diskMiB = disk.value("sizeGb", uint64_t{10}) * 1024;
        for (auto& c : disk["data"]["chunks"]) {
            const uint64_t length = std::min(c["lengthMiB"].get<uint64_t>(), diskMiB);
            c["lengthMiB"] = length;
            c["offsetMiB"] = std::min(c["offsetMiB"].get<uint64_t>(), diskMiB - length);
        }
    };
    for (auto& instance : seed["instances"])
        for (auto& disk : instance["disks"]) fit(disk);
    for (auto& disk : seed["disks"]) fit(disk);
    return seed;
}

namespace {

// The account's key from the cache directory, or a new one (stored there).
ServiceAccountKey accountKey(const std::string& cacheDir, const std::string& email) {
    if (cacheDir.empty()) return generateServiceAccountKey();
    std::string path = cacheDir + "/" + email + ".pem";
    std::ifstream in(path);
    if (in) {
        std::stringstream pem;
        pem << in.rdbuf();
        try {
            ServiceAccountKey k;
            k.key = loadPrivateKeyPem(pem.str());
            k.privateKeyPem = pem.str();
            k.keyId = base64UrlEncode(sha256(k.privateKeyPem)).substr(0, 40);
            return k;
        } catch (const std::exception&) {
            // Unreadable cache entry: fall through and replace it.
        }
    }
    ServiceAccountKey k = generateServiceAccountKey();
    std::error_code ec;
    std::filesystem::create_directories(cacheDir, ec);
    // Write under a unique name and rename, so concurrent emulators never
    // see a half-written key.
    std::string tmp = path + ".tmp-" + randomHex(6);
    writeFile(tmp, k.privateKeyPem, 0600);
    std::filesystem::rename(tmp, path, ec);
    if (ec) std::filesystem::remove(tmp, ec);
    return k;
}

}  // namespace

void applySeed(World& w, const json& seed, const std::string& keyCacheDir) {
    std::lock_guard<std::mutex> lock(w.mu);
    uint64_t n = 1000;
    for (auto& p : seed.value("projects", json::array())) {
        Project proj;
        proj.id = p.at("id").get<std::string>();
        proj.number = p.value("number", std::to_string(100000000000ull + ++n));
        proj.name = p.value("name", proj.id);
        proj.labels = p.value("labels", json::object());
        w.projects[proj.id] = proj;
    }
    for (auto& r : seed.value("regions", json::array())) {
        std::string name = r.at("name");
        w.regions[name] = {{"kind", "compute#region"},
                           {"id", std::to_string(1000 + ++n)},
                           {"name", name},
                           {"description", name},
                           {"status", "UP"},
                           {"quotas", json::array()},
                           {"creationTimestamp", "1969-12-31T16:00:00.000-08:00"}};
        for (auto& z : r.at("zones")) {
            std::string zn = z.get<std::string>();
            w.zones[zn] = {{"kind", "compute#zone"},
                           {"id", std::to_string(2000 + ++n)},
                           {"name", zn},
                           {"description", zn},
                           {"status", "UP"},
                           {"region", "regions/" + name},
                           {"availableCpuPlatforms", {"Intel Cascade Lake", "AMD Milan"}},
                           {"creationTimestamp", "1969-12-31T16:00:00.000-08:00"}};
        }
    }
    // Every project has the auto-mode network "default", with a subnetwork
    // "default" in each region, as a new project in the cloud does; a seed
    // may add networks of its own.
    json networks = json::array();
    uint64_t networkIds = 0;  // its own count: no other seeded id depends on the networks
    for (auto& [id, proj] : w.projects) networks.push_back({{"project", id}, {"name", "default"}});
    for (auto& net : seed.value("networks", json::array())) networks.push_back(net);
    for (auto& net : networks) {
        std::string project = net.at("project");
        if (!w.projects.count(project)) throw std::runtime_error("seed: unknown project " + project);
        std::string key = "projects/" + project + "/global/networks/" + net.at("name").get<std::string>();
        json subnets = net.value("subnetworks", json::array());
        const bool autoMode = !net.contains("subnetworks");
        if (autoMode) {
            // The ranges the cloud gives auto-mode subnetworks where it has
            // one; any other region one of its own.
            static const std::map<std::string, int> kAutoRanges = {{"us-central1", 128},
                                                                   {"europe-west1", 132}};
            int other = 200;
            for (auto& [region, r] : w.regions) {
                const auto known = kAutoRanges.find(region);
                const int second = known != kAutoRanges.end() ? known->second : (other += 4);
                subnets.push_back({{"region", region},
                                   {"name", net.at("name")},
                                   {"ipCidrRange", "10." + std::to_string(second) + ".0.0/20"}});
            }
        }
        json links = json::array();
        for (auto& sub : subnets) {
            std::string region = sub.at("region");
            if (!w.regions.count(region)) throw std::runtime_error("seed: unknown region " + region);
            std::string skey = "projects/" + project + "/regions/" + region + "/subnetworks/" +
                               sub.at("name").get<std::string>();
            std::string cidr = sub.value("ipCidrRange", "10.0.0.0/20");
            w.subnetworks[skey] = {{"kind", "compute#subnetwork"},
                                   {"id", std::to_string(8000 + ++networkIds)},
                                   {"name", sub.at("name")},
                                   {"network", computeLink(key)},
                                   {"region", computeLink("projects/" + project + "/regions/" + region)},
                                   {"ipCidrRange", cidr},
                                   {"gatewayAddress", cidr.substr(0, cidr.rfind('.')) + ".1"},
                                   {"stackType", "IPV4_ONLY"},
                                   {"selfLink", computeLink(skey)},
                                   {"creationTimestamp", "2023-01-01T00:00:00.000-08:00"}};
            links.push_back(computeLink(skey));
        }
        w.networks[key] = {{"kind", "compute#network"},
                           {"id", std::to_string(7000 + ++networkIds)},
                           {"name", net.at("name")},
                           {"autoCreateSubnetworks", autoMode},
                           {"subnetworks", links},
                           {"routingConfig", {{"routingMode", "REGIONAL"}}},
                           {"networkFirewallPolicyEnforcementOrder", "AFTER_CLASSIC_FIREWALL"},
                           {"selfLink", computeLink(key)},
                           {"creationTimestamp", "2023-01-01T00:00:00.000-08:00"}};
    }
    for (auto& mt : seed.value("machineTypes", json::array())) {
        std::set<std::string> except;
        for (auto& e : mt.value("exceptZones", json::array())) except.insert(e.get<std::string>());
        std::set<std::string> only;
        for (auto& e : mt.value("zones", json::array())) only.insert(e.get<std::string>());
        for (auto& [zn, z] : w.zones) {
            if (except.count(zn) || (!only.empty() && !only.count(zn))) continue;
            json item = {{"kind", "compute#machineType"},
                         {"id", std::to_string(3000 + ++n)},
                         {"name", mt.at("name")},
                         {"description", mt.value("description", mt.at("name").get<std::string>())},
                         {"guestCpus", mt.value("guestCpus", 2)},
                         {"memoryMb", mt.value("memoryMb", 4096)},
                         {"imageSpaceGb", 0},
                         {"isSharedCpu", mt.value("isSharedCpu", false)},
                         {"maximumPersistentDisks", mt.value("maximumPersistentDisks", 128)},
                         {"maximumPersistentDisksSizeGb", "263168"},
                         {"creationTimestamp", "1969-12-31T16:00:00.000-08:00"}};
            w.machineTypes[zn + "/" + mt.at("name").get<std::string>()] = item;
        }
    }
    for (auto& l : seed.value("licenses", json::array())) {
        std::string project = l.at("project");
        std::string key = "projects/" + project + "/global/licenses/" + l.at("name").get<std::string>();
        if (!w.projects.count(project)) w.imageProjects.insert(project);
        w.licenses[key] = {
            {"kind", "compute#license"},    {"id", std::to_string(4000 + ++n)},
            {"name", l.at("name")},         {"licenseCode", l.value("code", std::to_string(5000 + n))},
            {"chargesUseFee", false},       {"transferable", true},
            {"selfLink", computeLink(key)}, {"creationTimestamp", "2023-01-01T00:00:00.000-08:00"}};
    }
    for (auto& im : seed.value("images", json::array())) {
        std::string project = im.at("project");
        std::string key = "projects/" + project + "/global/images/" + im.at("name").get<std::string>();
        if (!w.projects.count(project)) w.imageProjects.insert(project);
        json item = im;
        item.erase("project");
        item["kind"] = "compute#image";
        item["id"] = std::to_string(6000 + ++n);
        item["status"] = "READY";
        item["selfLink"] = computeLink(key);
        item["diskSizeGb"] = im.value("diskSizeGb", "10");
        if (item.contains("licenses")) {
            for (auto& li : item["licenses"]) li = computeLink(normalizeRef(li.get<std::string>(), project));
        }
        w.images[key] = item;
    }
    for (auto& k : seed.value("kms", json::array())) {
        std::string ring = "projects/" + k.at("project").get<std::string>() + "/locations/" +
                           k.at("location").get<std::string>() + "/keyRings/" +
                           k.at("keyRing").get<std::string>();
        w.keyRings[ring] = {{"name", ring}, {"createTime", nowTimestamp()}};
        for (auto& key : k.value("keys", json::array())) {
            std::string name = ring + "/cryptoKeys/" + key.at("name").get<std::string>();
            std::string protection = key.value("protectionLevel", "SOFTWARE");
            json version = {
                {"name", name + "/cryptoKeyVersions/1"}, {"state", key.value("state", "ENABLED")},
                {"protectionLevel", protection},         {"algorithm", "GOOGLE_SYMMETRIC_ENCRYPTION"},
                {"createTime", nowTimestamp()},          {"generateTime", nowTimestamp()}};
            CryptoKey ck;
            ck.versions.push_back(version);
            ck.res = {{"name", name},
                      {"purpose", "ENCRYPT_DECRYPT"},
                      {"createTime", nowTimestamp()},
                      {"primary", version},
                      {"versionTemplate",
                       {{"protectionLevel", protection}, {"algorithm", "GOOGLE_SYMMETRIC_ENCRYPTION"}}},
                      {"destroyScheduledDuration", "2592000s"},
                      {"labels", key.value("labels", json::object())}};
            w.cryptoKeys[name] = ck;
        }
    }
    bool firstAccount = true;
    for (auto& sa : seed.value("serviceAccounts", json::array())) {
        std::string email = sa.at("email");
        std::string project =
            sa.value("project", email.substr(email.find('@') + 1, email.find('.') - email.find('@') - 1));
        std::string base = w.stateDir + "/" + sa.value("keyFile", email.substr(0, email.find('@')));
        ServiceAccountKey key = accountKey(keyCacheDir, email);
        writePkcs12(base + ".p12", key, email, "notasecret");
        json keyFile = {
            {"type", "service_account"},
            {"project_id", project},
            {"private_key_id", key.keyId},
            {"private_key", key.privateKeyPem},
            {"client_email", email},
            {"client_id", std::to_string(104857600000000000ull + ++n)},
            {"auth_uri", "https://accounts.google.com/o/oauth2/auth"},
            {"token_uri", w.baseUrl + "/token"},
            {"auth_provider_x509_cert_url", "https://www.googleapis.com/oauth2/v1/certs"},
            {"client_x509_cert_url", "https://www.googleapis.com/robot/v1/metadata/x509/" + email},
            {"universe_domain", "googleapis.com"}};
        writeFile(base + ".json", keyFile.dump(2) + "\n", 0600);
        if (firstAccount) writeFile(w.stateDir + "/credential.txt", base + ".p12|" + email + "\n", 0600);
        firstAccount = false;
        w.serviceAccounts[email] = ServiceAccount{email, project, key.key};
    }
    for (auto& in : seed.value("instances", json::array())) {
        std::string project = in.at("project"), zone = in.at("zone"), name = in.at("name");
        if (!w.projects.count(project)) throw std::runtime_error("seed: unknown project " + project);
        if (!w.zones.count(zone)) throw std::runtime_error("seed: unknown zone " + zone);
        std::string key = "projects/" + project + "/zones/" + zone + "/instances/" + name;
        std::string mt = in.value("machineType", "e2-standard-2");
        Instance inst;
        inst.project = project;
        inst.zone = zone;
        inst.created = Clock::now() - std::chrono::hours(24);
        uint64_t id = w.newId();
        json labels = in.value("labels", json::object());
        std::string region = w.zones[zone]["region"].get<std::string>().substr(8);  // "regions/R"
        std::string saEmail =
            w.serviceAccounts.empty() ? std::string("default") : w.serviceAccounts.begin()->first;
        json& r = inst.res;
        r["kind"] = "compute#instance";
        r["id"] = std::to_string(id);
        r["name"] = name;
        r["zone"] = computeLink("projects/" + project + "/zones/" + zone);
        r["machineType"] = computeLink("projects/" + project + "/zones/" + zone + "/machineTypes/" + mt);
        r["status"] = in.value("status", "RUNNING");
        r["creationTimestamp"] = nowTimestamp();
        r["selfLink"] = computeLink(key);
        r["labels"] = labels;
        r["labelFingerprint"] = labelFingerprint(labels);
        r["fingerprint"] = base64Encode(sha256(std::to_string(id)).substr(0, 8));
        r["disks"] = json::array();
        r["cpuPlatform"] = "Intel Cascade Lake";
        json nic;
        nic["kind"] = "compute#networkInterface";
        nic["name"] = "nic0";
        nic["network"] = computeLink("projects/" + project + "/global/networks/default");
        nic["subnetwork"] =
            computeLink("projects/" + project + "/regions/" + region + "/subnetworks/default");
        nic["networkIP"] = "10.128.0." + std::to_string(2 + w.instances.size());
        if (in.contains("nicType")) nic["nicType"] = in["nicType"];
        r["networkInterfaces"] = json::array({nic});
        for (const char* f : {"shieldedInstanceConfig", "confidentialInstanceConfig"})
            if (in.contains(f)) r[f] = in[f];
        json sa;
        sa["email"] = saEmail;
        sa["scopes"] = json::array({"https://www.googleapis.com/auth/cloud-platform"});
        r["serviceAccounts"] = json::array({sa});
        r["scheduling"] = {
            {"onHostMaintenance", "MIGRATE"}, {"automaticRestart", true}, {"preemptible", false}};
        r["metadata"]["kind"] = "compute#metadata";
        r["metadata"]["fingerprint"] = "42WmSpB8rSM=";
        r["metadata"]["items"] = in.value("metadata", json::array());
        r["tags"]["items"] = in.value("tags", json::array());
        r["tags"]["fingerprint"] = "42WmSpB8rSM=";
        r["deletionProtection"] = false;
        w.instances[key] = inst;
        if (in.value("proxy", false)) w.proxyKey = key;
        for (auto& ds : in.value("disks", json::array())) {
            std::string dk = makeDisk(w, project, zone, "", ds);
            json ad = {{"deviceName", ds.value("deviceName", ds.at("name").get<std::string>())},
                       {"boot", ds.value("boot", false)},
                       {"autoDelete", ds.value("autoDelete", ds.value("boot", false))},
                       {"mode", ds.value("mode", "READ_WRITE")}};
            seedAttach(w, key, dk, ad);
        }
    }
    for (auto& ds : seed.value("disks", json::array())) {
        std::string project = ds.at("project");
        if (!w.projects.count(project)) throw std::runtime_error("seed: unknown project " + project);
        makeDisk(w, project, ds.value("zone", ""), ds.value("region", ""), ds);
    }
    for (auto& b : seed.value("buckets", json::array())) {
        Bucket bucket;
        bucket.project = b.at("project");
        std::string name = b.at("name");
        bucket.res = {{"kind", "storage#bucket"},
                      {"id", name},
                      {"name", name},
                      {"location", b.value("location", "US")},
                      {"storageClass", "STANDARD"},
                      {"timeCreated", nowTimestamp()},
                      {"updated", nowTimestamp()},
                      {"metageneration", "1"},
                      {"selfLink", "https://www.googleapis.com/storage/v1/b/" + name}};
        w.buckets[name] = bucket;
    }
    if (seed.contains("proxy")) w.proxyKey = normalizeRef(seed["proxy"].get<std::string>(), "");
}

}  // namespace gce::emu
