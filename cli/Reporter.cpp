#include "cli/Reporter.h"

#include "cli/ExitStatus.h"
#include "cli/TerminalText.h"

namespace norvane::cli {

Reporter::Reporter(bool json, std::ostream& out, std::ostream& err, bool progressOnTerminal)
    : json_(json)
    , out_(out)
    , err_(err)
    , bar_(err, progressOnTerminal)
{ }

void Reporter::line(const std::string& text)
{
    if (json_)
        return;
    std::lock_guard lock(mutex_);
    bar_.clear();
    // Not flushed line by line: a listing may be a million lines. Messages flush it first.
    out_ << TerminalText::escaped(text) << '\n';
}

void Reporter::text(const std::string& text)
{
    if (json_)
        return;
    std::lock_guard lock(mutex_);
    bar_.clear();
    out_ << TerminalText::escapedLines(text) << '\n';
    out_.flush();
}

void Reporter::message(const std::string& text)
{
    std::lock_guard lock(mutex_);
    out_.flush();
    bar_.clear();
    err_ << TerminalText::escaped(text) << '\n';
    err_.flush();
}

void Reporter::alert(const std::string& title, const std::string& message)
{
    std::lock_guard lock(mutex_);
    alerts_.push_back({ { "title", title }, { "message", message } });
}

void Reporter::streamArray(const std::string& name, std::function<void(const ElementSink&)> produce)
{
    std::lock_guard lock(mutex_);
    streamedName_ = name;
    streamed_ = std::move(produce);
}

void Reporter::clearProgress()
{
    std::lock_guard lock(mutex_);
    bar_.clear();
}

void Reporter::progress(std::uint64_t done, std::uint64_t total)
{
    std::lock_guard lock(mutex_);
    bar_.update(done, total);
}

void Reporter::finish(const std::string& command, int exitStatus, std::int32_t result, const std::string& error,
    const std::string& reason)
{
    std::lock_guard lock(mutex_);
    out_.flush();
    bar_.clear();
    if (!error.empty())
        err_ << "norvane-cli: " << TerminalText::escaped(error) << '\n';
    err_.flush();
    if (!json_)
        return;
    nlohmann::json object = nlohmann::json::object();
    object["command"] = command;
    object["ok"] = exitStatus == ExitStatus::kSuccess;
    object["exitStatus"] = exitStatus;
    if (result != 0) {
        object["result"] = result;
        object["resultName"] = ExitStatus::resultName(result);
    }
    if (!error.empty())
        object["error"] = error;
    if (!reason.empty())
        object["reason"] = reason;
    object["alerts"] = alerts_;
    for (auto& [key, value] : result_.items())
        object[key] = value;
    // Names from the server are not always valid UTF-8: replace rather than fail.
    const auto dump = [](const nlohmann::json& value) {
        return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    };
    std::string text = dump(object);
    if (streamed_ && !object.contains(streamedName_)) {
        // The object's closing brace waits until the list has been written into it.
        text.pop_back();
        out_ << text << (object.empty() ? "" : ",") << nlohmann::json(streamedName_).dump() << ":[";
        bool first = true;
        streamed_([&](const nlohmann::json& element) {
            out_ << (first ? "" : ",") << dump(element);
            first = false;
        });
        text = "]}";
    }
    out_ << text << '\n';
    out_.flush();
}

} // namespace norvane::cli
