// gcebackup: backs up and restores Google Compute Engine instances through
// the GoogleCloudInfo plug-in, acting as its host.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "cli/Commands.h"
#include "cli/Fleet.h"
#include "cli/PluginHost.h"
#include "cli/Replicate.h"
#include "cli/RepoCommands.h"
#include "cli/Settings.h"
#include "cli/Snap.h"
#include "cli/Store.h"
#include "cli/repo/Codec.h"
#include "cli/repo/ObjectStore.h"
#include "cli/repo/Repository.h"
#include "plugin/host/HostEnv.h"

using namespace gcebackup;

namespace {

std::string EnvOr(const char* name, const std::string& def) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : def;
}

// An endpoint gcebackup can send requests to: http:// or https://, a host,
// and a numeric port if any (a placeholder such as ":PORT" is caught here
// rather than reported by the first request as a failed connection).
bool IsUsableEndpoint(const std::string& url) {
    size_t start = url.rfind("http://", 0) == 0 ? 7 : url.rfind("https://", 0) == 0 ? 8 : 0;
    if (start == 0) return false;
    std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
    size_t colon = authority.rfind(':');
    if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
        std::string port = authority.substr(colon + 1);
        authority.resize(colon);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(port) > 65535)
            return false;
    }
    return !authority.empty() && authority.find_first_of(" @") == std::string::npos;
}

