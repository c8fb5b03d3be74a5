// Base URLs of the services the bridge calls, and the parsing of the resource
// URIs that Compute Engine returns. Plain values and pure functions.
#pragma once

#include <string>

namespace GoogleCloudSDKCppBridge::rest {

struct Endpoints {
    std::string strCompute;  // ends with /compute/v1
    std::string strKms;      // ends with /v1
    std::string strStorage;  // ends with /storage/v1
    std::string strUpload;   // ends with /upload/storage/v1
    std::string strCrm;      // ends with /v1
    std::string strToken;    // the token endpoint itself

    // Google's own endpoints.
    static Endpoints Google();
    // Every service under one base URL ("http://127.0.0.1:PORT"), on the
    // services' real paths. An empty base gives Google().
    static Endpoints FromBase(const std::string& strBase);

    // Compute URL of a resource path "projects/..." or of any Compute URI
    // (a selfLink is rebased onto this endpoint, whatever its host).
    std::string Compute(const std::string& strPathOrUri) const;
};

// The parts of a Compute resource URI or path:
// projects/<project>/<scope>/<location>/<collection>/<name>[/...], where
// <scope> is "zones" or "regions" (location then names it) or "global".
struct ResourceRef {
    std::string strProject;
    std::string strScope;     // "zones", "regions", "global" or empty
    std::string strLocation;  // zone or region name
    std::string strCollection;
    std::string strName;
    bool bValid = false;  // at least the project was found
};

ResourceRef ParseResourceUri(const std::string& strUri);

// "projects/..." part of a Compute URI (the text itself when it has none).
std::string ResourcePath(const std::string& strUri);

// Last path segment ("https://.../zones/us-central1-a" -> "us-central1-a").
std::string ShortName(const std::string& strUri);

// Region of a zone name: the zone without its last "-x" part.
std::string RegionOfZone(const std::string& strZone);

// The prefix Compute Engine uses in the URIs it returns.
inline constexpr const char* kComputeUriPrefix = "https://www.googleapis.com/compute/v1/";

}  // namespace GoogleCloudSDKCppBridge::rest
