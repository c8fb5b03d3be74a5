// The crash-recovery store on SQLite. See VMCleaner.h for the model.
#include "plugin/host/VMCleaner.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "plugin/host/ArPlatformInfo.h"
#include "plugin/host/HostEnv.h"
#include "plugin/host/HostUtils.h"

namespace {

const char* const kSchemaVersion = "1";
const int kBusyTimeoutMs = 15000;

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS cleaner_meta("
    "  key TEXT PRIMARY KEY,"
    "  value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS cleaner_entity("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent_id INTEGER REFERENCES cleaner_entity(id) ON DELETE CASCADE,"
    "  mode INTEGER NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  handle TEXT NOT NULL,"
    "  path TEXT NOT NULL UNIQUE,"
    "  owner_pid INTEGER NOT NULL DEFAULT 0,"
    "  owner_start INTEGER NOT NULL DEFAULT 0,"
    "  owner_token TEXT NOT NULL DEFAULT '',"
    "  owner_name TEXT NOT NULL DEFAULT '',"
    "  adopted INTEGER NOT NULL DEFAULT 0,"
    "  created INTEGER NOT NULL);"
    "CREATE UNIQUE INDEX IF NOT EXISTS cleaner_entity_child"
    "  ON cleaner_entity(parent_id, type, handle) WHERE parent_id IS NOT NULL;"
    "CREATE INDEX IF NOT EXISTS cleaner_entity_root"
    "  ON cleaner_entity(mode, type, handle) WHERE parent_id IS NULL;"
    "CREATE TABLE IF NOT EXISTS cleaner_property("
    "  entity_id INTEGER NOT NULL REFERENCES cleaner_entity(id) ON DELETE CASCADE,"
    "  key TEXT NOT NULL,"
    "  value TEXT NOT NULL,"
    "  PRIMARY KEY(entity_id, key));";

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string ModeName(VM_Cleaner_Mode mode) {
    switch (mode) {
        case VM_CLEANER_MODE_BACKUP:
            return "backup";
        case VM_CLEANER_MODE_RESTORE:
            return "restore";
    }
    return "mode" + std::to_string(static_cast<int>(mode));
}

// A prepared statement that finalises itself.
class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    bool ok() const { return m_rc == SQLITE_OK; }
    Stmt& bind(int i, int64_t v) {
        if (ok()) m_rc = sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Stmt& bind(int i, const std::string& v) {
        if (ok()) m_rc = sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or an error code.
    int step() {
        if (!ok()) return m_rc;
        int rc = sqlite3_step(m_stmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) m_rc = rc;
        return rc;
    }
    // Runs a statement that returns no rows.
    bool run() { return step() == SQLITE_DONE; }
    int64_t int64(int col) { return sqlite3_column_int64(m_stmt, col); }
    std::string text(int col) {
        const unsigned char* p = sqlite3_column_text(m_stmt, col);
        return p ? std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(m_stmt, col))
                 : std::string();
    }

  private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc = SQLITE_OK;
};

// Fields of /proc/<pid>/stat after the command name: {state, ..., starttime}.
// False when the process does not exist.
bool ReadProcStat(int64_t pid, char& state, int64_t& startTime, bool& unreadable) {
    unreadable = false;
    std::string text;
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        unreadable = errno != ENOENT && errno != ESRCH;
        return false;
    }
    char buf[1024];
    size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
    std::fclose(f);
    text.assign(buf, n);
    // The command name is in parentheses and may itself hold ')' or spaces.
    size_t close = text.rfind(')');
    if (close == std::string::npos) {
        unreadable = true;
        return false;
    }
    std::vector<std::string> fields;
    size_t pos = close + 1;
    while (pos < text.size()) {
        while (pos < text.size() && text[pos] == ' ') ++pos;
        size_t end = text.find(' ', pos);
        if (end == std::string::npos) end = text.size();
        if (end > pos) fields.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    // Field 3 is the state, field 22 the start time (clock ticks after boot).
    if (fields.size() < 20 || fields[0].empty()) {
        unreadable = true;
        return false;
    }
    state = fields[0][0];
    startTime = std::strtoll(fields[19].c_str(), nullptr, 10);
    return true;
}

}  // namespace

VMCleaner::VMCleaner() : m_cleanerLog("VMCleaner"), m_strToken(CreateGuid()) {}

VMCleaner::~VMCleaner() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_strPath.empty()) return;
    // Whatever this object still owns can only be cleaned by a later job now.
    if (m_db || OpenLocked()) {
        if (BeginLocked()) {
            Stmt st(m_db,
                    "UPDATE cleaner_entity SET owner_pid = 0, owner_start = 0 "
                    "WHERE parent_id IS NULL AND owner_token = ?1");
            st.bind(1, m_strToken);
            if (st.run())
                CommitLocked();
            else
                RollbackLocked();
        }
    }
    CloseLocked();
}

