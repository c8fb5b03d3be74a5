#include "cli/Store.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <type_traits>

#include "cli/DataPath.h"
#include "plugin/host/VMCleaner.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace gcebackup {

namespace {

constexpr const char* kManifestName = "manifest.json";

std::string Errno(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

void SyncPath(const std::string& path, bool directory) {
    int fd = ::open(path.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

bool IsHex64(const std::string& s) {
    return s.size() == 64 && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// Field readers that name what is wrong.
template <typename T>
T Get(const json& j, const char* key, const std::string& where) {
    auto it = j.find(key);
    if (it == j.end()) throw StoreError("manifest: " + where + "\"" + key + "\" is missing");
    const auto wrongType = [&] {
        return StoreError("manifest: " + where + "\"" + key + "\" has the wrong type");
    };
    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
        // get<> of an integer type converts any number, a fraction or an
        // out-of-range double even with undefined behaviour: demand a JSON
        // integer that fits.
        if (!it->is_number_integer()) throw wrongType();
        bool fits;
        if (it->is_number_unsigned()) {
            fits = it->template get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<T>::max());
        } else {
            const int64_t v = it->template get<int64_t>();
            fits = v >= 0 ? static_cast<uint64_t>(v) <= static_cast<uint64_t>(std::numeric_limits<T>::max())
                          : std::is_signed_v<T> && v >= static_cast<int64_t>(std::numeric_limits<T>::min());
        }
        if (!fits) throw StoreError("manifest: " + where + "\"" + key + "\" is out of range");
    }
    try {
        return it->template get<T>();
    } catch (const json::exception&) {
        throw wrongType();
    }
}

template <typename T>
T GetOr(const json& j, const char* key, const std::string& where, T def) {
    if (!j.contains(key) || j.at(key).is_null()) return def;
    return Get<T>(j, key, where);
}

}  // namespace

void WriteFileSynced(const std::string& path, const std::string& content) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw StoreError(Errno("cannot create", path));
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::string msg = Errno("cannot write", path);
            ::close(fd);
            throw StoreError(msg);
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        std::string msg = Errno("cannot sync", path);
        ::close(fd);
        throw StoreError(msg);
    }
    ::close(fd);
}

// The totals stop at the largest value rather than wrap around.
uint64_t Manifest::TotalSize() const {
    uint64_t n = 0;
    for (const auto& d : disks) n = d.sizeBytes > UINT64_MAX - n ? UINT64_MAX : n + d.sizeBytes;
    return n;
}

uint64_t Manifest::TotalData() const {
    uint64_t n = 0;
    for (const auto& d : disks) n = d.dataBytes > UINT64_MAX - n ? UINT64_MAX : n + d.dataBytes;
    return n;
}

std::string ManifestToJson(const Manifest& m) {
    json j;
    j["format"] = m.format;
    j["backupId"] = m.backupId;
    j["instance"] = m.instance;
    j["instanceId"] = m.instanceId;
    j["project"] = m.project;
    j["zone"] = m.zone;
    j["machineType"] = m.machineType;
    j["guestOS"] = m.guestOS;
    j["time"] = m.time;
    j["jobId"] = m.jobId;
    j["appConsistent"] = m.appConsistent;
    j["crashConsistentFallback"] = m.crashConsistentFallback;
    j["digest"] = {{"algorithm", "sha256-block-list"}, {"blockSize", m.digestBlockSize}};
    j["disks"] = json::array();
    for (const auto& d : m.disks) {
        j["disks"].push_back({{"name", d.name},
                              {"id", d.id},
                              {"file", d.file},
                              {"sizeBytes", d.sizeBytes},
                              {"dataBytes", d.dataBytes},
                              {"sha256", d.sha256},
                              {"boot", d.boot},
                              {"encrypted", d.encrypted},
                              {"encryptionKey", d.encryptionKey},
                              {"type", d.type},
                              {"zone", d.zone},
                              {"locationUri", d.locationUri},
                              {"replicaZones", d.replicaZones},
                              {"labels", d.labels},
                              {"resource", d.resourceJson}});
    }
    j["files"] = json::array();
    for (const auto& f : m.files)
        j["files"].push_back({{"name", f.name}, {"sizeBytes", f.sizeBytes}, {"sha256", f.sha256}});
    j["excludedDisks"] = m.excludedDisks;
    j["warnings"] = m.warnings;
    return j.dump(2) + "\n";
}

