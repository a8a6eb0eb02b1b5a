#include "CloudServiceSDKForMac/ASIHTTP/ProxyAutoConfig.h"

#include <duktape.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace norvane {

namespace {

// ---------------------------------------------------------------------------------------------
// Reading the answer of FindProxyForURL

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string upper(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
        [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; });
    return out;
}

std::vector<std::string_view> words(std::string_view text)
{
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && isSpace(text[i]))
            ++i;
        std::size_t start = i;
        while (i < text.size() && !isSpace(text[i]))
            ++i;
        if (i > start)
            out.push_back(text.substr(start, i - start));
    }
    return out;
}

std::optional<int> parsePort(std::string_view text)
{
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535)
        return std::nullopt;
    return value;
}

// Host names end up in the transport's proxy setting, so only the characters of names and
// addresses get through; anything else (credentials, paths, spaces) makes the entry unusable.
bool plausibleHost(std::string_view host, bool bracketed)
{
    if (host.empty() || host.size() > 253)
        return false;
    return std::all_of(host.begin(), host.end(), [bracketed](char c) {
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        return alnum || c == '-' || c == '.' || c == '_' || (bracketed && c == ':');
    });
}

std::optional<ProxyEntry> parseAddress(ProxyEntry::Type type, std::string_view text, int defaultPort)
{
    ProxyEntry entry;
    entry.type = type;
    entry.port = defaultPort;
    std::string_view host = text;
    std::string_view rest;
    bool bracketed = false;
    if (!text.empty() && text.front() == '[') {
        std::size_t close = text.find(']');
        if (close == std::string_view::npos)
            return std::nullopt;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        bracketed = true;
        if (!rest.empty() && rest.front() != ':')
            return std::nullopt;
    } else {
        std::size_t colon = text.find(':');
        if (colon != std::string_view::npos) {
            if (text.find(':', colon + 1) != std::string_view::npos)
                return std::nullopt; // an IPv6 address needs brackets to carry a port
            host = text.substr(0, colon);
            rest = text.substr(colon);
        }
    }
    if (!rest.empty()) {
        auto port = parsePort(rest.substr(1));
        if (!port)
            return std::nullopt;
        entry.port = *port;
    }
    if (!plausibleHost(host, bracketed))
        return std::nullopt;
    entry.host = std::string(host);
    return entry;
}

// ---------------------------------------------------------------------------------------------
// The helper functions every auto-configuration script may call. Date and time come from the
// __norvaneClock object the evaluator fills in (the clock is read once, before the script runs);
// names are looked up by __norvaneLookup, which asks the parent process.

constexpr std::string_view pacLibrary = R"JS(
var __norvaneDays = ['SUN', 'MON', 'TUE', 'WED', 'THU', 'FRI', 'SAT'];
var __norvaneMonths = ['JAN', 'FEB', 'MAR', 'APR', 'MAY', 'JUN', 'JUL', 'AUG', 'SEP', 'OCT', 'NOV', 'DEC'];

function alert() {}

function __norvaneAddress(text) {
    var m = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(String(text));
    if (m === null) return null;
    var value = 0;
    for (var i = 1; i <= 4; i++) {
        var part = parseInt(m[i], 10);
        if (part > 255) return null;
        value = value * 256 + part;
    }
    return value;
}

function dnsResolve(host) {
    if (__norvaneAddress(host) !== null) return String(host);
    return __norvaneLookup(String(host));
}

function myIpAddress() { return __norvaneMyAddress; }

function isResolvable(host) { return dnsResolve(host) !== null; }

function isPlainHostName(host) { return String(host).indexOf('.') < 0; }

function dnsDomainIs(host, domain) {
    host = String(host).toLowerCase();
    domain = String(domain).toLowerCase();
    return host.length >= domain.length && host.substring(host.length - domain.length) === domain;
}

function localHostOrDomainIs(host, hostdom) {
    host = String(host).toLowerCase();
    hostdom = String(hostdom).toLowerCase();
    return host === hostdom || (host.indexOf('.') < 0 && hostdom.indexOf(host + '.') === 0);
}

function dnsDomainLevels(host) { return String(host).split('.').length - 1; }