std::string VMCleaner::GetStorePath() {
    std::string path;
    ArPlatformInfo::getString("VirtualServer", "strCleanerDbPath", path);
    if (!path.empty()) return path;
    return FXPath::Append(FXPath::Append(HostEnv::GetStateDir(), "cleaner"), "gce_cleaner.db");
}

VMCleaner::Owner VMCleaner::SelfOwner() {
    Owner self;
    self.pid = static_cast<int64_t>(::getpid());
    char state = 0;
    bool unreadable = false;
    if (!ReadProcStat(self.pid, state, self.startTime, unreadable)) self.startTime = 0;
    return self;
}

bool VMCleaner::IsOwnerAlive(int64_t pid, int64_t startTime) {
    if (pid <= 0) return false;  // released by its object
    char state = 0;
    int64_t actualStart = 0;
    bool unreadable = false;
    if (!ReadProcStat(pid, state, actualStart, unreadable)) return unreadable;  // unsure: keep it
    if (state == 'Z' || state == 'X') return false;                             // killed, not yet reaped
    return startTime == 0 || actualStart == startTime;
}

bool VMCleaner::Init(const std::string& name, int) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CloseLocked();
    m_strName = name;
    m_strPath = GetStorePath();
    m_strLastError.clear();
    return OpenLocked();
}

void VMCleaner::DeInit() {
    std::lock_guard<std::mutex> lock(m_mutex);
    CloseLocked();
}

std::string VMCleaner::GetLastError() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strLastError;
}

bool VMCleaner::FailLocked(const char* what) {
    m_strLastError = FXString::Format("Cleaner store [%s]: %s: %s", m_strPath.c_str(), what,
                                      m_db ? sqlite3_errmsg(m_db) : "not open");
    m_cleanerLog.Error(__PRETTY_FUNCTION__, "%s", m_strLastError.c_str());
    return false;
}

bool VMCleaner::ExecLocked(const char* sql) {
    char* err = nullptr;
    int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &err);
    sqlite3_free(err);
    return rc == SQLITE_OK;
}

bool VMCleaner::BeginLocked() {
    if (!m_db && !OpenLocked()) return false;
    if (!ExecLocked("BEGIN IMMEDIATE")) return FailLocked("cannot start a transaction");
    return true;
}

bool VMCleaner::CommitLocked() {
    if (!ExecLocked("COMMIT")) {
        FailLocked("cannot commit");
        RollbackLocked();
        return false;
    }
    return true;
}

void VMCleaner::RollbackLocked() {
    if (sqlite3_get_autocommit(m_db) == 0) ExecLocked("ROLLBACK");
}

