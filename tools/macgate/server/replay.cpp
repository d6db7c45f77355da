// macgate replay: the callout library, loaded by path, started, fed every
// DHCP request of a capture through DhcpNewPktHook, and stopped.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "config/logs.h"
#include "config/registry.h"
#include "config/startup.h"
#include "filter/list_file.h"
#include "filter/loaded_list.h"
#include "filter/packet_filter.h"
#include "platform/platform.h"
#include "tools/macgate/cli/commands.h"
#include "tools/macgate/server/capture.h"
#include "tools/macgate/server/host.h"
#include "tools/macgate/server/library.h"

namespace macgate {
namespace {

// What the process flag holds before the hook is called; the hook must
// replace it with 0 or 1.
constexpr int32_t kFlagUnset = 0x7e7e7e7e;

struct Outcome {
    uint32_t result = 0;
    int32_t flag = kFlagUnset;
};

std::string ClientKey(const std::vector<uint8_t>& message) {
    // Shorter messages carry no address the library would look at.
    if (message.size() < kShortestMessage) {
        return "(short)";
    }
    char key[kAddressKeySize];
    ClientAddressKey(message.data(), key);
    return key;
}

bool IsReadableFile(const char* path) {
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return false;
    }
    // A folder opens on some systems but cannot be read.
    char probe[1];
    bool readable = std::fread(probe, 1, 1, file) == 1 || std::feof(file) != 0;
    std::fclose(file);
    return readable;
}

// The error log that the library writes at start-up: the one given, else
// the one its configuration names, else ErrorFile.txt in the current folder.
std::string LibraryErrorLog(const char* given, bool privateConfiguration) {
    if (given != nullptr) {
        return given;
    }
    std::string path = kDefaultErrorLogPath;
    if (!privateConfiguration) {
        char* configured = ReadParameterPath(kErrorLogFile);
        if (configured != nullptr && configured[0] != '\0') {
            path = configured;
        }
        std::free(configured);
    }
    return path;
}

// The error log as start-up finds it. Start-up empties the log it opens
// before writing, so when it can open the log, what the log holds afterwards
// is this run's, even where it reads as an earlier run's did; when it cannot,
// a log that did not change is an earlier run's.
struct LogBefore {
    bool exists = false;
    std::string text;
    bool openable = false;
};

std::string FileText(const std::string& path) {
    std::string text;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return text;
    }
    char buffer[4096];
    size_t read;
    while ((read = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, read);
    }
    std::fclose(file);
    return text;
}

LogBefore LookAtLog(const std::string& path) {
    LogBefore log;
    log.exists = Platform.LookUpPath(path.c_str()) == PathState::kExists;
    if (log.exists) {
        log.text = FileText(path);
    }
    log.openable = Platform.ProbeAppend(path.c_str(), kLogShare, log.exists);
    return log;
}

bool WrittenSince(const LogBefore& before, const std::string& path) {
    if (Platform.LookUpPath(path.c_str()) != PathState::kExists) {
        return false;
    }
    return !before.exists || before.openable || FileText(path) != before.text;
}

// What start-up writes to the error log when it loads nothing.
bool SaysNothingLoaded(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    for (const char* message :
         {"Could Not Read Mac File From Registry", "Could not open the data file",
          "Could not open the info log file", "File format not proper"}) {
        if (line == message) {
            return true;
        }
    }
    return false;
}

// What the library wrote while it loaded the list, so that a problem with
// the list shows next to the verdicts it explains. True when it says that
// nothing was loaded.
bool PrintErrorLog(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        return false;
    }
    char line[256];
    bool first = true;
    bool nothingLoaded = false;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (first) {
            std::printf("\nThe library's error log (%s):\n", path.c_str());
            first = false;
        }
        std::printf("    %s", line);
        size_t length = std::strlen(line);
        if (length > 0 && line[length - 1] != '\n') {
            std::printf("\n");
        }
        nothingLoaded = nothingLoaded || SaysNothingLoaded(line);
    }
    std::fclose(file);
    return nothingLoaded;
}

// The list that the library loads: the one given, else the one its
// configuration names; empty when there is none.
std::string LibraryList(const char* given, bool privateConfiguration) {
    if (given != nullptr || privateConfiguration) {
        return given != nullptr ? given : "";
    }
    char* configured = ReadParameterPath(kMacAddressListFile);
    std::string path = configured != nullptr ? configured : "";
    std::free(configured);
    return path;
}