Manifest ManifestFromJson(const std::string& text) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::exception& e) {
        throw StoreError(std::string("manifest is not valid JSON: ") + e.what());
    }
    if (!j.is_object()) throw StoreError("manifest is not a JSON object");
    Manifest m;
    m.format = Get<int>(j, "format", "");
    // Format 1: disks are raw images; format 2: disks are chunk indexes of a
    // repository (cli/repo/).
    if (m.format != 1 && m.format != 2)
        throw StoreError("manifest format " + std::to_string(m.format) + " is not supported");
    m.backupId = Get<std::string>(j, "backupId", "");
    m.instance = Get<std::string>(j, "instance", "");
    m.instanceId = GetOr<std::string>(j, "instanceId", "", "");
    m.project = Get<std::string>(j, "project", "");
    m.zone = Get<std::string>(j, "zone", "");
    m.machineType = GetOr<std::string>(j, "machineType", "", "");
    m.guestOS = GetOr<std::string>(j, "guestOS", "", "");
    m.time = Get<std::string>(j, "time", "");
    m.jobId = Get<int64_t>(j, "jobId", "");
    m.appConsistent = GetOr<bool>(j, "appConsistent", "", false);
    m.crashConsistentFallback = GetOr<bool>(j, "crashConsistentFallback", "", false);
    json digest = Get<json>(j, "digest", "");
    if (GetOr<std::string>(digest, "algorithm", "digest: ", "") != "sha256-block-list")
        throw StoreError("manifest: digest algorithm is not supported");
    m.digestBlockSize = Get<uint64_t>(digest, "blockSize", "digest: ");
    if (m.digestBlockSize != kBlockSize)
        throw StoreError("manifest: digest block size " + std::to_string(m.digestBlockSize) +
                         " is not supported");
    if (m.instance.empty()) throw StoreError("manifest: \"instance\" is empty");

    json disks = Get<json>(j, "disks", "");
    if (!disks.is_array()) throw StoreError("manifest: \"disks\" is not a list");
    for (size_t i = 0; i < disks.size(); ++i) {
        const json& d = disks[i];
        std::string where = "disk " + std::to_string(i) + ": ";
        if (!d.is_object()) throw StoreError("manifest: " + where + "not an object");
        DiskRecord r;
        r.name = Get<std::string>(d, "name", where);
        r.id = GetOr<std::string>(d, "id", where, "");
        r.file = Get<std::string>(d, "file", where);
        r.sizeBytes = Get<uint64_t>(d, "sizeBytes", where);
        r.dataBytes = Get<uint64_t>(d, "dataBytes", where);
        r.sha256 = Get<std::string>(d, "sha256", where);
        r.boot = GetOr<bool>(d, "boot", where, false);
        r.encrypted = GetOr<bool>(d, "encrypted", where, false);
        r.encryptionKey = GetOr<std::string>(d, "encryptionKey", where, "");
        r.type = GetOr<std::string>(d, "type", where, "");
        r.zone = GetOr<std::string>(d, "zone", where, "");
        r.locationUri = GetOr<std::string>(d, "locationUri", where, "");
        r.replicaZones = GetOr<std::vector<std::string>>(d, "replicaZones", where, {});
        r.labels = GetOr<std::map<std::string, std::string>>(d, "labels", where, {});
        r.resourceJson = GetOr<std::string>(d, "resource", where, "");
        if (r.name.empty()) throw StoreError("manifest: " + where + "\"name\" is empty");
        if (!IsHex64(r.sha256)) throw StoreError("manifest: " + where + "\"sha256\" is not a SHA-256");
        if (r.dataBytes > r.sizeBytes) throw StoreError("manifest: " + where + "more data than size");
        // The image must lie in disks/ of this backup: no way out of the directory.
        if (r.file.rfind("disks/", 0) != 0 || !IsSafeFileName(r.file.substr(6)))
            throw StoreError("manifest: " + where + "image path \"" + r.file + "\" is not allowed");
        m.disks.push_back(std::move(r));
    }
    json files = GetOr<json>(j, "files", "", json::array());
    if (!files.is_array()) throw StoreError("manifest: \"files\" is not a list");
    for (size_t i = 0; i < files.size(); ++i) {
        std::string where = "file " + std::to_string(i) + ": ";
        FileRecord f;
        f.name = Get<std::string>(files[i], "name", where);
        f.sizeBytes = Get<uint64_t>(files[i], "sizeBytes", where);
        f.sha256 = Get<std::string>(files[i], "sha256", where);
        if (!IsSafeFileName(f.name))
            throw StoreError("manifest: " + where + "file name \"" + f.name + "\" is not allowed");
        if (!IsHex64(f.sha256)) throw StoreError("manifest: " + where + "\"sha256\" is not a SHA-256");
        m.files.push_back(std::move(f));
    }
    m.excludedDisks = GetOr<std::vector<std::string>>(j, "excludedDisks", "", {});
    m.warnings = GetOr<std::vector<std::string>>(j, "warnings", "", {});
    return m;
}

