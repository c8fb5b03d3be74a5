// Process-wide host environment: where the host keeps its state (cleaner
// store, logs, job counters) and the job-cancel flag the host program sets.
#pragma once

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

}  // namespace HostEnv
