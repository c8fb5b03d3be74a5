#include "cli/Progress.h"

#include <unistd.h>

#include <cinttypes>

#include "plugin/host/HostEnv.h"

namespace gcebackup {

namespace {
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}
}  // namespace

std::string HumanBytes(uint64_t bytes) {
    static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 6) {
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

void Progress::Start(const std::string& label, uint64_t total, uint64_t dataTotal) {
    m_label = label;
    m_total = total;
    m_dataTotal = dataTotal;
    m_verify = label.rfind("verify ", 0) == 0;
    m_done = 0;
    m_data = 0;
    m_start = m_last = Clock::now();
    m_drawn = false;
    m_finished = false;
}

std::string Progress::Line(uint64_t done, bool bar) const {
    double elapsed = Seconds(m_start, Clock::now());
    int pct = m_total ? static_cast<int>(done * 100 / m_total) : 100;
    // A copy skips holes at no cost, so its rate is that of the data, and the
    // time left follows the data still to copy when the copy knows how much
    // there is; otherwise (a verify, a source that cannot tell its holes) it
    // follows the disk's position.
    const double moved = static_cast<double>(m_verify ? done : m_data);
    const double rate = elapsed > 0 ? moved / elapsed : 0;
    double etaSeconds = -1;
    if (!m_verify && m_dataTotal > 0 && m_dataTotal < m_total) {
        const double left = static_cast<double>(m_dataTotal > m_data ? m_dataTotal - m_data : 0);
        if (left == 0 || rate > 0) etaSeconds = left == 0 ? 0 : left / rate;
    } else if (done > 0 && elapsed > 0) {
        etaSeconds = static_cast<double>(m_total - done) * elapsed / static_cast<double>(done);
    }
    std::string eta = etaSeconds >= 0 ? HumanDuration(etaSeconds) : "-:--";
    char buf[256];
    if (bar) {
        constexpr int kWidth = 24;
        int filled = m_total ? static_cast<int>(done * kWidth / m_total) : kWidth;
        std::string b(static_cast<size_t>(filled), '#');
        b.append(static_cast<size_t>(kWidth - filled), '.');
        std::snprintf(buf, sizeof buf, "\r%-24.24s [%s] %3d%%  %s / %s  %s/s  ETA %s\x1b[K", m_label.c_str(),
                      b.c_str(), pct, HumanBytes(done).c_str(), HumanBytes(m_total).c_str(),
                      HumanBytes(static_cast<uint64_t>(rate)).c_str(), eta.c_str());
    } else if (m_verify) {
        std::snprintf(buf, sizeof buf, "%s: %d%%, %s of %s, %s/s, ETA %s\n", m_label.c_str(), pct,
                      HumanBytes(done).c_str(), HumanBytes(m_total).c_str(),
                      HumanBytes(static_cast<uint64_t>(rate)).c_str(), eta.c_str());
    } else {
        std::snprintf(buf, sizeof buf, "%s: %d%%, %s of %s (%s of data), %s/s, ETA %s\n", m_label.c_str(),
                      pct, HumanBytes(done).c_str(), HumanBytes(m_total).c_str(), HumanBytes(m_data).c_str(),
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
    double rate = seconds > 0 ? static_cast<double>(data) / seconds : 0;
    std::fprintf(m_out, "%s: %s copied (%s of data) in %s, %s/s of data\n", m_label.c_str(),
                 HumanBytes(m_total).c_str(), HumanBytes(data).c_str(), HumanDuration(seconds).c_str(),
                 HumanBytes(static_cast<uint64_t>(rate)).c_str());
    std::fflush(m_out);
}

Phase::Phase(FILE* out, Progress::Mode mode, const std::string& text)
    : m_out(out), m_mode(mode), m_text(text), m_start(Clock::now()) {
    if (m_mode == Progress::Mode::kQuiet) return;
    if (m_mode == Progress::Mode::kLines)
        std::fprintf(m_out, "%s ...\n", m_text.c_str());
    else
        std::fprintf(m_out, "%s ... 0:00\x1b[K", m_text.c_str());
    std::fflush(m_out);
    m_ticker = std::thread([this] {
        const auto every = std::chrono::seconds(m_mode == Progress::Mode::kBar ? 1 : 10);
        std::unique_lock<std::mutex> lock(m_mu);
        while (!m_cv.wait_for(lock, every, [this] { return m_stop; })) Show();
    });
}

Phase::~Phase() {
    Stop();
    if (m_mode == Progress::Mode::kBar && !m_text.empty()) {
        // Ended by a failure: leave the line for the error that follows.
        std::fputs("\n", m_out);
        std::fflush(m_out);
    }
}

void Phase::Stop() {
    if (!m_ticker.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mu);
        m_stop = true;
    }
    m_cv.notify_all();
    m_ticker.join();
}

// Prints the running line (m_mu held).
void Phase::Show() {
    const std::string elapsed = HumanDuration(Seconds(m_start, Clock::now()));
    const std::string detail = m_detail.empty() ? "" : ", " + m_detail;
    if (m_mode == Progress::Mode::kBar)
        std::fprintf(m_out, "\r%s ... %s%s\x1b[K", m_text.c_str(), elapsed.c_str(), detail.c_str());
    else
        std::fprintf(m_out, "%s ... %s%s\n", m_text.c_str(), elapsed.c_str(), detail.c_str());
    std::fflush(m_out);
}

void Phase::Detail(const std::string& detail, bool complete) {
    if (m_mode == Progress::Mode::kQuiet) return;
    std::lock_guard<std::mutex> lock(m_mu);
    if (m_stop || m_text.empty() || detail == m_detail) return;
    m_detail = detail;
    if (m_mode == Progress::Mode::kBar || complete) Show();
}

void Phase::Done(const std::string& outcome) {
    Stop();
    if (m_mode == Progress::Mode::kQuiet || m_text.empty()) return;
    const std::string elapsed = HumanDuration(Seconds(m_start, Clock::now()));
    if (m_mode == Progress::Mode::kBar) std::fputs("\r\x1b[K", m_out);
    std::fprintf(m_out, "%s: %s in %s\n", m_text.c_str(), outcome.c_str(), elapsed.c_str());
    std::fflush(m_out);
    m_text.clear();
}

PhaseCounts::PhaseCounts(Phase& phase) {
    HostEnv::SetProgressObserver([&phase](const std::string& what, size_t done, size_t total) {
        phase.Detail(what + " " + std::to_string(done) + "/" + std::to_string(total) + " ready",
                     done == total);
    });
}

PhaseCounts::~PhaseCounts() {
    HostEnv::SetProgressObserver(nullptr);
}

}  // namespace gcebackup
