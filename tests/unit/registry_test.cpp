#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "config/registry.h"
#include "platform/platform.h"

namespace macgate {
namespace {

const char* const kNames[] = {"CalloutErrorLogFile", "CalloutMacAddressListFile",
                              "CalloutInfoLogFile"};

// Counts key opens and closes around the real calls, so that every test can
// check that no path leaves the key open.
int OpenedKeys;
int ClosedKeys;
bool (*RealOpenKey)(void**);
void (*RealCloseKey)(void*);

bool CountingOpenKey(void** key) {
    bool opened = RealOpenKey(key);
    OpenedKeys += opened ? 1 : 0;
    return opened;
}

void CountingCloseKey(void* key) {
    ++ClosedKeys;
    RealCloseKey(key);
}

bool UnopenableKey(void**) {
    return false;
}

bool UnreadableValue(void*, const char*, unsigned char*, uint32_t*) {
    return false;
}

// Raw data handed back by the query, as a value of any type may hold it.
std::string RawValue;

bool RawQuery(void*, const char*, unsigned char* data, uint32_t* size) {
    if (RawValue.size() > *size) {
        return false;
    }
    std::memcpy(data, RawValue.data(), RawValue.size());
    *size = static_cast<uint32_t>(RawValue.size());
    return true;
}

// The Windows C runtime's "C" locale: one byte per character up to U+00FF.
size_t LatinOneWideToNarrow(char* narrow, const char16_t* text, size_t size) {
    size_t length = 0;
    while (text[length] != u'\0') {
        if (text[length] > 0xFF) {
            return kConversionFailed;
        }
        if (narrow != nullptr && length < size) {
            narrow[length] = static_cast<char>(text[length]);
        }
        ++length;
    }
    if (narrow != nullptr && length < size) {
        narrow[length] = '\0';
    }
    return narrow != nullptr && length > size ? size : length;
}

std::string Units(std::u16string text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
}

class ReadParameterPathTest : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : kNames) {
            unsetenv(name);
        }
        OpenedKeys = ClosedKeys = 0;
        RealOpenKey = Platform.OpenParametersKey;
        RealCloseKey = Platform.CloseParametersKey;
        Platform.OpenParametersKey = CountingOpenKey;
        Platform.CloseParametersKey = CountingCloseKey;
    }
    void TearDown() override {
        for (const char* name : kNames) {
            unsetenv(name);
        }
        EXPECT_EQ(OpenedKeys, ClosedKeys) << "the key was left open";
    }

    // The result as text, or "(none)".
    static std::string Read(int selector) {
        char* path = ReadParameterPath(selector);
        if (path == nullptr) {
            return "(none)";
        }
        std::string text = path;
        std::free(path);
        return text;
    }

    static std::string ReadRaw(const std::string& data) {
        RawValue = data;
        Platform.QueryParameterValue = RawQuery;
        return Read(kErrorLogFile);
    }
};

TEST_F(ReadParameterPathTest, EachSelectorReadsItsOwnValue) {
    setenv("CalloutErrorLogFile", "/var/log/macgate/error.log", 1);
    setenv("CalloutMacAddressListFile", "/etc/macgate/list.txt", 1);
    EXPECT_EQ(Read(kErrorLogFile), "/var/log/macgate/error.log");
    EXPECT_EQ(Read(kMacAddressListFile), "/etc/macgate/list.txt");
    EXPECT_EQ(Read(kInfoLogFile), "(none)");
    EXPECT_EQ(Read(3), "(none)");
    EXPECT_EQ(Read(-1), "(none)");
    EXPECT_EQ(OpenedKeys, 3);
}

TEST_F(ReadParameterPathTest, EmptyValueIsEmptyString) {
    setenv("CalloutInfoLogFile", "", 1);
    char* path = ReadParameterPath(kInfoLogFile);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path, "");
    std::free(path);
}

TEST_F(ReadParameterPathTest, MissingKeyOrUnreadableValueGivesNone) {
    setenv("CalloutErrorLogFile", "error.log", 1);
    Platform.OpenParametersKey = UnopenableKey;
    EXPECT_EQ(Read(kErrorLogFile), "(none)");
    EXPECT_EQ(ClosedKeys, 0);

    Platform.OpenParametersKey = CountingOpenKey;
    Platform.QueryParameterValue = UnreadableValue;
    EXPECT_EQ(Read(kErrorLogFile), "(none)");
    EXPECT_EQ(ClosedKeys, 1);
}

