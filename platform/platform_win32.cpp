// Windows side of the platform table: the C runtime's share-mode opens and
// text mode, the user interface library's CharLowerBuffA, and the registry.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "platform/platform.h"

namespace macgate {
namespace {

int ShareFlag(FileShare share) {
    switch (share) {
        case FileShare::kDenyReadWrite:
            return _SH_DENYRW;
        case FileShare::kDenyWrite:
            return _SH_DENYWR;
        case FileShare::kDenyNone:
            break;
    }
    return _SH_DENYNO;
}

bool IsDiskFile(int descriptor) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    return GetFileType(handle) == FILE_TYPE_DISK;
}

// Only disk files are accepted: reading a console, pipe or device name such
// as "CON" as the list could block start-up.
// What the last WinOpenFile on this thread found, for WhyNotOpened.
thread_local DWORD LastFileType = FILE_TYPE_DISK;
thread_local unsigned long LastSystemError = 0;

FILE* WinOpenFile(const char* path, const char* mode, FileShare share) {
    LastFileType = FILE_TYPE_DISK;
    FILE* stream = _fsopen(path, mode, ShareFlag(share));
    LastSystemError = stream == nullptr ? _doserrno : 0;
    if (stream == nullptr) {
        return nullptr;
    }
    if (!IsDiskFile(_fileno(stream))) {
        LastFileType = GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))));
        std::fclose(stream);
        errno = EACCES;
        return nullptr;
    }
    return stream;
}

int WinCloseFile(FILE* stream) {
    return std::fclose(stream);
}

PathState WinLookUpPath(const char* path) {
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
        return PathState::kExists;
    }
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return PathState::kMissing;
        case ERROR_ACCESS_DENIED:
            errno = EACCES;
            return PathState::kUnknown;
        default:
            errno = EIO;
            return PathState::kUnknown;
    }
}

// The C runtime's own open under the same share flag as _fsopen's "a", so
// that it is refused exactly when WinOpenFile would be.
bool WinProbeAppend(const char* path, FileShare share, bool exists) {
    int flags = _O_WRONLY | _O_APPEND | _O_TEXT | (exists ? 0 : _O_CREAT | _O_EXCL);
    int descriptor = _sopen(path, flags, ShareFlag(share), _S_IREAD | _S_IWRITE);
    if (descriptor < 0) {
        return false;
    }
    bool disk = IsDiskFile(descriptor);
    _close(descriptor);
    if (!exists) {
        _unlink(path);
    }
    if (!disk) {
        errno = EACCES;
    }
    return disk;
}

int WinFormatFile(FILE* stream, const char* format, va_list args) {
    return std::vfprintf(stream, format, args);
}

int WinFlushFile(FILE* stream) {
    return std::fflush(stream);
}

// The C runtime's text mode, by hand: the lines go to the file's handle in
// one WriteFile, with CR LF line ends, at the end of the file (where the
// runtime's own mode "a" puts every write too).
size_t WinAppendLines(FILE* stream, const char* text, size_t size) {
    if (std::fflush(stream) != 0) {
        return 0;
    }
    std::string bytes;
    try {
        bytes.reserve(size + size / 32);
        for (size_t i = 0; i < size; ++i) {
            if (text[i] == '\n') {
                bytes.push_back('\r');
            }
            bytes.push_back(text[i]);
        }
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return 0;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    LARGE_INTEGER start = {};
    LARGE_INTEGER none = {};
    if (!SetFilePointerEx(handle, none, &start, FILE_END)) {
        errno = EIO;
        return 0;
    }
    DWORD written = 0;
    const BOOL wrote =
        WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    if (wrote && written == bytes.size()) {
        return size;
    }
    const DWORD error = wrote ? ERROR_DISK_FULL : GetLastError();
    size_t whole = written;
    while (whole > 0 && bytes[whole - 1] != '\n') {
        --whole;
    }
    if (whole != written) {
        LARGE_INTEGER end = start;
        end.QuadPart += static_cast<LONGLONG>(whole);
        if (SetFilePointerEx(handle, end, nullptr, FILE_BEGIN)) {
            SetEndOfFile(handle);
        }
    }
    size_t lineFeeds = 0;
    for (size_t i = 0; i < whole; ++i) {
        lineFeeds += bytes[i] == '\n' ? 1 : 0;
    }
    errno = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? ENOSPC : EIO;
    return whole - lineFeeds;
}

char* WinReadLine(char* buffer, int size, FILE* stream) {
    return std::fgets(buffer, size, stream);
}

// The loader only lower-cases keys that it has checked to hold hexadecimal
// digits and the prefix pad '*', which CharLowerBuffA changes as the POSIX
// side's ASCII loop does under any code page: nothing depends on its wider
// behaviour. It stays the call the list format's lower-casing is defined by,
// and the one reason the DLL imports user32.dll, a DLL of every Windows.
void WinLowerCase(char* text, unsigned length) {
    CharLowerBuffA(text, length);
}

time_t WinNow() {
    return std::time(nullptr);
}

bool WinLocalTime(time_t when, struct tm* out) {
    return localtime_s(out, &when) == 0;
}

bool WinOpenParametersKey(void** key) {
    HKEY handle;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"System\\CurrentControlSet\\Services\\DhcpServer\\Parameters", 0,
                      KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) {
        return false;
    }
    *key = handle;
    return true;
}