bool IsSafeFileName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return false;
    return true;
}

std::string SafeFileName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == '_' || c == '.';
        out.push_back(ok ? static_cast<char>(c) : '_');
    }
    if (out.size() > 180) out.resize(180);
    if (out.empty() || out[0] == '.') out.insert(out.begin(), '_');
    return out;
}

std::string MakeBackupId(int64_t unixTime, int64_t jobId) {
    std::time_t t = static_cast<std::time_t>(unixTime);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
    return std::string(buf) + "-" + std::to_string(jobId);
}

std::string Rfc3339(int64_t unixTime) {
    std::time_t t = static_cast<std::time_t>(unixTime);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

BackupWriter::BackupWriter(const std::string& storeRoot, const std::string& instance,
                           const std::string& backupId) {
    if (!IsSafeFileName(instance) || !IsSafeFileName(backupId))
        throw StoreError("instance name \"" + instance + "\" cannot name a store directory");
    std::string instanceDir = storeRoot + "/" + instance;
    m_partial = PartialDirFor(storeRoot, instance, backupId);
    m_final = instanceDir + "/" + backupId;
    std::error_code ec;
    fs::create_directories(instanceDir, ec);
    if (ec) throw StoreError("cannot create " + instanceDir + ": " + ec.message());
    if (fs::exists(m_final, ec)) throw StoreError("backup " + m_final + " exists already");
    if (::mkdir(m_partial.c_str(), 0700) != 0) throw StoreError(Errno("cannot create", m_partial));
    if (::mkdir((m_partial + "/disks").c_str(), 0700) != 0 ||
        ::mkdir((m_partial + "/config").c_str(), 0700) != 0) {
        std::string msg = Errno("cannot create directories in", m_partial);
        RemoveTree(m_partial);
        throw StoreError(msg);
    }
}

std::string BackupWriter::PartialDirFor(const std::string& storeRoot, const std::string& instance,
                                        const std::string& backupId) {
    return storeRoot + "/" + instance + "/." + backupId + ".partial";
}

BackupWriter::~BackupWriter() {
    if (!m_done) Abort();
}

std::string BackupWriter::NewImagePath(const std::string& diskName, const std::string& suffix) {
    std::string base = SafeFileName(diskName);
    std::string candidate = base;
    for (int n = 2; std::find(m_usedImages.begin(), m_usedImages.end(), candidate) != m_usedImages.end(); ++n)
        candidate = base + "-" + std::to_string(n);
    m_usedImages.push_back(candidate);
    return "disks/" + candidate + suffix;
}

FileRecord BackupWriter::AddConfigFile(const std::string& sourcePath) {
    FileRecord f;
    f.name = fs::path(sourcePath).filename().string();
    if (!IsSafeFileName(f.name))
        throw StoreError("configuration file name \"" + f.name + "\" is not allowed");
    std::string dst = m_partial + "/config/" + f.name;
    std::ifstream in(sourcePath, std::ios::binary);
    if (!in) throw StoreError(Errno("cannot read", sourcePath));
    std::stringstream ss;
    ss << in.rdbuf();
    std::string content = ss.str();
    f.sizeBytes = content.size();
    if (auto seal = BackupSealOf(m_partial)) {
        f.sha256 = HexSha256(content);
        WriteFileSynced(dst, seal->Seal(m_partial, "config/" + f.name, content));
        return f;
    }
    WriteFileSynced(dst, content);
    f.sha256 = FileSha256(dst);
    return f;
}

void BackupWriter::Commit(const Manifest& manifest) {
    std::string text = ManifestToJson(manifest);
    if (auto seal = BackupSealOf(m_partial)) text = seal->Seal(m_partial, kManifestName, text);
    WriteFileSynced(m_partial + "/" + kManifestName, text);
    SyncPath(m_partial + "/disks", true);
    SyncPath(m_partial + "/config", true);
    SyncPath(m_partial, true);
    if (::rename(m_partial.c_str(), m_final.c_str()) != 0)
        throw StoreError(Errno("cannot rename", m_partial));
    SyncPath(fs::path(m_final).parent_path().string(), true);
    m_done = true;
}

void BackupWriter::Abort() {
    RemoveTree(m_partial);
    m_done = true;
}

std::vector<std::string> ListBackups(const std::string& storeRoot, const std::string& instance) {
    std::vector<std::string> ids;
    std::error_code ec;
    fs::path dir = fs::path(storeRoot) / instance;
    if (!IsSafeFileName(instance) || !fs::is_directory(dir, ec)) return ids;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        if (fs::exists(entry.path() / kManifestName, ec)) ids.push_back(name);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::string ResolveBackupDir(const std::string& storeRoot, const std::string& instance,
                             const std::string& backupId) {
    std::error_code ec;
    if (fs::exists(fs::path(storeRoot) / kManifestName, ec)) return storeRoot;
    if (!fs::is_directory(storeRoot, ec)) throw StoreError("store " + storeRoot + " does not exist");
    if (instance.empty()) throw StoreError("store " + storeRoot + ": name the instance to restore");
    if (!backupId.empty()) {
        if (!IsSafeFileName(backupId)) throw StoreError("backup id \"" + backupId + "\" is not valid");
        std::string dir = storeRoot + "/" + instance + "/" + backupId;
        if (!fs::exists(fs::path(dir) / kManifestName, ec))
            throw StoreError("no backup " + backupId + " of instance " + instance + " in " + storeRoot);
        return dir;
    }
    auto ids = ListBackups(storeRoot, instance);
    if (ids.empty()) throw StoreError("no backup of instance " + instance + " in " + storeRoot);
    // Instances of one name in two projects or zones share the name's
    // folder: its newest backup may be the other instance's, so the choice
    // is asked for rather than made.
    std::map<std::string, std::string> newestBySource;
    for (const auto& id : ids) {
        try {
            const Manifest m = LoadManifest(storeRoot + "/" + instance + "/" + id);
            newestBySource[m.project + "/" + m.zone] = id;
        } catch (const StoreError&) {
            // An unreadable manifest is reported when its backup is chosen.
        }
    }
    if (newestBySource.size() > 1) {
        std::string sources;
        for (const auto& [source, id] : newestBySource)
            sources += (sources.empty() ? "" : ", ") + source + " (newest " + id + ")";
        throw StoreError("backups of " + std::to_string(newestBySource.size()) + " instances named " +
                         instance + " in " + storeRoot + ": " + sources + "; name one with --backup ID");
    }
    return storeRoot + "/" + instance + "/" + ids.back();
}

int OpenBackupFile(const std::string& backupDir, const std::string& relative, const std::string& what) {
    const std::string path = backupDir + "/" + relative;
    // Looked at before it is opened: opening a FIFO waits for a writer, and
    // opening a device may act on it.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) throw StoreError(what + " " + path + " is missing: " + std::strerror(errno));
        throw StoreError(Errno("cannot read", path));
    }
    if (!S_ISREG(st.st_mode)) throw StoreError(what + " " + path + " is not a regular file");
    // O_NONBLOCK: should the file be swapped for a FIFO in between, the open
    // does not wait; the fstat below refuses it.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) throw StoreError(Errno("cannot read", path));
    std::string fault;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fault = what + " " + path + " is not a regular file";
    } else {
        // Where the opened file really is, against where the backup is.
        std::error_code ec;
        const fs::path dir = fs::canonical(backupDir, ec);
        fs::path real = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
        if (ec) real = fs::canonical(path, ec);
        const std::string inside = dir.string() + "/";
        if (ec || dir.empty() || real.string().compare(0, inside.size(), inside) != 0)
            fault = what + " " + path + " lies outside the backup directory";
    }
    if (fault.empty() && ::fcntl(fd, F_SETFL, 0) != 0) fault = Errno("cannot read", path);
    if (!fault.empty()) {
        ::close(fd);
        throw StoreError(fault);
    }
    return fd;
}

