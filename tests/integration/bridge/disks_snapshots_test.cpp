// Disks, attachment to the proxy, and snapshots.
#include <sys/stat.h>
#include <unistd.h>

#include "BridgeFixture.h"

using namespace bridgetest;
using VMInfoStructs::SDisk;

namespace {

bool LinkExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string Head(const std::string& path, size_t n) {
    std::ifstream in(path, std::ios::binary);
    std::string data(n, '\0');
    in.read(&data[0], static_cast<std::streamsize>(n));
    data.resize(static_cast<size_t>(in.gcount()));
    return data;
}

}  // namespace

TEST_F(BridgeTest, EmptyDiskIsCreatedReadyWithItsTypeSizeAndLabels) {
    SDisk disk;
    disk.nSize = (2ull << 30) + 1;  // rounds up to 3 GiB
    disk.strDiskType = "pd-ssd";
    disk.strDescription = "restored data";
    disk.vecLabels = {{"restored", "yes"}};
    ASSERT_TRUE(bridge->CreateDisk(kProject, "restore-a", kProxyZone, "", false, disk, ""))
        << bridge->GetLastError();
    EXPECT_FALSE(disk.strDiskId.empty());
    EXPECT_EQ(disk.nSize, 3ull << 30);
    EXPECT_TRUE(bridge->DoesDiskExist(kProject, "restore-a", kProxyZone, "", false));
    EXPECT_FALSE(bridge->DoesDiskExist(kProject, "restore-b", kProxyZone, "", false));
    EXPECT_TRUE(bridge->GetLastError().empty());
    EXPECT_FALSE(bridge->CreateDisk(kProject, "restore-a", kProxyZone, "", false, disk, ""));
    EXPECT_NE(bridge->GetLastError().find("409"), std::string::npos) << bridge->GetLastError();
    EXPECT_EQ(CountNamed("disks", "restore-a"), 1);

    SDisk boot;
    boot.nSize = 10ull << 30;
    ASSERT_TRUE(
        bridge->CreateDisk(kProject, "restore-boot", kProxyZone, "", false, boot,
                           "https://www.googleapis.com/compute/v1/projects/windows-cloud/global/licenses/"
                           "windows-server-2022-dc"))
        << bridge->GetLastError();
    EXPECT_NE(boot.strDiskJson.find("windows-server-2022-dc"), std::string::npos);
}

// A disk made for a restore from its source's description carries what the
// cloud needs to boot and bill it as the source: licences (a converted
// instance's licence replaces them), guest OS features, architecture, and at
// least the source's size.
TEST_F(BridgeTest, DiskMadeFromADescriptionCarriesWhatTheSourceBootsWith) {
    SDisk source;
    ASSERT_TRUE(bridge->GetDiskInfo(kProject, "shielded-1", "us-central1-b", "", false, source, 0));
    const nlohmann::json described = nlohmann::json::parse(source.strDiskJson);
    SDisk copy;
    copy.nSize = 1ull << 30;
    copy.strDiskJson = source.strDiskJson;
    ASSERT_TRUE(bridge->CreateDisk(kProject, "restore-shielded", kProxyZone, "", false, copy, ""))
        << bridge->GetLastError();
    nlohmann::json made = nlohmann::json::parse(copy.strDiskJson);
    for (const char* field : {"licenses", "guestOsFeatures", "architecture", "sizeGb"})
        EXPECT_EQ(made[field], described[field]) << field;

    const std::string windows =
        "https://www.googleapis.com/compute/v1/projects/windows-cloud/global/licenses/windows-server-2022-dc";
    SDisk converted;
    converted.strDiskJson = source.strDiskJson;
    ASSERT_TRUE(bridge->CreateDisk(kProject, "restore-converted", kProxyZone, "", false, converted, windows))
        << bridge->GetLastError();
    made = nlohmann::json::parse(converted.strDiskJson);
    EXPECT_EQ(made["licenses"], nlohmann::json::array({windows}));
    EXPECT_EQ(made["guestOsFeatures"], described["guestOsFeatures"]);
}

