#pragma once

#include "server/http/Exchange.h"

namespace norvane::server {

// GET of a file form: the thumbnail (?thumbnail=WxH), the upload status (?md5=M), the listing of a
// folder, or the file's bytes (ranged, conditional).
void handleFileRead(Exchange& exchange);
// GET /PDF/FILE/p?pageno=N and the shared form: one page of a PDF as a JPEG.
void handlePdfPage(Exchange& exchange);
// POST or PUT of a file form with ?md5=M&size=S: one chunk of an upload.
void handleUpload(Exchange& exchange);
// POST of a folder form: folder creation.
void handleCreateFolder(Exchange& exchange);
// The lock forms: GET answers the (always empty) upload status, PUT or POST locks or unlocks.
void handleLock(Exchange& exchange);

} // namespace norvane::server
