// Shared set-up of the replication tests: a plug-in object around a mock
// bridge, a proxy in "proxy-proj"/"us-central1-a", a crash-recovery store in
// a temporary directory, and a cloud in which every requested snapshot and
// disk is ready at once.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "disks/GoogleCloudDiskInfo.h"
#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/HostUtils.h"
#include "tests/support/MockBridge.h"

class ReplicationCloudInfo : public CGoogleCloudInfo {
  public:
    using CGoogleCloudInfo::c_localProjectID;
    using CGoogleCloudInfo::CGoogleCloudInfo;
    using CGoogleCloudInfo::m_cleaner;
    using CGoogleCloudInfo::m_cleanerMode;
    using CGoogleCloudInfo::m_pDiskInfo;
    using CGoogleCloudInfo::m_proxyVMInfo;

    // The standby as the instance lookup reports it (found = false: absent).
    bool standbyFound = false;
    uint32_t standbyPowerState = 0;
    int GetVMInfoForVM(const std::string&, const std::string&, const std::string&, unsigned long long, int,
                       VMInfoStructs::SVMInfo& out) override {
        if (!standbyFound) {
            SetLastVMError(VMINFO_ERR_VM_NOT_FOUND);
            return 0;
        }
        out.nPowerState = standbyPowerState;
        return 1;
    }

  protected:
    void _WaitPauseMs(unsigned long) override {}
};

class ReplicationTest : public ::testing::Test {
  protected:
    static constexpr const char* kProxyProject = "proxy-proj";
    static constexpr const char* kProxyZone = "us-central1-a";
    static constexpr const char* kDestProject = "dr-proj";
    static constexpr const char* kDestZone = "europe-west1-b";

    void SetUp() override {
        using ::testing::_;
        using ::testing::DoAll;
        using ::testing::Invoke;
        using ::testing::Return;
        using ::testing::SetArgReferee;
        char tmpl[] = "/tmp/replication-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath", m_dir + "/cleaner.db");
        ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationPollingInMins", "0");
        bridge = new ::testing::NiceMock<MockBridge>();
        obj = std::make_unique<ReplicationCloudInfo>(VS_INSTANCE_GOOGLE_CLOUD, bridge);
        ReplicationCloudInfo::c_localProjectID = kProxyProject;
        obj->m_proxyVMInfo.strName = "proxy-vm";
        obj->m_proxyVMInfo.strZone = kProxyZone;
        obj->m_proxyVMInfo.strProjectId = kProxyProject;
        obj->m_proxyVMInfo.strUri = "projects/proxy-proj/zones/us-central1-a/instances/proxy-vm";

