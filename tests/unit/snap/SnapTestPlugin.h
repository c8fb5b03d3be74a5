// A plug-in object over a mock bridge, with a scripted snapshot framework
// (snapshot utility and snapshot client) and a real cleaner store in a
// temporary directory, for the snapshot-only protection tests.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/HostEnv.h"
#include "plugin/host/HostUtils.h"
#include "tests/support/GMockNames.h"
#include "tests/support/MockBridge.h"

namespace snap_test {

using VMInfoStructs::SDatastoreInfo;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;
using VMInfoStructs::SVolSnap;

inline const std::string kProxyGuid = "a7f3-proxy";
inline const std::string kProxyProject = "proxy-proj";
inline const std::string kProxyZone = "us-central1-a";
inline const std::string kUriBase = "https://www.googleapis.com/compute/v1/projects/";

// The snapshot utility with scripted cloud results; paths and files stay real.
class FakeSnapUtil : public CVMSnapUtil {
  public:
    explicit FakeSnapUtil(EvDebug& log) : CVMSnapUtil(log) {}

    int CreateHWSnapshot(MountCtx&, SMVolSnapInfo& request) override {
        ++hwCalls;
        lastRequest = request;
        if (!hwResult) {
            request.setError(SM_ERR_SNAPSHOT_CREATE, "quota exceeded");
            return 0;
        }
        request.setSnapOpProperties(SM_OP_TYPE_CLOUD, flushProps, true);
        return 1;
    }
    int GenerateMetadataXML(MountCtx& ctx, const SDatastoreInfo& ds,
                            const std::vector<SVolSnap>& v) override {
        ++metadataCalls;
        return metadataResult ? CVMSnapUtil::GenerateMetadataXML(ctx, ds, v) : 0;
    }
    int ReadSnapMetadataXML(std::vector<SDatastoreInfo>& list, MountCtx&) override {
        if (!readResult) return 0;
        list = datastores;
        return 1;
    }
    int GetVOLSNAPInfo(MountCtx&, SMVolSnapInfo& request, bool) override {
        if (!volSnapResult) return 0;
        request = volSnaps;
        return 1;
    }
    int UpdateVMList(std::vector<SDatastoreInfo>&, MountCtx&, std::vector<SVolSnap>&) override {
        ++updateCalls;
        return updateResult ? 1 : 0;
    }
    bool GenerateSnapBackupCatalogXml(MountCtx& ctx, std::string& path,
                                      const InstanceGuidToVMInfoMap& map) override {
        if (!catalogResult) return false;
        return CVMSnapUtil::GenerateSnapBackupCatalogXml(ctx, path, map);
    }

    bool hwResult = true;
    SnapPropertyMap flushProps{{"GuestFlushStatus", "0"}, {"GuestFlushError", ""}};
    SMVolSnapInfo lastRequest;
    int hwCalls = 0;
    bool metadataResult = true;
    int metadataCalls = 0;
    bool readResult = true;
    std::vector<SDatastoreInfo> datastores;
    bool volSnapResult = true;
    SMVolSnapInfo volSnaps;
    bool updateResult = true;
    int updateCalls = 0;
    bool catalogResult = true;
};

// The snapshot client with scripted results: a successful mount names disk
// "made-<source id>" with id "id-<source id>" in every snapshot device.
class FakeSnapClient : public ArSnapClientAPI {
  public:
    struct Script {
        int mountError = 0;
        int releaseError = 0;
        int mounts = 0;
        int releaseMode = -1;
    };
    FakeSnapClient(EvDebug& log, Script& script) : ArSnapClientAPI(log, nullptr), m_script(script) {}

    bool createTestCloneEnvs(SMVolSnapInfo& request) override {
        ++m_script.mounts;
        if (m_script.mountError) return Fail(request, m_script.mountError, "zone resource pool exhausted");
        for (auto it = request.snapListBegin(); it != request.snapListEnd(); ++it) {
            std::string src = it->getSnapSourceDevice().substr(it->getSnapSourceDevice().rfind('|') + 1);
            it->setSnapDevice("made-" + src + "|id-" + src + "|" + kUriBase +
                              "dst/zones/europe-west1-b/disks/made-" + src);
        }
        return true;
    }
    bool deleteTestCloneEnvs(SMVolSnapInfo& request) override {
        m_script.releaseMode = request.getOpMode();
        if (m_script.releaseError) return Fail(request, m_script.releaseError, "release refused");
        return true;
    }

  private:
    Script& m_script;
};

class TestPlugin : public CGoogleCloudInfo {
  public:
    explicit TestPlugin(Bridge* bridge) : CGoogleCloudInfo(VS_INSTANCE_GOOGLE_CLOUD, bridge) {
        m_pFakeUtil = new FakeSnapUtil(m_log);
        m_pSnapUtil.reset(m_pFakeUtil);
    }
    static void SetProxyIdentity(const std::string& guid, const std::string& project) {
        c_localVMGuid = guid;
        c_localProjectID = project;
    }
    static std::map<std::string, SVMInfo>& SnapXmlMap() { return c_InstanceInfoMapFromSnapXML; }
    static InstanceGuidToVMInfoMap& GuidMap() { return c_InstanceGuidToVMInfoMap; }

    using CGoogleCloudInfo::_CreateVolumesFromSnap;
    using CGoogleCloudInfo::_GetFileListForRevertFromSnapXML;
    using CGoogleCloudInfo::_PerformFileLevelRevert;
    using CGoogleCloudInfo::_PopulateVMInfoFromDSInfo;
    using CGoogleCloudInfo::_PrepareVolSnapInfoForMount;
    using CGoogleCloudInfo::_UnmountVolumesFromSnapJob;
    using CGoogleCloudInfo::HandleRegionalDisks_Snap;

