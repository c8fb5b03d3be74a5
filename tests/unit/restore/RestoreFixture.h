// Shared set-up of the restore and replication tests: a plug-in object around
// a mock bridge, a proxy in "proxy-proj"/"us-central1-a", a crash-recovery
// store in a temporary directory and waits that do not sleep.
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

// Opens the protected parts the restore steps work with.
class TestableCloudInfo : public CGoogleCloudInfo {
  public:
    using CGoogleCloudInfo::c_localProjectID;
    using CGoogleCloudInfo::CGoogleCloudInfo;
    using CGoogleCloudInfo::m_cleaner;
    using CGoogleCloudInfo::m_cleanerMode;
    using CGoogleCloudInfo::m_pDiskInfo;
    using CGoogleCloudInfo::m_proxyVMInfo;
    using CGoogleCloudInfo::m_setKeysToUpdate;

    // Machine types the destination zone offers (instead of the inventory).
    std::vector<VMInfoStructs::SVMSizeInfo> zoneSizes;
    bool sizesListed = true;
    int GetAvailableVMSizesForHost(const std::string&, std::vector<VMInfoStructs::SVMSizeInfo>& out,
                                   unsigned long long, int) override {
        if (!sizesListed) return 0;
        out.insert(out.end(), zoneSizes.begin(), zoneSizes.end());
        return 1;
    }
    // Replication: the standby as the instance lookup reports it (found =
    // false: absent); other tests use the real lookup.
    bool standbyLookup = false;
    bool standbyFound = false;
    uint32_t standbyPowerState = 0;
    int GetVMInfoForVM(const std::string& name, const std::string& guid, const std::string& host,
                       unsigned long long value, int flags, VMInfoStructs::SVMInfo& out) override {
        if (!standbyLookup) return CGoogleCloudInfo::GetVMInfoForVM(name, guid, host, value, flags, out);
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

class RestoreTest : public ::testing::Test {
  protected:
    static constexpr const char* kProxyProject = "proxy-proj";
    static constexpr const char* kProxyZone = "us-central1-a";

    void SetUp() override {
        char tmpl[] = "/tmp/restore-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath", m_dir + "/cleaner.db");
        ArPlatformInfo::SetOverride("VirtualServer", "nGoogleOperationPollingInMins", "0");
        bridge = new ::testing::NiceMock<MockBridge>();
        bridge->AcceptAnyRestoreDestination();
        obj = std::make_unique<TestableCloudInfo>(VS_INSTANCE_GOOGLE_CLOUD, bridge);
        TestableCloudInfo::c_localProjectID = kProxyProject;
        obj->m_proxyVMInfo.strName = "proxy-vm";
        obj->m_proxyVMInfo.strZone = kProxyZone;
        obj->m_proxyVMInfo.strProjectId = kProxyProject;
        obj->m_proxyVMInfo.strUri = "projects/proxy-proj/zones/us-central1-a/instances/proxy-vm";
    }
    void TearDown() override {
        obj.reset();
        CGoogleCloudInfo::ResetProxyIdentityForTests();
        ArPlatformInfo::ClearOverrides();
        CLuDirectory::RemoveRecursive(m_dir);
    }
    // Every snapshot and disk is ready at the first look and every request
    // succeeds; a disk read describes the disk asked for, at a URI of its
    // project and place.
    void ReadyCloud() {
        using ::testing::_;
        using ::testing::DoAll;
        using ::testing::Return;
        using ::testing::SetArgReferee;
        ON_CALL(*bridge, GetSnapshotState(_, _, _))
            .WillByDefault(DoAll(SetArgReferee<2>(std::string("READY")), Return(true)));
        ON_CALL(*bridge, GetDiskState(_, _, _, _, _, _))
            .WillByDefault(DoAll(SetArgReferee<5>(std::string("READY")), Return(true)));
        ON_CALL(*bridge, GetDiskInfo(_, _, _, _, _, _, _))
            .WillByDefault([](const std::string& project, const std::string& name, const std::string& zone,
                              const std::string& region, bool regional, VMInfoStructs::SDisk& out, int) {
                out.strName = name;
                out.strDiskId = "id-" + name;
                out.strLocationUri = "https://www.googleapis.com/compute/v1/projects/" + project +
                                     (regional ? "/regions/" + region : "/zones/" + zone) + "/disks/" + name;
                return true;
            });
        ON_CALL(*bridge, GetSnapshotUri(_, _, _))
            .WillByDefault(DoAll(SetArgReferee<2>(std::string("snap-uri")), Return(true)));
        ON_CALL(*bridge, CreateDiskSnapshot).WillByDefault(Return(true));
        ON_CALL(*bridge, CreateDiskFromSnapshot).WillByDefault(Return(true));
        ON_CALL(*bridge, DeleteDisk).WillByDefault(Return(true));
        ON_CALL(*bridge, DeleteDiskSnapshot).WillByDefault(Return(true));
        ON_CALL(*bridge, DoesSnapshotExist).WillByDefault(Return(true));
    }

    // A restore request into the proxy's project and zone, registered with
    // the cleaner as InitRestoreVM does.
    RestoreCtx MakeRequest(const std::string& zone = kProxyZone, const std::string& project = kProxyProject) {
        RestoreCtx ctx;
        ctx.strVMName = "web-1";
        ctx.strProjectId = project;
        ctx.strZone = zone;
        ctx.strCleanerGuid = "cleaner-guid-1";
        ctx.strVMGuid = "vm-guid-1";
        return ctx;
    }
    void RegisterRestore(const RestoreCtx& ctx) {
        ASSERT_TRUE(obj->m_cleaner.Init("proxy-vm"));
        obj->m_cleanerMode = VM_CLEANER_MODE_RESTORE;
        ASSERT_TRUE(obj->m_cleaner.RegisterVM(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, ctx.strVMName,
                                              ctx.strZone, ctx.strProjectId));
    }
    // A request whose restored disks sit in the proxy zone, entered in the
    // cleaner as CreateDisks leaves them.
    RestoreCtx RegisteredRequest(const std::vector<VMInfoStructs::SDisk>& disks,
                                 const std::string& zone = kProxyZone,
                                 const std::string& project = kProxyProject) {
        RestoreCtx ctx = MakeRequest(zone, project);
        RegisterRestore(ctx);
        for (const auto& d : disks)
            obj->m_cleaner.RegisterDisk(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, d.strNewName,
                                        d.strDiskId, d.strLocationUri, kProxyZone, kProxyProject);
        ctx.vecDisks = disks;
        obj->PopulateRestoreCtxVMInfo(ctx);
        return ctx;
    }
    std::vector<std::string> RegisteredDiskNames(const RestoreCtx& ctx) {
        std::vector<std::string> names;
        std::string path;
        if (!obj->m_cleaner.GetRegisteredVM(VM_CLEANER_MODE_RESTORE, ctx.strCleanerGuid, path)) return names;
        std::vector<VMInfoStructs::SDisk> disks;
        obj->m_cleaner.GetRegisteredDisks(path, disks);
        for (const auto& d : disks) names.push_back(d.strName + "@" + d.strZone);
        return names;
    }
    static VMInfoStructs::SDisk DiskItem(const std::string& volume, bool boot = false) {
        VMInfoStructs::SDisk d;
        d.eDiskType = 1;
        d.strVolumeName = volume;
        d.strName = volume;
        d.strNewName = volume;
        d.bBootDisk = boot;
        d.strDiskId = "id-" + volume;
        d.strZone = kProxyZone;
        d.strLocationUri =
            "https://www.googleapis.com/compute/v1/projects/proxy-proj/zones/us-central1-a/disks/" + volume;
        return d;
    }

    std::string m_dir;
    ::testing::NiceMock<MockBridge>* bridge = nullptr;
    std::unique_ptr<TestableCloudInfo> obj;
};
