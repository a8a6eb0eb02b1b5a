#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <istream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace norvane {

// One alert as the layers ask for it: keys of the string table, looked up by the presenter, so
// that a test sees exactly which alert was meant. `detail` is literal text shown right after the
// message (file names, a server's own message) and is never looked up.
struct Alert {
    enum class Kind { Show, Ask };
    Kind kind = Kind::Show;
    std::string titleKey;
    std::string messageKey;
    std::string detail;
    std::vector<std::string> buttonKeys; // empty for a plain alert: it has the one "alert_ok" button

    friend bool operator==(const Alert&, const Alert&) = default;
};

// How every layer shows a message to the user. The desktop queues alerts to the main thread;
// the command line writes them to standard error; tests record them.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;

    // Fire and forget: returns at once, the alert appears later (never inside this call on a GUI).
    void show(std::string titleKey, std::string messageKey, std::string detail = {});
    // A modal question from a worker thread, which waits for the answer: the index of the chosen
    // button, always < buttonKeys.size() (0 when there are no buttons).
    std::size_t ask(
        std::string titleKey, std::string messageKey, std::vector<std::string> buttonKeys, std::string detail = {});

    // The process-wide presenter; a standard-error one until something else is set. Setting null
    // brings that default back.
    static std::shared_ptr<AlertPresenter> shared();
    static void setShared(std::shared_ptr<AlertPresenter> presenter);

protected:
    virtual void present(const Alert& alert) = 0;
    virtual std::size_t question(const Alert& alert) = 0;
};

// Records every alert and answers questions from a script, for tests. Thread-safe.
class RecordingAlertPresenter : public AlertPresenter {
public:
    struct Record {
        Alert alert;
        std::size_t answer = 0; // the index given back; 0 for a plain alert
    };

    explicit RecordingAlertPresenter(std::size_t defaultAnswer = 0)
        : defaultAnswer_(defaultAnswer)
    { }

    // Answers for the coming questions, in order; once they run out, the default answer is given.
    void scriptAnswers(std::vector<std::size_t> answers);
    void setDefaultAnswer(std::size_t answer);

    std::vector<Record> records() const;
    std::vector<Alert> alerts() const;
    std::size_t count() const;
    void clear();
    // Waits until at least `n` alerts have been recorded; false when `timeout` passed first.
    bool waitForCount(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

protected:
    void present(const Alert& alert) override;
    std::size_t question(const Alert& alert) override;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Record> records_;
    std::deque<std::size_t> script_;
    std::size_t defaultAnswer_;
};

// Alerts of the command line: the localised title and message on standard error, questions
// answered by a fixed policy (--yes / --no) or by the person at the terminal.
class StderrAlertPresenter : public AlertPresenter {
public:
    enum class Policy {
        Prompt, // ask on the terminal; without one, take the safe answer (as No, preferring cancel)
        Yes, // the first button that neither declines nor cancels
        No, // "alert_no", else "alert_cancel", else the last button
    };

    // Writes to standard error; with Prompt and a terminal on standard input, asks on /dev/tty.
    explicit StderrAlertPresenter(Policy policy = Policy::Prompt);
    // Writes alerts and prompts to `out` and reads answers from `in`; a null `in` means no
    // terminal. Both streams must outlive the presenter.
    StderrAlertPresenter(Policy policy, std::ostream& out, std::istream* in);

    // The button a policy picks among `buttonKeys` without asking anyone.
    static std::size_t policyAnswer(Policy policy, const std::vector<std::string>& buttonKeys);

protected:
    void present(const Alert& alert) override;
    std::size_t question(const Alert& alert) override;

private:
    void write(const Alert& alert);
    std::size_t prompt(const Alert& alert);

    Policy policy_;
    std::mutex mutex_;
    std::unique_ptr<std::iostream> terminal_;
    std::ostream* out_;
    std::istream* in_;
    std::ostream* promptOut_;
};

} // namespace norvane
