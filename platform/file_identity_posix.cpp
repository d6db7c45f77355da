#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/file_identity.h"

namespace macgate {
namespace {

void Fill(const struct stat& status, FileIdentity* identity) {
    identity->volume = static_cast<uint64_t>(status.st_dev);
    identity->index = static_cast<uint64_t>(status.st_ino);
    identity->folder = S_ISDIR(status.st_mode);
    identity->size = static_cast<uint64_t>(status.st_size);
    identity->modified = static_cast<int64_t>(status.st_mtim.tv_sec) * 1000000000 +
                         static_cast<int64_t>(status.st_mtim.tv_nsec);
}

}  // namespace

PathState IdentifyFile(const char* path, FileIdentity* identity) {
    struct stat status {};
    if (stat(path, &status) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? PathState::kMissing : PathState::kUnknown;
    }
    Fill(status, identity);
    return PathState::kExists;
}

bool IdentifyStream(FILE* stream, FileIdentity* identity) {
    struct stat status {};
    if (fstat(fileno(stream), &status) != 0) {
        return false;
    }
    Fill(status, identity);
    return true;
}

}  // namespace macgate
