#include "cli/Commands.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "cli/DataPath.h"
#include "cli/JobSupport.h"
#include "cli/Progress.h"
#include "cli/RepoJobs.h"
#include "cli/Snap.h"
#include "cli/Store.h"
#include "plugin/host/ArcCrypto.h"
#include "plugin/host/CloudNames.h"
#include "plugin/host/HostEnv.h"
#include "plugin/host/VMCleaner.h"

namespace fs = std::filesystem;
using nlohmann::json;
using VMInfoStructs::SDisk;
using VMInfoStructs::SVMInfo;

namespace gcebackup {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Opens a disk through the plug-in and returns its handle and device path.
struct OpenedDisk {
    VmdkHandle handle;
    std::string device;
    uint64_t size = 0;
};

OpenedDisk OpenDisk(PluginSession& s, const std::string& vmName, const std::string& vmGuid, const SDisk& item,
                    bool forWriting) {
    OpenedDisk d;
    int ok = forWriting
                 ? s->CreateVmdk(vmName, vmGuid, item.strPath, d.handle, static_cast<long long>(item.nSize))
                 : s->OpenVmdk(vmName, vmGuid, item.strPath, d.handle);
    if (!ok) s.Fail(std::string(forWriting ? "CreateVmdk" : "OpenVmdk") + " of disk " + item.strName);
    SDisk info;
    if (!s->GetVmdkInfo(d.handle, info)) {
        s->CloseVmdk(d.handle);
        s.Fail("GetVmdkInfo of disk " + item.strName);
    }
    d.device = info.strPath;
    d.size = info.nSize;
    return d;
}

int OpenDevice(const std::string& path, bool write, int exitCode = kExitFailed) {
    int fd = ::open(path.c_str(), (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0)
        throw CommandError(std::string(exitCode == kExitStore ? "store: " : "") + "cannot open " + path +
                               ": " + std::strerror(errno),
                           exitCode);
    return fd;
}

// The same device opened for reading too (a sync compares before it writes).
int ReopenReadWrite(int fd, const std::string& path) {
    int rw = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (rw < 0) throw CommandError("cannot open " + path + ": " + std::strerror(errno));
    ::close(fd);
    return rw;
}

std::string Describe(const std::vector<VMInfoStructs::SFailure>& failures, std::vector<std::string>& out) {
    std::string text;
    for (const auto& f : failures) {
        std::string line = f.strItemName.empty() ? f.strMessage : f.strItemName + ": " + f.strMessage;
        out.push_back(line);
        if (!text.empty()) text += "; ";
        text += line;
    }
    return text;
}

// A descriptor closed on every way out.
struct Fd {
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
};

// The wall time during which copies ran: from the first start to the last end.
class CopySpan {
  public:
    void Add(Clock::time_point start, Clock::time_point end) {
        std::lock_guard<std::mutex> lock(m_mu);
        if (!m_any || start < m_start) m_start = start;
        if (!m_any || end > m_end) m_end = end;
        m_any = true;
    }
    double Seconds() const { return m_any ? std::chrono::duration<double>(m_end - m_start).count() : 0; }

  private:
    std::mutex m_mu;
    bool m_any = false;
    Clock::time_point m_start, m_end;
};

// Chunks in flight for each of `parallel` copies side by side: together
// about the memory of one copy on its own.
size_t ChunksPerCopy(int parallel) {
    return std::max<size_t>(2, 8 / static_cast<size_t>(std::max(1, parallel)));
}

// The disks of one job, opened through the plug-in and copied side by side.
//
// Every plug-in call stays on the calling thread, in the host's order: each
// disk is opened (OpenVmdk or CreateVmdk; the plug-in sends the attaches of
// all disks of the job with the first and each open awaits its own), handed
// to a pool of `parallel` copying threads that touch only local descriptors,
// and closed (CloseVmdk, which sends the detach) once its copy is done. The
// first failure stops the other copies; whatever was opened is closed before
// the failure is reported. A cancelled copy ends the job ("<job> cancelled")
// and a data path failure is reported as "<failure of that disk>: <reason>".
class SideBySideCopies {
  public:
    // copy(i, od, stop) opens the descriptors it needs and copies disk i;
    // it runs on a copying thread and stops with CopyCancelled once `stop`
    // is set (pass it as CopyOptions::cancel).
    using CopyFn = std::function<void(size_t, const OpenedDisk&, const std::atomic<bool>&)>;

    SideBySideCopies(PluginSession& s, std::string job, int parallel)
        : m_s(s), m_job(std::move(job)), m_parallel(static_cast<size_t>(std::max(1, parallel))) {}

    // storeImage(i): the path of disk i's image in the store, if any.
    void StoreImages(std::function<std::string(size_t)> storeImage) { m_storeImage = std::move(storeImage); }

    // open(i) opens disk i through the plug-in (main thread); failure(i)
    // names what failed for disk i; diskName(i) its name for CloseVmdk.
    void Run(size_t count, const std::function<OpenedDisk(size_t)>& open, const CopyFn& copy,
             const std::function<std::string(size_t)>& failure,
             const std::function<std::string(size_t)>& diskName) {
        m_slots.assign(count, Slot{});
        std::exception_ptr mainError;
        try {
            for (size_t i = 0; i < count; ++i) {
                if (CancelFlag().load()) throw CopyCancelled();
                if (Failed()) break;
                m_slots[i].od = open(i);
                m_slots[i].opened = true;
                Submit(i, copy);
                CloseFinished(diskName);
            }
        } catch (...) {
            mainError = std::current_exception();
        }
        // Wait for the copies, passing a cancellation on to them.
        {
            std::unique_lock<std::mutex> lock(m_mu);
            if (mainError) m_stop = m_stopFlag = true;
            while (m_running > 0 || !m_queue.empty()) {
                if (CancelFlag().load()) m_stop = m_stopFlag = true;
                m_cv.wait_for(lock, std::chrono::milliseconds(100));
            }
            m_quit = true;
            m_cv.notify_all();
        }
        for (auto& t : m_threads) t.join();
        m_threads.clear();
        std::exception_ptr error = mainError;
        for (size_t i = 0; i < count && !error; ++i)
            if (m_slots[i].error && !IsCancelled(m_slots[i].error)) error = m_slots[i].error, m_failedAt = i;
        for (size_t i = 0; i < count && !error; ++i)
            if (m_slots[i].error) error = m_slots[i].error, m_failedAt = i;
        if (!error) {
            CloseFinished(diskName);  // throws when a close fails
            return;
        }
        // Every disk still open is closed quietly; the first failure counts.
        for (auto& slot : m_slots)
            if (slot.opened && !slot.closed) {
                slot.closed = true;
                m_s->CloseVmdk(slot.od.handle);
            }
        try {
            std::rethrow_exception(error);
        } catch (const CopyCancelled&) {
            throw CommandError(m_job + " cancelled; what the job created was removed", kExitCancelled);
        } catch (const DataPathError& e) {
            // A failure that names the image in the store is the store's
            // (exit 3), whichever side of the copy it was on.
            const std::string reason = e.what();
            const std::string image = m_storeImage ? m_storeImage(m_failedAt) : std::string();
            const bool store = !image.empty() && reason.find(image) != std::string::npos;
            throw CommandError((store ? "store: " : "") + failure(m_failedAt) + ": " + reason,
                               store ? kExitStore : kExitFailed);
        }
    }

  private:
    struct Slot {
        OpenedDisk od;
        bool opened = false;
        bool done = false;
        bool closed = false;
        std::exception_ptr error;
    };

    static bool IsCancelled(const std::exception_ptr& e) {
        try {
            std::rethrow_exception(e);
        } catch (const CopyCancelled&) {
            return true;
        } catch (...) {
            return false;
        }
    }

    bool Failed() {
        std::lock_guard<std::mutex> lock(m_mu);
        return m_stop;
    }

    void Submit(size_t i, const CopyFn& copy) {
        std::lock_guard<std::mutex> lock(m_mu);
        m_queue.push_back(i);
        if (m_threads.size() < m_parallel && m_threads.size() < m_queue.size() + m_running)
            m_threads.emplace_back([this, &copy] { Work(copy); });
        m_cv.notify_all();
    }

    void Work(const CopyFn& copy) {
        std::unique_lock<std::mutex> lock(m_mu);
        for (;;) {
            m_cv.wait(lock, [this] { return m_quit || !m_queue.empty(); });
            if (m_queue.empty()) return;
            const size_t i = m_queue.front();
            m_queue.pop_front();
            ++m_running;
            const OpenedDisk od = m_slots[i].od;
            lock.unlock();
            std::exception_ptr error;
            try {
                copy(i, od, m_stopFlag);
            } catch (...) {
                error = std::current_exception();
            }
            lock.lock();
            m_slots[i].error = error;
            m_slots[i].done = true;
            if (error) {
                m_stop = true;
                m_stopFlag = true;
            }
            --m_running;
            m_cv.notify_all();
        }
    }

    // Closes, in order, the disks whose copy ended well (main thread).
    void CloseFinished(const std::function<std::string(size_t)>& diskName) {
        for (size_t i = 0; i < m_slots.size(); ++i) {
            {
                std::lock_guard<std::mutex> lock(m_mu);
                if (m_stop) m_stopFlag = true;
                if (!m_slots[i].opened || m_slots[i].closed || !m_slots[i].done || m_slots[i].error) continue;
                m_slots[i].closed = true;
            }
            if (!m_s->CloseVmdk(m_slots[i].od.handle)) m_s.Fail("CloseVmdk of disk " + diskName(i));
        }
    }

    PluginSession& m_s;
    std::string m_job;
    size_t m_parallel;
    std::vector<Slot> m_slots;
    std::mutex m_mu;
    std::condition_variable m_cv;
    std::deque<size_t> m_queue;
    std::vector<std::thread> m_threads;
    size_t m_running = 0;
    bool m_stop = false;                  // a failure: open no more disks
    std::atomic<bool> m_stopFlag{false};  // the copies' cancel flag
    bool m_quit = false;
    size_t m_failedAt = 0;
    std::function<std::string(size_t)> m_storeImage;
};

// Progress of copies side by side: each disk has its own, drawn one at a
// time under a lock.
class SharedProgress {
  public:
    explicit SharedProgress(const GlobalOptions& g)
        : m_out(ProgressStream(g)), m_mode(Progress::ModeFor(m_out, g.quiet)) {}
    // The progress of one disk, to use from its copying thread.
    struct Disk {
        SharedProgress* owner;
        Progress progress;
        void Start(const std::string& label, uint64_t total, uint64_t dataTotal) {
            std::lock_guard<std::mutex> lock(owner->m_mu);
            progress.Start(label, total, dataTotal);
        }
        void Update(uint64_t done, uint64_t data) {
            std::lock_guard<std::mutex> lock(owner->m_mu);
            progress.Update(done, data);
        }
        void Finish(uint64_t data, double seconds) {
            std::lock_guard<std::mutex> lock(owner->m_mu);
            progress.Finish(data, seconds);
        }
    };
    Disk For() { return Disk{this, Progress(m_out, m_mode)}; }

  private:
    FILE* m_out;
    Progress::Mode m_mode;
    std::mutex m_mu;
};

std::string ShortName(const std::string& uriOrName) {
    size_t slash = uriOrName.rfind('/');
    return slash == std::string::npos ? uriOrName : uriOrName.substr(slash + 1);
}

// Bytes inside the data extents of a source (SEEK_DATA/SEEK_HOLE), for the
// progress's time left; 0 when the source cannot tell. The file offset is
// left at 0.
uint64_t DataExtentBytes(int fd, uint64_t size) {
    uint64_t sum = 0;
    off_t pos = 0;
    while (static_cast<uint64_t>(pos) < size) {
        off_t data = ::lseek(fd, pos, SEEK_DATA);
        if (data < 0) {
            if (errno != ENXIO) sum = 0;  // ENXIO: no data after pos
            break;
        }
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) {
            sum = 0;
            break;
        }
        sum += std::min<uint64_t>(static_cast<uint64_t>(hole), size) - static_cast<uint64_t>(data);
        pos = hole;
    }
    ::lseek(fd, 0, SEEK_SET);
    return sum;
}

// The cloud's rule for resource names, as error messages state it.
const char* const kNameRule =
    "1 to 63 lower-case letters, digits or hyphens, starting with a letter and not ending with a hyphen";

// Refuses, as a command-line error, a name that would not reach the resource
// it names (a path such as "..", a slash); a zone may be given as its URL.
void CheckName(const std::string& option, const std::string& value, const char* what,
               bool uriAllowed = false) {
    if (value.empty()) return;
    bool ok = CloudNames::IsValidName(uriAllowed ? ShortName(value) : value);
    for (size_t start = 0; ok && uriAllowed && start < value.size();) {
        size_t end = std::min(value.find('/', start), value.size());
        const std::string seg = value.substr(start, end - start);
        ok = seg != "." && seg != "..";
        start = end + 1;
    }
    if (!ok)
        throw CommandError(option + " \"" + value + "\" is not a valid " + what + " name (" + kNameRule + ")",
                           kExitUsage);
}

// A project id: lowercase letters, digits and hyphens (a domain-scoped one
// also '.' and ':'), no path.
void CheckProject(const std::string& option, const std::string& value) {
    if (value.empty()) return;
    bool ok = value.size() <= 100 && value[0] >= 'a' && value[0] <= 'z' &&
              std::all_of(value.begin(), value.end(),
                          [](char c) {
                              return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                                     c == '.' || c == ':';
                          }) &&
              value.find("..") == std::string::npos;
    if (!ok) throw CommandError(option + " \"" + value + "\" is not a valid project id", kExitUsage);
}

// The instance whose backups a store command works on: the one named, else
// the only instance with backups in the store. A store holding several is a
// command-line error that lists them.
std::string InstanceInStore(const std::string& store, const std::string& instance,
                            const std::string& command) {
    std::error_code ec;
    if (!instance.empty() || fs::exists(fs::path(store) / "manifest.json", ec) ||
        !fs::is_directory(store, ec))
        return instance;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(store, ec)) {
        const std::string name = e.path().filename().string();
        if (!name.empty() && name[0] != '.' && e.is_directory(ec) && !ListBackups(store, name).empty())
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    if (names.size() == 1) return names.front();
    if (names.empty()) return instance;
    std::string list;
    for (const auto& n : names) list += (list.empty() ? "" : ", ") + n;
    throw CommandError("store " + store + " holds backups of " + std::to_string(names.size()) +
                           " instances (" + list + "): name one with " + command + " --instance",
                       kExitUsage);
}

}  // namespace

