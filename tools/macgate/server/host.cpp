#include "tools/macgate/server/host.h"

#include <cstdint>
#include <cstring>

#include "tools/macgate/server/server_config.h"

namespace macgate {
namespace {

// Values no real function has, so a slot the library leaves alone, or
// writes with something odd, shows up.
void* Sentinel(int slot) {
    return reinterpret_cast<void*>(uintptr_t{0x5eed0000} + static_cast<uintptr_t>(slot) * 16);
}

}  // namespace

int LoadCallout(const std::string& path, const char16_t* chainDlls, LoadedCallout* callout,
                std::string* error) {
    *callout = LoadedCallout();
    std::string reason;
    LibraryHandle library = OpenLibrary(path.c_str(), &reason);
    if (library == nullptr) {
        *error = "cannot load the callout library " + path + ": " + reason;
        return 2;
    }
    auto entry = reinterpret_cast<uint32_t(MACGATE_CALL*)(void*, uint32_t, CalloutTable*)>(
        FindLibraryExport(library, "DhcpServerCalloutEntry"));
    if (entry == nullptr) {
        *error = path + " exports no DhcpServerCalloutEntry: it is not a callout library";
        CloseLibrary(library);
        return 2;
    }

    constexpr int kSlots = sizeof(CalloutTable) / sizeof(void*);
    void* slots[kSlots];
    for (int i = 0; i < kSlots; ++i) {
        slots[i] = Sentinel(i);
    }
    static_assert(sizeof slots == sizeof(CalloutTable), "the table is ten pointers");
    CalloutTable table;
    std::memcpy(&table, slots, sizeof table);

    // The chained libraries and the server's version 0, which the library
    // ignores.
    uint32_t result = entry(const_cast<char16_t*>(chainDlls), 0, &table);
    std::memcpy(slots, &table, sizeof table);
    callout->library = library;
    callout->table = table;
    callout->entryResult = result;
    if (result != 0) {
        *error = "DhcpServerCalloutEntry returned " + std::to_string(result) + ", not 0";
        return 1;
    }
    const char* expected[kSlots] = {
        "DhcpControlHook", "DhcpNewPktHook",       "DhcpPktDropHook",
        "DhcpPktSendHook", "DhcpAddressDelHook",   nullptr,
        nullptr,           "DhcpDeleteClientHook", nullptr,
        nullptr,
    };
    for (int i = 0; i < kSlots; ++i) {
        std::string slot = "slot " + std::to_string(i);
        if (expected[i] == nullptr) {
            if (slots[i] != Sentinel(i)) {
                *error = "DhcpServerCalloutEntry wrote " + slot + ", which belongs to the server";
                return 1;
            }
            continue;
        }
        void* exported = FindLibraryExport(library, expected[i]);
        if (exported == nullptr) {
            *error = path + " does not export " + expected[i];
            return 1;
        }
        if (slots[i] != exported) {
            *error = "DhcpServerCalloutEntry put something other than " + std::string(expected[i]) +
                     " in " + slot;
            return 1;
        }
    }
    if (FindLibraryExport(library, "DhcpAddressOfferHook") == nullptr) {
        *error = path + " does not export DhcpAddressOfferHook";
        return 1;
    }
    return 0;
}

int LoadServerCallout(LoadedCallout* callout, std::string* chosen, std::string* notes,
                      std::string* error) {
    ServerCallouts callouts = ReadServerCallouts();
    if (!callouts.keyFound) {
        *error = std::string("the DHCP server is not configured here: no ") + ParametersLocation();
        return 2;
    }
    if (!CalloutsEnabled(callouts)) {
        *error = "CalloutEnabled is not 1: the server loads no callout library";
        return 2;
    }
    for (size_t i = 0; i < callouts.entries.size(); ++i) {
        std::string path;
        if (!NarrowText(callouts.entries[i], &path)) {
            *notes += "passed over " + PrintableText(callouts.entries[i]) +
                      ": this program cannot name it\n";
            continue;
        }
        std::u16string chain;
        for (size_t j = i + 1; j < callouts.entries.size(); ++j) {
            chain += callouts.entries[j];
            chain.push_back(u'\0');
        }
        chain.push_back(u'\0');
        std::string reason;
        int status = LoadCallout(path, chain.c_str(), callout, &reason);
        if (status == 2 || (status == 1 && callout->entryResult != 0)) {
            // The server tries the next entry.
            *notes += "passed over " + path + ": " + reason + "\n";
            continue;
        }
        *chosen = path;
        *error = reason;
        return status;
    }
    *error = "no entry of CalloutDlls loads and returns 0: the server runs without callout library";
    return 2;
}

}  // namespace macgate
