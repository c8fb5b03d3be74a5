// Lifecycle, connection and proxy identity of the plug-in object.
#include "plugin/GoogleCloudInfo.h"

#include <cstring>

#include "disks/GoogleCloudDiskInfo.h"
#include "plugin/host/ArVMDetect.h"
#include "plugin/host/ArcCrypto.h"
#include "plugin/host/CloudNames.h"

using namespace VMInfoStructs;

std::string CGoogleCloudInfo::c_localVMGuid;
std::string CGoogleCloudInfo::c_localProjectID;
ArCriticalSection CGoogleCloudInfo::c_localVMGuidCS;
std::map<std::string, SVMInfo> CGoogleCloudInfo::c_InstanceInfoMapFromSnapXML;
InstanceGuidToVMInfoMap CGoogleCloudInfo::c_InstanceGuidToVMInfoMap;
ArCriticalSection CGoogleCloudInfo::c_InstanceGuidToVMInfoMapLock;

CDiskMapper::~CDiskMapper() = default;

CGoogleCloudInfo::CGoogleCloudInfo(VirtualServerInstanceType type) : CVMInfo(type) {
    Construct(nullptr);
}

CGoogleCloudInfo::CGoogleCloudInfo(VirtualServerInstanceType type, Bridge* bridge) : CVMInfo(type) {
    Construct(bridge);
}

void CGoogleCloudInfo::Construct(Bridge* bridge) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Start >>>");
    m_pCloudBridge = bridge ? bridge : new Bridge();
    m_pDiskMapper = new CDiskMapper();
    m_bLeftoversCleaned = false;
    m_pSnapUtil.reset(new CVMSnapUtil(m_log));
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "End <<<");
}

CGoogleCloudInfo::~CGoogleCloudInfo() {
    delete m_pCloudBridge;
    m_pCloudBridge = nullptr;
    delete m_pDiskMapper;
    m_pDiskMapper = nullptr;
    delete m_pDiskInfo;
    m_pDiskInfo = nullptr;
}

int CGoogleCloudInfo::Init(unsigned long value) {
    if (CVMInfo::Init(value) == 0) return 0;
    if (!m_pCloudBridge->Init()) return 0;
    DetectLocalVMGuid();
    DetectLocalVMProjectId();
    return 1;
}

int CGoogleCloudInfo::DeInit(bool) {
    return 1;
}

int CGoogleCloudInfo::Connect(const std::string& server, const std::string& credential,
                              const std::string& password) {
    m_log.DebugLvl(__PRETTY_FUNCTION__, 2, "Start >>>");
    ResetCaches();
    std::string keyFilePath, userEmail, wrappedSecret;
    std::string secret = password;
    if (!GetConnectionParams(credential, keyFilePath, userEmail, wrappedSecret, secret)) return 0;

    m_strServer = server;
    m_strUser = userEmail;
    m_strPassword = password;
    m_strP12FilePath = keyFilePath;
    if (!wrappedSecret.empty()) m_strPassword = wrappedSecret;

    m_log.Debug(__PRETTY_FUNCTION__, "Connecting to Url=[%s] User=[%s]", m_strServer.c_str(),
                m_strUser.c_str());
    if (!m_pCloudBridge->Connect(keyFilePath, userEmail, secret)) {
        std::string err = m_pCloudBridge->GetLastError();
        SetLastVMError(VMINFO_ERR_CONNECTION);
        SetLastVMErrorDetails(err);
        m_log.Error(__PRETTY_FUNCTION__, "Connect failed [%s]", err.c_str());
        return 0;
    }
    m_log.Debug(__PRETTY_FUNCTION__, "Connection Successful");
    return 1;
}