namespace {

BackupSealFinder& SealFinder() {
    static BackupSealFinder finder;
    return finder;
}

}  // namespace

void SetBackupSealFinder(BackupSealFinder finder) {
    SealFinder() = std::move(finder);
}

std::shared_ptr<const BackupFileSeal> BackupSealOf(const std::string& backupDir) {
    return SealFinder() ? SealFinder()(backupDir) : nullptr;
}

std::string ReadBackupFile(const std::string& backupDir, const std::string& relative, const std::string& what,
                           uint64_t limit) {
    std::string path = backupDir + "/" + relative;
    // The seal is found first: a repository whose key is missing or wrong is
    // refused before any file of it is read.
    auto seal = BackupSealOf(backupDir);
    int fd = OpenBackupFile(backupDir, relative, what);
    std::string text;
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            std::string msg = Errno("cannot read", path);
            ::close(fd);
            throw StoreError(msg);
        }
        if (n == 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > limit) {
            ::close(fd);
            throw StoreError(path + " is larger than " + std::to_string(limit >> 20) + " MiB; not a " + what +
                             " of this program");
        }
    }
    ::close(fd);
    if (!seal) return text;
    try {
        return seal->Open(backupDir, relative, text);
    } catch (const StoreError& e) {
        throw StoreError(what + " " + path + " cannot be read: " + e.what());
    }
}

