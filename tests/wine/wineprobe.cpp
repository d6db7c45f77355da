// A small Windows helper for the Wine tests.
//
//   wineprobe open PATH MODE SHARE   opens PATH with _fsopen (MODE r, w or a;
//                                    SHARE denyrw, denywr or denyno), writes a
//                                    line when writing, prints "opened" or
//                                    "refused", then what it read; exit
//                                    status 0 or 1.
//   wineprobe serve DLL GATE         loads DLL the way the DHCP server does,
//                                    calls its entry and sends start; prints
//                                    "started", waits (at most 60 s) until the
//                                    file GATE exists, sends stop, prints
//                                    "stopped". The server "runs" meanwhile.
//   wineprobe events DLL CODE...     loads DLL, calls its entry, then sends
//                                    each control CODE in turn and prints
//                                    what each call returned.
//   wineprobe decide DLL TABLE       loads DLL, calls its entry, sends start,
//                                    then for each row "CLIENT GIADDR
//                                    INTERFACE ..." of the file TABLE sends a
//                                    request from CLIENT relayed by GIADDR to
//                                    the packet hook with the interface
//                                    address INTERFACE (a hexadecimal number)
//                                    and the options of its sixth field, if
//                                    any (hexadecimal bytes after the magic
//                                    cookie), and prints the row's first three fields
//                                    and the verdict, Allow or Deny; then
//                                    sends stop.
//   wineprobe hold PATH GATE         opens PATH for appending as a log viewer
//                                    or a second writer might, letting others
//                                    read it but not write it; prints
//                                    "holding" and waits (at most 60 s) until
//                                    the file GATE exists.
//   wineprobe view PATH GATE         opens PATH for reading as a log viewer
//                                    does, letting others read and write it,
//                                    prints "viewing", waits (at most 60 s)
//                                    until the file GATE exists, then prints
//                                    what it reads through that same open.
//   wineprobe pipe NAME GATE         makes eight instances of the named pipe
//                                    NAME that never send a byte, prints
//                                    "listening" and waits (at most 60 s)
//                                    until the file GATE exists.
//
// Copied under another name (icacls.exe, net.exe) it stands in for that
// program, which does nothing under Wine: it appends "NAME ARGUMENTS", its
// command line as it came, to calls.txt in its own folder. When that folder
// holds NAME-FIRSTARGUMENT.cmd (net-start.cmd), or else NAME.cmd, it runs
// it with the same arguments, and exits with its status when that is not 0.
// As icacls it then keeps the access lists it is asked about in acls.txt in
// its folder, a line "PATH|ENTRY;ENTRY;" each: PATH /grant "ENTRY" adds an
// entry that is not there, PATH /remove:g SID drops SID's entries, PATH
// /save FILE writes the line of PATH with only its last part to FILE, and
// FOLDER /restore FILE sets the list of each FOLDER\PART in FILE.
#include <share.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "callout/callout.h"

