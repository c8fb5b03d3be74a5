#include "plugin/bridge/rest/ComputeMapper.h"

#include <algorithm>
#include <cctype>

#include "plugin/bridge/rest/Endpoints.h"
#include "plugin/host/CloudNames.h"

namespace GoogleCloudSDKCppBridge::rest::compute {

using VMInfoStructs::SDisk;
using VMInfoStructs::SKeyPairInfo;
using VMInfoStructs::SVMInfo;

std::string Str(const json& j, const char* key) {
    if (!j.is_object()) return {};
    const auto it = j.find(key);
    if (it == j.end()) return {};
    if (it->is_string()) return it->get<std::string>();
    if (it->is_number_integer()) return std::to_string(it->get<int64_t>());
    if (it->is_number_unsigned()) return std::to_string(it->get<uint64_t>());
    return {};
}

int64_t Int(const json& j, const char* key, int64_t nDefault) {
    if (!j.is_object()) return nDefault;
    const auto it = j.find(key);
    if (it == j.end()) return nDefault;
    if (it->is_number_integer() || it->is_number_unsigned()) return it->get<int64_t>();
    if (it->is_number_float()) return static_cast<int64_t>(it->get<double>());
    if (it->is_string()) {
        const std::string s = it->get<std::string>();
        if (s.empty() || s.find_first_not_of("-0123456789") != std::string::npos) return nDefault;
        try {
            return std::stoll(s);
        } catch (...) {
            return nDefault;
        }
    }
    return nDefault;
}

namespace {

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const auto pos = text.find(sep, start);
        parts.push_back(text.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    return parts;
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Capitalised(const std::string& w) {
    if (w.empty()) return w;
    std::string out = w;
    out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
    return out;
}

bool AllDigits(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

std::vector<std::string> StringArray(const json& j, const char* key) {
    std::vector<std::string> out;
    if (!j.is_object()) return out;
    const auto it = j.find(key);
    if (it == j.end() || !it->is_array()) return out;
    for (const auto& v : *it)
        if (v.is_string()) out.push_back(v.get<std::string>());
    return out;
}

void EraseKeys(json& j, std::initializer_list<const char*> keys) {
    if (!j.is_object()) return;
    for (const char* k : keys) j.erase(k);
}

std::string ZonalPath(const std::string& project, const std::string& zone, const std::string& collection,
                      const std::string& name) {
    return "projects/" + project + "/zones/" + zone + "/" + collection + "/" + name;
}

}  // namespace

std::string StripKeyVersion(const std::string& strKmsName) {
    const auto pos = strKmsName.find("/cryptoKeyVersions/");
    return pos == std::string::npos ? strKmsName : strKmsName.substr(0, pos);
}

std::string EncryptionKeyName(const json& disk) {
    if (!disk.is_object()) return {};
    const auto it = disk.find("diskEncryptionKey");
    if (it == disk.end() || !it->is_object()) return {};
    const std::string kms = Str(*it, "kmsKeyName");
    if (!kms.empty()) return StripKeyVersion(kms);
    if (it->contains("sha256") || it->contains("rawKey") || it->contains("rsaEncryptedKey")) return "csek";
    return {};
}

std::string GuestOSFromLicenses(const std::vector<std::string>& vecLicenses) {
    static const char* const kLinux[] = {"debian", "ubuntu",   "centos",    "rhel",   "sles",
                                         "suse",   "rocky",    "almalinux", "fedora", "cos",
                                         "oracle", "opensuse", "freebsd"};
    std::string linuxGuess;
    for (const auto& url : vecLicenses) {
        const std::string name = Lower(ShortName(url));
        const auto words = Split(name, '-');
        if (name.find("windows") != std::string::npos) {
            std::string text = "Microsoft Windows";
            for (const auto& w : words)
                if (!w.empty() && w != "windows") text += " " + Capitalised(w);
            return text;
        }
        if (!linuxGuess.empty() || words.empty()) continue;
        for (const char* distro : kLinux) {
            if (words[0] == distro) {
                std::string text;
                for (const auto& w : words)
                    if (!w.empty()) text += (text.empty() ? "" : " ") + Capitalised(w);
                linuxGuess = text;
                break;
            }
        }
    }
    return linuxGuess;
}

bool ParseCustomMachineType(const std::string& strName, int& nCpus, int& nMemoryMB) {
    const auto parts = Split(strName, '-');
    for (size_t i = 0; i + 2 < parts.size(); ++i) {
        if (parts[i] == "custom" && AllDigits(parts[i + 1]) && AllDigits(parts[i + 2])) {
            try {
                nCpus = std::stoi(parts[i + 1]);
                nMemoryMB = std::stoi(parts[i + 2]);
            } catch (...) {
                return false;
            }
            return true;
        }
    }
    return false;
}

void FillSize(const json& machineType, VMInfoStructs::SVMSizeInfo& size) {
    size.strName = Str(machineType, "name");
    size.nNumCPUs = static_cast<int32_t>(Int(machineType, "guestCpus", 0));
    size.nMemoryMB = static_cast<int32_t>(Int(machineType, "memoryMb", 0));
}

void FillHostInfo(const json& zone, const std::string& strProjectId, VMInfoStructs::SHostInfo& host) {
    host.strName = Str(zone, "name");
    host.strGuid = Str(zone, "id");
    host.strRegion = ShortName(Str(zone, "region"));
    if (host.strRegion.empty()) host.strRegion = RegionOfZone(host.strName);
    host.strProjectId = strProjectId;
    host.strStatus = Str(zone, "status");
}

void FillDCInfo(const json& region, const std::string& strProjectId, VMInfoStructs::SDataCenterInfo& dc) {
    dc.strName = Str(region, "name");
    // The inventory addresses a region by its name (the views encode it into ids).
    dc.strGuid = Str(region, "name");
    dc.strProjectId = strProjectId;
    dc.vecZones.clear();
    for (const auto& z : StringArray(region, "zones")) dc.vecZones.push_back(ShortName(z));
}

void Labels(const json& resource, std::vector<SKeyPairInfo>& vecLabels) {
    vecLabels.clear();
    if (!resource.is_object()) return;
    const auto it = resource.find("labels");
    if (it == resource.end() || !it->is_object()) return;
    for (const auto& [key, value] : it->items())
        vecLabels.push_back(SKeyPairInfo{key, value.is_string() ? value.get<std::string>() : value.dump()});
}

void ReplicaZones(const json& disk, std::vector<std::string>& vecZones, std::string& strRegionUri) {
    vecZones.clear();
    for (const auto& z : StringArray(disk, "replicaZones")) vecZones.push_back(ShortName(z));
    strRegionUri = Str(disk, "region");
}

void FillDisk(const json& disk, const std::string& strZone, SDisk& out) {
    out.strName = Str(disk, "name");
    out.strDiskId = Str(disk, "id");
    out.strLocationUri = Str(disk, "selfLink");
    const std::string ownZone = ShortName(Str(disk, "zone"));
    out.strZone = !ownZone.empty() ? ownZone : strZone;
    out.strDiskJson = disk.dump();
    out.strDiskType = ShortName(Str(disk, "type"));
    const int64_t sizeGb = Int(disk, "sizeGb", 0);
    out.nSize = sizeGb > 0 ? static_cast<uint64_t>(sizeGb) * kGiB : 0;
    out.strEncryptionKey = EncryptionKeyName(disk);
    out.bEncrypted = !out.strEncryptionKey.empty();
    std::string regionUri;
    ReplicaZones(disk, out.vecReplicaZones, regionUri);
    Labels(disk, out.vecLabels);
}

void FillVMInfo(const json& instance, const json* machineType, const std::map<std::string, json>& disksByPath,
                SVMInfo& vm) {
    vm.strGuid = Str(instance, "id");
    vm.strUri = Str(instance, "selfLink");
    vm.strName = Str(instance, "name");
    vm.strZone = ShortName(Str(instance, "zone"));
    vm.strRegion = RegionOfZone(vm.strZone);
    vm.strProjectId = ParseResourceUri(vm.strUri).strProject;
    vm.strInstanceType = ShortName(Str(instance, "machineType"));
    vm.strStatus = Str(instance, "status");
    vm.nPowerState = vm.strStatus == "RUNNING" ? 1 : 0;
    int cpus = 0, memory = 0;
    if (machineType != nullptr && machineType->is_object()) {
        vm.nNumCPUs = static_cast<uint32_t>(Int(*machineType, "guestCpus", 0));
        vm.nMemoryMB = Int(*machineType, "memoryMb", -1);
    } else if (ParseCustomMachineType(vm.strInstanceType, cpus, memory)) {
        vm.nNumCPUs = static_cast<uint32_t>(cpus);
        vm.nMemoryMB = memory;
    }

    vm.vecMetadata.clear();
    if (instance.contains("metadata") && instance["metadata"].is_object()) {
        const auto& md = instance["metadata"];
        if (md.contains("items") && md["items"].is_array())
            for (const auto& item : md["items"])
                vm.vecMetadata.push_back(SKeyPairInfo{Str(item, "key"), Str(item, "value")});
    }
    Labels(instance, vm.vecLabels);

    vm.vecNetworkCards.clear();
    if (instance.contains("networkInterfaces") && instance["networkInterfaces"].is_array()) {
        for (const auto& nic : instance["networkInterfaces"]) {
            VMInfoStructs::SVMNetworkCard card;
            card.strName = Str(nic, "name");
            card.strNetwork = ShortName(Str(nic, "network"));
            card.strSubnetwork = ShortName(Str(nic, "subnetwork"));
            card.strIPAddress = Str(nic, "networkIP");
            card.bCardFlag = nic.contains("accessConfigs") && nic["accessConfigs"].is_array() &&
                             !nic["accessConfigs"].empty();
            vm.vecNetworkCards.push_back(card);
        }
    }

    vm.vecDisks.clear();
    vm.strGuestOS.clear();
    if (!instance.contains("disks") || !instance["disks"].is_array()) return;
    for (const auto& ad : instance["disks"]) {
        SDisk d;
        const bool boot = ad.value("boot", false);
        if (Str(ad, "type") == "SCRATCH") {
            d.strName = Str(ad, "deviceName");
            d.strDiskType = "SCRATCH";
            d.strDiskJson = ad.dump();
            d.strZone = vm.strZone;
            const int64_t gb = Int(ad, "diskSizeGb", 0);
            d.nSize = gb > 0 ? static_cast<uint64_t>(gb) * kGiB : 0;
        } else {
            const std::string source = Str(ad, "source");
            const auto found = disksByPath.find(ResourcePath(source));
            if (found != disksByPath.end()) {
                FillDisk(found->second, vm.strZone, d);
            } else {
                d.strName = ShortName(source);
                d.strLocationUri = source;
                d.strZone = vm.strZone;
                d.strDiskJson = ad.dump();
                const int64_t gb = Int(ad, "diskSizeGb", 0);
                d.nSize = gb > 0 ? static_cast<uint64_t>(gb) * kGiB : 0;
                d.strEncryptionKey = EncryptionKeyName(ad);
                d.bEncrypted = !d.strEncryptionKey.empty();
            }
        }
        d.bBootDisk = boot;
        d.strAttachedDevice = Str(ad, "deviceName");
        if (boot) {
            auto licences = StringArray(ad, "licenses");
            const auto found = disksByPath.find(ResourcePath(Str(ad, "source")));
            if (licences.empty() && found != disksByPath.end())
                licences = StringArray(found->second, "licenses");
            vm.strGuestOS = GuestOSFromLicenses(licences);
        }
        vm.vecDisks.push_back(std::move(d));
    }
}

std::string DeviceNameForDisk(const std::string& strDiskName, const std::string& strDiskId) {
    std::string name = "zd-" + CloudNames::DeviceKeyForDisk(strDiskName, strDiskId);
    if (name.size() > 63) name.resize(63);
    return Lower(name);
}

bool IsRetryableOperationError(const json& operation) {
    if (!operation.is_object() || !operation.contains("error")) return false;
    const auto& err = operation["error"];
    if (!err.is_object() || !err.contains("errors") || !err["errors"].is_array()) return false;
    for (const auto& e : err["errors"]) {
        const std::string code = Str(e, "code");
        const std::string message = Lower(Str(e, "message"));
        if (code == "RATE_LIMIT_EXCEEDED" || code == "RESOURCE_OPERATION_RATE_EXCEEDED" ||
            code == "OPERATION_RATE_EXCEEDED" || code == "RESOURCE_NOT_READY" ||
            code == "TOO_MANY_PENDING_OPERATIONS")
            return true;
        if (message.find("too many pending operations") != std::string::npos ||
            message.find("too frequent operations") != std::string::npos ||
            message.find("rate limit exceeded") != std::string::npos)
            return true;
    }
    return false;
}

bool IsDiskLimitError(const std::string& strCodeOrReason, const std::string& strMessage) {
    const std::string msg = Lower(strMessage);
    const std::string code = Lower(strCodeOrReason);
    const bool mentionsDisks = msg.find("disk") != std::string::npos;
    if (!mentionsDisks) return false;
    return code.find("limit") != std::string::npos || msg.find("maximum") != std::string::npos ||
           msg.find("limit") != std::string::npos || msg.find("too many") != std::string::npos;
}

std::string DescribeOperationError(const json& operation) {
    std::string text = "operation failed";
    if (!operation.is_object()) return text;
    const auto it = operation.find("error");
    if (it == operation.end() || !it->is_object() || !it->contains("errors") || !(*it)["errors"].is_array())
        return text;
    bool first = true;
    for (const auto& e : (*it)["errors"]) {
        text += first ? ": " : "; ";
        first = false;
        text += Str(e, "code");
        const std::string message = Str(e, "message");
        if (!message.empty()) text += ": " + message;
    }
    if (text.size() > 600) text = text.substr(0, 600) + "...";
    return text;
}

void StripInstanceOutputOnly(json& instance) {
    EraseKeys(instance,
              {"resourceStatus", "status", "satisfiesPzs", "id", "zone", "creationTimestamp",
               "lastStopTimestamp", "startRestricted", "lastSuspendedTimestamp", "lastStartTimestamp", "kind",
               "selfLink", "cpuPlatform", "statusMessage", "fingerprint", "labelFingerprint"});
    if (instance.contains("disks") && instance["disks"].is_array())
        for (auto& d : instance["disks"])
            EraseKeys(d, {"shieldedInstanceInitialState", "index", "kind", "licenses", "architecture"});
    if (instance.contains("networkInterfaces") && instance["networkInterfaces"].is_array()) {
        for (auto& nic : instance["networkInterfaces"]) {
            EraseKeys(nic, {"kind", "name", "ipv6AccessType", "fingerprint"});
            for (const char* list : {"accessConfigs", "ipv6AccessConfigs"})
                if (nic.contains(list) && nic[list].is_array())
                    for (auto& ac : nic[list]) EraseKeys(ac, {"kind"});
        }
    }
    if (instance.contains("metadata")) EraseKeys(instance["metadata"], {"kind", "fingerprint"});
    if (instance.contains("tags")) EraseKeys(instance["tags"], {"fingerprint"});
}

namespace {

// Source path of the restored disk newName: the location the restore
// record gives for it, else the disk of that name in the target zone.
std::string RestoredDiskSource(const SVMInfo& vm, const std::string& newName, const std::string& project,
                               const std::string& zone) {
    for (const auto& d : vm.vecDisks) {
        if (d.strLocationUri.empty()) continue;
        if (d.strNewName != newName && d.strName != newName) continue;
        const ResourceRef ref = ParseResourceUri(d.strLocationUri);
        if (ref.bValid && ref.strCollection == "disks" && ref.strName == newName)
            return ResourcePath(d.strLocationUri);
    }
    return ZonalPath(project, zone, "disks", newName);
}

std::string NetworkPath(const std::string& value, const std::string& project) {
    if (value.find('/') != std::string::npos) return ResourcePath(value);
    return "projects/" + project + "/global/networks/" + value;
}

std::string SubnetworkPath(const std::string& value, const std::string& project, const std::string& region) {
    if (value.find('/') != std::string::npos) return ResourcePath(value);
    return "projects/" + project + "/regions/" + region + "/subnetworks/" + value;
}

void RebaseScratchDisk(json& ad, const std::string& project, const std::string& zone) {
    ad.erase("source");
    json params = ad.contains("initializeParams") && ad["initializeParams"].is_object()
                      ? ad["initializeParams"]
                      : json::object();
    std::string type = ShortName(Str(params, "diskType"));
    if (type.empty()) type = "local-ssd";
    params["diskType"] = ZonalPath(project, zone, "diskTypes", type);
    ad["initializeParams"] = params;
    ad["autoDelete"] = true;
}

void RebaseAccelerators(json& inst, const std::string& project, const std::string& zone) {
    if (!inst.contains("guestAccelerators") || !inst["guestAccelerators"].is_array()) return;
    for (auto& acc : inst["guestAccelerators"]) {
        const std::string type = ShortName(Str(acc, "acceleratorType"));
        if (!type.empty()) acc["acceleratorType"] = ZonalPath(project, zone, "acceleratorTypes", type);
    }
}

}  // namespace

bool BuildInsertableInstance(const std::string& strSavedJson, const SVMInfo& vm,
                             const std::string& strProjectId,
                             const std::map<std::string, std::string>& mapDiskNames, bool bStandby,
                             bool bAutoDeleteDisks, json& out, std::string& strError) {
    const std::string project = !strProjectId.empty() ? strProjectId : vm.strProjectId;
    const std::string& zone = vm.strZone;
    const std::string& name = vm.strName;
    if (project.empty() || zone.empty() || name.empty()) {
        strError = "the restore target needs a project, a zone and an instance name";
        return false;
    }
    json inst = json::object();
    if (!strSavedJson.empty()) {
        inst = json::parse(strSavedJson, nullptr, false);
        if (!inst.is_object()) {
            strError = "the saved instance configuration is not a JSON object";
            return false;
        }
    }
    const std::string savedName = Str(inst, "name");
    const ResourceRef savedRef = ParseResourceUri(Str(inst, "selfLink"));
    const std::string savedProject = savedRef.strProject;
    const std::string savedZone =
        !savedRef.strLocation.empty() ? savedRef.strLocation : ShortName(Str(inst, "zone"));
    const bool inPlace = savedName == name && savedProject == project && savedZone == zone;
    const bool sameProject = savedProject.empty() || savedProject == project;
    const std::string region = RegionOfZone(zone);
    const bool sameRegion = savedZone.empty() || RegionOfZone(savedZone) == region;

    StripInstanceOutputOnly(inst);
    inst["name"] = name;

    std::string machineType = ShortName(vm.strInstanceType);
    if (machineType.empty()) machineType = ShortName(Str(inst, "machineType"));
    if (machineType.empty()) {
        strError = "no machine type for instance [" + name + "]";
        return false;
    }
    inst["machineType"] = ZonalPath(project, zone, "machineTypes", machineType);

    // Disks.
    json disks = json::array();
    if (inst.contains("disks") && inst["disks"].is_array() && !inst["disks"].empty()) {
        for (auto ad : inst["disks"]) {
            if (!ad.is_object()) continue;
            if (Str(ad, "type") == "SCRATCH") {
                RebaseScratchDisk(ad, project, zone);
                disks.push_back(ad);
                continue;
            }
            const std::string savedDisk = ShortName(Str(ad, "source"));
            const auto mapped = mapDiskNames.find(savedDisk);
            if (mapped == mapDiskNames.end() || mapped->second.empty()) continue;  // not restored
            ad["source"] = RestoredDiskSource(vm, mapped->second, project, zone);
            ad["autoDelete"] = bAutoDeleteDisks;
            EraseKeys(ad,
                      {"diskEncryptionKey", "diskSizeGb", "initializeParams", "forceAttach", "savedState"});
            disks.push_back(ad);
        }
    } else {
        for (const auto& d : vm.vecDisks) {
            if (d.eDiskType != 1 || d.bFiltered) continue;
            const std::string diskName = !d.strNewName.empty() ? d.strNewName : d.strName;
            if (diskName.empty()) continue;
            json ad = {{"source", RestoredDiskSource(vm, diskName, project, zone)},
                       {"boot", d.bBootDisk},
                       {"autoDelete", bAutoDeleteDisks},
                       {"mode", "READ_WRITE"},
                       {"type", "PERSISTENT"}};
            disks.push_back(ad);
        }
    }
    std::stable_sort(disks.begin(), disks.end(), [](const json& a, const json& b) {
        return a.value("boot", false) && !b.value("boot", false);
    });
    if (disks.empty() || !disks[0].value("boot", false)) {
        strError = "no restored boot disk for instance [" + name + "]";
        return false;
    }
    inst["disks"] = disks;

    // Network interfaces.
    json nics = json::array();
    if (!vm.vecNetworkCards.empty()) {
        const json saved = inst.contains("networkInterfaces") && inst["networkInterfaces"].is_array()
                               ? inst["networkInterfaces"]
                               : json::array();
        for (size_t i = 0; i < vm.vecNetworkCards.size(); ++i) {
            const auto& card = vm.vecNetworkCards[i];
            json nic = json::object();
            // A requested card sets the network and addresses; what it does
            // not decide stays as the instance had it on that card (a gVNIC
            // NIC type, which the boot disk may need, the stack type, the
            // queue count).
            if (i < saved.size() && saved[i].is_object())
                for (const char* key : {"nicType", "stackType", "queueCount"})
                    if (saved[i].contains(key)) nic[key] = saved[i][key];
            if (!card.strNetwork.empty()) nic["network"] = NetworkPath(card.strNetwork, project);
            if (!card.strSubnetwork.empty())
                nic["subnetwork"] = SubnetworkPath(card.strSubnetwork, project, region);
            if (card.strNetwork.empty() && card.strSubnetwork.empty())
                nic["network"] = NetworkPath("default", project);
            if (!card.strIPAddress.empty()) nic["networkIP"] = card.strIPAddress;
            if (card.bCardFlag)
                nic["accessConfigs"] = json::array({{{"type", "ONE_TO_ONE_NAT"}, {"name", "External NAT"}}});
            nics.push_back(nic);
        }
    } else if (inst.contains("networkInterfaces") && inst["networkInterfaces"].is_array()) {
        for (auto nic : inst["networkInterfaces"]) {
            if (!inPlace) EraseKeys(nic, {"networkIP", "ipv6Address", "aliasIpRanges"});
            if (nic.contains("accessConfigs") && nic["accessConfigs"].is_array())
                for (auto& ac : nic["accessConfigs"])
                    if (!inPlace || bStandby) EraseKeys(ac, {"natIP", "externalIpv6"});
            const ResourceRef net = ParseResourceUri(Str(nic, "network"));
            if (!sameProject && net.bValid && net.strProject == savedProject)
                nic["network"] = NetworkPath(net.strName, project);
            const ResourceRef sub = ParseResourceUri(Str(nic, "subnetwork"));
            if (sub.bValid && (!sameRegion || (!sameProject && sub.strProject == savedProject))) {
                const std::string subProject = sub.strProject == savedProject ? project : sub.strProject;
                nic["subnetwork"] = SubnetworkPath(sub.strName, subProject, region);
            }
            nics.push_back(nic);
        }
    }
    if (nics.empty()) nics.push_back({{"network", NetworkPath("default", project)}});
    inst["networkInterfaces"] = nics;

    // Labels.
    if (!vm.vecLabels.empty()) {
        json labels = json::object();
        for (const auto& l : vm.vecLabels) labels[l.strKey] = l.strValue;
        inst["labels"] = labels;
    }

    // Metadata that ties the copy to a managed instance group.
    if (inst.contains("metadata") && inst["metadata"].is_object() && inst["metadata"].contains("items") &&
        inst["metadata"]["items"].is_array()) {
        json items = json::array();
        for (const auto& item : inst["metadata"]["items"]) {
            const std::string key = Str(item, "key");
            if (key == "instance-template" || key == "created-by") continue;
            items.push_back(item);
        }
        inst["metadata"]["items"] = items;
    }

    // Service accounts of another project's default identity.
    if (!sameProject && inst.contains("serviceAccounts") && inst["serviceAccounts"].is_array()) {
        static const std::string kDefaultSuffix = "-compute@developer.gserviceaccount.com";
        for (auto& sa : inst["serviceAccounts"]) {
            const std::string email = Str(sa, "email");
            if (email.size() > kDefaultSuffix.size() &&
                email.compare(email.size() - kDefaultSuffix.size(), kDefaultSuffix.size(), kDefaultSuffix) ==
                    0)
                sa["email"] = "default";
        }
    }
    RebaseAccelerators(inst, project, zone);
    EraseKeys(inst, {"sourceMachineImage", "sourceMachineImageEncryptionKey", "params"});
    if (!inPlace) EraseKeys(inst, {"hostname", "resourcePolicies"});
    out = std::move(inst);
    return true;
}

void RebaseInstance(json& instance, const std::string& strProjectId, const std::string& strZone) {
    StripInstanceOutputOnly(instance);
    const std::string type = ShortName(Str(instance, "machineType"));
    if (!type.empty()) instance["machineType"] = ZonalPath(strProjectId, strZone, "machineTypes", type);
    if (instance.contains("disks") && instance["disks"].is_array()) {
        for (auto& ad : instance["disks"]) {
            if (Str(ad, "type") == "SCRATCH") {
                RebaseScratchDisk(ad, strProjectId, strZone);
                continue;
            }
            const ResourceRef ref = ParseResourceUri(Str(ad, "source"));
            if (ref.bValid && ref.strScope == "zones")
                ad["source"] = ZonalPath(strProjectId, strZone, "disks", ref.strName);
            else if (ref.bValid)
                ad["source"] = ResourcePath(Str(ad, "source"));
        }
    }
    RebaseAccelerators(instance, strProjectId, strZone);
}

}  // namespace GoogleCloudSDKCppBridge::rest::compute
