// zorcomm: talk to motion-control drives from the command line.

#include "channel.h"
#include "commands.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

namespace {

constexpr const char *kFooter =
    "Without --port or --driver the program talks to the simulated drive.\n"
    "Numbers are decimal or 0x hex. Exit status: 0 done, 1 the drive or the link failed,\n"
    "2 wrong command line.\n"
    "\n"
    "Examples:\n"
    "  zorcomm info\n"
    "  zorcomm --channel rs232 --port 1 --log-level 2 info\n"
    "  zorcomm download examples/sample.out\n"
    "  zorcomm send --help";

int Main(int argc, char **argv) {
    CLI::App app("Talk to motion-control drives over a serial line or a virtual serial driver.",
                 "zorcomm");
    app.footer(kFooter);
    app.require_subcommand(1);
    zcli::ChannelOptions channel;
    zcli::AddChannelOptions(app, channel);
    const std::vector<zcli::Command> commands = zcli::AddCommands(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &error) {
        // CLI11 would only say that a subcommand is required; name the word it did not know.
        const bool helpAsked = error.get_exit_code() == 0;
        if (!helpAsked && app.get_subcommands().empty() && !app.remaining().empty()) {
            const std::string word = app.remaining().front();
            return static_cast<int>(zcli::UsageError("unknown command '" + word + "'"));
        }
        // Help was asked for: CLI11 prints it and reports 0. Anything else is a usage mistake.
        return app.exit(error) == 0 ? 0 : static_cast<int>(zcli::ExitCode::Usage);
    }
    for (const zcli::Command &command : commands)
        if (command.app->parsed()) return static_cast<int>(zcli::WithChannel(channel, command.run));
    return static_cast<int>(zcli::ExitCode::Usage);
}

} // namespace

int main(int argc, char **argv) { return Main(argc, argv); }
