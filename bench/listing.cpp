// Parses one generated folder listing of 100,000 entries, in the storage protocol's format, with
// the adaptor's listing parser and with a plain libxml2 program (xmlReadMemory, the XPath
// "//foo:Contents", the same fields copied into plain structs) in the same run; then parses it
// once more with each parser in a child process of its own and reads that child's peak resident
// set, set against the size of the body.
//
//   listing [--entries N] [--rounds R]    (defaults 100000 and 5)
//
// Prints BENCH lines (see ARCHITECTURE.md) on standard output, progress on standard error.
// Exit status: 0 when every figure meets its target, 1 when one misses it, 2 when the run could
// not be made. The body is written to a temporary file for the children and removed at the end.

#include "CloudServiceSDKForMac/CloudService/RestStorageServiceAdaptor.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using norvane::Bytes;
using norvane::FileInfoList;
using norvane::RestStorageServiceAdaptor;
using Clock = std::chrono::steady_clock;

bool gAllPassed = true;

void bench(const std::string& name, double value, int decimals, const std::string& unit, const char* op, double target)
{
    bool pass = std::string(op) == ">=" ? value >= target : value <= target;
    gAllPassed = gAllPassed && pass;
    std::printf("BENCH %s %.*f %s target %s %.*f %s\n", name.c_str(), decimals, value, unit.c_str(), op,
        target == 0 ? 0 : decimals, target, pass ? "PASS" : "FAIL");
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------------------------
// The listing body: what the storage server sends for a large shared folder, pretty-printed, with
// Japanese names, a lock on every tenth entry and a copy in progress on every fiftieth.

std::string generateListing(int entries)
{
    static const char* const kOwners[] = { "山田 太郎", "佐藤 花子", "鈴木 一郎", "Maria Schmidt" };
    std::string body;
    body.reserve(static_cast<std::size_t>(entries) * 1500 + 512);
    body += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListBucketResult xmlns=\"";
    body += RestStorageServiceAdaptor::kListingNamespaceURI;
    body += "\">\n  <Name>FILE</Name>\n  <Prefix>/FILE/プロジェクト/資料/</Prefix>\n";
    char number[32];
    for (int i = 0; i < entries; ++i) {
        std::snprintf(number, sizeof number, "%06d", i);
        const std::string n = number;
        const bool folder = i % 17 == 0;
        const std::string name = folder ? "議事録フォルダ_" + n : "報告書_" + n + ".docx";
        const char* owner = kOwners[i % 4];
        const char* author = kOwners[(i + 1) % 4];
        auto element = [&body](const char* tag, const std::string& value) {
            body += "    <";
            body += tag;
            body += '>';
            body += value;
            body += "</";
            body += tag;
            body += ">\n";
        };
        body += "  <Contents>\n";
        element("Name", name);
        element("resourcename", "R" + n + "-7f3a9c");
        element("folderid", "F" + n);
        element("fatherid", "F000001");
        element("author", "user" + std::to_string(i % 500));
        element("deviceid", "dc09A1B2C3D4E5F60718293A4B5C6D7E8F90");
        element("Type", folder ? "folder" : "file");
        element("Size", std::to_string(folder ? 0 : 1000 + static_cast<long long>(i) * 7919));
        element("LastModified", "2024-05-01T10:00:00.000Z");
        element("isEmpty", folder && i % 2 ? "true" : "false");
        element("isowner", i % 3 ? "0" : "1");
        element("editpermission", i % 5 ? "1" : "0");
        element("timestamp", std::to_string(1714557600000LL + i));
        element("fullpath", "/FILE/プロジェクト/資料/" + name);
        element("ownername", owner);
        element("creationdate", "2024-01-02T03:04:05.000Z");
        element("owner", "user" + std::to_string(i % 4));
        element("authorname", author);
        element("offlineflg", "0");
        element("expiretime", "0");
        element("isReadOnly", i % 7 ? "false" : "true");
        const bool locked = i % 10 == 0;
        element("lockUserId", locked ? "user42" : "");
        element("lockUserName", locked ? "田中 次郎" : "");
        element("lockStartTime", locked ? "2024-05-01T09:00:00.000Z" : "");
        const bool copying = i % 50 == 0;
        element("actionType", copying ? "copy" : "");
        element("actionFileType", copying ? "file" : "");
        element("actionProgress", copying ? "40" : "");
        element("actionSrc", copying ? "/FILE/元/" + name : "");
        element("actionDest", copying ? "/FILE/先/" + name : "");
        element("isManager", i % 11 ? "false" : "true");
        body += "  </Contents>\n";
    }
    body += "</ListBucketResult>\n";
    return body;
}

// ---------------------------------------------------------------------------------------------
// The yardstick: what a plain libxml2 program does with the same body.

struct PlainEntry {
    std::string name, resourcename, folderid, fatherid, author, deviceid;
    int type = 0;
    std::uint64_t size = 0;
    std::string lastModified;
    bool isEmpty = false;
    long long isowner = 0, editpermission = 0;
    std::string timestamp, fullpath, ownername, creationdate, owner, authorname;
    int offlineflg = -1, expiretime = -1;
    bool isReadOnly = false;
    std::string lockUserId, lockUserName, lockStartTime;
    std::string actionType, actionFileType, actionProgress, actionSrc, actionDest;
    bool isManager = false;
};

bool plainBool(const std::string& s)
{
    return !s.empty() && (s[0] == 'Y' || s[0] == 'y' || s[0] == 'T' || s[0] == 't' || (s[0] >= '1' && s[0] <= '9'));
}

void plainAssign(PlainEntry& e, const char* name, std::string value)
{
    const std::string_view n = name;
    if (n == "Name")
        e.name = std::move(value);
    else if (n == "resourcename")
        e.resourcename = std::move(value);
    else if (n == "folderid")
        e.folderid = std::move(value);
    else if (n == "fatherid")
        e.fatherid = std::move(value);
    else if (n == "author")
        e.author = std::move(value);
    else if (n == "deviceid")
        e.deviceid = std::move(value);
    else if (n == "Type")
        e.type = value == "folder" ? 1 : 0;
    else if (n == "Size")
        e.size = std::strtoull(value.c_str(), nullptr, 10);
    else if (n == "LastModified")
        e.lastModified = std::move(value);
    else if (n == "isEmpty")
        e.isEmpty = plainBool(value);
    else if (n == "isowner")
        e.isowner = std::strtoll(value.c_str(), nullptr, 10);
    else if (n == "editpermission")
        e.editpermission = std::strtoll(value.c_str(), nullptr, 10);
    else if (n == "timestamp")
        e.timestamp = std::move(value);
    else if (n == "fullpath")
        e.fullpath = std::move(value);
    else if (n == "ownername")
        e.ownername = std::move(value);
    else if (n == "creationdate")
        e.creationdate = std::move(value);
    else if (n == "owner")
        e.owner = std::move(value);
    else if (n == "authorname")
        e.authorname = std::move(value);
    else if (n == "offlineflg")
        e.offlineflg = std::atoi(value.c_str());
    else if (n == "expiretime")
        e.expiretime = std::atoi(value.c_str());
    else if (n == "isReadOnly")
        e.isReadOnly = plainBool(value);
    else if (n == "lockUserId")
        e.lockUserId = std::move(value);
    else if (n == "lockUserName")
        e.lockUserName = std::move(value);
    else if (n == "lockStartTime")
        e.lockStartTime = std::move(value);
    else if (n == "actionType")
        e.actionType = std::move(value);
    else if (n == "actionFileType")
        e.actionFileType = std::move(value);
    else if (n == "actionProgress")
        e.actionProgress = std::move(value);
    else if (n == "actionSrc")
        e.actionSrc = std::move(value);
    else if (n == "actionDest")
        e.actionDest = std::move(value);
    else if (n == "isManager")
        e.isManager = plainBool(value);
}

const xmlChar* xml(const char* text)
{
    return reinterpret_cast<const xmlChar*>(text);
}

// -1 when the body is not a document.
long parsePlain(const Bytes& body, std::vector<PlainEntry>& out)
{
    xmlDocPtr doc = xmlReadMemory(reinterpret_cast<const char*>(body.data()), static_cast<int>(body.size()), nullptr,
        nullptr, XML_PARSE_NOBLANKS | XML_PARSE_NONET);
    if (!doc)
        return -1;
    xmlXPathContextPtr context = xmlXPathNewContext(doc);
    xmlXPathRegisterNs(context, xml("foo"), xml(RestStorageServiceAdaptor::kListingNamespaceURI));
    xmlXPathObjectPtr result = xmlXPathEvalExpression(xml("//foo:Contents"), context);
    long count = -1;
    if (result && result->nodesetval) {
        xmlNodeSetPtr nodes = result->nodesetval;
        out.reserve(out.size() + static_cast<std::size_t>(nodes->nodeNr));
        for (int i = 0; i < nodes->nodeNr; ++i) {
            PlainEntry entry;
            for (xmlNodePtr child = nodes->nodeTab[i]->children; child; child = child->next) {
                if (child->type != XML_ELEMENT_NODE)
                    continue;
                xmlChar* text = xmlNodeGetContent(child);
                plainAssign(
                    entry, reinterpret_cast<const char*>(child->name), text ? reinterpret_cast<const char*>(text) : "");
                xmlFree(text);
            }
            out.push_back(std::move(entry));
        }
        count = nodes->nodeNr;
    }
    xmlXPathFreeObject(result);
    xmlXPathFreeContext(context);
    xmlFreeDoc(doc);
    return count;
}

// ---------------------------------------------------------------------------------------------

enum class Parser { Stream, Document, Plain };

const char* labelOf(Parser p)
{
    switch (p) {
    case Parser::Stream:
        return "stream";
    case Parser::Document:
        return "document";
    case Parser::Plain:
        return "libxml2";
    }
    return "?";
}

// Parses once; the number of entries, -1 on failure. The results are dropped after the clock stops.
long parseOnce(Parser parser, const Bytes& body, double& seconds)
{
    FileInfoList records;
    std::vector<PlainEntry> plain;
    long count = -1;
    auto start = Clock::now();
    if (parser == Parser::Plain) {
        count = parsePlain(body, plain);
    } else {
        const std::int32_t result = parser == Parser::Stream
            ? RestStorageServiceAdaptor::parseListing(body, records, nullptr)
            : RestStorageServiceAdaptor::parseListingDocument(body, records, nullptr);
        if (result == norvane::ResultSuccess)
            count = static_cast<long>(records.size());
    }
    seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return count;
}

bool readFile(const std::string& path, Bytes& out)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        return false;
    auto size = static_cast<std::size_t>(in.tellg());
    out.resize(size);
    in.seekg(0);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size)));
}

