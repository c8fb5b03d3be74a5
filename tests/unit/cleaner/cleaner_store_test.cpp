// The crash-recovery registry on a real SQLite store in a temporary directory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cleaner/GoogleCloudCleaner.h"
#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/HostUtils.h"

using VMInfoStructs::SDisk;

namespace {

const VM_Cleaner_Mode kBackup = VM_CLEANER_MODE_BACKUP;
const VM_Cleaner_Mode kRestore = VM_CLEANER_MODE_RESTORE;

class CleanerStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/cleaner-store-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        m_db = m_dir + "/state/cleaner.db";
        ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath", m_db);
    }
    void TearDown() override {
        ArPlatformInfo::ClearOverrides();
        CLuDirectory::RemoveRecursive(m_dir);
    }
    std::unique_ptr<CGoogleCloudCleaner> Open() {
        auto c = std::make_unique<CGoogleCloudCleaner>();
        EXPECT_TRUE(c->Init("proxy-1")) << c->GetLastError();
        return c;
    }
    std::string m_dir;
    std::string m_db;
};

TEST_F(CleanerStoreTest, TreeOfOneJobWithExactCaseNames) {
    auto c = Open();
    // A child cannot exist without its VM entity.
    EXPECT_FALSE(c->RegisterSnapshot(kBackup, "guid-1", "snap-a", "proj"));
    EXPECT_FALSE(c->RegisterDisk(kBackup, "guid-1", "disk-a", "1", "uri", "zone", "proj"));
    ASSERT_TRUE(c->RegisterVM(kBackup, "guid-1", "web-1", "us-central1-a", "proj"));
    ASSERT_TRUE(c->Init("proxy-1")) << "a second Init keeps the object's entities its own";
    std::string path;
    ASSERT_TRUE(c->GetRegisteredVM(kBackup, "guid-1", path));
    EXPECT_FALSE(path.empty());
    // The same key in the other mode is another entity.
    EXPECT_FALSE(c->GetRegisteredVM(kRestore, "guid-1", path));
    ASSERT_TRUE(c->GetRegisteredVM(kBackup, "guid-1", path));

    std::vector<std::string> snaps;
    EXPECT_FALSE(c->GetRegisteredSnapshots(path, snaps)) << "no snapshots gives false";
    std::vector<SDisk> disks;
    EXPECT_TRUE(c->GetRegisteredDisks(path, disks)) << "no disks gives true";
    EXPECT_TRUE(disks.empty());

    ASSERT_TRUE(c->RegisterSnapshot(kBackup, "guid-1", "snap-B", "proj"));
    ASSERT_TRUE(c->RegisterSnapshot(kBackup, "guid-1", "snap-a", "proj"));
    ASSERT_TRUE(c->GetRegisteredSnapshots(path, snaps));
    EXPECT_EQ(snaps, (std::vector<std::string>{"snap-B", "snap-a"}));

    // Names match with exact letter case only.
    EXPECT_FALSE(c->UnRegisterSnapshot(path, "snap-b"));
    EXPECT_TRUE(c->UnRegisterSnapshot(path, "snap-B"));
    EXPECT_FALSE(c->UnRegisterSnapshot(path, "snap-B"));
    snaps.clear();
    ASSERT_TRUE(c->GetRegisteredSnapshots(path, snaps));
    EXPECT_EQ(snaps, std::vector<std::string>{"snap-a"});

    // Entered before it is requested (no URI yet), then again once it
    // exists: one disk, whose entry now has the URI.
    const std::string uri = "https://www.googleapis.com/compute/v1/projects/proj/zones/zone-a/disks/zd-disk";
    ASSERT_TRUE(c->RegisterDisk(kBackup, "guid-1", "zd-disk", "", "", "zone-a", "proj"));
    ASSERT_TRUE(c->GetRegisteredDisks(path, disks));
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].strLocationUri, uri) << "the place it was entered for";
    disks.clear();
    ASSERT_TRUE(c->RegisterDisk(kBackup, "guid-1", "zd-disk", "4711", uri, "zone-a", "proj"));
    ASSERT_TRUE(c->GetRegisteredDisks(path, disks));
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].strDiskId, "zd-disk");
    EXPECT_EQ(disks[0].strName, "zd-disk");
    EXPECT_EQ(disks[0].strNewName, "zd-disk");
    EXPECT_EQ(disks[0].strLocationUri, uri);
    EXPECT_EQ(disks[0].strZone, "zone-a");
    EXPECT_FALSE(c->UnRegisterDisk(path, "ZD-DISK"));

    // Removing the VM entity removes its children.
    ASSERT_TRUE(c->UnRegisterVM(path, false));
    EXPECT_FALSE(c->GetRegisteredVM(kBackup, "guid-1", path));
    disks.clear();
    EXPECT_FALSE(c->GetRegisteredDisks(path, disks));
}