TEST_F(BridgeTest, LabelsAreMergedAndReadInBothForms) {
    SDisk disk;
    ASSERT_TRUE(bridge->GetDiskInfo(kProject, "web-1-data", "us-central1-b", "", false, disk, 0));
    ASSERT_TRUE(
        bridge->SetDiskLabels(kProject, disk, "us-central1-b", "", false, {{"ar-integrity-snapshot", "s1"}}))
        << bridge->GetLastError();
    ASSERT_TRUE(
        bridge->SetDiskLabels(kProject, disk, "us-central1-b", "", false, {{"ar-integrity-snapshot", "s2"}}))
        << "a second change reads the new fingerprint: " << bridge->GetLastError();
    std::vector<VMInfoStructs::SKeyPairInfo> labels;
    ASSERT_TRUE(bridge->GetDiskLabels(kProject, "web-1-data", "us-central1-b", "", false, labels));
    std::map<std::string, std::string> asMap;
    for (const auto& l : labels) asMap[l.strKey] = l.strValue;
    EXPECT_EQ(asMap, (std::map<std::string, std::string>{{"tier", "data"}, {"ar-integrity-snapshot", "s2"}}));

    std::map<std::string, std::string> fromText;
    ASSERT_TRUE(bridge->GetDiskInfo(kProject, "web-1-data", "us-central1-b", "", false, disk, 0));
    ASSERT_TRUE(bridge->GetDiskLabels(disk.strDiskJson, fromText));
    EXPECT_EQ(fromText, asMap);
    EXPECT_FALSE(bridge->GetDiskLabels("[1,2]", fromText));
}

TEST_F(BridgeTest, AttachShowsTheDiskUnderItsIdAndDetachRemovesIt) {
    SDisk disk;
    disk.nSize = 1ull << 30;
    ASSERT_TRUE(bridge->CreateDisk(kProject, "restore-a", kProxyZone, "", false, disk, ""));
    const std::string link = emu->byIdDir() + "/google-zd-" + disk.strDiskId;
    bool limit = true;
    ASSERT_TRUE(bridge->AttachDisk(kProject, "restore-a", kProxy, kProxyZone, limit))
        << bridge->GetLastError();
    EXPECT_FALSE(limit);
    EXPECT_TRUE(LinkExists(link)) << link;
    EXPECT_TRUE(bridge->AttachDisk(kProject, "restore-a", kProxy, kProxyZone, limit))
        << "already attached here counts as attached: " << bridge->GetLastError();
    EXPECT_FALSE(bridge->DeleteDisk(kProject, "restore-a", kProxyZone, "", false)) << "attached disks stay";
    ASSERT_TRUE(bridge->DetachDisk(kProject, "restore-a", kProxy, kProxyZone)) << bridge->GetLastError();
    EXPECT_FALSE(LinkExists(link));
    EXPECT_TRUE(bridge->DetachDisk(kProject, "restore-a", kProxy, kProxyZone));
    ASSERT_TRUE(bridge->DeleteDisk(kProject, "restore-a", kProxyZone, "", false)) << bridge->GetLastError();
    EXPECT_EQ(CountNamed("disks", "restore-a"), 0);
    EXPECT_TRUE(bridge->DeleteDisk(kProject, "restore-a", kProxyZone, "", false)) << "gone is deleted";
}

