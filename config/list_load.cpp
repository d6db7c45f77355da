#include "config/list_load.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "config/info_log_writer.h"
#include "config/logs.h"
#include "config/startup.h"
#include "config/state.h"
#include "filter/list_file.h"
#include "platform/file_identity.h"

namespace macgate {

void ListDeleter::operator()(LoadedList* list) const {
    FreeLoadedList(*list);
    delete list;
}

size_t ListLoad::LinesNotShown() const {
    return linesReported > shown.size() ? linesReported - shown.size() : 0;
}

namespace {

// One run of start-up: the logs it opened, closed again when it ends, by
// return or by exception.
class StartupRun {
public:
    StartupRun(const StartupHost& host, ListLoad& load) : host_(host), load_(load) {}
    StartupRun(const StartupRun&) = delete;
    StartupRun& operator=(const StartupRun&) = delete;
    ~StartupRun() {
        if (ownsErrorLog_ && ErrorLog != nullptr) {
            Platform.CloseFile(ErrorLog);
            ErrorLog = nullptr;
        }
        if (host_.infoLog == StartupHost::InfoLogUse::kOpen) {
            std::lock_guard<std::mutex> guard(InfoLogLock);
            StopInfoLogWriter();
            if (InfoLog != nullptr) {
                Platform.CloseFile(InfoLog);
                InfoLog = nullptr;
            }
        }
    }

    // False when start-up ends here.
    bool OpenErrorLog(const char* path) {
        if (path == nullptr || path[0] == '\0') {
            if (!host_.errorLogFallback) {
                return true;
            }
            ErrorLog = OpenLog(kDefaultErrorLogPath, "error log");
            ownsErrorLog_ = true;
            LogMessage(ErrorLog, "Could not read ErrorLog file from registry\n");
        } else {
            ErrorLog = OpenLog(path, "error log");
            ownsErrorLog_ = true;
        }
        return ErrorLog != nullptr || !host_.logsRequired;
    }

    bool OpenInfoLog(const char* path) {
        if (host_.infoLog != StartupHost::InfoLogUse::kOpen) {
            return true;
        }
        std::lock_guard<std::mutex> guard(InfoLogLock);
        const bool configured = path != nullptr && path[0] != '\0';
        if (!configured) {
            InfoLogEnabled = 0;
            return true;
        }
        if (std::strlen(path) < sizeof InfoLogPath) {
            std::memcpy(InfoLogPath, path, std::strlen(path) + 1);
        }
        InfoLog = OpenLog(path, "info log");
        if (InfoLog != nullptr || host_.logsRequired) {
            InfoLogEnabled = 1;
        }
        if (InfoLog == nullptr && host_.logsRequired) {
            // Nothing is loaded, so every client is served: say why.
            LogMessage(ErrorLog, "Could not open the info log file\n");
            return false;
        }
        return true;
    }

    void ReadList(const char* path);
    void WriteSummary();

    // Each diagnostic, as the loader makes it.
    static void Take(void* context, const ListDiagnostic& diagnostic);

private:
    FILE* OpenLog(const char* path, const char* role) {
        FILE* log = std::strlen(path) < kPathBufferSize
                        ? Platform.OpenFile(path, host_.logMode, kLogShare)
                        : (errno = ENAMETOOLONG, nullptr);
        if (log == nullptr) {
            if (host_.logNotOpened != nullptr) {
                host_.logNotOpened(host_.context, role, path, WhyNotOpened(path, errno));
            }
            return nullptr;
        }
        try {
            if (host_.beginLog != nullptr) {
                host_.beginLog(host_.context, log);
            }
        } catch (...) {
            Platform.CloseFile(log);
            throw;
        }
        return log;
    }

    bool WritesInfoLog() const {
        return host_.infoLog != StartupHost::InfoLogUse::kNone && InfoLogEnabled == 1;
    }

