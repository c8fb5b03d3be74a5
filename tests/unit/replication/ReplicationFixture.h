// Shared set-up of the replication tests: the restore tests' plug-in object
// and proxy, a cloud in which every requested snapshot and disk is ready at
// once, and a standby instance the tests place or remove.
#pragma once

#include "tests/unit/restore/RestoreFixture.h"

class ReplicationTest : public RestoreTest {
  protected:
    static constexpr const char* kDestProject = "dr-proj";
    static constexpr const char* kDestZone = "europe-west1-b";

    void SetUp() override {
        using ::testing::_;
        using ::testing::DoAll;
        using ::testing::Return;
        using ::testing::SetArgReferee;
        RestoreTest::SetUp();
        ReadyCloud();
        obj->standbyLookup = true;
        ON_CALL(*bridge, CreateDisk(_, _, _, _, _, _, _))
            .WillByDefault([](const std::string& project, const std::string& name, const std::string& zone,
                              auto&&, bool, VMInfoStructs::SDisk& out, auto&&) {
                out.strName = name;
                out.strDiskId = "empty-id-" + name;
                out.strLocationUri = "projects/" + project + "/zones/" + zone + "/disks/" + name;
                out.strZone = zone;
                return true;
            });
        ON_CALL(*bridge, DeleteVM).WillByDefault(Return(true));
        ON_CALL(*bridge, CreateBucket).WillByDefault(Return(true));
        ON_CALL(*bridge, SetDiskLabels).WillByDefault(Return(true));
        ON_CALL(*bridge, isProjectAccessible).WillByDefault(Return(true));
        // A disk without a customer-managed key.
        ON_CALL(*bridge, CheckAndGetEncryptionKeyName(_, _))
            .WillByDefault(DoAll(SetArgReferee<1>(std::string()), Return(true)));
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
        RegisterRestore(ctx);
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
    // The standby instance as DoesVMExist reports it, there until deleted.
    void StandbyExists(const std::vector<std::string>& diskNames = {}) {
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
        ON_CALL(*bridge, DoesVMExist(kDestProject, "web-standby", kDestZone, ::testing::_))
            .WillByDefault([this, vm](auto&&, auto&&, auto&&, VMInfoStructs::SVMInfo& out) {
                if (!obj->standbyFound) return false;
                out = vm;
                return true;
            });
        ON_CALL(*bridge, DeleteVM).WillByDefault([this](auto&&...) { return DeleteStandby(); });
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
};