namespace {

typedef uint32_t(MACGATE_CALL* EntryFn)(void*, uint32_t, CalloutTable*);

int Open(const char* path, const char* mode, const char* share) {
    int flag = _SH_DENYNO;
    if (std::strcmp(share, "denyrw") == 0) {
        flag = _SH_DENYRW;
    } else if (std::strcmp(share, "denywr") == 0) {
        flag = _SH_DENYWR;
    }
    FILE* stream = _fsopen(path, mode, flag);
    std::printf("%s\n", stream ? "opened" : "refused");
    if (stream == nullptr) {
        return 1;
    }
    if (mode[0] == 'r') {
        char line[256];
        while (std::fgets(line, sizeof line, stream) != nullptr) {
            std::fputs(line, stdout);
        }
    } else {
        std::fprintf(stream, "written by a second process\n");
    }
    std::fclose(stream);
    return 0;
}

template <typename Fn>
Fn Find(HMODULE module, const char* name) {
    // Through void(*)(), which converts to any function pointer without a warning.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Loads the library and calls its entry as the server does; false (with a
// message) when it is no callout library.
bool Load(const char* dll, CalloutTable* table) {
    HMODULE module = LoadLibraryA(dll);
    if (module == nullptr) {
        std::printf("cannot load %s (error %lu)\n", dll, GetLastError());
        return false;
    }
    EntryFn entry = Find<EntryFn>(module, "DhcpServerCalloutEntry");
    if (entry == nullptr) {
        std::printf("no DhcpServerCalloutEntry in %s\n", dll);
        return false;
    }
    *table = CalloutTable();
    if (entry(nullptr, 0, table) != 0 || table->controlHook == nullptr) {
        std::printf("the entry did not fill the table\n");
        return false;
    }
    return true;
}

// Waits until the file `gate` exists, at most 60 s.
void WaitForGate(const char* gate) {
    for (int waited = 0; GetFileAttributesA(gate) == INVALID_FILE_ATTRIBUTES; waited += 50) {
        if (waited >= 60000) {
            std::printf("gave up waiting for %s\n", gate);
            break;
        }
        Sleep(50);
    }
}

int Serve(const char* dll, const char* gate) {
    CalloutTable table;
    if (!Load(dll, &table)) {
        return 2;
    }
    table.controlHook(kControlStart, nullptr);
    std::printf("started\n");
    std::fflush(stdout);
    WaitForGate(gate);
    table.controlHook(kControlStop, nullptr);
    std::printf("stopped\n");
    return 0;
}

// Keeps `path` open until the gate opens: a writer ("holding") lets others
// read only, a viewer ("viewing") lets others do anything and then prints
// what it reads.
int KeepOpen(const char* path, const char* gate, bool viewer) {
    FILE* stream = viewer ? _fsopen(path, "r", _SH_DENYNO) : _fsopen(path, "a", _SH_DENYWR);
    if (stream == nullptr) {
        std::printf("cannot open %s\n", path);
        return 1;
    }
    std::printf(viewer ? "viewing\n" : "holding\n");
    std::fflush(stdout);
    WaitForGate(gate);
    char line[256];
    while (viewer && std::fgets(line, sizeof line, stream) != nullptr) {
        std::fputs(line, stdout);
    }
    std::fclose(stream);
    return 0;
}

// Each instance takes one client, which can open it at once and would then
// wait for ever on a read.
int Pipe(const char* name, const char* gate) {
    for (int i = 0; i < 8; ++i) {
        HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            std::printf("cannot make %s (error %lu)\n", name, GetLastError());
            return 2;
        }
    }
    std::printf("listening\n");
    std::fflush(stdout);
    WaitForGate(gate);
    return 0;
}

int Events(const char* dll, char** codes, int count) {
    CalloutTable table;
    if (!Load(dll, &table)) {
        return 2;
    }
    for (int i = 0; i < count; ++i) {
        uint32_t code = static_cast<uint32_t>(std::strtoul(codes[i], nullptr, 10));
        std::printf("%lu -> %lu\n", static_cast<unsigned long>(code),
                    static_cast<unsigned long>(table.controlHook(code, nullptr)));
    }
    return 0;
}

int Decide(const char* dll, const char* rows) {
    FILE* table = std::fopen(rows, "r");
    if (table == nullptr) {
        std::printf("cannot open %s\n", rows);
        return 2;
    }
    CalloutTable callouts;
    if (!Load(dll, &callouts)) {
        std::fclose(table);
        return 2;
    }
    callouts.controlHook(kControlStart, nullptr);
    char row[256];
    while (std::fgets(row, sizeof row, table) != nullptr) {
        char client[13];
        char relay[16];
        unsigned long interfaceAddress = 0;
        unsigned address[6];
        unsigned giaddr[4];
        if (row[0] == '#' ||
            std::sscanf(row, "%12s %15s %lx", client, relay, &interfaceAddress) != 3 ||
            std::sscanf(client, "%2x%2x%2x%2x%2x%2x", &address[0], &address[1], &address[2],
                        &address[3], &address[4], &address[5]) != 6 ||
            std::sscanf(relay, "%u.%u.%u.%u", &giaddr[0], &giaddr[1], &giaddr[2], &giaddr[3]) !=
                4) {
            continue;
        }
        uint8_t message[300] = {1, 1, 6};
        for (int i = 0; i < 4; ++i) {
            message[24 + i] = static_cast<uint8_t>(giaddr[i]);
        }
        // The sixth field, when there is one: the options, in hexadecimal.
        char options[121] = "";
        char ignored[32];
        if (std::sscanf(row, "%*s %*s %*s %31s %31s %120s", ignored, ignored, options) == 3) {
            const uint8_t cookie[4] = {99, 130, 83, 99};
            std::memcpy(message + 236, cookie, sizeof cookie);
            for (size_t i = 0; 2 * i + 1 < std::strlen(options); ++i) {
                unsigned byte = 0;
                std::sscanf(options + 2 * i, "%2x", &byte);
                message[240 + i] = static_cast<uint8_t>(byte);
            }
        }
        for (int i = 0; i < 6; ++i) {
            message[28 + i] = static_cast<uint8_t>(address[i]);
        }
        uint8_t* packet = message;
        uint32_t size = sizeof message;
        int32_t flag = -1;
        callouts.newPktHook(&packet, &size, static_cast<uint32_t>(interfaceAddress), nullptr,
                            nullptr, &flag);
        std::printf("%s %s 0x%08lx %s\n", client, relay, interfaceAddress,
                    flag == 1   ? "Allow"
                    : flag == 0 ? "Deny"
                                : "none");
    }
    std::fclose(table);
    callouts.controlHook(kControlStop, nullptr);
    return 0;
}

// The command line after the program's own name, as the caller wrote it.
const char* ArgumentsAsWritten() {
    const char* line = GetCommandLineA();
    if (*line == '"') {
        const char* end = std::strchr(line + 1, '"');
        line = end != nullptr ? end + 1 : line + std::strlen(line);
    } else {
        while (*line != '\0' && *line != ' ' && *line != '\t') {
            ++line;
        }
    }
    while (*line == ' ' || *line == '\t') {
        ++line;
    }
    return line;
}

// acls.txt as PATH -> ENTRIES, in its order.
typedef std::vector<std::pair<std::string, std::string>> AccessLists;

AccessLists ReadLists(const std::string& file) {
    AccessLists lists;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        size_t bar = line.find('|');
        if (bar != std::string::npos) {
            lists.emplace_back(line.substr(0, bar), line.substr(bar + 1));
        }
    }
    return lists;
}

