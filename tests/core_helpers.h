// What the core's tests share: the return to "just loaded", lists loaded or
// built and put in use, hand-built DHCP messages, and files read whole.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "callout/callout.h"
#include "config/info_log_writer.h"
#include "config/logs.h"
#include "config/startup.h"
#include "config/state.h"
#include "filter/address_set.h"
#include "filter/list_file.h"
#include "filter/loaded_list.h"
#include "platform/platform.h"

namespace macgate {

// Test-only: the library back in its "just loaded" state, by the one reset
// that stop does.
inline void ResetStateForTesting() {
    StopFilter();
}

// A temporary stream holding `bytes`, read from its start.
inline FILE* TempFileWith(const std::string& bytes) {
    FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    if (file != nullptr) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::rewind(file);
    }
    return file;
}

// Everything a stream holds, from its start.
inline std::string ReadBack(FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

// A file's bytes; "" when it cannot be read.
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The key of the 48-bit address `address`: 12 lowercase digits.
inline std::string Key(uint64_t address) {
    char text[kAddressKeySize];
    std::snprintf(text, sizeof text, "%012llx", static_cast<unsigned long long>(address));
    return text;
}

// A BOOTREQUEST of `size` bytes (at most 300) with `address` at the start
// of chaddr.
inline std::vector<uint8_t> Message(const uint8_t (&address)[6], size_t size = 300) {
    std::vector<uint8_t> full(300, 0);
    full[0] = 1;  // op: BOOTREQUEST
    full[1] = 1;  // htype: Ethernet
    full[2] = 6;  // hlen
    std::copy(address, address + 6, full.begin() + 28);
    return std::vector<uint8_t>(full.begin(), full.begin() + static_cast<long>(size));
}

// The same, for the 48-bit address `address`.
inline std::vector<uint8_t> MessageFor(uint64_t address, size_t size = 300) {
    uint8_t bytes[6];
    for (int i = 0; i < 6; ++i) {
        bytes[i] = static_cast<uint8_t>(address >> (8 * (5 - i)));
    }
    return Message(bytes, size);
}

// `text` loaded as a list file.
inline void LoadText(const std::string& text, LoadedList& list) {
    FILE* file = TempFileWith(text);
    ASSERT_NE(file, nullptr);
    LoadAddressList(file, list);
    std::fclose(file);
}

// Writes what the load of `list` said of its lines, as start-up does while
// it reads them.
inline void WriteListDiagnostics(const LoadedList& list) {
    for (const ListDiagnostic& diagnostic : list.Diagnostics) {
        WriteListDiagnostic(diagnostic, true);
    }
}

// Puts a list in use, as start-up does, and gives it.
inline const LoadedList* PublishText(const std::string& text) {
    LoadedList* list = new LoadedList;
    LoadText(text, *list);
    PublishList(list);
    return list;
}

// Puts in use a list of `action` holding `keys` as given, not checked; a
// prefix key ("001c23******") marks its length in use.
inline const LoadedList* PublishKeys(unsigned char action, const std::vector<std::string>& keys) {
    LoadedList* list = new LoadedList;
    list->FilterAction = action;
    for (const std::string& key : keys) {
        list->AddressSet = AddressSetInsert(key.c_str(), list->AddressSet);
        if (IsPrefixKey(key.c_str())) {
            const size_t digits = key.find(kPrefixPad);
            list->PrefixLengths = static_cast<uint16_t>(list->PrefixLengths | (1u << digits));
        }
    }
    list->Entries = CountEntries(list->AddressSet);
    PublishList(list);
    return list;
}

// What start-up leaves for the concurrency tests: an allow list of the
// addresses of the block `base` (last byte 0) whose last byte is a multiple
// of `step`, and the info log configured at `infoLogPath` but closed.
inline void StartWithEveryNth(uint64_t base, int step, const std::string& infoLogPath) {
    std::vector<std::string> keys;
    for (int last = 0; last < 256; last += step) {
        keys.push_back(Key(base | static_cast<uint64_t>(last)));
    }
    PublishKeys(1, keys);
    std::snprintf(InfoLogPath, sizeof InfoLogPath, "%s", infoLogPath.c_str());
    InfoLogEnabled = 1;
}

// The info log at `path` open for appending with its writer running, as
// the server-start event leaves it, without the event's line.
inline void OpenInfoLogForTesting(const std::string& path) {
    InfoLogEnabled = 1;
    InfoLog = Platform.OpenFile(path.c_str(), "a", FileShare::kDenyWrite);
    ASSERT_NE(InfoLog, nullptr);
    ASSERT_TRUE(StartInfoLogWriter());
}

// The process flag that DhcpNewPktHook gives for `message`, called as the
// server calls it.
inline int32_t HookVerdict(std::vector<uint8_t>& message) {
    uint8_t* packet = message.data();
    uint32_t size = static_cast<uint32_t>(message.size());
    int32_t flag = -1;
    DhcpNewPktHook(&packet, &size, 0, nullptr, nullptr, &flag);
    return flag;
}

}  // namespace macgate
