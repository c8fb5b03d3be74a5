// A loopback stand-in for the metadata server that counts the requests it serves.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

class FakeMetadataServer {
  public:
    explicit FakeMetadataServer(bool sendFlavorHeader = true) {
        auto answer = [this, sendFlavorHeader](const std::string& value) {
            return [this, value, sendFlavorHeader](const httplib::Request& req, httplib::Response& res) {
                ++requests;
                if (req.get_header_value("Metadata-Flavor") != "Google") {
                    res.status = 403;
                    return;
                }
                if (sendFlavorHeader) res.set_header("Metadata-Flavor", "Google");
                res.set_content(value, "text/plain");
            };
        };
        server_.Get("/computeMetadata/v1/instance/id", answer("4242"));
        server_.Get("/computeMetadata/v1/project/project-id", answer("proxy-project"));
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~FakeMetadataServer() {
        server_.stop();
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::atomic<int> requests{0};

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};
