#include "cli/Progress.h"

#include <unistd.h>

#include <cinttypes>

namespace gcebackup {

namespace {
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}
}  // namespace

std::string HumanBytes(uint64_t bytes) {
    static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 5) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    if (u == 0)
        std::snprintf(buf, sizeof buf, "%" PRIu64 " B", bytes);
    else
        std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[u]);
    return buf;
}

std::string HumanDuration(double seconds) {
    if (seconds < 0) seconds = 0;
    auto s = static_cast<uint64_t>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64 ":%02" PRIu64, s / 3600, (s / 60) % 60,
                      s % 60);
    else
        std::snprintf(buf, sizeof buf, "%" PRIu64 ":%02" PRIu64, s / 60, s % 60);
    return buf;
}

Progress::Mode Progress::ModeFor(FILE* out, bool quiet) {
    if (quiet) return Mode::kQuiet;
    return ::isatty(::fileno(out)) ? Mode::kBar : Mode::kLines;
}

void Progress::Start(const std::string& label, uint64_t total) {
    m_label = label;
    m_total = total;
    m_done = 0;
    m_data = 0;
    m_start = m_last = Clock::now();
    m_drawn = false;
    m_finished = false;
}

std::string Progress::Line(uint64_t done, bool bar) const {
    double elapsed = Seconds(m_start, Clock::now());
    double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    int pct = m_total ? static_cast<int>(done * 100 / m_total) : 100;
    std::string eta = rate > 0 ? HumanDuration(static_cast<double>(m_total - done) / rate) : "-:--";
    char buf[256];
    if (bar) {
        constexpr int kWidth = 24;
        int filled = m_total ? static_cast<int>(done * kWidth / m_total) : kWidth;
        std::string b(static_cast<size_t>(filled), '#');
        b.append(static_cast<size_t>(kWidth - filled), '.');
        std::snprintf(buf, sizeof buf, "\r%-24.24s [%s] %3d%%  %s / %s  %s/s  ETA %s\x1b[K", m_label.c_str(),
                      b.c_str(), pct, HumanBytes(done).c_str(), HumanBytes(m_total).c_str(),
                      HumanBytes(static_cast<uint64_t>(rate)).c_str(), eta.c_str());
    } else {
        std::snprintf(buf, sizeof buf, "%s: %d%%, %s of %s, %s/s, ETA %s\n", m_label.c_str(), pct,
                      HumanBytes(done).c_str(), HumanBytes(m_total).c_str(),
                      HumanBytes(static_cast<uint64_t>(rate)).c_str(), eta.c_str());
    }
    return buf;
}

void Progress::Update(uint64_t done, uint64_t data) {
    m_done = done;
    m_data = data;
    if (m_mode == Mode::kQuiet) return;
    auto now = Clock::now();
    double since = Seconds(m_last, now);
    if (m_mode == Mode::kBar && (since >= 0.1 || !m_drawn)) {
        std::fputs(Line(done, true).c_str(), m_out);
        std::fflush(m_out);
        m_last = now;
        m_drawn = true;
    } else if (m_mode == Mode::kLines && since >= 5.0 && done < m_total) {
        std::fputs(Line(done, false).c_str(), m_out);
        std::fflush(m_out);
        m_last = now;
    }
}

void Progress::Finish(uint64_t data, double seconds) {
    if (m_mode == Mode::kQuiet || m_finished) return;
    m_finished = true;
    if (seconds < 0) seconds = Seconds(m_start, Clock::now());
    if (m_mode == Mode::kBar) std::fputs("\r\x1b[K", m_out);
    if (data == 0 && m_label.rfind("verify ", 0) == 0) {
        std::fprintf(m_out, "%s: %s checked in %s\n", m_label.c_str(), HumanBytes(m_total).c_str(),
                     HumanDuration(seconds).c_str());
        std::fflush(m_out);
        return;
    }
    double rate = seconds > 0 ? static_cast<double>(m_total) / seconds : 0;
    std::fprintf(m_out, "%s: %s copied (%s of data) in %s, %s/s\n", m_label.c_str(),
                 HumanBytes(m_total).c_str(), HumanBytes(data).c_str(), HumanDuration(seconds).c_str(),
                 HumanBytes(static_cast<uint64_t>(rate)).c_str());
    std::fflush(m_out);
}

}  // namespace gcebackup
