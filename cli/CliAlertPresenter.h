#pragma once

#include "cli/CommandLine.h"
#include "platform/AlertPresenter.h"

#include <memory>

namespace norvane::cli {

class Reporter;

// The alerts of every layer as the command line shows them: on standard error in the user's
// language (the terminal presenter does the writing and the asking), and recorded with the
// reporter for the JSON output. An alert with a single button needs no answer and is not asked.
class CliAlertPresenter final : public AlertPresenter {
public:
    CliAlertPresenter(Reporter& reporter, AnswerPolicy answers);

protected:
    void present(const Alert& alert) override;
    std::size_t question(const Alert& alert) override;

private:
    void record(const Alert& alert);

    Reporter& reporter_;
    std::unique_ptr<StderrAlertPresenter> terminal_;
};

} // namespace norvane::cli