function isInNet(host, pattern, mask) {
    var address = __norvaneAddress(host);
    if (address === null) {
        var resolved = dnsResolve(host);
        address = resolved === null ? null : __norvaneAddress(resolved);
        if (address === null) return false;
    }
    var net = __norvaneAddress(pattern), bits = __norvaneAddress(mask);
    if (net === null || bits === null) return false;
    return ((address & bits) >>> 0) === ((net & bits) >>> 0);
}

// Shell wildcards: '*' any run, '?' one character. Greedy matching with one back-tracking point
// keeps this linear in practice, where a translated regular expression can take exponential time.
function shExpMatch(str, shexp) {
    str = String(str);
    shexp = String(shexp);
    var s = 0, p = 0, star = -1, mark = 0;
    while (s < str.length) {
        if (p < shexp.length && (shexp.charAt(p) === '?' || shexp.charAt(p) === str.charAt(s))) {
            s++;
            p++;
        } else if (p < shexp.length && shexp.charAt(p) === '*') {
            star = p++;
            mark = s;
        } else if (star >= 0) {
            p = star + 1;
            s = ++mark;
        } else {
            return false;
        }
    }
    while (p < shexp.length && shexp.charAt(p) === '*') p++;
    return p === shexp.length;
}

function __norvaneClockArgs(args) {
    var list = Array.prototype.slice.call(args);
    var gmt = list.length > 0 && String(list[list.length - 1]).toUpperCase() === 'GMT';
    if (gmt) list.pop();
    return { list: list, now: gmt ? __norvaneClock.gmt : __norvaneClock.local };
}

// Inclusive range; a range whose start lies after its end wraps around (FRI..MON, 22h..6h).
function __norvaneWithin(low, value, high) {
    return low <= high ? (low <= value && value <= high) : (value >= low || value <= high);
}

function weekdayRange() {
    var call = __norvaneClockArgs(arguments), list = call.list;
    if (list.length < 1 || list.length > 2) return false;
    var first = __norvaneDays.indexOf(String(list[0]).toUpperCase());
    var last = list.length === 2 ? __norvaneDays.indexOf(String(list[1]).toUpperCase()) : first;
    if (first < 0 || last < 0) return false;
    return __norvaneWithin(first, call.now.weekday, last);
}

function __norvaneDateField(value) {
    var text = String(value).toUpperCase();
    var month = __norvaneMonths.indexOf(text);
    if (month >= 0) return { kind: 'month', value: month };
    if (!/^\d{1,4}$/.test(text)) return null;
    var number = parseInt(text, 10);
    if (number >= 1 && number <= 31) return { kind: 'day', value: number };
    if (number >= 1000) return { kind: 'year', value: number };
    return null;
}

// One field (day, month or year), or the same fields for both ends of a range: day, month,
// year, day month, month year, or day month year. Ranges without a year wrap around.
function dateRange() {
    var call = __norvaneClockArgs(arguments), list = call.list, now = call.now;
    var n = list.length;
    if (n !== 1 && n !== 2 && n !== 4 && n !== 6) return false;
    var half = n === 1 ? 1 : n / 2;
    var weight = { year: 10000, month: 100, day: 1 };
    var seen = {}, low = 0, high = 0, current = 0;
    for (var i = 0; i < half; i++) {
        var first = __norvaneDateField(list[i]);
        var last = __norvaneDateField(list[n === 1 ? i : half + i]);
        if (first === null || last === null || first.kind !== last.kind || seen[first.kind]) return false;
        seen[first.kind] = true;
        low += first.value * weight[first.kind];
        high += last.value * weight[first.kind];
        current += now[first.kind] * weight[first.kind];
    }
    if (seen.day && seen.year && !seen.month) return false;
    if (seen.year) return low <= current && current <= high;
    return __norvaneWithin(low, current, high);
}

