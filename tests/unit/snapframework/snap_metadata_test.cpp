// The metadata and catalogue files: what is written is read back whole, other
// formats and newer versions are refused, and files are replaced atomically.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "plugin/host/HostUtils.h"
#include "plugin/host/SnapMetadata.h"
#include "tests/unit/snapframework/SnapTestDir.h"

using namespace VMInfoStructs;

namespace {

SVMInfo SampleInstance() {
    SVMInfo vm;
    vm.strName = "web-1";
    vm.strGuid = "4410001";
    vm.nMemoryMB = 4096;
    vm.nArchFileId = -7;
    SDisk boot;
    boot.strName = "web-1-boot";
    boot.strDiskId = "9001";
    boot.nSize = 10ull << 30;
    boot.bBootDisk = true;
    boot.vecReplicaZones = {"us-central1-a", "us-central1-b"};
    boot.vecLabels = {{"team", "web"}};
    SDisk data = boot;
    data.strName = "web-1-data";
    data.strDiskId = "9002";
    data.bBootDisk = false;
    data.bFiltered = true;
    data.strDescription = "caf\xC3\xA9 \"quoted\"";
    vm.vecDisks = {boot, data};
    vm.vecSourceDisks = vm.vecDisks;
    vm.vecNetworkCards = {{"nic0", "default", "sub", "10.0.0.2", true}};
    return vm;
}

SVMSnapMetadata SampleMetadata() {
    SVMSnapMetadata m;
    m.nSnapJobId = 1234567890123LL;
    m.strInstanceName = "web-1";
    SDatastoreInfo ds;
    ds.strId = "9001";
    ds.nFreeSpace = -5;
    ds.vecVMs = {SampleInstance()};
    m.vecDatastores = {ds};
    SVolSnap vs;
    vs.vecVMBasicInfo = {{"4410001", "web-1", "a"}};
    vs.dsInfo = ds;
    m.vecVolSnaps = {vs};
    m.bHasVolume = true;
    m.volume.setSourcePath("demo-project|4410001");
    m.volume.setVolumeFlagsEx(0x120000000ull);
    m.volume.setMasterJobId(-3);
    SMSnapInfo s;
    s.setSnapName("zd-snap-1-9001-1");
    s.setSnapSourceDevice("demo-project|us-central1-a|web-1-boot|9001");
    s.setSourceSize(10ull << 30);
    s.setSourceReplicaZones({"us-central1-a", "us-central1-b"});
    m.vecSnaps = {s};
    m.strGuestFlushError = "guest agent not running";
    m.vecBackupCopies = {{77, 1700000000}};
    return m;
}

}  // namespace

TEST(SnapMetadataFormat, RoundTripKeepsEveryValue) {
    SVMSnapMetadata in = SampleMetadata();
    SVMSnapMetadata out;
    std::string error;
    ASSERT_TRUE(SnapMetadata::FromText(SnapMetadata::ToText(in), out, error)) << error;

    EXPECT_EQ(out.nSnapJobId, in.nSnapJobId);
    EXPECT_EQ(out.strInstanceName, "web-1");
    ASSERT_EQ(out.vecDatastores.size(), 1u);
    EXPECT_EQ(out.vecDatastores[0].nFreeSpace, -5);
    ASSERT_EQ(out.vecDatastores[0].vecVMs.size(), 1u);
    const SVMInfo& vm = out.vecDatastores[0].vecVMs[0];
    EXPECT_EQ(vm.nMemoryMB, 4096);
    EXPECT_EQ(vm.nArchFileId, -7);
    ASSERT_EQ(vm.vecSourceDisks.size(), 2u);
    EXPECT_TRUE(vm.vecSourceDisks[1].bFiltered);
    EXPECT_EQ(vm.vecSourceDisks[1].strDescription, "caf\xC3\xA9 \"quoted\"");
    EXPECT_EQ(vm.vecSourceDisks[0].vecReplicaZones,
              (std::vector<std::string>{"us-central1-a", "us-central1-b"}));
    EXPECT_EQ(vm.vecSourceDisks[0].vecLabels.at(0).strValue, "web");
    EXPECT_EQ(vm.vecSourceDisks[0].nSize, 10ull << 30);
    EXPECT_EQ(vm.vecNetworkCards.at(0).strIPAddress, "10.0.0.2");
    EXPECT_EQ(out.vecVolSnaps.at(0).vecVMBasicInfo.at(0).strAttribute, "a");
    ASSERT_TRUE(out.bHasVolume);
    EXPECT_EQ(out.volume.getVolumeFlagsEx(), 0x120000000ull);
    EXPECT_EQ(out.volume.getMasterJobId(), -3);
    EXPECT_EQ(out.volume.getSourceProject(), "demo-project");
    ASSERT_EQ(out.vecSnaps.size(), 1u);
    EXPECT_EQ(out.vecSnaps[0].getSnapSourceDevice(), "demo-project|us-central1-a|web-1-boot|9001");
    EXPECT_EQ(out.vecSnaps[0].getSourceReplicaZones().size(), 2u);
    EXPECT_EQ(out.strGuestFlushError, "guest agent not running");
    ASSERT_EQ(out.vecBackupCopies.size(), 1u);
    EXPECT_EQ(out.vecBackupCopies[0].nJobId, 77);
}

