#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/file_identity.h"

namespace macgate {

namespace {

bool Fill(HANDLE file, FileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION information = {};
    if (GetFileInformationByHandle(file, &information) == 0) {
        errno = EIO;
        return false;
    }
    identity->volume = information.dwVolumeSerialNumber;
    identity->index =
        (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity->folder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    identity->size =
        (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    identity->modified = static_cast<int64_t>(
        (static_cast<uint64_t>(information.ftLastWriteTime.dwHighDateTime) << 32) |
        information.ftLastWriteTime.dwLowDateTime);
    return true;
}

}  // namespace

PathState IdentifyFile(const char* path, FileIdentity* identity) {
    // No access asked and every sharing allowed: only the identity is read.
    // A folder opens only with backup semantics.
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return PathState::kMissing;
        }
        errno = error == ERROR_ACCESS_DENIED ? EACCES : EIO;
        return PathState::kUnknown;
    }
    bool read = Fill(file, identity);
    CloseHandle(file);
    return read ? PathState::kExists : PathState::kUnknown;
}

bool IdentifyStream(FILE* stream, FileIdentity* identity) {
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (file == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    return Fill(file, identity);
}

}  // namespace macgate