// The sections of the list at `path`, read with the library's own loader;
// none when it has none or cannot be read.
void LoadSections(const std::string& path, LoadedList* list) {
    FILE* file =
        path.empty() ? nullptr : Platform.OpenFile(path.c_str(), "r", FileShare::kDenyWrite);
    if (file != nullptr) {
        LoadAddressList(file, *list);
        Platform.CloseFile(file);
    }
}

// The section that decides a request, by the decision itself (DecidePacket);
// "-" for the server-wide list and an unusable list, which drops every client
// in no section.
std::string DecidingSection(const LoadedList& list, const std::vector<uint8_t>& message,
                            uint32_t interfaceAddress) {
    const PacketDecision decision =
        DecidePacket(&list, message.data(), message.size(), interfaceAddress);
    if (decision.sectionPrefixLength == 0) {
        return "-";
    }
    char network[kNetworkTextSize];
    FormatNetwork(decision.sectionNetwork, decision.sectionPrefixLength, network);
    return network;
}

std::string Count(uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

void ReplayShare(NewPktHookFn hook, uint32_t interfaceAddress,
                 std::vector<CapturedRequest>* requests, std::vector<Outcome>* outcomes,
                 size_t first, size_t step) {
    for (size_t i = first; i < requests->size(); i += step) {
        std::vector<uint8_t>& message = (*requests)[i].message;
        uint8_t* packet = message.data();
        uint32_t size = static_cast<uint32_t>(message.size());
        void* context = nullptr;
        Outcome& outcome = (*outcomes)[i];
        outcome.result = hook(&packet, &size, interfaceAddress, nullptr, &context, &outcome.flag);
    }
}

}  // namespace