Manifest LoadManifest(const std::string& backupDir) {
    std::string path = backupDir + "/" + kManifestName;
    std::string text = ReadBackupFile(backupDir, kManifestName, "manifest", kMaxManifestBytes);
    try {
        return ManifestFromJson(text);
    } catch (const StoreError& e) {
        throw StoreError(path + ": " + e.what());
    }
}

void CheckRestorable(const Manifest& m, bool instanceToBeMade) {
    if (m.disks.empty()) throw StoreError("backup " + m.backupId + " holds no disk: nothing to restore");
    std::set<std::string> names, files;
    size_t boot = 0;
    for (const auto& d : m.disks) {
        if (!names.insert(d.name).second)
            throw StoreError("backup " + m.backupId + " lists disk " + d.name + " twice");
        if (!files.insert(d.file).second)
            throw StoreError("backup " + m.backupId + " lists image " + d.file + " for two disks");
        if (d.boot) ++boot;
    }
    if (boot > 1)
        throw StoreError("backup " + m.backupId + " has " + std::to_string(boot) +
                         " boot disks; an instance has one");
    if (boot == 0 || !instanceToBeMade) return;
    const std::string config = m.instance + "_InstanceConfig.json";
    for (const auto& f : m.files)
        if (f.name == config) return;
    throw StoreError("backup " + m.backupId + " has no instance configuration file config/" + config);
}

namespace {

void CheckConfigurationFiles(const std::string& backupDir, const Manifest& m) {
    for (const auto& f : m.files) {
        std::string path = backupDir + "/config/" + f.name;
        std::string sum = FdSha256(OpenBackupFile(backupDir, "config/" + f.name, "configuration file"), path);
        if (sum != f.sha256)
            throw StoreError("configuration file " + path + " does not match the manifest (SHA-256 " + sum +
                             ", expected " + f.sha256 + ")");
    }
}

}  // namespace

void VerifyBackup(const std::string& backupDir, const Manifest& m,
                  const std::function<void(const std::string&, uint64_t, uint64_t)>& progress) {
    CheckRestorable(m, true);
    for (const auto& d : m.disks) {
        std::string path = backupDir + "/" + d.file;
        int fd = OpenBackupFile(backupDir, d.file, "disk image");
        try {
            uint64_t size = DeviceSize(fd, path);
            if (size != d.sizeBytes)
                throw StoreError("disk image " + path + " has " + std::to_string(size) +
                                 " bytes, the manifest says " + std::to_string(d.sizeBytes));
            CopyOptions o;
            o.size = size;
            o.dryRun = true;
            o.sourceName = path;
            if (progress) o.progress = [&](uint64_t done, uint64_t) { progress(d.name, done, d.sizeBytes); };
            CopyResult r = CopyDisk(fd, -1, o);
            if (r.sha256 != d.sha256)
                throw StoreError("disk image " + path + " does not match the manifest (SHA-256 " + r.sha256 +
                                 ", expected " + d.sha256 + ")");
        } catch (const DataPathError& e) {
            ::close(fd);
            throw StoreError(e.what());
        } catch (...) {
            ::close(fd);
            throw;
        }
        ::close(fd);
    }
    CheckConfigurationFiles(backupDir, m);
}

void CheckBackupFiles(const std::string& backupDir, const Manifest& m) {
    for (const auto& d : m.disks) {
        const std::string path = backupDir + "/" + d.file;
        const int fd = OpenBackupFile(backupDir, d.file, "disk image");
        uint64_t size = 0;
        try {
            size = DeviceSize(fd, path);
        } catch (const DataPathError& e) {
            ::close(fd);
            throw StoreError(e.what());
        }
        ::close(fd);
        if (size != d.sizeBytes)
            throw StoreError("disk image " + path + " has " + std::to_string(size) +
                             " bytes, the manifest says " + std::to_string(d.sizeBytes));
    }
    CheckConfigurationFiles(backupDir, m);
}