TEST(SnapMetadataFormat, InvalidUtf8IsStoredNotThrown) {
    SVMSnapMetadata in = SampleMetadata();
    in.strInstanceName = std::string("bad\xFF", 4);
    SVMSnapMetadata out;
    std::string error;
    ASSERT_TRUE(SnapMetadata::FromText(SnapMetadata::ToText(in), out, error)) << error;
    EXPECT_EQ(out.strInstanceName.substr(0, 3), "bad");
}

// Other formats, newer versions, headers or fields of the wrong type, and
// numbers that do not fit their field (too large, negative for an unsigned
// one, fractional, or beyond every integer type) refuse the document instead
// of throwing out of the reader or converting with undefined results.
TEST(SnapMetadataFormat, RefusesForeignNewerMistypedAndUnfittingDocuments) {
    SVMSnapMetadata out;
    std::string error;
    EXPECT_FALSE(SnapMetadata::FromText(R"({"format":"gce-snap-metadata","version":2})", out, error));
    EXPECT_NE(error.find("version"), std::string::npos);
    const std::string head = R"({"format":"gce-snap-metadata","version":1,)";
    const std::string size = head + R"("snapshots":[{"name":"s","size":)";
    for (const std::string& text :
         {std::string("not json"), std::string(R"({"format":"gce-snap-catalog","version":1})"),
          std::string(R"({"format":1,"version":1})"),
          std::string(R"({"format":"gce-snap-metadata","version":"1"})"), head + R"("snapJobId":"12"})",
          head + R"("snapshots":{}})", head + R"("datastores":[{"vms":[{"disks":[{"filtered":"yes"}]}]}]})",
          size + "18446744073709551715}]}", size + "1e30}]}", size + "-1}]}", size + "2.5}]}",
          head + R"("snapshots":[{"id":4294967296}]})", head + R"("snapJobId":1e300})"})
        EXPECT_FALSE(SnapMetadata::FromText(text, out, error)) << text;
    ASSERT_TRUE(SnapMetadata::FromText(size + "18446744073709551615}]}", out, error)) << error;
    ASSERT_EQ(out.vecSnaps.size(), 1u);
    EXPECT_EQ(out.vecSnaps[0].getSourceSize(), 18446744073709551615ull);
}

using SnapMetadataFiles = SnapStateDirTest;

TEST_F(SnapMetadataFiles, SaveReplacesWholeAndLeavesNoTemporaryFile) {
    const std::string path = FXPath::Append(m_dir, "meta.json");
    SVMSnapMetadata m = SampleMetadata();
    ASSERT_TRUE(SnapMetadata::Save(path, m));
    m.strInstanceName = "web-2";
    m.vecSnaps.clear();
    ASSERT_TRUE(SnapMetadata::Save(path, m));

    SVMSnapMetadata back;
    std::string error;
    ASSERT_TRUE(SnapMetadata::Load(path, back, error)) << error;
    EXPECT_EQ(back.strInstanceName, "web-2");
    EXPECT_TRUE(back.vecSnaps.empty());
    EXPECT_EQ(CLuDirectory::List(m_dir), std::vector<std::string>{"meta.json"});
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SnapMetadataFiles, FailedSaveKeepsWhatWasThere) {
    // The target is a non-empty directory: the rename cannot replace it.
    const std::string path = FXPath::Append(m_dir, "busy");
    ASSERT_TRUE(CreateFolderIfNotPresent(FXPath::Append(path, "inner")));
    EXPECT_FALSE(SnapMetadata::Save(path, SampleMetadata()));
    EXPECT_TRUE(FXPath::DoesPathExist(FXPath::Append(path, "inner")));
    EXPECT_EQ(CLuDirectory::List(m_dir), std::vector<std::string>{"busy"});

    SVMSnapMetadata back;
    std::string error;
    EXPECT_FALSE(SnapMetadata::Load(FXPath::Append(m_dir, "absent.json"), back, error));
    EXPECT_NE(error.find("absent.json"), std::string::npos);
}
