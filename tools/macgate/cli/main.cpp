// macgate: a host of its own for the callout library, so that a list can be
// tried, and the library driven the way the DHCP server drives it, without
// touching a production server. This file only reads the command line; each
// command is in a file of its own.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "callout/version.h"
#include "tools/macgate/cli/commands.h"
#include "tools/macgate/cli/help.h"
#include "tools/macgate/status/paths.h"

namespace {

using macgate::ReportError;

constexpr const char* kCheckHelp =
    "Loads each LIST with the library's own loader and prints every message the\n"
    "error log would get, as LIST:LINE: error: TEXT with the line's number in the\n"
    "file and a note (LIST:LINE: note: TEXT) that says what to write instead, and\n"
    "a warning (LIST:LINE: warning: TEXT) for each line the loader takes or passes\n"
    "over in silence but is almost always a mistake. Then a summary line for each\n"
    "LIST. With --dhcpv6, a list with sections gets a note that kea-dhcp6 decides\n"
    "every client by its server-wide entries, as sections name IPv4 networks.\n"
    "Exit status 0: no error and no warning; 1: errors, warnings or nothing\n"
    "loaded; 2: a list cannot be read.";
constexpr const char* kReplayHelp =
    "Loads the callout library, starts it as the DHCP server does, sends it every\n"
    "DHCP request of CAPTURE (pcap or pcapng, Ethernet) and prints its verdicts.\n"
    "--list, --info-log and --error-log replace the server's configuration for this\n"
    "run only (a path not given is then missing: no --error-log means ErrorFile.txt\n"
    "in the current folder); without any of them the library reads the server's\n"
    "own. --server loads the library the DHCP server would load, as it would: the\n"
    "first entry of CalloutDlls that loads and returns 0 (when CalloutEnabled is\n"
    "1), with the server's files. A list with sections decides each request by the\n"
    "section of its relay agent address (giaddr), else of --interface-address, the\n"
    "address of the interface that received it (unknown by default), and the table\n"
    "of clients names the sections that decided (- for the server-wide list). The\n"
    "library's error log follows the verdicts.\n"
    "Exit status 0: replayed; 1: the library misbehaved or loaded no address; 2: a\n"
    "bad argument or file.";
constexpr const char* kStatusHelp =
    "Says what the local DHCP server will do at its next start: the library it\n"
    "loads, the three paths as start-up reads and opens them, and the list's check\n"
    "summary. Exit status 0: macgate will filter with a list that loads addresses;\n"
    "1: it will not; 2: it cannot tell. With --kea, asks a running kea-dhcp4 or\n"
    "kea-dhcp6 through its control socket, or an http:// or https:// URL (Kea 3.0's\n"
    "HTTP control socket; with --service, a Kea 2.x Control Agent), what it filters\n"
    "with, since when, what the list's load rejected and the counts: 0: it filters;\n"
    "1: it does not; 2: it cannot be asked. With several servers, one line each:\n"
    "1 also when their lists differ, as the partners of an HA pair must not.";
constexpr const char* kInspectHelp =
    "Reads DLL's headers, export names and version record, without loading it, and\n"
    "says whether the DHCP server of Windows on MACHINE (x86 or x64; by default\n"
    "this Windows) can run it as macgate: a library that exports\n"
    "DhcpServerCalloutEntry and the seven hooks, carries macgate's version record\n"
    "and is built for the server's processor (on x64 Windows the DHCP server is a\n"
    "64-bit process). Exit status 0: it can; 1: it cannot, and why; 2: DLL cannot\n"
    "be read.";
constexpr const char* kPathsHelp =
    "Says whether install.cmd may register these paths, by the rule that status\n"
    "applies to the registered ones: no device path (\\\\?\\ or \\\\.\\), no character\n"
    "that no file name holds (* ? < > | \" :) and no device name (CON, NUL, COM1...);\n"
    "each at most 259 characters, what cmd passes on; four different files, compared\n"
    "by their identity on disk, not by their spelling; an existing log empty or a\n"
    "log that macgate writes, never a program, a library or a script; a missing\n"
    "log's folder either there or missing alone. Exit status 0: they may; 1: they\n"
    "may not, one reason a line.";
constexpr const char* kImportHelp =
    "Reads addresses from each FILE (standard input when none is given) and writes a\n"
    "list file to standard output: the header line, then each address or prefix\n"
    "once, with the description or the rest of its line as a remark. FILE may be\n"
    "text with addresses as 001A2B3C4D5E, 00:1a:2b:3c:4d:5e, 00-1A-2B-3C-4D-5E or\n"
    "001a.2b3c.4d5e and wildcards as 00-1C-23-*-*-*, 00-1C-23-* or 001C*, or a\n"
    "CSV with a MacAddress column (and Description, List), as\n"
    "Get-DhcpServerv4Filter | Export-Csv writes it. Lines with something like an\n"
    "address that it cannot use are named on standard error as FILE:LINE: TEXT;\n"
    "rows of the other list are only counted. Exit status 0: every line used; 1:\n"
    "lines left out, a header line the server does not take and no --action, or\n"
    "no address found; 2: a file cannot be read.";
constexpr const char* kExportHelp =
    "Writes the entries that the server loads from LIST, prefixes as wildcards of\n"
    "whole bytes, as the MacAddress,Description CSV that Import-Csv FILE |\n"
    "Add-DhcpServerv4Filter -List Allow (or Deny) takes; group, broadcast and\n"
    "all-zero addresses are left out. The built-in filter is server-wide: a list\n"
    "with sections is refused unless --scope NETWORK picks the section to write,\n"
    "or --scope server-wide the entries above its first SCOPE line. An Allow\n"
    "filter made of one scope's section drops every client of the other scopes.\n"
    "Exit status 0: exported; 1: the list has errors\n"
    "(named on standard error; what loads is still exported) or loads nothing; 2:\n"
    "LIST cannot be read.";

// An IPv4 address in dotted decimal, "10.1.2.7": four numbers from 0 to
// 255, as a number in host byte order.
bool ParseIpv4Address(const std::string& text, uint32_t* address) {
    uint32_t value = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= text.size() || text[at++] != '.')) {
            return false;
        }
        size_t digits = 0;
        uint32_t number = 0;
        while (at < text.size() && digits < 3 && text[at] >= '0' && text[at] <= '9') {
            number = number * 10 + static_cast<uint32_t>(text[at++] - '0');
            ++digits;
        }
        if (digits == 0 || number > 255) {
            return false;
        }
        value = value << 8 | number;
    }
    *address = value;
    return at == text.size();
}

