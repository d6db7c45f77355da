// The few operating-system calls that macgate makes, behind one table of
// function pointers. Tests replace single entries to inject failures
// ("access denied", "sharing violation", a failing write) and put the real
// calls back with RestorePlatformCalls(). This folder is the only place that
// knows which system it runs on.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace macgate {

// What other openers may do while we hold a file open. An open is granted
// only when it lets the holders keep the access they have, and they let it
// have the access it asks for: a writer that lets others read admits a
// reader that lets others write (a log viewer), and no other writer.
enum class FileShare {
    kDenyReadWrite,  // nobody else may open it at all
    kDenyWrite,      // others may read it but not write it (the list, mode "r"; both logs)
    kDenyNone,       // others may read and write it (how log viewers read a log)
};

// What the file system's own lookup says of a path.
enum class PathState {
    kExists,   // something is there (a file, or a folder or device that no open accepts)
    kMissing,  // nothing is there, or a folder on the way is missing
    kUnknown,  // the lookup failed otherwise; errno says why
};

struct PlatformCalls {
    // Opens `path` as a text-mode C stream with fopen's `mode` ("r", "w" or
    // "a") under `share`. Null when the file cannot be opened, including when
    // another holder's share mode refuses it. Never blocks.
    FILE* (*OpenFile)(const char* path, const char* mode, FileShare share);
    // Closes a stream from OpenFile, releasing its share-mode claim.
    int (*CloseFile)(FILE* stream);
    // Whether `path` exists, by the file system's own lookup (stat,
    // GetFileAttributes) rather than by opening it, which the file's rights
    // or another holder may refuse.
    PathState (*LookUpPath)(const char* path);
    // Whether OpenFile(path, "a", share) would succeed now, found without
    // changing anything: an existing file (`exists`) is opened without being
    // created, truncated or written, and closed again; otherwise a new file
    // is created only where none is (never over one that appeared since),
    // closed and removed again. False, with errno, when the open is refused.
    bool (*ProbeAppend)(const char* path, FileShare share, bool exists);
    // vfprintf.
    int (*FormatFile)(FILE* stream, const char* format, va_list args);
    // fflush.
    int (*FlushFile)(FILE* stream);
    // Appends `size` bytes of whole lines ("\n" each, written as the stream's
    // text mode writes it) to the file of `stream`, a stream opened with mode
    // "a", after what its buffer holds, in as few system writes as it can.
    // Gives how many of the bytes reached the file: all of them, or, when a
    // write fails (errno says why: ENOSPC for a full disk), the lines before
    // the failure. A line that was cut short is taken off the file again, so
    // the file only ever ends in a whole line.
    size_t (*AppendLines)(FILE* stream, const char* text, size_t size);
    // fgets in text mode: CR LF reads as LF, and a byte 0x1A ends the data.
    char* (*ReadLine)(char* buffer, int size, FILE* stream);
    // Lower-cases `length` characters in place (CharLowerBuffA on Windows;
    // ASCII letters only elsewhere, the same result for hex digits).
    void (*LowerCase)(char* text, unsigned length);
    // The current calendar time.
    time_t (*Now)();
    // Converts to local time; false when the time cannot be converted.
    bool (*LocalTime)(time_t when, struct tm* out);

    // The DHCP server's Parameters key, opened for querying values only.
    // False when it cannot be opened; otherwise `key` must be closed.
    bool (*OpenParametersKey)(void** key);
    // Queries the value `name` (ASCII) into `data`, whose size in bytes is
    // `*size` on entry; on success `*size` is the number of bytes stored. The
    // value's type is not looked at. False when the value is missing, cannot
    // be read or does not fit. On Windows this is the registry; elsewhere the
    // environment variable of the same name, UTF-8 text given back as UTF-16
    // with its terminator, as the registry gives a string value.
    bool (*QueryParameterValue)(void* key, const char* name, unsigned char* data, uint32_t* size);
    // The type (the registry's numbers, kValueString and so on) and the size
    // in bytes of the value `name`, without its data. False when it is
    // missing or cannot be read. Elsewhere than on Windows, "CalloutEnabled"
    // is a DWORD when it holds a decimal number and "CalloutDlls" a
    // multi-string whose entries are separated by ':'; every other value is
    // a string.
    bool (*QueryParameterType)(void* key, const char* name, uint32_t* type, uint32_t* size);
    // Closes a key from OpenParametersKey.
    void (*CloseParametersKey)(void* key);
    // wcstombs on the NUL-terminated UTF-16 `text`: stores at most `size`
    // bytes, and gives the number of bytes of the narrow form without its
    // NUL, or (size_t)-1 when a character has no narrow form. With a null
    // `narrow` it only measures. The C runtime's current locale on Windows,
    // UTF-8 elsewhere.
    size_t (*WideToNarrow)(char* narrow, const char16_t* text, size_t size);

    // `size` bytes of memory for the address set, or null when there is
    // none. Never throws.
    void* (*AllocateMemory)(size_t size);
    // Releases memory from AllocateMemory, given the same size; null does
    // nothing. Large blocks go back to the system at once.
    void (*FreeMemory)(void* memory, size_t size);
};

// Registry value types, by the registry's own numbers.
enum : uint32_t {
    kValueString = 1,
    kValueExpandString = 2,
    kValueBinary = 3,
    kValueDword = 4,
    kValueMultiString = 7,
};

// What WideToNarrow gives for a character that has no narrow form.
constexpr size_t kConversionFailed = static_cast<size_t>(-1);

extern PlatformCalls Platform;

// Puts every entry of Platform back to the real call.
void RestorePlatformCalls();

// Hands the whole pages within the `size` bytes at `memory`, a part of a
// block from AllocateMemory that is not read again, back to the system at
// once, so that a block read from its start can shrink as it is read. The
// block is still released with FreeMemory. Where the system cannot, nothing.
void DiscardMemory(void* memory, size_t size);

// Called with the bytes that reads of a tapped stream take from its file.
using ByteTap = void (*)(void* context, const char* bytes, size_t size);

// A stream that reads `file` (from Platform.OpenFile) and gives `tap` every
// byte it takes from it, raw, as the bytes go by: text mode's changes are
// ReadLine's, made after the tap. Close it with CloseTappedStream, which
// closes `file` too. Null, with `file` untouched, where the system cannot
// tap a stream (Windows).
FILE* TapStream(FILE* file, ByteTap tap, void* context);
int CloseTappedStream(FILE* tapped);

// Why the last OpenFile of `path` on this thread failed, `error` being the
// errno it left, in the words that every host and the tool use: "it is a
// folder", "it is a FIFO", "it is a device", "this process holds it open
// already", "another process holds it open", or else the system's text for
// `error`.
std::string WhyNotOpened(const char* path, int error);

// Sets up ProcessBarrier for this process; false when the system has none,
// and then every thread must order its own accesses.
bool StartProcessBarrier();

// Once StartProcessBarrier gave true: makes every other running thread of
// the process pass a full memory barrier before it returns, so that threads
// whose accesses need that order only against the caller can do without a
// barrier of their own. Slow (a system call); never fails.
void ProcessBarrier();

}  // namespace macgate
