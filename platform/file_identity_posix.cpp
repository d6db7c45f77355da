#include <sys/stat.h>

#include <cerrno>

#include "platform/file_identity.h"

namespace macgate {

PathState IdentifyFile(const char* path, FileIdentity* identity) {
    struct stat status {};
    if (stat(path, &status) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? PathState::kMissing : PathState::kUnknown;
    }
    identity->volume = static_cast<uint64_t>(status.st_dev);
    identity->index = static_cast<uint64_t>(status.st_ino);
    identity->folder = S_ISDIR(status.st_mode);
    return PathState::kExists;
}

}  // namespace macgate
