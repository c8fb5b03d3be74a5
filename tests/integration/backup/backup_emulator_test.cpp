// A whole backup of web-1 of the demo world against gce-emulator through the
// REST bridge, a real cleaner store and the disk mapper on the emulator's
// by-id directory; and the recovery after a backup process was killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/ArVMDetect.h"
#include "plugin/host/HostUtils.h"
#include "tests/support/EmulatorProcess.h"

using namespace VMInfoStructs;
using gce::testsupport::EmulatorProcess;

namespace {

const char* const kProject = "demo-project";
const char* const kZone = "us-central1-b";

// Where a backup process kills itself.
enum class CrashPoint { None, AfterSnapshots, AfterDisks, WhileAttached };

// The REST bridge, dying at a chosen step of the backup.
class CrashingBridge : public GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge {
  public:
    explicit CrashingBridge(CrashPoint point) : m_point(point) {}
    // The first disk is made once every snapshot is ready.
    bool CreateDiskFromSnapshot(const std::string& project, const std::string& snapshotUri,
                                const std::string& name, const std::string& zone, const std::string& region,
                                bool regional, const std::string& type, SDisk& disk) override {
        if (m_point == CrashPoint::AfterSnapshots) raise(SIGKILL);
        return CGoogleCloudSDKCppBridge::CreateDiskFromSnapshot(project, snapshotUri, name, zone, region,
                                                                regional, type, disk);
    }
    // The snapshots are deleted once every disk is ready.
    bool DeleteDiskSnapshot(const std::string& project, const std::string& name) override {
        if (m_point == CrashPoint::AfterDisks) raise(SIGKILL);
        return CGoogleCloudSDKCppBridge::DeleteDiskSnapshot(project, name);
    }

  private:
    CrashPoint m_point;
};

class BackupEmulatorTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_emulator = new EmulatorProcess("demo", {"--demo-data-mib", "1"});
        ArVMDetect::SetMetadataUrl(s_emulator->baseUrl());
    }
    static void TearDownTestSuite() {
        ArVMDetect::SetMetadataUrl("");
        CGoogleCloudInfo::ResetProxyIdentityForTests();
        delete s_emulator;
        s_emulator = nullptr;
    }
    void SetUp() override {
        char tmpl[] = "/tmp/backup-it-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath", m_dir + "/cleaner.db");
        ArPlatformInfo::SetOverride("VirtualServer", "strDiskByIdDir", s_emulator->byIdDir());
        ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationPollingInMins", "0");
        ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationTimeoutInMins", "2");
    }
    void TearDown() override {
        ArPlatformInfo::ClearOverrides();
        CLuDirectory::RemoveRecursive(m_dir);
    }

    std::unique_ptr<CGoogleCloudInfo> Connect(CrashPoint point = CrashPoint::None) {
        std::unique_ptr<CGoogleCloudInfo> info(
            new CGoogleCloudInfo(VS_INSTANCE_GOOGLE_CLOUD, new CrashingBridge(point)));
        info->GetBridge()->SetEndpoint(s_emulator->baseUrl());
        EXPECT_EQ(info->Init(0), 1);
        EXPECT_EQ(info->Connect("", s_emulator->credential(), ""), 1) << info->GetLastVMErrorDetails();
        return info;
    }
    MountCtx WebCtx(CGoogleCloudInfo& info, const std::string& jobDir) {
        SVMInfo vm;
        EXPECT_TRUE(info.GetBridge()->GetVMInfo(kProject, "web-1", "", kZone, vm, 24));
        MountCtx ctx;
        ctx.strVMName = "web-1";
        ctx.strVMGuid = vm.strGuid;
        ctx.strProjectId = kProject;
        ctx.strVMHost = kZone;
        ctx.strMountPath = jobDir;
        ctx.nJobId = 6;
        ctx.vecFilterLabels.push_back({"backup", "skip"});
        return ctx;
    }
    // Names of the snapshots and disks a backup job made ("zd-" prefix), and
    // the by-id links of disks attached to the proxy.
    static std::set<std::string> JobResources() {
        std::set<std::string> out;
        nlohmann::json all = s_emulator->resources();
        for (auto& [project, p] : all.at("projects").items()) {
            for (const char* kind : {"disks", "snapshots"})
                if (p.contains(kind))
                    for (auto& r : p.at(kind)) {
                        std::string name = r.value("name", "");
                        if (name.rfind("zd-", 0) == 0) out.insert(std::string(kind) + ":" + name);
                    }
        }
        for (const std::string& link : CLuDirectory::List(s_emulator->byIdDir()))
            if (link.find("google-zd-") == 0) out.insert("link:" + link);
        return out;
    }
    // Root entities of backup jobs left in the store.
    size_t LeftInStore() {
        CGoogleCloudCleaner probe;
        EXPECT_TRUE(probe.Init("probe")) << probe.GetLastError();
        std::vector<CleanerEntity> list;
        EXPECT_TRUE(
            probe.GetOrphanedRootEntityListByType(VM_CLEANER_MODE_BACKUP, VM_Cleaner_Entity_VM, "", list));
        return list.size();
    }

    static EmulatorProcess* s_emulator;
    std::string m_dir;
};
EmulatorProcess* BackupEmulatorTest::s_emulator = nullptr;

