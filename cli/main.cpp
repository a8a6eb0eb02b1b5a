// norvane-cli: the command-line front end over the operation layer and the desktop client's
// settings file.

#include "Version.h"
#include "cli/CliCommands.h"
#include "cli/CliHelp.h"
#include "cli/CliSession.h"
#include "cli/CommandLine.h"
#include "cli/Reporter.h"

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <unistd.h>

using namespace norvane::cli;

namespace {

int runInvocation(const Invocation& invocation, Reporter& reporter)
{
    if (invocation.version) {
        reporter.line(std::string("norvane-cli ") + norvane::kVersion);
        reporter.result()["version"] = norvane::kVersion;
        reporter.finish("version", ExitStatus::kSuccess, 0);
        return ExitStatus::kSuccess;
    }
    if (invocation.help) {
        const std::string topic = invocation.command == "help" && !invocation.arguments.empty()
            ? invocation.arguments.front()
            : invocation.command == "help" ? std::string()
                                           : invocation.command;
        std::string text = topic.empty() ? CliHelp::full() : CliHelp::command(topic);
        if (text.empty()) {
            reporter.finish("help", ExitStatus::kUsage, 0, "no command \"" + topic + "\"");
            return ExitStatus::kUsage;
        }
        reporter.text(text);
        reporter.result()["help"] = text;
        reporter.finish("help", ExitStatus::kSuccess, 0);
        return ExitStatus::kSuccess;
    }

    if (!invocation.home.empty()) {
        std::error_code error;
        const std::string home = std::filesystem::absolute(invocation.home, error).string();
        ::setenv("NORVANE_HOME", home.c_str(), 1);
    }
    Outcome outcome;
    {
        CliSession session(invocation, reporter);
        outcome = CliCommands::run(session);
        if (outcome.result == 4 && CliSession::interrupted() && outcome.error.empty())
            outcome.error = "interrupted";
    }
    reporter.finish(invocation.command, outcome.exitStatus, outcome.result, outcome.error, outcome.reason);
    return outcome.exitStatus;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const CommandLine::Result parsed = CommandLine::parse(arguments);
    Reporter reporter(parsed.invocation.json, std::cout, std::cerr, ::isatty(STDERR_FILENO) != 0);
    if (!parsed.ok()) {
        if (parsed.invocation.command.empty())
            for (const std::string& line : CliHelp::usage())
                reporter.message(line);
        reporter.finish(parsed.invocation.command, ExitStatus::kUsage, 0, parsed.error + " (norvane-cli --help)");
        return ExitStatus::kUsage;
    }
    try {
        return runInvocation(parsed.invocation, reporter);
    } catch (const std::exception& exception) {
        reporter.finish(parsed.invocation.command, ExitStatus::kInternal, 0, exception.what());
    } catch (...) {
        reporter.finish(parsed.invocation.command, ExitStatus::kInternal, 0, "unexpected failure");
    }
    return ExitStatus::kInternal;
}
