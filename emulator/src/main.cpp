// gce-emulator: a local stand-in for Compute Engine, Cloud KMS, Cloud
// Storage, Resource Manager, OAuth and the metadata server.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include "Emulator.h"
#include "Seed.h"

namespace {

bool splitListen(const std::string& listen, std::string& host, int& port) {
    auto colon = listen.rfind(':');
    if (colon == std::string::npos) return false;
    host = listen.substr(0, colon);
    try {
        port = std::stoi(listen.substr(colon + 1));
    } catch (const std::exception&) {
        return false;
    }
    return port >= 0 && port <= 65535 && !host.empty();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Local emulator of the Google Cloud APIs the GCE backup plug-in uses"};
    std::string listen = "127.0.0.1:0";
    std::string stateDir;
    std::string seed;
    std::string byId;
    int demoDataMiB = 256;
    int tokenLifetime = 3600;
    std::string keyCache;
    std::string envFile;
    app.add_option("--listen", listen, "host:port to listen on (port 0 picks a free port)");
    app.add_option("--state", stateDir, "directory for disk files, key files and links")->required();
    app.add_option("--seed", seed, "'demo' or a seed JSON file");
    app.add_option("--by-id", byId, "directory for google-<deviceName> links (default <state>/by-id)");
    app.add_option("--demo-data-mib", demoDataMiB, "real data written into the demo disks, in MiB")
        ->check(CLI::Range(1, 4096));
    app.add_option("--token-lifetime", tokenLifetime, "lifetime of issued access tokens, seconds")
        ->check(CLI::Range(1, 86400));
    app.add_option("--env-file", envFile,
                   "write the shell lines that point gcebackup at this emulator into FILE once listening");
    app.add_option("--key-cache", keyCache,
                   "directory of cached service-account keys (<e-mail>.pem); reused instead of new keys");
    long ownerPid = 0;
    app.add_option("--owner-pid", ownerPid,
                   "exit, removing the state directory, once process PID (its parent) has ended: "
                   "the emulator of a test that crashed does not outlive it")
        ->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);

    std::string host;
    int port = 0;
    if (!splitListen(listen, host, port)) {
        std::cerr << "gce-emulator: --listen must be host:port\n";
        return 2;
    }

    // Signals are taken by a dedicated thread; block them everywhere else.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::error_code ec;
    std::filesystem::create_directories(stateDir, ec);
    stateDir = std::filesystem::absolute(stateDir).lexically_normal().string();
    if (byId.empty()) byId = stateDir + "/by-id";
    byId = std::filesystem::absolute(byId).lexically_normal().string();
    for (const auto& d : {stateDir, stateDir + "/disks", stateDir + "/snapshots", byId}) {
        std::filesystem::create_directories(d, ec);
        if (ec) {
            std::cerr << "gce-emulator: cannot create " << d << ": " << ec.message() << "\n";
            return 1;
        }
    }

    gce::emu::Emulator emu;
    int bound = emu.bind(host, port);
    if (bound < 0) {
        std::cerr << "gce-emulator: cannot listen on " << listen << "\n";
        return 1;
    }
    std::string base = "http://" + host + ":" + std::to_string(bound);
    {
        auto& w = emu.world();
        std::lock_guard<std::mutex> lock(w.mu);
        w.stateDir = stateDir;
        w.byIdDir = byId;
        w.baseUrl = base;
        w.limits.tokenLifetimeSeconds = tokenLifetime;
    }
    try {
        if (seed == "demo") {
            gce::emu::applySeed(emu.world(), gce::emu::demoSeed(demoDataMiB), keyCache);
        } else if (!seed.empty()) {
            std::ifstream in(seed);
            if (!in) throw std::runtime_error("cannot read seed file " + seed);
            gce::emu::applySeed(emu.world(), nlohmann::json::parse(in), keyCache);
        }
    } catch (const std::exception& e) {
        std::cerr << "gce-emulator: seed failed: " << e.what() << "\n";
        return 1;
    }

    std::atomic<bool> listenDone{false};
    std::thread signalThread([&emu, &listenDone, signals] {
        int sig = 0;
        sigwait(&signals, &sig);
        // A signal can arrive before listen() has started; keep stopping
        // until it has returned.
        while (!listenDone.load()) {
            emu.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    // After the first line, the shell lines that point gcebackup at this
    // emulator (printed in the same write, so that a reader of the first line
    // alone sees them whole or not at all).
    std::string env = "export GCEBACKUP_ENDPOINT=" + base + "\n";
    if (std::filesystem::exists(stateDir + "/credential.txt", ec))
        env += "export GCEBACKUP_CREDENTIAL=" + stateDir + "/credential.txt\n";
    env += "export GCEBACKUP_DEVICE_DIR=" + byId + "\n";
    if (!envFile.empty()) {
        // Written aside and renamed, so that a script waiting for the file
        // never reads half of it.
        const std::string part = envFile + ".part";
        std::ofstream out(part, std::ios::trunc);
        out << env;
        out.close();
        if (!out || std::rename(part.c_str(), envFile.c_str()) != 0) {
            std::cerr << "gce-emulator: cannot write " << envFile << "\n";
            return 1;
        }
    }
    // The owner's end re-parents this process: then it stops as on SIGTERM.
    static std::atomic<bool> ownerGone{false};
    if (ownerPid > 0) {
        std::thread([ownerPid] {
            while (::getppid() == static_cast<pid_t>(ownerPid))
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ownerGone.store(true);
            ::kill(::getpid(), SIGTERM);
        }).detach();
    }
    std::printf("listening on %s\n%s", base.c_str(), env.c_str());
    std::fflush(stdout);
    bool ok = emu.listen();
    listenDone.store(true);
    // listen() also returns when the server fails; make sure the signal
    // thread can finish in that case too.
    if (!ok) ::kill(::getpid(), SIGTERM);
    signalThread.join();
    if (ownerGone.load()) std::filesystem::remove_all(stateDir, ec);
    return ok ? 0 : 1;
}