TEST_F(BridgeTest, DeletionsStartedTogetherShareOneWaitAndDetachOfAnOwnDiskReadsNothing) {
    const std::vector<std::string> names = {"del-0", "del-1", "del-2"};
    for (const auto& n : names) {
        SDisk d;
        ASSERT_TRUE(bridge->CreateDisk(kProject, n, kProxyZone, "", false, d, "")) << bridge->GetLastError();
    }
    bool limit = false;
    ASSERT_TRUE(bridge->AttachDisk(kProject, "del-0", kProxy, kProxyZone, limit)) << bridge->GetLastError();
    emu->resetStats();
    ASSERT_TRUE(bridge->DetachDisk(kProject, "del-0", kProxy, kProxyZone)) << bridge->GetLastError();
    ASSERT_TRUE(bridge->DetachDisk(kProject, "del-0", kProxy, kProxyZone)) << "detached twice";
    json requests = emu->stats()["requests"];
    EXPECT_EQ(requests.size(), 2u) << "the detach and its wait only: " << requests.dump();

    emu->resetStats();
    for (const auto& n : names) ASSERT_TRUE(bridge->StartDeleteDisk(kProject, n, kProxyZone, "", false));
    ASSERT_TRUE(bridge->StartDeleteDisk(kProject, "never-made", kProxyZone, "", false)) << "gone is deleted";
    for (const auto& n : names) {
        ASSERT_TRUE(bridge->FinishDeleteDisk(kProject, n, kProxyZone, "", false)) << bridge->GetLastError();
        EXPECT_EQ(CountNamed("disks", n), 0) << n;
    }
    EXPECT_TRUE(bridge->FinishDeleteDisk(kProject, "never-made", kProxyZone, "", false));
    requests = emu->stats()["requests"];
    EXPECT_EQ(
        requests.value("POST /compute/v1/projects/{project}/zones/{zone}/operations/{operation}/wait", 0), 1)
        << requests.dump();
    EXPECT_EQ(requests.value("GET /compute/v1/projects/{project}/zones/{zone}/operations", 0), 1);
}

TEST_F(BridgeTest, AttachReportsTheDiskLimitThroughTheFlag) {
    emu->setLimits({{"maxAttachedDisks", 1}});  // the proxy's boot disk fills it
    SDisk disk;
    ASSERT_TRUE(bridge->CreateDisk(kProject, "restore-a", kProxyZone, "", false, disk, ""));
    bool limit = false;
    EXPECT_FALSE(bridge->AttachDisk(kProject, "restore-a", kProxy, kProxyZone, limit));
    EXPECT_TRUE(limit) << bridge->GetLastError();
    bool other = true;
    EXPECT_FALSE(bridge->AttachDisk(kProject, "no-such-disk", kProxy, kProxyZone, other));
    EXPECT_FALSE(other) << "a missing disk is not a full instance";
}

TEST_F(BridgeTest, BackupDiskFromASnapshotCarriesTheDataAndIsFoundByTheProtectedDiskId) {
    SDisk source;
    ASSERT_TRUE(bridge->GetDiskInfo(kProject, "web-1-data", "us-central1-b", "", false, source, 0));
    VMInfoStructs::SSnapshot snap;
    snap.strName = "zd-backup-7-" + source.strDiskId + "-100";
    snap.strDescription = "Disk Snapshot created for backup";
    snap.vecLabels = {{"snapshot-type", "test"}};
    ASSERT_TRUE(bridge->CreateDiskSnapshot(kProject, "web-1-data", "us-central1-b", "", false, true, snap))
        << bridge->GetLastError();
    ASSERT_EQ(WaitSnapshotSettled(snap.strName), "READY");
    const json snapshot = Resources("snapshots")[0];
    EXPECT_EQ(snapshot["labels"]["tier"], "data") << "disk labels are carried onto the snapshot";
    EXPECT_EQ(snapshot["labels"]["snapshot-type"], "test");
    std::string uri;
    ASSERT_TRUE(bridge->GetSnapshotUri(kProject, snap.strName, uri));
    EXPECT_NE(uri.find("/global/snapshots/" + snap.strName), std::string::npos);

    const std::string newName = "zd-backup-7-" + source.strDiskId + "-101";
    SDisk templ;
    ASSERT_TRUE(
        bridge->CreateDiskFromSnapshot(kProject, uri, newName, kProxyZone, "", false, "pd-ssd", templ))
        << bridge->GetLastError();
    EXPECT_FALSE(templ.strDiskId.empty());
    WaitDiskReady(newName, kProxyZone);
    bool limit = false;
    ASSERT_TRUE(bridge->AttachDisk(kProject, newName, kProxy, kProxyZone, limit)) << bridge->GetLastError();
    const std::string link = emu->byIdDir() + "/google-zd-" + source.strDiskId;
    ASSERT_TRUE(LinkExists(link)) << link;
    EXPECT_EQ(Head(link, 1 << 20), Head(emu->diskFile(kProject, "web-1-data"), 1 << 20));
    EXPECT_TRUE(bridge->DetachDisk(kProject, newName, kProxy, kProxyZone));
    EXPECT_TRUE(bridge->DeleteDisk(kProject, newName, kProxyZone, "", false));
    EXPECT_TRUE(bridge->DoesSnapshotExist(kProject, snap.strName));
    ASSERT_TRUE(bridge->DeleteDiskSnapshot(kProject, snap.strName)) << bridge->GetLastError();
    EXPECT_FALSE(bridge->DoesSnapshotExist(kProject, snap.strName));
    EXPECT_TRUE(bridge->DeleteDiskSnapshot(kProject, snap.strName));
}

