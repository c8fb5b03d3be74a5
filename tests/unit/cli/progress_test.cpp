// What the user reads about sizes and rates: totals that cannot wrap, and the
// copy's rate and time left taken from its data rather than the disk's size.
#include "cli/Progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/Store.h"
#include "plugin/host/HostEnv.h"

using namespace gcebackup;

namespace {

std::string ReadBack(FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    return text;
}

// Everything `run` writes through a Progress in `mode`.
template <class Run>
std::string Output(Progress::Mode mode, Run&& run) {
    FILE* f = std::tmpfile();
    {
        Progress p(f, mode);
        run(p);
    }
    return ReadBack(f);
}

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kGiB = kMiB << 10;

}  // namespace

TEST(Progress, TotalsStopAtTheLargestValueInsteadOfWrapping) {
    Manifest m;
    DiskRecord huge;
    huge.sizeBytes = UINT64_MAX;
    huge.dataBytes = UINT64_MAX;
    DiskRecord small;
    small.sizeBytes = 70 * kGiB;
    small.dataBytes = 1;
    m.disks = {huge, small};
    EXPECT_EQ(m.TotalSize(), UINT64_MAX);
    EXPECT_EQ(m.TotalData(), UINT64_MAX);
    EXPECT_EQ(HumanBytes(m.TotalSize()), "16.0 EiB");
    m.disks = {small, small};
    EXPECT_EQ(m.TotalSize(), 140 * kGiB);
}

TEST(Progress, RateAndTimeLeftFollowTheData) {
    // 64 MiB of data on a 10 GiB disk copied in 2 s: 32 MiB/s of data, not 5 GiB/s.
    EXPECT_EQ(Output(Progress::Mode::kLines,
                     [](Progress& p) {
                         p.Start("web-1", 10 * kGiB, 64 * kMiB);
                         p.Finish(64 * kMiB, 2.0);
                     }),
              "web-1: 10.0 GiB copied (64.0 MiB of data) in 0:02, 32.0 MiB/s of data\n");
    // Half the disk passed but all its data copied: nothing is left to wait for.
    const std::string bar = Output(Progress::Mode::kBar, [](Progress& p) {
        p.Start("web-1", 10 * kGiB, 64 * kMiB);
        p.Update(5 * kGiB, 64 * kMiB);
    });
    EXPECT_NE(bar.find("ETA 0:00"), std::string::npos) << bar;
    // A verify still counts the bytes it reads.
    EXPECT_EQ(Output(Progress::Mode::kLines,
                     [](Progress& p) {
                         p.Start("verify web-1", 10 * kGiB);
                         p.Finish(0, 1.0);
                     }),
              "verify web-1: 10.0 GiB checked in 0:01\n");
}

// The counts the plug-in reports while it waits reach the phase's line only
// while the phase observes them; as lines, a step shows once it is complete.
TEST(Progress, PhaseShowsThePluginsCountsWhileItObservesThem) {
    FILE* f = std::tmpfile();
    {
        Phase phase(f, Progress::Mode::kLines, "web-1: taking snapshots");
        {
            PhaseCounts counts(phase);
            HostEnv::ReportProgress("snapshots", 1, 3);
            HostEnv::ReportProgress("snapshots", 3, 3);
            HostEnv::ReportProgress("disks", 3, 3);
        }
        HostEnv::ReportProgress("disks", 0, 9);  // no longer observed
        phase.Done("3 disk(s) ready");
    }
    const std::string text = ReadBack(f);
    EXPECT_EQ(text.find("1/3"), std::string::npos) << text;
    EXPECT_NE(text.find("web-1: taking snapshots ... 0:00, snapshots 3/3 ready\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find(", disks 3/3 ready\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("0/9"), std::string::npos) << text;
    EXPECT_NE(text.find("web-1: taking snapshots: 3 disk(s) ready in 0:00\n"), std::string::npos) << text;
}
