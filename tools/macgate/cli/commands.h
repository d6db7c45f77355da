// The macgate tool's commands. main.cpp reads the command line; each command
// takes its options and gives the process exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/macgate/lists/import_reader.h"
#include "tools/macgate/status/kea_channel.h"

namespace macgate {

// Exit statuses shared by the commands.
constexpr int kExitOk = 0;
// check: findings or nothing loaded; replay: the library misbehaved;
// import: lines it could not use; export: the list has errors.
constexpr int kExitFindings = 1;
constexpr int kExitCannotRun = 2;  // a bad argument, or a file that cannot be read

// `loaded`, when given, says whether every list loaded an entry, and
// `unreadable` why one loads nothing whatever its lines say ("it is
// UTF-16 text"), or nothing. `dhcpv6`: a list with sections gets a note
// that kea-dhcp6 decides by its server-wide entries only. `sectionFault`,
// when given, gets the first section fault of the lists (SectionFaultText),
// or nothing.
int RunCheck(const std::vector<std::string>& lists, bool* loaded = nullptr,
             std::string* unreadable = nullptr, bool dhcpv6 = false,
             std::string* sectionFault = nullptr);

// The three paths count only when given (haveList...); an empty one is
// refused before it gets here.
struct ReplayOptions {
    std::string list;
    std::string infoLog;
    std::string errorLog;
    bool haveList = false;
    bool haveInfoLog = false;
    bool haveErrorLog = false;
    std::string library;  // empty: the one beside the tool
    std::string capture;
    int threads = 1;
    bool server = false;  // the library and configuration the DHCP server uses
    // The address of the interface that received the capture's direct
    // requests, in host byte order; 0 unknown.
    uint32_t interfaceAddress = 0;
};
constexpr int kMaxReplayThreads = 64;
int RunReplay(const ReplayOptions& options);

// No files: standard input.
int RunImport(ListAction action, const std::vector<std::string>& files);

// `scope` picks the section of that network ("10.1.2.0/24") of a list with
// sections; empty, the list must have none.
int RunExportWindowsFilter(const std::string& list, const std::string& scope = "");

// "x86" or "x64" as the machine number of a PE file.
bool ParseMachine(const std::string& name, unsigned* machine);
// machine 0: this system's own.
int RunInspect(const std::string& path, unsigned machine);
// Why a library that this process cannot load could not run as macgate in
// this system's DHCP server, read from its bytes; empty when that tells
// nothing.
std::string DescribeUnloadable(const std::string& path);

int RunStatus(const std::vector<std::string>& arguments);

// macgate status --kea SERVER...: what running kea-dhcp4 or kea-dhcp6
// servers filter with, asked through each one's control socket or HTTP
// control channel. 0: each filters with a list that loaded, and with several
// servers all with the same list; 1: one does not (nothing loaded, or every
// client dropped) or the lists differ; 2: one cannot be asked.
int RunKeaStatus(const std::vector<std::string>& servers, const KeaAccess& access);

// Writes "macgate: <message>" to standard error.
void ReportError(const std::string& message);

}  // namespace macgate
