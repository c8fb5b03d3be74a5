// Detects whether this process runs on a Google Compute Engine instance and,
// if so, reads its instance id and project id from the metadata server.
//
// Without an override the detector first reads the machine's DMI product
// name and asks the metadata server only on a Compute Engine machine, so a
// machine elsewhere answers at once and sends nothing. An override (the
// emulator in tests) is asked directly. Requests carry
// "Metadata-Flavor: Google", time out after two seconds, and the answer must
// carry the same header. A transient answer (429, 5xx, time-out, dropped
// connection) is asked again up to three times within about 1.5 s (longer
// only for a Retry-After, kept up to 2 s). Thread-safe.
#pragma once

#include <string>

class ArVMDetect {
  public:
    static constexpr int kGoogleComputeEngine = 64;
    static constexpr int kUnknown = 0;

    // The host's hypervisor-kind code: 64 on Google Compute Engine, else 0.
    int DetectHypervisor();
    // True with the instance id (or project id) of this machine.
    bool GetLocalVMUUID(std::string& out);
    bool GetLocalProjectId(std::string& out);
    // Name and zone (short name) of this machine's instance.
    bool GetLocalVMName(std::string& out);
    bool GetLocalZone(std::string& out);

    // Base URL of the metadata server, e.g. "http://127.0.0.1:8123". Empty
    // restores the default: $GCE_METADATA_HOST (host[:port]) when set, else the
    // settings key VirtualServer/strMetadataServer, else the real server.
    static void SetMetadataUrl(const std::string& url);
    static std::string GetMetadataUrl(bool* overridden = nullptr);

  private:
    bool Query(const std::string& path, std::string& out);

    // The instance id read by DetectHypervisor, so that GetLocalVMUUID on
    // the same detector does not ask again.
    std::string m_strInstanceId;
};
