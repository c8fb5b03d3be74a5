// Machine type and licence choice of a restored instance.
#include "tests/support/GMockNames.h"
#include "tests/unit/restore/RestoreFixture.h"

using VMInfoStructs::SVMSizeInfo;

namespace {
SVMSizeInfo Size(const std::string& name, int cpus, int mb) {
    SVMSizeInfo s;
    s.strName = name;
    s.nNumCPUs = cpus;
    s.nMemoryMB = mb;
    return s;
}
}  // namespace

TEST_F(RestoreTest, BestMatchPrefersClosestCpuCountThenSmallestSufficientMemory) {
    // Source 4 CPUs and 900 MB: the three 4-CPU types sorted 990, 960, 240;
    // the walk stops at 240, so 960 wins over the 8-CPU type of exactly 900.
    std::vector<SVMSizeInfo> zone = {Size("t2-600", 2, 600), Size("t4-960", 4, 960), Size("t4-240", 4, 240),
                                     Size("t4-990", 4, 990), Size("t8-900", 8, 900)};
    EXPECT_EQ(obj->FindBestMatchingVMSize(zone, 900, 4).strName, "t4-960");
    // Every candidate too small: the one with the most memory.
    EXPECT_EQ(obj->FindBestMatchingVMSize(zone, 5000, 4).strName, "t4-990");
    // CPU closeness beats memory: 3 CPUs is as close to 2 as to 4.
    std::vector<SVMSizeInfo> tie = {Size("a2", 2, 100), Size("b4", 4, 8000)};
    EXPECT_EQ(obj->FindBestMatchingVMSize(tie, 4000, 2).strName, "a2");
    EXPECT_EQ(obj->FindBestMatchingVMSize(tie, 4000, 3).strName, "b4")
        << "both at distance 1: memory decides";
}

TEST_F(RestoreTest, AutomaticChoiceIsTriggeredOnlyByItsMarkers) {
    obj->zoneSizes = {Size("n1-standard-4", 4, 15360)};
    const SVMSizeInfo source = Size("n1-standard-4", 4, 15360);
    const std::pair<std::string, bool> cases[] = {
        {"e2-medium", false}, {"custom-4-8192", false}, {"", true},
        {"0", true},          {"Auto Select", true},    {"<auto select>", true}};
    for (const auto& [type, chosen] : cases) {
        RestoreCtx ctx = MakeRequest();
        ctx.strInstanceType = type;
        if (chosen)
            EXPECT_CALL(*bridge, GetVMSizeFromVMConfigJson(ctx.strProjectId, "{cfg}", _))
                .WillOnce(DoAll(SetArgReferee<2>(source), Return(true)));
        else
            EXPECT_CALL(*bridge, GetVMSizeFromVMConfigJson).Times(0);
        EXPECT_TRUE(obj->HandleAutoSelectVMSize(ctx, "{cfg}")) << type;
        EXPECT_EQ(ctx.strInstanceType, chosen ? "n1-standard-4" : type) << type;
        ::testing::Mock::VerifyAndClearExpectations(bridge);
    }
}

TEST_F(RestoreTest, AutomaticChoiceFailures) {
    RestoreCtx ctx = MakeRequest();
    EXPECT_FALSE(obj->HandleAutoSelectVMSize(ctx, "")) << "no saved configuration";
    EXPECT_CALL(*bridge, GetVMSizeFromVMConfigJson).WillOnce(Return(false));
    EXPECT_FALSE(obj->HandleAutoSelectVMSize(ctx, "{cfg}"));

    EXPECT_CALL(*bridge, GetVMSizeFromVMConfigJson).WillRepeatedly(Return(true));
    obj->zoneSizes.clear();
    EXPECT_FALSE(obj->HandleAutoSelectVMSize(ctx, "{cfg}")) << "empty list";
    obj->zoneSizes = {Size("e2-small", 2, 2048)};
    obj->sizesListed = false;
    EXPECT_FALSE(obj->HandleAutoSelectVMSize(ctx, "{cfg}")) << "listing failed";
    EXPECT_EQ(ctx.strInstanceType, "");
    // The failed choice says why, so that the restore's error line does.
    EXPECT_EQ(obj->GetLastVMError(), 20);
    EXPECT_THAT(obj->GetLastVMErrorDetails(),
                ::testing::HasSubstr("no machine type could be chosen in zone [us-central1-a]"));
}

TEST_F(RestoreTest, LicenceScoring) {
    RestoreCtx ctx = MakeRequest();
    ctx.strGuestOS = "Windows Server 2019 Datacenter";
    const std::string at = "https://www.googleapis.com/compute/v1/projects/windows-cloud/global/licenses/";
    const std::vector<std::string> urls = {
        at + "windows-8-pro",                        // -2
        at + "windows-server-2016-dc",               // 0
        at + "windows-server-2019-datacenter",       // 4 (case ignored)
        at + "windows-server-2019-datacenter-core",  // 4, later: not chosen
    };
    EXPECT_CALL(*bridge, GetLicenseUrlsForProject(ctx.strGuestOS, _))
        .WillOnce(DoAll(SetArgReferee<1>(urls), Return(true)));
    std::string url;
    ASSERT_TRUE(obj->GetLicenseUrlForConvertedInstance(ctx, url));
    EXPECT_EQ(url, urls[2]);

    // Nothing to choose from.
    url = "kept";
    EXPECT_CALL(*bridge, GetLicenseUrlsForProject).WillOnce(Return(true));
    EXPECT_FALSE(obj->GetLicenseUrlForConvertedInstance(ctx, url));
    EXPECT_CALL(*bridge, GetLicenseUrlsForProject).WillOnce(DoAll(SetArgReferee<1>(urls), Return(false)));
    EXPECT_FALSE(obj->GetLicenseUrlForConvertedInstance(ctx, url));
    EXPECT_EQ(url, "kept");
}
