#include "config/startup.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "config/info_log_writer.h"
#include "config/list_load.h"
#include "config/logs.h"
#include "config/registry.h"
#include "config/state.h"
#include "platform/platform.h"

namespace macgate {
namespace {

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
    if (ErrorLog != nullptr) {
        Platform.CloseFile(ErrorLog);
        ErrorLog = nullptr;
    }
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
    // second writer is refused. Each is truncated, and must open.
    StartupHost host;
    host.logMode = "w";
    host.errorLogFallback = true;
    host.logsRequired = true;
    ListLoad load = RunStartup({errorLogPath, listPath, infoLogPath}, host);
    // Without memory for the whole list nothing is loaded, and every client
    // served.
    PublishList(load.list.release());
}

}  // namespace macgate
