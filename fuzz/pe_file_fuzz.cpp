// Feeds arbitrary bytes to the reader of Windows library files that macgate
// inspect and status use. Besides crashes, leaks and hangs it checks that a
// refusal says why and that whatever is read gives a verdict.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tools/macgate/inspect/pe_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace macgate;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    PeFile file;
    std::string error;
    if (!ReadPeFile(bytes, &file, &error)) {
        if (error.empty()) {
            std::abort();
        }
        return 0;
    }
    if (!error.empty()) {
        std::abort();
    }
    CalloutLibraryProblem(file, kMachineX64, "F");
    CalloutLibraryProblem(file, kMachineX86, "F");
    return 0;
}