std::string EncodeProjectZone(const std::string& project, const std::string& zone) {
    // The host's encoded inventory id of a project within a zone.
    return "gce-entity:" + Arc::bin2hex(project.data(), project.size()) +
           "::" + Arc::bin2hex(zone.data(), zone.size());
}

std::pair<std::string, std::string> SplitLabel(const std::string& text) {
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        throw CommandError("label \"" + text + "\" must be KEY=VALUE", kExitUsage);
    return {text.substr(0, eq), text.substr(eq + 1)};
}

DiskRecord DiskRecordFor(const SDisk& disk) {
    DiskRecord rec;
    rec.name = disk.strName;
    rec.id = disk.strDiskId;
    rec.boot = disk.bBootDisk;
    rec.encrypted = disk.bEncrypted;
    rec.encryptionKey = disk.strEncryptionKey;
    rec.type = disk.strDiskType;
    rec.zone = disk.strZone;
    rec.locationUri = disk.strLocationUri;
    rec.replicaZones = disk.vecReplicaZones;
    for (const auto& l : disk.vecLabels) rec.labels[l.strKey] = l.strValue;
    rec.resourceJson = disk.strDiskJson;
    return rec;
}

// ---------------------------------------------------------------- backup

BackupSummary RunBackup(const GlobalOptions& g, const BackupOptions& b) {
    auto started = Clock::now();
    if (b.project.empty() || b.instance.empty() || b.store.empty())
        throw CommandError("backup needs --project, --instance and --to", kExitUsage);
    CheckName("--zone", b.zone, "zone", true);
    MountCtx ctx = FilteredMountCtx(b.excludePatterns, b.excludeLabels, b.excludeOSDisk, b.appConsistent);

    Job job(g);
    const InstanceLock lock(g.stateDir, b.project, b.instance, job.Id());
    PluginSession s(g);
    s->SetDefaultProjectId(b.project);

    const SVMInfo vm = DescribeForMount(s, job, b.project, b.instance, ctx, ShortName(b.zone));
    return CopyMountedBackup(g, s, job, ctx, b.store, vm.vecDisks, started);
}

