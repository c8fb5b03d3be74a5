// gcebackup end to end: the binary, the plug-in it loads and the REST bridge
// against a private gce-emulator, as a user runs them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "GcebackupFixture.h"

namespace fs = std::filesystem;
using gce::testsupport::EmulatorProcess;
using nlohmann::json;

namespace {

constexpr const char* kProject = "demo-project";

std::string FreeClosedPort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);  // nothing listens there any more
    return std::to_string(ntohs(a.sin_port));
}

class GcebackupE2E : public gce::testsupport::GcebackupFixture {
  protected:
    // The demo world with its default amount of disk data.
    std::vector<std::string> EmulatorArgs() const override { return {}; }

    RunResult Backup(std::vector<std::string> extra = {},
                     const gce::testsupport::RunTick& onTick = {}) const {
        std::vector<std::string> a = {"backup", "--project", kProject, "--instance",
                                      "web-1",  "--to",      m_store};
        a.insert(a.end(), extra.begin(), extra.end());
        return Run(a, 300, onTick);
    }

    size_t SnapshotCount() const { return Project()["snapshots"].size(); }
    std::string DiskFile(const std::string& disk) const { return Disk(kProject, disk).value("file", ""); }
    std::vector<std::string> InstanceDisks(const std::string& instance) const {
        std::vector<std::string> out;
        json vm = Instance(kProject, instance);  // kept alive while its disks are walked (null when absent)
        for (const auto& d : vm["disks"]) out.push_back(LastSegment(d["source"]));
        return out;
    }
};

}  // namespace

TEST_F(GcebackupE2E, BackupThenRestoreGivesEveryDiskBackByteForByte) {
    const std::set<std::string> before = DiskNames();
    RunResult b = Backup();
    ASSERT_EQ(b.exitCode, 0) << b.err;
    json bj = Parse(b);
    ASSERT_TRUE(bj["ok"].get<bool>());
    const std::string backupDir = bj["backupDir"];
    const json& disks = bj["manifest"]["disks"];
    ASSERT_EQ(disks.size(), 3u);
    for (const auto& d : disks) {
        // Images stay sparse: no larger on disk than the data they hold (plus the last block).
        uint64_t allocated = gcebackup::AllocatedBytes(backupDir + "/" + d["file"].get<std::string>());
        EXPECT_LE(allocated, d["dataBytes"].get<uint64_t>() * 11 / 10 + (1 << 20)) << d["name"];
        EXPECT_GT(d["dataBytes"].get<uint64_t>(), 0u) << d["name"];
    }
    // The backup left nothing in the cloud.
    EXPECT_EQ(DiskNames(), before);
    EXPECT_EQ(SnapshotCount(), 0u);

    RunResult r = Run({"restore", "--from", m_store, "--instance", "web-1", "--as", "web-1-copy"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json rj = Parse(r);
    EXPECT_EQ(rj["instance"], "web-1-copy");

    std::vector<std::string> restored = InstanceDisks("web-1-copy");
    ASSERT_EQ(restored.size(), 3u);
    for (const auto& d : disks) {
        const std::string src = d["name"];
        const std::regex named("^" + std::regex_replace(src, std::regex("-"), "\\-") + "-[0-9]+-[0-9]+$");
        auto it = std::find_if(restored.begin(), restored.end(),
                               [&](const std::string& n) { return std::regex_match(n, named); });
        ASSERT_NE(it, restored.end()) << "no restored disk for " << src;
        EXPECT_TRUE(SameBytes(DiskFile(src), DiskFile(*it))) << src << " vs " << *it;
    }
    EXPECT_EQ(SnapshotCount(), 0u);

    // The stored backup is listed and verifies.
    RunResult v = Run({"verify", "--from", m_store, "--instance", "web-1"});
    EXPECT_EQ(v.exitCode, 0) << v.err;
}

// A filtered backup holds only the chosen disk; once one byte of its image
// is changed, `verify` refuses it, and a restore from it (which reads the
// image once, checking its digest while writing) fails with exit 3 before
// the instance is created and removes the disks it made.
TEST_F(GcebackupE2E, FilteredBackupAndACorruptedStoreRefusedAndNothingLeft) {
    RunResult b = Backup({"--exclude-label", "backup=skip", "--exclude-pattern", "*-data"});
    ASSERT_EQ(b.exitCode, 0) << b.err;
    const json m = Parse(b);
    const json& disks = m["manifest"]["disks"];
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0]["name"], "web-1");
    EXPECT_TRUE(disks[0]["boot"].get<bool>());
    EXPECT_EQ(std::set<std::string>(m["manifest"]["excludedDisks"]),
              (std::set<std::string>{"web-1-data", "web-1-logs"}));
    EXPECT_EQ(SnapshotCount(), 0u);

    const std::string image = m["backupDir"].get<std::string>() + "/" + disks[0]["file"].get<std::string>();
    int fd = ::open(image.c_str(), O_RDWR);
    off_t data = ::lseek(fd, 0, SEEK_DATA);
    ASSERT_GE(data, 0);
    char c = 0;
    ASSERT_EQ(::pread(fd, &c, 1, data + 100), 1);
    c = static_cast<char>(c ^ 0x5a);
    ASSERT_EQ(::pwrite(fd, &c, 1, data + 100), 1);
    ::close(fd);

    RunResult v = Run({"verify", "--from", m_store, "--instance", "web-1"});
    EXPECT_EQ(v.exitCode, 3) << v.err;
    const std::set<std::string> before = DiskNames();
    RunResult r = Run({"restore", "--from", m_store, "--instance", "web-1", "--as", "web-1-copy"});
    EXPECT_EQ(r.exitCode, 3);
    ASSERT_EQ(r.ErrLines().size(), 1u) << r.err;
    EXPECT_NE(r.ErrLines()[0].find("does not match the manifest"), std::string::npos) << r.err;
    EXPECT_EQ(DiskNames(), before);
    EXPECT_TRUE(InstanceDisks("web-1-copy").empty());
    EXPECT_FALSE(Parse(r)["ok"].get<bool>());
}

