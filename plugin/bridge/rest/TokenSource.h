// Authentication of the bridge: a service-account key, the RS256-signed JWT
// made from it, and the cached access token obtained for that JWT at the
// token endpoint. TokenSource is thread-safe. Nothing here ever puts key
// material, the assertion or a token into an error text.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "plugin/bridge/rest/HttpSession.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace GoogleCloudSDKCppBridge::rest {

// Google's token endpoint, also the audience of the assertion.
inline constexpr const char* kGoogleTokenUri = "https://oauth2.googleapis.com/token";
inline constexpr const char* kCloudPlatformScope = "https://www.googleapis.com/auth/cloud-platform";

struct ServiceAccountKey {
    std::string strEmail;
    std::string strKeyId;      // private_key_id of a JSON key (JWT "kid")
    std::string strProjectId;  // project_id of a JSON key
    std::string strTokenUri;   // token_uri of a JSON key
    std::shared_ptr<EVP_PKEY> pKey;

    // Reads the key: from strKeyFilePath when not empty (a PKCS#12 file with
    // the pass phrase "notasecret", else strSecret as pass phrase; or a JSON
    // key file), else from strSecret (a PEM private key or JSON key text).
    // strEmail names the account; a JSON key's client_email fills it when it
    // is empty. False with a short reason that never quotes the input.
    static bool Load(const std::string& strKeyFilePath, const std::string& strEmail,
                     const std::string& strSecret, ServiceAccountKey& key, std::string& strError);
    static bool FromPkcs12(const std::string& strBytes, const std::string& strPassPhrase,
                           ServiceAccountKey& key, std::string& strError);
    static bool FromJsonText(const std::string& strText, ServiceAccountKey& key, std::string& strError);
    static bool FromPem(const std::string& strPem, ServiceAccountKey& key, std::string& strError);
};

// URL-safe base64 without padding.
std::string Base64UrlEncode(const std::string& strBytes);

// The signed assertion: header {"alg":"RS256","typ":"JWT"[,"kid"]}, claims
// iss, scope, aud, iat = nNow, exp = nNow + nLifetime.
bool MakeSignedJwt(const ServiceAccountKey& key, const std::string& strAudience, const std::string& strScope,
                   int64_t nNow, int64_t nLifetime, std::string& strJwt, std::string& strError);

class TokenSource : public ITokenProvider {
  public:
    // strTokenUrl: where the assertion is posted; strAudience: its "aud".
    TokenSource(ServiceAccountKey key, std::string strTokenUrl, std::string strAudience,
                HttpSession& session);

    // Cached token, fetched anew when it is within the refresh margin of its
    // expiry (a quarter of its lifetime, at most five minutes) or invalid.
    bool GetToken(std::string& strToken, std::string& strError) override;
    void Invalidate() override;

    // Number of tokens fetched so far (tests).
    int FetchCount() const { return m_nFetches; }
    // Clock in seconds since the epoch (tests replace it).
    std::function<int64_t()> clock;

  private:
    bool Fetch(std::string& strError);

    ServiceAccountKey m_key;
    std::string m_strTokenUrl;
    std::string m_strAudience;
    HttpSession& m_session;
    std::mutex m_lock;
    std::string m_strToken;
    int64_t m_nExpiry = 0;
    int64_t m_nRefreshAt = 0;
    int m_nFetches = 0;
};

}  // namespace GoogleCloudSDKCppBridge::rest
