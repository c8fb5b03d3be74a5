// The bucket object store of the repository against a private gce-emulator:
// create-only-if-absent, resumable uploads of large objects and their ranged
// downloads, refresh and the deletion that spares an object refreshed since
// it was listed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "EmulatorProcess.h"
#include "cli/Store.h"
#include "cli/repo/ObjectStore.h"

using nlohmann::json;
using namespace gcebackup::repo;

namespace {

class BucketStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_emu = std::make_unique<gce::testsupport::EmulatorProcess>("demo", std::vector<std::string>{});
        auto r = m_emu->request("POST", "/storage/v1/b?project=demo-project", R"({"name":"store-test"})",
                                m_emu->accessToken());
        ASSERT_EQ(r.status, 200) << r.body;
        const std::string credential = m_emu->credential();
        SetCloudAccess({m_emu->baseUrl(), [credential] { return credential; }, ""});
        m_store = MakeBucketStore("gs://store-test/some/prefix/");
    }
    void TearDown() override { SetBucketDownloadPiece(0); }

    // Requests that reached the object routes (metadata and media) since
    // the last reset.
    int64_t ObjectGets() const {
        int64_t n = 0;
        const nlohmann::json stats = m_emu->stats();
        for (const auto& [route, count] : stats["requests"].items())
            if (route == "GET /storage/v1/b/{bucket}/o/{object}") n += count.get<int64_t>();
        return n;
    }

    std::unique_ptr<gce::testsupport::EmulatorProcess> m_emu;
    std::shared_ptr<ObjectStore> m_store;
};

std::string Pattern(size_t size, unsigned salt) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i * 31 + i / 4093 + salt);
    return out;
}

TEST_F(BucketStoreTest, ObjectsAreCreatedOnceAndLargeOnesGoUpResumably) {
    EXPECT_EQ(m_store->Describe(), "gs://store-test/some/prefix");
    EXPECT_TRUE(m_store->PutIfAbsent("chunks/ab/one", "first", 5));
    EXPECT_FALSE(m_store->PutIfAbsent("chunks/ab/one", "second", 6));
    std::string out;
    ASSERT_TRUE(m_store->Get("chunks/ab/one", out, 100));
    EXPECT_EQ(out, "first");
    EXPECT_FALSE(m_store->Get("chunks/ab/none", out, 100));
    EXPECT_THROW(m_store->Get("chunks/ab/one", out, 2), gcebackup::StoreError);

    // Above the threshold: a resumable session, in pieces.
    std::string big(20u << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
    EXPECT_TRUE(m_store->PutIfAbsent("backups/i/b/disks/d.index", big.data(), big.size()));
    EXPECT_FALSE(m_store->PutIfAbsent("backups/i/b/disks/d.index", big.data(), big.size()));
    ASSERT_TRUE(m_store->Get("backups/i/b/disks/d.index", out, 1u << 30));
    EXPECT_TRUE(out == big);

    // Keys are relative to the prefix; the object names carry it.
    auto listed = m_store->List("chunks/");
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].key, "chunks/ab/one");
    EXPECT_EQ(listed[0].size, 5u);
    auto raw = m_emu->request("GET", "/storage/v1/b/store-test/o/some%2Fprefix%2Fchunks%2Fab%2Fone", "",
                              m_emu->accessToken());
    EXPECT_EQ(raw.status, 200);
}

