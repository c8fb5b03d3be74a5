// Progress of a long copy, one disk at a time: a bar redrawn in place on a
// terminal (bytes, rate, ETA), or a plain line now and then when the output is
// a file or a pipe.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

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

    void Start(const std::string& label, uint64_t total);
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
    uint64_t m_done = 0;
    uint64_t m_data = 0;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_last;
    bool m_drawn = false;
    bool m_finished = false;
};

}  // namespace gcebackup