TEST_F(GcebackupE2E, BadInputGivesOneClearLineAndAFailingExit) {
    // Unknown option.
    RunResult a =
        Run({"backup", "--project", kProject, "--instance", "web-1", "--to", m_store, "--frobnicate"});
    EXPECT_EQ(a.exitCode, 2);
    ASSERT_EQ(a.ErrLines().size(), 1u) << a.err;
    EXPECT_EQ(a.ErrLines()[0].rfind("gcebackup: error: ", 0), 0u) << a.err;
    // Missing required option.
    RunResult b = Run({"backup", "--project", kProject, "--instance", "web-1"});
    EXPECT_EQ(b.exitCode, 2);
    ASSERT_EQ(b.ErrLines().size(), 1u) << b.err;
    EXPECT_NE(b.err.find("--to"), std::string::npos) << b.err;
    // A credential the cloud does not accept.
    const std::string cred = m_emu->credential();
    m_credential = cred.substr(0, cred.find('|')) + "|intruder@demo-project.iam.gserviceaccount.com";
    RunResult c = Backup();
    m_credential.clear();
    EXPECT_EQ(c.exitCode, 1);
    ASSERT_EQ(c.ErrLines().size(), 1u) << c.err;
    EXPECT_NE(c.ErrLines()[0].find("Connect failed: plug-in error 48"), std::string::npos) << c.err;
    // An endpoint where nothing listens.
    std::vector<std::string> args = CommonArgs();
    args[1] = "http://127.0.0.1:" + FreeClosedPort();
    args.insert(args.end(), {"instances", "--project", kProject});
    RunResult d = RunProcess(GCEBACKUP_PATH, args, 120);
    EXPECT_EQ(d.exitCode, 1);
    ASSERT_EQ(d.ErrLines().size(), 1u) << d.err;
    EXPECT_NE(d.ErrLines()[0].find("plug-in error 48"), std::string::npos) << d.err;
    // Nothing was written to the store by any of them.
    std::error_code ec;
    EXPECT_FALSE(fs::exists(m_store + "/web-1", ec) && !fs::is_empty(m_store + "/web-1", ec));
}

// Backups killed with SIGKILL leave what they made for the next `gcebackup
// cleanup`, which removes all of it: once while a disk made from a snapshot
// is attached to the proxy (its device link exists), together with the
// backup's partial directory in the store; once while the disks made from
// the snapshots are still being created (they are in the crash-recovery
// registry from the moment they were requested).
TEST_F(GcebackupE2E, CleanupRemovesWhatKilledBackupsLeft) {
    m_emu = std::make_unique<EmulatorProcess>("demo", std::vector<std::string>{"--demo-data-mib", "1024"});
    const std::set<std::string> before = DiskNames();
    bool killed = false;
    RunResult r = Backup({}, [&](const std::string&, pid_t pid, double) {
        if (killed) return;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(m_emu->byIdDir(), ec))
            if (e.path().filename().string().rfind("google-zd-", 0) == 0) {
                ::kill(pid, SIGKILL);
                killed = true;
                return;
            }
    });
    ASSERT_TRUE(killed) << "the backup ended before a disk was attached: " << r.err;
    ASSERT_NE(DiskNames(), before) << "the killed job left nothing to clean";
    auto partials = [this]() {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(m_store + "/web-1", ec))
            if (e.path().extension() == ".partial") found.push_back(e.path().string());
        return found;
    };
    ASSERT_EQ(partials().size(), 1u);
    RunResult c = Run({"cleanup"});
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_EQ(SnapshotCount(), 0u);
    EXPECT_EQ(DiskNames(), before);
    EXPECT_TRUE(partials().empty());
    EXPECT_EQ(Parse(c)["partialBackupsRemoved"].size(), 1u) << c.out;
    // Nothing is left to do the second time.
    RunResult again = Run({"cleanup"});
    EXPECT_EQ(again.exitCode, 0) << again.err;

    m_emu->setLatency(1500, 1500, 50, 50);
    killed = false;
    Backup({}, [&](const std::string&, pid_t pid, double elapsed) {
        if (!killed && elapsed > 3.0) {
            ::kill(pid, SIGKILL);
            killed = true;
        }
    });
    ASSERT_TRUE(killed);
    m_emu->setLatency(50, 50, 50, 50);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // let pending creations finish
    c = Run({"cleanup"});
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_EQ(SnapshotCount(), 0u);
    EXPECT_EQ(DiskNames(), before);
}
