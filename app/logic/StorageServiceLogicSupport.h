#pragma once

// Pieces every operation of StorageServiceLogic shares: where it runs, how a command runs, how a
// callback reaches the main queue, and the alerts that recur across the operation tables.

#include "CloudServiceSDKForMac/CloudService/CloudServiceCommand.h"
#include "app/logic/OperationEnvironment.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace norvane::logic {

// Queues the work on the shared background queue.
void runInBackground(std::function<void()> work);
// Runs fn on the main queue and waits for it; an exception it throws is caught and logged there.
void onMain(std::function<void()> fn);

// Runs the command synchronously in the environment's command service and gives its result.
// Without an environment or a service the command fails with 2 and an error that says so.
std::int32_t runCommand(const CloudServiceCommandPtr& command);
// Marks a command that was never sent as failed for the given reason.
void failWithoutRequest(CloudServiceCommand& command, long code, std::string description);

// The environment's account settings; empty ones without an environment.
AccountSettings accountSettings();

// The current moment as an RFC 1123 date.
std::string nowRfc1123();
std::string rfc1123(const std::chrono::system_clock::time_point& when);

// Alert texts by key; `detail` is literal text after the message.
void showAlert(const std::string& titleKey, const std::string& messageKey, const std::string& detail = {});
// "Network Error" / "Can't connect to network.".
void showNetworkError();
// The localised format of `key` with each "%@" replaced by the next argument.
std::string formatText(std::string_view key, const std::vector<std::string>& arguments);

// Lines joined with "\n", no feed after the last.
std::string joinLines(const std::vector<std::string>& lines);
// A server-given name fit for a message: control characters as \xNN.
std::string printableName(std::string_view name);

} // namespace norvane::logic
