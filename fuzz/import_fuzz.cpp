// Feeds arbitrary bytes to macgate import as one input file, text or CSV.
// Besides crashes, leaks and hangs it checks import's promise: the list it
// writes loads every entry and draws no finding from the list checker.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/check_list_bytes.h"
#include "tools/macgate/lists/import_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace macgate;
    std::string text(reinterpret_cast<const char*>(data), size);
    ImportOutcome outcome = ImportAddresses({{"fuzz", text}}, ListAction::kUnset);
    if (outcome.list.empty()) {
        return 0;
    }
    ListReport report = CheckListBytes(outcome.list.data(), outcome.list.size());
    size_t entries = 0;
    for (char c : outcome.list) {
        entries += c == '\n' ? 1 : 0;
    }
    if (!report.findings.empty() || report.addresses + report.prefixes + 1 != entries) {
        std::fputs(outcome.list.c_str(), stderr);
        for (const Finding& finding : report.findings) {
            std::fprintf(stderr, "%s\n", FormatFinding("imported", finding).c_str());
        }
        std::abort();
    }
    return 0;
}
