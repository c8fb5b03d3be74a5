// Names the jobs generate: unique per proxy and process, within the cloud's
// 63-character rule; creation labels and the cloud's "already exists".
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>

#include "plugin/host/CloudNames.h"

namespace {

TEST(NameTokenTest, FixedLengthBase36AndDifferentForEveryProxyProcessAndStart) {
    const std::string t = CloudNames::NameTokenFor("1734503000000007919", 4711, 123456);
    ASSERT_EQ(t.size(), CloudNames::kNameTokenLength);
    for (char c : t) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')) << t;
    EXPECT_EQ(t, CloudNames::NameTokenFor("1734503000000007919", 4711, 123456)) << "a token is stable";
    EXPECT_NE(t, CloudNames::NameTokenFor("1734503000000007918", 4711, 123456)) << "another proxy";
    EXPECT_NE(t, CloudNames::NameTokenFor("1734503000000007919", 4712, 123456)) << "another process";
    EXPECT_NE(t, CloudNames::NameTokenFor("1734503000000007919", 4711, 123457)) << "a reused pid";
    // Parts do not run into each other.
    EXPECT_NE(CloudNames::NameTokenFor("12", 3, 0), CloudNames::NameTokenFor("1", 23, 0));

    // Processes started together on one proxy (consecutive pids, one start
    // time) all get tokens of their own.
    std::set<std::string> seen;
    for (int pid = 1000; pid < 3000; ++pid) seen.insert(CloudNames::NameTokenFor("proxy", pid, 98765));
    EXPECT_EQ(seen.size(), 2000u);

    // This process's token follows the recorded proxy.
    CloudNames::SetNameTokenProxy("proxy-a");
    const std::string a = CloudNames::NameToken();
    EXPECT_EQ(a, CloudNames::NameToken());
    CloudNames::SetNameTokenProxy("proxy-b");
    EXPECT_NE(a, CloudNames::NameToken());
    CloudNames::SetNameTokenProxy("");
}

TEST(GeneratedNameTest, KeepsTheTokenAndTheTailWithin63Characters) {
    const std::string token = "k3x9a";
    EXPECT_EQ(CloudNames::GeneratedName("zd-backup-7", token, "4851738472931", "1700000000"),
              "zd-backup-7-k3x9a-4851738472931-1700000000");
    EXPECT_EQ(CloudNames::GeneratedName("zd-temp-replication", token, "web-1-data", ""),
              "zd-temp-replication-k3x9a-web-1-data");

    // A long base gives way from its front: its end (the telling part of a
    // disk id) stays, with the token and the seconds.
    const std::string longBase(60, '7');
    const std::string name = CloudNames::GeneratedName("zd-restore-12345", token, longBase, "1700000000");
    EXPECT_EQ(name.size(), CloudNames::kMaxNameLength);
    EXPECT_TRUE(CloudNames::IsValidName(name)) << name;
    EXPECT_EQ(name.rfind("zd-restore-12345-k3x9a-7", 0), 0u) << name;
    EXPECT_EQ(name.substr(name.size() - 11), "-1700000000");

    // A base that would start with a dash after the cut loses the dash.
    const std::string cut = CloudNames::GeneratedName(
        "zd-copy", token, std::string(30, 'a') + "-" + std::string(40, 'b'), "ab12");
    EXPECT_LE(cut.size(), CloudNames::kMaxNameLength);
    EXPECT_TRUE(CloudNames::IsValidName(cut)) << cut;

    // Even a stem too long for the rule leaves a valid name with the token.
    const std::string huge =
        CloudNames::GeneratedName("zd-backup-" + std::string(70, '9'), token, "11", "1700000000");
    EXPECT_LE(huge.size(), CloudNames::kMaxNameLength);
    EXPECT_NE(huge.find("-k3x9a-"), std::string::npos) << huge;
    EXPECT_TRUE(CloudNames::IsValidName(huge)) << huge;
}

TEST(DeviceKeyTest, BackupDisksOfTwoJobsNeverShareADeviceAndOtherDisksKeepTheirId) {
    // Two jobs' disks made from one protected disk in the same second differ
    // only by their tokens: so do their devices on the proxy.
    const std::string a = CloudNames::GeneratedName("zd-backup-1", "k3x9a", "4851738472931", "1700000000");
    const std::string b = CloudNames::GeneratedName("zd-backup-1", "7pq2b", "4851738472931", "1700000000");
    EXPECT_EQ(CloudNames::DeviceKeyForDisk(a, "111"), "k3x9a-4851738472931");
    EXPECT_EQ(CloudNames::DeviceKeyForDisk(b, "222"), "7pq2b-4851738472931");
    // A disk named before tokens (its job still running across an upgrade)
    // keeps the device it was attached under.
    EXPECT_EQ(CloudNames::DeviceKeyForDisk("zd-backup-77-4851738472931-1700000000", "9"), "4851738472931");
    for (const char* other : {"restored-data", "zd-restore-7-k3x9a-123-1700000000", "zd-backup-broken", ""})
        EXPECT_EQ(CloudNames::DeviceKeyForDisk(other, "555"), "555") << other;
}

TEST(CreationLabelsTest, CreatorNamesThisProcessAndLabelValuesObeyTheRules) {
    int64_t pid = 0, start = -1;
    ASSERT_TRUE(CloudNames::ParseCreatorValue(CloudNames::CreatorValue(), pid, start));
    EXPECT_EQ(pid, static_cast<int64_t>(::getpid()));
    EXPECT_GE(start, 0);
    for (const char* bad : {"", "12", "12-", "-5", "a-1", "1-2-3", "99999999999999999999-1"})
        EXPECT_FALSE(CloudNames::ParseCreatorValue(bad, pid, start)) << bad;

    EXPECT_EQ(CloudNames::LabelValue("Backup-Proxy.EU"), "backup-proxy-eu");
    EXPECT_EQ(CloudNames::LabelValue(std::string(70, 'X')).size(), 63u);

    EXPECT_TRUE(CloudNames::IsAlreadyExistsError("HTTP 409 alreadyExists: The resource 'x' already exists"));
    EXPECT_FALSE(CloudNames::IsAlreadyExistsError("HTTP 404 notFound: The resource 'x' was not found"));
    EXPECT_FALSE(CloudNames::IsAlreadyExistsError(""));
}

}  // namespace
