// The commands of the deduplicating backup repository: init, forget, prune
// and check (backup, restore, verify and list take a repository wherever
// they take a store).
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>

#include "cli/PluginHost.h"
#include "cli/repo/Retention.h"

namespace gcebackup {

class RepoCommands {
  public:
    explicit RepoCommands(CLI::App& app);
    // True when one of these subcommands was given.
    bool Selected() const;
    int Run(const GlobalOptions& g) const;

  private:
    CLI::App* m_init = nullptr;
    CLI::App* m_forget = nullptr;
    CLI::App* m_prune = nullptr;
    CLI::App* m_check = nullptr;
    std::string m_initRepo;
    std::string m_forgetRepo;
    std::string m_forgetInstance;
    repo::KeepRules m_rules;
    bool m_forgetDryRun = false;
    std::string m_pruneRepo;
    std::string m_pruneGrace = "1h";
    bool m_pruneDryRun = false;
    std::string m_checkRepo;
    bool m_checkReadData = false;
};

// "90", "90s", "15m", "1h", "2d" as seconds; -1 when malformed.
int64_t ParseDuration(const std::string& text);

}  // namespace gcebackup
