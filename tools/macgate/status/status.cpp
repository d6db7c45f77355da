// macgate status: what the local DHCP server will do at its next start. The
// server's choice of library by its own rules, then the three paths read by
// the library's own registry code and opened the way start-up opens them,
// then the list's check summary. Nothing is loaded into the server's place
// and no file that was there is changed.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "callout/callout.h"
#include "config/logs.h"
#include "config/registry.h"
#include "config/state.h"
#include "platform/holders.h"
#include "platform/platform.h"
#include "tools/macgate/cli/commands.h"
#include "tools/macgate/server/library.h"
#include "tools/macgate/server/server_config.h"
#include "tools/macgate/status/paths.h"

namespace macgate {
namespace {

// 511 UTF-16 units and a terminator: what start-up's read gets.
constexpr uint32_t kLongestValueBytes = 1024;

// How sure the verdict is, worst last. kNotAsWritten: it filters, but a
// section of the list does not decide as written.
enum Outcome { kRuns, kNotAsWritten, kDoesNotRun, kCannotTell };

// The verdict so far, and the first reason for each outcome worse than kRuns.
struct Verdict {
    Outcome outcome = kRuns;
    std::string notAsWritten;
    std::string doesNotRun;
    std::string cannotTell;
};

void Worsen(Verdict* verdict, Outcome by, const std::string& reason) {
    std::string& slot = by == kCannotTell   ? verdict->cannotTell
                        : by == kDoesNotRun ? verdict->doesNotRun
                                            : verdict->notAsWritten;
    if (slot.empty()) {
        slot = reason;
    }
    if (by > verdict->outcome) {
        verdict->outcome = by;
    }
}

std::string Plural(size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Whether an entry of CalloutDlls names something, looked up by its path
// without opening it.
std::string Existence(const std::string& path, Verdict* verdict) {
    switch (Platform.LookUpPath(path.c_str())) {
        case PathState::kExists:
            return "exists";
        case PathState::kMissing:
            return "does not exist";
        case PathState::kUnknown:
            break;
    }
    std::string reason = std::string("cannot be looked up: ") + std::strerror(errno);
    Worsen(verdict, kCannotTell, path + " " + reason);
    return reason;
}

// The library the server will load, by its rules: printed, and whether it
// is macgate, whose path then goes to `loaded`.
bool ReportLibraries(const ServerCallouts& callouts, Verdict* verdict, std::string* loaded) {
    const StoredValue& enabled = callouts.enabled;
    if (!enabled.present) {
        std::printf("  CalloutEnabled  missing\n");
    } else if (enabled.type != kValueDword) {
        std::printf("  CalloutEnabled  a %s, not a REG_DWORD\n",
                    ValueTypeName(enabled.type).c_str());
    } else if (enabled.data.size() != 4) {
        std::printf("  CalloutEnabled  a REG_DWORD of %zu bytes, not 4\n", enabled.data.size());
    } else {
        std::printf("  CalloutEnabled  %u\n",
                    static_cast<unsigned>(enabled.data[0] | (enabled.data[1] << 8) |
                                          (enabled.data[2] << 16) |
                                          (static_cast<unsigned>(enabled.data[3]) << 24)));
    }
    if (!callouts.dlls.present) {
        std::printf("  CalloutDlls     missing\n");
    } else {
        std::printf("  CalloutDlls     %s, %s\n", ValueTypeName(callouts.dlls.type).c_str(),
                    Plural(callouts.entries.size(), "entry", "entries").c_str());
        if (callouts.dlls.type != kValueMultiString) {
            // The server reads a list of names; what it makes of another type
            // is its own affair.
            Worsen(verdict, kCannotTell, "CalloutDlls is not a REG_MULTI_SZ");
        }
    }

    size_t chosen = callouts.entries.size();
    std::vector<std::string> paths(callouts.entries.size());
    for (size_t i = 0; i < callouts.entries.size(); ++i) {
        std::string& path = paths[i];
        std::string state;
        if (!NarrowText(callouts.entries[i], &path)) {
            path = PrintableText(callouts.entries[i]);
            state = "has a character this program cannot name files with";
            Worsen(verdict, kCannotTell, "an entry of CalloutDlls cannot be looked at");
        } else {
            state = Existence(path, verdict);
        }
        if (state == "exists" && chosen == callouts.entries.size()) {
            std::string error;
            LibraryHandle library = InspectLibrary(path.c_str(), &error);
            if (library == nullptr) {
                // The system's own words for a library of another processor
                // are "Bad EXE format for %1".
                std::string problem = DescribeUnloadable(path);
                state += ", but cannot be loaded: " + (problem.empty() ? error : problem);
            } else if (FindLibraryExport(library, kCalloutExportNames[0]) == nullptr) {
                state += ", but is no callout library: it exports no DhcpServerCalloutEntry";
            } else {
                chosen = i;
            }
            CloseLibrary(library);
        }
        std::printf("    %zu. %s: %s\n", i + 1, path.c_str(), state.c_str());
    }

    if (!CalloutsEnabled(callouts)) {
        std::printf("CalloutEnabled is not 1: the server will load no callout library.\n");
        Worsen(verdict, kDoesNotRun, "CalloutEnabled is not 1");
        return false;
    }
    if (chosen == callouts.entries.size()) {
        std::printf(
            "No entry of CalloutDlls can be loaded: the server will load no callout "
            "library.\n");
        Worsen(verdict, kDoesNotRun, "no entry of CalloutDlls can be loaded");
        return false;
    }
    const std::string& path = paths[chosen];
    std::printf(
        "The server will load %s, the first entry that loads, if its "
        "DhcpServerCalloutEntry returns 0.\n",
        path.c_str());

    std::string error;
    LibraryHandle library = InspectLibrary(path.c_str(), &error);
    std::string missing;
    for (const char* name : kCalloutExportNames) {
        if (library == nullptr || FindLibraryExport(library, name) == nullptr) {
            missing += std::string(missing.empty() ? "" : ", ") + name;
        }
    }
    CloseLibrary(library);
    std::string product;
    std::string version;
    VersionRecord record = ReadVersionRecord(path.c_str(), &product, &version);
    bool isMacgate = missing.empty() && (record == VersionRecord::kNotOnThisSystem ||
                                         (record == VersionRecord::kRead && product == "macgate"));
    if (isMacgate) {
        if (record == VersionRecord::kRead) {
            std::printf(
                "It is macgate: it exports the eight hooks and carries macgate's version "
                "record, %s.\n",
                version.c_str());
        } else {
            std::printf("It is macgate: it exports the eight hooks.\n");
        }
    } else {
        std::printf("It is not macgate: %s.\n",
                    !missing.empty() ? ("it does not export " + missing).c_str()
                    : record == VersionRecord::kRead
                        ? ("its version record names " + product + ", not macgate").c_str()
                        : "it carries no version record");
        std::printf(
            "macgate runs only if that library loads it, which this command cannot "
            "see.\n");
        Worsen(verdict, kDoesNotRun, "the server will load " + path + ", which is not macgate");
        return false;
    }
    *loaded = path;
    if (chosen + 1 < paths.size()) {
        std::printf("macgate loads no further library: the server will no longer load %s.\n",
                    chosen + 2 == paths.size() ? "the entry after it" : "the entries after it");
    }
    return true;
}

// One path value as it is stored, and as start-up's own read hands it over:
// null when start-up gets none.
char* ReportPath(void* key, int selector, const char* valueName) {
    StoredValue value = ReadStoredValue(key, valueName);
    char* path = ReadParameterPath(selector);
    std::printf("  %-26s ", valueName);
    if (!value.present) {
        std::printf("missing\n");
        return path;
    }
    std::u16string text = StoredText(value);
    std::printf("%s, %s", ValueTypeName(value.type).c_str(),
                Plural(text.size(), "character", "characters").c_str());
    if (value.type == kValueExpandString) {
        std::printf(" (used as written: %%...%% is not expanded)");
    } else if (value.type != kValueString) {
        std::printf(" (its bytes are read as text all the same)");
    }
    if (value.data.size() > kLongestValueBytes) {
        std::printf(": longer than the 511 characters that start-up reads, so it finds none\n");
    } else if (path == nullptr) {
        std::printf(": \"%s\" has a character without a narrow form, so start-up finds none\n",
                    PrintableText(text).c_str());
    } else if (path[0] == '\0') {
        std::printf(": empty, which start-up takes as missing\n");
    } else {
        std::printf(": \"%s\"\n", path);
    }
    return path;
}

// Who holds a log that cannot be opened now. Excused only when the system
// names the running server as its sole holder: the server lets its logs go
// when it stops, before start-up opens them again. Any other holder may
// still hold it when the server starts; when the system names none while the
// server runs, the server may be the holder, and this command cannot tell.
void ReportUnwritableLog(const char* role, const char* path, const std::string& reason,
                         Verdict* verdict) {
    std::vector<FileHolder> holders;
    bool named = FindFileHolders(path, &holders) && !holders.empty();
    uint32_t server = DhcpServerProcessId();
    bool byServer = named && server != 0;
    std::string who;
    for (const FileHolder& holder : holders) {
        byServer = byServer && holder.processId == server;
        who += std::string(who.empty() ? "" : ", ") +
               (holder.name.empty() ? std::string("a program") : holder.name) + " (process " +
               std::to_string(holder.processId) + ")";
    }
    if (byServer) {
        std::printf(
            "  %-10s is held now by the running DHCP server, %s, which lets it go when it "
            "stops\n",
            role, who.c_str());
        return;
    }
    std::string heldBy = named ? ", held by " + who : std::string();
    std::printf(
        "  %-10s exists but cannot be opened for writing now (%s)%s. If it still cannot be "
        "when the DHCP server starts, start-up will load no list and the server will serve "
        "every client.\n",
        role, reason.c_str(), heldBy.c_str());
    std::string cause = std::string("the ") + role + " cannot be opened for writing now";
    if (!named && server != 0) {
        Worsen(verdict, kCannotTell,
               cause +
                   ", and the system does not say whether the running "
                   "DHCP server holds it");
    } else {
        Worsen(verdict, kDoesNotRun, cause);
    }
}

// Whether start-up could open a log now. Nothing is changed: an existing log
// is opened for appending and closed, never created, truncated or written;
// one made only for the look is removed again.
void ProbeLog(const char* role, const char* path, Verdict* verdict) {
    PathState state = Platform.LookUpPath(path);
    if (state == PathState::kUnknown) {
        std::string reason = std::strerror(errno);
        std::printf("  %-10s cannot be looked up: %s\n", role, reason.c_str());
        Worsen(verdict, kCannotTell, std::string("the ") + role + " cannot be looked up");
        return;
    }
    bool exists = state == PathState::kExists;
    if (Platform.ProbeAppend(path, kLogShare, exists)) {
        std::printf("  %-10s can be written\n", role);
        return;
    }
    int error = errno;
    std::string reason = WhyNotOpened(path, error);
    if (exists) {
        ReportUnwritableLog(role, path, reason, verdict);
        return;
    }
    std::printf("  %-10s cannot be created: %s\n", role, reason.c_str());
    Worsen(verdict, error == ENOENT ? kDoesNotRun : kCannotTell,
           std::string("the ") + role + " cannot be created");
}

bool ProbeList(const char* path, Verdict* verdict) {
    FILE* stream = Platform.OpenFile(path, "r", FileShare::kDenyWrite);
    if (stream != nullptr) {
        Platform.CloseFile(stream);
        std::printf("  %-10s can be read\n", "list");
        return true;
    }
    int error = errno;
    std::string reason = WhyNotOpened(path, error);
    std::printf("  %-10s cannot be read: %s\n", "list", reason.c_str());
    Worsen(verdict, error == ENOENT ? kDoesNotRun : kCannotTell, "the list cannot be read");
    return false;
}

// What install.cmd would refuse in the files start-up gets: one file under
// two names, a log that is no log, a path no file can have.
void ReportPathProblems(const std::string& dll, const char* errorLog, const char* list,
                        const char* infoLog, Verdict* verdict) {
    std::vector<NamedPath> paths;
    if (!dll.empty()) {
        paths.push_back({PathRole::kDll, dll});
    }
    const std::pair<PathRole, const char*> given[] = {
        {PathRole::kList, list}, {PathRole::kErrorLog, errorLog}, {PathRole::kInfoLog, infoLog}};
    for (const auto& path : given) {
        if (path.second != nullptr && path.second[0] != '\0') {
            paths.push_back({path.first, path.second});
        }
    }
    std::vector<std::string> problems = PathProblems(paths, false);
    if (problems.empty()) {
        return;
    }
    std::printf("\nThe files, as install.cmd would take them:\n");
    for (const std::string& problem : problems) {
        std::printf("  %s.\n", problem.c_str());
    }
    Worsen(verdict, kDoesNotRun, problems.front());
}

}  // namespace

int RunStatus(const std::vector<std::string>& arguments) {
    if (!arguments.empty()) {
        ReportError("status takes no arguments");
        return kExitCannotRun;
    }
    if (OtherServerNote() != nullptr) {
        std::printf("%s", OtherServerNote());
    }
    Verdict verdict;
    ServerCallouts callouts = ReadServerCallouts();
    std::printf("The DHCP server's configuration, in %s:\n", ParametersLocation());
    if (!callouts.keyFound) {
        std::printf("  none: the DHCP server is not installed here.\n");
        std::printf("\nmacgate will not filter: there is no DHCP server to load it.\n");
        return kExitFindings;
    }
    std::string dll;
    ReportLibraries(callouts, &verdict, &dll);

    std::printf("\nThe paths, as start-up reads them:\n");
    void* key = nullptr;
    char* errorLog = nullptr;
    char* list = nullptr;
    char* infoLog = nullptr;
    if (Platform.OpenParametersKey(&key)) {
        errorLog = ReportPath(key, kErrorLogFile, "CalloutErrorLogFile");
        list = ReportPath(key, kMacAddressListFile, "CalloutMacAddressListFile");
        infoLog = ReportPath(key, kInfoLogFile, "CalloutInfoLogFile");
        Platform.CloseParametersKey(key);
    }

    std::printf(
        "\nOpened as start-up opens them, by the current user (the service runs as "
        "NETWORK SERVICE):\n");
    if (errorLog == nullptr || errorLog[0] == '\0') {
        std::printf(
            "  %-10s none: start-up writes ErrorFile.txt in the service's working "
            "folder, where the service cannot write, and stops\n",
            "error log");
        Worsen(&verdict, kDoesNotRun, "start-up finds no error log path");
    } else {
        ProbeLog("error log", errorLog, &verdict);
    }
    bool listReadable = false;
    if (list == nullptr || list[0] == '\0') {
        std::printf("  %-10s none: start-up stops and every client is served\n", "list");
        Worsen(&verdict, kDoesNotRun, "start-up finds no list path");
    } else {
        listReadable = ProbeList(list, &verdict);
    }
    if (infoLog == nullptr || infoLog[0] == '\0') {
        std::printf("  %-10s off\n", "info log");
    } else {
        ProbeLog("info log", infoLog, &verdict);
    }

    ReportPathProblems(dll, errorLog, list, infoLog, &verdict);

    if (listReadable) {
        std::printf("\nThe list, as macgate check reads it:\n");
        std::fflush(stdout);
        bool loaded = false;
        std::string unreadable;
        std::string sectionFault;
        int checked = RunCheck({list}, &loaded, &unreadable, false, &sectionFault);
        if (checked == kExitCannotRun) {
            Worsen(&verdict, kCannotTell, "the list cannot be checked");
        } else if (!loaded) {
            Worsen(&verdict, kDoesNotRun,
                   "the list loads no address" + (unreadable.empty() ? "" : ": " + unreadable));
        } else if (!sectionFault.empty()) {
            Worsen(&verdict, kNotAsWritten, sectionFault);
        }
    }
    std::free(errorLog);
    std::free(list);
    std::free(infoLog);

    std::printf("\n");
    switch (verdict.outcome) {
        case kRuns:
            std::printf("macgate will filter with this list when the DHCP server next starts.\n");
            return kExitOk;
        case kNotAsWritten:
            std::printf(
                "macgate will filter when the DHCP server next starts, but not as the list is "
                "written: %s.\n",
                verdict.notAsWritten.c_str());
            return kExitFindings;
        case kDoesNotRun:
            std::printf("macgate will not filter when the DHCP server next starts: %s.\n",
                        verdict.doesNotRun.c_str());
            return kExitFindings;
        case kCannotTell:
        default:
            std::printf("This command cannot tell whether macgate will filter: %s.\n",
                        verdict.cannotTell.c_str());
            return kExitCannotRun;
    }
}

}  // namespace macgate