// hour; hour1 hour2; h1 m1 h2 m2; h1 m1 s1 h2 m2 s2. The end is inclusive down to the
// finest unit given, so timeRange(9, 17) lasts until 17:59:59.
function timeRange() {
    var call = __norvaneClockArgs(arguments), list = call.list, now = call.now;
    var n = list.length;
    if (n !== 1 && n !== 2 && n !== 4 && n !== 6) return false;
    var per = n <= 2 ? 1 : n / 2, limits = [23, 59, 59], parts = [];
    for (var i = 0; i < n; i++) {
        var text = String(list[i]);
        if (!/^\d{1,2}$/.test(text)) return false;
        var value = parseInt(text, 10);
        if (value > limits[i % per]) return false;
        parts.push(value);
    }
    function seconds(offset, end) {
        var minute = per > 1 ? parts[offset + 1] : (end ? 59 : 0);
        var second = per > 2 ? parts[offset + 2] : (end ? 59 : 0);
        return parts[offset] * 3600 + minute * 60 + second;
    }
    var current = now.hour * 3600 + now.minute * 60 + now.second;
    return __norvaneWithin(seconds(0, false), current, seconds(n === 1 ? 0 : per, true));
}
)JS";

// ---------------------------------------------------------------------------------------------
// Child and parent talk over one socket pair in frames: a type byte, a 32-bit length, the
// payload. The child sends lookups ('Q') and finally an answer ('R') or an error ('E'); the
// parent replies to a lookup with a length (noAddress for "does not resolve") and the address.

constexpr char frameLookup = 'Q';
constexpr char frameAnswer = 'R';
constexpr char frameError = 'E';
constexpr std::uint32_t noAddress = 0xFFFFFFFFu;
constexpr std::size_t maxAnswer = std::size_t { 1 } << 20;
constexpr std::size_t maxHostName = 1024;
constexpr std::size_t maxAddressText = 64;
constexpr std::size_t blockHeader = alignof(std::max_align_t);

struct ChildState {
    std::size_t limit = 0;
    std::size_t used = 0;
    int socket = -1;
    const char* myAddress = "127.0.0.1";
};