bool VMCleaner::OpenLocked() {
    if (m_db) return true;
    if (m_strPath.empty()) m_strPath = GetStorePath();
    std::string dir = m_strPath.substr(
        0, m_strPath.find_last_of('/') == std::string::npos ? 0 : m_strPath.find_last_of('/'));
    if (!dir.empty() && !CreateFolderIfNotPresent(dir)) {
        m_strLastError = FXString::Format("Cleaner store [%s]: cannot create its directory [%s]",
                                          m_strPath.c_str(), dir.c_str());
        m_cleanerLog.Error(__PRETTY_FUNCTION__, "%s", m_strLastError.c_str());
        return false;
    }
    int rc = sqlite3_open_v2(m_strPath.c_str(), &m_db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        FailLocked("cannot open");
        CloseLocked();
        return false;
    }
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    // Checks that the file is a sound database before anything is written.
    {
        Stmt check(m_db, "PRAGMA quick_check");
        if (check.step() != SQLITE_ROW || check.text(0) != "ok") {
            FailLocked("not a sound cleaner database (corrupt or foreign file)");
            CloseLocked();
            return false;
        }
    }
    // Processes that open a new store at once race to switch it to WAL. The
    // loser is told SQLITE_BUSY at once, not after the busy timeout (waiting
    // for that lock could deadlock), so the switch is tried again a while.
    for (int waitedMs = 0;; waitedMs += 20) {
        Stmt wal(m_db, "PRAGMA journal_mode=WAL");
        if (wal.step() == SQLITE_ROW) break;
        const int err = sqlite3_errcode(m_db);
        if ((err != SQLITE_BUSY && err != SQLITE_LOCKED) || waitedMs >= kBusyTimeoutMs) {
            FailLocked("cannot switch to WAL journal");
            CloseLocked();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!ExecLocked("PRAGMA foreign_keys=ON") || !ExecLocked("PRAGMA synchronous=NORMAL")) {
        FailLocked("cannot configure the connection");
        CloseLocked();
        return false;
    }
    if (!ExecLocked("BEGIN IMMEDIATE")) {
        FailLocked("cannot start a transaction");
        CloseLocked();
        return false;
    }
    bool ok = ExecLocked(kSchema);
    std::string version;
    if (ok) {
        Stmt get(m_db, "SELECT value FROM cleaner_meta WHERE key = 'schema'");
        int rc2 = get.step();
        if (rc2 == SQLITE_ROW)
            version = get.text(0);
        else if (rc2 != SQLITE_DONE)
            ok = false;
    }
    if (ok && version.empty()) {
        Stmt put(m_db, "INSERT INTO cleaner_meta(key, value) VALUES('schema', ?1)");
        put.bind(1, std::string(kSchemaVersion));
        ok = put.run();
        version = kSchemaVersion;
    }
    if (!ok) {
        FailLocked("cannot create the tables");
        RollbackLocked();
        CloseLocked();
        return false;
    }
    if (version != kSchemaVersion) {
        RollbackLocked();
        m_strLastError = FXString::Format("Cleaner store [%s]: unknown schema version [%s]",
                                          m_strPath.c_str(), version.c_str());
        m_cleanerLog.Error(__PRETTY_FUNCTION__, "%s", m_strLastError.c_str());
        CloseLocked();
        return false;
    }
    if (!CommitLocked()) {
        CloseLocked();
        return false;
    }
    return true;
}

void VMCleaner::CloseLocked() {
    if (m_db) sqlite3_close_v2(m_db);
    m_db = nullptr;
}

int64_t VMCleaner::FindOwnRootLocked(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type,
                                     const std::string& key) {
    Stmt st(m_db,
            "SELECT id FROM cleaner_entity WHERE parent_id IS NULL AND mode = ?1 AND type = ?2 "
            "AND handle = ?3 AND owner_token = ?4 AND adopted = 0 ORDER BY id LIMIT 1");
    st.bind(1, static_cast<int64_t>(mode))
        .bind(2, static_cast<int64_t>(type))
        .bind(3, key)
        .bind(4, m_strToken);
    int rc = st.step();
    if (rc == SQLITE_ROW) return st.int64(0);
    return rc == SQLITE_DONE ? 0 : -1;
}

bool VMCleaner::ReadPropertiesLocked(int64_t id, std::map<std::string, std::string>& out) {
    Stmt st(m_db, "SELECT key, value FROM cleaner_property WHERE entity_id = ?1");
    st.bind(1, id);
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) out[st.text(0)] = st.text(1);
    return rc == SQLITE_DONE;
}

