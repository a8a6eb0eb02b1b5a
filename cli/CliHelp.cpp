#include "cli/CliHelp.h"

#include "cli/CommandLine.h"
#include "cli/ExitStatus.h"

namespace norvane::cli {

std::string CliHelp::full()
{
    std::string text = "usage: norvane-cli [--home DIR] [--json] [--yes|--no] COMMAND ...\n"
                       "\n"
                       "  --home DIR   keep settings and cache in DIR (sets NORVANE_HOME)\n"
                       "  --json       print one JSON object on standard output when the command ends;\n"
                       "               messages and progress go to standard error\n"
                       "  --yes, --no  answer every question (replace? delete?) this way; without them\n"
                       "               questions are asked on the terminal, and declined without one\n"
                       "\n"
                       "Remote paths: my:/folder/file in the personal area, shared:/folder/file in the\n"
                       "shared area; my:/ and shared:/ are the roots.\n"
                       "\n"
                       "Commands:\n";
    for (const CommandSpec& spec : CommandLine::commands()) {
        text += "  ";
        text += spec.synopsis;
        text += "\n      ";
        text += spec.summary;
        text += "\n";
    }
    text += "\nEvery command that works on the server signs in with the stored account first.\n"
            "Passwords are read from the terminal without echo, or from standard input\n"
            "(--password-stdin), never from the command line.\n"
            "\nExit status:\n";
    for (const ExitStatus::Row& row : ExitStatus::table()) {
        std::string status = std::to_string(row.status);
        text += "  " + std::string(4 - std::min<std::size_t>(status.size(), 3), ' ') + status + "  " + row.meaning
            + "\n";
    }
    return text;
}

std::vector<std::string> CliHelp::usage()
{
    std::string commands;
    for (const CommandSpec& spec : CommandLine::commands())
        commands += (commands.empty() ? "" : ", ") + std::string(spec.name);
    return { "usage: norvane-cli [--home DIR] [--json] [--yes|--no] COMMAND ...", "commands: " + commands,
        "norvane-cli --help tells more" };
}

std::string CliHelp::command(const std::string& name)
{
    const CommandSpec* spec = CommandLine::find(name);
    if (!spec)
        return {};
    return std::string("usage: norvane-cli ") + spec->synopsis + "\n  " + spec->summary + "\n";
}

} // namespace norvane::cli
