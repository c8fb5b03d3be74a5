// Shared pieces of the disk-access unit tests: a plug-in object with a fake
// clock and pause, a scripted disk mapper, and a cleaner store in a temp dir.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "disks/GoogleCloudDiskInfo.h"
#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/HostUtils.h"
#include "tests/support/GMockNames.h"
#include "tests/support/MockBridge.h"

using namespace VMInfoStructs;

// A disk mapper whose answers the test chooses and whose calls it records.
// An attached disk of id X is the 10 GiB device /dev/fake-X.
class FakeMapper : public CDiskMapper {
  public:
    bool bPostAttach = true;
    bool bPreDetach = true;
    std::vector<std::string> calls;

    bool PreAttachDisk() override {
        calls.push_back("PreAttach");
        return true;
    }
    bool PostAttachDisk(const std::string& id, std::string& path, long long& size, bool failed) override {
        calls.push_back(std::string(failed ? "PostAttachFailed:" : "PostAttach:") + id);
        if (failed || !bPostAttach) return failed;
        path = "/dev/fake-" + id;
        size = 10LL << 30;
        return true;
    }
    bool PreDetatchDisk(const std::string& path) override {
        calls.push_back("PreDetach:" + path);
        return bPreDetach;
    }
    bool PostDetatchDisk() override {
        calls.push_back("PostDetach");
        return true;
    }
    bool BringDiskOffline(const std::string& path) override {
        calls.push_back("Offline:" + path);
        return true;
    }
    bool MakeDiskWriteable(const std::string& path) override {
        calls.push_back("Writeable:" + path);
        return true;
    }
};

// The plug-in object with its clock and pauses replaced: pauses advance the
// fake clock at once, and `onPause` may act between passes.
class TestCloudInfo : public CGoogleCloudInfo {
  public:
    explicit TestCloudInfo(MockBridge* bridge) : CGoogleCloudInfo(VS_INSTANCE_GOOGLE_CLOUD, bridge) {
        delete m_pDiskMapper;
        mapper = new FakeMapper();
        m_pDiskMapper = mapper;
    }

    int64_t nowMs = 1000000;
    std::vector<unsigned long> pauses;
    FakeMapper* mapper = nullptr;

    int64_t _WaitNowMs() override { return nowMs; }
    void _WaitPauseMs(unsigned long ms) override {
        pauses.push_back(ms);
        nowMs += static_cast<int64_t>(ms);
    }

    void SetMode(VM_Cleaner_Mode mode) { m_cleanerMode = mode; }
    void SetProxy(const VMInfoStructs::SVMInfo& proxy) { m_proxyVMInfo = proxy; }
    CGoogleCloudCleaner& Cleaner() { return m_cleaner; }
    CGoogleCloudDiskInfo* DiskInfo() { return m_pDiskInfo; }
    bool IgnoreQuiesce() const { return m_bIgnoreQuiesceGuestErrors; }
    static void SetLocalProject(const std::string& project) { c_localProjectID = project; }

    // Creates the registry with the proxy's description, as InitDiskInfo
    // does after fetching it.
    void UseRegistry(const VMInfoStructs::SVMInfo& proxy) {
        m_proxyVMInfo = proxy;
        if (m_pDiskInfo == nullptr) m_pDiskInfo = new CGoogleCloudDiskInfo(m_pCloudBridge);
        m_pDiskInfo->Initialize(proxy);
    }
};

// Settings overrides and a cleaner store private to the test.
class DisksTestEnv {
  public:
    DisksTestEnv() {
        char tmpl[] = "/tmp/gce-disks-test-XXXXXX";
        const char* dir = mkdtemp(tmpl);
        m_strDir = dir ? dir : "/tmp";
        ArPlatformInfo::ClearOverrides();
        ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath", m_strDir + "/cleaner.db");
    }
    ~DisksTestEnv() {
        ArPlatformInfo::ClearOverrides();
        CLuDirectory::RemoveRecursive(m_strDir);
    }
    const std::string& Dir() const { return m_strDir; }

  private:
    std::string m_strDir;
};

// The plug-in over a nice mock bridge, with its own settings and store.
class DisksTest : public ::testing::Test {
  protected:
    DisksTestEnv env;
    NiceMock<MockBridge>* bridge = new NiceMock<MockBridge>();
    TestCloudInfo info{bridge};

    // The disks registered for clean-up under the backup job "vm-guid".
    std::vector<SDisk> RegisteredDisks() {
        std::string path;
        std::vector<SDisk> disks;
        EXPECT_TRUE(info.Cleaner().GetRegisteredVM(VM_CLEANER_MODE_BACKUP, "vm-guid", path, false));
        EXPECT_TRUE(info.Cleaner().GetRegisteredDisks(path, disks));
        return disks;
    }
};

inline VMInfoStructs::SVMInfo MakeProxy() {
    VMInfoStructs::SVMInfo proxy;
    proxy.strName = "proxy-1";
    proxy.strGuid = "9000";
    proxy.strZone = "us-central1-a";
    proxy.strProjectId = "proxy-proj";
    proxy.strUri =
        "https://www.googleapis.com/compute/v1/projects/proxy-proj/zones/us-central1-a/instances/proxy-1";
    return proxy;
}

inline VMInfoStructs::SDisk MakeDisk(const std::string& name, const std::string& id) {
    VMInfoStructs::SDisk disk;
    disk.strName = name;
    disk.strDiskId = id;
    disk.strZone = "us-central1-a";
    disk.strLocationUri =
        "https://www.googleapis.com/compute/v1/projects/src-proj/zones/us-central1-a/disks/" + name;
    disk.strDiskType = "pd-balanced";
    return disk;
}
