// A reader of the few parts of a PE image that tell whether the DHCP server
// can load it as macgate. Every offset and count in the file is checked
// against the file's size before it is used, so any bytes give an answer.
#include "tools/macgate/inspect/pe_file.h"

#include <algorithm>
#include <cstdio>

#include "callout/callout.h"

namespace macgate {
namespace {

constexpr uint16_t kMachineArm64 = 0xaa64;
constexpr uint16_t kLibraryFlag = 0x2000;  // IMAGE_FILE_DLL
constexpr uint32_t kResourceVersion = 16;  // RT_VERSION
// More names than any library exports: a count beyond it is damage.
constexpr uint32_t kMostExports = 65536;

struct Section {
    uint32_t address;
    uint32_t size;
    uint32_t offset;
    uint32_t rawSize;
};

class Image {
public:
    explicit Image(const std::string& bytes) : bytes_(bytes) {}

    bool Has(uint64_t offset, uint64_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }
    uint16_t U16(uint64_t offset) const {
        return static_cast<uint16_t>(Byte(offset) | (Byte(offset + 1) << 8));
    }
    uint32_t U32(uint64_t offset) const {
        return U16(offset) | (static_cast<uint32_t>(U16(offset + 2)) << 16);
    }

    // The file offset of `length` bytes at relative address `rva`, when one
    // section holds them all.
    bool Locate(uint32_t rva, uint32_t length, uint64_t* offset) const {
        for (const Section& section : sections_) {
            uint64_t start = section.address;
            uint64_t end = start + std::min(section.size == 0 ? section.rawSize : section.size,
                                            section.rawSize);
            if (rva >= start && uint64_t{rva} + length <= end) {
                *offset = uint64_t{section.offset} + (rva - start);
                return Has(*offset, length);
            }
        }
        return false;
    }

    // A NUL-terminated name at `rva`, at most 255 bytes.
    bool Name(uint32_t rva, std::string* name) const {
        uint64_t offset = 0;
        if (!Locate(rva, 1, &offset)) {
            return false;
        }
        name->clear();
        for (; Has(offset, 1) && name->size() < 256; ++offset) {
            char c = bytes_[offset];
            if (c == '\0') {
                return true;
            }
            name->push_back(c);
        }
        return false;
    }

    std::vector<Section> sections_;

private:
    uint32_t Byte(uint64_t offset) const {
        return static_cast<unsigned char>(bytes_[offset]);
    }