TEST_F(BridgeTest, FailedGuestFlushShowsAsAFailedSnapshot) {
    emu->setGuestFlushFail(true);
    VMInfoStructs::SSnapshot snap;
    snap.strName = "app-consistent-1";
    ASSERT_TRUE(bridge->CreateDiskSnapshot(kProject, "web-1", "us-central1-b", "", false, true, snap));
    EXPECT_EQ(WaitSnapshotSettled(snap.strName), "FAILED");
    EXPECT_NE(bridge->GetLastError().find("GUEST_FLUSH_FAILED"), std::string::npos) << bridge->GetLastError();
    snap.strName = "crash-consistent-1";
    ASSERT_TRUE(bridge->CreateDiskSnapshot(kProject, "web-1", "us-central1-b", "", false, false, snap));
    EXPECT_EQ(WaitSnapshotSettled(snap.strName), "READY");
}

TEST_F(BridgeTest, RateLimitedSnapshotIsSentAgainAndMadeOnce) {
    emu->addFault(
        {{"match", "POST .*/createSnapshot"}, {"operationError", "RATE_LIMIT_EXCEEDED"}, {"count", 2}});
    VMInfoStructs::SSnapshot snap;
    snap.strName = "rate-limited-1";
    ASSERT_TRUE(bridge->CreateDiskSnapshot(kProject, "web-1", "us-central1-b", "", false, false, snap));
    EXPECT_EQ(WaitSnapshotSettled(snap.strName), "READY") << bridge->GetLastError();
    EXPECT_EQ(CountNamed("snapshots", snap.strName), 1);
}

TEST_F(BridgeTest, FreshDiskNotYetVisibleReadsAsCreating) {
    VMInfoStructs::SSnapshot snap;
    snap.strName = "source-snap";
    ASSERT_TRUE(bridge->CreateDiskSnapshot(kProject, "spare-1", "us-central1-b", "", false, false, snap))
        << bridge->GetLastError();
    ASSERT_EQ(WaitSnapshotSettled(snap.strName), "READY");
    std::string uri;
    ASSERT_TRUE(bridge->GetSnapshotUri(kProject, snap.strName, uri));
    emu->setLimits({{"notFoundAfterInsertMs", 400}});
    SDisk templ;
    ASSERT_TRUE(bridge->CreateDiskFromSnapshot(kProject, uri, "fresh-1", kProxyZone, "", false, "", templ));
    std::string state;
    ASSERT_TRUE(bridge->GetDiskState(kProject, kProxyZone, "", false, "fresh-1", state))
        << bridge->GetLastError();
    EXPECT_EQ(state, "CREATING");
    WaitDiskReady("fresh-1", kProxyZone);
    std::string unknown;
    EXPECT_FALSE(bridge->GetDiskState(kProject, kProxyZone, "", false, "never-made", unknown));
}

