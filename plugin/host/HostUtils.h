// Host utilities: sleeping, GUIDs, files and paths, strings, threads, locks.
// All functions are thread-safe unless a class comment says otherwise.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "plugin/host/EvDebug.h"

// Sleeps for `ms` milliseconds.
void LUSLEEP(unsigned long ms);

// A new random (version 4) GUID in lower-case 8-4-4-4-12 form.
std::string CreateGuid();

// Creates `path` and its missing parents (mode 0700). True when it exists afterwards.
bool CreateFolderIfNotPresent(const std::string& path);

// Reads a whole file into `out`. False (out untouched) when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& out);

// Writes `data` to `path` atomically: a temporary file in the same directory,
// fsync, rename over the target, fsync of the directory. The file gets `mode`.
// False when any step fails; the target is then unchanged.
bool WriteWholeFile(const std::string& path, const std::string& data, unsigned mode = 0644);

// True when `path` ends in "." + `extn` (case-insensitive; `extn` with or without the dot).
bool IsFileExtnMatching(const std::string& path, const std::string& extn);

namespace FXPath {
// Joins two path parts with exactly one '/'.
std::string Append(const std::string& a, const std::string& b);
bool DoesPathExist(const std::string& path);
// The last component of a path.
std::string GetFileName(const std::string& path);
// True when `name` is usable as one path component: not empty, not "." or
// "..", no '/' and no NUL. Cloud names that become file names are checked with it.
bool IsSafeComponent(const std::string& name);
}  // namespace FXPath

namespace FXFile {
// Size of a regular file, or of a block device; -1 when it cannot be told.
int64_t ArGetFileSize(const std::string& path);
}  // namespace FXFile

namespace FXString {
std::string Format(const char* fmt, ...) EV_PRINTF(1, 2);
// strcasecmp-style comparison: <0, 0, >0.
int CompareNoCase(const std::string& a, const std::string& b);
// Position of `needle` in `hay` (npos when absent); case-insensitive when `ignoreCase`.
size_t FindString(const std::string& hay, const std::string& needle, bool ignoreCase = false);
std::string ToLower(const std::string& s);
std::string TrimRight(const std::string& s, const char* chars = " \t\r\n");
}  // namespace FXString

namespace CLuString {
// Splits at every `sep`, keeping empty fields ("a||b" gives three fields, "" gives none).
std::vector<std::string> Tokenize(const std::string& s, char sep);
}  // namespace CLuString

// Directory helpers.
class CLuDirectory {
  public:
    // Names of the entries of `dir` (no "." or ".."); empty when it cannot be read.
    static std::vector<std::string> List(const std::string& dir);
    // Removes `path` and everything below it. True when nothing is left.
    static bool RemoveRecursive(const std::string& path);
};

namespace ArThread {
unsigned long getCurrentThreadID();
}

// A recursive mutex with the host's enter/leave names.
class ArCriticalSection {
  public:
    ArCriticalSection() = default;
    ArCriticalSection(const ArCriticalSection&) = delete;
    ArCriticalSection& operator=(const ArCriticalSection&) = delete;
    void enter() { m_mutex.lock(); }
    void leave() { m_mutex.unlock(); }

  private:
    std::recursive_mutex m_mutex;
};

// Holds an ArCriticalSection for its scope.
class ArCriticalSectionLock {
  public:
    explicit ArCriticalSectionLock(ArCriticalSection& cs) : m_cs(cs) { m_cs.enter(); }
    ~ArCriticalSectionLock() { m_cs.leave(); }
    ArCriticalSectionLock(const ArCriticalSectionLock&) = delete;
    ArCriticalSectionLock& operator=(const ArCriticalSectionLock&) = delete;

  private:
    ArCriticalSection& m_cs;
};
