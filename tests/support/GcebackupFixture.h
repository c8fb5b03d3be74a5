// Set-up shared by the gcebackup end-to-end suites (link gce_e2e_support).
// Each test gets a fresh work directory m_dir (settings.ini polling without
// the one-minute pause, gcebackup's state in m_dir/state), a store path
// m_store, and a gce-emulator m_emu with the demo world started with
// EmulatorArgs(). A test may replace m_emu; Run() uses the current one.
// Every test that makes an instance checks it against its source with
// ExpectSameInstance.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "EmulatorProcess.h"
#include "InstanceComparison.h"
#include "RunProcess.h"
#include "cli/DataPath.h"

#ifndef GCEBACKUP_PATH
#error "link the test with gce_e2e_support, which defines GCEBACKUP_PATH"
#endif

namespace gce::testsupport {

// Called about every 100 ms while gcebackup runs: stdout so far, its pid, and
// the seconds since it started (it may signal the process).
using RunTick = std::function<void(const std::string& out, pid_t pid, double elapsed)>;

class GcebackupFixture : public ::testing::Test {
  protected:
    using json = nlohmann::json;
    using ExpectedChanges = gce::testsupport::ExpectedChanges;
    static constexpr const char* kDemoProject = "demo-project";

    void SetUp() override {
        char tmpl[] = "/tmp/gcebackup-e2e-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        m_store = m_dir + "/store";
        std::ofstream(m_dir + "/settings.ini") << "[VirtualServer]\nnGoogleOperationPollingInMins=0\n"
                                                  "nGoogleOperationTimeoutInMins=5\n";
        m_emu = std::make_unique<EmulatorProcess>("demo", EmulatorArgs());
    }
    void TearDown() override {
        m_emu.reset();
        std::error_code ec;
        if (!HasFailure()) std::filesystem::remove_all(m_dir, ec);
    }

    std::string StateDir() const { return m_dir + "/state"; }

    // Extra command-line arguments of the emulator SetUp starts.
    virtual std::vector<std::string> EmulatorArgs() const { return {"--demo-data-mib", "4"}; }

    // The options every run gets: --endpoint (index 1), --credential
    // (m_credential, or the emulator's when empty), --device-dir, --state-dir,
    // --settings, --json and -q.
    std::vector<std::string> CommonArgs() const {
        const std::string credential = m_credential.empty() ? m_emu->credential() : m_credential;
        return {"--endpoint",   m_emu->baseUrl(),        "--credential", credential,
                "--device-dir", m_emu->byIdDir(),        "--state-dir",  StateDir(),
                "--settings",   m_dir + "/settings.ini", "--json",       "-q"};
    }

    // Runs gcebackup with CommonArgs() followed by args; killed after timeoutSec.
    RunResult Run(const std::vector<std::string>& args, int timeoutSec = 300,
                  const RunTick& onTick = {}) const {
        std::vector<std::string> all = CommonArgs();
        all.insert(all.end(), args.begin(), args.end());
        return RunProcess(GCEBACKUP_PATH, all, timeoutSec, onTick);
    }

    // A run's stdout as JSON; a test failure (and an empty object) when it is not.
    static json Parse(const RunResult& r) {
        try {
            return json::parse(r.out);
        } catch (const json::exception&) {
            ADD_FAILURE() << "stdout is not JSON: " << r.out << "\nstderr: " << r.err;
            return json::object();
        }
    }

    // What the emulator holds for a project (its control API's view).
    json Project(const std::string& project = kDemoProject) const {
        return m_emu->resources()["projects"][project];
    }
    // The element of a resource list with that name; null when there is none.
    static json Named(const json& list, const std::string& name) {
        for (const auto& e : list)
            if (e["name"] == name) return e;
        return json();
    }
    json Instance(const std::string& project, const std::string& name) const {
        return Named(Project(project)["instances"], name);
    }
    json Disk(const std::string& project, const std::string& name) const {
        return Named(Project(project)["disks"], name);
    }
    std::set<std::string> DiskNames(const std::string& project = kDemoProject) const {
        return Names(Project(project)["disks"]);
    }
    std::set<std::string> SnapshotNames(const std::string& project = kDemoProject) const {
        return Names(Project(project)["snapshots"]);
    }
    static std::set<std::string> Names(const json& list) {
        std::set<std::string> names;
        for (const auto& e : list) names.insert(e["name"].get<std::string>());
        return names;
    }

