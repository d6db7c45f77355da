// POSIX side of the platform table.
#include <cctype>
#include <cstdio>
#include <ctime>

#include "platform/platform.h"

namespace macgate {
namespace {

FILE* PosixOpenFile(const char* path, const char* mode, FileShare /*share*/) {
    return std::fopen(path, mode);
}

int PosixCloseFile(FILE* stream) {
    return std::fclose(stream);
}

int PosixFormatFile(FILE* stream, const char* format, va_list args) {
    return std::vfprintf(stream, format, args);
}

int PosixFlushFile(FILE* stream) {
    return std::fflush(stream);
}

// Reads like fgets on a Windows text-mode stream: a CR directly followed by
// an LF is one LF, and a byte 0x1A is the end of the data. The 0x1A is pushed
// back, so every later read stops at it too.
char* PosixReadLine(char* buffer, int size, FILE* stream) {
    if (size <= 0) {
        return nullptr;
    }
    int count = 0;
    flockfile(stream);
    while (count < size - 1) {
        int c = getc_unlocked(stream);
        if (c == EOF) {
            break;
        }
        if (c == 0x1A) {
            ungetc(c, stream);
            break;
        }
        if (c == '\r') {
            int next = getc_unlocked(stream);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                ungetc(next, stream);
            }
        }
        buffer[count++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    funlockfile(stream);
    if (count == 0) {
        return nullptr;
    }
    buffer[count] = '\0';
    return buffer;
}

void PosixLowerCase(char* text, unsigned length) {
    for (unsigned i = 0; i < length; ++i) {
        if (text[i] >= 'A' && text[i] <= 'Z') {
            text[i] = static_cast<char>(text[i] - 'A' + 'a');
        }
    }
}

time_t PosixNow() {
    return std::time(nullptr);
}

bool PosixLocalTime(time_t when, struct tm* out) {
    return localtime_r(&when, out) != nullptr;
}

constexpr PlatformCalls kRealCalls = {
    PosixOpenFile, PosixCloseFile, PosixFormatFile, PosixFlushFile,
    PosixReadLine, PosixLowerCase, PosixNow,        PosixLocalTime,
};

}  // namespace

PlatformCalls Platform = kRealCalls;

void RestorePlatformCalls() {
    Platform = kRealCalls;
}

}  // namespace macgate
