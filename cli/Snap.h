// The snapshot-only jobs of gcebackup: snapshot backups (the snapshots stay in
// the cloud; their metadata and catalogue go into a local catalogue
// directory), backup copies of them into a store, reverts from them, their
// deletion and listing. The plug-in is driven through CVMInfo only, as the
// backup agent's snapshot framework would drive it.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "cli/PluginHost.h"

namespace gcebackup {

struct SnapBackupOptions {
    std::string catalog;
    std::string project;
    std::string instance;
    bool appConsistent = false;
    std::vector<std::string> excludePatterns;
    std::vector<std::string> excludeLabels;
    bool excludeOSDisk = false;
};

struct SnapSelect {
    std::string catalog;
    std::string instance;  // name or instance id
    int64_t job = 0;       // 0: the newest snapshot backup of the instance
};

struct RevertOptions {
    SnapSelect from;
    std::string asName;
    std::string project;
    std::string zone;
    bool inPlace = false;
    bool powerOn = false;
    // Finishes an in-place revert that a dead job began (cleanup does);
    // prints nothing.
    bool resume = false;
};

// An in-place revert a dead job had begun, as `cleanup` dealt with it.
struct FinishedRevert {
    std::string instance;
    std::string project;
    bool completed = false;  // the reverted instance was made
    std::string error;       // not empty: still unfinished, its record is kept
};

// Finishes the in-place reverts whose jobs died (their records in the state
// directory): where the instance is gone, the revert is run again from its
// snapshots; where it exists, there is nothing to finish. Records of
// finished ones are removed.
std::vector<FinishedRevert> FinishDeadInPlaceReverts(const GlobalOptions& g);

int CmdSnapBackup(const GlobalOptions& g, const SnapBackupOptions& o);
int CmdBackupCopy(const GlobalOptions& g, const SnapSelect& from, const std::string& store);
int CmdRevert(const GlobalOptions& g, const RevertOptions& o);
int CmdSnapDelete(const GlobalOptions& g, const SnapSelect& which);
int CmdSnapList(const GlobalOptions& g, const std::string& catalog, const std::string& instance);

// Registers the snapshot subcommands on the program's command line and runs
// the one chosen.
class SnapCommands {
  public:
    explicit SnapCommands(CLI::App& app);
    // True when one of these subcommands was given.
    bool Selected() const;
    int Run(const GlobalOptions& g) const;

  private:
    CLI::App* m_backup = nullptr;
    CLI::App* m_copy = nullptr;
    CLI::App* m_revert = nullptr;
    CLI::App* m_delete = nullptr;
    CLI::App* m_list = nullptr;
    SnapBackupOptions m_backupOptions;
    SnapSelect m_copyFrom;
    std::string m_copyStore;
    RevertOptions m_revertOptions;
    SnapSelect m_deleteWhich;
    std::string m_listCatalog;
    std::string m_listInstance;
};

}  // namespace gcebackup
