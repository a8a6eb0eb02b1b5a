#pragma once

#include "server/http/Exchange.h"

namespace norvane::server {

// PUT of a folder or file form that is no upload: copy ("x-zel-copy-src"), move
// ("x-zel-move-src"), folder rename ("x-zel-folder-rename-src") or permission change
// ("x-zel-editpermission" alone).
void handleManagementPut(Exchange& exchange);
// DELETE of a folder or file form; a folder goes with everything in it.
void handleDelete(Exchange& exchange);

} // namespace norvane::server
