#include "server/handlers/ManagementHandlers.h"

#include "server/handlers/HandlerSupport.h"

namespace norvane::server {

namespace {

bool overwriteAsked(const Exchange& exchange)
{
    return exchange.header("x-zel-uptype") == "0";
}

void answerDone(Exchange& exchange, const StoreFailure* failure)
{
    if (failure)
        return exchange.storeFailure(*failure);
    exchange.status(200);
}

// PUT <destination folder> with "x-zel-copy-src": the source lands in the folder under its name.
void handleCopy(Exchange& exchange)
{
    auto source = entryOfKey(exchange, exchange.header("x-zel-copy-src"));
    if (!source)
        return exchange.storeFailure(source.failure());
    auto copied = exchange.store.copy(*exchange.user, source->area, source->path, exchange.area(), exchange.target.path,
        overwriteAsked(exchange), entryMetaOf(exchange));
    answerDone(exchange, copied ? nullptr : &copied.failure());
}

// PUT <new full path> with "x-zel-move-src" or "x-zel-folder-rename-src".
void handleMove(Exchange& exchange, std::string_view sourceHeader)
{
    if (exchange.target.path.empty())
        return exchange.invalidArgument("The destination must name the entry");
    auto source = entryOfKey(exchange, exchange.header(sourceHeader));
    if (!source)
        return exchange.storeFailure(source.failure());
    auto moved = exchange.store.move(*exchange.user, source->area, source->path, exchange.area(), exchange.target.path,
        overwriteAsked(exchange), entryMetaOf(exchange));
    answerDone(exchange, moved ? nullptr : &moved.failure());
}

void handleChmod(Exchange& exchange)
{
    const std::string permission = exchange.header("x-zel-editpermission");
    if (permission != "0" && permission != "1")
        return exchange.invalidArgument("x-zel-editpermission must be 0 or 1");
    auto changed = exchange.store.setEditPermission(
        *exchange.user, exchange.area(), exchange.target.path, permission == "1" ? 1 : 0);
    answerDone(exchange, changed ? nullptr : &changed.failure());
}

} // namespace

void handleManagementPut(Exchange& exchange)
{
    if (exchange.hasHeader("x-zel-copy-src"))
        return handleCopy(exchange);
    if (exchange.hasHeader("x-zel-move-src"))
        return handleMove(exchange, "x-zel-move-src");
    if (exchange.hasHeader("x-zel-folder-rename-src"))
        return handleMove(exchange, "x-zel-folder-rename-src");
    if (exchange.hasHeader("x-zel-editpermission"))
        return handleChmod(exchange);
    exchange.invalidArgument("The request names no operation");
}

void handleDelete(Exchange& exchange)
{
    if (exchange.target.path.empty())
        return exchange.error(403, "AccessDenied", "The root of an area cannot be deleted");
    auto removed = exchange.store.remove(*exchange.user, exchange.area(), exchange.target.path);
    answerDone(exchange, removed ? nullptr : &removed.failure());
}

} // namespace norvane::server
