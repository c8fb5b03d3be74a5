// Runs the bridge's integration suite with every log line written to one
// file, and checks at the end that no key or token used reached it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "BridgeFixture.h"
#include "plugin/host/EvDebug.h"

namespace {

std::string LogPath() {
    return ::testing::TempDir() + "/bridge-integration-" + std::to_string(getpid()) + ".log";
}

class NoSecretInLog : public ::testing::Environment {
  public:
    void SetUp() override {
        std::remove(LogPath().c_str());
        EvDebug::Configure(LogPath(), 9);
    }
    void TearDown() override {
        const std::string log = bridgetest::ReadFile(LogPath());
        EXPECT_FALSE(log.empty()) << "the suite should have logged to " << LogPath();
        for (const auto& secret : bridgetest::SecretRegistry::Get().All())
            EXPECT_EQ(log.find(secret), std::string::npos) << "key material or token in the log";
        for (const char* marker : {"Bearer ", "access_token", "assertion=", "PRIVATE KEY", "private_key"})
            EXPECT_EQ(log.find(marker), std::string::npos) << "log holds [" << marker << "]";
        if (!::testing::Test::HasFailure()) std::remove(LogPath().c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new NoSecretInLog);
    return RUN_ALL_TESTS();
}
