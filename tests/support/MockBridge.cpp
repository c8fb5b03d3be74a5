#include "tests/support/MockBridge.h"

MockBridge::MockBridge() {
    ON_CALL(*this, StartCreateDisk)
        .WillByDefault([this](const std::string& project, const std::string& name, const std::string& zone,
                              const std::string& region, bool regional, VMInfoStructs::SDisk& disk,
                              const std::string& license) {
            return CreateDisk(project, name, zone, region, regional, disk, license);
        });
    ON_CALL(*this, FinishCreateDisk).WillByDefault(::testing::Return(true));
    // Deletions in two halves likewise behave as DeleteDisk and
    // DeleteDiskSnapshot.
    ON_CALL(*this, StartDeleteDisk)
        .WillByDefault([this](const std::string& project, const std::string& name, const std::string& zone,
                              const std::string& region,
                              bool regional) { return DeleteDisk(project, name, zone, region, regional); });
    ON_CALL(*this, FinishDeleteDisk).WillByDefault(::testing::Return(true));
    ON_CALL(*this, StartDeleteDiskSnapshot)
        .WillByDefault([this](const std::string& project, const std::string& name) {
            return DeleteDiskSnapshot(project, name);
        });
    ON_CALL(*this, FinishDeleteDiskSnapshot).WillByDefault(::testing::Return(true));
    // An attach sent ahead is accepted (the AttachDisk that claims it is what
    // tests expect); a detach sent ahead is a DetachDisk.
    ON_CALL(*this, StartAttachDisk).WillByDefault(::testing::Return(true));
    ON_CALL(*this, ResizeDisk).WillByDefault(::testing::Return(true));
    ON_CALL(*this, StartDetachDisk)
        .WillByDefault([this](const std::string& project, const std::string& name,
                              const std::string& instance,
                              const std::string& zone) { return DetachDisk(project, name, instance, zone); });
}

MockBridge::~MockBridge() = default;

template class ::testing::NiceMock<MockBridge>;
template class ::testing::StrictMock<MockBridge>;
