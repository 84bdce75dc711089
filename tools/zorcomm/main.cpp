// zorcomm: talk to motion-control drives from the command line.

#include "channel.h"
#include "commands.h"
#include "output.h"
#include "signals.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char *kFooter =
    "Without --port, --driver, --host or a CAN channel the program talks to the simulated\n"
    "drive. Numbers are decimal or 0x hex. Global options may also follow the command.\n"
    "\n"
    "Exit status: 0 done, 1 the drive, the link or a file failed (the reason on stderr),\n"
    "2 wrong command line. Ctrl-C stops scan, receive, monitor and the transfers at their next\n"
    "chance and closes the channel; monitor then ends with 0, the others with 1.\n"
    "\n"
    "With --json each result is one JSON object on one line of stdout; a failure is also\n"
    "{\"error\":{\"kind\":\"failure\"|\"usage\",\"message\":...,\"text\":...}} on stdout, \"text\" being\n"
    "the library's error text when it gave one.\n"
    "\n"
    "Examples:\n"
    "  zorcomm info\n"
    "  zorcomm --channel rs232 --port 1 --log-level 2 info\n"
    "  zorcomm --json scan --axes 1-8\n"
    "  zorcomm download examples/sample.out\n"
    "  zorcomm send --help\n"
    "  zorcomm --help-all";

// --json decides how usage mistakes are reported, and those may stop the parser before it
// reaches the flag; so look for it first.
bool AsksForJson(int argc, char **argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string_view(argv[i]) == "--json") return true;
    return false;
}

constexpr size_t kRuleWidth = 79;

// The program's help followed by every subcommand's, each under a rule with its name.
std::string WholeUsage(const CLI::App &app) {
    std::string text = app.help();
    for (const CLI::App *sub : app.get_subcommands({})) {
        std::string rule = "--- zorcomm " + sub->get_name() + " ";
        rule.resize(std::max(rule.size(), kRuleWidth), '-');
        text += "\n" + rule + "\n" + sub->help(app.get_name());
    }
    return text;
}

int Main(int argc, char **argv) {
    CLI::App app("Talk to motion-control drives over serial lines, CAN adapters, a device\n"
                 "server or a virtual serial driver.",
                 "zorcomm");
    app.footer(kFooter);
    app.require_subcommand(1);
    bool json = AsksForJson(argc, argv);
    zcli::SetJsonOutput(json);
    app.add_flag("--json", json, "Print results (and failures) as JSON objects, one per line");
    zcli::ChannelOptions channel;
    zcli::AddChannelOptions(app, channel);
    const std::vector<zcli::Command> commands = zcli::AddCommands(app, channel);
    // After the subcommands, which would otherwise each list it too.
    app.set_help_all_flag("--help-all", "Print the help of the program and of every command");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForAllHelp &) {
        std::fputs(WholeUsage(app).c_str(), stdout);
        return 0;
    } catch (const CLI::ParseError &error) {
        // CLI11 would only say that a subcommand is required; name the word it did not know.
        const bool helpAsked = error.get_exit_code() == 0;
        if (!helpAsked && app.get_subcommands().empty() && !app.remaining().empty()) {
            const std::string word = app.remaining().front();
            return static_cast<int>(zcli::UsageError("unknown command '" + word + "'"));
        }
        // Help was asked for: CLI11 prints it and reports 0. Anything else is a usage mistake.
        if (helpAsked) return app.exit(error);
        return static_cast<int>(zcli::UsageError(error.what()));
    }
    zcli::SetJsonOutput(json);
    zcli::CatchStopSignals();
    for (const zcli::Command &command : commands)
        if (command.app->parsed())
            return static_cast<int>(zcli::WithChannel(channel, command.run, command.beforeOpen));
    return static_cast<int>(zcli::ExitCode::Usage);
}

} // namespace

int main(int argc, char **argv) { return Main(argc, argv); }