TEST_F(BridgeTest, RegionalDiskFromASnapshotUsesTheReplicaZones) {
    SDisk shared;
    ASSERT_TRUE(bridge->GetDiskInfo(kProject, "shared-data", "", "us-central1", true, shared, 0))
        << bridge->GetLastError();
    std::vector<std::string> zones;
    std::string regionUri;
    ASSERT_TRUE(bridge->ParseReplicaZonesFromJson(shared.strDiskJson, zones, regionUri));
    EXPECT_EQ(zones, (std::vector<std::string>{"us-central1-a", "us-central1-b"}));
    EXPECT_NE(regionUri.find("/regions/us-central1"), std::string::npos);

    VMInfoStructs::SSnapshot snap;
    snap.strName = "shared-snap";
    ASSERT_TRUE(bridge->CreateDiskSnapshot(kProject, "shared-data", "", "us-central1", true, true, snap))
        << bridge->GetLastError();
    ASSERT_EQ(WaitSnapshotSettled(snap.strName), "READY");
    std::string uri;
    ASSERT_TRUE(bridge->GetSnapshotUri(kProject, snap.strName, uri));
    SDisk templ;
    templ.strDiskJson = shared.strDiskJson;
    ASSERT_TRUE(bridge->CreateDiskFromSnapshot(kProject, uri, "shared-copy", "", "us-central1", true,
                                               "pd-balanced", templ))
        << bridge->GetLastError();
    WaitDiskReady("shared-copy", "", "us-central1");
    SDisk copy;
    ASSERT_TRUE(bridge->GetDiskInfo(kProject, "shared-copy", "", "us-central1", true, copy, 0));
    EXPECT_EQ(copy.vecReplicaZones, zones);
    EXPECT_TRUE(bridge->DeleteDisk(kProject, "shared-copy", "", "us-central1", true))
        << bridge->GetLastError();
}

TEST_F(BridgeTest, MoveDiskKeepsNameDataAndLabelsAndLeavesNothingBehind) {
    emu->writeDisk(kProject, "us-central1-b", "spare-1", 4096, "moved bytes");
    const std::string before = Head(emu->diskFile(kProject, "spare-1"), 8192);
    const size_t snapshotsBefore = Resources("snapshots").size();
    SDisk disk;
    ASSERT_TRUE(bridge->MoveDisk(kProject, "spare-1", "us-central1-b", "us-central1-c", disk))
        << bridge->GetLastError();
    EXPECT_NE(disk.strLocationUri.find("/zones/us-central1-c/"), std::string::npos);
    EXPECT_FALSE(bridge->DoesDiskExist(kProject, "spare-1", "us-central1-b", "", false));
    EXPECT_TRUE(bridge->DoesDiskExist(kProject, "spare-1", "us-central1-c", "", false));
    EXPECT_EQ(CountNamed("disks", "spare-1"), 1);
    EXPECT_EQ(Resources("snapshots").size(), snapshotsBefore);
    EXPECT_EQ(Head(emu->diskFile(kProject, "spare-1"), 8192), before);
    EXPECT_FALSE(bridge->MoveDisk(kProject, "web-1-data", "us-central1-b", "us-central1-c", disk))
        << "an attached disk is not moved";
}

