// The Restart Manager names the processes that hold a file; the service
// control manager names the DHCP server's process. The Restart Manager is
// loaded only when it is asked, so that the programs import no more DLLs
// than before and run where it is missing or only a stub (Wine).
#include <windows.h>
// After windows.h, which it needs.
#include <restartmanager.h>

#include "platform/holders.h"

namespace macgate {
namespace {

typedef DWORD(WINAPI* StartSessionFn)(DWORD*, DWORD, WCHAR*);
typedef DWORD(WINAPI* EndSessionFn)(DWORD);
typedef DWORD(WINAPI* RegisterResourcesFn)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT,
                                           LPCWSTR*);
typedef DWORD(WINAPI* GetListFn)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, LPDWORD);

template <typename Fn>
Fn Find(HMODULE module, const char* name) {
    // Through void(*)(), which converts to any function pointer without a warning.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The file's name as the C runtime's opens read a narrow path: in the ANSI
// code page.
std::wstring WidePath(const char* path) {
    int length = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

std::string NarrowName(const WCHAR* name) {
    char narrow[CCH_RM_MAX_APP_NAME * 2 + 2] = {};
    if (WideCharToMultiByte(CP_ACP, 0, name, -1, narrow, sizeof narrow - 1, "?", nullptr) <= 0) {
        return {};
    }
    return narrow;
}

bool ListHolders(GetListFn getList, DWORD session, std::vector<FileHolder>* holders) {
    std::vector<RM_PROCESS_INFO> found;
    // The list may grow between the call that sizes it and the one that fills it.
    for (int attempt = 0; attempt < 4; ++attempt) {
        UINT needed = 0;
        UINT count = static_cast<UINT>(found.size());
        DWORD reasons = 0;
        DWORD result =
            getList(session, &needed, &count, found.empty() ? nullptr : found.data(), &reasons);
        if (result == ERROR_SUCCESS) {
            for (UINT i = 0; i < count && i < found.size(); ++i) {
                holders->push_back({static_cast<uint32_t>(found[i].Process.dwProcessId),
                                    NarrowName(found[i].strAppName)});
            }
            return true;
        }
        if (result != ERROR_MORE_DATA || needed == 0 || needed > 4096) {
            return false;
        }
        found.assign(needed, RM_PROCESS_INFO());
    }
    return false;
}

}  // namespace

bool FindFileHolders(const char* path, std::vector<FileHolder>* holders) {
    holders->clear();
    std::wstring wide = WidePath(path);
    HMODULE module = LoadLibraryW(L"rstrtmgr.dll");
    if (wide.empty() || module == nullptr) {
        if (module != nullptr) {
            FreeLibrary(module);
        }
        return false;
    }
    auto startSession = Find<StartSessionFn>(module, "RmStartSession");
    auto endSession = Find<EndSessionFn>(module, "RmEndSession");
    auto registerResources = Find<RegisterResourcesFn>(module, "RmRegisterResources");
    auto getList = Find<GetListFn>(module, "RmGetList");
    bool listed = false;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (startSession != nullptr && endSession != nullptr && registerResources != nullptr &&
        getList != nullptr && startSession(&session, 0, key) == ERROR_SUCCESS) {
        LPCWSTR files[] = {wide.c_str()};
        listed = registerResources(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS &&
                 ListHolders(getList, session, holders);
        endSession(session);
    }
    FreeLibrary(module);
    if (!listed) {
        holders->clear();
    }
    return listed;
}

uint32_t DhcpServerProcessId() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return 0;
    }
    uint32_t processId = 0;
    SC_HANDLE service = OpenServiceW(manager, L"DHCPServer", SERVICE_QUERY_STATUS);
    if (service != nullptr) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof status, &needed) &&
            status.dwCurrentState != SERVICE_STOPPED) {
            processId = status.dwProcessId;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return processId;
}

}  // namespace macgate