BackupSummary CopyMountedBackup(const GlobalOptions& g, PluginSession& s, const Job& job, MountCtx& ctx,
                                const std::string& store, const std::vector<SDisk>& sourceDisks,
                                Clock::time_point started, const std::function<void()>& beforeUnmount) {
    const std::string backupId = MakeBackupId(std::time(nullptr), job.Id());
    // The store is prepared before the mount: a store that cannot be written
    // fails the job before anything is created in the cloud.
    // The partial directory is entered in the state directory first, so that
    // `cleanup` can remove it should this process die before it is renamed.
    // A repository (repository.json at its root) gets chunks and indexes,
    // any other store full images.
    std::unique_ptr<PartialBackupRecord> partialRecord;
    std::unique_ptr<BackupWriter> writer;
    std::unique_ptr<RepoBackupTarget> repoTarget;
    try {
        repoTarget = RepoBackupTarget::Open(store, job.Id());
        const std::string root = repoTarget ? repoTarget->BackupsRoot() : store;
        partialRecord = std::make_unique<PartialBackupRecord>(
            g.stateDir, job.Id(), BackupWriter::PartialDirFor(root, ctx.strVMName, backupId));
        writer = std::make_unique<BackupWriter>(root, ctx.strVMName, backupId);
    } catch (const StoreError& e) {
        throw CommandError(std::string("store: ") + e.what(), kExitStore);
    }

    const bool appConsistentRequested = ctx.bAppConsistent;
    const Progress::Mode mode = Progress::ModeFor(ProgressStream(g), g.quiet);
    Phase mountPhase(ProgressStream(g), mode,
                     ctx.strVMName + ": taking snapshots and making disks from them");
    const auto mountStarted = Clock::now();
    const bool mounted = [&] {
        PhaseCounts counts(mountPhase);
        return s->MountVM(ctx);
    }();
    const double mountSeconds = Since(mountStarted);
    if (!mounted) {
        if (CancelFlag().load()) {
            // The plug-in's own clean-up ran under the cancel flag; run it again in full.
            PrepareCleanup();
            s->UnmountVM(ctx);
        }
        s.Fail("MountVM of " + ctx.strVMName);
    }
    // From here on the mount is undone whatever happens.
    UndoGuard unmounter([&] { s->UnmountVM(ctx); });

    std::vector<VMInfoStructs::SMountInfoFull> items;
    if (!s->GetFullMountInfo(ctx, items)) s.Fail("GetFullMountInfo of " + ctx.strVMName);
    size_t ready = 0;
    for (const auto& item : items) ready += item.nType == 1 && !item.vecDisks.empty();
    mountPhase.Done(std::to_string(ready) + " disk(s) ready to read");

    Manifest m;
    m.backupId = backupId;
    m.instance = ctx.strVMName;
    m.instanceId = ctx.vmInfo.strGuid.empty() ? ctx.strVMGuid : ctx.vmInfo.strGuid;
    m.project = ctx.vmInfo.strProjectId.empty() ? ctx.strProjectId : ctx.vmInfo.strProjectId;
    m.zone = ctx.vmInfo.strZone;
    m.machineType = ctx.vmInfo.strInstanceType;
    m.guestOS = ctx.vmInfo.strGuestOS;
    m.time = Rfc3339(std::time(nullptr));
    m.jobId = job.Id();
    // The manifest says what was asked for and whether it was honoured.
    m.appConsistent = appConsistentRequested;
    m.crashConsistentFallback = CrashConsistentFallback(appConsistentRequested, ctx);
    if (m.crashConsistentFallback) {
        const std::string line = CrashConsistentFallbackLine(ctx);
        std::fprintf(stderr, "gcebackup: warning: %s\n", line.c_str());
        m.warnings.push_back(line);
    }
    m.digestBlockSize = kBlockSize;
    if (repoTarget) m.format = repo::kManifestFormat;

    SharedProgress progress(g);
    BackupSummary sum;
    std::vector<const SDisk*> toRead;
    for (const auto& item : items)
        if (item.nType == 1 && !item.vecDisks.empty()) toRead.push_back(&item.vecDisks.front());
    std::vector<DiskRecord> records(toRead.size());
    CopySpan span;
    for (size_t i = 0; i < toRead.size(); ++i) {
        records[i] = DiskRecordFor(*toRead[i]);
        records[i].file = writer->NewImagePath(toRead[i]->strName, repoTarget ? ".index" : ".img");
    }
    SideBySideCopies copies(s, "backup", g.parallel);
    copies.StoreImages([&](size_t i) { return writer->Absolute(records[i].file); });
    copies.Run(
        toRead.size(),
        [&](size_t i) {
            ThrowIfCancelled("backup");
            return OpenDisk(s, ctx.strVMName, ctx.strVMGuid, *toRead[i], false);
        },
        [&](size_t i, const OpenedDisk& od, const std::atomic<bool>& stop) {
            DiskRecord& rec = records[i];
            Fd src(OpenDevice(od.device, false));
            uint64_t size = DeviceSize(src.fd, od.device);
            std::string image = writer->Absolute(rec.file);
            if (repoTarget) {
                SharedProgress::Disk p = progress.For();
                p.Start(rec.name, size, g.quiet ? 0 : DataExtentBytes(src.fd, size));
                const auto copyStarted = Clock::now();
                repo::StoreDiskResult r;
                try {
                    r = repoTarget->StoreDisk(src.fd, size, od.device, image, &stop,
                                              [&](uint64_t done, uint64_t data) { p.Update(done, data); });
                } catch (const StoreError& e) {
                    throw CommandError(std::string("store: ") + e.what(), kExitStore);
                }
                span.Add(copyStarted, Clock::now());
                p.Finish(r.dataBytes, r.seconds);
                rec.sizeBytes = size;
                rec.dataBytes = r.dataBytes;
                rec.sha256 = r.sha256;
                return;
            }
            Fd dst(::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
            if (dst.fd < 0)
                throw CommandError("store: cannot create " + image + ": " + std::strerror(errno), kExitStore);
            CopyOptions o;
            o.size = size;
            o.destinationIsFile = true;
            o.cancel = &stop;
            o.chunks = ChunksPerCopy(g.parallel);
            o.sourceName = od.device;
            o.destinationName = image;
            SharedProgress::Disk p = progress.For();
            p.Start(rec.name, size, g.quiet ? 0 : DataExtentBytes(src.fd, size));
            o.progress = [&](uint64_t done, uint64_t data) { p.Update(done, data); };
            const auto copyStarted = Clock::now();
            CopyResult r = CopyDisk(src.fd, dst.fd, o);
            span.Add(copyStarted, Clock::now());
            p.Finish(r.dataBytes, r.seconds);
            rec.sizeBytes = size;
            rec.dataBytes = r.dataBytes;
            rec.sha256 = r.sha256;
        },
        [&](size_t i) { return "reading disk " + records[i].name; },
        [&](size_t i) { return records[i].name; });
    sum.copySeconds = span.Seconds();
    for (auto& rec : records) m.disks.push_back(std::move(rec));
    for (const auto& item : items) {
        if (item.nType != 0 || item.vecDisks.empty()) continue;
        try {
            m.files.push_back(writer->AddConfigFile(item.vecDisks.front().strPath));
        } catch (const StoreError& e) {
            throw CommandError(std::string("store: ") + e.what(), kExitStore);
        }
    }
    Describe(ctx.vecFailures, m.warnings);
    // Disks the job's filters left out: those the mount marked, else every
    // disk of the instance that was neither read nor reported as failed.
    for (const auto& d : ctx.vmInfo.vecDisks)
        if (d.bFiltered) m.excludedDisks.push_back(d.strName);
    if (m.excludedDisks.empty()) {
        for (const auto& d : sourceDisks) {
            bool read = std::any_of(m.disks.begin(), m.disks.end(),
                                    [&](const DiskRecord& r) { return r.name == d.strName; });
            bool failed =
                std::any_of(ctx.vecFailures.begin(), ctx.vecFailures.end(),
                            [&](const VMInfoStructs::SFailure& f) { return f.strItemName == d.strName; });
            if (!read && !failed) m.excludedDisks.push_back(d.strName);
        }
    }
    for (const auto& d : sourceDisks) {
        const auto named = [&](const std::string& n) { return n == d.strName; };
        if (std::none_of(m.disks.begin(), m.disks.end(),
                         [&](const DiskRecord& r) { return named(r.name); }) &&
            std::none_of(m.excludedDisks.begin(), m.excludedDisks.end(), named))
            sum.missedDisks.push_back(d.strName);
    }
    sum.warnings = m.warnings;
    ThrowIfCancelled("backup");
    if (m.disks.empty())
        throw CommandError("backup of " + ctx.strVMName + " found no disk to read (all filtered?)");

    if (beforeUnmount) beforeUnmount();
    unmounter.armed = false;
    PrepareCleanup();
    const auto unmountStarted = Clock::now();
    {
        Phase phase(ProgressStream(g), mode, ctx.strVMName + ": removing the snapshots and disks");
        if (!s->UnmountVM(ctx)) s.Fail("UnmountVM of " + ctx.strVMName);
        phase.Done("done");
    }
    sum.unmountSeconds = Since(unmountStarted);
    sum.mountSeconds = mountSeconds;
    sum.windowSeconds = Since(mountStarted);
    try {
        writer->Commit(m);
        if (repoTarget) repoTarget->Publish(writer->FinalDir());
    } catch (const StoreError& e) {
        throw CommandError(std::string("store: ") + e.what(), kExitStore);
    }
    sum.backupDir = writer->FinalDir();
    sum.backupLocation = sum.backupDir;
    if (repoTarget && repo::IsBucketUrl(repoTarget->Location()))
        sum.backupLocation = repoTarget->Location() + "/backups/" + m.instance + "/" + backupId;
    if (repoTarget) {
        sum.repository = true;
        sum.storedBytes = repoTarget->StoredBytes();
        sum.newChunks = repoTarget->NewChunks();
        sum.reusedChunks = repoTarget->ReusedChunks();
    }
    sum.backupId = backupId;
    sum.instance = m.instance;
    sum.jobId = job.Id();
    sum.sizeBytes = m.TotalSize();
    sum.dataBytes = m.TotalData();
    sum.disks = m.disks.size();
    sum.totalSeconds = Since(started);
    return sum;
}

int CmdBackup(const GlobalOptions& g, const BackupOptions& b) {
    BackupSummary s = RunBackup(g, b);
    // A backup that lacks a disk of the instance is kept (what it holds was
    // read whole), but the job failed: whoever checks the exit code must not
    // believe the instance is protected.
    std::string incomplete;
    if (!s.missedDisks.empty()) {
        incomplete = "incomplete backup " + s.backupId + " of " + s.instance + ": " +
                     std::to_string(s.missedDisks.size()) + " disk(s) not backed up (";
        for (size_t i = 0; i < s.missedDisks.size(); ++i) incomplete += (i ? ", " : "") + s.missedDisks[i];
        incomplete += ")";
        for (const auto& w : s.warnings) incomplete += "; " + w;
    }
    if (g.json) {
        Manifest m = LoadManifest(s.backupDir);
        json j = json::parse(ManifestToJson(m));
        for (auto& d : j["disks"]) d.erase("resource");
        PrintJson({{"ok", incomplete.empty()},
                   {"incomplete", !incomplete.empty()},
                   {"error", incomplete.empty() ? json() : json(incomplete)},
                   {"missedDisks", s.missedDisks},
                   {"command", "backup"},
                   {"backupDir", s.backupLocation},
                   {"backupId", s.backupId},
                   {"jobId", s.jobId},
                   {"sizeBytes", s.sizeBytes},
                   {"dataBytes", s.dataBytes},
                   {"copySeconds", s.copySeconds},
                   {"mountSeconds", s.mountSeconds},
                   {"unmountSeconds", s.unmountSeconds},
                   {"windowSeconds", s.windowSeconds},
                   {"seconds", s.totalSeconds},
                   {"repository", s.repository ? json{{"storedBytes", s.storedBytes},
                                                      {"newChunks", s.newChunks},
                                                      {"reusedChunks", s.reusedChunks}}
                                               : json()},
                   {"manifest", j}});
    } else {
        std::printf("Backup %s of %s saved in %s\n  %zu disk(s), %s, %s of data, job %lld, %s\n",
                    s.backupId.c_str(), s.instance.c_str(), s.backupLocation.c_str(), s.disks,
                    HumanBytes(s.sizeBytes).c_str(), HumanBytes(s.dataBytes).c_str(),
                    static_cast<long long>(s.jobId), HumanDuration(s.totalSeconds).c_str());
        if (s.repository)
            std::printf("  repository: %s stored in %llu new chunk(s), %llu chunk(s) were there already\n",
                        HumanBytes(s.storedBytes).c_str(), static_cast<unsigned long long>(s.newChunks),
                        static_cast<unsigned long long>(s.reusedChunks));
        for (const auto& w : s.warnings) std::printf("  warning: %s\n", w.c_str());
    }
    if (incomplete.empty()) return kExitOk;
    std::fprintf(stderr, "gcebackup: error: %s\n", incomplete.c_str());
    return kExitFailed;
}

// ---------------------------------------------------------------- restore

namespace {

// A value the cloud's grammar refuses is a bad command line (exit 2).
void RequireCloudName(const std::string& option, const std::string& value) {
    if (!value.empty() && !CloudNames::IsValidName(value))
        throw CommandError(option + " \"" + value + "\" is not a valid name (" + kNameRule + ")", kExitUsage);
}

// A network or subnetwork: a name, or a resource path or URI of another project's.
void RequireCloudNameOrPath(const std::string& option, const std::string& value) {
    if (value.find('/') == std::string::npos) return RequireCloudName(option, value);
    for (char c : value)
        if (!std::isalnum(static_cast<unsigned char>(c)) && std::string("-_./:").find(c) == std::string::npos)
            throw CommandError(option + " \"" + value + "\" is not a valid name or resource path",
                               kExitUsage);
    RequireCloudName(option, ShortName(value));
}

}  // namespace

void RequireSourceMachineTypeOffered(PluginSession& s, const std::string& project, const std::string& zone,
                                     const std::string& type) {
    std::vector<VMInfoStructs::SVMSizeInfo> sizes;
    // A zone whose types cannot be listed is refused by the plug-in's own
    // destination check, with the cloud's message.
    if (!s->GetAvailableVMSizesForHost(EncodeProjectZone(project, zone), sizes, 0, 0)) return;
    std::vector<std::string> offered;
    for (const auto& size : sizes) offered.push_back(size.strName);
    if (!CloudNames::IsMachineTypeOffered(type, offered))
        throw CommandError("zone " + zone + " does not offer the source's machine type " + type +
                           "; restore with --machine-type auto (the closest type offered there) or "
                           "--machine-type TYPE");
}

void CheckRestoreDestinationOptions(const std::string& asName, const std::string& zone,
                                    const std::string& region, const std::string& machineType,
                                    const std::string& network, const std::string& subnet) {
    RequireCloudName("--as", asName);
    RequireCloudName("--zone", zone);
    RequireCloudName("--region", region);
    if (machineType != "auto") RequireCloudName("--machine-type", machineType);
    RequireCloudNameOrPath("--network", network);
    RequireCloudNameOrPath("--subnet", subnet);
}

namespace {

std::string InPlaceRestoreDir(const std::string& stateDir) {
    return stateDir + "/in-place-restores";
}

// While a restore over an instance whose disks keep their names runs (the
// instance and its disks are deleted before the new disks can be made under
// those names): what `cleanup` needs to finish it from the store if the job
// dies. Written before the instance is touched; kept when the restore fails
// (the instance may be gone), removed when it succeeds.
class InPlaceRestoreRecord : public InPlaceJobRecord {
  public:
    InPlaceRestoreRecord(const std::string& stateDir, int64_t jobId, const RestoreOptions& ro,
                         const std::string& instance, const std::string& backupId, const std::string& target,
                         const std::string& project) {
        std::error_code ec;
        json entry = {{"store", fs::absolute(ro.store, ec).lexically_normal().string()},
                      {"instance", instance},
                      {"backupId", backupId},
                      {"target", target},
                      {"targetProject", project},
                      {"as", ro.asName},
                      {"project", ro.project},
                      {"zone", ro.zone},
                      {"region", ro.region},
                      {"machineType", ro.machineType},
                      {"network", ro.network},
                      {"subnet", ro.subnet},
                      {"powerOn", ro.powerOn},
                      {"converted", ro.converted},
                      {"guestOS", ro.guestOS},
                      {"cpus", ro.cpus},
                      {"memoryMB", ro.memoryMB}};
        Write(InPlaceRestoreDir(stateDir), jobId, std::move(entry), "restore");
    }
};

// Finishes the in-place restores whose jobs died (all, or only those of
// instance `target` of `project`): where the instance is gone, the restore
// is run again from the store; where it exists, there is nothing to finish.
// Records of finished ones are removed.
std::vector<FinishedRevert> FinishDeadInPlaceRestores(const GlobalOptions& g, const std::string& target = "",
                                                      const std::string& project = "") {
    std::vector<FinishedRevert> out;
    std::error_code ec;
    for (const auto& [record, entry] : InPlaceJobRecord::DeadRecords(InPlaceRestoreDir(g.stateDir))) {
        FinishedRevert done;
        done.instance = entry.value("target", "");
        done.project = entry.value("targetProject", "");
        if (!target.empty() && (done.instance != target || done.project != project)) continue;
        RestoreOptions o;
        o.store = entry.value("store", "");
        o.instance = entry.value("instance", "");
        o.backupId = entry.value("backupId", "");
        o.asName = entry.value("as", "");
        o.project = entry.value("project", "");
        o.zone = entry.value("zone", "");
        o.region = entry.value("region", "");
        o.machineType = entry.value("machineType", "");
        o.network = entry.value("network", "");
        o.subnet = entry.value("subnet", "");
        o.powerOn = entry.value("powerOn", false);
        o.converted = entry.value("converted", false);
        o.guestOS = entry.value("guestOS", "");
        o.cpus = entry.value("cpus", uint32_t{0});
        o.memoryMB = entry.value("memoryMB", int64_t{0});
        o.overwrite = true;
        o.keepDiskNames = true;
        o.resume = true;
        try {
            RunRestore(g, o);
            done.completed = true;
        } catch (const CommandError& err) {
            // An instance of that name: the dead job never deleted it, or
            // had made the restored one; nothing is left to finish.
            if (err.PluginCode() != VMINFO_ERR_VM_EXISTS) done.error = err.what();
        }
        if (done.error.empty()) fs::remove(record, ec);
        if (done.completed || !done.error.empty()) out.push_back(done);
    }
    return out;
}

}  // namespace

RestoreSummary RunRestore(const GlobalOptions& g, const RestoreOptions& ro) {
    auto started = Clock::now();
    if (ro.store.empty() && !ro.manifest) throw CommandError("restore needs --from", kExitUsage);
    if (ro.converted) {
        if (ro.guestOS.empty()) throw CommandError("--converted needs --guest-os", kExitUsage);
        const bool autoType = ro.machineType.empty() || ro.machineType == "auto";
        if (autoType && (ro.cpus == 0 || ro.memoryMB <= 0))
            throw CommandError(
                "--converted needs --cpus and --memory-mb to choose a machine type, or --machine-type",
                kExitUsage);
    } else if (!ro.guestOS.empty() || ro.cpus != 0 || ro.memoryMB != 0) {
        throw CommandError("--guest-os, --cpus and --memory-mb describe a --converted instance", kExitUsage);
    }
    CheckRestoreDestinationOptions(ro.asName, ro.zone, ro.region, ro.machineType, ro.network, ro.subnet);
    CheckProject("--project", ro.project);
    const std::string instance = InstanceInStore(BackupsRootOf(ro.store), ro.instance, "restore");
    std::string dir;
    Manifest m;
    std::unique_ptr<RepoBackupSource> repoSource;
    try {
        if (ro.manifest) {
            m = *ro.manifest;
        } else {
            dir = ResolveBackupDir(BackupsRootOf(ro.store), instance, ro.backupId);
            m = LoadManifest(dir);
            CheckRestorable(m, !ro.converted);
            // A backup in a repository: its structure is checked here, every
            // chunk's digest while it is written.
            repoSource = RepoBackupSource::For(dir, m);
        }
    } catch (const StoreError& e) {
        throw CommandError(std::string("store refused: ") + e.what(), kExitStore);
    }
    const std::string configDir = ro.manifest ? ro.configDir : dir + "/config";
    // Before anything is created in the cloud: the configuration files
    // match the manifest and every image is there, of its size. The images
    // themselves are read once, by the copy, which checks their digests
    // before the instance is created (`verify` reads them on its own).
    try {
        if (!ro.skipVerify && !ro.manifest && !repoSource) CheckBackupFiles(dir, m);
    } catch (const StoreError& e) {
        throw CommandError(std::string("store refused: ") + e.what(), kExitStore);
    }
    ThrowIfCancelled("restore");

    // A restore in place over an instance whose disks keep their names: an
    // earlier one that died is finished first (from its own backup), so that
    // this one finds the instance and its disks as a finished restore left
    // them, then replaces them in turn.
    const bool inPlace = ro.overwrite && ro.keepDiskNames && !ro.manifest;
    const std::string target = ro.asName.empty() ? m.instance : ro.asName;
    const std::string targetProject = ro.project.empty() ? m.project : ro.project;
    if (inPlace && !ro.resume)
        for (const FinishedRevert& f : FinishDeadInPlaceRestores(g, target, targetProject))
            if (!f.error.empty())
                throw CommandError("the restore of " + target + " by a job that died is not finished: " +
                                   f.error + " (run gcebackup cleanup)");

    Job job(g);
    PluginSession s(g);

    RestoreCtx rc;
    rc.strVMName = ro.asName.empty() ? m.instance : ro.asName;
    rc.strOriginalVMName = m.instance;
    rc.strProjectId = ro.project.empty() ? m.project : ro.project;
    rc.strZone = ro.zone.empty() ? m.zone : ro.zone;
    rc.strRegion = ro.region;
    // Without --machine-type the instance keeps the source's type; the
    // automatic choice only when asked for (or for a converted instance,
    // which has no source type).
    std::string typeWhy = "requested";
    if (ro.machineType == "auto") {
        rc.strInstanceType = "Auto Select";
        typeWhy = "auto";
    } else if (!ro.machineType.empty()) {
        rc.strInstanceType = ro.machineType;
    } else if (!ro.converted && !m.machineType.empty()) {
        rc.strInstanceType = m.machineType;
        typeWhy = "source";
    } else {
        typeWhy = "auto";
    }
    if (!ro.network.empty() || !ro.subnet.empty()) {
        VMInfoStructs::SVMNetworkCard card;
        card.strName = "nic0";
        card.strNetwork = ro.network;
        card.strSubnetwork = ro.subnet;
        rc.vecNetworkCards.push_back(card);
    }
    rc.bOverwrite = ro.overwrite;
    rc.bPowerOn = ro.powerOn;
    rc.bKeepDiskNames = ro.keepDiskNames;
    rc.bResumeReplacement = ro.resume;
    if (ro.converted) {
        rc.bConvertedInstance = true;
        rc.strGuestOS = ro.guestOS;
        rc.vmInfo.strGuestOS = ro.guestOS;
        rc.vmInfo.nNumCPUs = ro.cpus;
        rc.vmInfo.nMemoryMB = ro.memoryMB;
    }
    rc.strJobResultsDir = job.Dir() + "/results";
    std::error_code ec;
    fs::create_directories(rc.strJobResultsDir, ec);
    if (ec) throw CommandError("cannot create " + rc.strJobResultsDir + ": " + ec.message());

    for (const auto& d : m.disks) {
        SDisk item;
        item.eDiskType = 1;
        item.strVolumeName = d.name;
        item.strName = d.name;
        item.strDiskId = d.id;
        item.nSize = d.sizeBytes;
        item.nMountSize = d.sizeBytes;
        item.bBootDisk = d.boot;
        item.bEncrypted = d.encrypted;
        item.strEncryptionKey = d.encryptionKey;
        item.strDiskType = d.type;
        item.strZone = d.zone;
        item.strLocationUri = d.locationUri;
        item.vecReplicaZones = d.replicaZones;
        item.strDiskJson = d.resourceJson;
        for (const auto& [k, v] : d.labels) item.vecLabels.push_back({k, v});
        rc.vecDisks.push_back(item);
    }
    for (const auto& f : m.files) {
        std::string dst = rc.strJobResultsDir + "/" + f.name;
        if (!ro.manifest && BackupSealOf(dir)) {
            // Kept encrypted in the repository: the plug-in gets it opened.
            try {
                WriteFileSynced(
                    dst, ReadBackupFile(dir, "config/" + f.name, "configuration file", kMaxManifestBytes));
            } catch (const StoreError& e) {
                throw CommandError(std::string("store refused: ") + e.what(), kExitStore);
            }
        } else {
            fs::copy_file(configDir + "/" + f.name, dst, fs::copy_options::overwrite_existing, ec);
        }
        if (ec) throw CommandError("cannot copy " + f.name + " to the job directory: " + ec.message());
        SDisk item;
        item.eDiskType = 0;
        item.strVolumeName = f.name;
        item.strName = f.name;
        item.strPath = dst;
        item.nSize = f.sizeBytes;
        item.nMountSize = f.sizeBytes;
        rc.vecDisks.push_back(item);
    }
    if (ro.beforeInit) ro.beforeInit(rc);

    // As the host does after connecting: the project a request without one falls back to.
    s->SetDefaultProjectId(rc.strProjectId);
    if (typeWhy == "source")
        RequireSourceMachineTypeOffered(s, rc.strProjectId, rc.strZone, rc.strInstanceType);
    const auto cloudStarted = Clock::now();
    const Progress::Mode mode = Progress::ModeFor(ProgressStream(g), g.quiet);
    const size_t diskCount = m.disks.size();
    Phase initPhase(ProgressStream(g), mode,
                    rc.strVMName + ": creating " + std::to_string(diskCount) + " disk(s) to write");
    // Written before the instance is touched: from its deletion on, a job
    // that dies leaves the restore to `cleanup`, which finishes it.
    std::unique_ptr<InPlaceRestoreRecord> record;
    if (inPlace && !ro.resume)
        record = std::make_unique<InPlaceRestoreRecord>(
            g.stateDir, job.Id(), ro, m.instance, fs::path(dir).filename().string(), target, targetProject);
    const bool initialised = [&] {
        PhaseCounts counts(initPhase);
        return s->InitRestoreVM(rc);
    }();
    if (!initialised) {
        if (CancelFlag().load()) {
            PrepareCleanup();
            s->CleanupRestoreVM(rc);
        }
        s.Fail("InitRestoreVM of " + rc.strVMName);
    }
    initPhase.Done("attached to the proxy");
    // Any failure from here on removes what the restore created.
    UndoGuard cleaner([&] { s->CleanupRestoreVM(rc); });

    RestoreSummary sum;
    std::vector<SDisk*> toWrite;
    std::vector<size_t> manifestIndex;  // of each disk to write
    std::vector<RestoreSource> sources;
    for (auto& item : rc.vecDisks) {
        if (item.eDiskType != 1) continue;
        auto it = std::find_if(m.disks.begin(), m.disks.end(),
                               [&](const DiskRecord& d) { return d.name == item.strVolumeName; });
        if (it == m.disks.end())
            throw CommandError("the plug-in returned an unknown disk " + item.strVolumeName);
        toWrite.push_back(&item);
        manifestIndex.push_back(static_cast<size_t>(it - m.disks.begin()));
        if (ro.sourceFor) {
            sources.push_back(ro.sourceFor(*it));
        } else {
            RestoreSource s;
            s.path = dir + "/" + it->file;
            s.size = it->sizeBytes;
            s.sha256 = it->sha256;
            s.dataBytes = it->dataBytes;
            s.storeDir = dir;
            s.storeFile = it->file;
            sources.push_back(s);
        }
    }
    // An incremental replication pass writes onto disks rebuilt from the
    // standby's last snapshots: only what differs is written.
    const bool rebuilt = rc.nRestoreType == 4 && rc.nReplicationMode == 2 && !rc.bFullReplication;
    SharedProgress progress(g);
    CopySpan span;
    std::mutex sumLock;
    SideBySideCopies copies(s, "restore", g.parallel);
    copies.StoreImages(
        [&](size_t i) { return sources[i].storeDir.empty() ? std::string() : sources[i].path; });
    copies.Run(
        toWrite.size(),
        [&](size_t i) {
            ThrowIfCancelled("restore");
            return OpenDisk(s, rc.strVMName, rc.strVMGuid, *toWrite[i], true);
        },
        [&](size_t i, const OpenedDisk& od, const std::atomic<bool>& stop) {
            const SDisk& item = *toWrite[i];
            const RestoreSource& source = sources[i];
            if (repoSource) {
                Fd dst(OpenDevice(od.device, true));
                const uint64_t devSize = DeviceSize(dst.fd, od.device);
                if (devSize < source.size)
                    throw CommandError("disk " + item.strName + " on the proxy has " +
                                       std::to_string(devSize) + " bytes, the backup needs " +
                                       std::to_string(source.size));
                SharedProgress::Disk p = progress.For();
                p.Start(item.strVolumeName, source.size, source.dataBytes);
                const auto copyStarted = Clock::now();
                repo::RestoreDiskResult r;
                try {
                    r = repoSource->Write(manifestIndex[i], dst.fd, od.device, false, &stop,
                                          [&](uint64_t done, uint64_t data) { p.Update(done, data); });
                } catch (const StoreError& e) {
                    throw CommandError(std::string("store refused: ") + e.what(), kExitStore);
                }
                span.Add(copyStarted, Clock::now());
                p.Finish(r.dataBytes, r.seconds);
                std::lock_guard<std::mutex> lock(sumLock);
                sum.dataBytes += r.dataBytes;
                sum.bytesWritten += r.bytesWritten;
                sum.bytesRead += r.dataBytes;
                return;
            }
            Fd src(-1);
            try {
                // An image of the store is opened only as a regular file of it.
                src.fd = source.storeDir.empty()
                             ? OpenDevice(source.path, false)
                             : OpenBackupFile(source.storeDir, source.storeFile, "disk image");
            } catch (const StoreError& e) {
                throw CommandError(std::string("store refused: ") + e.what(), kExitStore);
            }
            Fd dst(OpenDevice(od.device, true));
            if (rebuilt) dst.fd = ReopenReadWrite(dst.fd, od.device);
            uint64_t devSize = DeviceSize(dst.fd, od.device);
            if (devSize < source.size)
                throw CommandError("disk " + item.strName + " on the proxy has " + std::to_string(devSize) +
                                   " bytes, the backup needs " + std::to_string(source.size));
            CopyOptions o;
            o.size = source.size;
            o.destinationIsFile = false;  // a new disk: zero until written
            o.cancel = &stop;
            o.chunks = ChunksPerCopy(g.parallel);
            o.sourceName = source.path;
            o.destinationName = od.device;
            // A replication pass has no digest to check; the block digests it
            // keeps are taken where they are needed.
            o.digest = !source.sha256.empty() || (!rebuilt && source.blockDigestsOut);
            o.sourceBlocks = source.blockDigestsOut;
            if (rebuilt && source.knownBlocks && item.strSnapshotName == source.knownBlocksSnapshot)
                o.destinationBlocks = source.knownBlocks;
            SharedProgress::Disk p = progress.For();
            p.Start(item.strVolumeName, source.size, source.dataBytes);
            o.progress = [&](uint64_t done, uint64_t data) { p.Update(done, data); };
            const auto copyStarted = Clock::now();
            CopyResult r = rebuilt ? SyncDisk(src.fd, dst.fd, o) : CopyDisk(src.fd, dst.fd, o);
            span.Add(copyStarted, Clock::now());
            p.Finish(r.dataBytes, r.seconds);
            // The image is read once: its digest, taken while it was
            // written, is checked here, before the instance is created.
            if (!source.sha256.empty() && r.sha256 != source.sha256)
                throw CommandError("store refused: disk image " + source.path +
                                       " does not match the manifest (SHA-256 " + r.sha256 + ", expected " +
                                       source.sha256 + ")",
                                   kExitStore);
            std::lock_guard<std::mutex> lock(sumLock);
            sum.dataBytes += r.dataBytes;
            sum.bytesWritten += r.bytesWritten;
            sum.bytesRead += r.bytesRead;
        },
        [&](size_t i) { return "writing disk " + toWrite[i]->strName; },
        [&](size_t i) { return toWrite[i]->strName; });
    sum.copySeconds = span.Seconds();
    ThrowIfCancelled("restore");
    {
        const bool boot =
            std::any_of(m.disks.begin(), m.disks.end(), [](const DiskRecord& d) { return d.boot; });
        Phase phase(ProgressStream(g), mode,
                    rc.strVMName +
                        (boot ? ": detaching the disks and creating the instance" : ": detaching the disks"));
        if (!s->PreRestoreVM(rc)) s.Fail("PreRestoreVM of " + rc.strVMName);
        if (!s->RestoreVM(rc)) s.Fail("RestoreVM of " + rc.strVMName);
        if (!s->PostRestoreVM(rc)) s.Fail("PostRestoreVM of " + rc.strVMName);
        phase.Done("done");
    }
    cleaner.armed = false;
    if (record) record->Done();
    sum.windowSeconds = Since(cloudStarted);
    if (ro.afterPost) ro.afterPost(rc);
    // The integrity snapshots of a replication pass stay the job's (and a
    // clean-up's) until the host has recorded them, which afterPost does.
    if (rc.nRestoreType == 4 && !s->CommitReplicationPass(rc))
        std::fprintf(
            stderr,
            "gcebackup: warning: the integrity snapshots of the pass are still registered as the job's; "
            "a cleanup would remove them\n");

    sum.instance = rc.strVMName;
    sum.sourceInstance = m.instance;
    // Without a boot disk the plug-in restores the disks alone; the request's
    // id is then only its clean-up id, not an instance's.
    sum.instanceCreated = std::any_of(rc.vecDisks.begin(), rc.vecDisks.end(),
                                      [](const SDisk& d) { return d.eDiskType == 1 && d.bBootDisk; });
    if (sum.instanceCreated) sum.instanceId = rc.strVMGuid;
    if (sum.instanceCreated && rc.strInstanceType != "Auto Select") {
        sum.machineType = rc.strInstanceType;
        sum.machineTypeWhy = typeWhy;
    }
    sum.project = rc.strProjectId;
    sum.zone = rc.strZone;
    sum.jobId = job.Id();
    for (const auto& item : rc.vecDisks)
        if (item.eDiskType == 1)
            sum.disks.push_back(item.strNewName.empty() ? item.strName : item.strNewName);
    sum.keptDisks = rc.vecKeptDisks;
    Describe(rc.vecFailures, sum.warnings);
    sum.totalSeconds = Since(started);
    return sum;
}

int CmdRestore(const GlobalOptions& g, const RestoreOptions& r) {
    RestoreSummary s = RunRestore(g, r);
    if (g.json) {
        PrintJson({{"ok", true},
                   {"command", "restore"},
                   {"instance", s.instance},
                   {"instanceCreated", s.instanceCreated},
                   {"instanceId", s.instanceCreated ? json(s.instanceId) : json(nullptr)},
                   {"project", s.project},
                   {"zone", s.zone},
                   {"machineType", s.machineType},
                   {"machineTypeChoice", s.machineTypeWhy},
                   {"jobId", s.jobId},
                   {"disks", s.disks},
                   {"keptDisks", s.keptDisks},
                   {"dataBytes", s.dataBytes},
                   {"bytesRead", s.bytesRead},
                   {"copySeconds", s.copySeconds},
                   {"windowSeconds", s.windowSeconds},
                   {"seconds", s.totalSeconds},
                   {"warnings", s.warnings}});
    } else if (s.instanceCreated) {
        std::printf("Restored %s (%s) in %s/%s: %zu disk(s), %s of data written, job %lld, %s\n",
                    s.instance.c_str(), s.instanceId.c_str(), s.project.c_str(), s.zone.c_str(),
                    s.disks.size(), HumanBytes(s.dataBytes).c_str(), static_cast<long long>(s.jobId),
                    HumanDuration(s.totalSeconds).c_str());
        if (!s.machineType.empty())
            std::printf("  machine type %s (%s)\n", s.machineType.c_str(),
                        s.machineTypeWhy == "source" ? "the source's"
                        : s.machineTypeWhy == "auto" ? "chosen automatically"
                                                     : "as requested");
        for (const auto& d : s.keptDisks)
            std::printf("  kept disk %s: not in the backup, detached from the replaced instance\n",
                        d.c_str());
        for (const auto& w : s.warnings) std::printf("  warning: %s\n", w.c_str());
    } else {
        // The backup holds no boot disk: no instance was made, only its disks.
        std::printf(
            "Restored the disks of %s only, in %s/%s (the backup holds no boot disk, so no instance "
            "was created): %zu disk(s), %s of data written, job %lld, %s\n",
            s.sourceInstance.c_str(), s.project.c_str(), s.zone.c_str(), s.disks.size(),
            HumanBytes(s.dataBytes).c_str(), static_cast<long long>(s.jobId),
            HumanDuration(s.totalSeconds).c_str());
        for (const auto& d : s.disks) std::printf("  disk %s\n", d.c_str());
        for (const auto& d : s.keptDisks)
            std::printf("  kept disk %s: not in the backup, detached from the replaced instance\n",
                        d.c_str());
        for (const auto& w : s.warnings)
            if (w.find("Instance not created") == std::string::npos)
                std::printf("  warning: %s\n", w.c_str());
    }
    return kExitOk;
}

// ---------------------------------------------------------------- inventory

int CmdBrowse(const GlobalOptions& g, const std::string& path) {
    // Path segments: '/' or '\' separated; the plug-in's paths use '\'.
    std::vector<std::string> segs;
    std::string cur;
    for (char c : path) {
        if (c == '/' || c == '\\') {
            if (!cur.empty()) segs.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) segs.push_back(cur);

    Job job(g);
    PluginSession s(g);
    // The host passes the chosen node with the rest of the chosen path in its
    // children; walk down level by level to find each node's id.
    VMInfoStructs::SInventoryInfo selected;
    std::vector<VMInfoStructs::SInventoryInfo> out;
    std::string joined;
    for (size_t level = 0; level <= segs.size(); ++level) {
        out.clear();
        if (!s->BrowseInventory(joined, selected, out, 0, 0)) s.Fail("BrowseInventory of \"" + joined + "\"");
        if (level == segs.size()) break;
        auto it = std::find_if(out.begin(), out.end(), [&](const VMInfoStructs::SInventoryInfo& e) {
            return e.strName == segs[level] || e.strGuid == segs[level];
        });
        if (it == out.end())
            throw CommandError("no \"" + segs[level] + "\" under \"" + joined + "\"", kExitFailed);
        VMInfoStructs::SInventoryInfo node = *it;
        node.vecChildren.clear();
        if (level == 0) {
            selected = node;
        } else {
            VMInfoStructs::SInventoryInfo* leaf = &selected;
            while (!leaf->vecChildren.empty()) leaf = &leaf->vecChildren.front();
            leaf->vecChildren.push_back(node);
        }
        joined = joined.empty() ? node.strName : joined + "\\" + node.strName;
    }
    if (g.json) {
        json arr = json::array();
        for (const auto& e : out) arr.push_back({{"name", e.strName}, {"id", e.strGuid}, {"type", e.eType}});
        PrintJson({{"ok", true}, {"command", "browse"}, {"path", joined}, {"entries", arr}});
    } else {
        for (const auto& e : out) {
            if (e.strGuid.empty() || e.strGuid == e.strName)
                std::printf("%s\n", e.strName.c_str());
            else
                std::printf("%-40s %s\n", e.strName.c_str(), e.strGuid.c_str());
        }
    }
    return kExitOk;
}

int CmdInstances(const GlobalOptions& g, const std::string& project, const std::string& zone,
                 const std::string& label) {
    Job job(g);
    PluginSession s(g);
    std::vector<SVMInfo> list;
    if (!label.empty()) {
        auto kv = SplitLabel(label);
        // The host's first string is the value and its second the key.
        if (!s->GetVMInfoListForTag(kv.second, kv.first, static_cast<EInventoryType>(1), 0, 0, list))
            s.Fail("listing instances with label " + label);
    } else if (!project.empty()) {
        std::string object = zone.empty() ? EncodeProjectZone(project, "") : EncodeProjectZone(project, zone);
        if (!s->GetVMInfoListForInventoryObject(object, static_cast<EInventoryType>(31), 0, 0, list))
            s.Fail("listing instances of project " + project);
    } else if (!zone.empty()) {
        if (!s->GetVMInfoListForInventoryObject(zone, static_cast<EInventoryType>(5), 0, 0, list))
            s.Fail("listing instances of zone " + zone);
    } else {
        if (!s->GetVMInfoListForInventoryObject("", static_cast<EInventoryType>(1), 0, 0, list))
            s.Fail("listing instances");
    }
    list.erase(std::remove_if(
                   list.begin(), list.end(),
                   [&](const SVMInfo& v) {
                       return (!project.empty() && !v.strProjectId.empty() && v.strProjectId != project) ||
                              (!zone.empty() && !v.strZone.empty() && ShortName(v.strZone) != zone);
                   }),
               list.end());
    std::sort(list.begin(), list.end(), [](const SVMInfo& a, const SVMInfo& b) {
        return std::tie(a.strProjectId, a.strZone, a.strName) <
               std::tie(b.strProjectId, b.strZone, b.strName);
    });
    if (g.json) {
        json arr = json::array();
        for (const auto& v : list) {
            json disks = json::array();
            for (const auto& d : v.vecDisks)
                disks.push_back({{"name", d.strName},
                                 {"id", d.strDiskId},
                                 {"sizeBytes", d.nSize},
                                 {"boot", d.bBootDisk}});
            arr.push_back({{"name", v.strName},
                           {"id", v.strGuid},
                           {"project", v.strProjectId},
                           {"zone", ShortName(v.strZone)},
                           {"status", v.strStatus},
                           {"machineType", ShortName(v.strInstanceType)},
                           {"disks", disks}});
        }
        PrintJson({{"ok", true}, {"command", "instances"}, {"instances", arr}});
    } else {
        std::printf("%-24s %-16s %-16s %-11s %-16s %s\n", "NAME", "PROJECT", "ZONE", "STATUS", "MACHINE TYPE",
                    "DISKS");
        for (const auto& v : list)
            std::printf("%-24s %-16s %-16s %-11s %-16s %zu\n", v.strName.c_str(), v.strProjectId.c_str(),
                        ShortName(v.strZone).c_str(), v.strStatus.c_str(),
                        ShortName(v.strInstanceType).c_str(), v.vecDisks.size());
    }
    return kExitOk;
}

int CmdPower(const GlobalOptions& g, const std::string& state, const std::string& project,
             const std::string& zone, const std::string& instance) {
    if (state != "on" && state != "off") throw CommandError("power takes \"on\" or \"off\"", kExitUsage);
    CheckProject("--project", project);
    CheckName("--zone", zone, "zone", true);
    CheckName("--instance", instance, "instance");
    Job job(g);
    PluginSession s(g);
    SVMInfo vm;
    vm.strProjectId = project;
    if (!s->GetVMInfoForVM(instance, "", "", 0, 0, vm)) s.Fail("looking up instance " + instance);
    OperationCtx op;
    op.eOperation = state == "on" ? VM_OPERATION_POWER_ON : VM_OPERATION_POWER_OFF;
    op.vmInfo = vm;
    op.vmInfo.strName = instance;
    op.vmInfo.strProjectId = project;
    if (!zone.empty()) op.vmInfo.strZone = zone;
    op.vmInfo.strZone = ShortName(op.vmInfo.strZone);
    if (!s->PerformVMOperation(op)) s.Fail("power " + state + " of " + instance);
    if (g.json)
        PrintJson({{"ok", true}, {"command", "power"}, {"instance", instance}, {"state", state}});
    else
        std::printf("Instance %s powered %s\n", instance.c_str(), state.c_str());
    return kExitOk;
}

int CmdCleanup(const GlobalOptions& g, bool removeOrphans) {
    Job job(g);
    // Partial backups of dead processes go first: they need no cloud access.
    const std::vector<std::string> partials = RemoveDeadPartialBackups(g.stateDir);
    PluginSession s(g);
    if (!s->CleanupLeftovers()) s.Fail("cleanup of the leftovers of dead jobs");
    std::vector<VMInfoStructs::SCleanupItem> items;
    s->GetCleanupReport(items);
    // In-place reverts of dead jobs: finished from their snapshots where the
    // instance is gone (the leftovers above are removed first).
    for (const FinishedRevert& r : FinishDeadInPlaceReverts(g)) {
        VMInfoStructs::SCleanupItem item;
        item.strKind = "instance";
        item.strName = r.instance;
        item.strProjectId = r.project;
        item.bCompleted = r.completed;
        item.strReason = r.error.empty() ? std::string() : "its revert in place is not finished: " + r.error;
        items.push_back(item);
    }
    // Restores in place (disks keeping their names) of dead jobs: finished
    // from their backups where the instance is gone.
    for (const FinishedRevert& r : FinishDeadInPlaceRestores(g)) {
        VMInfoStructs::SCleanupItem item;
        item.strKind = "instance";
        item.strName = r.instance;
        item.strProjectId = r.project;
        item.bCompleted = r.completed;
        item.strReason = r.error.empty() ? std::string() : "its restore in place is not finished: " + r.error;
        items.push_back(item);
    }
    // The safety net for a registry gap: what carries this proxy's creation
    // label but no job (registered or running) knows of.
    std::vector<VMInfoStructs::SCleanupItem> orphanItems;
    if (!s->FindOrphans(removeOrphans, orphanItems)) s.Fail("search for orphaned disks and snapshots");
    json orphans = json::array();
    size_t orphansLeft = 0;
    for (const auto& i : orphanItems) {
        json j = {
            {"kind", i.strKind}, {"name", i.strName}, {"project", i.strProjectId}, {"removed", i.bRemoved}};
        if (removeOrphans && !i.bRemoved) {
            j["reason"] = i.strReason;
            ++orphansLeft;
        }
        orphans.push_back(j);
    }
    json removed = json::array(), remaining = json::array(), completed = json::array();
    for (const auto& i : items) {
        json j = {{"kind", i.strKind}, {"name", i.strName}, {"project", i.strProjectId}};
        if (i.bCompleted) {
            completed.push_back(j);
        } else if (i.bRemoved) {
            removed.push_back(j);
        } else {
            j["reason"] = i.strReason;
            remaining.push_back(j);
        }
    }
    // What is left stays registered: the next `gcebackup cleanup` tries again.
    std::string error =
        remaining.empty()
            ? std::string()
            : std::to_string(remaining.size()) +
                  " leftover(s) of dead jobs could not be removed; they stay registered for the "
                  "next cleanup";
    if (orphansLeft > 0)
        error +=
            (error.empty() ? "" : "; ") + std::to_string(orphansLeft) + " orphan(s) could not be removed";
    if (g.json) {
        json doc = {{"ok", error.empty()}, {"command", "cleanup"},   {"partialBackupsRemoved", partials},
                    {"removed", removed},  {"completed", completed}, {"remaining", remaining},
                    {"orphans", orphans}};
        if (!error.empty()) doc["error"] = error;
        PrintJson(doc);
    } else {
        for (const std::string& dir : partials) std::printf("Removed partial backup %s\n", dir.c_str());
        for (const auto& j : completed)
            std::printf("Completed the replacement of %s %s (project %s) that a dead job had begun\n",
                        j["kind"].get<std::string>().c_str(), j["name"].get<std::string>().c_str(),
                        j["project"].get<std::string>().c_str());
        for (const auto& j : removed)
            std::printf("Removed %s %s (project %s)\n", j["kind"].get<std::string>().c_str(),
                        j["name"].get<std::string>().c_str(), j["project"].get<std::string>().c_str());
        for (const auto& j : remaining)
            std::printf("Could not remove %s %s (project %s): %s\n", j["kind"].get<std::string>().c_str(),
                        j["name"].get<std::string>().c_str(), j["project"].get<std::string>().c_str(),
                        j["reason"].get<std::string>().c_str());
        if (remaining.empty())
            std::printf(items.empty() && partials.empty() ? "No leftovers of dead jobs\n"
                                                          : "Leftovers of dead jobs removed\n");
        for (const auto& j : orphans) {
            const std::string what = j["kind"].get<std::string>() + " " + j["name"].get<std::string>() +
                                     " (project " + j["project"].get<std::string>() + ")";
            if (!removeOrphans)
                std::printf("Orphan %s: made by this proxy, known to no job; cleanup --orphans removes it\n",
                            what.c_str());
            else if (j["removed"].get<bool>())
                std::printf("Removed orphan %s\n", what.c_str());
            else
                std::printf("Could not remove orphan %s: %s\n", what.c_str(),
                            j["reason"].get<std::string>().c_str());
        }
    }
    if (!error.empty()) {
        std::fprintf(stderr, "gcebackup: error: %s\n", error.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

// ---------------------------------------------------------------- store

int CmdList(const GlobalOptions& g, const std::string& storeArg, const std::string& instance) {
    // A repository's key is checked before its backups are read.
    if (repo::IsRepository(storeArg)) repo::Repository::Open(storeArg);
    const std::string store = BackupsRootOf(storeArg);
    std::vector<std::string> instances;
    std::error_code ec;
    if (!instance.empty()) {
        instances.push_back(instance);
    } else {
        if (!fs::is_directory(store, ec))
            throw CommandError("store " + store + " does not exist", kExitStore);
        for (const auto& e : fs::directory_iterator(store, ec))
            if (e.is_directory() && e.path().filename().string()[0] != '.')
                instances.push_back(e.path().filename());
        std::sort(instances.begin(), instances.end());
    }
    json arr = json::array();
    for (const auto& inst : instances) {
        for (const auto& id : ListBackups(store, inst)) {
            try {
                Manifest m = LoadManifest(store + "/" + inst + "/" + id);
                // The source tells apart instances of one name in two
                // projects or zones, whose backups share the name's folder.
                arr.push_back({{"instance", inst},
                               {"backupId", id},
                               {"project", m.project},
                               {"zone", m.zone},
                               {"time", m.time},
                               {"disks", m.disks.size()},
                               {"sizeBytes", m.TotalSize()},
                               {"dataBytes", m.TotalData()}});
            } catch (const StoreError& e) {
                arr.push_back({{"instance", inst}, {"backupId", id}, {"error", e.what()}});
            }
        }
    }
    if (g.json) {
        PrintJson({{"ok", true}, {"command", "list"}, {"backups", arr}});
    } else {
        for (const auto& b : arr) {
            if (b.contains("error"))
                std::printf("%-24s %-28s unreadable: %s\n", b["instance"].get<std::string>().c_str(),
                            b["backupId"].get<std::string>().c_str(), b["error"].get<std::string>().c_str());
            else
                std::printf("%-24s %-28s %s  %zu disk(s)  %s  %s of data  %s/%s\n",
                            b["instance"].get<std::string>().c_str(),
                            b["backupId"].get<std::string>().c_str(), b["time"].get<std::string>().c_str(),
                            b["disks"].get<size_t>(), HumanBytes(b["sizeBytes"].get<uint64_t>()).c_str(),
                            HumanBytes(b["dataBytes"].get<uint64_t>()).c_str(),
                            b["project"].get<std::string>().c_str(), b["zone"].get<std::string>().c_str());
        }
    }
    return kExitOk;
}

int CmdVerify(const GlobalOptions& g, const std::string& store, const std::string& instance,
              const std::string& backupId) {
    std::string dir;
    Manifest m;
    Progress progress(ProgressStream(g), Progress::ModeFor(ProgressStream(g), g.quiet));
    const std::string chosen = InstanceInStore(BackupsRootOf(store), instance, "verify");
    try {
        dir = ResolveBackupDir(BackupsRootOf(store), chosen, backupId);
        m = LoadManifest(dir);
        std::string current;
        if (auto source = RepoBackupSource::For(dir, m)) {
            // Every chunk of every disk read and checked against its digest.
            CheckRestorable(m, false);
            for (size_t i = 0; i < m.disks.size(); ++i) {
                progress.Start("verify " + m.disks[i].name, m.disks[i].sizeBytes);
                repo::RestoreDiskResult r =
                    source->Write(i, -1, m.disks[i].name, true, &CancelFlag(),
                                  [&](uint64_t done, uint64_t) { progress.Update(done, 0); });
                progress.Finish(0, -1);
                if (r.sha256 != m.disks[i].sha256)
                    throw StoreError("disk " + m.disks[i].name + " does not match the manifest");
            }
        } else
            VerifyBackup(dir, m, [&](const std::string& name, uint64_t done, uint64_t total) {
                if (name != current) {
                    current = name;
                    progress.Start("verify " + name, total);
                }
                progress.Update(done, 0);
                if (done == total) progress.Finish(0, -1);
            });
    } catch (const StoreError& e) {
        throw CommandError(std::string("store refused: ") + e.what(), kExitStore);
    }
    if (g.json)
        PrintJson({{"ok", true}, {"command", "verify"}, {"backupDir", dir}, {"disks", m.disks.size()}});
    else
        std::printf("Backup %s is intact: %zu disk(s), %zu file(s) match the manifest\n", dir.c_str(),
                    m.disks.size(), m.files.size());
    return kExitOk;
}

}  // namespace gcebackup