TEST_F(CleanerStoreTest, DisksOfOneNameInTwoPlacesHaveTwoEntries) {
    // A restored disk on its way to another zone (or project) and its copy
    // there share the name: each keeps its own entry until it is gone.
    auto c = Open();
    ASSERT_TRUE(c->RegisterVM(kRestore, "job", "web-1", "zone-b", "dest"));
    std::string path;
    ASSERT_TRUE(c->GetRegisteredVM(kRestore, "job", path));
    const std::string base = "https://www.googleapis.com/compute/v1/projects/";
    ASSERT_TRUE(c->RegisterDisk(kRestore, "job", "web-1-data", "1",
                                base + "proxy/zones/zone-a/disks/web-1-data", "zone-a", "proxy"));
    ASSERT_TRUE(c->RegisterDisk(kRestore, "job", "web-1-data", "", "", "zone-b", "dest"));
    ASSERT_TRUE(c->RegisterDisk(kRestore, "job", "web-1-data", "",
                                base + "dest/regions/us-east1/disks/web-1-data", "", "dest"));
    std::vector<SDisk> disks;
    ASSERT_TRUE(c->GetRegisteredDisks(path, disks));
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(CGoogleCloudCleaner::DiskLocation(disks[1].strLocationUri, disks[1].strZone, ""),
              "dest/zone-b");

    // Deleting the source removes only its entry.
    ASSERT_TRUE(c->UnRegisterDiskAt(path, "web-1-data", "", "zone-a", "proxy"));
    EXPECT_FALSE(c->UnRegisterDiskAt(path, "web-1-data", "", "zone-a", "proxy"));
    disks.clear();
    ASSERT_TRUE(c->GetRegisteredDisks(path, disks));
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_NE(disks[0].strLocationUri.find("/dest/zones/zone-b/"), std::string::npos)
        << disks[0].strLocationUri;
    ASSERT_TRUE(
        c->UnRegisterDiskAt(path, "web-1-data", base + "dest/regions/us-east1/disks/web-1-data", "", ""));
    // The name alone removes whatever is left of it.
    EXPECT_TRUE(c->UnRegisterDisk(path, "web-1-data"));
    disks.clear();
    ASSERT_TRUE(c->GetRegisteredDisks(path, disks));
    EXPECT_TRUE(disks.empty());
}

TEST_F(CleanerStoreTest, EntriesWrittenBeforeDisksHadPlacesAreStillReadAndRemoved) {
    // Stores written earlier key a disk by its name and record no location.
    auto c = Open();
    ASSERT_TRUE(c->RegisterVM(kBackup, "guid-old", "web-1", "zone-a", "proj"));
    std::string handle, path;
    ASSERT_TRUE(c->LookupEntity(kBackup, VM_Cleaner_Entity_VM, "guid-old", handle));
    ASSERT_TRUE(c->RegisterEntityWithProperty(kBackup, VM_Cleaner_Entity_Disk, "zd-backup-3-11-1700000000",
                                              handle,
                                              {{"name", "zd-backup-3-11-1700000000"},
                                               {"id", "11"},
                                               {"uri", "u"},
                                               {"hostname", "zone-a"},
                                               {"project", "proj"}}));
    ASSERT_TRUE(c->GetRegisteredVM(kBackup, "guid-old", path));
    std::vector<SDisk> disks;
    ASSERT_TRUE(c->GetRegisteredDisks(path, disks));
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(disks[0].strNewName, "zd-backup-3-11-1700000000");
    EXPECT_EQ(disks[0].strZone, "zone-a");
    std::set<std::string> names;
    ASSERT_TRUE(c->ListAllNames(VM_Cleaner_Entity_Disk, names));
    EXPECT_EQ(names.count("zd-backup-3-11-1700000000"), 1u);
    EXPECT_TRUE(c->UnRegisterDiskAt(path, "zd-backup-3-11-1700000000", "", "zone-a", "proj"));
}

