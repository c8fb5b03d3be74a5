#include "plugin/bridge/rest/TokenSource.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace GoogleCloudSDKCppBridge::rest {

namespace {

std::shared_ptr<EVP_PKEY> Own(EVP_PKEY* p) {
    return std::shared_ptr<EVP_PKEY>(p, EVP_PKEY_free);
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

bool IsRsa(EVP_PKEY* key) {
    return key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
}

// Old PKCS#12 files use RC2/3DES, which OpenSSL 3 keeps in its legacy provider.
void LoadLegacyProviders() {
    static std::once_flag once;
    std::call_once(once, [] {
        OSSL_PROVIDER_load(nullptr, "legacy");
        OSSL_PROVIDER_load(nullptr, "default");
    });
}

EVP_PKEY* ParsePkcs12(const std::string& bytes, const std::string& pass) {
    BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    if (bio == nullptr) return nullptr;
    PKCS12* p12 = d2i_PKCS12_bio(bio, nullptr);
    BIO_free(bio);
    if (p12 == nullptr) return nullptr;
    EVP_PKEY* pkey = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* ca = nullptr;
    const int ok = PKCS12_parse(p12, pass.c_str(), &pkey, &cert, &ca);
    PKCS12_free(p12);
    X509_free(cert);
    sk_X509_pop_free(ca, X509_free);
    if (ok != 1) {
        EVP_PKEY_free(pkey);
        return nullptr;
    }
    return pkey;
}

}  // namespace

std::string Base64UrlEncode(const std::string& strBytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((strBytes.size() + 2) / 3 * 4);
    size_t i = 0;
    const auto* b = reinterpret_cast<const unsigned char*>(strBytes.data());
    for (; i + 2 < strBytes.size(); i += 3) {
        const uint32_t v = (b[i] << 16) | (b[i + 1] << 8) | b[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const size_t rest = strBytes.size() - i;
    if (rest == 1) {
        const uint32_t v = b[i] << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
    } else if (rest == 2) {
        const uint32_t v = (b[i] << 16) | (b[i + 1] << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
    }
    return out;
}

bool ServiceAccountKey::FromPkcs12(const std::string& strBytes, const std::string& strPassPhrase,
                                   ServiceAccountKey& key, std::string& strError) {
    EVP_PKEY* pkey = ParsePkcs12(strBytes, strPassPhrase);
    if (pkey == nullptr) {
        ERR_clear_error();
        LoadLegacyProviders();
        pkey = ParsePkcs12(strBytes, strPassPhrase);
    }
    ERR_clear_error();
    if (pkey == nullptr) {
        strError = "the key file is not a readable PKCS#12 key";
        return false;
    }
    if (!IsRsa(pkey)) {
        EVP_PKEY_free(pkey);
        strError = "the PKCS#12 key is not an RSA key";
        return false;
    }
    key.pKey = Own(pkey);
    return true;
}

bool ServiceAccountKey::FromPem(const std::string& strPem, ServiceAccountKey& key, std::string& strError) {
    BIO* bio = BIO_new_mem_buf(strPem.data(), static_cast<int>(strPem.size()));
    if (bio == nullptr) {
        strError = "out of memory";
        return false;
    }
    // A null pass-phrase callback with an empty user pointer refuses encrypted PEM
    // instead of prompting on the terminal.
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(
        bio, nullptr, [](char*, int, int, void*) { return 0; }, nullptr);
    BIO_free(bio);
    ERR_clear_error();
    if (pkey == nullptr) {
        strError = "the private key is not a readable PEM RSA key";
        return false;
    }
    if (!IsRsa(pkey)) {
        EVP_PKEY_free(pkey);
        strError = "the private key is not an RSA key";
        return false;
    }
    key.pKey = Own(pkey);
    return true;
}

bool ServiceAccountKey::FromJsonText(const std::string& strText, ServiceAccountKey& key,
                                     std::string& strError) {
    const auto j = nlohmann::json::parse(strText, nullptr, false);
    if (!j.is_object()) {
        strError = "the JSON key is not valid JSON";
        return false;
    }
    auto str = [&j](const char* name) {
        const auto it = j.find(name);
        return (it != j.end() && it->is_string()) ? it->get<std::string>() : std::string();
    };
    const std::string pem = str("private_key");
    if (pem.empty()) {
        strError = "the JSON key has no private_key";
        return false;
    }
    if (!FromPem(pem, key, strError)) {
        strError = "the JSON key's private_key is not a readable PEM RSA key";
        return false;
    }
    if (key.strEmail.empty()) key.strEmail = str("client_email");
    key.strKeyId = str("private_key_id");
    key.strProjectId = str("project_id");
    key.strTokenUri = str("token_uri");
    return true;
}

bool ServiceAccountKey::Load(const std::string& strKeyFilePath, const std::string& strEmail,
                             const std::string& strSecret, ServiceAccountKey& key, std::string& strError) {
    key = ServiceAccountKey();
    key.strEmail = strEmail;
    bool ok = false;
    if (!strKeyFilePath.empty()) {
        std::string bytes;
        if (!ReadFile(strKeyFilePath, bytes)) {
            strError = "cannot read the key file [" + strKeyFilePath + "]";
            return false;
        }
        const auto firstChar = bytes.find_first_not_of(" \t\r\n");
        if (firstChar != std::string::npos && bytes[firstChar] == '{') {
            ok = FromJsonText(bytes, key, strError);
        } else if (bytes.find("-----BEGIN") != std::string::npos) {
            ok = FromPem(bytes, key, strError);
        } else {
            ok = FromPkcs12(bytes, "notasecret", key, strError);
            if (!ok && !strSecret.empty()) ok = FromPkcs12(bytes, strSecret, key, strError);
        }
        if (!ok) strError += " (key file [" + strKeyFilePath + "])";
    } else if (!strSecret.empty()) {
        const auto firstChar = strSecret.find_first_not_of(" \t\r\n");
        if (firstChar != std::string::npos && strSecret[firstChar] == '{')
            ok = FromJsonText(strSecret, key, strError);
        else if (strSecret.find("-----BEGIN") != std::string::npos)
            ok = FromPem(strSecret, key, strError);
        else
            strError = "the secret is neither a PEM private key nor a JSON key";
    } else {
        strError = "no key file and no secret given";
    }
    if (!ok) return false;
    if (key.strEmail.empty()) {
        strError = "the service account e-mail is missing";
        return false;
    }
    return true;
}

bool MakeSignedJwt(const ServiceAccountKey& key, const std::string& strAudience, const std::string& strScope,
                   int64_t nNow, int64_t nLifetime, std::string& strJwt, std::string& strError) {
    if (!key.pKey) {
        strError = "no private key";
        return false;
    }
    nlohmann::json header = {{"alg", "RS256"}, {"typ", "JWT"}};
    if (!key.strKeyId.empty()) header["kid"] = key.strKeyId;
    const nlohmann::json claims = {{"iss", key.strEmail},
                                   {"scope", strScope},
                                   {"aud", strAudience},
                                   {"iat", nNow},
                                   {"exp", nNow + nLifetime}};
    const std::string input = Base64UrlEncode(header.dump()) + "." + Base64UrlEncode(claims.dump());

    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) {
        strError = "out of memory";
        return false;
    }
    size_t sigLen = 0;
    std::string sig;
    bool ok = EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key.pKey.get()) == 1 &&
              EVP_DigestSignUpdate(ctx, input.data(), input.size()) == 1 &&
              EVP_DigestSignFinal(ctx, nullptr, &sigLen) == 1;
    if (ok) {
        sig.resize(sigLen);
        ok = EVP_DigestSignFinal(ctx, reinterpret_cast<unsigned char*>(&sig[0]), &sigLen) == 1;
        sig.resize(sigLen);
    }
    EVP_MD_CTX_free(ctx);
    ERR_clear_error();
    if (!ok) {
        strError = "signing the token request failed";
        return false;
    }
    strJwt = input + "." + Base64UrlEncode(sig);
    return true;
}

TokenSource::TokenSource(ServiceAccountKey key, std::string strTokenUrl, std::string strAudience,
                         HttpSession& session)
    : m_key(std::move(key)),
      m_strTokenUrl(std::move(strTokenUrl)),
      m_strAudience(std::move(strAudience)),
      m_session(session) {
    clock = [] {
        return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
    };
}

bool TokenSource::GetToken(std::string& strToken, std::string& strError) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_strToken.empty() || clock() >= m_nRefreshAt) {
        if (!Fetch(strError)) return false;
    }
    strToken = m_strToken;
    return true;
}

