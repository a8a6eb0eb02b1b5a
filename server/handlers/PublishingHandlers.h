#pragma once

#include "server/http/Exchange.h"

namespace norvane::server {

// POST /MAKEURL: a download link for a file.
void handleMakeUrl(Exchange& exchange);
// GET or POST /s/<key>: the public page of a link, and the file once the password is right. No
// authorization.
void handlePublicLink(Exchange& exchange);

} // namespace norvane::server