int RunReplay(const ReplayOptions& given) {
    ReplayOptions options = given;
    const char* list = options.haveList ? options.list.c_str() : nullptr;
    const char* infoLog = options.haveInfoLog ? options.infoLog.c_str() : nullptr;
    const char* errorLog = options.haveErrorLog ? options.errorLog.c_str() : nullptr;
    Capture capture;
    std::string error;
    if (!ReadCaptureFile(options.capture, &capture, &error)) {
        ReportError(options.capture + ": " + error);
        return kExitCannotRun;
    }
    // A list the library could not open would just let every client through.
    if (list != nullptr && !IsReadableFile(list)) {
        ReportError(std::string("cannot read the list file ") + list);
        return kExitCannotRun;
    }
    const bool privateConfiguration = list != nullptr || infoLog != nullptr || errorLog != nullptr;
    const std::string libraryErrorLog = LibraryErrorLog(errorLog, privateConfiguration);
    const LogBefore before = LookAtLog(libraryErrorLog);
    if (privateConfiguration) {
        CalloutPaths paths = {errorLog, list, infoLog};
        if (!UsePrivateConfiguration(paths, &error)) {
            ReportError(error);
            return kExitCannotRun;
        }
    }
    LoadedCallout callout;
    int status;
    if (options.server) {
        std::string notes;
        status = LoadServerCallout(&callout, &options.library, &notes, &error);
        std::fputs(notes.c_str(), stderr);
        if (!options.library.empty()) {
            std::fprintf(stderr, "replaying through %s, the library the DHCP server loads\n",
                         options.library.c_str());
        }
    } else {
        if (options.library.empty()) {
            options.library = DefaultLibraryPath();
        }
        status = LoadCallout(options.library, nullptr, &callout, &error);
        // The library has read its configuration; the server's view is ours
        // again.
        DropPrivateConfiguration();
    }
    if (status != kExitOk) {
        ReportError(error);
        return status;
    }

    uint32_t startResult = callout.table.controlHook(kControlStart, nullptr);
    std::vector<Outcome> outcomes(capture.requests.size());
    std::vector<std::thread> threads;
    std::vector<size_t> sharesLeft = {0};
    for (int t = 1; t < options.threads; ++t) {
        try {
            threads.emplace_back(ReplayShare, callout.table.newPktHook, options.interfaceAddress,
                                 &capture.requests, &outcomes, static_cast<size_t>(t),
                                 static_cast<size_t>(options.threads));
        } catch (const std::system_error&) {
            // No thread to spare: this share is replayed on the main thread.
            sharesLeft.push_back(static_cast<size_t>(t));
        }
    }
    for (size_t share : sharesLeft) {
        ReplayShare(callout.table.newPktHook, options.interfaceAddress, &capture.requests,
                    &outcomes, share, static_cast<size_t>(options.threads));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    uint32_t stopResult = callout.table.controlHook(kControlStop, nullptr);

    // With sections, each client's row names the sections that decided.
    LoadedList sections;
    LoadSections(LibraryList(list, privateConfiguration), &sections);
    const bool bySection = !sections.Sections.empty();
    struct ClientTotals {
        size_t order;
        uint64_t allowed;
        uint64_t denied;
        std::string sections;
    };
    std::map<std::string, ClientTotals> clients;
    uint64_t allowed = 0;
    uint64_t denied = 0;
    for (size_t i = 0; i < capture.requests.size(); ++i) {
        const CapturedRequest& request = capture.requests[i];
        const Outcome& outcome = outcomes[i];
        if (outcome.result != 0) {
            status = kExitFindings;
            ReportError("DhcpNewPktHook returned " + std::to_string(outcome.result) +
                        " for frame " + std::to_string(request.frame));
        }
        if (outcome.flag != 0 && outcome.flag != 1) {
            status = kExitFindings;
            ReportError("DhcpNewPktHook left the process flag at " + std::to_string(outcome.flag) +
                        " for frame " + std::to_string(request.frame));
            continue;
        }
        std::string key = ClientKey(request.message);
        const char* verdict = outcome.flag == 1 ? "Allow" : "Deny";
        std::printf("%s  frame %-5llu %s  %-8s %s\n",
                    FormatCaptureTime(request.seconds, request.nanoseconds).c_str(),
                    static_cast<unsigned long long>(request.frame), key.c_str(),
                    DhcpMessageType(request.message).c_str(), verdict);
        ClientTotals& totals =
            clients.emplace(key, ClientTotals{clients.size(), 0, 0, ""}).first->second;
        (outcome.flag == 1 ? totals.allowed : totals.denied) += 1;
        if (bySection) {
            const std::string section =
                DecidingSection(sections, request.message, options.interfaceAddress);
            if (("," + totals.sections + ",").find("," + section + ",") == std::string::npos) {
                totals.sections += (totals.sections.empty() ? "" : ",") + section;
            }
        }
        (outcome.flag == 1 ? allowed : denied) += 1;
    }
    std::vector<std::pair<std::string, ClientTotals>> ordered(clients.begin(), clients.end());
    std::sort(ordered.begin(), ordered.end(),
              [](const auto& a, const auto& b) { return a.second.order < b.second.order; });
    std::printf("\nclient        requests  allowed  denied%s\n", bySection ? "  section" : "");
    for (const auto& [key, totals] : ordered) {
        std::printf("%-12s  %8llu  %7llu  %6llu%s%s\n", key.c_str(),
                    static_cast<unsigned long long>(totals.allowed + totals.denied),
                    static_cast<unsigned long long>(totals.allowed),
                    static_cast<unsigned long long>(totals.denied), bySection ? "  " : "",
                    totals.sections.c_str());
    }
    FreeLoadedList(sections);
    std::printf("\n%s read; %s replayed on %s: %llu allowed, %llu denied; %s and %s skipped\n",
                Count(capture.frames, "frame", "frames").c_str(),
                Count(capture.requests.size(), "DHCP request", "DHCP requests").c_str(),
                Count(static_cast<uint64_t>(options.threads), "thread", "threads").c_str(),
                static_cast<unsigned long long>(allowed), static_cast<unsigned long long>(denied),
                Count(capture.replies, "reply", "replies").c_str(),
                Count(capture.others, "other frame", "other frames").c_str());
    const bool written = WrittenSince(before, libraryErrorLog);
    const bool nothingLoaded = written && PrintErrorLog(libraryErrorLog);
    std::fflush(stdout);
    if (nothingLoaded) {
        ReportError(
            "the library loaded no address, so it served every client: its error log "
            "above says why");
        status = std::max(status, kExitFindings);
    } else if (!written && !before.openable) {
        // Start-up ends at once when it cannot open its error log.
        ReportError(
            "the library loaded no address, so it served every client: it could not open "
            "its error log " +
            libraryErrorLog);
        status = std::max(status, kExitFindings);
    }
    if (startResult != 0 || stopResult != 0) {
        ReportError("DhcpControlHook returned " +
                    std::to_string(startResult != 0 ? startResult : stopResult) + ", not 0");
        status = kExitFindings;
    }
    return status;
}

}  // namespace macgate
