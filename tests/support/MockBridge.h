// GoogleMock stand-in for the cloud bridge, for unit tests of the plug-in.
#pragma once

#include <gmock/gmock.h>

#include <map>
#include <string>
#include <vector>

#include "plugin/bridge/GoogleCloudSDKCppBridge.h"

class MockBridge : public GoogleCloudSDKCppBridge::CGoogleCloudSDKCppBridge {
  public:
    // A disk creation started in two halves behaves as one CreateDisk call,
    // and deletions in two halves as DeleteDisk and DeleteDiskSnapshot, so
    // that tests state their expectations on those alone.
    MockBridge();
    // Defined in MockBridge.cpp: the class's virtual table and its mocked
    // methods are compiled once there rather than in every test that uses it.
    ~MockBridge() override;

    MOCK_METHOD(bool, Init, (), (override));
    MOCK_METHOD(bool, Connect, (const std::string&, const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, CheckConnection, (), (override));
    MOCK_METHOD(std::string, GetLastError, (), (override));
    MOCK_METHOD(void, SetEndpoint, (const std::string&), (override));
    MOCK_METHOD(bool, GetProjectInfoList, (std::vector<VMInfoStructs::SProjectInfo>&), (override));
    MOCK_METHOD(bool, GetDCInfoList,
                (const std::string&, std::vector<VMInfoStructs::SDataCenterInfo>&, unsigned long long),
                (override));
    MOCK_METHOD(bool, GetHostInfoList,
                (const std::string&, unsigned long long, int, std::vector<VMInfoStructs::SHostInfo>&),
                (override));
    MOCK_METHOD(bool, GetHostInfo,
                (const std::string&, const std::string&, const std::string&, VMInfoStructs::SHostInfo&,
                 unsigned long long),
                (override));
    MOCK_METHOD(bool, GetMachineTypesInfoList,
                (const std::string&, const std::string&, std::vector<VMInfoStructs::SVMSizeInfo>&,
                 unsigned long long),
                (override));
    MOCK_METHOD(bool, GetLicenseUrlsForProject, (const std::string&, std::vector<std::string>&), (override));
    MOCK_METHOD(bool, isProjectAccessible, (const std::string&), (override));
    MOCK_METHOD(bool, DoesNetworkExist, (const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, DoesSubnetworkExist, (const std::string&, const std::string&, const std::string&),
                (override));
    MOCK_METHOD(bool, GetVMInfoList, (std::vector<VMInfoStructs::SVMInfo>&, unsigned long long), (override));
    MOCK_METHOD(bool, GetVMInfoListInProject,
                (const std::string&, std::vector<VMInfoStructs::SVMInfo>&, unsigned long long), (override));
    MOCK_METHOD(bool, GetVMInfoListInRegion,
                (const std::string&, const std::string&, const std::string&,
                 std::vector<VMInfoStructs::SVMInfo>&, unsigned long long),
                (override));
    MOCK_METHOD(bool, GetVMInfoListInZone,
                (const std::string&, const std::string&, std::vector<VMInfoStructs::SVMInfo>&,
                 unsigned long long),
                (override));
    MOCK_METHOD(bool, GetVMInfoListByLabel,
                (const std::string&, const std::string&, std::vector<VMInfoStructs::SVMInfo>&,
                 unsigned long long),
                (override));
    MOCK_METHOD(bool, GetVMInfo,
                (const std::string&, const std::string&, const std::string&, const std::string&,
                 VMInfoStructs::SVMInfo&, unsigned long long),
                (override));
    MOCK_METHOD(bool, DoesVMExist,
                (const std::string&, const std::string&, const std::string&, VMInfoStructs::SVMInfo&),
                (override));
    MOCK_METHOD(bool, GetInstanceConfigJson,
                (const std::string&, const std::string&, const std::string&, const std::string&,
                 std::string&),
                (override));
    MOCK_METHOD(bool, GetVMSizeFromVMConfigJson,
                (const std::string&, const std::string&, VMInfoStructs::SVMSizeInfo&), (override));
    MOCK_METHOD(bool, RestoreVM,
                (const std::string&, VMInfoStructs::SVMInfo&, const std::string&, bool,
                 (const std::map<std::string, std::string>&), bool),
                (override));
    MOCK_METHOD(bool, DelayVMDeployment,
                (const std::string&, const std::string&, const std::string&, const std::string&,
                 VMInfoStructs::SVMInfo&, bool, (const std::map<std::string, std::string>&), bool),
                (override));
    MOCK_METHOD(bool, BuildInstanceJson,
                (const std::string&, const VMInfoStructs::SVMInfo&, const std::string&, bool,
                 (const std::map<std::string, std::string>&), bool, std::string&),
                (override));
    MOCK_METHOD(bool, CreateVMFromJson,
                (const std::string&, const std::string&, const std::string&, VMInfoStructs::SVMInfo&),
                (override));
    MOCK_METHOD(bool, DeleteVM,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool),
                (override));
    MOCK_METHOD(bool, PowerOnVM,
                (const std::string&, const std::string&, const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, PowerOffVM,
                (const std::string&, const std::string&, const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, GetDiskInfo,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool,
                 VMInfoStructs::SDisk&, int),
                (override));
    MOCK_METHOD(bool, GetDiskState,
                (const std::string&, const std::string&, const std::string&, bool, const std::string&,
                 std::string&),
                (override));
    MOCK_METHOD(bool, DoesDiskExist,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool),
                (override));
    MOCK_METHOD(bool, CreateDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool,
                 VMInfoStructs::SDisk&, const std::string&),
                (override));
    MOCK_METHOD(bool, StartCreateDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool,
                 VMInfoStructs::SDisk&, const std::string&),
                (override));
    MOCK_METHOD(bool, FinishCreateDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool,
                 VMInfoStructs::SDisk&),
                (override));
    MOCK_METHOD(bool, CreateDiskFromSnapshot,
                (const std::string&, const std::string&, const std::string&, const std::string&,
                 const std::string&, bool, const std::string&, VMInfoStructs::SDisk&),
                (override));
    MOCK_METHOD(bool, DeleteDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool),
                (override));
    MOCK_METHOD(bool, StartDeleteDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool),
                (override));
    MOCK_METHOD(bool, FinishDeleteDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool),
                (override));
    MOCK_METHOD(bool, AttachDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool&),
                (override));
    MOCK_METHOD(bool, DetachDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, StartAttachDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, StartDetachDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, ResizeDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool,
                 int64_t),
                (override));
    MOCK_METHOD(bool, MoveDisk,
                (const std::string&, const std::string&, const std::string&, const std::string&,
                 VMInfoStructs::SDisk&),
                (override));
    MOCK_METHOD(bool, GetDiskLabels,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool,
                 std::vector<VMInfoStructs::SKeyPairInfo>&),
                (override));
    MOCK_METHOD(bool, GetDiskLabels, (const std::string&, (std::map<std::string, std::string>&)), (override));
    MOCK_METHOD(bool, SetDiskLabels,
                (const std::string&, const VMInfoStructs::SDisk&, const std::string&, const std::string&,
                 bool, const std::vector<VMInfoStructs::SKeyPairInfo>&),
                (override));
    MOCK_METHOD(bool, ParseReplicaZonesFromJson,
                (const std::string&, std::vector<std::string>&, std::string&), (override));
    MOCK_METHOD(bool, GetDiskEncryptionInfoJson, (const std::vector<VMInfoStructs::SDisk>&, std::string&),
                (override));
    MOCK_METHOD(bool, CreateDiskSnapshot,
                (const std::string&, const std::string&, const std::string&, const std::string&, bool, bool,
                 const VMInfoStructs::SSnapshot&),
                (override));
    MOCK_METHOD(bool, GetSnapshotState, (const std::string&, const std::string&, std::string&), (override));
    MOCK_METHOD(bool, GetSnapshotUri, (const std::string&, const std::string&, std::string&), (override));
    MOCK_METHOD(bool, DoesSnapshotExist, (const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, DeleteDiskSnapshot, (const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, StartDeleteDiskSnapshot, (const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, FinishDeleteDiskSnapshot, (const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, ListLabelledDisks,
                (const std::string&, const std::string&, const std::string&,
                 std::vector<VMInfoStructs::SDisk>&),
                (override));
    MOCK_METHOD(bool, ListLabelledSnapshots,
                (const std::string&, const std::string&, const std::string&,
                 std::vector<VMInfoStructs::SSnapshot>&),
                (override));
    MOCK_METHOD(bool, CheckAndGetEncryptionKeyName, (const std::string&, std::string&), (override));
    MOCK_METHOD(bool, GetKeyTypeAndKeyPath, (const std::string&, std::string&, std::string&), (override));
    MOCK_METHOD(bool, IsKeyTypeSupported, (const std::string&, const std::string&, std::string&), (override));
    MOCK_METHOD(bool, GetKeyInfoAsJson, (const std::string&, std::string&), (override));
    MOCK_METHOD(bool, GetKeyStateAndLevel, (const std::string&, std::string&, std::string&), (override));
    MOCK_METHOD(bool, IsKeyLevelSupported, (const std::string&), (override));
    MOCK_METHOD(bool, CheckKeyRingExists, (const std::string&), (override));
    MOCK_METHOD(bool, CreateKeyRing, (const std::string&, const std::string&, const std::string&),
                (override));
    MOCK_METHOD(bool, CreateDummyKey,
                (const std::string&, const std::string&, const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, UpdateKey, (const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, GetKeyMapFromDisksEncryptionInfoJson,
                (const std::string&, (std::map<std::string, std::string>&)), (override));
    // Every destination a restore checks exists: any zone (in the region its
    // name gives), no region listed, the machine types below, any network
    // and subnetwork.
    void AcceptAnyRestoreDestination() {
        using ::testing::_;
        ON_CALL(*this, GetHostInfo(_, _, _, _, _))
            .WillByDefault([](const std::string& project, const std::string& zone, const std::string&,
                              VMInfoStructs::SHostInfo& out, unsigned long long) {
                out.strName = zone;
                out.strProjectId = project;
                out.strRegion = zone.size() > 2 ? zone.substr(0, zone.size() - 2) : zone;
                return true;
            });
        ON_CALL(*this, GetMachineTypesInfoList(_, _, _, _))
            .WillByDefault([](const std::string&, const std::string&,
                              std::vector<VMInfoStructs::SVMSizeInfo>& out, unsigned long long) {
                for (const char* name : {"e2-small", "e2-standard-2", "n1-standard-4", "n2-standard-2"}) {
                    VMInfoStructs::SVMSizeInfo size;
                    size.strName = name;
                    out.push_back(size);
                }
                return true;
            });
        ON_CALL(*this, DoesNetworkExist(_, _)).WillByDefault(::testing::Return(true));
        ON_CALL(*this, DoesSubnetworkExist(_, _, _)).WillByDefault(::testing::Return(true));
    }

    MOCK_METHOD(bool, CreateBucket, (const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, DownloadVMInfoFromBucket,
                (const std::string&, const std::string&, const std::string&, std::string&), (override));
};

// Explicitly instantiated in MockBridge.cpp, for the same reason.
extern template class ::testing::NiceMock<MockBridge>;
extern template class ::testing::StrictMock<MockBridge>;
