// Host settings: an INI-style file of [Section] headers and key=value lines.
// '#' and ';' start comment lines. Keys and section names are compared
// without regard to case; values are trimmed.
//
// The file is named by SetSettingsFile, else by the environment variable
// GCEBACKUP_SETTINGS. It is read again whenever its modification time
// changes, so a setting is taken at the moment of use. Thread-safe.
#pragma once

#include <string>

class ArPlatformInfo {
  public:
    // Each getter returns non-zero when the key exists and leaves `out`
    // untouched otherwise, so the caller's initial value is the default.
    // getBoolean accepts true/false, yes/no, on/off, 1/0 (any case); any other
    // value counts as absent. getNumber accepts a decimal integer; any other
    // value counts as absent.
    static int getBoolean(const std::string& section, const std::string& key, bool& out);
    static int getNumber(const std::string& section, const std::string& key, long long& out);
    static int getString(const std::string& section, const std::string& key, std::string& out);

    // Names the settings file (empty: fall back to GCEBACKUP_SETTINGS).
    static void SetSettingsFile(const std::string& path);
    static std::string GetSettingsFile();
    // Overrides a value in memory (the host program's command-line options);
    // overrides win over the file.
    static void SetOverride(const std::string& section, const std::string& key, const std::string& value);
    static void ClearOverrides();
};

// The plug-in's 32-bit reader: stores only when the key exists and fits.
int GetNumber32(const std::string& section, const std::string& key, int& out);
