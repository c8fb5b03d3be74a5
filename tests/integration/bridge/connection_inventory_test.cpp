// Connecting with each kind of key, and the inventory operations.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>

#include "BridgeFixture.h"

using namespace bridgetest;

namespace {

std::string OtherPemKey() {
    EVP_PKEY* pkey = EVP_RSA_gen(2048);
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, pkey, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(len));
    BIO_free(bio);
    EVP_PKEY_free(pkey);
    return pem;
}

}  // namespace

TEST_F(BridgeTest, WrongKeyGivesAClearConnectFailureWithoutTheKeyAndNoConnection) {
    const std::string wrong = OtherPemKey();
    SecretRegistry::Get().AddKeyText(wrong);
    auto b = NewBridge();
    EXPECT_FALSE(b->Connect("", emu->serviceAccountEmail(), wrong));
    const std::string error = b->GetLastError();
    EXPECT_NE(error.find("invalid_grant"), std::string::npos) << error;
    EXPECT_NE(error.find(emu->serviceAccountEmail()), std::string::npos) << error;
    for (const auto& secret : SecretRegistry::Get().All()) EXPECT_EQ(error.find(secret), std::string::npos);
    EXPECT_FALSE(b->CheckConnection()) << "a failed Connect leaves no usable connection";

    EXPECT_FALSE(b->Connect("", emu->serviceAccountEmail(), "not a key at all"));
    EXPECT_NE(b->GetLastError().find("neither a PEM private key nor a JSON key"), std::string::npos);
    EXPECT_FALSE(b->Connect(emu->p12Path(), "nobody@demo-project.iam.gserviceaccount.com", ""));
    EXPECT_NE(b->GetLastError().find("invalid_grant"), std::string::npos);
    std::vector<VMInfoStructs::SVMInfo> vms;
    EXPECT_FALSE(b->GetVMInfoList(vms, 0));
    EXPECT_NE(b->GetLastError().find("not connected"), std::string::npos);
}

TEST_F(BridgeTest, ProjectAccessibility) {
    EXPECT_TRUE(bridge->isProjectAccessible("demo-dr"));
    EXPECT_FALSE(bridge->isProjectAccessible("no-such-project"));
    EXPECT_NE(bridge->GetLastError().find("403"), std::string::npos);
}

TEST_F(BridgeTest, RegionsZonesAndMachineTypes) {
    std::vector<VMInfoStructs::SDataCenterInfo> regions;
    ASSERT_TRUE(bridge->GetDCInfoList(kProject, regions, 0)) << bridge->GetLastError();
    ASSERT_EQ(regions.size(), 2u);
    const auto us =
        std::find_if(regions.begin(), regions.end(), [](auto& r) { return r.strName == "us-central1"; });
    ASSERT_NE(us, regions.end());
    EXPECT_EQ(us->vecZones, (std::vector<std::string>{"us-central1-a", "us-central1-b", "us-central1-c"}));
    std::vector<VMInfoStructs::SHostInfo> allZones;
    ASSERT_TRUE(bridge->GetHostInfoList("", 0, 0, allZones));
    EXPECT_EQ(allZones.size(), 6u) << "each zone once, although both projects see it";
    VMInfoStructs::SHostInfo zone;
    ASSERT_TRUE(bridge->GetHostInfo("", "europe-west1-d", "", zone, 0)) << bridge->GetLastError();
    EXPECT_EQ(zone.strRegion, "europe-west1");
    EXPECT_FALSE(bridge->GetHostInfo(kProject, "mars-north1-a", "", zone, 0));

    std::vector<VMInfoStructs::SVMSizeInfo> sizes;
    ASSERT_TRUE(bridge->GetMachineTypesInfoList(kProject, "europe-west1-d", sizes, 0))
        << bridge->GetLastError();
    const auto e2 =
        std::find_if(sizes.begin(), sizes.end(), [](auto& s) { return s.strName == "e2-standard-4"; });
    ASSERT_NE(e2, sizes.end());
    EXPECT_EQ(e2->nNumCPUs, 4);
    EXPECT_EQ(e2->nMemoryMB, 16384);
}

TEST_F(BridgeTest, LicencesOfTheGuestOsImageProject) {
    std::vector<std::string> urls;
    ASSERT_TRUE(bridge->GetLicenseUrlsForProject("Microsoft Windows Server 2022 Datacenter", urls))
        << bridge->GetLastError();
    ASSERT_EQ(urls.size(), 1u);
    EXPECT_NE(urls[0].find("windows-cloud/global/licenses/windows-server-2022-dc"), std::string::npos);
    EXPECT_FALSE(bridge->GetLicenseUrlsForProject("Plan 9", urls));
}
