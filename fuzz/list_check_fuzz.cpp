// Feeds arbitrary bytes to macgate check's list checker as a list file.
// Besides crashes, leaks and hangs it checks that the findings name lines
// of the file, in order, and that each loaded key, server-wide or in a
// section, is one entry.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz/check_list_bytes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace macgate;
    ListReport report = CheckListBytes(data, size);

    int previous = 1;
    for (const Finding& finding : report.findings) {
        int line = finding.line == 0 ? INT32_MAX : finding.line;
        int last = report.lines.empty() ? 1 : report.lines.back().number;
        if (line < previous || (finding.line != 0 && finding.line > last) ||
            (finding.text.empty() && finding.note.empty())) {
            std::abort();
        }
        previous = line;
    }
    for (size_t i = 0; i < report.lines.size(); ++i) {
        if (report.lines[i].number != static_cast<int>(i) + 1) {
            std::abort();
        }
    }
    size_t loaded = report.addresses + report.prefixes;
    for (const SectionReport& section : report.sections) {
        loaded += section.addresses + section.prefixes;
    }
    if (loaded != report.entries.size()) {
        std::abort();
    }
    return 0;
}
