// macgate check LIST: the list loader of the library, linked in, with its
// error-log messages on standard output.
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "config/logs.h"
#include "config/state.h"
#include "filter/address_set.h"
#include "filter/list_file.h"
#include "platform/platform.h"
#include "tools/macgate/commands.h"

namespace macgate {
namespace {

int (*RealFormatFile)(FILE*, const char*, va_list) = nullptr;
int ReportedLines = 0;

// Every error-log message is one line, so counting writes counts lines.
int CountingFormatFile(FILE* stream, const char* format, va_list args) {
    if (stream == ErrorLog) {
        ++ReportedLines;
    }
    return RealFormatFile(stream, format, args);
}

}  // namespace

int RunCheck(const std::vector<std::string>& arguments) {
    if (arguments.size() != 1 || arguments[0].empty() || arguments[0][0] == '-') {
        ReportError(arguments.size() != 1 ? "check takes exactly one list file"
                                          : "unknown option '" + arguments[0] + "'");
        return kExitCannotRun;
    }
    const std::string& path = arguments[0];
    // The same open as start-up's: others may read the list but not write it.
    FILE* list = Platform.OpenFile(path.c_str(), "r", FileShare::kDenyWrite);
    ErrorLog = stdout;
    if (list == nullptr) {
        LogMessage(ErrorLog, "Could not open the data file\n");
        ErrorLog = nullptr;
        std::fflush(stdout);
        ReportError("cannot read the list file " + path);
        return kExitCannotRun;
    }
    RealFormatFile = Platform.FormatFile;
    Platform.FormatFile = CountingFormatFile;
    LoadAddressList(list);
    Platform.CloseFile(list);
    EntryCounts counts = CountEntries(AddressSet);
    size_t loaded = counts.addresses + counts.prefixes;
    if (loaded == 0) {
        LogMessage(ErrorLog, "File format not proper\n");
    }
    Platform.FormatFile = RealFormatFile;
    ErrorLog = nullptr;

    const char* lines = ReportedLines == 1 ? "" : "s";
    if (loaded == 0) {
        // Without an address the action has no effect (and may never have
        // been read), so naming one would mislead.
        std::printf("%s: no address loaded, %d line%s reported\n", path.c_str(), ReportedLines,
                    lines);
        std::printf("With no address loaded the library serves every client.\n");
    } else {
        std::printf("%s: action %s, %zu address%s and %zu prefix%s loaded, %d line%s reported\n",
                    path.c_str(), FilterAction != 0 ? "ALLOW" : "DENY", counts.addresses,
                    counts.addresses == 1 ? "" : "es", counts.prefixes,
                    counts.prefixes == 1 ? "" : "es", ReportedLines, lines);
    }
    std::fflush(stdout);
    return loaded == 0 || ReportedLines > 0 ? kExitFindings : kExitOk;
}

}  // namespace macgate