void TokenSource::Invalidate() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_strToken.clear();
    m_nExpiry = m_nRefreshAt = 0;
}

bool TokenSource::Fetch(std::string& strError) {
    const int64_t now = clock();
    std::string jwt;
    if (!MakeSignedJwt(m_key, m_strAudience, kCloudPlatformScope, now, 3600, jwt, strError)) return false;
    HttpRequest request;
    request.strMethod = "POST";
    request.strUrl = m_strTokenUrl;
    request.strContentType = "application/x-www-form-urlencoded";
    request.strBody =
        "grant_type=" + UrlEncode("urn:ietf:params:oauth:grant-type:jwt-bearer") + "&assertion=" + jwt;
    request.bAuthorize = false;
    const HttpResponse response = m_session.Execute(request);
    if (response.nStatus != 200) {
        strError = "authentication failed for service account [" + m_key.strEmail +
                   "]: " + DescribeFailure(response);
        return false;
    }
    const auto j = nlohmann::json::parse(response.strBody, nullptr, false);
    if (!j.is_object() || !j.contains("access_token") || !j["access_token"].is_string()) {
        strError = "authentication failed: the token endpoint gave no access token";
        return false;
    }
    int64_t lifetime = 3600;
    if (j.contains("expires_in") && j["expires_in"].is_number()) lifetime = j["expires_in"].get<int64_t>();
    if (lifetime < 1) lifetime = 1;
    m_strToken = j["access_token"].get<std::string>();
    m_nExpiry = now + lifetime;
    m_nRefreshAt = m_nExpiry - std::min<int64_t>(300, lifetime / 4);
    ++m_nFetches;
    return true;
}

}  // namespace GoogleCloudSDKCppBridge::rest