TEST_F(ReadParameterPathTest, FiveHundredElevenUnitsFitAndOneMoreFails) {
    std::string longest(511, 'a');
    setenv("CalloutErrorLogFile", longest.c_str(), 1);
    EXPECT_EQ(Read(kErrorLogFile), longest);
    setenv("CalloutErrorLogFile", (longest + "a").c_str(), 1);
    EXPECT_EQ(Read(kErrorLogFile), "(none)");

    // Units, not characters, count: a character beyond U+FFFF takes two.
    std::string face = "\xF0\x9F\x98\x80";  // U+1F600
    setenv("CalloutErrorLogFile", (std::string(509, 'b') + face).c_str(), 1);
    EXPECT_EQ(Read(kErrorLogFile), std::string(509, 'b') + face);
    setenv("CalloutErrorLogFile", (std::string(510, 'b') + face).c_str(), 1);
    EXPECT_EQ(Read(kErrorLogFile), "(none)");
}

TEST_F(ReadParameterPathTest, NarrowFormIsNeverCut) {
    // 511 units of a three-byte character: 1533 bytes, more than twice the
    // units, all of them kept.
    std::string wide;
    for (int i = 0; i < 511; ++i) {
        wide += "\xE6\x97\xA5";  // U+65E5
    }
    setenv("CalloutMacAddressListFile", wide.c_str(), 1);
    EXPECT_EQ(Read(kMacAddressListFile), wide);

    setenv("CalloutMacAddressListFile", "C:\\Listen\\\xC3\x84nderungen.txt", 1);
    EXPECT_EQ(Read(kMacAddressListFile), "C:\\Listen\\\xC3\x84nderungen.txt");
}

TEST_F(ReadParameterPathTest, TextWithoutNarrowFormGivesNone) {
    // Malformed UTF-8 in the stand-in cannot be read as a string value.
    setenv("CalloutErrorLogFile", "bad\xC3", 1);
    EXPECT_EQ(Read(kErrorLogFile), "(none)");
    for (const char* malformed : {"\xED\xA0\x80",           // an encoded surrogate
                                  "\xC0\xAF",               // an overlong '/'
                                  "\xF4\x90\x80\x80",       // beyond U+10FFFF
                                  "\xE6\x97", "x\x97y"}) {  // cut short, stray
        setenv("CalloutErrorLogFile", malformed, 1);
        EXPECT_EQ(Read(kErrorLogFile), "(none)") << malformed;
    }

    // A lone surrogate has no UTF-8 form.
    EXPECT_EQ(ReadRaw(Units(u"ab\xD800 c") + Units(std::u16string(1, u'\0'))), "(none)");

    // A character above U+00FF in the Windows "C" locale.
    Platform.WideToNarrow = LatinOneWideToNarrow;
    EXPECT_EQ(ReadRaw(Units(u"C:\\logs\\\u00E9t\u00E9.txt") + std::string(2, '\0')),
              "C:\\logs\\\xE9t\xE9.txt");
    EXPECT_EQ(ReadRaw(Units(u"C:\\logs\\\u65E5.txt") + std::string(2, '\0')), "(none)");
}

TEST_F(ReadParameterPathTest, ValueOfAnyShapeIsReadSafely) {
    // No terminator, filling the whole buffer: all 512 units are kept.
    std::string full = Units(std::u16string(512, u'x'));
    EXPECT_EQ(ReadRaw(full), std::string(512, 'x'));
    // No terminator and half a unit at the end.
    EXPECT_EQ(ReadRaw(Units(u"log") + "\x41"), "log");
    // A number value: four bytes, 1.
    EXPECT_EQ(ReadRaw(std::string("\x01\0\0\0", 4)), "\x01");
    // A list of strings ends at its first terminator.
    EXPECT_EQ(ReadRaw(Units(u"one") + std::string(2, '\0') + Units(u"two")), "one");
    // Nothing at all.
    EXPECT_EQ(ReadRaw(""), "");
}

}  // namespace
}  // namespace macgate
