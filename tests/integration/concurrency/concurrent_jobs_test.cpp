// Four backups and two restores at once in one process, each job on its own
// thread with its own plug-in object from the factory, all sharing one
// cleaner store and one gce-emulator: every job succeeds with the right data
// and leaves nothing behind, in the cloud or in the store. (The same jobs
// killed midway and cleaned up are driven as gcebackup processes in
// concurrent_processes_test.cpp.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cleaner/GoogleCloudCleaner.h"
#include "cli/DataPath.h"
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
    bool same = false;
    try {
        same = fa >= 0 && fb >= 0 && gcebackup::CompareDisks(fa, fb, gcebackup::DeviceSize(fa, a)) == -1;
    } catch (const std::exception&) {
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
    std::string BackupJob(const std::string& instance, int64_t jobId, SavedBackup* save) {
        EvDebug::SetThreadJobId(jobId);
        std::string err;
        std::unique_ptr<CVMInfo> p = MakePlugin(err);
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
    std::string RestoreJob(const std::string& name, int64_t jobId, const SavedBackup& saved) {
        EvDebug::SetThreadJobId(jobId);
        std::string err;
        std::unique_ptr<CVMInfo> p = MakePlugin(err);
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
    std::vector<std::string> RunAll(const SavedBackup& saved, int64_t firstJobId) {
        const std::vector<std::string> backups = {"web-1", "win-1", "db-1", "eu-app-1"};
        std::vector<std::string> results(backups.size() + 2);
        std::vector<std::thread> threads;
        for (size_t i = 0; i < backups.size(); ++i)
            threads.emplace_back([&, i] {
                results[i] = BackupJob(backups[i], firstJobId + static_cast<int64_t>(i), nullptr);
            });
        for (size_t i = 0; i < 2; ++i) {
            const size_t slot = backups.size() + i;
            threads.emplace_back([&, i, slot] {
                results[slot] =
                    RestoreJob(RestoredName(i, firstJobId), firstJobId + static_cast<int64_t>(slot), saved);
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
    // Job entries left in the store (disks and snapshots are registered below them).
    static size_t JobsInTheStore() {
        size_t roots = 0;
        CGoogleCloudCleaner probe;
        EXPECT_TRUE(probe.Init("probe")) << probe.GetLastError();
        for (VM_Cleaner_Mode mode : {VM_CLEANER_MODE_BACKUP, VM_CLEANER_MODE_RESTORE}) {
            std::vector<CleanerEntity> jobs;
            EXPECT_TRUE(probe.GetOrphanedRootEntityListByType(mode, VM_Cleaner_Entity_VM, "", jobs));
            roots += jobs.size();
        }
        return roots;
    }

    static EmulatorProcess* s_emulator;
    std::string m_dir;
};
EmulatorProcess* ConcurrentJobsTest::s_emulator = nullptr;

TEST_F(ConcurrentJobsTest, FourBackupsAndTwoRestoresAtOnce) {
    const std::set<std::string> initial = CloudState();
    SavedBackup saved;
    ASSERT_EQ(BackupJob("web-1", 900, &saved), "");
    ASSERT_EQ(saved.disks.size(), 3u);
    ASSERT_FALSE(saved.files.empty());
    ASSERT_EQ(CloudState(), initial);

    // Every job completes; only the restored instances' disks remain.
    const std::vector<std::string> results = RunAll(saved, 910);
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
    EXPECT_EQ(JobsInTheStore(), 0u) << "a job left its entry in the store";
}

}  // namespace
