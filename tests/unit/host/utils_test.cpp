#include <gtest/gtest.h>
#include <sys/stat.h>

#include "plugin/host/HostUtils.h"

TEST(Utils, WriteWholeFileIsAtomicAndKeepsMode) {
    char tmpl[] = "/tmp/gceutilsXXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string path = dir + "/f.json";
    ASSERT_TRUE(WriteWholeFile(path, "one", 0600));
    ASSERT_TRUE(WriteWholeFile(path, "two", 0600));
    std::string back;
    ASSERT_TRUE(ReadWholeFile(path, back));
    EXPECT_EQ(back, "two");
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(CLuDirectory::List(dir).size(), 1u);  // no temporary left behind
    EXPECT_FALSE(WriteWholeFile(dir + "/missing/f", "x"));
    EXPECT_TRUE(CLuDirectory::RemoveRecursive(dir));
}

TEST(Utils, SafeNamesExtensionsAndGuids) {
    EXPECT_FALSE(FXPath::IsSafeComponent(".."));
    EXPECT_FALSE(FXPath::IsSafeComponent("a/b"));
    EXPECT_TRUE(FXPath::IsSafeComponent("web-1"));
    EXPECT_TRUE(IsFileExtnMatching("key.P12", "p12"));
    EXPECT_FALSE(IsFileExtnMatching("p12", ".p12"));
    EXPECT_NE(FXString::FindString("Microsoft Windows", "WINDOWS", true), std::string::npos);
    std::string g = CreateGuid();
    EXPECT_EQ(g.size(), 36u);
    EXPECT_NE(g, CreateGuid());
}
