// A plug-in object over a mock bridge with a real cleaner store in a
// temporary directory, for the backup tests.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/HostUtils.h"
#include "tests/support/GMockNames.h"
#include "tests/support/MockBridge.h"

namespace backup_test {

using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

inline const std::string kProxyGuid = "a7f3-proxy";
inline const std::string kProxyProject = "proxy-proj";
inline const std::string kProxyZone = "us-central1-a";
inline const std::string kUriBase = "https://www.googleapis.com/compute/v1/projects/";

class TestPlugin : public CGoogleCloudInfo {
  public:
    explicit TestPlugin(Bridge* bridge) : CGoogleCloudInfo(VS_INSTANCE_GOOGLE_CLOUD, bridge) {}
    static void SetProxyIdentity(const std::string& guid, const std::string& project) {
        c_localVMGuid = guid;
        c_localProjectID = project;
    }
    int UnmountVM(MountCtx& ctx) override {
        ++m_unmounts;
        return CGoogleCloudInfo::UnmountVM(ctx);
    }
    void SetCleanerMode(VM_Cleaner_Mode mode) { m_cleanerMode = mode; }
    CGoogleCloudCleaner& Cleaner() { return m_cleaner; }
    int m_unmounts = 0;

  protected:
    void _WaitPauseMs(unsigned long) override {}
};

// A disk of the backed-up instance.
inline SDisk MakeDisk(const std::string& name, const std::string& id, bool boot = false,
                      const std::string& labelsJson = "{}") {
    SDisk d;
    d.strName = name;
    d.strDiskId = id;
    d.strZone = "europe-west1-b";
    d.strLocationUri = kUriBase + "app-proj/zones/europe-west1-b/disks/" + name;
    d.strDiskType = "pd-balanced";
    d.bBootDisk = boot;
    d.nSize = 10ull << 30;
    d.strDiskJson = labelsJson;
    return d;
}

class BackupFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/backup-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        m_jobDir = m_dir + "/job";
        ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath", m_dir + "/cleaner.db");
        TestPlugin::SetProxyIdentity(kProxyGuid, kProxyProject);
        m_bridge = new NiceMock<MockBridge>();
        m_plugin.reset(new TestPlugin(m_bridge));

        ON_CALL(*m_bridge, CheckConnection()).WillByDefault(Return(true));
        ON_CALL(*m_bridge, GetLastError()).WillByDefault(Return(std::string()));
        SVMInfo proxy;
        proxy.strName = "proxy-1";
        proxy.strGuid = kProxyGuid;
        proxy.strProjectId = kProxyProject;
        proxy.strZone = kProxyZone;
        proxy.strUri = kUriBase + kProxyProject + "/zones/" + kProxyZone + "/instances/proxy-1";
        ON_CALL(*m_bridge, GetVMInfo(_, _, _, _, _, 16))
            .WillByDefault(DoAll(SetArgReferee<4>(proxy), Return(true)));

