// macgate import [--action allow|deny] [FILE...]: address lists from
// elsewhere, as one clean list file on standard output.
#include <cstdio>

#include "tools/macgate/cli/commands.h"
#include "tools/macgate/lists/import_reader.h"

namespace macgate {
namespace {

bool ReadWhole(FILE* file, std::string* text) {
    char buffer[65536];
    size_t read;
    while ((read = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text->append(buffer, read);
    }
    return std::ferror(file) == 0;
}

}  // namespace

int RunImport(ListAction action, const std::vector<std::string>& files) {
    std::vector<ImportSource> sources;
    if (files.empty()) {
        sources.push_back({"-", {}});
        if (!ReadWhole(stdin, &sources.back().text)) {
            ReportError("cannot read standard input");
            return kExitCannotRun;
        }
    }
    for (const std::string& path : files) {
        sources.push_back({path, {}});
        FILE* file = std::fopen(path.c_str(), "rb");
        bool read = file != nullptr && ReadWhole(file, &sources.back().text);
        if (file != nullptr) {
            std::fclose(file);
        }
        if (!read) {
            ReportError("cannot read " + path);
            return kExitCannotRun;
        }
    }
    ImportOutcome outcome = ImportAddresses(sources, action);
    std::fputs(outcome.list.c_str(), stdout);
    std::fflush(stdout);
    for (const std::string& problem : outcome.problems) {
        std::fprintf(stderr, "%s\n", problem.c_str());
    }
    for (const std::string& note : outcome.notes) {
        std::fprintf(stderr, "%s\n", note.c_str());
    }
    if (outcome.actionUndecided) {
        ReportError("the action is not clear: no list written");
        return kExitFindings;
    }
    if (outcome.list.empty()) {
        ReportError("no hardware address found: no list written");
        return kExitFindings;
    }
    return outcome.problems.empty() ? kExitOk : kExitFindings;
}

}  // namespace macgate