    const std::string& bytes_;
};

bool ReadExports(const Image& image, uint32_t rva, uint32_t size, PeFile* file,
                 std::string* error) {
    if (rva == 0 && size == 0) {
        return true;
    }
    uint64_t directory = 0;
    if (!image.Locate(rva, 40, &directory)) {
        *error = "its export table lies outside the file";
        return false;
    }
    uint32_t count = image.U32(directory + 24);
    uint32_t names = image.U32(directory + 32);
    uint64_t table = 0;
    if (count > kMostExports || !image.Locate(names, count * 4, &table)) {
        *error = "its export names lie outside the file";
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        std::string name;
        if (!image.Name(image.U32(table + 4 * i), &name)) {
            *error = "an export name lies outside the file";
            return false;
        }
        file->exports.push_back(name);
    }
    return true;
}

// One block of a version record: its key, where its value starts, and where
// the block and its value end.
struct Block {
    std::u16string key;
    uint64_t value;
    uint32_t valueLength;
    uint64_t children;
    uint64_t end;
};

uint64_t Aligned(uint64_t offset, uint64_t base) {
    return base + ((offset - base + 3) & ~uint64_t{3});
}

bool ReadBlock(const Image& image, uint64_t at, uint64_t limit, uint64_t base, Block* block) {
    if (at + 6 > limit) {
        return false;
    }
    uint16_t length = image.U16(at);
    block->valueLength = image.U16(at + 2);
    if (length < 6 || at + length > limit) {
        return false;
    }
    block->end = at + length;
    block->key.clear();
    uint64_t offset = at + 6;
    for (;; offset += 2) {
        if (offset + 2 > block->end) {
            return false;
        }
        char16_t c = image.U16(offset);
        if (c == 0) {
            break;
        }
        block->key.push_back(c);
    }
    block->value = Aligned(offset + 2, base);
    block->children = block->value;
    return true;
}

std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t c : text) {
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

// VS_VERSIONINFO: the fixed part's file version, and ProductName from the
// first string table.
void ReadVersion(const Image& image, uint64_t at, uint32_t size, PeFile* file) {
    const uint64_t base = at;
    const uint64_t limit = at + size;
    Block root;
    if (!ReadBlock(image, at, limit, base, &root) || root.key != u"VS_VERSION_INFO" ||
        root.valueLength < 52 || root.value + 52 > root.end ||
        image.U32(root.value) != 0xFEEF04BD) {
        return;
    }
    uint32_t high = image.U32(root.value + 8);
    uint32_t low = image.U32(root.value + 12);
    file->fileVersion = std::to_string(high >> 16) + "." + std::to_string(high & 0xffff) + "." +
                        std::to_string(low >> 16) + "." + std::to_string(low & 0xffff);
    file->hasVersion = true;

    for (uint64_t child = Aligned(root.value + root.valueLength, base); child < root.end;) {
        Block info;
        if (!ReadBlock(image, child, root.end, base, &info)) {
            return;
        }
        if (info.key == u"StringFileInfo") {
            Block table;
            if (!ReadBlock(image, info.children, info.end, base, &table)) {
                return;
            }
            for (uint64_t entry = table.children; entry < table.end;) {
                Block text;
                if (!ReadBlock(image, entry, table.end, base, &text)) {
                    return;
                }
                if (text.key == u"ProductName") {
                    std::u16string value;
                    for (uint64_t c = text.value; c + 2 <= text.end && image.U16(c) != 0; c += 2) {
                        value.push_back(image.U16(c));
                    }
                    file->product = Narrow(value);
                    return;
                }
                entry = Aligned(text.end, base);
            }
            return;
        }
        child = Aligned(info.end, base);
    }
}

// The resource tree's first RT_VERSION entry, three levels down.
void ReadResources(const Image& image, uint32_t rva, uint32_t size, PeFile* file) {
    uint64_t root = 0;
    if (rva == 0 || !image.Locate(rva, 16, &root) || !image.Has(root, size)) {
        return;
    }
    uint64_t directory = root;
    uint32_t wanted = kResourceVersion;
    for (int level = 0; level < 3; ++level) {
        if (!image.Has(directory, 16)) {
            return;
        }
        uint32_t entries = image.U16(directory + 12) + image.U16(directory + 14);
        uint32_t next = 0;
        bool found = false;
        for (uint32_t i = 0; i < entries && !found; ++i) {
            uint64_t entry = directory + 16 + 8 * uint64_t{i};
            if (!image.Has(entry, 8)) {
                return;
            }
            if (level > 0 || image.U32(entry) == wanted) {
                next = image.U32(entry + 4);
                found = true;
            }
        }
        bool isDirectory = (next & 0x80000000u) != 0;
        if (!found || isDirectory != (level < 2)) {
            return;
        }
        directory = root + (next & 0x7fffffffu);
    }
    uint64_t data = 0;
    if (!image.Has(directory, 8) ||
        !image.Locate(image.U32(directory), image.U32(directory + 4), &data)) {
        return;
    }
    ReadVersion(image, data, image.U32(directory + 4), file);
}

bool Exports(const PeFile& file, const char* name) {
    for (const std::string& exported : file.exports) {
        if (exported == name) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string MachineName(uint16_t machine) {
    switch (machine) {
        case kMachineX86:
            return "x86";
        case kMachineX64:
            return "x64";
        case kMachineArm64:
            return "ARM64";
        default: {
            char name[32];
            std::snprintf(name, sizeof name, "machine 0x%04x", machine);
            return name;
        }
    }
}

bool ReadPeFile(const std::string& bytes, PeFile* file, std::string* error) {
    *file = PeFile();
    Image image(bytes);
    if (!image.Has(0, 64) || bytes[0] != 'M' || bytes[1] != 'Z') {
        *error = "it does not begin as a program or library does (MZ)";
        return false;
    }
    uint32_t header = image.U32(60);
    if (!image.Has(header, 24) || bytes.compare(header, 4, std::string("PE\0\0", 4)) != 0) {
        *error = "it has no PE header";
        return false;
    }
    file->machine = image.U16(header + 4);
    uint16_t sectionCount = image.U16(header + 6);
    uint16_t optionalSize = image.U16(header + 20);
    file->isLibrary = (image.U16(header + 22) & kLibraryFlag) != 0;
    uint64_t optional = header + 24;
    if (!image.Has(optional, optionalSize) || optionalSize < 2) {
        *error = "its headers are cut short";
        return false;
    }
    uint16_t magic = image.U16(optional);
    uint64_t directories = 0;
    if (magic == 0x10b) {
        directories = 92;
    } else if (magic == 0x20b) {
        directories = 108;
    } else {
        *error = "its optional header is of an unknown kind";
        return false;
    }
    if (optionalSize < directories + 4) {
        *error = "its headers are cut short";
        return false;
    }
    uint32_t directoryCount = image.U32(optional + directories);
    uint64_t table = optional + optionalSize;
    if (!image.Has(table, uint64_t{sectionCount} * 40)) {
        *error = "its section table is cut short";
        return false;
    }
    for (uint16_t i = 0; i < sectionCount; ++i) {
        uint64_t at = table + 40 * uint64_t{i};
        image.sections_.push_back(
            {image.U32(at + 12), image.U32(at + 8), image.U32(at + 20), image.U32(at + 16)});
    }
    auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* size) {
        uint64_t at = optional + directories + 4 + 8 * uint64_t{index};
        bool present = index < directoryCount && at + 8 <= optional + optionalSize;
        *rva = present ? image.U32(at) : 0;
        *size = present ? image.U32(at + 4) : 0;
    };
    uint32_t rva = 0;
    uint32_t size = 0;
    directory(0, &rva, &size);
    if (!ReadExports(image, rva, size, file, error)) {
        return false;
    }
    directory(2, &rva, &size);
    ReadResources(image, rva, size, file);
    return true;
}

std::string CalloutLibraryProblem(const PeFile& file, uint16_t machine, const std::string& path) {
    if (!file.isLibrary) {
        return path + " is a program, not a library";
    }
    std::string missing;
    for (const char* hook : kCalloutExportNames) {
        if (!Exports(file, hook)) {
            missing += std::string(missing.empty() ? "" : ", ") + hook;
        }
    }
    if (!missing.empty()) {
        return path + " is no callout library of the DHCP server: it does not export " + missing;
    }
    if (!file.hasVersion) {
        return path + " is a callout library but not macgate: it carries no version record";
    }
    if (file.product != "macgate") {
        return path + " is a callout library but not macgate: its version record names \"" +
               file.product + "\"";
    }
    if (file.machine != machine) {
        std::string wanted = MachineName(machine);
        std::string bits = machine == kMachineX86 ? "32-bit" : "64-bit";
        return path + " is macgate for " + MachineName(file.machine) + " Windows, but this is " +
               wanted + " Windows, where the DHCP server is a " + bits +
               " process and cannot load it: use the macgate.dll of the windows-" + wanted + " zip";
    }
    return std::string();
}

}  // namespace macgate