        m_vm.strName = "web-1";
        m_vm.strGuid = "4242";
        m_vm.strProjectId = "app-proj";
        m_vm.strZone = "europe-west1-b";
        m_vm.strGuestOS = "Debian GNU/Linux 12";
        ON_CALL(*m_bridge, GetVMInfo(_, _, _, _, _, 24))
            .WillByDefault([this](auto&&, auto&&, auto&&, auto&&, SVMInfo& out, auto&&) {
                out = m_vm;
                return true;
            });
        ON_CALL(*m_bridge, CreateDiskSnapshot(_, _, _, _, _, _, _)).WillByDefault(Return(true));
        ON_CALL(*m_bridge, GetSnapshotState(_, _, _))
            .WillByDefault(DoAll(SetArgReferee<2>(std::string("READY")), Return(true)));
        ON_CALL(*m_bridge, GetSnapshotUri(_, _, _))
            .WillByDefault([](auto&& project, auto&& name, std::string& uri) {
                uri = kUriBase + project + "/global/snapshots/" + name;
                return true;
            });
        // A created disk is described by GetDiskInfo once it is ready.
        ON_CALL(*m_bridge, CreateDiskFromSnapshot(_, _, _, _, _, _, _, _)).WillByDefault(Return(true));
        ON_CALL(*m_bridge, GetDiskInfo(_, _, _, _, _, _, _))
            .WillByDefault([](const std::string& project, const std::string& name, const std::string& zone,
                              auto&&, auto&&, SDisk& disk, auto&&) {
                disk = SDisk();
                disk.strName = name;
                disk.strDiskId = "id-" + name;
                disk.strZone = zone;
                disk.strLocationUri = kUriBase + project + "/zones/" + zone + "/disks/" + name;
                return true;
            });
        ON_CALL(*m_bridge, GetDiskState(_, _, _, _, _, _))
            .WillByDefault(DoAll(SetArgReferee<5>(std::string("READY")), Return(true)));
        ON_CALL(*m_bridge, DoesDiskExist(_, _, _, _, _)).WillByDefault(Return(true));
        ON_CALL(*m_bridge, DetachDisk(_, _, _, _)).WillByDefault(Return(true));
        ON_CALL(*m_bridge, DeleteDisk(_, _, _, _, _)).WillByDefault(Return(true));
        ON_CALL(*m_bridge, DeleteDiskSnapshot(_, _)).WillByDefault(Return(true));
        ON_CALL(*m_bridge, DoesSnapshotExist(_, _)).WillByDefault(Return(true));
        ON_CALL(*m_bridge, GetInstanceConfigJson(_, _, _, _, _))
            .WillByDefault(DoAll(SetArgReferee<4>(std::string("{\"name\":\"web-1\"}")), Return(true)));
        ON_CALL(*m_bridge, GetDiskEncryptionInfoJson(_, _))
            .WillByDefault(DoAll(SetArgReferee<1>(std::string()), Return(true)));
        // Labels: the test disks carry "k=v;k2=v2" in strDiskJson.
        ON_CALL(*m_bridge, GetDiskLabels(_, _))
            .WillByDefault([](const std::string& json, std::map<std::string, std::string>& labels) {
                labels.clear();
                if (json == "unreadable") return false;
                for (const std::string& pair : CLuString::Tokenize(json, ';')) {
                    size_t eq = pair.find('=');
                    if (eq != std::string::npos) labels[pair.substr(0, eq)] = pair.substr(eq + 1);
                }
                return true;
            });
        ON_CALL(*m_bridge, IsKeyTypeSupported(_, _, _)).WillByDefault(Return(true));
    }
    void TearDown() override {
        m_plugin.reset();
        ArPlatformInfo::ClearOverrides();
        TestPlugin::ResetProxyIdentityForTests();
        CLuDirectory::RemoveRecursive(m_dir);
    }
    MountCtx MakeCtx() {
        MountCtx ctx;
        ctx.strVMName = m_vm.strName;
        ctx.strVMGuid = m_vm.strGuid;
        ctx.strProjectId = m_vm.strProjectId;
        ctx.strMountPath = m_jobDir;
        ctx.nJobId = 17;
        return ctx;
    }
    // Root entities of backup mode still in the store, seen by a fresh object
    // once the plug-in is gone.
    size_t LeftInStore() {
        m_plugin.reset();
        CGoogleCloudCleaner probe;
        EXPECT_TRUE(probe.Init("probe"));
        std::vector<CleanerEntity> list;
        EXPECT_TRUE(
            probe.GetOrphanedRootEntityListByType(VM_CLEANER_MODE_BACKUP, VM_Cleaner_Entity_VM, "", list));
        return list.size();
    }

  public:
    std::string m_dir, m_jobDir;
    NiceMock<MockBridge>* m_bridge = nullptr;
    std::unique_ptr<TestPlugin> m_plugin;
    SVMInfo m_vm;
};

}  // namespace backup_test