TEST_F(CleanerStoreTest, SnapshotsKeepTheProjectTheyWereEnteredWith) {
    auto c = Open();
    ASSERT_TRUE(c->RegisterVM(kRestore, "job", "standby", "zone", "dest"));
    ASSERT_TRUE(c->RegisterSnapshot(kRestore, "job", "zd-restore-1-aaaaa-11-1", "dest"));
    ASSERT_TRUE(c->RegisterSnapshot(kRestore, "job", "zd-move-aaaaa-12-1", "proxy"));
    std::string path;
    ASSERT_TRUE(c->GetRegisteredVM(kRestore, "job", path));
    std::map<std::string, std::string> projects;
    ASSERT_TRUE(c->GetRegisteredSnapshotProjects(path, projects));
    EXPECT_EQ(projects["zd-restore-1-aaaaa-11-1"], "dest");
    EXPECT_EQ(projects["zd-move-aaaaa-12-1"], "proxy");
}

TEST_F(CleanerStoreTest, CreatedInstanceBelowARestoreEntity) {
    auto c = Open();
    ASSERT_TRUE(c->RegisterVM(kRestore, "job-guid", "restored", "zone", "proj"));
    std::string path;
    ASSERT_TRUE(c->GetRegisteredVM(kRestore, "job-guid", path));
    VMInfoStructs::SVMInfo vm;
    EXPECT_FALSE(c->GetRegisteredCreatedVM(path, vm));
    EXPECT_FALSE(c->RegisterCreatedVM(kRestore, "no-such-job", "web-1", "proj", "zone-a"));
    ASSERT_TRUE(c->RegisterCreatedVM(kRestore, "job-guid", "web-1", "proj", "zone-a"));
    ASSERT_TRUE(c->GetRegisteredCreatedVM(path, vm));
    EXPECT_EQ(vm.strName, "web-1");
    EXPECT_EQ(vm.strProjectId, "proj");
    EXPECT_EQ(vm.strZone, "zone-a");
    // The record is not a job entity: lookups by job key are unaffected.
    std::string other;
    EXPECT_FALSE(c->GetRegisteredVM(kRestore, "web-1", other));
    ASSERT_TRUE(c->UnRegisterCreatedVM(path));
    EXPECT_FALSE(c->GetRegisteredCreatedVM(path, vm));
    EXPECT_TRUE(c->GetRegisteredVM(kRestore, "job-guid", path));
}

