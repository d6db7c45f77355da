// POSIX side of the platform table. Windows share modes are emulated so that
// the logs and the list file refuse the same opens as on Windows: a table of
// this process's open files by device and inode, and byte-range locks of the
// open file description between processes. The table does not rely on the
// locks within the process, where some file systems turn them into
// per-process locks that never conflict.
#include <fcntl.h>
#include <linux/membarrier.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include "platform/platform.h"

namespace macgate {
namespace {

// What one open may do and what it lets others do.
struct Access {
    bool reads;
    bool writes;
    bool sharesRead;
    bool sharesWrite;
};

// One stream opened by PosixOpenFile.
struct OpenClaim {
    dev_t device;
    ino_t inode;
    FILE* stream;
    Access access;
    OpenClaim* next;
};

std::mutex ClaimsLock;
OpenClaim* Claims = nullptr;

// Windows grants an open only when it permits every access that the other
// holders already have and every holder permits the access it asks for.
// Stricter in one case, to match the locks between processes below: two
// writers never share a file, even when both would let others write.
bool Compatible(const Access& held, const Access& wanted) {
    return !(wanted.writes && held.writes) && (!wanted.reads || held.sharesRead) &&
           (!wanted.writes || held.sharesWrite) && (!held.reads || wanted.sharesRead) &&
           (!held.writes || wanted.sharesWrite);
}

bool ClaimsAllow(const struct stat& file, const Access& wanted) {
    for (const OpenClaim* claim = Claims; claim != nullptr; claim = claim->next) {
        if (claim->device == file.st_dev && claim->inode == file.st_ino &&
            !Compatible(claim->access, wanted)) {
            return false;
        }
    }
    return true;
}

// Between processes, each open marks the file with a lock on one byte, far
// past the end of any list or log, for each access it has and each access
// it denies others; it is refused when another open marks the denial of an
// access it asks for, or an access that it denies. Every mark is set before
// the others are looked at, so of two racing opens at least one sees the
// other. A writer marks with write locks, the only ones a descriptor open
// for writing alone can hold, which also makes two writers refuse each
// other; a reader marks with read locks, which readers share.
enum LockMark { kMarkReads, kMarkWrites, kMarkDeniesRead, kMarkDeniesWrite, kMarkCount };
constexpr off_t kFirstMarkByte = 0x7FFFFF00;

struct flock MarkRange(int mark, short type) {
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = kFirstMarkByte + mark;
    range.l_len = 1;
    return range;
}

bool MarkedByOthers(int fd, int mark) {
    struct flock range = MarkRange(mark, F_WRLCK);
    return fcntl(fd, F_OFD_GETLK, &range) != 0 || range.l_type != F_UNLCK;
}

bool LockMarks(int fd, const Access& access) {
    const bool marks[kMarkCount] = {access.reads, access.writes, !access.sharesRead,
                                    !access.sharesWrite};
    short type = access.writes ? F_WRLCK : F_RDLCK;
    for (int mark = 0; mark < kMarkCount; ++mark) {
        struct flock range = MarkRange(mark, type);
        if (marks[mark] && fcntl(fd, F_OFD_SETLK, &range) != 0) {
            return false;
        }
    }
    return !(access.reads && MarkedByOthers(fd, kMarkDeniesRead)) &&
           !(access.writes && MarkedByOthers(fd, kMarkDeniesWrite)) &&
           !(!access.sharesRead && MarkedByOthers(fd, kMarkReads)) &&
           !(!access.sharesWrite && MarkedByOthers(fd, kMarkWrites));
}

// OpenFile with the creation flags of modes "w" and "a" given: O_CREAT as
// fopen has them, none to open only an existing file, O_CREAT | O_EXCL to
// open only a file made by this call, which is removed again on a failure.
// Who refused the last OpenClaimed on this thread, for WhyNotOpened.
enum class Refusal { kNone, kThisProcess, kOtherProcess };
thread_local Refusal LastRefusal = Refusal::kNone;

FILE* OpenClaimed(const char* path, const char* mode, FileShare share, int creation) {
    LastRefusal = Refusal::kNone;
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    bool update = std::strchr(mode, '+') != nullptr;
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    char streamMode[3] = {mode[0], update ? '+' : '\0', '\0'};
    bool reads = update;
    bool writes = update;
    switch (mode[0]) {
        case 'r':
            flags |= update ? O_RDWR : O_RDONLY;
            reads = true;
            break;
        case 'w':
            // No O_TRUNC: a refused open must leave the file as it was.
            flags |= (update ? O_RDWR : O_WRONLY) | creation;
            writes = true;
            break;
        case 'a':
            flags |= (update ? O_RDWR : O_WRONLY) | creation | O_APPEND;
            writes = true;
            break;
        default:
            errno = EINVAL;
            return nullptr;
    }
    Access access = {reads, writes, share != FileShare::kDenyReadWrite,
                     share == FileShare::kDenyNone};

    // O_NONBLOCK keeps a FIFO without a writer from hanging the open; only
    // regular files are accepted.
    int fd = open(path, flags, 0666);
    if (fd < 0) {
        return nullptr;
    }
    bool made = (flags & O_EXCL) != 0;
    auto refuse = [&](int error) -> FILE* {
        error = error != 0 ? error : errno;
        close(fd);
        if (made) {
            unlink(path);
        }
        errno = error;
        return nullptr;
    };
    struct stat file;
    if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
        return refuse(EACCES);
    }
    int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        return refuse(0);
    }

