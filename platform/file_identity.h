// Which file a path names, by the file system's own account rather than by
// its spelling: two paths name one file when they give the same identity.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace macgate {

struct FileIdentity {
    uint64_t volume = 0;  // the volume's serial number (the device elsewhere)
    uint64_t index = 0;   // the file's index on it (the inode elsewhere)
    bool folder = false;
    uint64_t size = 0;     // in bytes
    int64_t modified = 0;  // the last write, in the system's own finest unit
};

inline bool SameFile(const FileIdentity& a, const FileIdentity& b) {
    return a.volume == b.volume && a.index == b.index;
}

// The same file, of the same size, last written at the same time: what a
// reader can see of a file that nobody wrote between two looks.
inline bool SameVersion(const FileIdentity& a, const FileIdentity& b) {
    return SameFile(a, b) && a.size == b.size && a.modified == b.modified;
}

// kExists with `identity` filled (GetFileInformationByHandle on Windows,
// stat elsewhere); kMissing when nothing is there or a folder on the way is
// missing; kUnknown, with errno, when the system cannot say. The file is
// opened for no access at all, so its rights and its holders do not matter.
PathState IdentifyFile(const char* path, FileIdentity* identity);

// The identity of the file that `stream` (from Platform.OpenFile) reads, as
// it is now; false, with errno, when the system cannot say.
bool IdentifyStream(FILE* stream, FileIdentity* identity);

}  // namespace macgate