    const StartupHost& host_;
    ListLoad& load_;
    bool ownsErrorLog_ = false;
    int32_t lastReportedLine_ = -1;
};

void StartupRun::Take(void* context, const ListDiagnostic& diagnostic) {
    StartupRun& run = *static_cast<StartupRun*>(context);
    WriteListDiagnostic(diagnostic, run.WritesInfoLog());
    if (diagnostic.kind == DiagnosticKind::kActionSpecified) {
        return;
    }
    ListLoad& load = run.load_;
    // In file order, so that the reports of one line follow each other.
    if (diagnostic.fileLine != run.lastReportedLine_) {
        ++load.linesReported;
        run.lastReportedLine_ = diagnostic.fileLine;
    }
    if (load.shown.size() < kReportedLinesShown) {
        load.shown.push_back(diagnostic);  // room was reserved
        if (run.host_.reportLine != nullptr) {
            run.host_.reportLine(run.host_.context, diagnostic);
        }
    }
}

namespace {

struct Tapping {
    uint64_t count;
    bool taken;  // the host took every byte
    const StartupHost& host;
};

void CountBytes(void* context, const char* bytes, size_t size) {
    Tapping& tapping = *static_cast<Tapping*>(context);
    tapping.count += size;
    if (tapping.host.bytesRead != nullptr && tapping.taken) {
        tapping.taken = tapping.host.bytesRead(tapping.host.context, bytes, size);
    }
}

// Closes the list stream on every way out.
struct ListStream {
    FILE* stream = nullptr;
    bool tapped = false;
    ~ListStream() {
        if (stream != nullptr) {
            tapped ? CloseTappedStream(stream) : Platform.CloseFile(stream);
        }
    }
};

}  // namespace

void StartupRun::ReadList(const char* path) {
    FILE* file = std::strlen(path) < kPathBufferSize
                     ? Platform.OpenFile(path, "r", FileShare::kDenyWrite)
                     : (errno = ENAMETOOLONG, nullptr);
    if (file == nullptr) {
        load_.outOfMemory = errno == ENOMEM;
        load_.openError = WhyNotOpened(path, errno);
        return;
    }
    load_.opened = true;
    ListStream list;
    list.stream = file;
    Tapping tapping = {0, true, host_};
    FILE* tapped = TapStream(file, CountBytes, &tapping);
    if (tapped != nullptr) {
        list.stream = tapped;
        list.tapped = true;
    } else if (host_.bytesRead != nullptr && errno != ENOSYS) {
        load_.outOfMemory = true;  // the host would miss the bytes
        return;
    }
    FileIdentity before;
    const bool known = IdentifyStream(file, &before);

    try {
        load_.shown.reserve(kReportedLinesShown);
        load_.list.reset(new LoadedList);
    } catch (const std::bad_alloc&) {
        load_.outOfMemory = true;
        return;
    }
    const DiagnosticSink sink = {Take, this};
    LoadAddressList(list.stream, *load_.list, nullptr, &sink);
    if (list.tapped) {
        // The rest, after a byte 0x1A ends the data, is read for the tap.
        char rest[4096];
        while (std::fread(rest, 1, sizeof rest, list.stream) == sizeof rest) {
        }
        load_.empty = tapping.count == 0;
        if (!tapping.taken ||
            (host_.allBytesRead != nullptr && !host_.allBytesRead(host_.context))) {
            load_.list->OutOfMemory = true;
        }
    } else {
        load_.empty = known && before.size == 0;
    }

    FileIdentity afterRead;
    FileIdentity atPath;
    load_.changed =
        known && (!IdentifyStream(file, &afterRead) || !SameVersion(before, afterRead) ||
                  IdentifyFile(path, &atPath) != PathState::kExists ||
                  !SameVersion(before, atPath) || (list.tapped && tapping.count != before.size));
    load_.outOfMemory = load_.list->OutOfMemory;
    if (load_.changed || load_.outOfMemory) {
        load_.list.reset();
    }
}

void StartupRun::WriteSummary() {
    if (load_.outOfMemory) {
        LogMessage(ErrorLog, "Not enough memory to load the list\n");
    } else if (!load_.opened) {
        LogMessage(ErrorLog, "Could not open the data file\n");
        return;
    } else if (load_.changed) {
        LogMessage(ErrorLog, "The list file changed while it was read\n");
    }
    const LoadedList* list = load_.list.get();
    const bool unreadable = list != nullptr && list->UnreadableScopeLine != 0;
    if (list == nullptr || !FiltersClients(*list) || (unreadable && host_.unreadableLoadsNothing)) {
        LogMessage(ErrorLog, "File format not proper\n");
        return;
    }
    if (host_.accept != nullptr && !host_.accept(host_.context, *list)) {
        load_.refused = true;
    } else if (unreadable) {
        LogMessage(ErrorLog,
                   "The scope on line number %d names no network that can be read: every client "
                   "is dropped\n",
                   list->UnreadableScopeLine);
    } else if (WritesInfoLog()) {
        WriteInfoLogText("Successfully read mac addresses\n");
    }
}

}  // namespace

ListLoad RunStartup(const StartupPaths& paths, const StartupHost& host) {
    ListLoad load;
    StartupRun run(host, load);
    try {
        load.listFile = paths.list != nullptr ? paths.list : "";
        if (host.infoLogFirst && !run.OpenInfoLog(paths.infoLog)) {
            return load;
        }
        if (!run.OpenErrorLog(paths.errorLog)) {
            return load;
        }
        if (paths.list == nullptr || paths.list[0] == '\0') {
            LogMessage(ErrorLog, "Could Not Read Mac File From Registry\n");
            return load;
        }
        if (!host.infoLogFirst && !run.OpenInfoLog(paths.infoLog)) {
            return load;
        }
        run.ReadList(paths.list);
    } catch (const std::bad_alloc&) {
        load.list.reset();
        load.outOfMemory = true;
    }
    run.WriteSummary();
    return load;
}

}  // namespace macgate