// Value names are short ASCII words.
bool WideValueName(const char* name, wchar_t (&wideName)[64]) {
    size_t i = 0;
    for (; name[i] != '\0'; ++i) {
        if (i + 1 >= sizeof wideName / sizeof wideName[0]) {
            return false;
        }
        wideName[i] = static_cast<unsigned char>(name[i]);
    }
    wideName[i] = L'\0';
    return true;
}

bool WinQueryParameterValue(void* key, const char* name, unsigned char* data, uint32_t* size) {
    wchar_t wideName[64];
    DWORD bytes = *size;
    if (!WideValueName(name, wideName) ||
        RegQueryValueExW(static_cast<HKEY>(key), wideName, nullptr, nullptr, data, &bytes) !=
            ERROR_SUCCESS) {
        return false;
    }
    *size = bytes;
    return true;
}

bool WinQueryParameterType(void* key, const char* name, uint32_t* type, uint32_t* size) {
    wchar_t wideName[64];
    DWORD valueType = 0;
    DWORD bytes = 0;
    if (!WideValueName(name, wideName) ||
        RegQueryValueExW(static_cast<HKEY>(key), wideName, nullptr, &valueType, nullptr, &bytes) !=
            ERROR_SUCCESS) {
        return false;
    }
    *type = valueType;
    *size = bytes;
    return true;
}

void WinCloseParametersKey(void* key) {
    RegCloseKey(static_cast<HKEY>(key));
}

// wchar_t is a UTF-16 unit on Windows, so the text is handed to wcstombs as
// it stands.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t holds one UTF-16 unit");

size_t WinWideToNarrow(char* narrow, const char16_t* text, size_t size) {
    return std::wcstombs(narrow, reinterpret_cast<const wchar_t*>(text), size);
}

// The C runtime's heap gives blocks of more than about half a megabyte
// pages of their own, and hands them back to the system when they are freed.
void* WinAllocateMemory(size_t size) {
    return ::operator new(size, std::nothrow);
}

void WinFreeMemory(void* memory, size_t) {
    ::operator delete(memory);
}

constexpr PlatformCalls kRealCalls = {
    WinOpenFile,
    WinCloseFile,
    WinLookUpPath,
    WinProbeAppend,
    WinFormatFile,
    WinFlushFile,
    WinAppendLines,
    WinReadLine,
    WinLowerCase,
    WinNow,
    WinLocalTime,
    WinOpenParametersKey,
    WinQueryParameterValue,
    WinQueryParameterType,
    WinCloseParametersKey,
    WinWideToNarrow,
    WinAllocateMemory,
    WinFreeMemory,
};

}  // namespace

PlatformCalls Platform = kRealCalls;

// The C runtime has no stream of the program's own making; the DLL reads
// its list untapped.
FILE* TapStream(FILE*, ByteTap, void*) {
    errno = ENOSYS;
    return nullptr;
}

int CloseTappedStream(FILE* tapped) {
    return Platform.CloseFile(tapped);
}

// The set's memory comes from the C runtime's heap here, whose pages are
// not the program's to hand back.
void DiscardMemory(void*, size_t) {}

std::string WhyNotOpened(const char* path, int error) {
    const DWORD attributes = path != nullptr ? GetFileAttributesA(path) : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return "it is a folder";
    }
    if (LastFileType == FILE_TYPE_PIPE) {
        return "it is a FIFO";
    }
    if (LastFileType != FILE_TYPE_DISK) {
        return "it is a device";
    }
    if (LastSystemError == ERROR_SHARING_VIOLATION || LastSystemError == ERROR_LOCK_VIOLATION) {
        return "another process holds it open";
    }
    return std::strerror(error);
}

void RestorePlatformCalls() {
    Platform = kRealCalls;
}

bool StartProcessBarrier() {
    return true;
}

void ProcessBarrier() {
    FlushProcessWriteBuffers();
}

}  // namespace macgate