    std::lock_guard<std::mutex> guard(ClaimsLock);
    OpenClaim* claim = new (std::nothrow) OpenClaim;
    if (claim == nullptr) {
        return refuse(ENOMEM);
    }
    if (!ClaimsAllow(file, access) || !LockMarks(fd, access)) {
        LastRefusal = ClaimsAllow(file, access) ? Refusal::kOtherProcess : Refusal::kThisProcess;
        delete claim;
        return refuse(EACCES);  // what a sharing violation gives on Windows
    }
    if (mode[0] == 'w' && ftruncate(fd, 0) != 0) {
        delete claim;
        return refuse(0);
    }
    FILE* stream = fdopen(fd, streamMode);
    if (stream == nullptr) {
        delete claim;
        return refuse(0);
    }
    *claim = {file.st_dev, file.st_ino, stream, access, Claims};
    Claims = claim;
    return stream;
}

FILE* PosixOpenFile(const char* path, const char* mode, FileShare share) {
    return OpenClaimed(path, mode, share, O_CREAT);
}

// The claim goes with the stream, under the lock, so that no other open can
// see the file free while the descriptor's locks are still held.
int PosixCloseFile(FILE* stream) {
    if (stream == nullptr) {
        errno = EINVAL;
        return EOF;
    }
    std::lock_guard<std::mutex> guard(ClaimsLock);
    for (OpenClaim** link = &Claims; *link != nullptr; link = &(*link)->next) {
        if ((*link)->stream == stream) {
            OpenClaim* claim = *link;
            *link = claim->next;
            delete claim;
            break;
        }
    }
    return std::fclose(stream);
}

PathState PosixLookUpPath(const char* path) {
    struct stat entry;
    if (path == nullptr) {
        errno = EINVAL;
        return PathState::kUnknown;
    }
    if (stat(path, &entry) == 0) {
        return PathState::kExists;
    }
    return errno == ENOENT || errno == ENOTDIR ? PathState::kMissing : PathState::kUnknown;
}

bool PosixProbeAppend(const char* path, FileShare share, bool exists) {
    FILE* stream = OpenClaimed(path, "a", share, exists ? 0 : O_CREAT | O_EXCL);
    if (stream == nullptr) {
        return false;
    }
    PosixCloseFile(stream);
    if (!exists) {
        unlink(path);
    }
    return true;
}

int PosixFormatFile(FILE* stream, const char* format, va_list args) {
    return std::vfprintf(stream, format, args);
}

int PosixFlushFile(FILE* stream) {
    return std::fflush(stream);
}

