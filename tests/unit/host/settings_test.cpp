#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/HostUtils.h"

namespace {
class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/gcesettingsXXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/settings.ini";
        ArPlatformInfo::SetSettingsFile(path_);
    }
    void TearDown() override {
        ArPlatformInfo::SetSettingsFile("");
        ArPlatformInfo::ClearOverrides();
        CLuDirectory::RemoveRecursive(dir_);
    }
    void Write(const std::string& text) { ASSERT_TRUE(WriteWholeFile(path_, text)); }
    std::string dir_, path_;
};
}  // namespace

TEST_F(SettingsTest, AbsentKeysLeaveTheDefault) {
    Write("[VirtualServer]\nnGoogleOperationPollingInMins = 0\n");
    bool b = true;
    long long n = 42;
    EXPECT_EQ(ArPlatformInfo::getBoolean("VirtualServer", "bIgnoreEncryptionError", b), 0);
    EXPECT_TRUE(b);
    EXPECT_EQ(ArPlatformInfo::getNumber("Other", "nGoogleOperationPollingInMins", n), 0);
    EXPECT_EQ(n, 42);
    EXPECT_NE(ArPlatformInfo::getNumber("virtualserver", "NGOOGLEOPERATIONPOLLINGINMINS", n), 0);
    EXPECT_EQ(n, 0);
}

TEST_F(SettingsTest, ParsesBooleansNumbersAndRejectsGarbage) {
    Write("# comment\n[VirtualServer]\na=TRUE\nb=no\nc=maybe\nd=-12\ne=12abc\nf=99999999999\n; x\n");
    bool b = false;
    EXPECT_NE(ArPlatformInfo::getBoolean("VirtualServer", "a", b), 0);
    EXPECT_TRUE(b);
    EXPECT_NE(ArPlatformInfo::getBoolean("VirtualServer", "b", b), 0);
    EXPECT_FALSE(b);
    b = true;
    EXPECT_EQ(ArPlatformInfo::getBoolean("VirtualServer", "c", b), 0);
    EXPECT_TRUE(b);
    long long n = 7;
    EXPECT_NE(ArPlatformInfo::getNumber("VirtualServer", "d", n), 0);
    EXPECT_EQ(n, -12);
    EXPECT_EQ(ArPlatformInfo::getNumber("VirtualServer", "e", n), 0);
    EXPECT_EQ(n, -12);
    int n32 = 5;
    EXPECT_EQ(GetNumber32("VirtualServer", "f", n32), 0);  // does not fit: untouched
    EXPECT_EQ(n32, 5);
}

TEST_F(SettingsTest, ReloadsAChangedFileAndOverridesWin) {
    Write("[VirtualServer]\nk=1\n");
    long long n = 0;
    ASSERT_NE(ArPlatformInfo::getNumber("VirtualServer", "k", n), 0);
    EXPECT_EQ(n, 1);
    Write("[VirtualServer]\nk=22\n");
    ASSERT_NE(ArPlatformInfo::getNumber("VirtualServer", "k", n), 0);
    EXPECT_EQ(n, 22);
    ArPlatformInfo::SetOverride("VirtualServer", "k", "3");
    ASSERT_NE(ArPlatformInfo::getNumber("VirtualServer", "k", n), 0);
    EXPECT_EQ(n, 3);
}