TEST_F(CleanerStoreTest, ReleasedEntitiesBecomeOrphansAdoptedOnce) {
    std::string path;
    {
        auto dead = Open();
        ASSERT_TRUE(dead->RegisterVM(kBackup, "guid-X", "web-1", "zone", "proj-1"));
        ASSERT_TRUE(dead->RegisterSnapshot(kBackup, "guid-X", "snap-1", "proj-1"));
        // Another live object of this process does not see it as an orphan.
        auto peer = Open();
        EXPECT_FALSE(peer->IsAllVMCleanupRequired(kBackup));
        std::vector<CleanerEntity> none;
        ASSERT_TRUE(peer->GetOrphanedRootEntityListByType(kBackup, VM_Cleaner_Entity_VM, "", none));
        EXPECT_TRUE(none.empty());
    }  // destroyed without unregistering: a job that did not finish

    auto next = Open();
    EXPECT_TRUE(next->IsAllVMCleanupRequired(kBackup));
    EXPECT_FALSE(next->IsAllVMCleanupRequired(kRestore));
    // Its own lookup does not find another job's entity; the orphan search does.
    std::string handle;
    EXPECT_FALSE(next->LookupEntity(kBackup, VM_Cleaner_Entity_VM, "guid-X", handle));
    EXPECT_FALSE(next->GetRegisteredVM(kBackup, "GUID-X", path));
    ASSERT_TRUE(next->GetRegisteredVM(kBackup, "guid-X", path));
    std::vector<std::string> snaps;
    ASSERT_TRUE(next->GetRegisteredSnapshots(path, snaps));
    EXPECT_EQ(snaps, std::vector<std::string>{"snap-1"});

    // Adopted: the adopter still lists it, nobody else does.
    std::vector<CleanerEntity> list;
    ASSERT_TRUE(next->GetOrphanedRootEntityListByType(kBackup, VM_Cleaner_Entity_VM, "", list));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].strEntityHandle, "guid-X");
    EXPECT_EQ(list[0].strCleanerPath, path);
    EXPECT_EQ(list[0].mapProperties.at("project"), "proj-1");
    EXPECT_EQ(list[0].mapProperties.at("name"), "web-1");
    auto other = Open();
    EXPECT_FALSE(other->IsAllVMCleanupRequired(kBackup));
    std::vector<CleanerEntity> otherList;
    ASSERT_TRUE(other->GetOrphanedRootEntityListByType(kBackup, VM_Cleaner_Entity_VM, "", otherList));
    EXPECT_TRUE(otherList.empty());

    EXPECT_EQ(next->GetLastAllVMCleanupTime(kBackup), 0);
    ASSERT_TRUE(next->PostAllVMCleanup(kBackup));
    EXPECT_GT(next->GetLastAllVMCleanupTime(kBackup), 0);
    EXPECT_EQ(next->GetLastAllVMCleanupTime(kRestore), 0);

    // When the adopter goes away unfinished, the entity is an orphan again.
    next.reset();
    EXPECT_TRUE(other->IsAllVMCleanupRequired(kBackup));
}

TEST_F(CleanerStoreTest, JobsOpeningANewStoreAtOnceAllOpenIt) {
    // The jobs of a policy run start together on a fresh state directory.
    for (int round = 0; round < 40; ++round) {
        ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath",
                                    m_dir + "/state-" + std::to_string(round) + "/cleaner.db");
        std::atomic<int> ready{0};
        std::vector<std::string> errors(4);
        std::vector<std::thread> jobs;
        for (size_t i = 0; i < errors.size(); ++i)
            jobs.emplace_back([&, i] {
                CGoogleCloudCleaner c;
                ++ready;
                while (ready.load() < static_cast<int>(errors.size())) std::this_thread::yield();
                if (!c.Init("proxy-" + std::to_string(i))) errors[i] = c.GetLastError();
            });
        for (auto& t : jobs) t.join();
        for (const auto& e : errors) ASSERT_EQ(e, "") << "round " << round;
    }
}

TEST_F(CleanerStoreTest, CorruptOrUnusableStoreFailsCleanly) {
    CreateFolderIfNotPresent(m_dir + "/state");
    {
        std::ofstream junk(m_db, std::ios::binary);
        for (int i = 0; i < 512; ++i) junk << "not a database, garbage bytes " << i << '\n';
    }
    CGoogleCloudCleaner c;
    EXPECT_FALSE(c.Init("proxy"));
    EXPECT_NE(c.GetLastError().find(m_db), std::string::npos) << c.GetLastError();
    // Every later call fails the same way instead of crashing.
    EXPECT_FALSE(c.RegisterVM(kBackup, "g", "n", "z", "p"));
    std::string path;
    EXPECT_FALSE(c.GetRegisteredVM(kBackup, "g", path, true));
    EXPECT_FALSE(c.IsAllVMCleanupRequired(kBackup));
    EXPECT_FALSE(c.PostAllVMCleanup(kBackup));

    // A store whose directory cannot be made (a file is in the way).
    std::ofstream(m_dir + "/blocker") << "x";
    ArPlatformInfo::SetOverride("VirtualServer", "strCleanerDbPath", m_dir + "/blocker/sub/cleaner.db");
    CGoogleCloudCleaner d;
    EXPECT_FALSE(d.Init("proxy"));
    EXPECT_NE(d.GetLastError().find("blocker"), std::string::npos) << d.GetLastError();
}

}  // namespace