bool VMCleaner::RegisterEntityWithProperty(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type,
                                           const std::string& key, const std::string& parentHandle,
                                           const std::map<std::string, std::string>& properties) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!BeginLocked()) return false;
    bool ok = true;
    int64_t id = 0;
    if (parentHandle.empty()) {
        id = FindOwnRootLocked(mode, type, key);
        ok = id >= 0;
        if (ok && id == 0) {
            Owner self = SelfOwner();
            Stmt ins(
                m_db,
                "INSERT INTO cleaner_entity(parent_id, mode, type, handle, path, owner_pid, owner_start, "
                "owner_token, owner_name, created) VALUES(NULL, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
            // A unique placeholder path, replaced once the row id is known.
            ins.bind(1, static_cast<int64_t>(mode))
                .bind(2, static_cast<int64_t>(type))
                .bind(3, key)
                .bind(4, "pending:" + m_strToken + ":" + key)
                .bind(5, self.pid)
                .bind(6, self.startTime)
                .bind(7, m_strToken)
                .bind(8, m_strName)
                .bind(9, NowSeconds());
            ok = ins.run();
            if (ok) {
                id = sqlite3_last_insert_rowid(m_db);
                Stmt upd(m_db, "UPDATE cleaner_entity SET path = ?1 WHERE id = ?2");
                upd.bind(1, "/" + ModeName(mode) + "/" + std::to_string(id)).bind(2, id);
                ok = upd.run();
            }
        }
    } else {
        int64_t parent = FindOwnRootLocked(mode, VM_Cleaner_Entity_VM, parentHandle);
        if (parent <= 0) {
            RollbackLocked();
            if (parent < 0) return FailLocked("cannot look up the parent entity");
            m_strLastError =
                "Cleaner store: no entity [" + parentHandle + "] to register [" + key + "] under";
            return false;
        }
        std::string parentPath;
        {
            Stmt pp(m_db, "SELECT path FROM cleaner_entity WHERE id = ?1");
            pp.bind(1, parent);
            ok = pp.step() == SQLITE_ROW;
            if (ok) parentPath = pp.text(0);
        }
        if (ok) {
            Stmt find(m_db,
                      "SELECT id FROM cleaner_entity WHERE parent_id = ?1 AND type = ?2 AND handle = ?3");
            find.bind(1, parent).bind(2, static_cast<int64_t>(type)).bind(3, key);
            int rc = find.step();
            ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
            if (rc == SQLITE_ROW) id = find.int64(0);
        }
        if (ok && id == 0) {
            Stmt ins(m_db,
                     "INSERT INTO cleaner_entity(parent_id, mode, type, handle, path, created) "
                     "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
            ins.bind(1, parent)
                .bind(2, static_cast<int64_t>(mode))
                .bind(3, static_cast<int64_t>(type))
                .bind(4, key)
                .bind(5, "pending:" + std::to_string(parent) + ":" + key)
                .bind(6, NowSeconds());
            ok = ins.run();
            if (ok) {
                id = sqlite3_last_insert_rowid(m_db);
                Stmt upd(m_db, "UPDATE cleaner_entity SET path = ?1 WHERE id = ?2");
                upd.bind(1, parentPath + "/" + std::to_string(id)).bind(2, id);
                ok = upd.run();
            }
        }
    }
    if (ok) {
        Stmt del(m_db, "DELETE FROM cleaner_property WHERE entity_id = ?1");
        del.bind(1, id);
        ok = del.run();
    }
    for (auto it = properties.begin(); ok && it != properties.end(); ++it) {
        Stmt put(m_db, "INSERT INTO cleaner_property(entity_id, key, value) VALUES(?1, ?2, ?3)");
        put.bind(1, id).bind(2, it->first).bind(3, it->second);
        ok = put.run();
    }
    if (!ok) {
        FailLocked("cannot register an entity");
        RollbackLocked();
        return false;
    }
    return CommitLocked();
}

bool VMCleaner::LookupEntity(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type, const std::string& key,
                             std::string& handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_db && !OpenLocked()) return false;
    int64_t id = FindOwnRootLocked(mode, type, key);
    if (id < 0) return FailLocked("cannot look up an entity");
    if (id == 0) return false;
    handle = key;
    return true;
}