// The peak resident set of this process (VmHWM), in KiB; -1 when unknown. Read from the process's
// own memory map, which starts afresh at exec: the resource usage a parent reads after wait4 would
// also count the parent's own peak, inherited through fork.
long peakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

// The child: the body as the adaptor holds it after the download, parsed once; prints its peak.
int memoryChild(const std::string& parserName, const std::string& path, long expected)
{
    Bytes body;
    if (!readFile(path, body))
        return 2;
    Parser parser = parserName == "stream" ? Parser::Stream
        : parserName == "document"         ? Parser::Document
                                           : Parser::Plain;
    double seconds = 0;
    if (parseOnce(parser, body, seconds) != expected)
        return 3;
    std::printf("%ld\n", peakResidentKiB());
    return 0;
}

// Peak resident set of a child that parses the body file with one parser, in bytes; -1 on failure.
long long childPeak(const char* self, Parser parser, const std::string& path, long expected)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        std::string count = std::to_string(expected);
        ::execl(
            self, self, "--memory-child", labelOf(parser), path.c_str(), count.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string reply;
    char buffer[64];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    long kib = std::atol(reply.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || kib <= 0)
        return -1;
    return static_cast<long long>(kib) * 1024;
}

int run(const char* self, int entries, int rounds)
{
    std::fprintf(stderr, "generating a listing of %d entries\n", entries);
    std::string text = generateListing(entries);
    Bytes body(text.begin(), text.end());
    std::string().swap(text);
    const double bodyMiB = static_cast<double>(body.size()) / (1 << 20);
    std::fprintf(stderr, "body: %.1f MiB\n", bodyMiB);

    char pathTemplate[] = "/tmp/norvane-listing-XXXXXX";
    int fd = ::mkstemp(pathTemplate);
    if (fd < 0) {
        std::fprintf(stderr, "cannot create a temporary file: %s\n", std::strerror(errno));
        return 2;
    }
    const std::string path = pathTemplate;
    bool written = ::write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        std::fprintf(stderr, "cannot write the body\n");
        return 2;
    }

    // Speed: best of the rounds, the two parsers taking turns at going first.
    double bestStream = 1e300;
    double bestPlain = 1e300;
    for (int round = 0; round < rounds; ++round) {
        for (Parser parser :
            round % 2 ? std::vector { Parser::Plain, Parser::Stream } : std::vector { Parser::Stream, Parser::Plain }) {
            double seconds = 0;
            long count = parseOnce(parser, body, seconds);
            if (count != entries) {
                std::fprintf(stderr, "%s parser found %ld entries of %d\n", labelOf(parser), count, entries);
                ::unlink(path.c_str());
                return 2;
            }
            std::fprintf(stderr, "round %d: %-8s %.3f s\n", round + 1, labelOf(parser), seconds);
            double& best = parser == Parser::Stream ? bestStream : bestPlain;
            best = std::min(best, seconds);
        }
    }
    // The document-model parser once, for comparison.
    double documentSeconds = 0;
    long documentCount = parseOnce(Parser::Document, body, documentSeconds);
    std::fprintf(stderr, "document parser: %ld entries in %.3f s\n", documentCount, documentSeconds);

    const double bodySize = static_cast<double>(body.size());
    Bytes().swap(body);
    long long peakStream = childPeak(self, Parser::Stream, path, entries);
    long long peakPlain = childPeak(self, Parser::Plain, path, entries);
    long long peakDocument = childPeak(self, Parser::Document, path, entries);
    ::unlink(path.c_str());
    if (peakStream <= 0 || peakPlain <= 0) {
        std::fprintf(stderr, "a memory child failed\n");
        return 2;
    }

    const double streamRate = entries / bestStream;
    const double plainRate = entries / bestPlain;
    bench("listing_body_size", bodyMiB, 1, "MiB", ">=", 0);
    bench("listing_entries_per_sec", streamRate, 0, "entries/s", ">=", 0);
    bench("listing_libxml2_entries_per_sec", plainRate, 0, "entries/s", ">=", 0);
    if (documentCount == entries)
        bench("listing_document_model_entries_per_sec", entries / documentSeconds, 0, "entries/s", ">=", 0);
    bench("listing_entries_per_sec_vs_libxml2", streamRate / plainRate, 2, "ratio", ">=", 1.0);
    bench("listing_libxml2_peak_rss_vs_body", static_cast<double>(peakPlain) / bodySize, 2, "ratio", ">=", 0);
    if (peakDocument > 0)
        bench("listing_document_model_peak_rss_vs_body", static_cast<double>(peakDocument) / bodySize, 2, "ratio",
            ">=", 0);
    bench("listing_peak_rss_vs_body", static_cast<double>(peakStream) / bodySize, 2, "ratio", "<=", 3.0);
    return gAllPassed ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "--memory-child")
        return memoryChild(args[1], args[2], std::atol(args[3].c_str()));

    int entries = 100000;
    int rounds = 5;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const bool known = i + 1 < args.size() && (args[i] == "--entries" || args[i] == "--rounds");
        if (!known) {
            std::fprintf(stderr, "usage: listing [--entries N] [--rounds R]\n");
            return 2;
        }
        (args[i] == "--entries" ? entries : rounds) = std::max(1, std::atoi(args[i + 1].c_str()));
    }
    xmlInitParser();
    return run("/proc/self/exe", entries, rounds);
}