// A restore sends every disk creation first and then awaits each one; a
// rate-limited creation is sent again while awaited.
TEST_F(BridgeTest, DiskCreationsStartedTogetherFinishInAboutTheTimeOfOne) {
    const int latencyMs = 1200;
    emu->setLatency({{"disk", latencyMs}});
    emu->addFault(
        {{"match", "POST .*/zones/[^/]+/disks$"}, {"operationError", "RATE_LIMIT_EXCEEDED"}, {"count", 1}});
    emu->resetStats();
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<SDisk> disks(4);
    for (size_t i = 0; i < disks.size(); ++i) {
        disks[i].nSize = 1ull << 30;
        const std::string name = "side-" + std::to_string(i);
        ASSERT_TRUE(bridge->StartCreateDisk(kProject, name, kProxyZone, "", false, disks[i], ""))
            << bridge->GetLastError();
    }
    std::string state;
    ASSERT_TRUE(bridge->GetDiskState(kProject, kProxyZone, "", false, "side-3", state));
    EXPECT_EQ(state, "CREATING");
    for (SDisk& d : disks) {
        const std::string startedId = d.strDiskId;
        ASSERT_TRUE(bridge->FinishCreateDisk(kProject, d.strName, kProxyZone, "", false, d))
            << bridge->GetLastError();
        ASSERT_TRUE(bridge->GetDiskState(kProject, kProxyZone, "", false, d.strName, state));
        EXPECT_EQ(state, "READY") << d.strName;
        SDisk read;
        ASSERT_TRUE(bridge->GetDiskInfo(kProject, d.strName, kProxyZone, "", false, read, 0));
        EXPECT_EQ(d.strDiskId, read.strDiskId) << d.strName;
        EXPECT_EQ(CountNamed("disks", d.strName), 1) << d.strName;
        if (d.strName != "side-0") {
            EXPECT_EQ(startedId, read.strDiskId) << "the id named at the start";
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // One at a time would take 4 x 1.2 s; side by side, the rate-limited
    // one sent again at once, about 1.2 s.
    EXPECT_LT(seconds, 2 * latencyMs / 1000.0);
    const json stats = emu->stats();
    EXPECT_EQ(stats["pendingReads"].value("disk", 0), 1) << "only the one read made while creating";
    EXPECT_EQ(stats["requests"].value("POST /compute/v1/projects/{project}/zones/{zone}/disks", 0), 5)
        << "four creations, one sent again";
}

// Attaches and detaches sent ahead run side by side: four disks attached in
// about the time of one attach, and detached in about the time of one; a
// deletion right after a detach sent ahead waits for it. A failed attach
// sent ahead is sent again by the AttachDisk that claims it.
TEST_F(BridgeTest, AttachesAndDetachesSentAheadFinishInAboutTheTimeOfOne) {
    const int latencyMs = 1000;
    std::vector<std::string> names;
    std::vector<SDisk> disks(4);
    for (size_t i = 0; i < disks.size(); ++i) {
        names.push_back("ahead-" + std::to_string(i));
        ASSERT_TRUE(bridge->CreateDisk(kProject, names[i], kProxyZone, "", false, disks[i], ""))
            << bridge->GetLastError();
    }
    emu->setLatency({{"attach", latencyMs}});
    emu->addFault({{"match", "POST .*/instances/[^/]+/attachDisk$"},
                   {"operationError", "RESOURCE_NOT_READY"},
                   {"count", 1}});
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& n : names)
        ASSERT_TRUE(bridge->StartAttachDisk(kProject, n, kProxy, kProxyZone)) << bridge->GetLastError();
    for (size_t i = 0; i < names.size(); ++i) {
        bool limit = true;
        ASSERT_TRUE(bridge->AttachDisk(kProject, names[i], kProxy, kProxyZone, limit))
            << bridge->GetLastError();
        EXPECT_TRUE(LinkExists(emu->byIdDir() + "/google-zd-" + disks[i].strDiskId)) << names[i];
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // One at a time: 4 s; side by side, the failed one sent again: about 2 s.
    EXPECT_LT(seconds, 3.2 * latencyMs / 1000.0);

    t0 = std::chrono::steady_clock::now();
    for (const auto& n : names)
        ASSERT_TRUE(bridge->StartDetachDisk(kProject, n, kProxy, kProxyZone)) << bridge->GetLastError();
    ASSERT_TRUE(bridge->DeleteDisk(kProject, names[0], kProxyZone, "", false)) << bridge->GetLastError();
    for (size_t i = 1; i < names.size(); ++i)
        ASSERT_TRUE(bridge->DetachDisk(kProject, names[i], kProxy, kProxyZone)) << bridge->GetLastError();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(seconds, 2.0 * latencyMs / 1000.0);
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_FALSE(LinkExists(emu->byIdDir() + "/google-zd-" + disks[i].strDiskId)) << names[i];
    EXPECT_EQ(CountNamed("disks", names[0]), 0);

    // A disk only grows; a disk already as large is left alone.
    ASSERT_TRUE(bridge->ResizeDisk(kProject, names[1], kProxyZone, "", false, 3)) << bridge->GetLastError();
    SDisk grown;
    ASSERT_TRUE(bridge->GetDiskInfo(kProject, names[1], kProxyZone, "", false, grown, 0));
    EXPECT_EQ(grown.nSize, 3ull << 30);
    EXPECT_TRUE(bridge->ResizeDisk(kProject, names[1], kProxyZone, "", false, 2)) << bridge->GetLastError();
    EXPECT_FALSE(bridge->ResizeDisk(kProject, "no-such-disk", kProxyZone, "", false, 4));
}

// Disks made together are read together: a round of status reads over them
// costs one list call; the existence checks that follow see a deletion by
// somebody else once the last list is older than a round, and one sent
// through this bridge at once.
TEST_F(BridgeTest, ReadsOfDisksMadeTogetherShareOneListAndStayFresh) {
    emu->setLatency({{"disk", 600}});
    std::vector<SDisk> disks(3);
    for (size_t i = 0; i < disks.size(); ++i) {
        disks[i].nSize = 1ull << 30;
        ASSERT_TRUE(bridge->StartCreateDisk(kProject, "batch-" + std::to_string(i), kProxyZone, "", false,
                                            disks[i], ""))
            << bridge->GetLastError();
    }
    emu->resetStats();
    int rounds = 0;
    for (bool ready = false; !ready; ++rounds) {
        ASSERT_LT(rounds, 40);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        ready = true;
        for (size_t i = 0; i < disks.size(); ++i) {
            std::string state;
            ASSERT_TRUE(
                bridge->GetDiskState(kProject, kProxyZone, "", false, "batch-" + std::to_string(i), state));
            ASSERT_NE(state, "FAILED") << bridge->GetLastError();
            if (state != "READY") ready = false;
        }
    }
    const json requests = emu->stats()["requests"];
    EXPECT_EQ(requests.value("GET /compute/v1/projects/{project}/zones/{zone}/disks/{disk}", 0), 0);
    EXPECT_EQ(requests.value("GET /compute/v1/projects/{project}/zones/{zone}/disks", 0), rounds);

    auto other = NewBridge();
    ASSERT_TRUE(other->Connect(emu->p12Path(), emu->serviceAccountEmail(), "")) << other->GetLastError();
    ASSERT_TRUE(other->DeleteDisk(kProject, "batch-0", kProxyZone, "", false)) << other->GetLastError();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_FALSE(bridge->DoesDiskExist(kProject, "batch-0", kProxyZone, "", false));
    EXPECT_EQ(bridge->GetLastError(), "");
    EXPECT_TRUE(bridge->DoesDiskExist(kProject, "batch-1", kProxyZone, "", false));
    ASSERT_TRUE(bridge->DeleteDisk(kProject, "batch-1", kProxyZone, "", false)) << bridge->GetLastError();
    EXPECT_FALSE(bridge->DoesDiskExist(kProject, "batch-1", kProxyZone, "", false));
    EXPECT_TRUE(bridge->DoesDiskExist(kProject, "batch-2", kProxyZone, "", false));
}
