#include "config/startup.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "config/info_log_writer.h"
#include "config/logs.h"
#include "config/registry.h"
#include "config/state.h"
#include "filter/list_file.h"
#include "platform/platform.h"

namespace macgate {
namespace {

enum PathCopy {
    kNoPath,   // null or empty: not configured
    kCopied,   // in the buffer, whole
    kTooLong,  // configured, but longer than the buffer holds
};

// Copies a configured path whole or not at all: a path that would have to be
// cut is a file that cannot be opened, never a different file.
PathCopy CopyPath(const char* path, char (&buffer)[kPathBufferSize]) {
    buffer[0] = '\0';
    if (path == nullptr || path[0] == '\0') {
        return kNoPath;
    }
    size_t length = std::strlen(path);
    if (length >= sizeof buffer) {
        return kTooLong;
    }
    std::memcpy(buffer, path, length + 1);
    return kCopied;
}

FILE* OpenCopiedPath(PathCopy copy, const char* path, const char* mode, FileShare share) {
    return copy == kCopied ? Platform.OpenFile(path, mode, share) : nullptr;
}

void CloseErrorLog() {
    if (ErrorLog != nullptr) {
        Platform.CloseFile(ErrorLog);
        ErrorLog = nullptr;
    }
}

void CloseInfoLog() {
    std::lock_guard<std::mutex> guard(InfoLogLock);
    StopInfoLogWriter();
    if (InfoLog != nullptr) {
        Platform.CloseFile(InfoLog);
        InfoLog = nullptr;
    }
}

}  // namespace

void InitializeFilter() {
    char* errorLogPath = ReadParameterPath(kErrorLogFile);
    char* listPath = ReadParameterPath(kMacAddressListFile);
    char* infoLogPath = ReadParameterPath(kInfoLogFile);
    StartFilter(errorLogPath, listPath, infoLogPath);
    std::free(errorLogPath);
    std::free(listPath);
    std::free(infoLogPath);
}

void PublishList(LoadedList* list) {
    LoadedList* before = ListInUse.exchange(list);
    if (before != nullptr) {
        WaitForListReaders();
        FreeLoadedList(*before);
        delete before;
    }
}

void StopFilter() {
    CloseErrorLog();
    CloseInfoLog();
    PublishList(nullptr);
    std::lock_guard<std::mutex> guard(InfoLogLock);
    InfoLogEnabled = 0;
    std::memset(InfoLogPath, 0, sizeof InfoLogPath);
}

void StartFilter(const char* errorLogPath, const char* listPath, const char* infoLogPath) {
    // A host that starts the filter again gets a fresh start, not a second
    // holder of its own logs.
    StopFilter();

    // Both logs let others read them while they are written, so that a log
    // viewer can follow them and never keeps start-up from opening them; a
    // second writer is refused.
    char errorLogBuffer[kPathBufferSize];
    PathCopy errorLogCopy = CopyPath(errorLogPath, errorLogBuffer);
    if (errorLogCopy == kNoPath) {
        ErrorLog = Platform.OpenFile(kDefaultErrorLogPath, "w", kLogShare);
        if (ErrorLog == nullptr) {
            return;
        }
        LogMessage(ErrorLog, "Could not read ErrorLog file from registry\n");
    } else {
        ErrorLog = OpenCopiedPath(errorLogCopy, errorLogBuffer, "w", kLogShare);
        if (ErrorLog == nullptr) {
            return;
        }
    }

    char listBuffer[kPathBufferSize];
    PathCopy listCopy = CopyPath(listPath, listBuffer);
    if (listCopy == kNoPath) {
        LogMessage(ErrorLog, "Could Not Read Mac File From Registry\n");
        CloseErrorLog();
        return;
    }

    {
        std::lock_guard<std::mutex> guard(InfoLogLock);
        PathCopy infoLogCopy = CopyPath(infoLogPath, InfoLogPath);
        InfoLogEnabled = infoLogCopy == kNoPath ? 0 : 1;
        if (InfoLogEnabled == 1) {
            InfoLog = OpenCopiedPath(infoLogCopy, InfoLogPath, "w", kLogShare);
        }
    }
    if (InfoLogEnabled == 1 && InfoLog == nullptr) {
        // Nothing is loaded, so every client is served: say why.
        LogMessage(ErrorLog, "Could not open the info log file\n");
        CloseErrorLog();
        return;
    }

    FILE* list = OpenCopiedPath(listCopy, listBuffer, "r", FileShare::kDenyWrite);
    if (list == nullptr) {
        LogMessage(ErrorLog, "Could not open the data file\n");
        CloseInfoLog();
        CloseErrorLog();
        return;
    }
    // Without memory for the list nothing is loaded, and every client served.
    LoadedList* loaded = new (std::nothrow) LoadedList;
    if (loaded != nullptr) {
        LoadAddressList(list, *loaded);
        WriteListDiagnostics(*loaded);
    }
    Platform.CloseFile(list);

    if (loaded == nullptr || !FiltersClients(*loaded)) {
        LogMessage(ErrorLog, "File format not proper\n");
    } else if (loaded->UnreadableScopeLine != 0) {
        LogMessage(ErrorLog,
                   "The scope on line number %d names no network that can be read: every client "
                   "is dropped\n",
                   loaded->UnreadableScopeLine);
    } else if (InfoLogEnabled == 1) {
        std::lock_guard<std::mutex> guard(InfoLogLock);
        LogMessage(InfoLog, "Successfully read mac addresses\n");
    }
    CloseErrorLog();
    CloseInfoLog();
    PublishList(loaded);
}

}  // namespace macgate