// Compares two (sparse) files of equal size byte for byte, reading only the
// data extents of either; outside them both read as zeros.
::testing::AssertionResult SameContent(const std::string& a, const std::string& b) {
    struct Fd {
        int fd;
        ~Fd() {
            if (fd >= 0) close(fd);
        }
    } fa{open(a.c_str(), O_RDONLY)}, fb{open(b.c_str(), O_RDONLY)};
    if (fa.fd < 0 || fb.fd < 0) return ::testing::AssertionFailure() << "cannot open " << a << " or " << b;
    if (lseek(fa.fd, 0, SEEK_END) != lseek(fb.fd, 0, SEEK_END))
        return ::testing::AssertionFailure() << "sizes differ";
    std::vector<char> ba(1 << 20), bb(1 << 20);
    off_t compared = 0;
    for (int fd : {fa.fd, fb.fd}) {
        for (off_t off = lseek(fd, 0, SEEK_DATA); off >= 0; off = lseek(fd, off, SEEK_DATA)) {
            const off_t end = lseek(fd, off, SEEK_HOLE);
            if (end <= off) break;
            while (off < end) {
                const size_t n =
                    static_cast<size_t>(std::min<off_t>(end - off, static_cast<off_t>(ba.size())));
                if (pread(fa.fd, ba.data(), n, off) != static_cast<ssize_t>(n) ||
                    pread(fb.fd, bb.data(), n, off) != static_cast<ssize_t>(n) ||
                    std::memcmp(ba.data(), bb.data(), n) != 0)
                    return ::testing::AssertionFailure() << "content differs near offset " << off;
                off += static_cast<off_t>(n);
                compared += static_cast<off_t>(n);
            }
        }
    }
    if (compared == 0) return ::testing::AssertionFailure() << "no data to compare";
    return ::testing::AssertionSuccess();
}

// Mount, read every disk, unmount; returns the number of disks read.
int RunBackup(CGoogleCloudInfo& info, MountCtx& ctx, EmulatorProcess& emu) {
    EXPECT_EQ(info.MountVM(ctx), 1) << info.GetLastVMError() << " " << info.GetLastVMErrorDetails();
    std::vector<SMountInfoFull> items;
    EXPECT_EQ(info.GetFullMountInfo(ctx, items), 1);
    int disks = 0;
    std::set<std::string> files;
    for (const SMountInfoFull& item : items) {
        const SDisk& d = item.vecDisks.at(0);
        if (item.nType == 0) {
            files.insert(d.strName);
            continue;
        }
        ++disks;
        VmdkHandle handle;
        EXPECT_EQ(info.OpenVmdk(ctx.strVMName, ctx.strVMGuid, d.strPath, handle), 1) << d.strName;
        SDisk open;
        EXPECT_EQ(info.GetVmdkInfo(handle, open), 1);
        EXPECT_TRUE(SameContent(open.strPath, emu.diskFile(kProject, d.strName))) << d.strName;
        EXPECT_EQ(info.CloseVmdk(handle), 1);
    }
    EXPECT_EQ(files.count("web-1_InstanceConfig.json"), 1u);
    EXPECT_EQ(info.UnmountVM(ctx), 1);
    return disks;
}

TEST_F(BackupEmulatorTest, WholeBackupOfWeb1LeavesNothingBehind) {
    auto info = Connect();
    MountCtx ctx = WebCtx(*info, m_dir + "/job");
    EXPECT_EQ(RunBackup(*info, ctx, *s_emulator), 2);
    std::vector<std::string> kept;
    for (const SDisk& d : ctx.vmInfo.vecDisks) kept.push_back(d.strName);
    EXPECT_EQ(kept, (std::vector<std::string>{"web-1", "web-1-data"}));
    EXPECT_TRUE(JobResources().empty()) << s_emulator->resourcesText();
    EXPECT_EQ(LeftInStore(), 0u);
}

TEST_F(BackupEmulatorTest, NextJobRemovesWhatAKilledBackupLeft) {
    for (CrashPoint point : {CrashPoint::AfterSnapshots, CrashPoint::AfterDisks, CrashPoint::WhileAttached}) {
        SCOPED_TRACE(static_cast<int>(point));
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto info = Connect(point);
            MountCtx ctx = WebCtx(*info, m_dir + "/dead-job");
            if (info->MountVM(ctx) == 1) {
                std::vector<SMountInfoFull> items;
                info->GetFullMountInfo(ctx, items);
                VmdkHandle handle;
                if (!items.empty() &&
                    info->OpenVmdk(ctx.strVMName, ctx.strVMGuid, items[0].vecDisks[0].strPath, handle) == 1)
                    raise(SIGKILL);
            }
            _exit(3);  // the crash point was not reached
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child exit " << status;
        EXPECT_FALSE(JobResources().empty()) << "the dead job left something";

        // The next job cleans up first, then backs up normally.
        auto info = Connect();
        MountCtx ctx = WebCtx(*info, m_dir + "/job");
        EXPECT_EQ(RunBackup(*info, ctx, *s_emulator), 2);
        info.reset();
        EXPECT_TRUE(JobResources().empty()) << s_emulator->resourcesText();
        EXPECT_EQ(LeftInStore(), 0u);
    }
}

}  // namespace