// The writes follow each other without a lock: the share mode keeps every
// other writer off the file, so the end of the file is where they began.
size_t PosixAppendLines(FILE* stream, const char* text, size_t size) {
    if (std::fflush(stream) != 0) {
        return 0;
    }
    const int descriptor = fileno(stream);
    const off_t start = lseek(descriptor, 0, SEEK_END);
    size_t written = 0;
    while (written < size) {
        ssize_t count = write(descriptor, text + written, size - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            if (count == 0) {
                errno = EIO;
            }
            break;
        }
        written += static_cast<size_t>(count);
    }
    if (written == size) {
        return size;
    }
    const int error = errno;
    size_t whole = written;
    while (whole > 0 && text[whole - 1] != '\n') {
        --whole;
    }
    if (whole != written && start >= 0) {
        // Taking bytes off never needs space, so this holds on a full disk.
        while (ftruncate(descriptor, start + static_cast<off_t>(whole)) != 0 && errno == EINTR) {
        }
    }
    errno = error;
    return whole;
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

// The registry stand-in has no key to open: the values live in the
// environment. A non-null handle keeps callers' open/close pairing honest.
char ParametersKey;

bool PosixOpenParametersKey(void** key) {
    *key = &ParametersKey;
    return true;
}

// Decodes one UTF-8 sequence at `text`; gives its length in bytes, or 0 when
// it is malformed (overlong, a surrogate, past U+10FFFF, cut short).
int DecodeUtf8(const unsigned char* text, uint32_t* code) {
    // Sequence length, payload bits of the lead byte and the smallest code
    // point that needs this length, by the lead byte's high bits.
    static constexpr struct {
        unsigned char mask, pattern;
        int length;
        uint32_t least;
    } kForms[] = {{0xE0, 0xC0, 2, 0x80}, {0xF0, 0xE0, 3, 0x800}, {0xF8, 0xF0, 4, 0x10000}};
    unsigned char lead = text[0];
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    int length = 0;
    uint32_t least = 0;
    uint32_t value = 0;
    for (const auto& form : kForms) {
        if ((lead & form.mask) == form.pattern) {
            length = form.length;
            least = form.least;
            value = lead & static_cast<unsigned char>(~form.mask);
        }
    }
    if (length == 0) {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (text[i] & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *code = value;
    return length;
}

// A decimal number of at most 32 bits, as "CalloutEnabled" must hold to
// stand in for a DWORD.
bool ParseDword(const char* text, uint32_t* value) {
    uint64_t number = 0;
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
        number = number * 10 + static_cast<uint64_t>(*text - '0');
        if (number > 0xFFFFFFFFu) {
            return false;
        }
    }
    *value = static_cast<uint32_t>(number);
    return true;
}

// Gives the variable's text as the registry would give the value: a string
// as UTF-16 units and a terminator; "CalloutEnabled" holding a number as a
// DWORD; "CalloutDlls" as a multi-string, each ':' ending an entry and a
// second terminator after the last. With a null `data` it only measures.
// Fails when the bytes do not fit in `capacity`.
bool EncodeValue(const char* name, const char* value, unsigned char* data, uint32_t capacity,
                 uint32_t* size, uint32_t* type) {
    uint32_t number;
    if (std::strcmp(name, "CalloutEnabled") == 0 && ParseDword(value, &number)) {
        *type = kValueDword;
        *size = sizeof number;
        if (data != nullptr) {
            if (capacity < sizeof number) {
                return false;
            }
            unsigned char bytes[4] = {
                static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
                static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 24)};
            std::memcpy(data, bytes, sizeof bytes);
        }
        return true;
    }
    bool multi = std::strcmp(name, "CalloutDlls") == 0;
    *type = multi ? kValueMultiString : kValueString;
    const auto* text = reinterpret_cast<const unsigned char*>(value);
    uint32_t units = capacity / sizeof(char16_t);
    uint32_t count = 0;
    auto put = [&](char16_t unit) {
        if (data != nullptr) {
            if (count >= units) {
                return false;
            }
            std::memcpy(data + count * sizeof unit, &unit, sizeof unit);
        }
        ++count;
        return true;
    };
    while (*text != '\0') {
        uint32_t code;
        int length = DecodeUtf8(text, &code);
        if (length == 0) {
            return false;
        }
        text += length;
        bool stored;
        if (multi && code == ':') {
            stored = put(u'\0');
        } else if (code < 0x10000) {
            stored = put(static_cast<char16_t>(code));
        } else {
            code -= 0x10000;
            stored = put(static_cast<char16_t>(0xD800 + (code >> 10))) &&
                     put(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        }
        if (!stored) {
            return false;
        }
    }
    if (!put(u'\0') || (multi && !put(u'\0'))) {
        return false;
    }
    *size = count * sizeof(char16_t);
    return true;
}

bool PosixQueryParameterValue(void* key, const char* name, unsigned char* data, uint32_t* size) {
    if (key != &ParametersKey || name == nullptr || data == nullptr || size == nullptr) {
        return false;
    }
    const char* value = std::getenv(name);
    uint32_t type;
    return value != nullptr && EncodeValue(name, value, data, *size, size, &type);
}

bool PosixQueryParameterType(void* key, const char* name, uint32_t* type, uint32_t* size) {
    if (key != &ParametersKey || name == nullptr || type == nullptr || size == nullptr) {
        return false;
    }
    const char* value = std::getenv(name);
    return value != nullptr && EncodeValue(name, value, nullptr, 0, size, type);
}

void PosixCloseParametersKey(void*) {}

// UTF-16 to UTF-8 with wcstombs's contract: a character is stored whole or
// not at all, the NUL only when there is room, and a lone surrogate fails.
size_t PosixWideToNarrow(char* narrow, const char16_t* text, size_t size) {
    size_t total = 0;
    for (size_t i = 0; text[i] != u'\0'; ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            return kConversionFailed;
        }
        unsigned char bytes[4];
        size_t length;
        if (code < 0x80) {
            bytes[0] = static_cast<unsigned char>(code);
            length = 1;
        } else if (code < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (code >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (code & 0x3F));
            length = 2;
        } else if (code < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | (code >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (code & 0x3F));
            length = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | (code >> 18));
            bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (code & 0x3F));
            length = 4;
        }
        if (narrow != nullptr) {
            if (total + length > size) {
                return total;
            }
            std::memcpy(narrow + total, bytes, length);
        }
        total += length;
    }
    if (narrow != nullptr && total < size) {
        narrow[total] = '\0';
    }
    return total;
}

