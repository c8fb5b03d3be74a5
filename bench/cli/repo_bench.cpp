// Stores one disk file into a fresh repository and restores it into a file,
// through gcebackup's repository code, and prints the seconds of each step
// (the store including the sync that precedes an index) as one JSON line.
// Usage: repo_bench SOURCE REPO OUTPUT [KEY_FILE]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "cli/DataPath.h"
#include "cli/repo/Repository.h"

using namespace gcebackup;

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: repo_bench SOURCE REPO OUTPUT [KEY_FILE]\n");
        return 2;
    }
    try {
        std::vector<std::string> warnings;
        repo::Key key{};
        if (argc == 5) key = repo::ReadKeyFile(argv[4], warnings);
        repo::Repository r = repo::Repository::Init(argv[2], argc == 5 ? &key : nullptr);
        int src = ::open(argv[1], O_RDONLY | O_CLOEXEC);
        if (src < 0) {
            std::perror("open");
            return 1;
        }
        repo::StoreDiskOptions so;
        so.size = DeviceSize(src, argv[1]);
        so.sourceName = argv[1];
        // REPO_BENCH_THREADS: workers of the store and the restore (0: the default).
        const char* threads = std::getenv("REPO_BENCH_THREADS");
        so.threads = threads ? static_cast<unsigned>(std::atoi(threads)) : 0;
        const auto t0 = std::chrono::steady_clock::now();
        repo::StoreDiskResult s = repo::StoreDisk(r, src, so);
        r.Sync();
        const auto t1 = std::chrono::steady_clock::now();
        ::close(src);
        int dst = ::open(argv[3], O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        repo::RestoreDiskOptions ro;
        ro.destinationName = argv[3];
        ro.threads = so.threads;
        repo::RestoreDisk(r, s.index, dst, ro);
        const auto t2 = std::chrono::steady_clock::now();
        ::close(dst);
        std::printf(
            "{\"store\": %.4f, \"restore\": %.4f, \"dataBytes\": %llu, \"storedBytes\": %llu}\n",
            std::chrono::duration<double>(t1 - t0).count(), std::chrono::duration<double>(t2 - t1).count(),
            static_cast<unsigned long long>(s.dataBytes), static_cast<unsigned long long>(s.storedBytes));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "repo_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