int CGoogleCloudInfo::GetConnectionParams(const std::string& credential, std::string& keyFilePath,
                                          std::string& userEmail, std::string& wrappedSecret,
                                          std::string& secret) {
    // A key file is a .p12 file or a JSON key file (Google's usual form, which
    // names its service account itself); anything else before the '|' is a
    // wrapped secret.
    auto isKeyFile = [](const std::string& f) {
        auto endsWith = [&f](const char* suffix) {
            const size_t n = std::strlen(suffix);
            return f.size() > n && f.compare(f.size() - n, n, suffix) == 0;
        };
        return f.find(".p12") != std::string::npos || endsWith(".json") || endsWith(".JSON");
    };
    std::vector<std::string> fields = CLuString::Tokenize(credential, '|');
    if (fields.size() < 2 && isKeyFile(credential) && credential.find(".p12") == std::string::npos) {
        // A JSON key file alone: the bridge takes the e-mail from the key.
        keyFilePath = credential;
        return 1;
    }
    if (fields.size() < 2) {
        // A key file path is safe to log; anything else may be a wrapped secret.
        bool isPath = isKeyFile(credential);
        m_log.Error(__PRETTY_FUNCTION__, "Cannot retrieve User Id from [%s]",
                    isPath ? credential.c_str() : "<secret withheld>");
        return 0;
    }
    if (isKeyFile(fields[0])) {
        keyFilePath = fields[0];
        userEmail = fields[1];
    } else {
        wrappedSecret = fields[0];
        const std::string passPhrase = GoogleCloudConst::kSecretPassPhrase;
        ArcBucket key = Arc::sha256(passPhrase.data(), passPhrase.size());
        ArcAES aes;
        aes.setKey(key);
        ArcBucket wrapped = Arc::hex2bin(fields[0].size() > 1 ? fields[0].substr(1) : std::string());
        ArcKeyWrap keyWrap(aes);
        ArcBucket plain = keyWrap.unWrap(wrapped);
        // A secret that does not unwrap (bad length, bad hex, failed integrity
        // check) comes out empty; the bridge then refuses the connection.
        secret.assign(reinterpret_cast<const char*>(plain.getData()), plain.getSize());
        userEmail = fields[1];
    }
    const bool jsonKey = !keyFilePath.empty() && keyFilePath.find(".p12") == std::string::npos;
    if (userEmail.empty() && !jsonKey) {
        m_log.Error(__PRETTY_FUNCTION__, "Required field user email ID is empty.");
        return 0;
    }
    return 1;
}

int CGoogleCloudInfo::Disconnect() {
    return 0;
}

void CGoogleCloudInfo::DetectLocalVMGuid() {
    // Guarded so that objects initialised at once on several threads detect once.
    ArCriticalSectionLock lock(c_localVMGuidCS);
    if (!c_localVMGuid.empty()) return;
    ArVMDetect detector;
    if (detector.DetectHypervisor() == ArVMDetect::kGoogleComputeEngine) {
        m_log.Debug(__PRETTY_FUNCTION__, "Proxy is Google Cloud Instance.");
        std::string guid;
        if (detector.GetLocalVMUUID(guid)) {
            c_localVMGuid = guid;
            // The names this process generates carry the proxy as well.
            CloudNames::SetNameTokenProxy(guid);
        }
    } else {
        m_log.Debug(__PRETTY_FUNCTION__, "Proxy is not a Google Cloud Instance.");
    }
}

void CGoogleCloudInfo::DetectLocalVMProjectId() {
    ArCriticalSectionLock lock(c_localVMGuidCS);
    if (!c_localProjectID.empty()) return;
    ArVMDetect detector;
    std::string project;
    if (detector.GetLocalProjectId(project)) c_localProjectID = project;
}

void CGoogleCloudInfo::ResetProxyIdentityForTests() {
    ArCriticalSectionLock lock(c_localVMGuidCS);
    c_localVMGuid.clear();
    c_localProjectID.clear();
}

bool CGoogleCloudInfo::InitProxyVMInfo() {
    ArCriticalSectionLock lock(m_csProxyInfo);
    if (!m_proxyVMInfo.strUri.empty()) {
        m_log.Debug(__PRETTY_FUNCTION__, "Proxy information already fetched, Proxy uri [%s]",
                    m_proxyVMInfo.strUri.c_str());
        return true;
    }
    if (c_localVMGuid.empty() || c_localProjectID.empty()) {
        // The metadata server may have failed when the object was
        // initialised; ask again. Without its own instance id and project the
        // job could not place a disk, so it stops here instead of sending
        // requests for an empty project.
        DetectLocalVMGuid();
        DetectLocalVMProjectId();
        if (c_localVMGuid.empty() || c_localProjectID.empty()) {
            m_log.Error(__PRETTY_FUNCTION__, "The proxy's instance id or project is unknown");
            return false;
        }
    }
    if (!m_pCloudBridge->GetVMInfo(c_localProjectID, "", c_localVMGuid, "", m_proxyVMInfo, 16)) {
        m_log.Error(__PRETTY_FUNCTION__, "Failed to get VMInfo for VM [%s]", c_localVMGuid.c_str());
        return false;
    }
    return true;
}
