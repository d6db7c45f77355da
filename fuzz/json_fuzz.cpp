// Feeds arbitrary bytes to the reader of the JSON answers that macgate
// status --kea gets from Kea's control socket. Besides crashes, leaks and
// hangs it checks that a refused text leaves no value behind.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/macgate/status/json_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace macgate;
    Json value;
    if (!ReadJson(std::string(reinterpret_cast<const char*>(data), size), &value) &&
        (value.kind != Json::kNull || !value.members.empty() || !value.items.empty())) {
        std::abort();
    }
    return 0;
}
