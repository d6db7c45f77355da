// The macgate tool's subcommands. Each takes the arguments after its own
// name and gives the process exit status.
#pragma once

#include <string>
#include <vector>

namespace macgate {

// Exit statuses shared by the subcommands.
constexpr int kExitOk = 0;
constexpr int kExitFindings =
    1;  // check: lines reported or nothing loaded; replay: the library misbehaved
constexpr int kExitCannotRun = 2;  // a bad argument, or a file that cannot be read

int RunCheck(const std::vector<std::string>& arguments);
int RunReplay(const std::vector<std::string>& arguments);
int RunStatus(const std::vector<std::string>& arguments);

// Writes "macgate: <message>" to standard error.
void ReportError(const std::string& message);

}  // namespace macgate
