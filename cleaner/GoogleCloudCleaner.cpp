// The plug-in's crash-recovery registry: entity kinds, keys and properties.
#include "cleaner/GoogleCloudCleaner.h"

#include <map>

using namespace VMInfoStructs;

bool CGoogleCloudCleaner::Init(const std::string& name) {
    return VMCleaner::Init(name, 0);
}

void CGoogleCloudCleaner::DeInit() {
    VMCleaner::DeInit();
}

bool CGoogleCloudCleaner::RegisterVM(VM_Cleaner_Mode mode, const std::string& key, const std::string& name,
                                     const std::string& zone, const std::string& projectId) {
    std::map<std::string, std::string> props{
        {"id", key}, {"name", name}, {"hostname", zone}, {"project", projectId}};
    return RegisterEntityWithProperty(mode, VM_Cleaner_Entity_VM, key, "", props);
}

bool CGoogleCloudCleaner::GetRegisteredVM(VM_Cleaner_Mode mode, const std::string& key, std::string& path,
                                          bool orphanSearch) {
    // No entity has an empty key; an empty key would list (and adopt) every orphan.
    if (key.empty()) return false;
    if (!orphanSearch) {
        std::string handle;
        if (LookupEntity(mode, VM_Cleaner_Entity_VM, key, handle))
            return GetCleanerPathForEntityHandle(mode, handle, path);
    }
    std::vector<CleanerEntity> orphans;
    if (!GetOrphanedRootEntityListByType(mode, VM_Cleaner_Entity_VM, key, orphans)) return false;
    for (const CleanerEntity& e : orphans) {
        if (e.strEntityHandle == key) {
            path = e.strCleanerPath;
            return true;
        }
    }
    return false;
}

namespace {
// Created instances are keyed apart from the jobs' own VM entities (whose keys
// are instance ids or job GUIDs): a colon never appears in either.
std::string CreatedVMKey(const std::string& name) {
    return "instance:" + name;
}
}  // namespace

bool CGoogleCloudCleaner::RegisterCreatedVM(VM_Cleaner_Mode mode, const std::string& vmKey,
                                            const std::string& name, const std::string& projectId,
                                            const std::string& zone) {
    std::string handle;
    if (name.empty() || !LookupEntity(mode, VM_Cleaner_Entity_VM, vmKey, handle)) return false;
    std::map<std::string, std::string> props{{"name", name}, {"hostname", zone}, {"project", projectId}};
    return RegisterEntityWithProperty(mode, VM_Cleaner_Entity_VM, CreatedVMKey(name), handle, props);
}

bool CGoogleCloudCleaner::GetRegisteredCreatedVM(const std::string& path, SVMInfo& vm) {
    std::vector<CleanerEntity> list;
    if (!FillItemsFromCleanerPath(path, VM_Cleaner_Entity_VM, list)) return false;
    for (const CleanerEntity& e : list) {
        if (e.strEntityHandle.rfind("instance:", 0) != 0) continue;
        auto prop = [&e](const char* k) {
            auto it = e.mapProperties.find(k);
            return it == e.mapProperties.end() ? std::string() : it->second;
        };
        vm.strName = prop("name");
        vm.strProjectId = prop("project");
        vm.strZone = prop("hostname");
        return !vm.strName.empty();
    }
    return false;
}

bool CGoogleCloudCleaner::UnRegisterCreatedVM(const std::string& path) {
    SVMInfo vm;
    if (!GetRegisteredCreatedVM(path, vm)) return false;
    return UnRegisterChild(path, VM_Cleaner_Entity_VM, CreatedVMKey(vm.strName));
}

