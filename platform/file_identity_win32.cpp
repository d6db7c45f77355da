#include <windows.h>

#include <cerrno>

#include "platform/file_identity.h"

namespace macgate {

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
    BY_HANDLE_FILE_INFORMATION information = {};
    bool read = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    if (!read) {
        errno = EIO;
        return PathState::kUnknown;
    }
    identity->volume = information.dwVolumeSerialNumber;
    identity->index =
        (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity->folder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return PathState::kExists;
}

}  // namespace macgate