bool VMCleaner::GetCleanerPathForEntityHandle(VM_Cleaner_Mode mode, const std::string& handle,
                                              std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_db && !OpenLocked()) return false;
    Stmt st(m_db,
            "SELECT path FROM cleaner_entity WHERE parent_id IS NULL AND mode = ?1 AND handle = ?2 "
            "AND owner_token = ?3 AND adopted = 0 ORDER BY type, id LIMIT 1");
    st.bind(1, static_cast<int64_t>(mode)).bind(2, handle).bind(3, m_strToken);
    int rc = st.step();
    if (rc == SQLITE_ROW) {
        path = st.text(0);
        return true;
    }
    if (rc != SQLITE_DONE) return FailLocked("cannot read an entity path");
    return false;
}

bool VMCleaner::GetOrphanedRootEntityListByType(VM_Cleaner_Mode mode, VM_Cleaner_EntityType type,
                                                const std::string& key, std::vector<CleanerEntity>& list) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // One transaction: no other job can adopt the same entities in between.
    if (!BeginLocked()) return false;
    struct Row {
        int64_t id;
        std::string handle, path, token;
        int64_t pid, start, adopted;
    };
    std::vector<Row> rows;
    bool ok;
    {
        Stmt st(
            m_db,
            "SELECT id, handle, path, owner_token, owner_pid, owner_start, adopted FROM cleaner_entity "
            "WHERE parent_id IS NULL AND mode = ?1 AND type = ?2 AND (?3 = '' OR handle = ?3) ORDER BY id");
        st.bind(1, static_cast<int64_t>(mode)).bind(2, static_cast<int64_t>(type)).bind(3, key);
        int rc;
        while ((rc = st.step()) == SQLITE_ROW)
            rows.push_back(
                {st.int64(0), st.text(1), st.text(2), st.text(3), st.int64(4), st.int64(5), st.int64(6)});
        ok = rc == SQLITE_DONE;
    }
    Owner self = SelfOwner();
    std::vector<CleanerEntity> found;
    for (size_t i = 0; ok && i < rows.size(); ++i) {
        const Row& r = rows[i];
        bool mine = r.token == m_strToken;
        bool orphan = mine ? r.adopted != 0 : !IsOwnerAlive(r.pid, r.start);
        if (!orphan) continue;
        if (!mine) {
            Stmt adopt(m_db,
                       "UPDATE cleaner_entity SET owner_pid = ?1, owner_start = ?2, owner_token = ?3, "
                       "owner_name = ?4, adopted = 1 WHERE id = ?5");
            adopt.bind(1, self.pid)
                .bind(2, self.startTime)
                .bind(3, m_strToken)
                .bind(4, m_strName)
                .bind(5, r.id);
            ok = adopt.run();
        }
        CleanerEntity e;
        e.eEntityType = type;
        e.strEntityHandle = r.handle;
        e.strCleanerPath = r.path;
        if (ok) ok = ReadPropertiesLocked(r.id, e.mapProperties);
        found.push_back(e);
    }
    if (!ok) {
        FailLocked("cannot list orphaned entities");
        RollbackLocked();
        return false;
    }
    if (!CommitLocked()) return false;
    list.insert(list.end(), found.begin(), found.end());
    return true;
}

bool VMCleaner::ListAllNames(VM_Cleaner_EntityType type, std::set<std::string>& names) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_db && !OpenLocked()) return false;
    Stmt st(m_db,
            "SELECT e.handle, p.value FROM cleaner_entity e LEFT JOIN cleaner_property p "
            "ON p.entity_id = e.id AND p.key = 'name' WHERE e.type = ?1");
    st.bind(1, static_cast<int64_t>(type));
    int rc;
    while ((rc = st.step()) == SQLITE_ROW) {
        const std::string name = st.text(1);
        names.insert(name.empty() ? st.text(0) : name);
    }
    if (rc != SQLITE_DONE) return FailLocked("cannot list the entities");
    return true;
}

