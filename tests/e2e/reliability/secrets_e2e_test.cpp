// No secret in anything gcebackup writes: a full backup and restore with a
// wrapped private-key secret, at the most detailed log level, then every
// byte of the state directory (logs, clean-up store), the store, stdout,
// stderr and the --json documents is searched for the key, the wrapped
// secret, the bearer tokens the emulator issued and the pass phrases.
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "plugin/GoogleCloudInfo.h"
#include "tests/e2e/reliability/ReliabilityFixture.h"

using namespace reliability;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Hex(const std::string& bytes) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(d[c >> 4]);
        out.push_back(d[c & 15]);
    }
    return out;
}

// AES-256 key wrap (RFC 3394) of `plain` under SHA-256 of the plug-in's pass
// phrase, done with OpenSSL's own implementation: the credential a console
// would hand over, made independently of the plug-in's code.
std::string WrapSecret(std::string plain) {
    while (plain.size() % 8 != 0) plain.push_back('\n');
    const std::string pass = GoogleCloudConst::kSecretPassPhrase;
    unsigned char key[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(pass.data()), pass.size(), key);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    std::string out(plain.size() + 8, '\0');
    int len = 0, fin = 0;
    bool ok = EVP_EncryptInit_ex(ctx, EVP_aes_256_wrap(), nullptr, key, nullptr) == 1 &&
              EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                                reinterpret_cast<const unsigned char*>(plain.data()),
                                static_cast<int>(plain.size())) == 1 &&
              EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + len, &fin) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) return "";
    out.resize(static_cast<size_t>(len + fin));
    return out;
}

// The base64 lines of a PEM body (the key material itself).
std::vector<std::string> PemLines(const std::string& pem) {
    std::vector<std::string> out;
    std::istringstream in(pem);
    std::string line;
    while (std::getline(in, line))
        if (line.size() >= 40 && line.find("-----") == std::string::npos) out.push_back(line);
    return out;
}

struct Written {
    std::string name;
    std::string bytes;
};

// Every file under dir. Disk images are left out: they hold the disks'
// bytes, which the plug-in never writes into.
void Collect(const std::string& dir, std::vector<Written>& out) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_regular_file() || it->path().extension() == ".img") continue;
        out.push_back({it->path().string(), ReadAll(it->path().string())});
    }
}

// An access token of the emulator ("ya29.") or any "Bearer <token>" text.
std::string BearerToken(const std::string& text) {
    auto tokenChar = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    };
    for (const std::string& mark : {std::string("ya29."), std::string("Bearer "), std::string("bearer ")}) {
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1)) {
            size_t end = at + mark.size();
            while (end < text.size() && tokenChar(text[end])) ++end;
            if (end - at - mark.size() >= 8) return text.substr(at, end - at);
        }
    }
    return "";
}

}  // namespace

TEST_F(ReliabilityE2E, NoSecretInAnythingARunWrites) {
    // The service account's private key, handed over as a wrapped secret.
    const json keyFile = json::parse(ReadAll(m_emu->jsonKeyPath()));
    const std::string pem = keyFile["private_key"];
    const std::vector<std::string> keyLines = PemLines(pem);
    ASSERT_GE(keyLines.size(), 10u);
    const std::string wrapped = Hex(WrapSecret(pem));
    ASSERT_FALSE(wrapped.empty());
    m_credential = "*" + wrapped + "|" + m_emu->serviceAccountEmail();

    std::vector<Written> written;
    auto run = [&](const std::string& what, std::vector<std::string> args, bool mustPass) {
        args.insert(args.begin(), {"--log-level", "9"});
        RunResult r = Run(args);
        if (mustPass) {
            EXPECT_EQ(r.exitCode, 0) << what << ": " << r.err << r.out;
        }
        written.push_back({what + " stdout", r.out});
        written.push_back({what + " stderr", r.err});
    };
    run("backup", BackupArgs(), true);
    run("restore", RestoreArgs("web-1-secret"), true);
    run("list", {"list", "--store", m_store}, true);
    run("verify", {"verify", "--from", m_store, "--instance", "web-1"}, true);
    // A failed job writes its error details too: a cloud answer that echoes
    // the request, and a refused token.
    m_emu->addFault({{"match", "attachDisk$"}, {"status", 400}, {"reason", "invalid"}, {"count", 1}});
    run("failed backup", BackupArgs(), false);
    m_emu->clearFaults();
    run("cleanup", {"cleanup"}, true);
    const std::string goodCredential = m_credential;
    m_credential = "*" + wrapped.substr(0, wrapped.size() - 2) + "00|" + m_emu->serviceAccountEmail();
    run("bad secret", {"instances", "--project", kProject}, false);
    m_credential = m_emu->p12Path() + "|" + m_emu->serviceAccountEmail();
    run("p12 key", {"instances", "--project", kProject}, true);
    m_credential = goodCredential;

    Collect(StateDir(), written);
    Collect(m_store, written);
    ASSERT_TRUE(std::any_of(written.begin(), written.end(), [](const Written& w) {
        return w.name.find("/logs/") != std::string::npos && w.bytes.size() > 1000;
    })) << "the detailed log was not written where it was looked for";

    struct Secret {
        std::string what;
        std::string text;
    };
    std::vector<Secret> secrets = {{"wrapped secret", wrapped},
                                   {"part of the wrapped secret", wrapped.substr(wrapped.size() / 2, 32)},
                                   {"wrapping pass phrase", GoogleCloudConst::kSecretPassPhrase},
                                   {"key file pass phrase", "notasecret"},
                                   {"private key id", keyFile.value("private_key_id", "<none>")}};
    for (size_t i = 0; i < keyLines.size(); ++i)
        secrets.push_back({"private key line " + std::to_string(i), keyLines[i]});
    size_t bytes = 0;
    for (const auto& w : written) {
        bytes += w.bytes.size();
        for (const auto& s : secrets)
            EXPECT_EQ(w.bytes.find(s.text), std::string::npos) << s.what << " found in " << w.name;
        const std::string token = BearerToken(w.bytes);
        EXPECT_TRUE(token.empty()) << "bearer token " << token << " in " << w.name;
    }
    std::printf("[ secrets  ] %zu outputs and files, %zu bytes searched for %zu secrets\n", written.size(),
                bytes, secrets.size());

    // Key and credential files are readable by their owner only.
    for (const std::string& path :
         {m_emu->p12Path(), m_emu->jsonKeyPath(), m_emu->stateDir() + "/credential.txt"}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << path;
    }
}
