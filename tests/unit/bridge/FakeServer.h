// A loopback HTTP server for the transport tests: each test installs the
// handlers it needs and reads what the bridge sent.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeServer {
  public:
    FakeServer() = default;
    ~FakeServer() { Stop(); }
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    httplib::Server& server() { return m_server; }

    // Binds a free loopback port and serves in the background.
    void Start() {
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void Stop() {
        m_server.stop();
        if (m_thread.joinable()) m_thread.join();
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(m_port); }

    // Records one request (call from handlers).
    void Record(const httplib::Request& req) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_requests.push_back(req.method + " " + req.path);
        m_auth.push_back(req.get_header_value("Authorization"));
    }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_requests;
    }
    std::vector<std::string> authHeaders() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_auth;
    }

  private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::mutex m_lock;
    std::vector<std::string> m_requests;
    std::vector<std::string> m_auth;
};
