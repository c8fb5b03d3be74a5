// gcebackup end to end: the binary, the plug-in it loads and the REST bridge
// against a private gce-emulator, as a user runs them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>
#include <tuple>

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

    // Each restored disk is named after its source disk.
    std::vector<std::string> restored = InstanceDisks("web-1-copy");
    ASSERT_EQ(restored.size(), 3u);
    for (size_t i = 0; i < restored.size(); ++i) {
        const std::string src = InstanceDisks("web-1")[i];
        const std::regex named("^" + std::regex_replace(src, std::regex("-"), "\\-") + "-[0-9]+-[0-9]+$");
        EXPECT_TRUE(std::regex_match(restored[i], named)) << restored[i] << " for " << src;
    }
    ExpectSameInstance(InstanceConfig(kProject, "us-central1-b", "web-1"),
                       InstanceConfig(kProject, "us-central1-b", "web-1-copy"));
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

    // A manifest that lists its disk twice: `verify` refuses it as the
    // restore would, and a FIFO for a manifest is refused, not waited on.
    const std::string manifest = m["backupDir"].get<std::string>() + "/manifest.json";
    json doubled = json::parse(std::ifstream(manifest));
    doubled["disks"].push_back(doubled["disks"][0]);
    fs::rename(manifest, manifest + ".orig");
    std::ofstream(manifest) << doubled.dump();
    for (int fifo = 0; fifo < 2; ++fifo) {
        if (fifo) {
            fs::remove(manifest);
            ASSERT_EQ(::mkfifo(manifest.c_str(), 0600), 0);
        }
        RunResult v = Run({"verify", "--from", m_store, "--instance", "web-1"}, 60);
        EXPECT_EQ(v.exitCode, 3) << v.err;
        ASSERT_EQ(v.ErrLines().size(), 1u) << v.err;
        EXPECT_NE(v.ErrLines()[0].find(fifo ? "not a regular file" : "lists disk web-1 twice"),
                  std::string::npos)
            << v.err;
    }
}

// A disk whose snapshot fails leaves the backup without it: what was read is
// kept, but the job fails and names the disk.
TEST_F(GcebackupE2E, ABackupThatLacksADiskIsKeptAndFails) {
    m_emu->addFault(
        {{"match", "^POST .*/disks/web-1-data/createSnapshot$"}, {"operationError", "QUOTA_EXCEEDED"}});
    RunResult b = Backup({});
    m_emu->clearFaults();
    EXPECT_EQ(b.exitCode, 1) << b.err;
    const json j = Parse(b);
    EXPECT_FALSE(j["ok"].get<bool>());
    EXPECT_TRUE(j["incomplete"].get<bool>());
    EXPECT_EQ(j["missedDisks"], json::array({"web-1-data"}));
    EXPECT_EQ(j["manifest"]["disks"].size(), 2u);
    ASSERT_EQ(b.ErrLines().size(), 1u) << b.err;
    EXPECT_NE(b.ErrLines()[0].find("incomplete backup " + j["backupId"].get<std::string>() +
                                   " of web-1: 1 disk(s) not backed up (web-1-data)"),
              std::string::npos)
        << b.err;
    EXPECT_EQ(SnapshotCount(), 0u);
    RunResult l = Run({"list", "--store", m_store});
    EXPECT_EQ(l.exitCode, 0);
    EXPECT_NE(l.out.find(j["backupId"].get<std::string>()), std::string::npos) << l.out;
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
    // A settings file that is missing or holds a value out of range, and a
    // mistyped credential file: refused before anything starts.
    const std::string bad = m_dir + "/bad.ini";
    std::ofstream(bad) << "[VirtualServer]\nnGoogleOperationTimeoutInMins=-1\n";
    for (const auto& [option, value, expected] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"--settings", m_dir + "/nope.ini", "no such file"},
             {"--settings", bad, "nGoogleOperationTimeoutInMins=-1 is out of range"},
             {"--credential", m_dir + "/credentail.txt",
              "credential file " + m_dir + "/credentail.txt: no such file"}}) {
        std::vector<std::string> a = CommonArgs();
        *(std::find(a.begin(), a.end(), option) + 1) = value;
        a.insert(a.end(), {"instances", "--project", kProject});
        RunResult e = RunProcess(GCEBACKUP_PATH, a, 60);
        EXPECT_EQ(e.exitCode, 2) << e.err;
        ASSERT_EQ(e.ErrLines().size(), 1u) << e.err;
        EXPECT_NE(e.ErrLines()[0].find(expected), std::string::npos) << e.err;
    }
    // Nothing was written to the store by any of them.
    std::error_code ec;
    EXPECT_FALSE(fs::exists(m_store + "/web-1", ec) && !fs::is_empty(m_store + "/web-1", ec));
}