int ReportError(const GlobalOptions& g, const std::string& message, int exitCode, int pluginCode,
                const std::string& details) {
    std::string line = message;
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    if (exitCode == kExitCancelled)
        std::fprintf(stderr, "gcebackup: cancelled: %s\n", line.c_str());
    else
        std::fprintf(stderr, "gcebackup: error: %s\n", line.c_str());
    if (g.json) {
        nlohmann::json j = {{"ok", false}, {"error", line}, {"exitCode", exitCode}};
        if (pluginCode) {
            j["pluginError"] = pluginCode;
            j["pluginErrorDetails"] = details;
        }
        std::fputs((j.dump(2) + "\n").c_str(), stdout);
    }
    return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
    GlobalOptions g;
    g.endpoint = EnvOr("GCEBACKUP_ENDPOINT", "");
    g.credential = EnvOr("GCEBACKUP_CREDENTIAL", "");
    g.settingsFile = EnvOr("GCEBACKUP_SETTINGS", "");
    g.stateDir = HostEnv::GetStateDir();
    g.deviceDir = EnvOr("GCEBACKUP_DEVICE_DIR", "");
    g.metadataUrl = EnvOr("GCEBACKUP_METADATA", "");
    std::string& keyFile = g.keyFile;
    keyFile = EnvOr("GCEBACKUP_KEY_FILE", "");

    CLI::App app{"gcebackup: back up and restore Google Compute Engine instances", "gcebackup"};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", "gcebackup 1.0");
    app.add_option("--endpoint", g.endpoint,
                   "Base URL of the cloud APIs ($GCEBACKUP_ENDPOINT; empty: Google Cloud)");
    app.add_option("--credential", g.credential,
                   "Credential string \"<key file>|<e-mail>\", or a file holding it ($GCEBACKUP_CREDENTIAL)");
    app.add_option("--settings", g.settingsFile, "Settings file ($GCEBACKUP_SETTINGS)");
    app.add_option("--state-dir", g.stateDir,
                   "State directory: cleaner database, logs, job counter ($GCEBACKUP_STATE_DIR)")
        ->capture_default_str();
    app.add_flag("--json", g.json, "Print the result as JSON on stdout");
    app.add_option("--log-level", g.logLevel,
                   "Log level (1 normal, 2 entry/exit of operations, more: detail)")
        ->check(CLI::Range(0, 9))
        ->capture_default_str();
    app.add_option("--device-dir", g.deviceDir,
                   "Where attached disks appear ($GCEBACKUP_DEVICE_DIR, default /dev/disk/by-id)");
    app.add_option("--metadata", g.metadataUrl,
                   "Metadata server URL ($GCEBACKUP_METADATA; default: the endpoint when one is set)");
    app.add_option("--plugin", g.pluginPath, "Path of libGoogleCloudInfo.so ($GCEBACKUP_PLUGIN)");
    app.add_flag("-q,--quiet", g.quiet, "No progress output");
    app.add_option("--key-file", keyFile,
                   "Key of an encrypted repository: 32 bytes, or 64 hex digits ($GCEBACKUP_KEY_FILE; "
                   "init makes the repository encrypted)");
    app.footer(
        "Environment (an option given on the command line wins):\n"
        "  GCEBACKUP_ENDPOINT     --endpoint      GCEBACKUP_CREDENTIAL   --credential\n"
        "  GCEBACKUP_SETTINGS     --settings      GCEBACKUP_STATE_DIR    --state-dir\n"
        "  GCEBACKUP_DEVICE_DIR   --device-dir    GCEBACKUP_METADATA     --metadata\n"
        "  GCEBACKUP_PLUGIN       --plugin        GCEBACKUP_KEY_FILE     --key-file\n"
        "Exit codes: 0 done, 1 the job failed, 2 bad command line, 3 the store cannot be read or\n"
        "written or does not match its manifest, 4 the repository's key is missing or wrong,\n"
        "130 cancelled.\n");
    app.add_option("--parallel", g.parallel, "Disks copied at once (memory stays bounded whatever N)")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();

    std::string browsePath;
    auto* browse =
        app.add_subcommand("browse", "List one level of the inventory (views, then down to instances)");
    browse->add_option("path", browsePath, "Inventory path, e.g. \"Project View/demo-project\"");

    std::string instProject, instZone, instLabel;
    auto* instances = app.add_subcommand("instances", "List instances");
    instances->add_option("--project", instProject, "Project id");
    instances->add_option("--zone", instZone, "Zone");
    instances->add_option("--label", instLabel, "Only instances with label KEY=VALUE");

    BackupOptions bo;
    auto* backup = app.add_subcommand("backup", "Back up an instance into a local store or repository");
    backup->add_option("--project", bo.project, "Project of the instance")->required();
    backup->add_option("--instance", bo.instance, "Instance name")->required();
    backup->add_option("--zone", bo.zone, "Zone of the instance (needed when its name is used in two zones)");
    backup->add_option("--to", bo.store, "Store or repository directory, or gs://BUCKET/PREFIX")->required();
    backup->add_flag("--app-consistent", bo.appConsistent, "Application-consistent snapshots (guest flush)");
    backup->add_option("--exclude-pattern", bo.excludePatterns, "Leave out disks whose name matches GLOB");
    backup->add_option("--exclude-label", bo.excludeLabels, "Leave out disks with label K=V (globs allowed)");
    backup->add_flag("--exclude-os-disk", bo.excludeOSDisk, "Leave out the boot disk");

    RestoreOptions ro;
    std::string machineType;
    auto* restore = app.add_subcommand("restore", "Restore an instance from a local store");
    restore
        ->add_option("--from", ro.store,
                     "Store or repository directory (or gs://BUCKET/PREFIX), or one backup directory")
        ->required();
    restore->add_option("--instance", ro.instance, "The backed-up instance");
    restore->add_option("--backup", ro.backupId, "Backup id (default: the newest)");
    restore->add_option("--as", ro.asName, "Name of the restored instance (default: the original name)");
    restore->add_option("--project", ro.project, "Destination project (default: the original)");
    restore->add_option("--zone", ro.zone, "Destination zone (default: the original)");
    restore->add_option("--region", ro.region, "Destination region (regional disks)");
    restore->add_option("--machine-type", ro.machineType, "Machine type, or \"auto\"");
    restore->add_option("--network", ro.network, "Network of the restored instance");
    restore->add_option("--subnet", ro.subnet, "Subnetwork of the restored instance (in its region)");
    restore->add_flag("--overwrite", ro.overwrite, "Replace an existing instance of the same name");
    restore->add_flag("--power-on", ro.powerOn, "Leave the restored instance running");
    restore->add_flag("--keep-disk-names", ro.keepDiskNames, "Give restored disks the original names");
    restore->add_flag("--converted", ro.converted,
                      "The backup is of an instance converted from another hypervisor");
    restore->add_option("--guest-os", ro.guestOS, "Guest OS of a converted instance (chooses its licence)");
    restore->add_option("--cpus", ro.cpus, "CPUs of a converted instance (automatic machine type)")
        ->check(CLI::Range(1u, 1024u));
    restore->add_option("--memory-mb", ro.memoryMB, "Memory in MB of a converted instance")
        ->check(CLI::Range(int64_t{1}, int64_t{INT32_MAX}));

    std::string powerState, powerProject, powerZone, powerInstance;
    auto* power = app.add_subcommand("power", "Power an instance on or off");
    power->add_option("state", powerState, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    power->add_option("--project", powerProject, "Project")->required();
    power->add_option("--zone", powerZone, "Zone")->required();
    power->add_option("--instance", powerInstance, "Instance name")->required();

    auto* cleanup =
        app.add_subcommand("cleanup", "Remove what dead jobs left behind in the cloud and in stores");
    bool cleanupOrphans = false;
    cleanup->add_flag("--orphans", cleanupOrphans,
                      "Also remove the disks and snapshots this proxy made that no job knows of");

    std::string listStore, listInstance;
    auto* list = app.add_subcommand("list", "List the backups in a store");
    list->add_option("--store", listStore, "Store or repository directory, or gs://BUCKET/PREFIX")
        ->required();
    list->add_option("--instance", listInstance, "Only this instance");

    std::string verStore, verInstance, verBackup;
    auto* verify = app.add_subcommand("verify", "Check a backup against its manifest");
    verify
        ->add_option("--from", verStore,
                     "Store or repository directory (or gs://BUCKET/PREFIX), or one backup directory")
        ->required();
    verify->add_option("--instance", verInstance, "Instance");
    verify->add_option("--backup", verBackup, "Backup id (default: the newest)");

    DemoOptions demo;
    auto* demoCmd = app.add_subcommand("demo", "Back up and restore web-1 on a local emulator, then compare");
    demoCmd->add_flag("--keep", demo.keep, "Keep the emulator's state and the store afterwards");
    demoCmd->add_option("--emulator", demo.emulatorPath, "Path of gce-emulator (default: next to gcebackup)");

    RunOptions runOpts;
    auto* run = app.add_subcommand(
        "run", "Back up every instance a protection policy selects, then apply its retention");
    run->add_option("policy", runOpts.policyFile, "Policy file (INI)")->required();
    run->add_option("--shard", runOpts.shard, "Only the instances of shard I of N (\"I/N\", 1 <= I <= N)");

    ScheduleOptions schedOpts;
    auto* schedule = app.add_subcommand("schedule", "Write the systemd service and timer that run a policy");
    schedule->add_option("policy", schedOpts.policyFile, "Policy file (INI)")->required();
    schedule->add_flag("--print", schedOpts.print, "Print the two units on stdout");
    schedule->add_option("--output-dir", schedOpts.outputDir, "Write the two unit files into DIR");
    schedule->add_option("--shard", schedOpts.shard, "The service runs shard I/N of the policy");

    ReplicationCommands replication;
    AddReplicationCommands(app, replication);
    SnapCommands snapCommands(app);
    RepoCommands repoCommands(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string msg = e.what();
        // A word where the command belongs is named as an unknown command
        // rather than reported as a missing one.
        if (app.get_subcommands().empty()) {
            for (const std::string& word : app.remaining()) {
                if (word.empty() || word[0] == '-') continue;
                std::string names;
                for (const CLI::App* sub : app.get_subcommands({}))
                    names += (names.empty() ? "" : ", ") + sub->get_name();
                msg = "unknown command \"" + word + "\" (commands: " + names + ")";
                break;
            }
        }
        // --json asks for a JSON result even when the command line is wrong.
        for (int i = 1; i < argc; ++i)
            if (std::string(argv[i]) == "--json") g.json = true;
        return ReportError(g, msg + " (see gcebackup --help)", kExitUsage, 0, "");
    }

    if (!g.endpoint.empty() && !IsUsableEndpoint(g.endpoint))
        return ReportError(
            g,
            "--endpoint \"" + g.endpoint + "\" is not a usable URL (http://HOST[:PORT], the port a number)",
            kExitUsage, 0, "");
    InstallCancelHandlers();
    // A repository on a bucket is reached as the plug-in reaches the cloud.
    repo::SetCloudAccess(
        {g.endpoint, [&g] { return ResolveCredential(g.credential); }, g.stateDir + "/repo-mirrors"});
    try {
        if (!g.settingsFile.empty()) CheckSettingsFile(g.settingsFile);
        if (keyFile.empty()) {
            repo::SetRepositoryKey(nullptr);
        } else {
            std::vector<std::string> warnings;
            const repo::Key key = repo::ReadKeyFile(keyFile, warnings);
            for (const auto& w : warnings) std::fprintf(stderr, "gcebackup: warning: %s\n", w.c_str());
            repo::SetRepositoryKey(&key);
            // The backups `run` starts as child processes use the same key.
            ::setenv("GCEBACKUP_KEY_FILE", keyFile.c_str(), 1);
        }
        if (*browse) return CmdBrowse(g, browsePath);
        if (*instances) return CmdInstances(g, instProject, instZone, instLabel);
        if (*backup) return CmdBackup(g, bo);
        if (*restore) return CmdRestore(g, ro);
        if (*power) return CmdPower(g, powerState, powerProject, powerZone, powerInstance);
        if (*cleanup) return CmdCleanup(g, cleanupOrphans);
        if (*list) return CmdList(g, listStore, listInstance);
        if (*verify) return CmdVerify(g, verStore, verInstance, verBackup);
        if (*demoCmd) return CmdDemo(g, demo);
        if (*run) return CmdRun(g, runOpts);
        if (*schedule) return CmdSchedule(g, schedOpts);
        if (int rc = RunReplicationCommands(g, replication); rc >= 0) return rc;
        if (snapCommands.Selected()) return snapCommands.Run(g);
        if (repoCommands.Selected()) return repoCommands.Run(g);
    } catch (const CommandError& e) {
        return ReportError(g, e.what(), e.ExitCode(), e.PluginCode(), e.Details());
    } catch (const repo::KeyError& e) {
        return ReportError(g, std::string("key: ") + e.what(), kExitKey, 0, "");
    } catch (const StoreError& e) {
        return ReportError(g, std::string("store: ") + e.what(), kExitStore, 0, "");
    } catch (const SettingsError& e) {
        return ReportError(g, e.what(), kExitUsage, 0, "");
    } catch (const std::exception& e) {
        return ReportError(g, e.what(), kExitFailed, 0, "");
    }
    return kExitUsage;
}