bool sendAll(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool sendFrame(int fd, char type, const char* payload, std::size_t size)
{
    char header[5];
    header[0] = type;
    auto length = static_cast<std::uint32_t>(size);
    std::memcpy(header + 1, &length, sizeof length);
    return sendAll(fd, header, sizeof header) && sendAll(fd, payload, size);
}

// Child side: blocking reads (the parent's deadline bounds the whole child).
bool receiveAll(int fd, void* data, std::size_t size)
{
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        ssize_t n = ::recv(fd, bytes, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The script's heap: every block carries its size so that the total can be held under the limit.
void* heapAlloc(void* udata, duk_size_t size)
{
    auto* state = static_cast<ChildState*>(udata);
    if (size > state->limit - state->used)
        return nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(size + blockHeader));
    if (block == nullptr)
        return nullptr;
    std::memcpy(block, &size, sizeof size);
    state->used += size;
    return block + blockHeader;
}

void heapFree(void* udata, void* ptr)
{
    if (ptr == nullptr)
        return;
    auto* state = static_cast<ChildState*>(udata);
    auto* block = static_cast<unsigned char*>(ptr) - blockHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    state->used -= size;
    std::free(block);
}

void* heapRealloc(void* udata, void* ptr, duk_size_t size)
{
    if (ptr == nullptr)
        return heapAlloc(udata, size);
    if (size == 0) {
        heapFree(udata, ptr);
        return nullptr;
    }
    auto* state = static_cast<ChildState*>(udata);
    auto* block = static_cast<unsigned char*>(ptr) - blockHeader;
    std::size_t old = 0;
    std::memcpy(&old, block, sizeof old);
    if (size > old && size - old > state->limit - state->used)
        return nullptr;
    auto* moved = static_cast<unsigned char*>(std::realloc(block, size + blockHeader));
    if (moved == nullptr)
        return nullptr;
    state->used = state->used - old + size;
    std::memcpy(moved, &size, sizeof size);
    return moved + blockHeader;
}

[[noreturn]] void heapFatal(void* udata, const char* message)
{
    auto* state = static_cast<ChildState*>(udata);
    const char* text = message != nullptr ? message : "fatal script engine error";
    sendFrame(state->socket, frameError, text, std::strlen(text));
    _exit(3);
}

ChildState* childState(duk_context* ctx)
{
    duk_memory_functions functions;
    duk_get_memory_functions(ctx, &functions);
    return static_cast<ChildState*>(functions.udata);
}

// Duktape reports errors by long jumps through this frame, so it holds nothing with a destructor.
duk_ret_t jsLookup(duk_context* ctx)
{
    ChildState* state = childState(ctx);
    duk_size_t length = 0;
    const char* host = duk_safe_to_lstring(ctx, 0, &length);
    if (length == 0 || length > maxHostName) {
        duk_push_null(ctx);
        return 1;
    }
    std::uint32_t replyLength = 0;
    char reply[maxAddressText];
    if (!sendFrame(state->socket, frameLookup, host, length) || !receiveAll(state->socket, &replyLength, 4))
        _exit(4);
    if (replyLength == noAddress) {
        duk_push_null(ctx);
        return 1;
    }
    if (replyLength > sizeof reply || !receiveAll(state->socket, reply, replyLength))
        _exit(4);
    duk_push_lstring(ctx, reply, replyLength);
    return 1;
}

void pushTime(duk_context* ctx, const std::tm& time)
{
    duk_push_object(ctx);
    const std::pair<const char*, int> fields[] = {
        { "year", time.tm_year + 1900 },
        { "month", time.tm_mon },
        { "day", time.tm_mday },
        { "hour", time.tm_hour },
        { "minute", time.tm_min },
        { "second", std::min(time.tm_sec, 59) },
        { "weekday", time.tm_wday },
    };
    for (const auto& [name, value] : fields) {
        duk_push_int(ctx, value);
        duk_put_prop_string(ctx, -2, name);
    }
}

[[noreturn]] void childFail(ChildState& state, duk_context* ctx, const char* what)
{
    duk_size_t length = 0;
    const char* detail = duk_safe_to_lstring(ctx, -1, &length);
    // The thrown value is the script's to choose; a diagnostic needs only its beginning.
    std::string message = std::string(what) + ": " + std::string(detail, std::min<duk_size_t>(length, 1024));
    sendFrame(state.socket, frameError, message.data(), message.size());
    _exit(2);
}

struct ChildInput {
    std::string_view script;
    const std::string& url;
    const std::string& host;
    std::tm gmt;
    std::tm local;
    std::string myAddress;
    std::size_t memoryLimit;
    unsigned alarmSeconds;
};

[[noreturn]] void childMain(int socket, const ChildInput& input)
{
    // Only computation and the socket from here on: this process is a copy of a possibly
    // multi-threaded parent, whose locks (resolver, time zone, logging) may be held forever.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGALRM, SIG_DFL);
    alarm(input.alarmSeconds); // a second stop should the parent be gone
    auto fd = static_cast<unsigned>(socket);
    if (fd > 3)
        close_range(3, fd - 1, 0);
    close_range(fd + 1, ~0U, 0);

    ChildState state;
    state.limit = input.memoryLimit;
    state.socket = socket;
    state.myAddress = input.myAddress.c_str();

    duk_context* ctx = duk_create_heap(heapAlloc, heapRealloc, heapFree, &state, heapFatal);
    if (ctx == nullptr) {
        const char text[] = "cannot create the script heap";
        sendFrame(socket, frameError, text, sizeof text - 1);
        _exit(1);
    }
    duk_push_c_function(ctx, jsLookup, 1);
    duk_put_global_string(ctx, "__norvaneLookup");
    duk_push_string(ctx, state.myAddress);
    duk_put_global_string(ctx, "__norvaneMyAddress");
    duk_push_object(ctx);
    pushTime(ctx, input.gmt);
    duk_put_prop_string(ctx, -2, "gmt");
    pushTime(ctx, input.local);
    duk_put_prop_string(ctx, -2, "local");
    duk_put_global_string(ctx, "__norvaneClock");

    if (duk_peval_lstring(ctx, pacLibrary.data(), pacLibrary.size()) != 0)
        childFail(state, ctx, "helper library");
    duk_pop(ctx);

    duk_push_lstring(ctx, input.script.data(), input.script.size());
    duk_push_string(ctx, "proxy.pac");
    if (duk_pcompile(ctx, 0) != 0)
        childFail(state, ctx, "script does not compile");
    if (duk_pcall(ctx, 0) != 0)
        childFail(state, ctx, "script failed");
    duk_pop(ctx);

    if (!duk_get_global_string(ctx, "FindProxyForURL") || !duk_is_function(ctx, -1)) {
        const char text[] = "script defines no FindProxyForURL function";
        sendFrame(socket, frameError, text, sizeof text - 1);
        _exit(2);
    }
    duk_push_lstring(ctx, input.url.data(), input.url.size());
    duk_push_lstring(ctx, input.host.data(), input.host.size());
    if (duk_pcall(ctx, 2) != 0)
        childFail(state, ctx, "FindProxyForURL failed");
    if (!duk_is_string(ctx, -1)) {
        const char text[] = "FindProxyForURL did not return a string";
        sendFrame(socket, frameError, text, sizeof text - 1);
        _exit(2);
    }
    duk_size_t length = 0;
    const char* answer = duk_get_lstring(ctx, -1, &length);
    if (length > maxAnswer) {
        const char text[] = "FindProxyForURL returned an oversized answer";
        sendFrame(socket, frameError, text, sizeof text - 1);
        _exit(2);
    }
    sendFrame(socket, frameAnswer, answer, length);
    _exit(0);
}

// Parent side: reads that give up at the deadline.
enum class ReadStatus { Ok, Closed, TimedOut };

ReadStatus receiveBy(int fd, void* data, std::size_t size, std::chrono::steady_clock::time_point deadline)
{
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return ReadStatus::TimedOut;
        pollfd watch { fd, POLLIN, 0 };
        int ready = ::poll(&watch, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
        if (ready < 0 && errno != EINTR)
            return ReadStatus::Closed;
        if (ready <= 0)
            continue;
        ssize_t n = ::recv(fd, bytes, size, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            return ReadStatus::Closed;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return ReadStatus::Ok;
}

bool plausibleAddressText(const std::string& text)
{
    in_addr parsed {};
    return text.size() < maxAddressText && inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

std::string describeExit(int status)
{
    if (WIFSIGNALED(status))
        return "script evaluation ended by signal " + std::to_string(WTERMSIG(status));
    if (WIFEXITED(status))
        return "script evaluation ended without an answer (status " + std::to_string(WEXITSTATUS(status)) + ")";
    return "script evaluation ended without an answer";
}

} // namespace

std::optional<ProxyEntry> parseProxyAddress(ProxyEntry::Type type, std::string_view text)
{
    if (type == ProxyEntry::Type::Http)
        return parseAddress(type, text, 80);
    if (type == ProxyEntry::Type::Socks)
        return parseAddress(type, text, 1080);
    return std::nullopt;
}

std::vector<ProxyEntry> parsePacResult(std::string_view text)
{
    std::vector<ProxyEntry> entries;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string_view::npos)
            end = text.size();
        auto parts = words(text.substr(start, end - start));
        start = end + 1;
        if (parts.empty())
            continue;
        std::string keyword = upper(parts[0]);
        if (keyword == "DIRECT") {
            if (parts.size() == 1)
                entries.push_back(ProxyEntry {});
            continue;
        }
        if (parts.size() != 2)
            continue;
        std::optional<ProxyEntry> entry;
        if (keyword == "PROXY" || keyword == "HTTP")
            entry = parseProxyAddress(ProxyEntry::Type::Http, parts[1]);
        else if (keyword == "SOCKS" || keyword == "SOCKS4" || keyword == "SOCKS5")
            entry = parseProxyAddress(ProxyEntry::Type::Socks, parts[1]);
        if (entry)
            entries.push_back(std::move(*entry));
    }
    return entries;
}

ProxyAutoConfig::Result ProxyAutoConfig::run(
    std::string_view script, const std::string& url, const std::string& host, const Options& options)
{
    Result result;
    auto now = options.clock ? options.clock() : std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    ChildInput input { script, url, host, {}, {}, {}, options.memoryLimit, 0 };
    if (gmtime_r(&seconds, &input.gmt) == nullptr || localtime_r(&seconds, &input.local) == nullptr) {
        result.message = "clock out of range";
        return result;
    }
    input.myAddress = options.localAddress ? options.localAddress() : localIPv4Address();
    if (!plausibleAddressText(input.myAddress))
        input.myAddress = "127.0.0.1";
    auto timeoutSeconds = std::chrono::ceil<std::chrono::seconds>(options.timeout).count();
    input.alarmSeconds = static_cast<unsigned>(std::clamp<long long>(timeoutSeconds + 2, 2, 3600));

    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        result.message = std::string("cannot create a channel for the script: ") + std::strerror(errno);
        return result;
    }
    pid_t child = ::fork();
    if (child < 0) {
        result.message = std::string("cannot start the script evaluation: ") + std::strerror(errno);
        ::close(sockets[0]);
        ::close(sockets[1]);
        return result;
    }
    if (child == 0) {
        ::close(sockets[0]);
        try {
            childMain(sockets[1], input);
        } catch (...) {
            _exit(5);
        }
    }
    ::close(sockets[1]);
    int channel = sockets[0];

    auto deadline = std::chrono::steady_clock::now() + options.timeout;
    bool answered = false;
    while (!answered) {
        char header[5] = {};
        ReadStatus status = receiveBy(channel, header, sizeof header, deadline);
        std::uint32_t length = 0;
        std::memcpy(&length, header + 1, sizeof length);
        std::string payload;
        if (status == ReadStatus::Ok) {
            std::size_t limit = header[0] == frameLookup ? maxHostName : maxAnswer + 4096;
            if (length > limit) {
                result.message = "script evaluation sent a malformed message";
                break;
            }
            payload.resize(length);
            status = receiveBy(channel, payload.data(), length, deadline);
        }
        if (status == ReadStatus::TimedOut) {
            result.outcome = Outcome::TimedOut;
            result.message = "script evaluation timed out";
            break;
        }
        if (status == ReadStatus::Closed)
            break;

        switch (header[0]) {
        case frameLookup: {
            std::optional<std::string> address;
            try {
                address = options.resolve ? options.resolve(payload) : resolveIPv4(payload);
            } catch (...) {
                address.reset();
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                result.outcome = Outcome::TimedOut;
                result.message = "script evaluation timed out";
                answered = true;
                break;
            }
            bool sent = false;
            if (address && plausibleAddressText(*address)) {
                auto size = static_cast<std::uint32_t>(address->size());
                sent = sendAll(channel, &size, sizeof size) && sendAll(channel, address->data(), address->size());
            } else {
                sent = sendAll(channel, &noAddress, sizeof noAddress);
            }
            if (!sent)
                answered = true; // the child is gone; its exit status tells why
            break;
        }
        case frameAnswer:
            result.outcome = Outcome::Ok;
            result.answer = std::move(payload);
            answered = true;
            break;
        case frameError:
            result.outcome = Outcome::ScriptError;
            result.message = std::move(payload);
            answered = true;
            break;
        default:
            result.message = "script evaluation sent a malformed message";
            answered = true;
            break;
        }
    }

    ::close(channel);
    ::kill(child, SIGKILL);
    int status = 0;
    pid_t reaped = -1;
    do {
        reaped = ::waitpid(child, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    if (result.outcome == Outcome::Failed && result.message.empty())
        result.message = reaped == child ? describeExit(status) : "script evaluation ended without an answer";
    return result;
}

std::optional<std::vector<ProxyEntry>> ProxyAutoConfig::evaluate(
    std::string_view script, const std::string& url, const std::string& host, const Options& options)
{
    Result result = run(script, url, host, options);
    if (result.outcome != Outcome::Ok)
        return std::nullopt;
    return parsePacResult(result.answer);
}

std::optional<std::string> ProxyAutoConfig::resolveIPv4(const std::string& host)
{
    if (host.empty() || host.size() > 253 || host.find('\0') != std::string::npos)
        return std::nullopt;
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return std::nullopt;
    std::optional<std::string> text;
    for (addrinfo* it = found; it != nullptr && !text; it = it->ai_next) {
        if (it->ai_family != AF_INET || it->ai_addr == nullptr)
            continue;
        sockaddr_in address {};
        std::memcpy(&address, it->ai_addr, sizeof address);
        char buffer[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &address.sin_addr, buffer, sizeof buffer) != nullptr)
            text = buffer;
    }
    ::freeaddrinfo(found);
    return text;
}

std::string ProxyAutoConfig::localIPv4Address()
{
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return "127.0.0.1";
    std::string text = "127.0.0.1";
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET)
            continue;
        if ((it->ifa_flags & IFF_UP) == 0 || (it->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        sockaddr_in address {};
        std::memcpy(&address, it->ifa_addr, sizeof address);
        char buffer[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &address.sin_addr, buffer, sizeof buffer) != nullptr) {
            text = buffer;
            break;
        }
    }
    ::freeifaddrs(list);
    return text;
}

} // namespace norvane
