// The local files that configure a job: settings files that are refused with
// the setting's name, and credential files that are missing or shared.
#include "cli/Settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/unit/cli/TempDir.h"

namespace fs = std::filesystem;
using namespace gcebackup;

namespace {

std::string ErrorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const SettingsError& e) {
        return e.what();
    }
    return "";
}

void Write(const std::string& path, const std::string& text, mode_t mode = 0600) {
    std::ofstream(path, std::ios::binary) << text;
    ::chmod(path.c_str(), mode);
}

TEST(Settings, BadFilesAndValuesAreRefusedWithTheSettingsName) {
    TempDir t;
    fs::create_directories(t / "dir");
    struct Case {
        std::string path;  // a file holding `text` unless it names something else
        std::string text;
        std::string expected;  // empty: accepted
    };
    const std::string ini = "[VirtualServer]\n";
    const std::vector<Case> cases = {
        {t / "missing.ini", "", "no such file"},
        {t / "dir", "", "not a regular file"},
        {"", "this is not a settings file\n", "not an INI file"},
        {"", std::string("[VirtualServer]\n\0\1\2", 19), "binary"},
        {"", "[VirtualServer\nnGoogleOperationPollingInMins=0\n", "without ']'"},
        {"", ini + "nGoogleOperationTimeoutInMins=-1\n", "nGoogleOperationTimeoutInMins=-1 is out of range"},
        {"", ini + "ngoogleoperationtimeoutinmins = 1441\n", "nGoogleOperationTimeoutInMins=1441"},
        {"", ini + "nGoogleOperationPollingInMins=2147483647\n", "nGoogleOperationPollingInMins=2147483647"},
        {"", ini + "nGoogleOperationPollingInMins=99999999999999999999\n", "out of range"},
        {"", ini + "nGoogleOperationPollingInMins=1m\n", "nGoogleOperationPollingInMins=1m is out of range"},
        {"", ini + "nDiskDeviceWaitSecs=-5\n", "nDiskDeviceWaitSecs=-5"},
        {"", ini + "nHostDiscoveryCacheSecs=86401\n", "nHostDiscoveryCacheSecs=86401"},
        {"", ini + "bIgnoreEncryptionError=maybe\n", "bIgnoreEncryptionError=maybe is not a boolean"},
        // Accepted: the limits, empty values, comments, other sections.
        {"",
         "# comment\n; comment\n\n" + ini +
             "nGoogleOperationTimeoutInMins=1440\nnGoogleOperationPollingInMins=0\nnDiskDeviceWaitSecs=\n"
             "bUseOptimizedGCPVolumeType=Yes\nstrGoogleEndpoint=\n[Other]\nnGoogleOperationTimeoutInMins=-"
             "1\n",
         ""},
        {"", "", ""},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        std::string path = c.path;
        if (path.empty()) {
            path = t / ("settings-" + std::to_string(i) + ".ini");
            Write(path, c.text);
        }
        const std::string err = ErrorOf([&] { CheckSettingsFile(path); });
        if (c.expected.empty())
            EXPECT_EQ(err, "") << "case " << i;
        else
            EXPECT_NE(err.find(c.expected), std::string::npos) << "case " << i << ": " << err;
    }
}

TEST(Settings, CredentialFilesMustExistAndStayPrivate) {
    TempDir t;
    const std::string key = t / "sa.p12";
    Write(key, "key");
    const std::string line = key + "|sa@p.iam.gserviceaccount.com";
    Write(t / "credential.txt", line + "\n");
    std::vector<std::string> warnings;

    // A credential string, and a file holding one, both private.
    EXPECT_EQ(ReadCredential("  " + line + " ", warnings), line);
    EXPECT_EQ(ReadCredential(t / "credential.txt", warnings), line);
    EXPECT_TRUE(warnings.empty());

    // Missing files say so, the credential file and the key file it names.
    EXPECT_NE(ErrorOf([&] {
                  ReadCredential(t / "credentail.txt", warnings);
              }).find("credential file " + (t / "credentail.txt") + ": no such file"),
              std::string::npos);
    EXPECT_NE(ErrorOf([&] {
                  ReadCredential(t / "nope.p12|sa@p.iam.gserviceaccount.com", warnings);
              }).find("key file " + (t / "nope.p12") + ": no such file"),
              std::string::npos);
    // A value that is neither is refused without being echoed (it may be a
    // secret given without its e-mail).
    const std::string err = ErrorOf([&] { ReadCredential("*00112233aabbccdd", warnings); });
    EXPECT_NE(err.find("neither"), std::string::npos) << err;
    EXPECT_EQ(err.find("00112233"), std::string::npos) << err;
    // A wrapped secret names no key file.
    EXPECT_EQ(ReadCredential("*00112233|sa@p.iam.gserviceaccount.com", warnings),
              "*00112233|sa@p.iam.gserviceaccount.com");
    EXPECT_TRUE(warnings.empty());

    // Files others may read are used, with one warning each.
    ::chmod(key.c_str(), 0640);
    ::chmod((t / "credential.txt").c_str(), 0604);
    EXPECT_EQ(ReadCredential(t / "credential.txt", warnings), line);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].find("credential file " + (t / "credential.txt")), std::string::npos);
    EXPECT_NE(warnings[1].find("key file " + key), std::string::npos);
    EXPECT_NE(warnings[1].find("group or others"), std::string::npos);
}

}  // namespace
