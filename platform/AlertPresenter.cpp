#include "platform/AlertPresenter.h"

#include "platform/Strings.h"

#include <algorithm>
#include <fstream>
#include <iostream>
#include <unistd.h>

namespace norvane {

namespace {

constexpr const char* kOkKey = "alert_ok";
constexpr const char* kNoKey = "alert_no";
constexpr const char* kCancelKey = "alert_cancel";
// A person who keeps typing something else is asked this often before the safe answer is taken.
constexpr int kPromptAttempts = 10;

std::mutex& sharedMutex()
{
    static std::mutex m;
    return m;
}

std::shared_ptr<AlertPresenter>& sharedSlot()
{
    static std::shared_ptr<AlertPresenter> presenter;
    return presenter;
}

std::ptrdiff_t indexOf(const std::vector<std::string>& keys, std::string_view key)
{
    auto found = std::find(keys.begin(), keys.end(), key);
    return found == keys.end() ? -1 : found - keys.begin();
}

std::string lowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string trim(const std::string& text)
{
    std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    std::size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// Without anyone to ask, never take the button that acts: cancel, else no, else the last one.
std::size_t safeAnswer(const std::vector<std::string>& keys)
{
    if (std::ptrdiff_t cancel = indexOf(keys, kCancelKey); cancel >= 0)
        return static_cast<std::size_t>(cancel);
    if (std::ptrdiff_t no = indexOf(keys, kNoKey); no >= 0)
        return static_cast<std::size_t>(no);
    return keys.empty() ? 0 : keys.size() - 1;
}

} // namespace

// ---- AlertPresenter

void AlertPresenter::show(std::string titleKey, std::string messageKey, std::string detail)
{
    present(Alert { Alert::Kind::Show, std::move(titleKey), std::move(messageKey), std::move(detail), {} });
}

std::size_t AlertPresenter::ask(
    std::string titleKey, std::string messageKey, std::vector<std::string> buttonKeys, std::string detail)
{
    // A question needs at least one way to dismiss it.
    if (buttonKeys.empty())
        buttonKeys.emplace_back(kOkKey);
    Alert alert { Alert::Kind::Ask, std::move(titleKey), std::move(messageKey), std::move(detail),
        std::move(buttonKeys) };
    std::size_t answer = question(alert);
    // Callers index their own tables with the answer: an implementation's slip must not take
    // them out of bounds.
    return std::min(answer, alert.buttonKeys.size() - 1);
}

std::shared_ptr<AlertPresenter> AlertPresenter::shared()
{
    std::lock_guard lock(sharedMutex());
    if (!sharedSlot())
        sharedSlot() = std::make_shared<StderrAlertPresenter>();
    return sharedSlot();
}

void AlertPresenter::setShared(std::shared_ptr<AlertPresenter> presenter)
{
    std::lock_guard lock(sharedMutex());
    sharedSlot() = std::move(presenter);
}

// ---- RecordingAlertPresenter

void RecordingAlertPresenter::scriptAnswers(std::vector<std::size_t> answers)
{
    std::lock_guard lock(mutex_);
    script_.insert(script_.end(), answers.begin(), answers.end());
}

void RecordingAlertPresenter::setDefaultAnswer(std::size_t answer)
{
    std::lock_guard lock(mutex_);
    defaultAnswer_ = answer;
}

std::vector<RecordingAlertPresenter::Record> RecordingAlertPresenter::records() const
{
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<Alert> RecordingAlertPresenter::alerts() const
{
    std::lock_guard lock(mutex_);
    std::vector<Alert> result;
    result.reserve(records_.size());
    for (const Record& record : records_)
        result.push_back(record.alert);
    return result;
}

std::size_t RecordingAlertPresenter::count() const
{
    std::lock_guard lock(mutex_);
    return records_.size();
}

void RecordingAlertPresenter::clear()
{
    std::lock_guard lock(mutex_);
    records_.clear();
    script_.clear();
}

bool RecordingAlertPresenter::waitForCount(std::size_t n, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return records_.size() >= n; });
}

void RecordingAlertPresenter::present(const Alert& alert)
{
    {
        std::lock_guard lock(mutex_);
        records_.push_back(Record { alert, 0 });
    }
    changed_.notify_all();
}

std::size_t RecordingAlertPresenter::question(const Alert& alert)
{
    std::size_t answer = 0;
    {
        std::lock_guard lock(mutex_);
        if (script_.empty()) {
            answer = defaultAnswer_;
        } else {
            answer = script_.front();
            script_.pop_front();
        }
        // Record what the caller will actually receive.
        answer = std::min(answer, alert.buttonKeys.empty() ? 0 : alert.buttonKeys.size() - 1);
        records_.push_back(Record { alert, answer });
    }
    changed_.notify_all();
    return answer;
}

// ---- StderrAlertPresenter

StderrAlertPresenter::StderrAlertPresenter(Policy policy)
    : policy_(policy)
    , out_(&std::cerr)
    , in_(nullptr)
    , promptOut_(&std::cerr)
{
    if (policy_ == Policy::Prompt && isatty(STDIN_FILENO)) {
        auto terminal = std::make_unique<std::fstream>("/dev/tty", std::ios::in | std::ios::out);
        if (terminal->is_open()) {
            terminal_ = std::move(terminal);
            in_ = terminal_.get();
            promptOut_ = terminal_.get();
        }
    }
}

StderrAlertPresenter::StderrAlertPresenter(Policy policy, std::ostream& out, std::istream* in)
    : policy_(policy)
    , out_(&out)
    , in_(in)
    , promptOut_(&out)
{ }

std::size_t StderrAlertPresenter::policyAnswer(Policy policy, const std::vector<std::string>& buttonKeys)
{
    if (buttonKeys.empty())
        return 0;
    switch (policy) {
    case Policy::Yes: {
        auto acting = std::find_if(buttonKeys.begin(), buttonKeys.end(),
            [](const std::string& key) { return key != kNoKey && key != kCancelKey; });
        return acting == buttonKeys.end() ? 0 : static_cast<std::size_t>(acting - buttonKeys.begin());
    }
    case Policy::No:
        if (std::ptrdiff_t no = indexOf(buttonKeys, kNoKey); no >= 0)
            return static_cast<std::size_t>(no);
        return safeAnswer(buttonKeys);
    case Policy::Prompt:
        break;
    }
    return safeAnswer(buttonKeys);
}

void StderrAlertPresenter::write(const Alert& alert)
{
    std::string title = Strings::text(alert.titleKey);
    std::string message = Strings::text(alert.messageKey) + alert.detail;
    std::ostream& out = alert.kind == Alert::Kind::Ask ? *promptOut_ : *out_;
    if (!title.empty())
        out << title << '\n';
    if (!message.empty())
        out << message << '\n';
}

void StderrAlertPresenter::present(const Alert& alert)
{
    std::lock_guard lock(mutex_);
    write(alert);
    out_->flush();
}

std::size_t StderrAlertPresenter::question(const Alert& alert)
{
    // One question at a time: answers typed for one must not be read by another.
    std::lock_guard lock(mutex_);
    write(alert);
    if (policy_ == Policy::Prompt && in_)
        return prompt(alert);
    std::size_t answer = policyAnswer(policy_, alert.buttonKeys);
    *promptOut_ << "-> " << Strings::text(alert.buttonKeys[answer]) << '\n';
    promptOut_->flush();
    return answer;
}

std::size_t StderrAlertPresenter::prompt(const Alert& alert)
{
    std::ostream& out = *promptOut_;
    std::vector<std::string> labels;
    for (const std::string& key : alert.buttonKeys)
        labels.push_back(Strings::text(key));
    for (std::size_t i = 0; i < labels.size(); ++i)
        out << "  " << (i + 1) << ") " << labels[i] << '\n';

    for (int attempt = 0; attempt < kPromptAttempts; ++attempt) {
        out << "Choose 1-" << labels.size() << ": ";
        out.flush();
        std::string line;
        if (!std::getline(*in_, line))
            break;
        std::string choice = trim(line);
        // A number from the list, or the button's own text.
        if (!choice.empty() && choice.find_first_not_of("0123456789") == std::string::npos && choice.size() < 6) {
            std::size_t number = std::stoul(choice);
            if (number >= 1 && number <= labels.size())
                return number - 1;
        }
        for (std::size_t i = 0; i < labels.size(); ++i)
            if (!choice.empty() && lowerAscii(choice) == lowerAscii(labels[i]))
                return i;
    }
    // End of input (or no sensible answer): the safe choice, said aloud so the log shows it.
    std::size_t answer = safeAnswer(alert.buttonKeys);
    out << "\n-> " << labels[answer] << '\n';
    out.flush();
    return answer;
}

} // namespace norvane