// Blocks this large are mapped on their own, so that what a load needs only
// for a while goes back to the system when it is freed; malloc would keep it
// once it has raised its own mapping threshold.
constexpr size_t kMappedBlockSize = size_t{1} << 20;
// Blocks that fill whole huge pages to within an eighth are mapped in huge
// pages, which the kernel may back with transparent huge pages: a lookup in
// a large set then misses the TLB far less often.
constexpr size_t kHugePageSize = size_t{2} << 20;

size_t HugePagesSize(size_t size) {
    return (size + kHugePageSize - 1) & ~(kHugePageSize - 1);
}

bool InHugePages(size_t size) {
    size_t rounded = HugePagesSize(size);
    return rounded >= size && rounded - size <= size / 8 && rounded + kHugePageSize > rounded;
}

size_t MappedSize(size_t size) {
    return InHugePages(size) ? HugePagesSize(size) : size;
}

void* PosixAllocateMemory(size_t size) {
    if (size < kMappedBlockSize) {
        return ::operator new(size, std::nothrow);
    }
    const int protection = PROT_READ | PROT_WRITE;
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    size_t mapped = MappedSize(size);
    if (!InHugePages(size)) {
        void* memory = mmap(nullptr, size, protection, flags, -1, 0);
        return memory == MAP_FAILED ? nullptr : memory;
    }
    // One huge page more than needed, then the ends cut off, for alignment.
    void* memory = mmap(nullptr, mapped + kHugePageSize, protection, flags, -1, 0);
    if (memory == MAP_FAILED) {
        return nullptr;
    }
    uintptr_t start = reinterpret_cast<uintptr_t>(memory);
    uintptr_t aligned = (start + kHugePageSize - 1) & ~(kHugePageSize - 1);
    if (aligned > start) {
        munmap(memory, aligned - start);
    }
    size_t tail = start + mapped + kHugePageSize - (aligned + mapped);
    if (tail > 0) {
        munmap(reinterpret_cast<void*>(aligned + mapped), tail);
    }
    madvise(reinterpret_cast<void*>(aligned), mapped, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void PosixFreeMemory(void* memory, size_t size) {
    if (memory == nullptr) {
        return;
    }
    if (size < kMappedBlockSize) {
        ::operator delete(memory);
    } else {
        munmap(memory, MappedSize(size));
    }
}

constexpr PlatformCalls kRealCalls = {
    PosixOpenFile,
    PosixCloseFile,
    PosixLookUpPath,
    PosixProbeAppend,
    PosixFormatFile,
    PosixFlushFile,
    PosixAppendLines,
    PosixReadLine,
    PosixLowerCase,
    PosixNow,
    PosixLocalTime,
    PosixOpenParametersKey,
    PosixQueryParameterValue,
    PosixQueryParameterType,
    PosixCloseParametersKey,
    PosixWideToNarrow,
    PosixAllocateMemory,
    PosixFreeMemory,
};

}  // namespace

PlatformCalls Platform = kRealCalls;

namespace {

struct Tap {
    FILE* file;
    ByteTap tap;
    void* context;
};

ssize_t ReadTapped(void* cookie, char* buffer, size_t size) {
    Tap* tap = static_cast<Tap*>(cookie);
    size_t got = std::fread(buffer, 1, size, tap->file);
    if (got == 0 && std::ferror(tap->file) != 0) {
        return -1;
    }
    tap->tap(tap->context, buffer, got);
    return static_cast<ssize_t>(got);
}

int CloseTapped(void* cookie) {
    Tap* tap = static_cast<Tap*>(cookie);
    int result = Platform.CloseFile(tap->file);
    delete tap;
    return result;
}

}  // namespace

FILE* TapStream(FILE* file, ByteTap tap, void* context) {
    Tap* cookie = new (std::nothrow) Tap{file, tap, context};
    if (cookie == nullptr) {
        return nullptr;
    }
    cookie_io_functions_t functions = {ReadTapped, nullptr, nullptr, CloseTapped};
    FILE* tapped = fopencookie(cookie, "r", functions);
    if (tapped == nullptr) {
        delete cookie;
    }
    return tapped;
}

int CloseTappedStream(FILE* tapped) {
    return std::fclose(tapped);
}

void DiscardMemory(void* memory, size_t size) {
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = (reinterpret_cast<uintptr_t>(memory) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(memory) + size) & ~(page - 1);
    if (end > start) {
        madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
    }
}

std::string WhyNotOpened(const char* path, int error) {
    struct stat entry;
    if (path != nullptr && stat(path, &entry) == 0) {
        if (S_ISDIR(entry.st_mode)) {
            return "it is a folder";
        }
        if (S_ISFIFO(entry.st_mode)) {
            return "it is a FIFO";
        }
        if (S_ISCHR(entry.st_mode) || S_ISBLK(entry.st_mode) || S_ISSOCK(entry.st_mode)) {
            return "it is a device";
        }
    }
    if (error == EACCES && LastRefusal == Refusal::kThisProcess) {
        return "this process holds it open already";
    }
    if (error == EACCES && LastRefusal == Refusal::kOtherProcess) {
        return "another process holds it open";
    }
    return std::strerror(error);
}

void RestorePlatformCalls() {
    Platform = kRealCalls;
}

bool StartProcessBarrier() {
    return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
}

void ProcessBarrier() {
    syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
}

}  // namespace macgate