// An answer is capped at 64 MiB, so larger objects (the index of a large
// disk) are read in ranged pieces; a lowered piece size stands in for that.
TEST_F(BucketStoreTest, ObjectsAboveThePieceSizeAreReadInRangesAndLimitsAreKeptBeforeReading) {
    constexpr size_t kPiece = 1u << 20;
    SetBucketDownloadPiece(kPiece);
    m_store = MakeBucketStore("gs://store-test/ranged");
    struct Case {
        size_t size;
        int64_t gets;  // the metadata read and the media reads
    } const cases[] = {// Read with a limit of a piece or less (a chunk): one answer, no metadata read.
                       {kPiece * 3 + 12345, 1 + 4},
                       {kPiece * 2, 1 + 2},
                       {kPiece, 1},
                       {kPiece + 1, 1 + 2}};
    for (const Case& c : cases) {
        const std::string key = "backups/i/b/disks/" + std::to_string(c.size) + ".index";
        const std::string bytes = Pattern(c.size, static_cast<unsigned>(c.size));
        ASSERT_TRUE(m_store->PutIfAbsent(key, bytes.data(), bytes.size()));
        m_emu->resetStats();
        std::string out;
        ASSERT_TRUE(m_store->Get(key, out, c.size)) << c.size;
        EXPECT_TRUE(out == bytes) << c.size;
        EXPECT_EQ(ObjectGets(), c.gets) << c.size;
    }

    // One byte over the limit: refused from the metadata alone, and what
    // the caller held is left as it was.
    const std::string key = "backups/i/b/disks/" + std::to_string(kPiece * 3 + 12345) + ".index";
    m_emu->resetStats();
    std::string out = "kept";
    try {
        m_store->Get(key, out, kPiece * 3 + 12344);
        ADD_FAILURE() << "an object above the limit was read";
    } catch (const gcebackup::StoreError& e) {
        EXPECT_NE(std::string(e.what()).find("is larger than"), std::string::npos) << e.what();
    }
    EXPECT_EQ(out, "kept");
    EXPECT_EQ(ObjectGets(), 1);
    EXPECT_FALSE(m_store->Get("backups/i/b/disks/none.index", out, 1u << 30));
}

TEST_F(BucketStoreTest, DeletionSparesAnObjectRefreshedSinceItWasListed) {
    ASSERT_TRUE(m_store->PutIfAbsent("chunks/cd/two", "x", 1));
    const ObjectInfo seen = m_store->List("chunks/").at(0);
    EXPECT_GT(seen.metageneration, 0);
    EXPECT_GT(seen.created, 0);
    ASSERT_TRUE(m_store->Touch("chunks/cd/two"));
    EXPECT_FALSE(m_store->Touch("chunks/cd/none"));
    EXPECT_EQ(m_store->Delete("chunks/cd/two", &seen), DeleteOutcome::Refreshed);
    const auto now = m_store->Stat("chunks/cd/two");
    ASSERT_TRUE(now.has_value());
    EXPECT_EQ(m_store->Delete("chunks/cd/two", &*now), DeleteOutcome::Deleted);
    EXPECT_EQ(m_store->Delete("chunks/cd/two"), DeleteOutcome::Absent);
    EXPECT_FALSE(m_store->Stat("chunks/cd/two").has_value());

    // Listed, then removed by another prune and stored again by a backup:
    // the new object has the listed metageneration (1) but not its
    // generation, and stays.
    ASSERT_TRUE(m_store->PutIfAbsent("chunks/cd/three", "x", 1));
    const ObjectInfo listed = m_store->List("chunks/cd/three").at(0);
    EXPECT_GT(listed.generation, 0);
    EXPECT_EQ(m_store->Delete("chunks/cd/three"), DeleteOutcome::Deleted);
    ASSERT_TRUE(m_store->PutIfAbsent("chunks/cd/three", "x", 1));
    EXPECT_EQ(m_store->Stat("chunks/cd/three")->metageneration, listed.metageneration);
    EXPECT_EQ(m_store->Delete("chunks/cd/three", &listed), DeleteOutcome::Refreshed);
    EXPECT_TRUE(m_store->Stat("chunks/cd/three").has_value());
}

TEST_F(BucketStoreTest, ListingFollowsPagesAndBadUrlsAreRefused) {
    for (int i = 0; i < 1005; ++i) {
        const std::string key = "locks/n" + std::to_string(10000 + i);
        ASSERT_TRUE(m_store->PutIfAbsent(key, "", 0));
    }
    auto all = m_store->List("locks/");
    ASSERT_EQ(all.size(), 1005u);
    EXPECT_EQ(all.front().key, "locks/n10000");
    EXPECT_EQ(all.back().key, "locks/n11004");
    EXPECT_EQ(m_store->RetentionSeconds(), 0);
    EXPECT_THROW(MakeBucketStore("gs://Not_A_Bucket/x"), gcebackup::StoreError);
    EXPECT_THROW(MakeBucketStore("gs://store-test/a/../b"), gcebackup::StoreError);
    EXPECT_THROW(MakeBucketStore("gs://no-such-bucket/x"), gcebackup::StoreError);
    SetCloudAccess({m_emu->baseUrl(), [] { return std::string("/no/such/key.p12|sa@example.com"); }, ""});
    EXPECT_THROW(MakeBucketStore("gs://store-test/x"), gcebackup::StoreError);
}

}  // namespace
