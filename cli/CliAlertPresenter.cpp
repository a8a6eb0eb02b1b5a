#include "cli/CliAlertPresenter.h"

#include "cli/Reporter.h"
#include "cli/TerminalText.h"
#include "platform/Strings.h"

namespace norvane::cli {

namespace {

StderrAlertPresenter::Policy policyFor(AnswerPolicy answers)
{
    switch (answers) {
    case AnswerPolicy::Yes:
        return StderrAlertPresenter::Policy::Yes;
    case AnswerPolicy::No:
        return StderrAlertPresenter::Policy::No;
    case AnswerPolicy::Ask:
        break;
    }
    return StderrAlertPresenter::Policy::Prompt;
}

// The alert as the terminal shows it: texts looked up here, with what came from elsewhere (names
// in the detail, a server's message in place of a key) escaped. The terminal presenter looks the
// texts up again, which leaves text that is no key as it is.
Alert forTerminal(const Alert& alert)
{
    Alert shown = alert;
    shown.titleKey = TerminalText::escapedLines(Strings::text(alert.titleKey));
    shown.messageKey = TerminalText::escapedLines(Strings::text(alert.messageKey));
    shown.detail = TerminalText::escapedLines(alert.detail);
    return shown;
}

} // namespace

CliAlertPresenter::CliAlertPresenter(Reporter& reporter, AnswerPolicy answers)
    : reporter_(reporter)
    , terminal_(std::make_unique<StderrAlertPresenter>(policyFor(answers)))
{ }

void CliAlertPresenter::record(const Alert& alert)
{
    reporter_.alert(Strings::text(alert.titleKey), Strings::text(alert.messageKey) + alert.detail);
}

void CliAlertPresenter::present(const Alert& alert)
{
    reporter_.clearProgress();
    record(alert);
    const Alert shown = forTerminal(alert);
    terminal_->show(shown.titleKey, shown.messageKey, shown.detail);
}

std::size_t CliAlertPresenter::question(const Alert& alert)
{
    reporter_.clearProgress();
    record(alert);
    const Alert shown = forTerminal(alert);
    if (alert.buttonKeys.size() <= 1) {
        terminal_->show(shown.titleKey, shown.messageKey, shown.detail);
        return 0;
    }
    return terminal_->ask(shown.titleKey, shown.messageKey, shown.buttonKeys, shown.detail);
}

} // namespace norvane::cli
