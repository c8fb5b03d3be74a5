// What the jobs of gcebackup share: the job's id and directory, the clean-up
// and cancel helpers, output streams, and the read side of a backup (mount,
// copy every disk into the store, unmount), used by ordinary backups and by
// backup copies made from snapshots.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "cli/Commands.h"
#include "cli/PluginHost.h"

namespace gcebackup {

// One job of the host: its id (written on every log line) and its directory
// under the state directory, removed when the job ends.
class Job {
  public:
    explicit Job(const GlobalOptions& g);
    ~Job();
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    int64_t Id() const { return m_id; }
    const std::string& Dir() const { return m_dir; }

  private:
    int64_t m_id = 0;
    std::string m_dir;
};

// Holds an instance for one job that reads it (a backup makes snapshots of
// its disks and attaches disks made from them under fixed device names): a
// lock file under <state dir>/locks/ naming the job. A second job on the
// same instance fails at once with a line naming the job that holds it,
// rather than in the cloud when its attach collides. Released on destruction
// (and by the kernel when the process dies).
class InstanceLock {
  public:
    InstanceLock(const std::string& stateDir, const std::string& project, const std::string& instance,
                 int64_t jobId);
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

  private:
    int m_fd = -1;
};

// Lowers the cancel flag before the host's clean-up calls, so that the
// plug-in's clean-up waits are not cut short.
void PrepareCleanup();
// Undoes a cloud step (a mount, what a restore created) when the scope is
// left while armed; the cancel flag is lowered first so that the plug-in's
// clean-up waits run in full.
template <class Undo>
class UndoGuard {
  public:
    explicit UndoGuard(Undo undo) : m_undo(std::move(undo)) {}
    ~UndoGuard() {
        if (!armed) return;
        PrepareCleanup();
        m_undo();
    }
    UndoGuard(const UndoGuard&) = delete;
    UndoGuard& operator=(const UndoGuard&) = delete;
    bool armed = true;

  private:
    Undo m_undo;
};

// Throws CommandError (cancelled) when the job was cancelled.
void ThrowIfCancelled(const std::string& what);

// The record of a job that replaces an instance in place (the instance goes
// before its replacement can be made): written synced as DIR/<job>.json,
// with the job's process, before the instance is touched, so that `cleanup`
// can finish the job if it dies; kept when the job fails, removed by Done()
// when it succeeds.
class InPlaceJobRecord {
  public:
    void Done();
    // The records in `dir` of jobs that are dead, with their paths (those
    // being written, or of live jobs, are left out).
    static std::vector<std::pair<std::string, nlohmann::json>> DeadRecords(const std::string& dir);

  protected:
    // Throws CommandError ("the <what> cannot be recorded ...") when the
    // record cannot be written.
    void Write(const std::string& dir, int64_t jobId, nlohmann::json entry, const std::string& what);

  private:
    std::string m_path;
};
// Progress goes to stdout, or to stderr when stdout carries JSON.
FILE* ProgressStream(const GlobalOptions& g);
void PrintJson(const nlohmann::json& j);

// A mount request with a backup's disk filters (--exclude-pattern globs,
// --exclude-label KEY=VALUE, --exclude-os-disk) and --app-consistent; throws
// CommandError (usage) for a label without "=".
MountCtx FilteredMountCtx(const std::vector<std::string>& excludePatterns,
                          const std::vector<std::string>& excludeLabels, bool excludeOSDisk,
                          bool appConsistent);

// An application-consistent request that the mount did not honour: true when
// app-consistent snapshots were requested and the plug-in either refused them
// (cleared bAppConsistent: the guest OS or a setting does not allow them) or
// fell back to crash-consistent snapshots after a failed guest flush.
// `requested` is the request's flag before the mount.
bool CrashConsistentFallback(bool requested, const MountCtx& ctx);
// The one line a job prints when CrashConsistentFallback holds, naming the
// reason.
std::string CrashConsistentFallbackLine(const MountCtx& ctx);

// Looks `instance` up in `project`, in `zone` when one is given (failing the
// session when it cannot) and fills in what a mount request of it needs: its
// names and id, the job's ids, the mount path in the job's directory, and the
// instance's description, which is returned as well.
VMInfoStructs::SVMInfo DescribeForMount(PluginSession& s, const Job& job, const std::string& project,
                                        const std::string& instance, MountCtx& ctx,
                                        const std::string& zone = "");

// The read side of a backup. `ctx` is a mount request ready for MountVM;
// the backup goes into STORE/<ctx.strVMName>/<new id>/. `sourceDisks` are
// the instance's disks as known before the mount (to name those the job's
// filters left out). `beforeUnmount` (optional) runs once every disk is
// copied, while the disks are still mounted; it may throw to fail the job.
// Whatever happens, the mount is undone.
BackupSummary CopyMountedBackup(const GlobalOptions& g, PluginSession& s, const Job& job, MountCtx& ctx,
                                const std::string& store,
                                const std::vector<VMInfoStructs::SDisk>& sourceDisks,
                                std::chrono::steady_clock::time_point started,
                                const std::function<void()>& beforeUnmount = {});

}  // namespace gcebackup