        ON_CALL(*bridge, GetSnapshotState(_, _, _))
            .WillByDefault(DoAll(SetArgReferee<2>(std::string("READY")), Return(true)));
        ON_CALL(*bridge, GetDiskState(_, _, _, _, _, _))
            .WillByDefault(DoAll(SetArgReferee<5>(std::string("READY")), Return(true)));
        ON_CALL(*bridge, GetDiskInfo(_, _, _, _, _, _, _))
            .WillByDefault(
                Invoke([](const std::string& project, const std::string& name, const std::string& zone,
                          const std::string&, bool, VMInfoStructs::SDisk& out, int) {
                    out.strName = name;
                    out.strDiskId = "id-" + name;
                    out.strLocationUri = "projects/" + project + "/zones/" + zone + "/disks/" + name;
                    return true;
                }));
        ON_CALL(*bridge, CreateDisk(_, _, _, _, _, _, _))
            .WillByDefault(
                Invoke([](const std::string& project, const std::string& name, const std::string& zone,
                          const std::string&, bool, VMInfoStructs::SDisk& out, const std::string&) {
                    out.strName = name;
                    out.strDiskId = "empty-id-" + name;
                    out.strLocationUri = "projects/" + project + "/zones/" + zone + "/disks/" + name;
                    out.strZone = zone;
                    return true;
                }));
        ON_CALL(*bridge, GetSnapshotUri(_, _, _))
            .WillByDefault(DoAll(SetArgReferee<2>(std::string("snap-uri")), Return(true)));
        ON_CALL(*bridge, CreateDiskSnapshot).WillByDefault(Return(true));
        ON_CALL(*bridge, CreateDiskFromSnapshot).WillByDefault(Return(true));
        ON_CALL(*bridge, DeleteDisk).WillByDefault(Return(true));
        ON_CALL(*bridge, DeleteDiskSnapshot).WillByDefault(Return(true));
        ON_CALL(*bridge, DoesSnapshotExist).WillByDefault(Return(true));
        ON_CALL(*bridge, DeleteVM).WillByDefault(Return(true));
        ON_CALL(*bridge, CreateBucket).WillByDefault(Return(true));
        ON_CALL(*bridge, SetDiskLabels).WillByDefault(Return(true));
        ON_CALL(*bridge, isProjectAccessible).WillByDefault(Return(true));
        // A disk without a customer-managed key.
        ON_CALL(*bridge, CheckAndGetEncryptionKeyName(_, _))
            .WillByDefault(DoAll(SetArgReferee<1>(std::string()), Return(true)));
    }
    void TearDown() override {
        obj.reset();
        CGoogleCloudInfo::ResetProxyIdentityForTests();
        ArPlatformInfo::ClearOverrides();
        CLuDirectory::RemoveRecursive(m_dir);
    }

    // A replication request into the destination, registered with the
    // cleaner as InitRestoreVM does before the set-up.
    RestoreCtx MakeRequest(const std::vector<VMInfoStructs::SDisk>& items) {
        RestoreCtx ctx;
        ctx.nRestoreType = 4;
        ctx.strVMName = "web-standby";
        ctx.strProjectId = kDestProject;
        ctx.strZone = kDestZone;
        ctx.strCleanerGuid = "cleaner-guid-1";
        ctx.vecDisks = items;
        EXPECT_TRUE(obj->m_cleaner.Init("proxy-vm"));
        obj->m_cleanerMode = VM_CLEANER_MODE_RESTORE;
        EXPECT_TRUE(obj->m_cleaner.RegisterVM(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, ctx.strVMName,
                                              ctx.strZone, ctx.strProjectId));
        return ctx;
    }
    // A disk item as the previous pass left it (snapshot "" for a disk new
    // to the source).
    static VMInfoStructs::SDisk Item(const std::string& volume, const std::string& snapshot,
                                     const std::string& replica = "") {
        VMInfoStructs::SDisk d;
        d.eDiskType = 1;
        d.strVolumeName = volume;
        d.strName = replica.empty() ? volume : replica;
        d.strSnapshotName = snapshot;
        d.strReplicaDiskName = replica;
        d.nSize = 10ull << 30;
        return d;
    }
    static VMInfoStructs::SDisk FileItem(const std::string& name) {
        VMInfoStructs::SDisk d;
        d.eDiskType = 0;
        d.strVolumeName = name;
        d.strSnapshotName = "not-a-snapshot";
        return d;
    }
    // The standby instance as DoesVMExist reports it.
    void StandbyExists(const std::vector<std::string>& diskNames = {}) {
        using ::testing::_;
        VMInfoStructs::SVMInfo vm;
        vm.strName = "web-standby";
        vm.strGuid = "standby-guid";
        vm.strZone = kDestZone;
        for (const std::string& n : diskNames) {
            VMInfoStructs::SDisk d;
            d.strName = n;
            d.strLocationUri = std::string("projects/dr-proj/zones/") + kDestZone + "/disks/" + n;
            vm.vecDisks.push_back(d);
        }
        // The standby is there until it is deleted.
        ON_CALL(*bridge, DoesVMExist(kDestProject, "web-standby", kDestZone, _))
            .WillByDefault(::testing::Invoke([this, vm](const std::string&, const std::string&,
                                                        const std::string&, VMInfoStructs::SVMInfo& out) {
                if (!obj->standbyFound) return false;
                out = vm;
                return true;
            }));
        ON_CALL(*bridge, DeleteVM).WillByDefault(::testing::InvokeWithoutArgs([this] {
            return DeleteStandby();
        }));
        obj->standbyFound = true;
    }
    bool DeleteStandby() {
        obj->standbyFound = false;
        return true;
    }
    // Names of the disks registered for the instance in the disk handle
    // registry.
    std::vector<std::string> RegistryDisks(const RestoreCtx& ctx) {
        std::vector<std::string> names;
        std::vector<VMInfoStructs::SDisk> disks;
        if (obj->m_pDiskInfo != nullptr) obj->m_pDiskInfo->GetDisks(ctx.vmInfo, disks);
        for (const auto& d : disks) names.push_back(d.strPath);
        return names;
    }

    std::string m_dir;
    ::testing::NiceMock<MockBridge>* bridge = nullptr;
    std::unique_ptr<ReplicationCloudInfo> obj;
};
