// Host cleaner base: the persistent crash-recovery store of the cloud
// resources a job creates, so that a later job can remove what a dead one
// left behind.
//
// The store is one SQLite database file shared by every job and process of
// the host: <state dir>/cleaner/gce_cleaner.db (HostEnv::GetStateDir()), or
// the file named by the setting VirtualServer/strCleanerDbPath. It holds a
// tree of entities: root entities (one per job and instance) with child
// entities (snapshots, disks, created instances), each with string
// properties. Handles and names are compared with exact letter case.
//
// Ownership. Every root entity records its owner: the process id, that
// process's start time (from /proc/<pid>/stat, so a reused pid is not taken
// for the owner) and a token unique to the VMCleaner object that registered
// it. A root entity is an orphan when its owner process is gone, or when the
// owning object released it (destroyed without unregistering it). Listing
// the orphans adopts them: they pass to the listing object, so two jobs
// never clean up the same leftovers at once, and when the adopting process
// dies in turn they become orphans again.
//
// Concurrency. Each object holds its own database connection under its own
// mutex, so one object may be used from several threads. Objects in one
// process and in different processes share the file through SQLite: WAL
// journal, a busy timeout, and every change in one IMMEDIATE transaction.
//
// Failures. Every operation returns false on failure (never throws); the
// reason is logged and kept in GetLastError(). A file that cannot be opened
// or is not a sound database makes Init fail with a text naming the file.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "plugin/host/EvDebug.h"
#include "plugin/host/VMInfoStructs.h"

struct sqlite3;

// Kind of a cleaner entity.
enum VM_Cleaner_EntityType : int {
    VM_Cleaner_Entity_VM = 1,
    VM_Cleaner_Entity_Snapshot = 2,
    VM_Cleaner_Entity_Disk = 3,
};

// One entity as the store's listings return it.
struct CleanerEntity {
    VM_Cleaner_EntityType eEntityType = VM_Cleaner_Entity_VM;
    std::string strEntityHandle;  // the key the entity was registered with
    std::string strCleanerPath;   // the entity's path in the store
    std::map<std::string, std::string> mapProperties;
};

class VMCleaner {
  public:
    VMCleaner();
    // Releases the root entities this object still owns: they become orphans.
    virtual ~VMCleaner();
    VMCleaner(const VMCleaner&) = delete;
    VMCleaner& operator=(const VMCleaner&) = delete;

    // Opens (creating when missing) the store and checks it. `name` (the
    // proxy's name) is recorded with the entities this object registers;
    // `number` is reserved. Calling it again reopens the store; the entities
    // the object owns stay its own. False, with GetLastError(), when the file
    // cannot be opened or created or is not a sound cleaner database.
    bool Init(const std::string& name, int number);
    // Closes the connection. The object's entities stay owned by it.
    void DeInit();

    // Registers an entity. `parentHandle` "" makes a root entity owned by
    // this object; otherwise the parent is the root entity of that handle
    // owned by this object (see LookupEntity). Registering an existing key
    // again replaces its properties. False when the parent is missing.
    bool RegisterEntityWithProperty(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type, const std::string& key,
                                    const std::string& parentHandle,
                                    const std::map<std::string, std::string>& properties);
    // Finds the root entity of `key` registered by this object; its handle
    // (the key) names it as a parent. False when there is none.
    bool LookupEntity(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type, const std::string& key,
                      std::string& handle);
    // Path of the root entity that LookupEntity found for `handle`.
    bool GetCleanerPathForEntityHandle(VM_Cleaner_Mode mode, const std::string& handle, std::string& path);
    // Appends the orphaned root entities of that mode and type (only those of
    // `key` unless it is ""), with handle, path and properties, and adopts
    // them; entities this object adopted earlier are listed again. True also
    // when there are none.
    bool GetOrphanedRootEntityListByType(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type,
                                         const std::string& key, std::vector<CleanerEntity>& list);
    // Appends the children of type `type` of the entity at `path`, in the
    // order they were registered. False when no entity has that path.
    bool FillItemsFromCleanerPath(const std::string& path, VM_Cleaner_EntityType type,
                                  std::vector<CleanerEntity>& list);
    // Adds the name (property "name", else the handle) of every entity of
    // that type in the store, whoever owns it, live or not.
    bool ListAllNames(VM_Cleaner_EntityType type, std::set<std::string>& names);
    // Removes the entity at `path` with everything below it; with
    // `bChildrenOnly` only what is below it. False when no entity has that path.
    bool UnRegisterEntity(const std::string& path, bool bChildrenOnly);

    // True when orphaned root entities of `mode` exist.
    bool IsAllVMCleanupRequired(VM_Cleaner_Mode mode);
    // Records the time of a clean-up of leftovers of `mode`.
    bool PostAllVMCleanup(VM_Cleaner_Mode mode);
    // Epoch seconds of the last PostAllVMCleanup of `mode`; 0 when never.
    int64_t GetLastAllVMCleanupTime(VM_Cleaner_Mode mode);

    // Text of the last failure of this object (empty when none).
    std::string GetLastError() const;
    // File of the store: the setting VirtualServer/strCleanerDbPath, else
    // <state dir>/cleaner/gce_cleaner.db.
    static std::string GetStorePath();

    // Owner of what this process registers: its pid and start time. Other
    // host records that must outlive a dead process use the same rule.
    struct Owner {
        int64_t pid = 0;
        int64_t startTime = 0;
    };
    static Owner SelfOwner();
    // False when the process is gone, a zombie, or another process now has
    // its pid; true when alive or when /proc cannot tell (kept to be safe).
    static bool IsOwnerAlive(int64_t pid, int64_t startTime);

  protected:
    EvDebug m_cleanerLog;

  private:
    bool OpenLocked();
    void CloseLocked();
    bool FailLocked(const char* what);
    bool ExecLocked(const char* sql);
    bool BeginLocked();
    bool CommitLocked();
    void RollbackLocked();
    int64_t FindOwnRootLocked(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type, const std::string& key);
    bool ReadPropertiesLocked(int64_t id, std::map<std::string, std::string>& out);

    mutable std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    std::string m_strPath;
    std::string m_strName;
    std::string m_strToken;
    std::string m_strLastError;
};
