#include "cli/CliAlertPresenter.h"

#include "cli/Reporter.h"
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
    terminal_->show(alert.titleKey, alert.messageKey, alert.detail);
}

std::size_t CliAlertPresenter::question(const Alert& alert)
{
    reporter_.clearProgress();
    record(alert);
    if (alert.buttonKeys.size() <= 1) {
        terminal_->show(alert.titleKey, alert.messageKey, alert.detail);
        return 0;
    }
    return terminal_->ask(alert.titleKey, alert.messageKey, alert.buttonKeys, alert.detail);
}

} // namespace norvane::cli
