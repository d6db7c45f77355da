// The help text of macgate and each of its commands, laid out by macgate
// itself, so that it reads the same whatever release of CLI11 it is built
// with.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace macgate {

// "DESCRIPTION\nUsage: USAGE [OPTIONS] ...", then the positionals, the
// options and the commands, each name in a column 30 characters wide, then
// the footer. `usage` is the command as typed: "macgate" or "macgate check".
std::string HelpText(const CLI::App& app, const std::string& usage);

}  // namespace macgate