std::string FileSha256(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw StoreError("cannot read " + path + ": " + std::strerror(errno));
    return FdSha256(fd, path);
}

std::string FdSha256(int fd, const std::string& path) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
    std::vector<char> buf(1 << 16);
    for (;;) {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            std::string msg = Errno("cannot read", path);
            EVP_MD_CTX_free(ctx);
            ::close(fd);
            throw StoreError(msg);
        }
        if (n == 0) break;
        EVP_DigestUpdate(ctx, buf.data(), static_cast<size_t>(n));
    }
    ::close(fd);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx, md, &len);
    EVP_MD_CTX_free(ctx);
    static const char* kHex = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) {
        hex.push_back(kHex[md[i] >> 4]);
        hex.push_back(kHex[md[i] & 15]);
    }
    return hex;
}

std::string HexSha256(const std::string& content) {
    unsigned char md[32];
    Sha256(content.data(), content.size(), md);
    static const char* kHex = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : md) {
        hex.push_back(kHex[c >> 4]);
        hex.push_back(kHex[c & 15]);
    }
    return hex;
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

namespace {

std::string PartialRecordDir(const std::string& stateDir) {
    return stateDir + "/partial-backups";
}

}  // namespace

PartialBackupRecord::PartialBackupRecord(const std::string& stateDir, int64_t jobId,
                                         const std::string& partialDir) {
    const std::string dir = PartialRecordDir(stateDir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw StoreError("cannot create " + dir + ": " + ec.message());
    const VMCleaner::Owner self = VMCleaner::SelfOwner();
    const json entry = {{"dir", fs::absolute(partialDir, ec).lexically_normal().string()},
                        {"pid", self.pid},
                        {"start", self.startTime}};
    m_path = dir + "/" + std::to_string(jobId);
    WriteFileSynced(m_path, entry.dump() + "\n");
}

PartialBackupRecord::~PartialBackupRecord() {
    ::unlink(m_path.c_str());
}

std::vector<std::string> RemoveDeadPartialBackups(const std::string& stateDir) {
    std::vector<std::string> removed;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(PartialRecordDir(stateDir), ec)) {
        const std::string record = e.path().string();
        json entry;
        try {
            std::ifstream in(record);
            entry = json::parse(in);
        } catch (const json::exception&) {
            continue;  // being written, or not ours: left alone
        }
        if (!entry.is_object() || !entry.contains("dir") || !entry["dir"].is_string()) continue;
        const int64_t pid = entry.value("pid", int64_t{0});
        const int64_t start = entry.value("start", int64_t{0});
        if (pid <= 0 || VMCleaner::IsOwnerAlive(pid, start)) continue;
        const fs::path dir(entry["dir"].get<std::string>());
        const std::string name = dir.filename().string();
        const std::string suffix = ".partial";
        std::error_code sec;
        const bool partialName = name.size() > suffix.size() + 1 && name[0] == '.' &&
                                 name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
        if (partialName && fs::is_directory(fs::symlink_status(dir, sec))) {
            RemoveTree(dir.string());
            removed.push_back(dir.string());
        }
        ::unlink(record.c_str());
    }
    return removed;
}

int64_t NextJobId(const std::string& stateDir) {
    std::error_code ec;
    fs::create_directories(stateDir, ec);
    std::string path = stateDir + "/job-counter";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) throw StoreError(Errno("cannot open the job counter", path));
    if (::flock(fd, LOCK_EX) != 0) {
        std::string msg = Errno("cannot lock the job counter", path);
        ::close(fd);
        throw StoreError(msg);
    }
    char buf[32] = {0};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    int64_t last = 0;
    if (n > 0) last = std::strtoll(buf, nullptr, 10);
    if (last < 0) last = 0;
    int64_t next = last + 1;
    std::string text = std::to_string(next) + "\n";
    bool ok = ::ftruncate(fd, 0) == 0 &&
              ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
              ::fsync(fd) == 0;
    std::string msg = ok ? "" : Errno("cannot update the job counter", path);
    ::flock(fd, LOCK_UN);
    ::close(fd);
    if (!ok) throw StoreError(msg);
    return next;
}

}  // namespace gcebackup
