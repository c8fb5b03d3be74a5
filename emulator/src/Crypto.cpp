#include "Crypto.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <stdexcept>
#include <vector>

namespace gce::emu {
namespace {

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encode(const std::string& bytes, const char* alphabet, bool pad) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out.push_back(alphabet[(v >> s) & 63]);
    }
    if (i < bytes.size()) {
        uint32_t v = uint8_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= uint8_t(bytes[i + 1]) << 8;
        out.push_back(alphabet[(v >> 18) & 63]);
        out.push_back(alphabet[(v >> 12) & 63]);
        if (i + 1 < bytes.size()) {
            out.push_back(alphabet[(v >> 6) & 63]);
        } else if (pad) {
            out.push_back('=');
        }
        if (pad) out.push_back('=');
    }
    return out;
}

std::string digest(const EVP_MD* md, const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), out, &len, md, nullptr) != 1) {
        throw std::runtime_error("digest failed");
    }
    return std::string(reinterpret_cast<char*>(out), len);
}

std::string bioString(BIO* bio) {
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(len));
}

}  // namespace

std::string base64Encode(const std::string& bytes) {
    return encode(bytes, kB64, true);
}

std::string base64UrlEncode(const std::string& bytes) {
    return encode(bytes, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", false);
}

std::string base64Decode(const std::string& text) {
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    size_t padding = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+' || c == '-')
            v = 62;
        else if (c == '/' || c == '_')
            v = 63;
        else if (c == '=') {
            ++padding;
            continue;
        } else {
            throw std::invalid_argument("invalid base64");
        }
        if (padding) throw std::invalid_argument("invalid base64 padding");
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    if (bits >= 6) throw std::invalid_argument("truncated base64");
    return out;
}

std::string randomHex(size_t n) {
    std::vector<unsigned char> buf(n);
    if (RAND_bytes(buf.data(), static_cast<int>(n)) != 1) throw std::runtime_error("RAND_bytes failed");
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (auto b : buf) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
    }
    return out;
}

std::string sha256(const std::string& data) {
    return digest(EVP_sha256(), data);
}
std::string md5(const std::string& data) {
    return digest(EVP_md5(), data);
}

uint32_t crc32c(const std::string& data) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : data) crc = table[(crc ^ b) & 0xff] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

ServiceAccountKey generateServiceAccountKey() {
    EVP_PKEY* raw = EVP_RSA_gen(2048);
    if (!raw) throw std::runtime_error("RSA key generation failed");
    ServiceAccountKey out;
    out.key = PKey(raw, EVP_PKEY_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!PEM_write_bio_PrivateKey(bio.get(), raw, nullptr, nullptr, 0, nullptr, nullptr)) {
        throw std::runtime_error("PEM export failed");
    }
    out.privateKeyPem = bioString(bio.get());
    out.keyId = randomHex(20);
    return out;
}

PKey loadPrivateKeyPem(const std::string& pem) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                  BIO_free);
    EVP_PKEY* k = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
    if (!k) throw std::runtime_error("cannot read private key PEM");
    return PKey(k, EVP_PKEY_free);
}

void writePkcs12(const std::string& path, const ServiceAccountKey& key, const std::string& email,
                 const std::string& password) {
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!cert) throw std::runtime_error("X509_new failed");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
    X509_set_pubkey(cert.get(), key.key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(email.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (!X509_sign(cert.get(), key.key.get(), EVP_sha256()))
        throw std::runtime_error("certificate signing failed");

    std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(
        PKCS12_create(password.c_str(), "privatekey", key.key.get(), cert.get(), nullptr, 0, 0, 0, 0, 0),
        PKCS12_free);
    if (!p12) throw std::runtime_error("PKCS12_create failed");
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (i2d_PKCS12_bio(bio.get(), p12.get()) != 1) throw std::runtime_error("PKCS#12 encoding failed");
    std::string der = bioString(bio.get());
    int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    ::fchmod(fd, 0600);
    bool ok = ::write(fd, der.data(), der.size()) == static_cast<ssize_t>(der.size());
    ::close(fd);
    if (!ok) throw std::runtime_error("cannot write " + path);
}

std::string signJwt(const PKey& key, const nlohmann::json& header, const nlohmann::json& claims) {
    std::string input = base64UrlEncode(header.dump()) + "." + base64UrlEncode(claims.dump());
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    size_t len = 0;
    if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &len, reinterpret_cast<const unsigned char*>(input.data()),
                       input.size()) != 1) {
        throw std::runtime_error("JWT signing failed");
    }
    std::string sig(len, '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &len,
                       reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1) {
        throw std::runtime_error("JWT signing failed");
    }
    sig.resize(len);
    return input + "." + base64UrlEncode(sig);
}

nlohmann::json verifyJwt(const std::string& jwt, const PKey& key) {
    auto dot1 = jwt.find('.');
    auto dot2 = dot1 == std::string::npos ? dot1 : jwt.find('.', dot1 + 1);
    if (dot2 == std::string::npos || jwt.find('.', dot2 + 1) != std::string::npos) {
        throw std::invalid_argument("assertion is not a compact JWT");
    }
    nlohmann::json header = nlohmann::json::parse(base64Decode(jwt.substr(0, dot1)), nullptr, false);
    nlohmann::json claims =
        nlohmann::json::parse(base64Decode(jwt.substr(dot1 + 1, dot2 - dot1 - 1)), nullptr, false);
    if (!header.is_object() || !claims.is_object())
        throw std::invalid_argument("JWT header or claims not JSON");
    if (header.value("alg", "") != "RS256") throw std::invalid_argument("JWT alg must be RS256");
    if (!key) return claims;
    std::string sig = base64Decode(jwt.substr(dot2 + 1));
    std::string input = jwt.substr(0, dot2);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                         reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1) {
        throw std::invalid_argument("Invalid JWT Signature.");
    }
    return claims;
}

}  // namespace gce::emu
