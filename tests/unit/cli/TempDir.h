// A temporary directory removed with its contents at the end of a test, and
// the helpers that fill test files with known bytes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/cli-test-XXXXXX";
        if (::mkdtemp(tmpl)) m_path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Non-zero bytes that differ with the seed.
inline std::string Pattern(size_t len, unsigned seed) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>(((i * 131 + seed * 7) % 251) + 1);
    return s;
}

inline void WriteAt(int fd, uint64_t offset, const std::string& bytes) {
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
}
