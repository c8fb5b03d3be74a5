// Host log. Each line carries the time, process id, thread id, job id and the
// function tag of the caller, then the printf-formatted message.
//
// The log file and the level are process-wide (EvDebug::Configure); every
// EvDebug object writes to the same file. Safe to use from several threads:
// each line is written with one write(2) under a lock.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#if defined(__GNUC__)
#define EV_PRINTF(fmt_idx, arg_idx) __attribute__((format(printf, fmt_idx, arg_idx)))
#else
#define EV_PRINTF(fmt_idx, arg_idx)
#endif

class EvDebug {
  public:
    EvDebug();
    explicit EvDebug(const std::string& clientName);
    virtual ~EvDebug();

    // Progress line (always written).
    void Debug(const char* tag, const char* fmt, ...) EV_PRINTF(3, 4);
    // Failure line (always written, marked "ERROR").
    void Error(const char* tag, const char* fmt, ...) EV_PRINTF(3, 4);
    // Written only when level <= the configured level.
    void DebugLvl(const char* tag, int level, const char* fmt, ...) EV_PRINTF(4, 5);

    const std::string& getClientName() const { return m_strClientName; }

    // Process-wide configuration. An empty path writes to
    // <state dir>/logs/gcebackup.log when a state directory is configured,
    // else to standard error. Level defaults to 1.
    static void Configure(const std::string& logPath, int level);
    static void SetLevel(int level);
    static int GetLevel();
    static std::string GetLogPath();
    // Job id written on every line of this thread (0 = none).
    static void SetThreadJobId(int64_t jobId);
    static int64_t GetThreadJobId();

  private:
    void Write(const char* tag, const char* kind, const char* fmt, va_list ap);
    std::string m_strClientName;
};

// Job event log: knows the job id of the calling thread.
class EvEvent {
  public:
    EvEvent() = default;
    int64_t getJobId() const { return EvDebug::GetThreadJobId(); }
    void DebugLvl(const char* tag, int level, const char* fmt, ...) EV_PRINTF(4, 5);
};
