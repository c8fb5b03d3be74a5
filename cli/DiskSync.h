// Brings a disk that already holds data (a standby disk rebuilt from its last
// snapshot) to the content of a source, writing only what differs.
#pragma once

#include "cli/DataPath.h"

namespace gcebackup {

// Makes [0, options.size) of dstFd equal to the same range of srcFd. Both
// sides are read block by block (kBlockSize); a block that neither side holds
// data for (by SEEK_DATA / SEEK_HOLE) is not read at all. Within a block only
// the runs of pages (kPageSize) whose bytes differ are written, zeros
// included: a page the source no longer uses is cleared on the destination.
// The result's bytesWritten counts exactly the bytes written, bytesRead the
// bytes read from both sides, dataBytes and sha256 describe the source as
// CopyDisk does. options.destinationIsFile and dryRun are ignored. Throws
// DataPathError on a read or write failure and CopyCancelled when the cancel
// flag is seen.
CopyResult SyncDisk(int srcFd, int dstFd, const CopyOptions& options);

}  // namespace gcebackup
