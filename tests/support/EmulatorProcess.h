// Starts a private gce-emulator for one test and tears it down afterwards.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace gce::testsupport {

// Result of one raw HTTP exchange with the emulator.
struct HttpReply {
    int status = 0;  // 0 when the connection failed
    std::string body;
    nlohmann::json json() const;  // parsed body; throws on malformed JSON
};

// EmulatorProcess runs build/bin/gce-emulator on a free loopback port with a
// fresh temporary state directory (seeded with the demo world by default).
// The constructor returns once the emulator has printed its address, and
// throws std::runtime_error if it cannot be started within 60 s. Service-
// account keys are cached in $TMPDIR/gce-emulator-test-keys, so each
// emulator of a test run shares the same key. The
// destructor sends SIGTERM, escalates to SIGKILL after 5 s, and removes the
// state directory.
//
// The control helpers talk to /emulator/v1/ and throw std::runtime_error on
// any non-2xx answer. An instance may be used from several threads; each call
// opens its own connection.
class EmulatorProcess {
  public:
    // seed: "demo", a path to a seed JSON file, or "" for an empty world.
    // extraArgs are appended to the command line (e.g. {"--token-lifetime", "2"}).
    // cacheKeys=false makes the emulator generate a fresh key (slower start).
    explicit EmulatorProcess(std::string seed = "demo", std::vector<std::string> extraArgs = {},
                             bool cacheKeys = true);
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    const std::string& baseUrl() const { return baseUrl_; }  // "http://127.0.0.1:PORT"
    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& stateDir() const { return stateDir_; }
    std::string byIdDir() const { return stateDir_ + "/by-id"; }
    std::string tokenUrl() const { return baseUrl_ + "/token"; }

    // Credentials written by the demo seed (empty world: files absent).
    std::string credential() const;  // content of credential.txt: "<p12 path>|<e-mail>"
    std::string p12Path() const;
    std::string jsonKeyPath() const;
    std::string serviceAccountEmail() const;

    // A bearer token issued directly by the control API (skips the JWT flow).
    std::string accessToken(int lifetimeSeconds = 3600) const;

    // Control API.
    nlohmann::json resources() const;
    std::string resourcesText() const;
    nlohmann::json stats() const;
    void resetStats() const;
    void addFault(const nlohmann::json& fault) const;
    void clearFaults() const;
    void setLatency(const nlohmann::json& latencyMs) const;  // {"disk":ms,"snapshot":ms,...}
    void setLatency(int diskMs, int snapshotMs, int instanceMs, int operationMs) const;
    void setGuestFlushFail(bool fail) const;
    void setLimits(const nlohmann::json& limits) const;  // see emulator/README.md
    // Writes bytes into a disk's backing file at the given offset.
    void writeDisk(const std::string& project, const std::string& scope, const std::string& disk,
                   uint64_t offset, const std::string& bytes) const;
    // Makes a bucket's objects whose names begin with `prefix` older by
    // `seconds` (creation, update and retention times). Returns how many.
    size_t ageObjects(const std::string& bucket, const std::string& prefix, int64_t seconds) const;
    // Path of a disk's backing file as reported by resources().
    std::string diskFile(const std::string& project, const std::string& disk) const;

    // Raw request against the emulator. token: sent as a bearer when not empty.
    HttpReply request(const std::string& method, const std::string& path, const std::string& body = "",
                      const std::string& token = "",
                      const std::string& contentType = "application/json") const;

    // Stops the emulator now (SIGTERM, then SIGKILL). Returns its exit status
    // as reported by waitpid, or -1 if it was already stopped.
    int stop();
    // Kills the emulator with SIGKILL, as a crash would.
    void kill();
    // Starts the emulator again on the same port and state directory, with
    // the arguments it was first given (a seed makes a fresh world: the
    // emulator keeps its resources in memory only).
    void restart();

  private:
    void launch(const std::string& listen);

    nlohmann::json control(const std::string& method, const std::string& path,
                           const nlohmann::json& body = nullptr) const;

    std::string stateDir_;
    std::vector<std::string> args_;  // after --listen and --state
    std::string baseUrl_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace gce::testsupport
