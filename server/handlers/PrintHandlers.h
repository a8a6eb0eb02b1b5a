#pragma once

#include "server/http/Exchange.h"

namespace norvane::server {

// The simulated print service: registration refuses files above this size.
inline constexpr std::int64_t kPrintSizeLimit = 10 * 1024 * 1024;
// ... and users with this many jobs.
inline constexpr std::size_t kPrintJobLimit = 50;

// POST /NETPRINT: registers a file with the print service.
void handlePrintRegistration(Exchange& exchange);
// GET /NETPRINT: the user's print jobs.
void handlePrintList(Exchange& exchange);
// DELETE /NETPRINT/<key>: removes a job.
void handlePrintDelete(Exchange& exchange);

} // namespace norvane::server
