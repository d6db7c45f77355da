#include "config/registry.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace macgate {
namespace {

constexpr const char* kValueNames[] = {
    "CalloutErrorLogFile",
    "CalloutMacAddressListFile",
    "CalloutInfoLogFile",
};

// 511 UTF-16 units and a terminator.
constexpr uint32_t kValueBufferSize = 1024;

}  // namespace

char* ReadParameterPath(int selector) {
    if (selector < kErrorLogFile || selector > kInfoLogFile) {
        return nullptr;
    }
    void* key = nullptr;
    if (!Platform.OpenParametersKey(&key)) {
        return nullptr;
    }
    unsigned char data[kValueBufferSize];
    uint32_t size = sizeof data;
    bool found = Platform.QueryParameterValue(key, kValueNames[selector], data, &size);
    Platform.CloseParametersKey(key);
    if (!found) {
        return nullptr;
    }

    // The value's type is not checked, so the data may lack its terminator
    // or end in half a unit: the string ends at the first NUL within the
    // whole units returned, and the extra unit here always terminates it.
    char16_t text[kValueBufferSize / sizeof(char16_t) + 1] = {};
    std::memcpy(text, data, (size < sizeof data ? size : sizeof data) & ~1u);

    // Sized by measuring rather than by the unit count, so that no locale's
    // narrow form can be cut short.
    size_t length = Platform.WideToNarrow(nullptr, text, 0);
    if (length == kConversionFailed) {
        return nullptr;
    }
    char* path = static_cast<char*>(std::malloc(length + 1));
    if (path == nullptr) {
        return nullptr;
    }
    if (Platform.WideToNarrow(path, text, length + 1) != length) {
        std::free(path);
        return nullptr;
    }
    path[length] = '\0';
    return path;
}

}  // namespace macgate
