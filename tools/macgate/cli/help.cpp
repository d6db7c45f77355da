#include "tools/macgate/cli/help.h"

#include <vector>

namespace macgate {
namespace {

constexpr size_t kNameColumn = 30;

// An option that takes any number of values, as CLI11 marks one bound to a
// vector.
bool TakesManyValues(const CLI::Option& option) {
    return option.get_expected_max() >= CLI::detail::expected_max_vector_size;
}

// "  NAME" padded to the column, then the description; a name as wide as the
// column or wider puts the description on a line of its own.
void AddLine(std::string& text, const std::string& name, const std::string& description) {
    const std::string shown = "  " + name;
    text += shown;
    if (description.empty()) {
        text += '\n';
        return;
    }
    if (shown.size() >= kNameColumn) {
        text += '\n';
        text.append(kNameColumn, ' ');
    } else {
        text.append(kNameColumn - shown.size(), ' ');
    }
    for (char c : description) {
        text += c;
        if (c == '\n') {
            text.append(kNameColumn, ' ');
        }
    }
    text += '\n';
}

// What follows an option's name: "LIST", "...", "x 3", "REQUIRED", "Needs: --kea".
std::string OptionTerms(const CLI::Option& option) {
    std::string terms;
    if (option.get_type_size() != 0) {
        if (!option.get_type_name().empty()) {
            terms += " " + option.get_type_name();
        }
        if (TakesManyValues(option)) {
            terms += " ...";
        } else if (option.get_expected_min() > 1) {
            terms += " x " + std::to_string(option.get_expected_min());
        }
        if (option.get_required()) {
            terms += " REQUIRED";
        }
    }
    if (!option.get_needs().empty()) {
        terms += " Needs:";
        for (const CLI::Option* needed : option.get_needs()) {
            terms += " " + needed->get_name();
        }
    }
    return terms;
}

// A positional in the usage line: "LIST...", "PATHS(3x)", "[FILE...]".
std::string PositionalUsage(const CLI::Option& option) {
    std::string usage = option.get_name(true, false);
    if (TakesManyValues(option)) {
        usage += "...";
    } else if (option.get_expected_max() > 1) {
        usage += "(" + std::to_string(option.get_expected_min()) + "x)";
    }
    return option.get_required() ? usage : "[" + usage + "]";
}

}  // namespace

std::string HelpText(const CLI::App& app, const std::string& usage) {
    const std::vector<const CLI::Option*> positionals =
        app.get_options([](const CLI::Option* option) { return option->get_positional(); });
    const std::vector<const CLI::Option*> options =
        app.get_options([](const CLI::Option* option) { return option->nonpositional(); });
    const std::vector<const CLI::App*> commands = app.get_subcommands({});

    std::string text;
    if (!app.get_description().empty()) {
        text += app.get_description() + "\n";
    }
    text += "Usage: " + usage;
    if (!options.empty()) {
        text += " [OPTIONS]";
    }
    for (const CLI::Option* positional : positionals) {
        text += " " + PositionalUsage(*positional);
    }
    if (!commands.empty()) {
        text += " SUBCOMMAND";
    }
    text += "\n";

    if (!positionals.empty()) {
        text += "\nPositionals:\n";
        for (const CLI::Option* positional : positionals) {
            AddLine(text, positional->get_name(true, false) + OptionTerms(*positional),
                    positional->get_description());
        }
    }
    if (!options.empty()) {
        text += "\nOptions:\n";
        for (const CLI::Option* option : options) {
            AddLine(text, option->get_name(false, true) + OptionTerms(*option),
                    option->get_description());
        }
    }
    if (!commands.empty()) {
        text += "\nSubcommands:\n";
        for (const CLI::App* command : commands) {
            AddLine(text, command->get_name(), command->get_description());
        }
    }
    text += "\n";
    if (!app.get_footer().empty()) {
        text += app.get_footer() + "\n";
    }
    return text;
}

}  // namespace macgate
