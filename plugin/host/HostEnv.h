// Process-wide host environment: where the host keeps its state (cleaner
// store, logs, job counters) and the job-cancel flag the host program sets.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace HostEnv {

// State directory of the host. Defaults to $GCEBACKUP_STATE_DIR, else
// $HOME/.local/state/gcebackup, else /var/tmp/gcebackup.
std::string GetStateDir();
void SetStateDir(const std::string& dir);

// The job-cancel flag: set by the host (for example on SIGINT), read by
// CVMInfo::IsJobCancelled. Async-signal-safe to set.
void SetJobCancelled(bool cancelled);
bool IsJobCancelled();

// Progress of a wait inside a long plug-in call: `done` of `total` resources
// of one kind (`what`: "snapshots", "disks") are ready. The host program may
// observe it to show counts while the call runs; without an observer the
// report is dropped. The observer runs on the reporting thread and must not
// call back into the plug-in.
using ProgressObserver = std::function<void(const std::string& what, size_t done, size_t total)>;
void SetProgressObserver(ProgressObserver observer);  // an empty one removes it
void ReportProgress(const std::string& what, size_t done, size_t total);

}  // namespace HostEnv
