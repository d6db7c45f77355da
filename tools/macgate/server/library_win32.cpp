// Windows side of library loading: LoadLibrary, and a private copy of the DHCP
// server's Parameters key that this process sees as HKEY_LOCAL_MACHINE.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/macgate/server/library.h"

namespace macgate {

namespace {

// The system's text for the last error, without its final full stop, with
// `path` in place of the "%1" that some of them hold ("%1 is not a valid
// Win32 application").
std::string LastErrorText(const char* path) {
    DWORD code = GetLastError();
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        text[--length] = '\0';
    }
    if (length == 0) {
        return "system error " + std::to_string(code);
    }
    std::string message(text);
    for (size_t at = message.find("%1"); at != std::string::npos;
         at = message.find("%1", at + std::strlen(path))) {
        message.replace(at, 2, path);
    }
    return message;
}

}  // namespace

LibraryHandle OpenLibrary(const char* path, std::string* error) {
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr && error != nullptr) {
        *error = LastErrorText(path);
    }
    return reinterpret_cast<LibraryHandle>(library);
}

LibraryHandle InspectLibrary(const char* path, std::string* error) {
    // Mapped as an image, so that GetProcAddress works, but with no DllMain
    // call and no imports loaded.
    HMODULE library = LoadLibraryExA(path, nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (library == nullptr && error != nullptr) {
        *error = LastErrorText(path);
    }
    return reinterpret_cast<LibraryHandle>(library);
}

unsigned NativeMachine() {
    // What the processor is, not what this process runs as: an x86 build of
    // the tool on x64 Windows still answers for the 64-bit server.
    SYSTEM_INFO system;
    GetNativeSystemInfo(&system);
    switch (system.wProcessorArchitecture) {
        case PROCESSOR_ARCHITECTURE_AMD64:
            return IMAGE_FILE_MACHINE_AMD64;
        case PROCESSOR_ARCHITECTURE_INTEL:
            return IMAGE_FILE_MACHINE_I386;
        case PROCESSOR_ARCHITECTURE_ARM64:
            return 0xaa64;
        default:
            return IMAGE_FILE_MACHINE_UNKNOWN;
    }
}

VersionRecord ReadVersionRecord(const char* path, std::string* product, std::string* version) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    std::string record(size, '\0');
    if (size == 0 || !GetFileVersionInfoA(path, 0, size, &record[0])) {
        return VersionRecord::kMissing;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(&record[0], "\\", reinterpret_cast<void**>(&fixed), &length) ||
        fixed == nullptr || length < sizeof *fixed || fixed->dwSignature != 0xFEEF04BD) {
        return VersionRecord::kMissing;
    }
    *version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
               std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
               std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
               std::to_string(LOWORD(fixed->dwFileVersionLS));
    // The product name in the record's first language.
    product->clear();
    WORD* translation = nullptr;
    if (VerQueryValueA(&record[0], "\\VarFileInfo\\Translation",
                       reinterpret_cast<void**>(&translation), &length) &&
        translation != nullptr && length >= 2 * sizeof(WORD)) {
        char name[64];
        std::snprintf(name, sizeof name, "\\StringFileInfo\\%04x%04x\\ProductName", translation[0],
                      translation[1]);
        char* text = nullptr;
        if (VerQueryValueA(&record[0], name, reinterpret_cast<void**>(&text), &length) &&
            text != nullptr && length > 0) {
            product->assign(text, strnlen(text, length));
        }
    }
    return VersionRecord::kRead;
}

const char* OtherServerNote() {
    return nullptr;
}

bool AskControlSocket(const std::string&, const std::string&, int, std::string*, std::string* why) {
    *why = "Kea's control sockets are on Linux";
    return false;
}

const char* ParametersLocation() {
    return "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\DhcpServer\\Parameters";
}

void* FindLibraryExport(LibraryHandle library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(LibraryHandle library) {
    if (library != nullptr) {
        FreeLibrary(static_cast<HMODULE>(library));
    }
}

std::string DefaultLibraryPath() {
    char self[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return "macgate.dll";
    }
    std::string path(self, length);
    size_t slash = path.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "macgate.dll";
}

namespace {

constexpr const char* kParametersKey =
    "System\\CurrentControlSet\\Services\\DhcpServer\\Parameters";

HKEY PrivateRoot = nullptr;
std::string PrivateRootName;

// The library turns the registry's UTF-16 text into bytes with the C
// runtime's "C" locale, which maps U+0001..U+00FF to the byte of the same
// value. Widening byte by byte is its exact inverse, so the library opens
// exactly the path given on the command line.
bool SetPathValue(HKEY key, const wchar_t* name, const char* path, std::string* error) {
    if (path == nullptr) {
        return true;
    }
    std::wstring wide;
    for (const char* c = path; *c != '\0'; ++c) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    }
    LONG result = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                                 static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
    if (result != ERROR_SUCCESS) {
        *error = "cannot write the private registry value (error " + std::to_string(result) + ")";
        return false;
    }
    return true;
}

}  // namespace

bool UsePrivateConfiguration(const CalloutPaths& paths, std::string* error) {
    std::string ignored;
    if (error == nullptr) {
        error = &ignored;
    }
    DropPrivateConfiguration();
    // Volatile: even if this process dies, the key is gone at the next boot.
    PrivateRootName = "Software\\macgate\\replay-" + std::to_string(GetCurrentProcessId());
    LONG result =
        RegCreateKeyExA(HKEY_CURRENT_USER, PrivateRootName.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &PrivateRoot, nullptr);
    if (result != ERROR_SUCCESS) {
        PrivateRoot = nullptr;
        *error = "cannot create a private registry key (error " + std::to_string(result) + ")";
        return false;
    }
    HKEY parameters = nullptr;
    result = RegCreateKeyExA(PrivateRoot, kParametersKey, 0, nullptr, REG_OPTION_VOLATILE,
                             KEY_ALL_ACCESS, nullptr, &parameters, nullptr);
    if (result != ERROR_SUCCESS) {
        *error = "cannot create a private registry key (error " + std::to_string(result) + ")";
        DropPrivateConfiguration();
        return false;
    }
    bool written = SetPathValue(parameters, L"CalloutErrorLogFile", paths.errorLog, error) &&
                   SetPathValue(parameters, L"CalloutMacAddressListFile", paths.list, error) &&
                   SetPathValue(parameters, L"CalloutInfoLogFile", paths.infoLog, error);
    RegCloseKey(parameters);
    if (!written) {
        DropPrivateConfiguration();
        return false;
    }
    result = RegOverridePredefKey(HKEY_LOCAL_MACHINE, PrivateRoot);
    if (result != ERROR_SUCCESS) {
        *error = "cannot redirect HKEY_LOCAL_MACHINE (error " + std::to_string(result) + ")";
        DropPrivateConfiguration();
        return false;
    }
    return true;
}

void DropPrivateConfiguration() {
    if (PrivateRoot == nullptr) {
        return;
    }
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(PrivateRoot);
    PrivateRoot = nullptr;
    RegDeleteTreeA(HKEY_CURRENT_USER, PrivateRootName.c_str());
    // Fails, as it should, while another instance still has its key there.
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\macgate");
}

}  // namespace macgate
