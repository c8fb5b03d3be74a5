// Four backups and two restores at once in one process, each job on its own
// thread with its own plug-in object from the factory, all sharing one
// cleaner store and one gce-emulator. Checked: every job succeeds with the
// right data and leaves nothing behind; and jobs abandoned midway (their
// objects gone without clean-up, as when a host dies) have every resource
// they made in the store, so that one clean-up removes all of it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cleaner/GoogleCloudCleaner.h"
#include "plugin/GoogleCloudInfoFactory.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/ArVMDetect.h"
#include "plugin/host/EvDebug.h"
#include "tests/support/EmulatorProcess.h"

namespace fs = std::filesystem;
using namespace VMInfoStructs;
using gce::testsupport::EmulatorProcess;

namespace {

const char* const kProject = "demo-project";
const char* const kRestoreZone = "us-central1-a";
const size_t kPatternSize = 1 << 20;

// Every thread arrives once; the last one releases them all.
class Barrier {
  public:
    explicit Barrier(int n) : m_left(n) {}
    void ArriveAndWait() {
        std::unique_lock<std::mutex> lock(m_mu);
        if (--m_left <= 0) {
            m_cv.notify_all();
            return;
        }
        m_cv.wait(lock, [this] { return m_left <= 0; });
    }

  private:
    std::mutex m_mu;
    std::condition_variable m_cv;
    int m_left;
};

// Arrives at the barrier when leaving a job early, so no other job waits forever.
struct ArriveOnExit {
    Barrier* barrier;
    bool arrived = false;
    void Now() {
        if (barrier && !arrived) barrier->ArriveAndWait();
        arrived = true;
    }
    ~ArriveOnExit() { Now(); }
};

std::string Pattern(int64_t seed) {
    std::string s(kPatternSize, '\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>((i * 31 + static_cast<size_t>(seed)) % 251 + 1);
    return s;
}

std::string ReadHead(const std::string& path, size_t len) {
    std::string out(len, '\0');
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "";
    ssize_t n = ::pread(fd, &out[0], len, 0);
    ::close(fd);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// Equal bytes over the data runs of either file (holes read as zeros).
bool SameContent(const std::string& a, const std::string& b) {
    int fa = ::open(a.c_str(), O_RDONLY), fb = ::open(b.c_str(), O_RDONLY);
    bool same = fa >= 0 && fb >= 0;
    off_t size = same ? ::lseek(fa, 0, SEEK_END) : 0;
    std::vector<std::pair<off_t, off_t>> runs;
    for (int fd : {fa, fb}) {
        for (off_t pos = 0; same && pos < size;) {
            off_t start = ::lseek(fd, pos, SEEK_DATA);
            if (start < 0) break;
            off_t end = ::lseek(fd, start, SEEK_HOLE);
            runs.emplace_back(start, end);
            pos = end;
        }
    }
    std::vector<char> ba(1 << 20), bb(1 << 20);
    for (auto [start, end] : runs) {
        for (off_t off = start; same && off < end;) {
            size_t n = static_cast<size_t>(std::min<off_t>(end - off, static_cast<off_t>(ba.size())));
            same = ::pread(fa, ba.data(), n, off) == static_cast<ssize_t>(n) &&
                   ::pread(fb, bb.data(), n, off) == static_cast<ssize_t>(n) &&
                   std::memcmp(ba.data(), bb.data(), n) == 0;
            off += static_cast<off_t>(n);
        }
    }
    if (fa >= 0) ::close(fa);
    if (fb >= 0) ::close(fb);
    return same;
}

// What a restore needs from a backup of web-1: its disks and saved files.
struct SavedBackup {
    std::vector<SDisk> disks;
    std::vector<std::string> files;  // paths of the saved configuration files
};

enum class Stop { Never, AfterCreation };

class ConcurrentJobsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_emulator = new EmulatorProcess("demo", {"--demo-data-mib", "1"});
        ArVMDetect::SetMetadataUrl(s_emulator->baseUrl());
    }
    static void TearDownTestSuite() {
        ArVMDetect::SetMetadataUrl("");
        delete s_emulator;
        s_emulator = nullptr;
    }
    void SetUp() override {
        char tmpl[] = "/tmp/concurrency-it-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath", m_dir + "/cleaner.db");
        ArPlatformInfo::SetOverride("VirtualServer", "strDiskByIdDir", s_emulator->byIdDir());
        ArPlatformInfo::SetOverride("VirtualServer", "strGoogleEndpoint", s_emulator->baseUrl());
        ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationPollingInMins", "0");
        ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationTimeoutInMins", "5");
    }
    void TearDown() override {
        ArPlatformInfo::ClearOverrides();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    // A connected plug-in object made by the factory, as the host makes it.
    static std::unique_ptr<CVMInfo> MakePlugin(std::string& err) {
        IVMInfo* obj = nullptr;
        if (!CreateGoogleCloudInfoObject(VS_INSTANCE_GOOGLE_CLOUD, &obj) || obj == nullptr) {
            err = "factory failed";
            return nullptr;
        }
        std::unique_ptr<CVMInfo> p(obj);
        if (p->Init(0) != 1 || p->Connect("", s_emulator->credential(), "") != 1) {
            err = "connect failed: " + p->GetLastVMErrorDetails();
            return nullptr;
        }
        return p;
    }
    static std::string Failed(CVMInfo& p, const std::string& what) {
        return what + " failed: " + std::to_string(p.GetLastVMError()) + " " + p.GetLastVMErrorDetails();
    }

    // A backup of `instance`: mount, read and check every disk, unmount.
    // With Stop::AfterCreation it ends once the disks exist, without clean-up.
    std::string BackupJob(const std::string& instance, int64_t jobId, Stop stop, Barrier* barrier,
                          SavedBackup* save) {
        EvDebug::SetThreadJobId(jobId);
        std::string err;
        std::unique_ptr<CVMInfo> p = MakePlugin(err);
        ArriveOnExit arrive{barrier};
        if (!p) return err;
        SVMInfo vm;
        vm.strProjectId = kProject;
        if (!p->GetVMInfoForVM(instance, "", "", 0, 0, vm)) return Failed(*p, "GetVMInfoForVM " + instance);
        MountCtx ctx;
        ctx.strVMName = instance;
        ctx.strVMDisplayName = instance;
        ctx.strVMGuid = vm.strGuid;
        ctx.strVMId = vm.strGuid;
        ctx.strProjectId = kProject;
        ctx.strMountPath = m_dir + "/job-" + std::to_string(jobId);
        ctx.nJobId = jobId;
        ctx.nVMJobId = jobId;
        ctx.vmInfo = vm;
        if (!p->MountVM(ctx)) return Failed(*p, "MountVM " + instance);
        if (stop == Stop::AfterCreation) {
            arrive.Now();
            return "";
        }
        std::vector<SMountInfoFull> items;
        if (!p->GetFullMountInfo(ctx, items)) return Failed(*p, "GetFullMountInfo " + instance);
        for (const SMountInfoFull& item : items) {
            if (item.vecDisks.empty()) continue;
            const SDisk& d = item.vecDisks.front();
            if (item.nType == 0) {
                if (save) save->files.push_back(d.strPath);
                continue;
            }
            VmdkHandle handle;
            if (!p->OpenVmdk(ctx.strVMName, ctx.strVMGuid, d.strPath, handle))
                return Failed(*p, "OpenVmdk " + d.strName);
            SDisk open;
            if (!p->GetVmdkInfo(handle, open)) return Failed(*p, "GetVmdkInfo " + d.strName);
            if (!SameContent(open.strPath, s_emulator->diskFile(kProject, d.strName)))
                err = "disk " + d.strName + " of " + instance + " read wrong";
            if (!p->CloseVmdk(handle)) return Failed(*p, "CloseVmdk " + d.strName);
            if (save) {
                save->disks.push_back(d);
                save->disks.back().nSize = open.nSize;
            }
        }
        if (save) {
            // The saved files live in the job's directory: keep copies.
            for (std::string& f : save->files) {
                const std::string copy = m_dir + "/saved-" + fs::path(f).filename().string();
                fs::copy_file(f, copy, fs::copy_options::overwrite_existing);
                f = copy;
            }
        }
        if (!p->UnmountVM(ctx)) return Failed(*p, "UnmountVM " + instance);
        return err;
    }

    // A restore of the saved web-1 backup as `name`: each disk gets a pattern
    // of this job in its first MiB.
    std::string RestoreJob(const std::string& name, int64_t jobId, const SavedBackup& saved, Stop stop,
                           Barrier* barrier) {
        EvDebug::SetThreadJobId(jobId);
        std::string err;
        std::unique_ptr<CVMInfo> p = MakePlugin(err);
        ArriveOnExit arrive{barrier};
        if (!p) return err;
        RestoreCtx rc;
        rc.strVMName = name;
        rc.strOriginalVMName = "web-1";
        rc.strProjectId = kProject;
        rc.strZone = kRestoreZone;
        rc.strJobResultsDir = m_dir + "/results-" + std::to_string(jobId);
        fs::create_directories(rc.strJobResultsDir);
        for (const SDisk& d : saved.disks) {
            SDisk item;
            item.eDiskType = 1;
            item.strVolumeName = d.strName;
            item.strName = d.strName;
            item.strDiskId = d.strDiskId;
            item.nSize = d.nSize;
            item.nMountSize = d.nSize;
            item.bBootDisk = d.bBootDisk;
            item.strDiskType = d.strDiskType;
            item.strZone = d.strZone;
            item.strLocationUri = d.strLocationUri;
            item.vecReplicaZones = d.vecReplicaZones;
            item.strDiskJson = d.strDiskJson;
            item.vecLabels = d.vecLabels;
            rc.vecDisks.push_back(item);
        }
        for (const std::string& f : saved.files) {
            std::string base = fs::path(f).filename().string().substr(std::strlen("saved-"));
            const std::string dst = rc.strJobResultsDir + "/" + base;
            fs::copy_file(f, dst, fs::copy_options::overwrite_existing);
            SDisk item;
            item.eDiskType = 0;
            item.strVolumeName = base;
            item.strName = base;
            item.strPath = dst;
            item.nSize = fs::file_size(dst);
            item.nMountSize = item.nSize;
            rc.vecDisks.push_back(item);
        }
        p->SetDefaultProjectId(kProject);
        if (!p->InitRestoreVM(rc)) {
            std::string why = Failed(*p, "InitRestoreVM " + name);
            p->CleanupRestoreVM(rc);
            return why;
        }
        if (stop == Stop::AfterCreation) {
            arrive.Now();
            return "";
        }
        const std::string pattern = Pattern(jobId);
        for (SDisk& item : rc.vecDisks) {
            if (item.eDiskType != 1) continue;
            VmdkHandle handle;
            if (!p->CreateVmdk(rc.strVMName, rc.strVMGuid, item.strPath, handle,
                               static_cast<long long>(item.nSize)))
                return Failed(*p, "CreateVmdk " + item.strName);
            SDisk open;
            if (!p->GetVmdkInfo(handle, open)) return Failed(*p, "GetVmdkInfo " + item.strName);
            int fd = ::open(open.strPath.c_str(), O_WRONLY);
            if (fd < 0 ||
                ::pwrite(fd, pattern.data(), pattern.size(), 0) != static_cast<ssize_t>(pattern.size()) ||
                ::fsync(fd) != 0)
                err = "cannot write " + open.strPath;
            if (fd >= 0) ::close(fd);
            if (!p->CloseVmdk(handle)) return Failed(*p, "CloseVmdk " + item.strName);
        }
        if (!err.empty()) {
            p->CleanupRestoreVM(rc);
            return err;
        }
        if (!p->PreRestoreVM(rc) || !p->RestoreVM(rc) || !p->PostRestoreVM(rc)) {
            std::string why = Failed(*p, "restore of " + name);
            p->CleanupRestoreVM(rc);
            return why;
        }
        return "";
    }

    // The four backups and two restores, each on its own thread.
    std::vector<std::string> RunAll(const SavedBackup& saved, Stop stop, int64_t firstJobId) {
        const std::vector<std::string> backups = {"web-1", "win-1", "db-1", "eu-app-1"};
        std::vector<std::string> results(backups.size() + 2);
        Barrier barrier(static_cast<int>(results.size()));
        Barrier* b = stop == Stop::AfterCreation ? &barrier : nullptr;
        std::vector<std::thread> threads;
        for (size_t i = 0; i < backups.size(); ++i)
            threads.emplace_back([&, i] {
                results[i] = BackupJob(backups[i], firstJobId + static_cast<int64_t>(i), stop, b, nullptr);
            });
        for (size_t i = 0; i < 2; ++i) {
            const size_t slot = backups.size() + i;
            threads.emplace_back([&, i, slot] {
                results[slot] = RestoreJob(RestoredName(i, firstJobId),
                                           firstJobId + static_cast<int64_t>(slot), saved, stop, b);
            });
        }
        for (auto& t : threads) t.join();
        return results;
    }
    static std::string RestoredName(size_t i, int64_t firstJobId) {
        return "conc-" + std::to_string(firstJobId) + "-" + std::to_string(i);
    }

    // Disks and snapshots of every project, and the by-id links of attached disks.
    static std::set<std::string> CloudState() {
        std::set<std::string> out;
        nlohmann::json all = s_emulator->resources();
        for (auto& [project, p] : all.at("projects").items())
            for (const char* kind : {"disks", "snapshots"})
                if (p.contains(kind))
                    for (auto& r : p.at(kind)) out.insert(std::string(kind) + ":" + r.value("name", ""));
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(s_emulator->byIdDir(), ec))
            if (e.path().filename().string().rfind("google-zd-", 0) == 0)
                out.insert("link:" + e.path().filename().string());
        return out;
    }
    // Names of the disks and snapshots in the store, adopting every orphan;
    // `roots` gets the number of job entities.
    static std::set<std::string> Registered(size_t& roots) {
        std::set<std::string> out;
        roots = 0;
        CGoogleCloudCleaner probe;
        EXPECT_TRUE(probe.Init("probe")) << probe.GetLastError();
        for (VM_Cleaner_Mode mode : {VM_CLEANER_MODE_BACKUP, VM_CLEANER_MODE_RESTORE}) {
            std::vector<CleanerEntity> jobs;
            EXPECT_TRUE(probe.GetOrphanedRootEntityListByType(mode, VM_Cleaner_Entity_VM, "", jobs));
            roots += jobs.size();
            for (const CleanerEntity& job : jobs) {
                std::vector<SDisk> disks;
                probe.GetRegisteredDisks(job.strCleanerPath, disks);
                for (const SDisk& d : disks) out.insert("disks:" + d.strName);
                std::vector<std::string> snapshots;
                probe.GetRegisteredSnapshots(job.strCleanerPath, snapshots);
                for (const std::string& s : snapshots) out.insert("snapshots:" + s);
            }
        }
        return out;
    }

