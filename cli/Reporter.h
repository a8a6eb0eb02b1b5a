#pragma once

#include "cli/ProgressBar.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace norvane::cli {

// Where a command's output goes. Without --json, results are lines on standard output and
// messages lines on standard error. With --json, standard output gets exactly one JSON object
// when the command ends, and standard error still gets the messages and the progress display.
//
// Every line passes through here so that it never lands inside a half-drawn progress line, and
// with its control characters escaped (TerminalText): names and notices come from the server.
// Safe to use from any thread.
class Reporter {
public:
    Reporter(bool json, std::ostream& out, std::ostream& err, bool progressOnTerminal);

    bool json() const { return json_; }

    // A result line for a person (standard output); dropped with --json, where `result()` holds
    // the same facts.
    void line(const std::string& text);
    // Several result lines of a text of our own (the help): its line breaks are kept.
    void text(const std::string& text);
    // A message for a person (standard error), in both modes.
    void message(const std::string& text);
    // An alert as shown (localised title and message); standard error, and listed in the JSON.
    void alert(const std::string& title, const std::string& message);
    // Wipes the progress line before something else is written to standard error.
    void clearProgress();
    void progress(std::uint64_t done, std::uint64_t total);

    // The command's own fields of the JSON object.
    nlohmann::json& result() { return result_; }
    // A field of the JSON object that is a list made one element at a time while the object is
    // written: `produce` calls its argument once per element, in order. A listing of a million
    // entries is then never a JSON document in memory.
    using ElementSink = std::function<void(const nlohmann::json&)>;
    void streamArray(const std::string& name, std::function<void(const ElementSink&)> produce);

    // Ends the command: writes the JSON object (with --json) with "command", "ok", "result"
    // (the result code, when an operation gave one), "resultName", "exitStatus", "alerts" and,
    // when given, "error" (a line about what went wrong outside any operation) and "reason" (the
    // cause the command line found behind the result code: "wrong-credentials", ...).
    void finish(const std::string& command, int exitStatus, std::int32_t result, const std::string& error = {},
        const std::string& reason = {});

private:
    const bool json_;
    std::ostream& out_;
    std::ostream& err_;
    std::mutex mutex_;
    ProgressBar bar_;
    nlohmann::json result_ = nlohmann::json::object();
    nlohmann::json alerts_ = nlohmann::json::array();
    std::string streamedName_;
    std::function<void(const ElementSink&)> streamed_;
};

} // namespace norvane::cli
