#pragma once

#include "server/http/Exchange.h"

#include <string_view>

namespace norvane::server {

// /_control/<name>: the test and administration endpoint. Only from a loopback address and with
// the right "X-Control-Token"; bodies and answers are JSON.
//   POST|DELETE faults      replace (JSON array of rules) / clear the fault rules
//   POST companies          {"code", "name", "requireDevice", "maxFileSize", "quota", "headers",
//                            "information", "informationSeq"}: create, or update the given fields
//   POST users              {"company", "user", "fullName" (or "name"), "password", "suspended"}: create (the
//                            company is made with defaults when missing)
//   POST devices            {"company", "user", "device", "registered"}: register a device id
//   POST shared-folders     {"company", "name", "managers": [logins]}
//   POST suspend            {"company", "user", "suspended"}
//   POST policies           {"company", "headers": {name: value}}
//   POST information        {"company", "text", "seq"}
//   POST read-only          {"company", "path": "/SHAREFOLDER/a", "readOnly"}
//   POST copy-settings      {"inBackgroundAbove", "stepDelayMs"}
//   POST clock              {"advanceSeconds"}: moves the clock of the time rules forward
void handleControl(Exchange& exchange);

// 127.0.0.0/8 and ::1, also written as IPv4-mapped IPv6.
bool isLoopbackAddress(std::string_view address);

} // namespace norvane::server
