// What a Windows library file says about itself, read from its bytes without
// loading it: the machine it is built for, the names it exports and its
// version record. Works on any system, so that a DLL can be looked at before
// a server is asked to load it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace macgate {

struct PeFile {
    uint16_t machine = 0;  // IMAGE_FILE_HEADER.Machine
    bool isLibrary = false;
    std::vector<std::string> exports;
    bool hasVersion = false;  // a version record with its fixed part
    std::string product;      // its ProductName, when it has one
    std::string fileVersion;  // "1.0.0.1"
};

constexpr uint16_t kMachineX86 = 0x014c;
constexpr uint16_t kMachineX64 = 0x8664;

// Reads the headers, the export names and the version record of the image in
// `bytes`. False, with `error` set to a reason that follows "it is no Windows
// library: ", when the bytes are no well-formed image.
bool ReadPeFile(const std::string& bytes, PeFile* file, std::string* error);

// "x86", "x64", "ARM64", or the number for any other machine.
std::string MachineName(uint16_t machine);

// Why the DHCP server on Windows for `machine` could not run `file` as
// macgate, or empty when it could. `path` names the file in the reason.
std::string CalloutLibraryProblem(const PeFile& file, uint16_t machine, const std::string& path);

}  // namespace macgate
