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
    // so that tests state their expectations on CreateDisk alone.
    MockBridge() {
        ON_CALL(*this, StartCreateDisk)
            .WillByDefault([this](const std::string& project, const std::string& name,
                                  const std::string& zone, const std::string& region, bool regional,
                                  VMInfoStructs::SDisk& disk, const std::string& license) {
                return CreateDisk(project, name, zone, region, regional, disk, license);
            });
        ON_CALL(*this, FinishCreateDisk).WillByDefault(::testing::Return(true));
        // Deletions in two halves likewise behave as DeleteDisk and
        // DeleteDiskSnapshot.
        ON_CALL(*this, StartDeleteDisk)
            .WillByDefault([this](const std::string& project, const std::string& name,
                                  const std::string& zone, const std::string& region, bool regional) {
                return DeleteDisk(project, name, zone, region, regional);
            });
        ON_CALL(*this, FinishDeleteDisk).WillByDefault(::testing::Return(true));
        ON_CALL(*this, StartDeleteDiskSnapshot)
            .WillByDefault([this](const std::string& project, const std::string& name) {
                return DeleteDiskSnapshot(project, name);
            });
        ON_CALL(*this, FinishDeleteDiskSnapshot).WillByDefault(::testing::Return(true));
        // An attach sent ahead is accepted (the AttachDisk that claims it is
        // what tests expect); a detach sent ahead is a DetachDisk.
        ON_CALL(*this, StartAttachDisk).WillByDefault(::testing::Return(true));
        ON_CALL(*this, ResizeDisk).WillByDefault(::testing::Return(true));
        ON_CALL(*this, StartDetachDisk)
            .WillByDefault(
                [this](const std::string& project, const std::string& name, const std::string& instance,
                       const std::string& zone) { return DetachDisk(project, name, instance, zone); });
    }

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
    MOCK_METHOD(bool, CreateBucket, (const std::string&, const std::string&), (override));
    MOCK_METHOD(bool, DownloadVMInfoFromBucket,
                (const std::string&, const std::string&, const std::string&, std::string&), (override));
};
