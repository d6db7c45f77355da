// Feeds arbitrary registry values to ReadParameterPath through the platform
// table: any bytes, any size, as a value of any type may hold them, or as
// the text of the environment variable that stands for the value on Linux.
//
// Input: byte 0 picks the selector (3 is not one), byte 1 the source (0 the
// key cannot be opened, 1 the value cannot be read, 2 the environment, else
// the bytes as the value's data), the rest is the value.
//
// Besides crashes, leaks and hangs it checks that the key is closed, that a
// failure gives no path, and that a path converts back to the units it came
// from (and, from the environment, is the variable's own text).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/registry.h"
#include "platform/platform.h"

namespace {

using macgate::Platform;

const char* const kNames[] = {"CalloutErrorLogFile", "CalloutMacAddressListFile",
                              "CalloutInfoLogFile"};

std::string Value;
int OpenKeys;
bool (*RealOpenKey)(void**);

bool CountingOpenKey(void** key) {
    bool opened = RealOpenKey(key);
    OpenKeys += opened ? 1 : 0;
    return opened;
}

void CountingCloseKey(void*) {
    --OpenKeys;
}

bool UnopenableKey(void**) {
    return false;
}

bool UnreadableValue(void*, const char*, unsigned char*, uint32_t*) {
    return false;
}

bool ValueQuery(void*, const char*, unsigned char* data, uint32_t* size) {
    if (Value.size() > *size) {
        return false;  // as the registry: the value does not fit
    }
    std::memcpy(data, Value.data(), Value.size());
    *size = static_cast<uint32_t>(Value.size());
    return true;
}

// The string the code should see in `value`: the whole UTF-16 units up to
// the first NUL.
std::u16string UnitsOf(const std::string& value) {
    std::u16string units(value.size() / 2, u'\0');
    std::memcpy(&units[0], value.data(), units.size() * 2);
    return units.substr(0, units.find(u'\0'));
}

bool HasLoneSurrogate(const std::u16string& units) {
    for (size_t i = 0; i < units.size(); ++i) {
        bool high = units[i] >= 0xD800 && units[i] <= 0xDBFF;
        bool low = units[i] >= 0xDC00 && units[i] <= 0xDFFF;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            ++i;
        } else if (high || low) {
            return true;
        }
    }
    return false;
}

// The UTF-16 units of `narrow`, converted by the real query.
std::u16string BackToUnits(const char* name, const char* narrow) {
    macgate::RestorePlatformCalls();
    setenv(name, narrow, 1);
    void* key = nullptr;
    unsigned char data[4096];
    uint32_t size = sizeof data;
    if (!Platform.OpenParametersKey(&key) ||
        !Platform.QueryParameterValue(key, name, data, &size) || size % 2 != 0) {
        std::abort();
    }
    Platform.CloseParametersKey(key);
    unsetenv(name);
    return UnitsOf(std::string(reinterpret_cast<char*>(data), size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    int selector = data[0] % 4;
    int source = data[1];
    Value.assign(reinterpret_cast<const char*>(data + 2), size - 2);
    const char* name = selector < 3 ? kNames[selector] : kNames[0];
    std::string text = Value.substr(0, Value.find('\0'));

    macgate::RestorePlatformCalls();
    RealOpenKey = Platform.OpenParametersKey;
    Platform.OpenParametersKey = source == 0 ? UnopenableKey : CountingOpenKey;
    Platform.CloseParametersKey = CountingCloseKey;
    if (source == 1) {
        Platform.QueryParameterValue = UnreadableValue;
    } else if (source == 2) {
        setenv(name, text.c_str(), 1);
    } else {
        Platform.QueryParameterValue = ValueQuery;
    }
    OpenKeys = 0;
    char* path = macgate::ReadParameterPath(selector);
    unsetenv(name);
    if (OpenKeys != 0) {
        std::abort();
    }
    if (path == nullptr) {
        // From the environment, text that is not UTF-8 or is too long fails.
        bool mayFail =
            selector == 3 || source <= 2 || Value.size() > 1024 || HasLoneSurrogate(UnitsOf(Value));
        if (!mayFail) {
            std::abort();
        }
        return 0;
    }
    if (selector == 3 || source < 2) {
        std::abort();
    }
    if (source == 2 ? text != path : BackToUnits(name, path) != UnitsOf(Value)) {
        std::abort();
    }
    std::free(path);
    return 0;
}
