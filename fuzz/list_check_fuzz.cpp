// Feeds arbitrary bytes to macgate check's list checker as a list file.
// Besides crashes, leaks and hangs it checks that the findings name lines
// of the file, in order, and that each loaded key is one entry.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tools/macgate/list_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace macgate;
    // fmemopen refuses an empty buffer; an empty file reads the same.
    FILE* list =
        size == 0 ? std::fopen("/dev/null", "r") : fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (list == nullptr) {
        std::abort();
    }
    ListReport report;
    CheckListStream(list, &report);
    std::fclose(list);
    ReleaseList();

    int previous = 1;
    for (const Finding& finding : report.findings) {
        int line = finding.line == 0 ? INT32_MAX : finding.line;
        int last = report.lines.empty() ? 1 : report.lines.back().number;
        if (line < previous || (finding.line != 0 && finding.line > last) || finding.text.empty()) {
            std::abort();
        }
        previous = line;
    }
    for (size_t i = 0; i < report.lines.size(); ++i) {
        if (report.lines[i].number != static_cast<int>(i) + 1) {
            std::abort();
        }
    }
    if (report.addresses + report.prefixes != report.entries.size()) {
        std::abort();
    }
    return 0;
}