    static EmulatorProcess* s_emulator;
    std::string m_dir;
};
EmulatorProcess* ConcurrentJobsTest::s_emulator = nullptr;

TEST_F(ConcurrentJobsTest, FourBackupsAndTwoRestoresAtOnce) {
    const std::set<std::string> initial = CloudState();
    SavedBackup saved;
    ASSERT_EQ(BackupJob("web-1", 900, Stop::Never, nullptr, &saved), "");
    ASSERT_EQ(saved.disks.size(), 3u);
    ASSERT_FALSE(saved.files.empty());
    ASSERT_EQ(CloudState(), initial);

    // Every job completes; only the restored instances' disks remain.
    const std::vector<std::string> results = RunAll(saved, Stop::Never, 910);
    for (size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], "") << "job " << i;
    const nlohmann::json project = s_emulator->resources()["projects"][kProject];
    std::set<std::string> restoredDisks;
    for (size_t i = 0; i < 2; ++i) {
        const std::string name = RestoredName(i, 910);
        bool found = false;
        for (const auto& in : project["instances"]) {
            if (in["name"] != name) continue;
            found = true;
            EXPECT_EQ(in["disks"].size(), 3u) << name;
            for (const auto& a : in["disks"]) {
                const std::string src = a["source"];
                const std::string disk = src.substr(src.rfind('/') + 1);
                restoredDisks.insert("disks:" + disk);
                EXPECT_EQ(ReadHead(s_emulator->diskFile(kProject, disk), kPatternSize),
                          Pattern(910 + 4 + static_cast<int64_t>(i)))
                    << disk;
            }
        }
        EXPECT_TRUE(found) << name;
    }
    std::set<std::string> expected = initial;
    expected.insert(restoredDisks.begin(), restoredDisks.end());
    EXPECT_EQ(CloudState(), expected) << s_emulator->resourcesText();
    size_t roots = 0;
    EXPECT_TRUE(Registered(roots).empty());
    EXPECT_EQ(roots, 0u) << "a job left its entry in the store";

    // The same jobs abandoned once their disks exist: everything they made
    // is in the store, and one clean-up removes it all.
    const std::set<std::string> before = CloudState();
    const std::vector<std::string> abandoned = RunAll(saved, Stop::AfterCreation, 920);
    for (size_t i = 0; i < abandoned.size(); ++i) EXPECT_EQ(abandoned[i], "") << "job " << i;
    const std::set<std::string> after = CloudState();
    std::set<std::string> made;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::inserter(made, made.end()));
    EXPECT_FALSE(made.empty());
    const std::set<std::string> registered = Registered(roots);
    EXPECT_EQ(roots, 6u);
    for (const std::string& r : made) EXPECT_TRUE(registered.count(r)) << r << " is not in the store";

    std::string err;
    std::unique_ptr<CVMInfo> cleaner = MakePlugin(err);
    ASSERT_TRUE(cleaner) << err;
    EXPECT_EQ(cleaner->CleanupLeftovers(), 1) << cleaner->GetLastVMErrorDetails();
    cleaner.reset();
    EXPECT_EQ(CloudState(), before) << s_emulator->resourcesText();
    EXPECT_TRUE(Registered(roots).empty());
    EXPECT_EQ(roots, 0u);
}

}  // namespace
