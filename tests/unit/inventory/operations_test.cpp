// Instance operations (power on and off, snapshot deletion) and the guest-OS
// name parse.
#include "tests/support/GMockNames.h"
#include "tests/unit/inventory/InventoryTestUtil.h"

using namespace VMInfoStructs;

namespace {
using OperationsTest = InventoryFixture<>;

OperationCtx Request(int code) {
    OperationCtx ctx;
    ctx.eOperation = static_cast<EVMOperation>(code);
    ctx.vmInfo.strName = "web-1";
    ctx.vmInfo.strGuid = "1001";
    ctx.vmInfo.strZone = "us-central1-a";
    ctx.vmInfo.strProjectId = "demo-project";
    return ctx;
}

// Code 1 powers on, 2 and 3 power off; a failure sets 112 or 60 with the
// bridge's text.
TEST_F(OperationsTest, PowerOperationsAndTheirFailureCodes) {
    struct Case {
        int code;
        int error;
    };
    for (Case c : {Case{1, 112}, Case{2, 60}, Case{3, 60}}) {
        for (bool ok : {true, false}) {
            if (c.code == 1) {
                EXPECT_CALL(*bridge, PowerOnVM("demo-project", "web-1", "1001", "us-central1-a"))
                    .WillOnce(Return(ok));
            } else {
                EXPECT_CALL(*bridge, PowerOffVM("demo-project", "web-1", "1001", "us-central1-a"))
                    .WillOnce(Return(ok));
            }
            if (!ok) {
                EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("timed out"));
            }
            info.SetLastVMError(0);
            OperationCtx ctx = Request(c.code);
            EXPECT_EQ(ok ? 1 : 0, info.PerformVMOperation(ctx)) << c.code;
            EXPECT_EQ(ok ? 0 : c.error, info.GetLastVMError()) << c.code;
            if (!ok) {
                EXPECT_EQ("timed out", info.GetLastVMErrorDetails());
            }
            ::testing::Mock::VerifyAndClearExpectations(bridge);
        }
    }
}

TEST_F(OperationsTest, SnapshotDeletionTriesEveryDiskThenFailsWith116) {
    OperationCtx ctx = Request(14);
    ctx.vmInfo.vecDisks.resize(3);
    ctx.vmInfo.vecDisks[0].strSnapshotName = "snap-a";
    ctx.vmInfo.vecDisks[1].strSnapshotName = "snap-b";
    // Every disk is tried, the third without a snapshot name too.
    EXPECT_CALL(*bridge, DeleteDiskSnapshot("demo-project", "snap-a")).WillOnce(Return(false));
    EXPECT_CALL(*bridge, DeleteDiskSnapshot("demo-project", "snap-b")).WillOnce(Return(true));
    EXPECT_CALL(*bridge, DeleteDiskSnapshot("demo-project", "")).WillOnce(Return(true));
    EXPECT_CALL(*bridge, GetLastError()).WillOnce(Return("snapshot in use"));
    EXPECT_EQ(0, info.PerformVMOperation(ctx));
    EXPECT_EQ(116, info.GetLastVMError());
    EXPECT_EQ("snapshot in use", info.GetLastVMErrorDetails());
}

TEST_F(OperationsTest, UnsupportedCodesSucceedWithoutACloudCall) {
    for (int code : {0, 4, 5, 9, 13, 15, 16, 100, -1}) {
        OperationCtx ctx = Request(code);
        EXPECT_EQ(1, info.PerformVMOperation(ctx)) << code;
    }
    EXPECT_EQ(0, info.GetLastVMError());
}

}  // namespace
