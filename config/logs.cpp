#include "config/logs.h"

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>

#include "config/info_log_writer.h"
#include "config/state.h"
#include "platform/platform.h"

namespace macgate {

void LogMessage(FILE* stream, const char* format, ...) {
    if (stream == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    Platform.FormatFile(stream, format, args);
    va_end(args);
}

namespace {

constexpr char kDayNames[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

char* PutTwoDigits(char* out, int value) {
    out[0] = static_cast<char>('0' + value / 10 % 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
}

}  // namespace

// Built by hand rather than with strftime or asctime: those depend on the
// locale or share a static buffer between threads.
void FormatLogTimestamp(char (&text)[kTimestampTextSize]) {
    text[0] = '\0';
    struct tm local = {};
    if (!Platform.LocalTime(Platform.Now(), &local)) {
        return;
    }
    int year = local.tm_year + 1900;
    if (local.tm_wday < 0 || local.tm_wday > 6 || local.tm_mon < 0 || local.tm_mon > 11 ||
        year < 0 || year > 9999) {
        return;
    }
    char* out = text;
    for (int i = 0; i < 3; ++i) {
        *out++ = kDayNames[local.tm_wday][i];
    }
    *out++ = ' ';
    for (int i = 0; i < 3; ++i) {
        *out++ = kMonthNames[local.tm_mon][i];
    }
    *out++ = ' ';
    out = PutTwoDigits(out, local.tm_mday);
    *out++ = ' ';
    out = PutTwoDigits(out, local.tm_hour);
    *out++ = ':';
    out = PutTwoDigits(out, local.tm_min);
    *out++ = ':';
    out = PutTwoDigits(out, local.tm_sec);
    *out++ = ' ';
    out = PutTwoDigits(out, year / 100);
    out = PutTwoDigits(out, year % 100);
    *out++ = '\n';
    *out = '\0';
}

void WriteInfoLogText(const char* text) {
    std::lock_guard<std::mutex> guard(InfoLogLock);
    if (InfoLogWriterRuns()) {
        WriteInfoLogLine(text);
    } else if (InfoLog != nullptr) {
        LogMessage(InfoLog, "%s", text);
        Platform.FlushFile(InfoLog);
    }
}

void WriteListDiagnostic(const ListDiagnostic& diagnostic, bool infoLog) {
    char text[128];
    FormatDiagnostic(diagnostic, text, sizeof text);
    if (diagnostic.kind != DiagnosticKind::kActionSpecified) {
        LogMessage(ErrorLog, "%s", text);
    } else if (infoLog && InfoLogEnabled == 1) {
        WriteInfoLogText(text);
    }
}

namespace {

constexpr char kStarted[] = "The DHCP server has successfully started.\n";

}  // namespace

// The event lines go through the writer's queue, so that they keep their
// place among the decision lines, and each is in the file before the hook
// returns, as the synchronous log had it: only the control thread waits for
// the file. Stop's line is the last one taken, and everything queued is
// written before the log closes.
void ServerControlEvent(uint32_t event) {
    // Written once by start-up, before the hooks were in the server's table.
    if (InfoLogEnabled != 1) {
        return;
    }
    std::lock_guard<std::mutex> guard(InfoLogLock);
    switch (event) {
        case kServerStart:
            // A second start keeps the stream it has: reopening would be refused
            // by our own share mode and lose every packet line until stop.
            if (InfoLog == nullptr) {
                InfoLog = Platform.OpenFile(InfoLogPath, "a", kLogShare);
            }
            // Without its writer the log would take no line: closed again.
            if (InfoLog != nullptr && !StartInfoLogWriter(kStarted)) {
                Platform.CloseFile(InfoLog);
                InfoLog = nullptr;
            }
            WaitForInfoLogWriter();
            break;
        case kServerStop:
            StopInfoLogWriter("The DHCP server has successfully stopped.\n");
            if (InfoLog != nullptr) {
                Platform.CloseFile(InfoLog);
                InfoLog = nullptr;
            }
            break;
        case kServerPause:
            WriteInfoLogLine("The DHCP server has been paused.\n");
            break;
        case kServerContinue:
            WriteInfoLogLine("The DHCP server has been continued.\n");
            break;
        default:
            break;
    }
}

}  // namespace macgate