// A file-size limit below an image's size: the write fails with EFBIG
// instead of killing the program with SIGXFSZ, and the job fails with one
// line and leaves nothing, in the cloud or in the store.
TEST_F(GcebackupE2E, AFileSizeLimitFailsTheBackupCleanly) {
    const std::set<std::string> disks = DiskNames();
    std::vector<std::string> args = {GCEBACKUP_PATH};
    for (const std::string& a : CommonArgs()) args.push_back(a);
    for (const char* a : {"backup", "--project", kProject, "--instance", "web-1", "--to"}) args.push_back(a);
    args.push_back(m_store);
    std::string command = "ulimit -f 16384 && exec";
    for (const std::string& a : args) command += " '" + a + "'";
    RunResult r = RunProcess("/bin/sh", {"-c", command}, 300);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    ASSERT_EQ(r.ErrLines().size(), 1u) << r.err;
    EXPECT_NE(r.ErrLines()[0].find("File too large"), std::string::npos) << r.err;
    EXPECT_EQ(DiskNames(), disks);
    EXPECT_EQ(SnapshotCount(), 0u);
    std::error_code ec;
    EXPECT_TRUE(!fs::exists(m_store + "/web-1", ec) || fs::is_empty(m_store + "/web-1", ec));
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
    const std::set<std::string> left = DiskNames();
    RunResult c = Run({"cleanup"});
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_EQ(SnapshotCount(), 0u);
    EXPECT_EQ(DiskNames(), before);
    EXPECT_TRUE(partials().empty());
    const json report = Parse(c);
    EXPECT_EQ(report["partialBackupsRemoved"].size(), 1u) << c.out;
    // It names what it removed.
    std::set<std::string> removedDisks;
    for (const auto& r : report["removed"])
        if (r["kind"] == "disk") removedDisks.insert(r["name"].get<std::string>());
    for (const auto& d : left) {
        if (!before.count(d)) {
            EXPECT_TRUE(removedDisks.count(d)) << d << " not reported: " << c.out;
        }
    }
    EXPECT_TRUE(report["remaining"].empty()) << c.out;
    // Nothing is left to do the second time.
    RunResult again = Run({"cleanup"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_TRUE(Parse(again)["removed"].empty()) << again.out;

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
    // What the cloud refuses to delete is named with the cloud's reason, the
    // clean-up fails, and the next one (once allowed) removes it.
    m_emu->addFault({{"match", "^DELETE .*/(disks|snapshots)/"},
                     {"status", 403},
                     {"reason", "forbidden"},
                     {"message", "Required 'compute.resources.delete' permission"}});
    c = Run({"cleanup"});
    m_emu->clearFaults();
    EXPECT_EQ(c.exitCode, 1) << c.err;
    EXPECT_EQ(c.ErrLines().size(), 1u) << c.err;
    const json refused = Parse(c);
    ASSERT_FALSE(refused["remaining"].empty()) << c.out;
    for (const auto& r : refused["remaining"]) {
        const std::string name = r["name"];
        EXPECT_NE(r["reason"].get<std::string>().find("compute.resources.delete"), std::string::npos)
            << c.out;
        EXPECT_TRUE(r["kind"] == "disk" ? DiskNames().count(name) : SnapshotNames().count(name)) << c.out;
    }
    c = Run({"cleanup"});
    EXPECT_EQ(c.exitCode, 0) << c.err;
    EXPECT_EQ(Parse(c)["removed"].size(), refused["remaining"].size()) << c.out;
    EXPECT_EQ(SnapshotCount(), 0u);
    EXPECT_EQ(DiskNames(), before);
}

// What a new user meets first: each mistake answered with a line that names
// it (and JSON under --json), a JSON key accepted as the credential, a second
// job on a busy instance told which job holds it, and a disk whose creation
// failed reported with the cloud's reason rather than the attach that follows.
TEST_F(GcebackupE2E, FirstStepsGetAnswersThatNameTheMistake) {
    RunResult a = Run({"frobnicate"});
    EXPECT_EQ(a.exitCode, 2);
    ASSERT_EQ(a.ErrLines().size(), 1u) << a.err;
    EXPECT_NE(a.err.find("unknown command \"frobnicate\""), std::string::npos) << a.err;
    EXPECT_EQ(Parse(a)["exitCode"], 2);

    std::vector<std::string> placeholder = CommonArgs();
    placeholder[1] = "http://127.0.0.1:PORT";
    placeholder.insert(placeholder.end(), {"instances", "--project", kProject});
    RunResult b = RunProcess(GCEBACKUP_PATH, placeholder, 60);
    EXPECT_EQ(b.exitCode, 2);
    EXPECT_NE(b.err.find("is not a usable URL"), std::string::npos) << b.err;

    RunResult c = Run({"restore", "--from", m_store, "--as", ".."});
    EXPECT_EQ(c.exitCode, 2);
    EXPECT_NE(c.err.find("--as \"..\" is not a valid"), std::string::npos) << c.err;
    RunResult d = Run({"power", "off", "--project", kProject, "--zone", "../x", "--instance", "web-1"});
    EXPECT_EQ(d.exitCode, 2);
    EXPECT_NE(d.err.find("--zone \"../x\" is not a valid zone name"), std::string::npos) << d.err;

    RunResult help = RunProcess(GCEBACKUP_PATH, {"--help"}, 60);
    for (const char* var : {"GCEBACKUP_STATE_DIR", "GCEBACKUP_DEVICE_DIR", "GCEBACKUP_METADATA"})
        EXPECT_NE(help.out.find(var), std::string::npos) << var;

    m_credential = m_emu->jsonKeyPath();
    RunResult e = Run({"instances", "--project", kProject});
    m_credential.clear();
    EXPECT_EQ(e.exitCode, 0) << e.err;

    // Another job holds web-1.
    fs::create_directories(StateDir() + "/locks");
    const std::string lockPath = StateDir() + "/locks/" + std::string(kProject) + ".web-1.lock";
    int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::pwrite(lock, "job 99, process 1\n", 18, 0), 18);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    RunResult f = Backup();
    ::close(lock);
    EXPECT_EQ(f.exitCode, 1);
    EXPECT_NE(f.err.find("is being read by another job (job 99, process 1)"), std::string::npos) << f.err;

    // The disk made from one snapshot fails inside its operation.
    m_emu->addFault({{"match", "POST .*/zones/us-central1-a/disks$"},
                     {"operationError", "QUOTA_EXCEEDED"},
                     {"count", 1}});
    RunResult g = Backup();
    EXPECT_EQ(g.exitCode, 1);
    ASSERT_EQ(g.ErrLines().size(), 1u) << g.err;
    EXPECT_NE(g.err.find("could not be created"), std::string::npos) << g.err;
    EXPECT_NE(g.err.find("QUOTA_EXCEEDED"), std::string::npos) << g.err;
}

// A backup without the boot disk restores as disks only, and says so; a store
// command without --instance takes the store's only instance, and names the
// instances when there are several.
TEST_F(GcebackupE2E, DisksOnlyRestoreAndTheInstanceOfAStore) {
    ASSERT_EQ(Backup({"--exclude-os-disk", "--exclude-pattern", "*-data"}).exitCode, 0);
    RunResult v = Run({"verify", "--from", m_store});
    EXPECT_EQ(v.exitCode, 0) << v.err;

    RunResult r = Run({"restore", "--from", m_store, "--as", "web-1-disks"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json rj = Parse(r);
    EXPECT_FALSE(rj["instanceCreated"].get<bool>());
    EXPECT_TRUE(rj["instanceId"].is_null());
    ASSERT_EQ(rj["disks"].size(), 1u);
    EXPECT_EQ(rj["disks"][0].get<std::string>().rfind("web-1-logs-", 0), 0u) << rj.dump();
    EXPECT_TRUE(Instance(kProject, "web-1-disks").is_null());

    // The text says what was made.
    std::vector<std::string> text = CommonArgs();
    text.erase(std::find(text.begin(), text.end(), "--json"));
    text.insert(text.end(), {"restore", "--from", m_store, "--as", "web-1-disks"});
    RunResult t = RunProcess(GCEBACKUP_PATH, text, 300);
    ASSERT_EQ(t.exitCode, 0) << t.err;
    EXPECT_NE(t.out.find("Restored the disks of web-1 only"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find("no instance was created"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find("\n  disk web-1-logs-"), std::string::npos) << t.out;

    ASSERT_EQ(Run({"backup", "--project", kProject, "--instance", "db-1", "--to", m_store}).exitCode, 0);
    for (const char* command : {"verify", "restore"}) {
        RunResult several = Run({command, "--from", m_store});
        EXPECT_EQ(several.exitCode, 2) << command;
        EXPECT_NE(several.err.find("holds backups of 2 instances (db-1, web-1)"), std::string::npos)
            << several.err;
    }
}
