// The reader of Windows library files, on images built here byte by byte:
// what it finds in a well-formed one, why it turns each kind of wrong file
// down, and that no cut or damaged file gets past it. The Wine suite runs the
// same reader on the built DLLs (macgate inspect).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/macgate/inspect/pe_file.h"

namespace macgate {
namespace {

const std::vector<std::string> kAllHooks = {
    "DhcpAddressDelHook", "DhcpAddressOfferHook", "DhcpControlHook", "DhcpDeleteClientHook",
    "DhcpNewPktHook",     "DhcpPktDropHook",      "DhcpPktSendHook", "DhcpServerCalloutEntry",
};

struct ImageLayout {
    uint16_t machine = kMachineX64;
    bool library = true;
    std::vector<std::string> exports = kAllHooks;
    std::string product = "macgate";  // empty: no version record
};

void Put16(std::string* bytes, size_t at, uint32_t value) {
    (*bytes)[at] = static_cast<char>(value & 0xff);
    (*bytes)[at + 1] = static_cast<char>((value >> 8) & 0xff);
}
void Put32(std::string* bytes, size_t at, uint32_t value) {
    Put16(bytes, at, value & 0xffff);
    Put16(bytes, at + 2, value >> 16);
}
void Pad4(std::string* bytes) {
    bytes->resize((bytes->size() + 3) & ~size_t{3}, '\0');
}
std::string Wide(const std::string& text) {
    std::string wide;
    for (char c : text + '\0') {
        wide += c;
        wide += '\0';
    }
    return wide;
}

// A version-record block that starts 4-aligned: header, key, value, children.
std::string Block(const std::string& key, const std::string& value, uint16_t valueLength,
                  const std::string& children) {
    std::string block(6, '\0');
    block += Wide(key);
    Pad4(&block);
    block += value;
    Pad4(&block);
    block += children;
    Put16(&block, 0, static_cast<uint32_t>(block.size()));
    Put16(&block, 2, valueLength);
    Put16(&block, 4, 1);  // text; the reader does not look
    return block;
}

std::string VersionRecord(const std::string& product) {
    std::string fixed(52, '\0');
    Put32(&fixed, 0, 0xFEEF04BD);
    Put32(&fixed, 8, 0x00010000);   // 1.0
    Put32(&fixed, 12, 0x00000001);  // .0.1
    std::string name = Block("ProductName", Wide(product), product.size() + 1, "");
    std::string strings = Block("StringFileInfo", "", 0, Block("040904b0", "", 0, name));
    return Block("VS_VERSION_INFO", fixed, 52, strings);
}

constexpr uint32_t kSectionAddress = 0x1000;
constexpr uint32_t kSectionOffset = 0x200;

// A one-section image: export table, then the resource tree and its record.
std::string BuildImage(const ImageLayout& layout) {
    bool wide = layout.machine != kMachineX86;
    uint32_t optionalSize = wide ? 240 : 224;
    std::string bytes(kSectionOffset, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    Put32(&bytes, 60, 64);
    bytes.replace(64, 4, std::string("PE\0\0", 4));
    Put16(&bytes, 68, layout.machine);
    Put16(&bytes, 70, 1);
    Put16(&bytes, 84, optionalSize);
    Put16(&bytes, 86, layout.library ? 0x2102 : 0x0102);
    const size_t optional = 88;
    Put16(&bytes, optional, wide ? 0x20b : 0x10b);
    const size_t directories = optional + (wide ? 108 : 92);
    Put32(&bytes, directories, 16);

    // Section data: export directory, name pointers, names.
    std::string data(40, '\0');
    Put32(&data, 24, static_cast<uint32_t>(layout.exports.size()));
    Put32(&data, 32, kSectionAddress + 40);
    data.resize(40 + 4 * layout.exports.size(), '\0');
    for (size_t i = 0; i < layout.exports.size(); ++i) {
        Put32(&data, 40 + 4 * i, kSectionAddress + static_cast<uint32_t>(data.size()));
        data += layout.exports[i] + '\0';
    }
    Put32(&bytes, directories + 4, kSectionAddress);
    Put32(&bytes, directories + 8, static_cast<uint32_t>(data.size()));
    Pad4(&data);

    if (!layout.product.empty()) {
        // Three levels of directory (type, name, language), a data entry.
        const uint32_t tree = static_cast<uint32_t>(data.size());
        std::string resources(3 * 24 + 16, '\0');
        for (uint32_t level = 0; level < 3; ++level) {
            Put16(&resources, 24 * level + 14, 1);
            Put32(&resources, 24 * level + 16, level == 0 ? 16 : level == 1 ? 1 : 0x409);
            Put32(&resources, 24 * level + 20, level < 2 ? 0x80000000u | (24 * (level + 1)) : 72);
        }
        std::string record = VersionRecord(layout.product);
        Put32(&resources, 72, kSectionAddress + tree + static_cast<uint32_t>(resources.size()));
        Put32(&resources, 76, static_cast<uint32_t>(record.size()));
        Put32(&bytes, directories + 4 + 16, kSectionAddress + tree);
        Put32(&bytes, directories + 4 + 20, static_cast<uint32_t>(resources.size()));
        data += resources + record;
    }

    const size_t section = optional + optionalSize;
    bytes.replace(section, 5, ".data");
    Put32(&bytes, section + 8, static_cast<uint32_t>(data.size()));
    Put32(&bytes, section + 12, kSectionAddress);
    Put32(&bytes, section + 16, static_cast<uint32_t>(data.size()));
    Put32(&bytes, section + 20, kSectionOffset);
    return bytes + data;
}

// What the DHCP server of each kind of Windows makes of each kind of file.
TEST(PeFile, SaysWhyTheServerCouldNotRunIt) {
    ImageLayout x86;
    x86.machine = kMachineX86;
    ImageLayout program;
    program.library = false;
    ImageLayout entryOnly;
    entryOnly.exports = {"DhcpServerCalloutEntry", "DhcpNewPktHook"};
    ImageLayout unversioned;
    unversioned.product.clear();
    ImageLayout other;
    other.product = "Filter Suite";
    ImageLayout arm;
    arm.machine = 0xaa64;
    struct Row {
        const char* name;
        ImageLayout layout;
        uint16_t server;
        const char* problem;
    } rows[] = {
        {"x64 on x64", ImageLayout(), kMachineX64, ""},
        {"x86 on x86", x86, kMachineX86, ""},
        {"x86 on x64", x86, kMachineX64,
         "F is macgate for x86 Windows, but this is x64 Windows, where the DHCP server is a "
         "64-bit process and cannot load it: use the macgate.dll of the windows-x64 zip"},
        {"x64 on x86", ImageLayout(), kMachineX86,
         "F is macgate for x64 Windows, but this is x86 Windows, where the DHCP server is a "
         "32-bit process and cannot load it: use the macgate.dll of the windows-x86 zip"},
        {"ARM64 on x64", arm, kMachineX64,
         "F is macgate for ARM64 Windows, but this is x64 Windows, where the DHCP server is a "
         "64-bit process and cannot load it: use the macgate.dll of the windows-x64 zip"},
        {"program", program, kMachineX64, "F is a program, not a library"},
        {"two hooks", entryOnly, kMachineX64,
         "F is no callout library of the DHCP server: it does not export DhcpControlHook, "
         "DhcpPktDropHook, DhcpPktSendHook, DhcpAddressDelHook, DhcpAddressOfferHook, "
         "DhcpDeleteClientHook"},
        {"no version record", unversioned, kMachineX64,
         "F is a callout library but not macgate: it carries no version record"},
        {"another product", other, kMachineX64,
         "F is a callout library but not macgate: its version record names \"Filter Suite\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PeFile file;
        std::string error;
        ASSERT_TRUE(ReadPeFile(BuildImage(row.layout), &file, &error)) << error;
        EXPECT_EQ(file.machine, row.layout.machine);
        EXPECT_EQ(file.exports.size(), row.layout.exports.size());
        EXPECT_EQ(file.product, row.layout.product);
        EXPECT_EQ(file.fileVersion, row.layout.product.empty() ? "" : "1.0.0.1");
        EXPECT_EQ(CalloutLibraryProblem(file, row.server, "F"), row.problem);
    }
}

// Files that are no image at all, or whose tables point past their end.
TEST(PeFile, TurnsDownWhatIsNoImage) {
    std::string image = BuildImage(ImageLayout());
    std::string noSignature = image;
    noSignature[64] = 'X';
    std::string farHeader = image;
    Put32(&farHeader, 60, 0x7ffffff0);
    std::string oddMagic = image;
    Put16(&oddMagic, 88, 0x107);
    std::string manySections = image;
    Put16(&manySections, 70, 0xffff);
    std::string manyNames = image;
    Put32(&manyNames, kSectionOffset + 24, 0x40000000);
    std::string farNames = image;
    Put32(&farNames, kSectionOffset + 32, 0xfffffff0);
    std::string farName = image;
    Put32(&farName, kSectionOffset + 40, 0x00ffffff);
    struct Row {
        const char* name;
        std::string bytes;
        const char* error;
    } rows[] = {
        {"empty", "", "it does not begin as a program or library does (MZ)"},
        {"text", std::string(100, 'x'), "it does not begin as a program or library does (MZ)"},
        {"no PE signature", noSignature, "it has no PE header"},
        {"header past the end", farHeader, "it has no PE header"},
        {"unknown optional header", oddMagic, "its optional header is of an unknown kind"},
        {"more sections than bytes", manySections, "its section table is cut short"},
        {"a billion names", manyNames, "its export names lie outside the file"},
        {"names past the end", farNames, "its export names lie outside the file"},
        {"a name past the end", farName, "an export name lies outside the file"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PeFile file;
        std::string error;
        EXPECT_FALSE(ReadPeFile(row.bytes, &file, &error));
        EXPECT_EQ(error, row.error);
    }
}

// Cut anywhere, a good library never passes for one the server can run.
TEST(PeFile, NoCutImagePasses) {
    for (uint16_t machine : {kMachineX86, kMachineX64}) {
        ImageLayout layout;
        layout.machine = machine;
        std::string image = BuildImage(layout);
        for (size_t size = 0; size < image.size(); ++size) {
            PeFile file;
            std::string error;
            bool read = ReadPeFile(image.substr(0, size), &file, &error);
            EXPECT_TRUE(!read || !CalloutLibraryProblem(file, machine, "F").empty())
                << "cut to " << size << " bytes";
            EXPECT_EQ(read, error.empty()) << "cut to " << size << " bytes";
        }
    }
}

}  // namespace
}  // namespace macgate