    // "https://…/zones/us-central1-b" -> "us-central1-b".
    static std::string LastSegment(const std::string& url) { return url.substr(url.rfind('/') + 1); }

    // Whether two files or devices (e.g. disks' backing files) have the same
    // size and bytes; false when either cannot be opened.
    static bool SameBytes(const std::string& a, const std::string& b) {
        int fa = ::open(a.c_str(), O_RDONLY), fb = ::open(b.c_str(), O_RDONLY);
        bool same = false;
        if (fa >= 0 && fb >= 0) {
            uint64_t sa = gcebackup::DeviceSize(fa, a), sb = gcebackup::DeviceSize(fb, b);
            same = sa == sb && gcebackup::CompareDisks(fa, fb, sa) == -1;
        }
        if (fa >= 0) ::close(fa);
        if (fb >= 0) ::close(fb);
        return same;
    }

    // What a file or disk image holds: its size and every 1 MiB block that
    // is not all zeros, by offset. Reads only the extents that hold data, so
    // a large sparse disk costs what it holds and needs no copy on disk.
    static std::map<uint64_t, std::string> DataBlocks(const std::string& path) {
        std::map<uint64_t, std::string> blocks;
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) return blocks;
        const uint64_t size = gcebackup::DeviceSize(fd, path);
        blocks[size] = "size";
        constexpr uint64_t kBlock = 1 << 20;
        std::string buf(kBlock, '\0');
        for (off_t pos = 0; static_cast<uint64_t>(pos) < size;) {
            const off_t data = ::lseek(fd, pos, SEEK_DATA);
            if (data < 0) break;
            const off_t hole = ::lseek(fd, data, SEEK_HOLE);
            for (uint64_t at = static_cast<uint64_t>(data) / kBlock * kBlock;
                 at < static_cast<uint64_t>(hole); at += kBlock) {
                const ssize_t n = ::pread(fd, &buf[0], kBlock, static_cast<off_t>(at));
                if (n <= 0) break;
                const std::string block = buf.substr(0, static_cast<size_t>(n));
                if (block.find_first_not_of('\0') != std::string::npos) blocks[at] = block;
            }
            pos = hole;
        }
        ::close(fd);
        return blocks;
    }

    // An instance's configuration as InstanceComparison.h reads it.
    json InstanceConfig(const std::string& project, const std::string& zone, const std::string& name) const {
        return ReadInstanceConfig(*m_emu, project, zone, name);
    }
    // `result` (an instance made from `source`) has the source's
    // configuration but for `expected`, and with bytes set each of its disks
    // holds the bytes of the source's disk attached at the same place.
    void ExpectSameInstance(const json& source, const json& result, const ExpectedChanges& expected = {},
                            bool bytes = true) const {
        EXPECT_EQ(CompareInstanceConfigs(source, result, expected), "");
        if (!bytes) return;
        ASSERT_EQ(source["disks"].size(), result["disks"].size());
        for (size_t i = 0; i < source["disks"].size(); ++i) {
            const json& from = source["disks"][i]["resource"];
            const json& to = result["disks"][i]["resource"];
            const std::string a = Disk(ProjectOf(from), from["name"]).value("file", "");
            const std::string b = Disk(ProjectOf(to), to["name"]).value("file", "");
            EXPECT_TRUE(SameBytes(a, b)) << from["name"] << " vs " << to["name"];
        }
    }
    // "…/projects/P/zones/…" -> "P".
    static std::string ProjectOf(const json& resource) {
        const std::string link = resource.value("selfLink", "");
        const auto at = link.find("/projects/");
        if (at == std::string::npos) return "";
        const auto start = at + 10;
        return link.substr(start, link.find('/', start) - start);
    }

    std::string m_dir;
    std::string m_store;
    std::string m_credential;
    std::unique_ptr<EmulatorProcess> m_emu;
};

}  // namespace gce::testsupport