// 1 to 64 in decimal digits, nothing else.
bool ParseThreads(const std::string& text, int* threads) {
    if (text.empty() || text.size() > 3) {
        return false;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > macgate::kMaxReplayThreads) {
        return false;
    }
    *threads = value;
    return true;
}

// Refuses an empty value, which would read as "not given" further on.
const CLI::Validator kNotEmpty(
    [](const std::string& value) { return value.empty() ? "needs a value" : std::string(); }, "",
    "not empty");

int Run(int argc, char** argv) {
    CLI::App app(
        "macgate tries filter lists and the callout library of the macgate MAC-address\n"
        "filter for DHCP servers, away from a production server.",
        "macgate");
    app.set_version_flag("--version", "macgate " MACGATE_VERSION);
    app.require_subcommand(1);
    app.footer("Run 'macgate COMMAND --help' for what each command does.");

    std::vector<std::string> lists;
    CLI::App* check = app.add_subcommand("check", "Check list files as the server loads them");
    check->add_option("LIST", lists, "A filter list file")
        ->type_name("")
        ->required()
        ->check(kNotEmpty);
    bool checkDhcpv6 = false;
    check->add_flag("--dhcpv6", checkDhcpv6, "Say what the list does in kea-dhcp6");
    check->footer(kCheckHelp);

    macgate::ReplayOptions replay;
    std::string threads;
    CLI::App* replayCommand =
        app.add_subcommand("replay", "Send a capture's DHCP requests through the library");
    CLI::Option* listOption =
        replayCommand->add_option("--list", replay.list, "The filter list")->type_name("LIST");
    CLI::Option* infoOption =
        replayCommand->add_option("--info-log", replay.infoLog, "The info log to write")
            ->type_name("FILE");
    CLI::Option* errorOption =
        replayCommand->add_option("--error-log", replay.errorLog, "The error log to write")
            ->type_name("FILE");
    replayCommand->add_option("--threads", threads, "Send from N threads (1 to 64)")
        ->type_name("N");
    std::string interfaceAddress;
    replayCommand
        ->add_option("--interface-address", interfaceAddress,
                     "The address of the interface that received the direct requests")
        ->type_name("A.B.C.D");
    replayCommand
        ->add_option("--library", replay.library,
                     "The callout library (default: the one beside this program)")
        ->type_name("PATH");
    for (CLI::Option* option : replayCommand->get_options()) {
        if (option->get_name() != "--help") {
            option->check(kNotEmpty);
        }
    }
    replayCommand->add_flag("--server", replay.server,
                            "Load the library and files that the DHCP server loads");
    replayCommand->add_option("CAPTURE", replay.capture, "A pcap or pcapng capture")
        ->type_name("")
        ->required()
        ->check(kNotEmpty);
    replayCommand->footer(kReplayHelp);

    std::vector<std::string> keaServers;
    macgate::KeaAccess keaAccess;
    CLI::App* status =
        app.add_subcommand("status", "Say what the DHCP server will do at its next start");
    CLI::Option* kea =
        status
            ->add_option("--kea", keaServers,
                         "Ask running Kea servers instead, each through its control socket "
                         "SOCKET or its HTTP control channel URL")
            ->type_name("SOCKET|URL")
            ->expected(1, -1)
            ->check(kNotEmpty);
    status
        ->add_option("--auth-file", keaAccess.authFile,
                     "HTTP basic authentication: the file's first line is USER:PASSWORD")
        ->type_name("FILE")
        ->check(kNotEmpty)
        ->needs(kea);
    status
        ->add_option("--ca-file", keaAccess.caFile,
                     "Trust the certificate authorities in FILE (PEM) for https:// URLs")
        ->type_name("FILE")
        ->check(kNotEmpty)
        ->needs(kea);
    status
        ->add_option("--service", keaAccess.service,
                     "The server behind a Kea Control Agent URL to ask: dhcp4 or dhcp6")
        ->type_name("SERVICE")
        ->check(CLI::IsMember({"dhcp4", "dhcp6"}))
        ->needs(kea);
    status->footer(kStatusHelp);

    std::string inspected;
    std::string machine;
    CLI::App* inspect =
        app.add_subcommand("inspect", "Say whether the DHCP server can load a DLL as macgate");
    inspect->add_option("--machine", machine, "The Windows it is for (default: this one)")
        ->type_name("MACHINE")
        ->check(CLI::IsMember({"x86", "x64"}));
    inspect->add_option("DLL", inspected, "A library file")
        ->type_name("")
        ->required()
        ->check(kNotEmpty);
    inspect->footer(kInspectHelp);

    std::vector<std::string> paths;
    CLI::App* pathsCommand =
        app.add_subcommand("paths", "Say whether install.cmd may register these paths");
    pathsCommand->add_option("PATHS", paths, "DLL LIST ERRORLOG [INFOLOG]")
        ->type_name("")
        ->required()
        ->expected(3, 4);
    pathsCommand->footer(kPathsHelp);

    std::string action;
    std::vector<std::string> files;
    CLI::App* import = app.add_subcommand("import", "Make a list file from other address lists");
    import
        ->add_option("--action", action, "The list's action (default: a list header's, else allow)")
        ->type_name("ACTION")
        ->check(CLI::IsMember({"allow", "deny"}, CLI::ignore_case));
    import->add_option("FILE", files, "A text or CSV file of addresses")
        ->type_name("")
        ->check(kNotEmpty);
    import->footer(kImportHelp);

    std::string exported;
    CLI::App* exportCommand = app.add_subcommand("export", "Write a list in another filter's form");
    exportCommand
        ->add_option("--windows-filter", exported,
                     "The list file to write as the Windows DHCP server filter's CSV")
        ->type_name("LIST")
        ->required()
        ->check(kNotEmpty);
    std::string scope;
    exportCommand
        ->add_option("--scope", scope,
                     "The section of a list with sections to write, by its network, or "
                     "server-wide")
        ->type_name("NETWORK")
        ->check(kNotEmpty);
    exportCommand->footer(kExportHelp);

    // "macgate help", as before the options were generated.
    if (argc == 2 && std::string(argv[1]) == "help") {
        std::fputs(macgate::HelpText(app, "macgate").c_str(), stdout);
        return macgate::kExitOk;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        const CLI::App* asked = &app;
        for (const CLI::App* command : app.get_subcommands()) {
            asked = command;
        }
        const std::string usage = asked == &app ? "macgate" : "macgate " + asked->get_name();
        std::fputs(macgate::HelpText(*asked, usage).c_str(), stdout);
        return macgate::kExitOk;
    } catch (const CLI::CallForVersion& version) {
        std::printf("%s\n", version.what());
        return macgate::kExitOk;
    } catch (const CLI::ParseError& error) {
        if (argc == 1) {
            std::fputs(macgate::HelpText(app, "macgate").c_str(), stderr);
            return macgate::kExitCannotRun;
        }
        if (app.get_subcommands().empty() && argv[1][0] != '-') {
            ReportError(std::string("unknown command '") + argv[1] + "'");
        } else {
            ReportError(error.what());
        }
        std::fputs("Run 'macgate --help' or 'macgate COMMAND --help' for the usage.\n", stderr);
        return macgate::kExitCannotRun;
    }

    if (check->parsed()) {
        return macgate::RunCheck(lists, nullptr, nullptr, checkDhcpv6);
    }
    if (replayCommand->parsed()) {
        replay.haveList = listOption->count() > 0;
        replay.haveInfoLog = infoOption->count() > 0;
        replay.haveErrorLog = errorOption->count() > 0;
        if (replay.server && (replay.haveList || replay.haveInfoLog || replay.haveErrorLog ||
                              !replay.library.empty())) {
            ReportError(
                "--server uses the library and files that the server's configuration names; "
                "it takes no --list, --info-log, --error-log or --library");
            return macgate::kExitCannotRun;
        }
        if (!interfaceAddress.empty() &&
            !ParseIpv4Address(interfaceAddress, &replay.interfaceAddress)) {
            ReportError("--interface-address takes an IPv4 address as 10.1.2.7, not '" +
                        interfaceAddress + "'");
            return macgate::kExitCannotRun;
        }
        if (!threads.empty() && !ParseThreads(threads, &replay.threads)) {
            ReportError("--threads takes a number from 1 to " +
                        std::to_string(macgate::kMaxReplayThreads) + ", not '" + threads + "'");
            return macgate::kExitCannotRun;
        }
        return macgate::RunReplay(replay);
    }
    if (status->parsed()) {
        if (!keaServers.empty()) {
            return macgate::RunKeaStatus(keaServers, keaAccess);
        }
        return macgate::RunStatus({});
    }
    if (inspect->parsed()) {
        unsigned number = 0;
        if (!machine.empty()) {
            macgate::ParseMachine(machine, &number);
        }
        return macgate::RunInspect(inspected, number);
    }
    if (pathsCommand->parsed()) {
        return macgate::RunPaths(paths);
    }
    if (import->parsed()) {
        macgate::ListAction chosen = macgate::ListAction::kUnset;
        if (!action.empty()) {
            chosen = (action[0] == 'd' || action[0] == 'D') ? macgate::ListAction::kDeny
                                                            : macgate::ListAction::kAllow;
        }
        return macgate::RunImport(chosen, files);
    }
    return macgate::RunExportWindowsFilter(exported, scope);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        ReportError("out of memory");
    } catch (const std::exception& exception) {
        ReportError(exception.what());
    }
    return macgate::kExitCannotRun;
}

namespace macgate {

void ReportError(const std::string& message) {
    std::fprintf(stderr, "macgate: %s\n", message.c_str());
}

}  // namespace macgate
