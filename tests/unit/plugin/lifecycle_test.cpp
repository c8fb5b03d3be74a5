#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeMetadataServer.h"
#include "plugin/GoogleCloudInfo.h"
#include "plugin/host/ArVMDetect.h"
#include "tests/support/GMockNames.h"
#include "tests/support/MockBridge.h"

namespace {
class LifecycleTest : public ::testing::Test {
  protected:
    void SetUp() override { CGoogleCloudInfo::ResetProxyIdentityForTests(); }
    void TearDown() override {
        ArVMDetect::SetMetadataUrl("");
        CGoogleCloudInfo::ResetProxyIdentityForTests();
    }
};
}  // namespace

TEST_F(LifecycleTest, InitFailsWhenTheBridgeCannotInitialise) {
    auto* bridge = new NiceMock<MockBridge>();
    EXPECT_CALL(*bridge, Init()).WillOnce(Return(false));
    CGoogleCloudInfo obj(VS_INSTANCE_GOOGLE_CLOUD, bridge);
    EXPECT_EQ(obj.Init(0), 0);
    EXPECT_EQ(obj.GetLastVMError(), 0);
}

TEST_F(LifecycleTest, IdentityIsDetectedOncePerProcess) {
    FakeMetadataServer md;
    ArVMDetect::SetMetadataUrl(md.url());
    {
        auto* bridge = new NiceMock<MockBridge>();
        ON_CALL(*bridge, Init()).WillByDefault(Return(true));
        CGoogleCloudInfo first(VS_INSTANCE_GOOGLE_CLOUD, bridge);
        ASSERT_EQ(first.Init(0), 1);
    }
    EXPECT_EQ(CGoogleCloudInfo::GetLocalVMGuid(), "4242");
    EXPECT_EQ(CGoogleCloudInfo::GetLocalProjectID(), "proxy-project");
    int seen = md.requests.load();
    auto* bridge = new NiceMock<MockBridge>();
    ON_CALL(*bridge, Init()).WillByDefault(Return(true));
    CGoogleCloudInfo second(VS_INSTANCE_GOOGLE_CLOUD, bridge);
    ASSERT_EQ(second.Init(0), 1);
    EXPECT_EQ(md.requests.load(), seen);  // no second detection
    EXPECT_EQ(second.DeInit(true), 1);
    EXPECT_EQ(second.DeInit(false), 1);
}

// The proxy's identity missed at Init (metadata server down then) is asked
// again when the proxy is first needed; the description is then fetched once.
TEST_F(LifecycleTest, ProxyDescriptionIsFetchedOnceAndAFailedFetchAgain) {
    FakeMetadataServer md;
    ArVMDetect::SetMetadataUrl(md.url());
    auto* bridge = new NiceMock<MockBridge>();
    EXPECT_CALL(*bridge, GetVMInfo("proxy-project", "", "4242", "", ::testing::_, 16u))
        .WillOnce([](const std::string&, const std::string&, const std::string&, const std::string&,
                     VMInfoStructs::SVMInfo& vm, unsigned long long) {
            vm.strUri = "projects/p/zones/z/instances/proxy";
            return true;
        });
    CGoogleCloudInfo obj(VS_INSTANCE_GOOGLE_CLOUD, bridge);
    EXPECT_TRUE(obj.InitProxyVMInfo());
    EXPECT_TRUE(obj.InitProxyVMInfo());
    EXPECT_EQ(obj.GetProxyVMInfo().strUri, "projects/p/zones/z/instances/proxy");

    // A failed fetch is asked again next time.
    auto* failing = new NiceMock<MockBridge>();
    EXPECT_CALL(*failing, GetVMInfo).WillOnce(Return(false)).WillOnce(Return(false));
    CGoogleCloudInfo other(VS_INSTANCE_GOOGLE_CLOUD, failing);
    EXPECT_FALSE(other.InitProxyVMInfo());
    EXPECT_FALSE(other.InitProxyVMInfo());
}

// A server that does not answer with the flavor header is not trusted: Init
// still succeeds, but without its own instance id and project the job stops
// before asking the cloud anything (it would otherwise send requests for an
// empty project).
TEST_F(LifecycleTest, AnUntrustedServerLeavesTheIdentityUnknownAndStopsTheJob) {
    FakeMetadataServer md(/*sendFlavorHeader=*/false);
    ArVMDetect::SetMetadataUrl(md.url());
    auto* bridge = new NiceMock<MockBridge>();
    ON_CALL(*bridge, Init()).WillByDefault(Return(true));
    EXPECT_CALL(*bridge, GetVMInfo).Times(0);
    CGoogleCloudInfo obj(VS_INSTANCE_GOOGLE_CLOUD, bridge);
    EXPECT_EQ(obj.Init(0), 1);
    EXPECT_EQ(CGoogleCloudInfo::GetLocalVMGuid(), "");
    EXPECT_FALSE(obj.InitProxyVMInfo());
}
