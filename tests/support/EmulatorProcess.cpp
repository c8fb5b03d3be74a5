#include "EmulatorProcess.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef GCE_EMULATOR_PATH
#error "GCE_EMULATOR_PATH must name the gce-emulator binary"
#endif

namespace gce::testsupport {

namespace {

// Generous: sanitizer builds on a busy machine start far slower than the
// sub-second start of a release build.
constexpr int kStartTimeoutSeconds = 60;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string trimRight(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

// Reads one line from fd, waiting at most until deadline.
std::string readLine(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string line;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) throw std::runtime_error("gce-emulator did not print its address within 60 s");
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) continue;
        char c;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("gce-emulator exited before printing its address: " + line);
        if (c == '\n') return line;
        line.push_back(c);
    }
}

}  // namespace

nlohmann::json HttpReply::json() const {
    return nlohmann::json::parse(body);
}

EmulatorProcess::EmulatorProcess(std::string seed, std::vector<std::string> extraArgs, bool cacheKeys) {
    const char* tmp = ::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/gce-emu-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    stateDir_ = buf.data();

    // Service-account keys are cached across test emulators: RSA key
    // generation is the largest part of the start-up cost.
    std::string keyCache = std::string(tmp && *tmp ? tmp : "/tmp") + "/gce-emulator-test-keys";
    if (cacheKeys) {
        args_.push_back("--key-cache");
        args_.push_back(keyCache);
    }
    if (!seed.empty()) {
        args_.push_back("--seed");
        args_.push_back(seed);
    }
    args_.insert(args_.end(), extraArgs.begin(), extraArgs.end());
    try {
        launch("127.0.0.1:0");
    } catch (...) {
        std::filesystem::remove_all(stateDir_);
        throw;
    }
}

void EmulatorProcess::launch(const std::string& listen) {
    // The emulator ends, removing its state directory, if this process
    // dies without stopping it (a crashed test).
    std::vector<std::string> args = {
        GCE_EMULATOR_PATH,         "--listen", listen, "--state", stateDir_, "--owner-pid",
        std::to_string(::getpid())};
    args.insert(args.end(), args_.begin(), args_.end());

    // Built before the fork: the child of a multithreaded test may only make
    // async-signal-safe calls before exec.
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string line;
    try {
        line =
            readLine(fds[0], std::chrono::steady_clock::now() + std::chrono::seconds(kStartTimeoutSeconds));
    } catch (...) {
        ::close(fds[0]);
        stop();
        throw;
    }
    // The emulator writes nothing else to stdout; closing our end is safe
    // because it ignores SIGPIPE.
    ::close(fds[0]);
    const std::string prefix = "listening on ";
    if (line.rfind(prefix, 0) != 0) {
        stop();
        throw std::runtime_error("unexpected first line from gce-emulator: " + line);
    }
    baseUrl_ = line.substr(prefix.size());
    port_ = std::stoi(baseUrl_.substr(baseUrl_.rfind(':') + 1));
}

void EmulatorProcess::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

void EmulatorProcess::restart() {
    if (pid_ > 0) stop();
    // The old socket is closed with the process; a bind may still race the
    // kernel for a moment.
    for (int attempt = 0;; ++attempt) {
        try {
            launch("127.0.0.1:" + std::to_string(port_));
            return;
        } catch (const std::runtime_error&) {
            if (attempt >= 20) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    }
}

EmulatorProcess::~EmulatorProcess() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(stateDir_, ec);
}