bool VMCleaner::FillItemsFromCleanerPath(const std::string& path, VM_Cleaner_EntityType type,
                                         std::vector<CleanerEntity>& list) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_db && !OpenLocked()) return false;
    // A read transaction, so the children and their properties agree.
    if (!ExecLocked("BEGIN")) return FailLocked("cannot start a transaction");
    int64_t parent = 0;
    bool ok;
    {
        Stmt st(m_db, "SELECT id FROM cleaner_entity WHERE path = ?1");
        st.bind(1, path);
        int rc = st.step();
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        if (rc == SQLITE_ROW) parent = st.int64(0);
    }
    if (ok && parent == 0) {
        RollbackLocked();
        m_strLastError = "Cleaner store: no entity at [" + path + "]";
        return false;
    }
    std::vector<std::pair<int64_t, CleanerEntity>> found;
    if (ok) {
        Stmt st(m_db,
                "SELECT id, handle, path FROM cleaner_entity WHERE parent_id = ?1 AND type = ?2 ORDER BY id");
        st.bind(1, parent).bind(2, static_cast<int64_t>(type));
        int rc;
        while ((rc = st.step()) == SQLITE_ROW) {
            CleanerEntity e;
            e.eEntityType = type;
            e.strEntityHandle = st.text(1);
            e.strCleanerPath = st.text(2);
            found.emplace_back(st.int64(0), e);
        }
        ok = rc == SQLITE_DONE;
    }
    for (size_t i = 0; ok && i < found.size(); ++i)
        ok = ReadPropertiesLocked(found[i].first, found[i].second.mapProperties);
    if (!ok) {
        FailLocked("cannot list entities");
        RollbackLocked();
        return false;
    }
    RollbackLocked();  // nothing was written
    for (auto& f : found) list.push_back(std::move(f.second));
    return true;
}

bool VMCleaner::UnRegisterEntity(const std::string& path, bool bChildrenOnly) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!BeginLocked()) return false;
    int64_t id = 0;
    bool ok;
    {
        Stmt st(m_db, "SELECT id FROM cleaner_entity WHERE path = ?1");
        st.bind(1, path);
        int rc = st.step();
        ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        if (rc == SQLITE_ROW) id = st.int64(0);
    }
    if (ok && id == 0) {
        RollbackLocked();
        m_strLastError = "Cleaner store: no entity at [" + path + "]";
        return false;
    }
    if (ok) {
        // Children are removed with their parent (ON DELETE CASCADE).
        Stmt del(m_db, bChildrenOnly ? "DELETE FROM cleaner_entity WHERE parent_id = ?1"
                                     : "DELETE FROM cleaner_entity WHERE id = ?1");
        del.bind(1, id);
        ok = del.run();
    }
    if (!ok) {
        FailLocked("cannot unregister an entity");
        RollbackLocked();
        return false;
    }
    return CommitLocked();
}

bool VMCleaner::IsAllVMCleanupRequired(VM_Cleaner_Mode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_db && !OpenLocked()) return false;
    Stmt st(m_db,
            "SELECT owner_pid, owner_start FROM cleaner_entity WHERE parent_id IS NULL AND mode = ?1 "
            "AND owner_token <> ?2");
    st.bind(1, static_cast<int64_t>(mode)).bind(2, m_strToken);
    int rc;
    while ((rc = st.step()) == SQLITE_ROW)
        if (!IsOwnerAlive(st.int64(0), st.int64(1))) return true;
    if (rc != SQLITE_DONE) FailLocked("cannot look for orphaned entities");
    return false;
}

bool VMCleaner::PostAllVMCleanup(VM_Cleaner_Mode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!BeginLocked()) return false;
    Stmt st(m_db, "INSERT OR REPLACE INTO cleaner_meta(key, value) VALUES(?1, ?2)");
    st.bind(1, "last_cleanup_" + ModeName(mode)).bind(2, std::to_string(NowSeconds()));
    if (!st.run()) {
        FailLocked("cannot record the clean-up time");
        RollbackLocked();
        return false;
    }
    return CommitLocked();
}

int64_t VMCleaner::GetLastAllVMCleanupTime(VM_Cleaner_Mode mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_db && !OpenLocked()) return 0;
    Stmt st(m_db, "SELECT value FROM cleaner_meta WHERE key = ?1");
    st.bind(1, "last_cleanup_" + ModeName(mode));
    if (st.step() != SQLITE_ROW) return 0;
    return std::strtoll(st.text(0).c_str(), nullptr, 10);
}