namespace {
// The journal's key among the VM entity's children (no instance id, GUID or
// created-instance key has this form).
const char* const kReplacementKey = "replacement:";

// Lists are kept one item a line, the fields of a disk apart by tabs:
// resource names hold neither.
std::string JoinDisks(const std::vector<SDisk>& disks) {
    std::string out;
    for (const SDisk& d : disks) out += d.strName + "\t" + d.strZone + "\t" + d.strLocationUri + "\n";
    return out;
}

std::vector<std::string> SplitOn(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(sep, start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::vector<SDisk> SplitDisks(const std::string& text) {
    std::vector<SDisk> disks;
    for (const std::string& line : SplitOn(text, '\n')) {
        if (line.empty()) continue;
        std::vector<std::string> f = SplitOn(line, '\t');
        f.resize(3);
        SDisk d;
        d.strName = f[0];
        d.strNewName = f[0];
        d.strZone = f[1];
        d.strLocationUri = f[2];
        disks.push_back(d);
    }
    return disks;
}
}  // namespace

bool CGoogleCloudCleaner::RegisterReplacement(VM_Cleaner_Mode mode, const std::string& vmKey,
                                              const SReplacementJournal& journal) {
    std::string handle;
    if (journal.strName.empty() || !LookupEntity(mode, VM_Cleaner_Entity_VM, vmKey, handle)) return false;
    std::map<std::string, std::string> props{{"name", journal.strName},
                                             {"project", journal.strProjectId},
                                             {"hostname", journal.strZone},
                                             {"oldId", journal.strOldId},
                                             {"oldZone", journal.strOldZone},
                                             {"instance", journal.strInstanceJson},
                                             {"replacedDisks", JoinDisks(journal.vecReplacedDisks)},
                                             {"newDisks", JoinDisks(journal.vecNewDisks)},
                                             {"powerOff", journal.bPowerOff ? "1" : "0"}};
    return RegisterEntityWithProperty(mode, VM_Cleaner_Entity_VM, kReplacementKey, handle, props);
}

bool CGoogleCloudCleaner::GetRegisteredReplacement(const std::string& path, SReplacementJournal& journal) {
    std::vector<CleanerEntity> list;
    if (!FillItemsFromCleanerPath(path, VM_Cleaner_Entity_VM, list)) return false;
    for (const CleanerEntity& e : list) {
        if (e.strEntityHandle != kReplacementKey) continue;
        auto prop = [&e](const char* k) {
            auto it = e.mapProperties.find(k);
            return it == e.mapProperties.end() ? std::string() : it->second;
        };
        journal.strName = prop("name");
        journal.strProjectId = prop("project");
        journal.strZone = prop("hostname");
        journal.strOldId = prop("oldId");
        journal.strOldZone = prop("oldZone");
        journal.strInstanceJson = prop("instance");
        journal.vecReplacedDisks = SplitDisks(prop("replacedDisks"));
        journal.bPowerOff = prop("powerOff") == "1";
        // One disk a line; a line of a name alone (no tab) is a disk
        // recorded without its place.
        journal.vecNewDisks = SplitDisks(prop("newDisks"));
        return !journal.strName.empty();
    }
    return false;
}

bool CGoogleCloudCleaner::UnRegisterReplacement(const std::string& path) {
    return UnRegisterChild(path, VM_Cleaner_Entity_VM, kReplacementKey);
}

bool SReplacementJournal::HoldsNewDisk(const std::string& name, const std::string& location) const {
    for (const SDisk& d : vecNewDisks) {
        if (d.strName != name) continue;
        if (d.strZone.empty() && d.strLocationUri.empty()) return true;
        if (CGoogleCloudCleaner::DiskLocation(d.strLocationUri, d.strZone, strProjectId) == location)
            return true;
    }
    return false;
}

void CGoogleCloudCleaner::UnRegisterNewDisks(const std::string& path, const SReplacementJournal& journal) {
    for (const SDisk& d : journal.vecNewDisks) {
        const bool placed = !d.strZone.empty() || !d.strLocationUri.empty();
        if (placed && UnRegisterDiskAt(path, d.strName, d.strLocationUri, d.strZone, journal.strProjectId))
            continue;
        UnRegisterDisk(path, d.strName);
    }
}

bool CGoogleCloudCleaner::UnRegisterVM(const std::string& path, bool flag) {
    return UnRegisterEntity(path, flag);
}

bool CGoogleCloudCleaner::RegisterSnapshot(VM_Cleaner_Mode mode, const std::string& vmKey,
                                           const std::string& name, const std::string& projectId) {
    std::string handle;
    if (!LookupEntity(mode, VM_Cleaner_Entity_VM, vmKey, handle)) return false;
    std::map<std::string, std::string> props{{"id", name}, {"name", name}, {"project", projectId}};
    return RegisterEntityWithProperty(mode, VM_Cleaner_Entity_Snapshot, name, handle, props);
}

bool CGoogleCloudCleaner::GetRegisteredSnapshots(const std::string& vmPath, std::vector<std::string>& names) {
    std::vector<CleanerEntity> list;
    if (!FillItemsFromCleanerPath(vmPath, VM_Cleaner_Entity_Snapshot, list) || list.empty()) return false;
    for (const CleanerEntity& e : list) names.push_back(e.strEntityHandle);
    return true;
}

bool CGoogleCloudCleaner::GetRegisteredSnapshotProjects(const std::string& vmPath,
                                                        std::map<std::string, std::string>& projects) {
    std::vector<CleanerEntity> list;
    if (!FillItemsFromCleanerPath(vmPath, VM_Cleaner_Entity_Snapshot, list)) return false;
    for (const CleanerEntity& e : list) {
        auto it = e.mapProperties.find("project");
        if (it != e.mapProperties.end() && !it->second.empty()) projects[e.strEntityHandle] = it->second;
    }
    return true;
}

bool CGoogleCloudCleaner::UnRegisterSnapshot(const std::string& vmPath, const std::string& name) {
    return UnRegisterChild(vmPath, VM_Cleaner_Entity_Snapshot, name);
}

namespace {
std::string Prop(const CleanerEntity& e, const char* key) {
    auto it = e.mapProperties.find(key);
    return it == e.mapProperties.end() ? std::string() : it->second;
}

// The path segment after `marker` ("/zones/", "/regions/", "projects/") in a
// resource URI; empty when there is none.
std::string UriSegment(const std::string& uri, const std::string& marker) {
    const size_t at = uri.find(marker);
    if (at == std::string::npos) return std::string();
    const size_t start = at + marker.size();
    const size_t end = uri.find('/', start);
    return uri.substr(start, end == std::string::npos ? std::string::npos : end - start);
}
}  // namespace

std::string CGoogleCloudCleaner::DiskLocation(const std::string& uri, const std::string& zone,
                                              const std::string& projectId) {
    std::string project = UriSegment(uri, "projects/");
    if (project.empty()) project = projectId;
    std::string where = UriSegment(uri, "/regions/");
    if (where.empty()) where = UriSegment(uri, "/zones/");
    if (where.empty()) where = zone;
    return project + "/" + where;
}

bool CGoogleCloudCleaner::RegisterDisk(VM_Cleaner_Mode mode, const std::string& vmKey,
                                       const std::string& name, const std::string& diskId,
                                       const std::string& uri, const std::string& zone,
                                       const std::string& projectId) {
    std::string handle;
    if (!LookupEntity(mode, VM_Cleaner_Entity_VM, vmKey, handle)) return false;
    const std::string location = DiskLocation(uri, zone, projectId);
    std::map<std::string, std::string> props{{"name", name},         {"id", diskId},
                                             {"uri", uri},           {"hostname", zone},
                                             {"project", projectId}, {"location", location}};
    // Keyed by name and location: a job may hold two disks of one name at
    // once (a disk on its way to another zone, region or project and its
    // copy there), and each needs its own entry.
    return RegisterEntityWithProperty(mode, VM_Cleaner_Entity_Disk, name + "@" + location, handle, props);
}

bool CGoogleCloudCleaner::GetRegisteredDisks(const std::string& vmPath, std::vector<SDisk>& disks) {
    std::vector<CleanerEntity> list;
    if (!FillItemsFromCleanerPath(vmPath, VM_Cleaner_Entity_Disk, list)) return false;
    for (const CleanerEntity& e : list) {
        SDisk disk;
        // Entries written before disks were keyed by location are keyed by
        // the name alone.
        disk.strName = Prop(e, "name");
        if (disk.strName.empty()) disk.strName = e.strEntityHandle;
        disk.strDiskId = disk.strName;
        disk.strLocationUri = Prop(e, "uri");
        disk.strNewName = disk.strName;
        disk.strZone = Prop(e, "hostname");
        if (disk.strLocationUri.empty()) {
            // Entered before it was requested: the project and place come
            // from the entry.
            const std::string project = Prop(e, "project");
            if (!project.empty() && !disk.strZone.empty())
                disk.strLocationUri = "https://www.googleapis.com/compute/v1/projects/" + project +
                                      "/zones/" + disk.strZone + "/disks/" + disk.strName;
        }
        disks.push_back(disk);
    }
    return true;
}

bool CGoogleCloudCleaner::UnRegisterDisk(const std::string& vmPath, const std::string& name) {
    std::vector<CleanerEntity> list;
    if (!FillItemsFromCleanerPath(vmPath, VM_Cleaner_Entity_Disk, list)) return false;
    bool removed = false;
    for (const CleanerEntity& e : list) {
        const std::string n = Prop(e, "name").empty() ? e.strEntityHandle : Prop(e, "name");
        if (n == name && UnRegisterEntity(e.strCleanerPath, false)) removed = true;
    }
    return removed;
}

bool CGoogleCloudCleaner::UnRegisterDiskAt(const std::string& vmPath, const std::string& name,
                                           const std::string& uri, const std::string& zone,
                                           const std::string& projectId) {
    const std::string location = DiskLocation(uri, zone, projectId);
    std::vector<CleanerEntity> list;
    if (!FillItemsFromCleanerPath(vmPath, VM_Cleaner_Entity_Disk, list)) return false;
    for (const CleanerEntity& e : list) {
        if (e.strEntityHandle == name + "@" + location) return UnRegisterEntity(e.strCleanerPath, false);
        // An entry keyed by the name alone names no place: it is this disk.
        if (e.strEntityHandle == name && Prop(e, "location").empty())
            return UnRegisterEntity(e.strCleanerPath, false);
    }
    return false;
}

bool CGoogleCloudCleaner::UnRegisterChild(const std::string& vmPath, VM_Cleaner_EntityType type,
                                          const std::string& name) {
    std::vector<CleanerEntity> list;
    if (!FillItemsFromCleanerPath(vmPath, type, list)) return false;
    for (const CleanerEntity& e : list)
        if (e.strEntityHandle == name) return UnRegisterEntity(e.strCleanerPath, false);
    return false;
}
