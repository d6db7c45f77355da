// POSIX side of library loading: dlopen, and the environment variables that
// stand in for the registry values.
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/macgate/server/library.h"

namespace macgate {

LibraryHandle OpenLibrary(const char* path, std::string* error) {
    // RTLD_LOCAL keeps the library's symbols away from anything loaded later,
    // as a host loading several callout libraries would want.
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr && error != nullptr) {
        const char* reason = dlerror();
        *error = reason != nullptr ? reason : "unknown error";
    }
    return library;
}

void* FindLibraryExport(LibraryHandle library, const char* name) {
    return dlsym(library, name);
}

void CloseLibrary(LibraryHandle library) {
    if (library != nullptr) {
        dlclose(library);
    }
}

unsigned NativeMachine() {
    return 0;
}

LibraryHandle InspectLibrary(const char* path, std::string* error) {
    // A shared object cannot be mapped without running its constructors;
    // RTLD_LAZY at least binds no function until it is called.
    void* library = dlopen(path, RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr && error != nullptr) {
        const char* reason = dlerror();
        *error = reason != nullptr ? reason : "unknown error";
    }
    return library;
}

VersionRecord ReadVersionRecord(const char*, std::string*, std::string*) {
    return VersionRecord::kNotOnThisSystem;
}

const char* OtherServerNote() {
    return "This describes the Windows DHCP server's configuration. For macgate in Kea,\n"
           "ask the running server: macgate status --kea SOCKET (its control socket).\n\n";
}

bool AskControlSocket(const std::string& path, const std::string& request, int seconds,
                      std::string* answer, std::string* why) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        *why = "the socket's path is too long";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    auto fail = [&](const std::string& reason) {
        *why = reason;
        close(fd);
        return false;
    };
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return fail(std::string("cannot connect: ") + std::strerror(errno));
    }
    for (size_t sent = 0; sent < request.size();) {
        ssize_t wrote = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (wrote <= 0) {
            return fail(std::string("cannot send: ") + std::strerror(errno));
        }
        sent += static_cast<size_t>(wrote);
    }
    answer->clear();
    char buffer[4096];
    for (;;) {
        pollfd ready = {fd, POLLIN, 0};
        int polled = poll(&ready, 1, seconds * 1000);
        if (polled == 0) {
            // Kea closes the connection after its answer; one that stays
            // open has answered once its answer is whole.
            if (!answer->empty()) {
                break;
            }
            return fail("no answer within " + std::to_string(seconds) + " seconds");
        }
        ssize_t got = polled < 0 ? -1 : recv(fd, buffer, sizeof buffer, 0);
        if (got < 0) {
            return fail(std::string("cannot read the answer: ") + std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        answer->append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return true;
}

const char* ParametersLocation() {
    return "the environment variables that stand in for the registry values";
}

std::string DefaultLibraryPath() {
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return "libmacgate.so";
    }
    std::string path(self, static_cast<size_t>(length));
    std::string folder = path.substr(0, path.rfind('/') + 1);
    // Beside the tool in a build tree; where the installation puts it
    // (../lib/macgate from the tool's folder) once installed.
    std::string beside = folder + "libmacgate.so";
    std::string installed = folder + MACGATE_INSTALLED_LIBRARY;
    return access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0 ? installed
                                                                                     : beside;
}

namespace {

bool SetOrClear(const char* name, const char* value, std::string* error) {
    int result = value != nullptr ? setenv(name, value, 1) : unsetenv(name);
    if (result != 0 && error != nullptr) {
        *error = std::string("cannot set ") + name;
    }
    return result == 0;
}

}  // namespace

bool UsePrivateConfiguration(const CalloutPaths& paths, std::string* error) {
    return SetOrClear("CalloutErrorLogFile", paths.errorLog, error) &&
           SetOrClear("CalloutMacAddressListFile", paths.list, error) &&
           SetOrClear("CalloutInfoLogFile", paths.infoLog, error);
}

void DropPrivateConfiguration() {
    unsetenv("CalloutErrorLogFile");
    unsetenv("CalloutMacAddressListFile");
    unsetenv("CalloutInfoLogFile");
}

}  // namespace macgate