std::string& ListOf(AccessLists* lists, const std::string& path) {
    for (auto& list : *lists) {
        if (list.first == path) {
            return list.second;
        }
    }
    lists->emplace_back(path, "");
    return lists->back().second;
}

int Icacls(const std::string& store, int argc, char** argv) {
    if (argc != 4) {
        return 0;
    }
    AccessLists lists = ReadLists(store);
    std::string path = argv[1];
    std::string option = argv[2];
    std::string value = argv[3];
    std::string& entries = ListOf(&lists, path);
    if (option == "/grant") {
        if (entries.find(value + ";") == std::string::npos) {
            entries += value + ";";
        }
    } else if (option == "/remove:g") {
        std::string kept;
        for (size_t start = 0, end; (end = entries.find(';', start)) != std::string::npos;
             start = end + 1) {
            std::string entry = entries.substr(start, end - start);
            if (entry.compare(0, value.size() + 1, value + ":") != 0) {
                kept += entry + ";";
            }
        }
        entries = kept;
    } else if (option == "/save") {
        std::ofstream out(value);
        out << path.substr(path.find_last_of('\\') + 1) << "|" << entries << "\n";
        return out ? 0 : 5;
    } else if (option == "/restore") {
        for (const auto& saved : ReadLists(value)) {
            ListOf(&lists, path + "\\" + saved.first) = saved.second;
        }
    }
    std::ofstream out(store);
    for (const auto& list : lists) {
        out << list.first << "|" << list.second << "\n";
    }
    return 0;
}

int StandIn(const char* folder, const char* name, int argc, char** argv) {
    char path[MAX_PATH * 2];
    std::snprintf(path, sizeof path, "%scalls.txt", folder);
    FILE* calls = std::fopen(path, "a");
    if (calls == nullptr) {
        return 3;
    }
    // Without the blanks cmd leaves before a redirection.
    std::string arguments = ArgumentsAsWritten();
    arguments.erase(arguments.find_last_not_of(" \t") + 1);
    std::fprintf(calls, "%s %s\n", name, arguments.c_str());
    std::fclose(calls);
    std::snprintf(path, sizeof path, "%s%s-%s.cmd", folder, name, argc > 1 ? argv[1] : "");
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        std::snprintf(path, sizeof path, "%s%s.cmd", folder, name);
    }
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        return std::strcmp(name, "icacls") == 0
                   ? Icacls(std::string(folder) + "acls.txt", argc, argv)
                   : 0;
    }
    std::fflush(stdout);
    std::string command = std::string("\"\"") + path + "\" " + arguments + "\"";
    int status = std::system(command.c_str());
    if (status != 0 || std::strcmp(name, "icacls") != 0) {
        return status;
    }
    return Icacls(std::string(folder) + "acls.txt", argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
    char self[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    char* name = std::strrchr(self, '\\');
    if (length > 0 && length < MAX_PATH && name != nullptr) {
        *name++ = '\0';
        char* dot = std::strrchr(name, '.');
        if (dot != nullptr) {
            *dot = '\0';
        }
        // Not CharLowerA: user32 would make Wine write its display driver's
        // state into HKEY_LOCAL_MACHINE between the cases' registry exports.
        for (char* c = name; *c != '\0'; ++c) {
            if (*c >= 'A' && *c <= 'Z') {
                *c = static_cast<char>(*c - 'A' + 'a');
            }
        }
        if (std::strcmp(name, "wineprobe") != 0) {
            std::string folder = std::string(self) + "\\";
            return StandIn(folder.c_str(), name, argc, argv);
        }
    }
    if (argc == 5 && std::strcmp(argv[1], "open") == 0) {
        return Open(argv[2], argv[3], argv[4]);
    }
    if (argc == 4 && std::strcmp(argv[1], "serve") == 0) {
        return Serve(argv[2], argv[3]);
    }
    if (argc == 4 && std::strcmp(argv[1], "hold") == 0) {
        return KeepOpen(argv[2], argv[3], false);
    }
    if (argc == 4 && std::strcmp(argv[1], "view") == 0) {
        return KeepOpen(argv[2], argv[3], true);
    }
    if (argc == 4 && std::strcmp(argv[1], "pipe") == 0) {
        return Pipe(argv[2], argv[3]);
    }
    if (argc == 4 && std::strcmp(argv[1], "decide") == 0) {
        return Decide(argv[2], argv[3]);
    }
    if (argc >= 3 && std::strcmp(argv[1], "events") == 0) {
        return Events(argv[2], argv + 3, argc - 3);
    }
    std::fprintf(stderr,
                 "usage: wineprobe open PATH MODE SHARE | serve DLL GATE | events DLL CODE... | "
                 "decide DLL TABLE | hold PATH GATE | view PATH GATE | pipe NAME GATE\n");
    return 2;
}
