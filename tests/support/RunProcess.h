// Runs a program (gcebackup in the end-to-end tests) as a child process and
// collects what it printed.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

struct RunResult {
    int exitCode = -1;  // -1 when killed by a signal or timed out
    std::string out;
    std::string err;
    bool timedOut = false;

    // Lines of stderr that are not empty.
    std::vector<std::string> ErrLines() const {
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < err.size()) {
            size_t nl = err.find('\n', start);
            std::string line = err.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
            if (!line.empty()) lines.push_back(line);
            if (nl == std::string::npos) break;
            start = nl + 1;
        }
        return lines;
    }
};

// Runs `exe args...`. `onTick` (optional) is called about every 100 ms with
// stdout so far, the child's pid and the seconds since the start; it may
// signal the child. The child is killed after timeoutSec.
inline RunResult RunProcess(const std::string& exe, const std::vector<std::string>& args,
                            int timeoutSec = 300,
                            const std::function<void(const std::string&, pid_t, double)>& onTick = {}) {
    RunResult r;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return r;
    // Built before the fork: tests run children from several threads at once,
    // and a child of a multithreaded process may only make async-signal-safe
    // calls before exec (an allocation can wait forever on a lock another
    // thread held at the fork).
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + std::chrono::seconds(timeoutSec);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            r.timedOut = true;
            break;
        }
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        if (onTick)
            onTick(r.out, pid,
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (::poll(fds, 2, 100) <= 0) continue;
        char buf[4096];
        if (fds[0].revents) {
            ssize_t n = ::read(outPipe[0], buf, sizeof buf);
            if (n <= 0) {
                outOpen = false;
            } else {
                r.out.append(buf, static_cast<size_t>(n));
            }
        }
        if (fds[1].revents) {
            ssize_t n = ::read(errPipe[0], buf, sizeof buf);
            if (n <= 0)
                errOpen = false;
            else
                r.err.append(buf, static_cast<size_t>(n));
        }
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    return r;
}
