// Progress of a long copy, one disk at a time: a bar redrawn in place on a
// terminal (bytes, rate, ETA), or a plain line now and then when the output is
// a file or a pipe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace gcebackup {

std::string HumanBytes(uint64_t bytes);
// "0:07", "12:03", "1:02:03".
std::string HumanDuration(double seconds);

class Progress {
  public:
    enum class Mode { kBar, kLines, kQuiet };

    Progress(FILE* out, Mode mode) : m_out(out), m_mode(mode) {}
    // Bar when `out` is a terminal, else lines; quiet when `quiet`.
    static Mode ModeFor(FILE* out, bool quiet);

    // dataTotal: the bytes of data the copy will read, when known (the source's
    // data extents, or the image's data from the manifest); 0: unknown.
    void Start(const std::string& label, uint64_t total, uint64_t dataTotal = 0);
    // done: bytes of the disk passed so far; data: bytes of data copied.
    void Update(uint64_t done, uint64_t data);
    // Ends the disk's progress with a summary line (once); seconds < 0: the
    // time since Start.
    void Finish(uint64_t data, double seconds);

  private:
    std::string Line(uint64_t done, bool bar) const;

    FILE* m_out;
    Mode m_mode;
    std::string m_label;
    uint64_t m_total = 0;
    uint64_t m_dataTotal = 0;
    bool m_verify = false;
    uint64_t m_done = 0;
    uint64_t m_data = 0;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_last;
    bool m_drawn = false;
    bool m_finished = false;
};

// A phase of a job that waits on the cloud (snapshots and disks being made,
// removed): a line when it starts, the elapsed time while it lasts (redrawn
// on a terminal, a line every 10 s otherwise) and a line when it ends.
class Phase {
  public:
    Phase(FILE* out, Progress::Mode mode, const std::string& text);
    ~Phase();
    Phase(const Phase&) = delete;
    Phase& operator=(const Phase&) = delete;
    // Ends the phase: "<text>: <outcome> in <elapsed>" (once).
    void Done(const std::string& outcome);
    // What the phase has got to ("snapshots 2/3 ready"), shown after the
    // elapsed time. `complete` marks a step finished: shown at once even
    // as lines, where the running counts only come with the ticks.
    void Detail(const std::string& detail, bool complete);

  private:
    void Stop();
    void Show();

    FILE* m_out;
    Progress::Mode m_mode;
    std::string m_text;
    std::chrono::steady_clock::time_point m_start;
    std::mutex m_mu;
    std::condition_variable m_cv;
    bool m_stop = false;
    std::string m_detail;
    std::thread m_ticker;
};

// While alive, the counts the plug-in reports from its waits ("snapshots
// 2/3 ready") are shown on `phase`.
class PhaseCounts {
  public:
    explicit PhaseCounts(Phase& phase);
    ~PhaseCounts();
    PhaseCounts(const PhaseCounts&) = delete;
    PhaseCounts& operator=(const PhaseCounts&) = delete;
};

}  // namespace gcebackup
