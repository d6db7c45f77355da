// Loading a callout library the way a host does, for the macgate tool and the
// load tests: open it by path, find its exports by name, and hand it a
// configuration of our own without touching the DHCP server's.
#pragma once

#include <string>

namespace macgate {

// Opaque handle of a loaded library; null when loading failed.
using LibraryHandle = void*;

// Loads the library at `path`. On failure gives null and sets `error` to the
// system's reason.
LibraryHandle OpenLibrary(const char* path, std::string* error);

// The address of the export `name`, or null.
void* FindLibraryExport(LibraryHandle library, const char* name);

void CloseLibrary(LibraryHandle library);

// Maps the library at `path` only so that its exports can be looked up: on
// Windows none of its code runs and its imports are not resolved. Never call
// into it; release it with CloseLibrary. Null, with `error` set, when it is
// no library this process could load (missing, another architecture).
LibraryHandle InspectLibrary(const char* path, std::string* error);

enum class VersionRecord {
    kRead,            // product and version are set
    kMissing,         // the library has none, or it cannot be read
    kNotOnThisSystem  // libraries carry none on this system
};

// The product name and file version ("1.0.0.1") of the library's version
// record.
VersionRecord ReadVersionRecord(const char* path, std::string* product, std::string* version);

// The IMAGE_FILE_HEADER machine number of this system's own processor, which
// the DHCP server's process is built for; 0 where there is no such server.
unsigned NativeMachine();

// Where the DHCP server's configuration lives on this system, for messages.
const char* ParametersLocation();

// What macgate status says before the Windows server's configuration where
// another server may run macgate (Kea, on Linux); null where none can.
const char* OtherServerNote();

// Sends `request` to the stream socket at `path` (a Kea control socket) and
// gives everything the server writes back until it closes the connection.
// False, with the reason in `why`, when there is no such socket here or the
// exchange fails or takes more than `seconds`.
bool AskControlSocket(const std::string& path, const std::string& request, int seconds,
                      std::string* answer, std::string* why);

// The file name of the callout library on this system ("libmacgate.so",
// "macgate.dll") in the folder of the running executable.
std::string DefaultLibraryPath();

// The three configured paths, in the order of the registry values
// CalloutErrorLogFile, CalloutMacAddressListFile and CalloutInfoLogFile.
// A null path is a missing value.
struct CalloutPaths {
    const char* errorLog;
    const char* list;
    const char* infoLog;
};

// Makes the callout library, once loaded in this process, read `paths`
// instead of the server's configuration: on Windows by pointing this
// process's HKEY_LOCAL_MACHINE at a private volatile key, elsewhere through
// the environment that stands in for the registry. Call it before loading
// the library. False, with `error` set, when it cannot be done.
bool UsePrivateConfiguration(const CalloutPaths& paths, std::string* error);

// Undoes UsePrivateConfiguration and removes the private key, if any.
void DropPrivateConfiguration();

}  // namespace macgate
