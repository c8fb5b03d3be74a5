// Copies one disk file into a sparse image through gcebackup's data path
// (digest on, image synced) and prints seconds, data bytes and peak RSS as
// one JSON line. Usage: datapath_bench SOURCE IMAGE
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include "cli/DataPath.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: datapath_bench SOURCE IMAGE\n");
        return 2;
    }
    try {
        int src = ::open(argv[1], O_RDONLY | O_CLOEXEC);
        int dst = ::open(argv[2], O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (src < 0 || dst < 0) {
            std::perror("open");
            return 1;
        }
        gcebackup::CopyOptions o;
        o.size = gcebackup::DeviceSize(src, argv[1]);
        o.sourceName = argv[1];
        o.destinationName = argv[2];
        gcebackup::CopyResult r = gcebackup::CopyDisk(src, dst, o);
        ::close(src);
        ::close(dst);
        rusage ru{};
        ::getrusage(RUSAGE_SELF, &ru);
        std::printf("{\"seconds\": %.4f, \"dataBytes\": %llu, \"maxRssKiB\": %ld}\n", r.seconds,
                    static_cast<unsigned long long>(r.dataBytes), ru.ru_maxrss);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "datapath_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