    void SetDatastores(const std::vector<SDatastoreInfo>& ds) { m_vecSnapDSInfo = ds; }
    SMVolSnapInfo& VolSnapInfo() { return m_volSnapInfo; }
    CGoogleCloudCleaner& Cleaner() { return m_cleaner; }
    std::vector<std::string>& MetadataFiles() { return m_vecMetadataFiles; }
    void SetIgnoreQuiesceErrors(bool b) { m_bIgnoreQuiesceGuestErrors = b; }

    FakeSnapUtil* m_pFakeUtil = nullptr;
    FakeSnapClient::Script m_client;

  protected:
    std::unique_ptr<ArSnapClientAPI> _CreateSnapClientAPI() override {
        return std::make_unique<FakeSnapClient>(m_log, m_client);
    }
};

inline SDisk MakeDisk(const std::string& name, const std::string& id) {
    SDisk d;
    d.strName = name;
    d.strVolumeName = name;
    d.strDiskId = id;
    d.strPath = id;
    d.strZone = "europe-west1-b";
    d.strLocationUri = kUriBase + "app-proj/zones/europe-west1-b/disks/" + name;
    d.strDiskType = "pd-balanced";
    d.nSize = 10ull << 30;
    d.nMountSize = 4ull << 30;
    d.strDiskJson = "{}";
    return d;
}

inline SMSnapInfo MakeSnap(uint32_t id, const std::string& diskName, const std::string& diskId) {
    SMSnapInfo s;
    s.setSMSnapId(id);
    s.setSnapName("zd-snap-5-" + diskId);
    s.setSnapSourceDevice("app-proj|europe-west1-b|" + diskName + "|" + diskId);
    return s;
}

class SnapFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/snap-unit-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        m_oldState = HostEnv::GetStateDir();
        HostEnv::SetStateDir(m_dir);
        HostEnv::SetJobCancelled(false);
        ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath", m_dir + "/cleaner.db");
        TestPlugin::SetProxyIdentity(kProxyGuid, kProxyProject);
        TestPlugin::SnapXmlMap().clear();
        TestPlugin::GuidMap().clear();
        m_bridge = new NiceMock<MockBridge>();
        m_plugin.reset(new TestPlugin(m_bridge));
        m_util = m_plugin->m_pFakeUtil;

        ON_CALL(*m_bridge, CheckConnection()).WillByDefault(Return(true));
        ON_CALL(*m_bridge, GetLastError()).WillByDefault(Return(std::string()));
        ON_CALL(*m_bridge, isProjectAccessible(_)).WillByDefault(Return(true));
        m_bridge->AcceptAnyRestoreDestination();
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
        m_vm.strRegion = "europe-west1";
        m_vm.strGuestOS = "Debian GNU/Linux 12";
        m_vm.vecDisks = {MakeDisk("web-1", "11"), MakeDisk("web-1-data", "12")};
        m_vm.vecDisks[0].bBootDisk = true;
        ON_CALL(*m_bridge, GetVMInfo(_, _, _, _, _, 24))
            .WillByDefault([this](auto&&, auto&&, auto&&, auto&&, SVMInfo& out, auto&&) {
                out = m_vm;
                return true;
            });
        ON_CALL(*m_bridge, GetInstanceConfigJson(_, _, _, _, _))
            .WillByDefault(DoAll(SetArgReferee<4>(std::string("{\"name\":\"web-1\"}")), Return(true)));
        ON_CALL(*m_bridge, GetDiskEncryptionInfoJson(_, _))
            .WillByDefault(DoAll(SetArgReferee<1>(std::string()), Return(true)));
        ON_CALL(*m_bridge, GetDiskLabels(_, _)).WillByDefault(Return(true));
        ON_CALL(*m_bridge, IsKeyTypeSupported(_, _, _)).WillByDefault(Return(true));
        ON_CALL(*m_bridge, ParseReplicaZonesFromJson(_, _, _)).WillByDefault(Return(true));
        ON_CALL(*m_bridge, CheckAndGetEncryptionKeyName(_, _))
            .WillByDefault(DoAll(SetArgReferee<1>(std::string()), Return(true)));
        ON_CALL(*m_bridge, DeleteDisk(_, _, _, _, _)).WillByDefault(Return(true));
    }
    void TearDown() override {
        m_plugin.reset();
        TestPlugin::SnapXmlMap().clear();
        TestPlugin::GuidMap().clear();
        ArPlatformInfo::ClearOverrides();
        TestPlugin::ResetProxyIdentityForTests();
        HostEnv::SetStateDir(m_oldState);
        CLuDirectory::RemoveRecursive(m_dir);
    }
    MountCtx MakeCtx() {
        MountCtx ctx;
        ctx.strVMName = m_vm.strName;
        ctx.strVMDisplayName = m_vm.strName;
        ctx.strVMGuid = m_vm.strGuid;
        ctx.strVMId = m_vm.strGuid;
        ctx.strProjectId = m_vm.strProjectId;
        ctx.strMountPath = m_dir + "/job";
        ctx.nJobId = 17;
        ctx.nVMJobId = 5;
        ctx.bSnapJob = true;
        ctx.vecVMBasicInfo = {{m_vm.strGuid, m_vm.strName, "basic-attr"}};
        return ctx;
    }

    std::string m_dir, m_oldState;
    NiceMock<MockBridge>* m_bridge = nullptr;
    std::unique_ptr<TestPlugin> m_plugin;
    FakeSnapUtil* m_util = nullptr;
    SVMInfo m_vm;
};

}  // namespace snap_test