int EmulatorProcess::stop() {
    if (pid_ <= 0) return -1;
    ::kill(pid_, SIGTERM);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (true) {
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return status;
}

std::string EmulatorProcess::credential() const {
    return trimRight(readFile(stateDir_ + "/credential.txt"));
}

std::string EmulatorProcess::p12Path() const {
    auto c = credential();
    return c.substr(0, c.find('|'));
}

std::string EmulatorProcess::serviceAccountEmail() const {
    auto c = credential();
    auto bar = c.find('|');
    return bar == std::string::npos ? std::string() : c.substr(bar + 1);
}

std::string EmulatorProcess::jsonKeyPath() const {
    auto p12 = p12Path();
    auto dot = p12.rfind(".p12");
    return dot == std::string::npos ? std::string() : p12.substr(0, dot) + ".json";
}

HttpReply EmulatorProcess::request(const std::string& method, const std::string& path,
                                   const std::string& body, const std::string& token,
                                   const std::string& contentType) const {
    httplib::Client cli("127.0.0.1", port_);
    cli.set_connection_timeout(5);
    cli.set_read_timeout(180);
    cli.set_tcp_nodelay(true);
    httplib::Headers headers;
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    httplib::Result r(nullptr, httplib::Error::Unknown);
    if (method == "GET") {
        r = cli.Get(path.c_str(), headers);
    } else if (method == "DELETE") {
        r = body.empty() ? cli.Delete(path.c_str(), headers)
                         : cli.Delete(path.c_str(), headers, body, contentType.c_str());
    } else if (method == "POST") {
        r = cli.Post(path.c_str(), headers, body, contentType.c_str());
    } else if (method == "PATCH") {
        r = cli.Patch(path.c_str(), headers, body, contentType.c_str());
    } else if (method == "PUT") {
        r = cli.Put(path.c_str(), headers, body, contentType.c_str());
    } else {
        throw std::invalid_argument("unsupported method " + method);
    }
    HttpReply reply;
    if (r) {
        reply.status = r->status;
        reply.body = r->body;
    }
    return reply;
}

nlohmann::json EmulatorProcess::control(const std::string& method, const std::string& path,
                                        const nlohmann::json& body) const {
    auto reply = request(method, "/emulator/v1/" + path, body.is_null() ? std::string() : body.dump());
    if (reply.status < 200 || reply.status > 299) {
        throw std::runtime_error("control " + method + " " + path +
                                 " failed: " + std::to_string(reply.status) + " " + reply.body);
    }
    if (reply.body.empty()) return nullptr;
    return nlohmann::json::parse(reply.body, nullptr, false);
}

std::string EmulatorProcess::accessToken(int lifetimeSeconds) const {
    return control("POST", "tokens", {{"lifetimeSeconds", lifetimeSeconds}})
        .at("access_token")
        .get<std::string>();
}

nlohmann::json EmulatorProcess::resources() const {
    return control("GET", "resources");
}
std::string EmulatorProcess::resourcesText() const {
    return resources().dump(2);
}
nlohmann::json EmulatorProcess::stats() const {
    return control("GET", "stats");
}
void EmulatorProcess::resetStats() const {
    control("POST", "stats/reset", nlohmann::json::object());
}
void EmulatorProcess::addFault(const nlohmann::json& fault) const {
    control("POST", "faults", fault);
}
void EmulatorProcess::clearFaults() const {
    control("DELETE", "faults");
}
void EmulatorProcess::setLatency(const nlohmann::json& latencyMs) const {
    control("POST", "latency", latencyMs);
}
void EmulatorProcess::setLatency(int diskMs, int snapshotMs, int instanceMs, int operationMs) const {
    setLatency(
        {{"disk", diskMs}, {"snapshot", snapshotMs}, {"instance", instanceMs}, {"operation", operationMs}});
}
void EmulatorProcess::setGuestFlushFail(bool fail) const {
    control("POST", "guest-flush", {{"fail", fail}});
}
void EmulatorProcess::setLimits(const nlohmann::json& limits) const {
    control("POST", "limits", limits);
}

size_t EmulatorProcess::ageObjects(const std::string& bucket, const std::string& prefix,
                                   int64_t seconds) const {
    return control("POST", "storage/age", {{"bucket", bucket}, {"prefix", prefix}, {"seconds", seconds}})
        .value("aged", size_t{0});
}

void EmulatorProcess::writeDisk(const std::string& project, const std::string& scope, const std::string& disk,
                                uint64_t offset, const std::string& bytes) const {
    static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string b64;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) b64.push_back(kAlphabet[(v >> s) & 63]);
    }
    if (i < bytes.size()) {
        uint32_t v = uint8_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= uint8_t(bytes[i + 1]) << 8;
        b64.push_back(kAlphabet[(v >> 18) & 63]);
        b64.push_back(kAlphabet[(v >> 12) & 63]);
        b64.push_back(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
        b64.push_back('=');
    }
    control("POST", "disks/write",
            {{"project", project}, {"scope", scope}, {"disk", disk}, {"offset", offset}, {"data", b64}});
}

std::string EmulatorProcess::diskFile(const std::string& project, const std::string& disk) const {
    auto all = resources();
    for (auto& d : all.at("projects").at(project).at("disks")) {
        if (d.value("name", "") == disk) return d.at("file").get<std::string>();
    }
    return {};
}

}  // namespace gce::testsupport
