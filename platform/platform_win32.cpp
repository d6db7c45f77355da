// Windows side of the platform table: the C runtime's share-mode opens and
// text mode, and the user interface library's CharLowerBuffA.
#include <share.h>
#include <windows.h>

#include <cstdio>
#include <ctime>

#include "platform/platform.h"

namespace macgate {
namespace {

FILE* WinOpenFile(const char* path, const char* mode, FileShare share) {
    return _fsopen(path, mode, share == FileShare::kDenyReadWrite ? _SH_DENYRW : _SH_DENYWR);
}

int WinCloseFile(FILE* stream) {
    return std::fclose(stream);
}

int WinFormatFile(FILE* stream, const char* format, va_list args) {
    return std::vfprintf(stream, format, args);
}

int WinFlushFile(FILE* stream) {
    return std::fflush(stream);
}

char* WinReadLine(char* buffer, int size, FILE* stream) {
    return std::fgets(buffer, size, stream);
}

void WinLowerCase(char* text, unsigned length) {
    CharLowerBuffA(text, length);
}

time_t WinNow() {
    return std::time(nullptr);
}

bool WinLocalTime(time_t when, struct tm* out) {
    return localtime_s(out, &when) == 0;
}

constexpr PlatformCalls kRealCalls = {
    WinOpenFile, WinCloseFile, WinFormatFile, WinFlushFile,
    WinReadLine, WinLowerCase, WinNow,        WinLocalTime,
};

}  // namespace

PlatformCalls Platform = kRealCalls;

void RestorePlatformCalls() {
    Platform = kRealCalls;
}

}  // namespace macgate
