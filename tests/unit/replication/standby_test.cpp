// The standby instance made from, and deleted after, a deferred pass.
#include "tests/support/GMockNames.h"
#include "tests/unit/replication/ReplicationFixture.h"

namespace {
class StandbyTest : public ReplicationTest {
  protected:
    RestoreCtx Request() {
        RestoreCtx ctx;
        ctx.strProjectId = kDestProject;
        ctx.strZone = kDestZone;
        ctx.strVMName = "web-standby";
        ctx.strOriginalVMName = "web-dr";
        ctx.nConfigObjectId = -7;
        return ctx;
    }
};
}  // namespace

TEST_F(StandbyTest, CreationWithoutTheSavedConfigurationFailsWith20) {
    RestoreCtx ctx = Request();
    EXPECT_CALL(*bridge, GetLastError()).WillRepeatedly(Return("no such object"));
    EXPECT_CALL(*bridge, DownloadVMInfoFromBucket(kDestProject, "zd-restore-dr-proj", "-7-web-standby", _))
        .WillOnce(Return(false));
    EXPECT_CALL(*bridge, CreateVMFromJson).Times(0);
    EXPECT_FALSE(obj->CreateDRVM(ctx));
    EXPECT_EQ(obj->GetLastVMError(), 20);
    EXPECT_EQ(obj->GetLastVMErrorDetails(), "no such object");
}

TEST_F(StandbyTest, FailedLookUpOrDeletionIsNotReportedAsDeleted) {
    RestoreCtx ctx = Request();
    EXPECT_CALL(*bridge, DoesVMExist(kDestProject, "web-dr", kDestZone, _)).WillOnce(Return(false));
    EXPECT_CALL(*bridge, GetLastError()).WillRepeatedly(Return("permission denied"));
    EXPECT_CALL(*bridge, DeleteVM).Times(0);
    EXPECT_FALSE(obj->DeleteDRVM(ctx));
    EXPECT_EQ(obj->GetLastVMErrorDetails(), "permission denied");
    ::testing::Mock::VerifyAndClearExpectations(bridge);

    // A failed deletion sets the details and no code.
    obj->SetLastVMError(0, "");
    EXPECT_CALL(*bridge, GetLastError()).WillRepeatedly(Return("permission denied"));
    EXPECT_CALL(*bridge, DoesVMExist).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteVM(kDestProject, "web-dr", _, kDestZone, false)).WillOnce(Return(false));
    EXPECT_FALSE(obj->DeleteDRVM(ctx));
    EXPECT_EQ(obj->GetLastVMError(), 0);
    EXPECT_EQ(obj->GetLastVMErrorDetails(), "permission denied");
}
