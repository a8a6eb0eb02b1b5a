// The whole path a person runs (norvane-cli -> operations -> service -> adaptor -> engine ->
// norvane-server) against the curl command line doing the same transfers on the same server in the
// same run; and norvane-server against nginx for the same curl requests. Side by side, interleaved
// (each side goes first in every other round), medians:
//
//   D1 norvane-cli get of 1 GiB against curl -K fetching the same 1 MiB ranges over one connection
//   D2 the same get against one whole-file curl GET
//   D3 D1 over https, the server's key trusted by its pin
//   C1 norvane-cli's CPU time for D1 against curl's
//   U1 norvane-cli put of 1 GiB against curl -K sending the same 1 MiB chunks; against md5sum of
//      the file and those chunks, since every chunk names the MD5 of the whole file and curl is
//      handed it; and those chunks to norvane-server against the same PUTs to nginx
//   N1 the connections norvane-server accepted during the gets and puts of norvane-cli
//   L1 norvane-cli ls of a folder of 100,000 entries (made with the control endpoint's bulk-files,
//      one transaction): entries per second, and the peak resident set of ls and ls --json
//      against the listing's body
//   T1 a tree of 10,000 files of 4 KiB put and got back by norvane-cli, against one curl process
//      making the same uploads and downloads over one connection; and that curl loop against
//      norvane-server and against nginx
//
//   e2e [--rounds N] [--only d,u,l,t] [--tree-files N]    (defaults 3, all, 10000)
//
// The account holds the 100,000 entries all along, as a full account would. Every transfer is
// checked (sizes, MD5s, the trees byte for byte), so nothing is taken for done that was not.
// Prints BENCH lines (see ARCHITECTURE.md) on standard output, progress on standard error (with
// the load average and the servers' CPU time). Exit status: 0 when every figure meets its target,
// 1 when one misses it, 2 when the run could not be made. Everything it writes lives in one
// temporary folder that is removed at the end, also after a failure or a signal.

#include "bench/BenchSupport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace norvane::bench;
namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = std::uint64_t { 1 } << 20;
constexpr std::uint64_t kBigFile = 1024 * kMiB;
constexpr std::uint64_t kChunk = kMiB; // the client's chunk, and curl's
constexpr int kListingEntries = 100000;
constexpr std::uint64_t kTreeFileSize = 4096;
constexpr int kTreeFilesPerFolder = 100;

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string twoDigits(int n, int width)
{
    std::string text = std::to_string(n);
    return std::string(text.size() < static_cast<std::size_t>(width) ? width - text.size() : 0, '0') + text;
}

// Files of `a` and `b` (relative names and bytes) that differ, as a line; empty when alike.
std::string compareTrees(const std::string& a, const std::string& b)
{
    std::map<std::string, fs::path> left;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(a, ec); !ec && it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_regular_file())
            left[fs::relative(it->path(), a).string()] = it->path();
    }
    std::size_t right = 0;
    for (auto it = fs::recursive_directory_iterator(b, ec); !ec && it != fs::recursive_directory_iterator(); ++it) {
        if (!it->is_regular_file())
            continue;
        ++right;
        const auto name = fs::relative(it->path(), b).string();
        auto match = left.find(name);
        if (match == left.end())
            return b + ": " + name + " was not sent";
        std::ifstream x(match->second, std::ios::binary);
        std::ifstream y(it->path(), std::ios::binary);
        if (!std::equal(std::istreambuf_iterator<char>(x), {}, std::istreambuf_iterator<char>(y), {}))
            return b + ": " + name + " differs";
    }
    if (right != left.size())
        return b + ": " + std::to_string(right) + " files instead of " + std::to_string(left.size());
    return {};
}

struct Options {
    int rounds = 3;
    std::set<char> parts { 'd', 'u', 'l', 't' };
    int treeFiles = 10000;
};

class EndToEnd {
public:
    explicit EndToEnd(Options options)
        : options_(std::move(options))
    { }

    int run();

private:
    // One norvane-cli command in the given home; its standard output counted or into outPath.
    Run cli(const std::string& home, std::vector<std::string> arguments, const std::string& input = {},
        const std::string& outPath = {})
    {
        arguments.insert(arguments.begin(), { NORVANE_CLI_BINARY, "--home", home, "--yes" });
        return runProgram(arguments, input, outPath, work_.path + "/cli.log");
    }
    // One curl process running the configuration file.
    Run curlRun(const std::string& config, const std::string& outPath = "/dev/null")
    {
        return runProgram({ curl_, "-s", "-S", "-K", config }, {}, outPath, work_.path + "/curl.log");
    }
    // One timed curl download of the big file into `into`, checked; empty, or why it failed.
    std::string curlGet(
        const std::string& key, const std::string& config, const std::string& label, int round, const std::string& into)
    {
        Run got = curlRun(config, into);
        if (got.exitStatus != 0)
            return label + " exited with " + std::to_string(got.exitStatus);
        seconds_[key].push_back(got.seconds);
        cpu_[key].push_back(got.cpuSeconds);
        std::fprintf(
            stderr, "round %d: %-20s %6.2f s  cpu %5.2f s\n", round + 1, label.c_str(), got.seconds, got.cpuSeconds);
        return checkBigFile(into, label);
    }
    // The headers of a storage request, as options of a curl configuration.
    void sessionHeaders(CurlConfig& config, const std::vector<std::string>& session, const std::string& pin) const
    {
        for (const auto& header : session)
            config.option("header", header);
        config.option("noproxy", "*");
        config.flag("fail");
        if (!pin.empty()) {
            config.option("pinnedpubkey", pin);
            config.flag("insecure"); // the chain is self-signed: the pin is the trust
        }
    }
    std::string prepareCli(const std::string& home, const NorvaneServer& server, bool tls);
    std::string prepare();
    std::string checkBigFile(const std::string& path, const std::string& what);
    std::string checkUploaded(const std::string& name, std::uint64_t size);
    std::string downloads();
    std::string uploads();
    std::string listing();
    std::string tree();
    void report();
    std::string fail(const std::string& why) const
    {
        std::fprintf(stderr, "%s\n", why.c_str());
        return why;
    }

    Options options_;
    WorkDir work_ { "e2e-bench", { "server/data", "tls/data", "home/http", "home/https", "src/chunks", "client" } };
    std::string curl_;
    std::string md5sum_;
    Nginx nginx_;
    NorvaneServer server_;
    NorvaneServer tlsServer_;
    std::vector<std::string> session_;
    std::vector<std::string> tlsSession_;
    std::string bigMd5_;
    std::string homeHttp_;
    std::string homeHttps_;

    // Figures, by name.
    std::map<std::string, std::vector<double>> seconds_;
    std::map<std::string, std::vector<double>> cpu_;
    std::vector<double> connectionsPer100MiB_;
    std::uint64_t listingBody_ = 0;
    long listingPeakKiB_ = 0;
};

std::string EndToEnd::prepareCli(const std::string& home, const NorvaneServer& server, bool tls)
{
    const std::string passwordFile = work_.path + "/password";
    std::ofstream(passwordFile) << Account {}.password << "\n";
    const std::string address = server.url.substr(server.url.find("://") + 3);
    std::vector<std::string> config { "config", "--server", address, tls ? "--https" : "--http" };
    if (tls) {
        config.push_back("--trust-key");
        config.push_back(server.pin);
    }
    for (const auto& [arguments, input] : { std::pair { config, std::string() },
             std::pair { std::vector<std::string> { "login", Account {}.company, Account {}.user, "--password-stdin" },
                 passwordFile } }) {
        if (Run step = cli(home, arguments, input); step.exitStatus != 0)
            return "norvane-cli " + arguments.front() + " exited with " + std::to_string(step.exitStatus);
    }
    return {};
}

std::string EndToEnd::prepare()
{
    curl_ = findProgram("curl");
    md5sum_ = findProgram("md5sum");
    const std::string nginxProgram = findProgram("nginx");
    if (curl_.empty() || md5sum_.empty() || nginxProgram.empty())
        return fail("curl, md5sum and nginx are needed (scripts/deps installs them)");
    if (work_.path.empty())
        return fail("cannot create a temporary folder");
    std::fprintf(stderr, "working in %s; load average %s\n", work_.path.c_str(), loadAverage().c_str());
    if (auto why = nginx_.start(nginxProgram, work_.path); !why.empty())
        return fail(why);
    if (auto why = server_.start(NORVANE_SERVER_BINARY, work_.path + "/server/data", work_.path + "/server/log");
        !why.empty())
        return fail(why);
    if (auto why
        = tlsServer_.start(NORVANE_SERVER_BINARY, work_.path + "/tls/data", work_.path + "/tls/log", { "--tls" }, 3);
        !why.empty())
        return fail(why);
    if (auto why = signUp(server_.url, Account {}, session_); !why.empty())
        return fail("cannot sign up at norvane-server: " + why);
    if (auto why = signUp(tlsServer_.url, Account {}, tlsSession_, tlsServer_.pin); !why.empty())
        return fail("cannot sign up at norvane-server over https: " + why);
    homeHttp_ = work_.path + "/home/http";
    homeHttps_ = work_.path + "/home/https";
    if (auto why = prepareCli(homeHttp_, server_, false); !why.empty())
        return fail(why);
    if (auto why = prepareCli(homeHttps_, tlsServer_, true); !why.empty())
        return fail(why);
    if (Run made = cli(homeHttp_, { "mkdir", "my:/big", "my:/Up" }); made.exitStatus != 0)
        return fail("norvane-cli mkdir exited with " + std::to_string(made.exitStatus));

    // A full account: the big folder is there for every part.
    Reply added = control(server_.url, "bulk-files",
        "{\"company\":\"" + Account {}.company + "\",\"user\":\"" + Account {}.user
            + "\",\"folder\":\"/FOLDER/big\",\"count\":" + std::to_string(kListingEntries) + "}");
    if (added.status != 200)
        return fail("bulk-files: status " + std::to_string(added.status) + " " + added.error + " " + added.body);

    if (options_.parts.count('d') || options_.parts.count('u')) {
        std::fprintf(stderr, "writing the 1 GiB file\n");
        auto md5 = makeFile(work_.path + "/src/1g", kBigFile);
        if (!md5)
            return fail("cannot write the 1 GiB file");
        bigMd5_ = *md5;
    }
    if (options_.parts.count('d')) {
        std::fprintf(stderr, "uploading it to both servers\n");
        for (auto [server, session] : { std::pair { &server_, &session_ }, std::pair { &tlsServer_, &tlsSession_ } }) {
            if (auto why = uploadInChunks(
                    server->url, *session, work_.path + "/src/1g", bigMd5_, "/FILE/Memo/1g", 8 * kMiB, server->pin);
                !why.empty())
                return fail(why);
        }
    }
    if (options_.parts.count('u')) {
        // curl sends each chunk from a file of its own.
        std::ifstream in(work_.path + "/src/1g", std::ios::binary);
        std::vector<char> chunk(kChunk);
        for (std::uint64_t i = 0; i * kChunk < kBigFile; ++i) {
            in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            std::ofstream(work_.path + "/src/chunks/" + twoDigits(static_cast<int>(i), 4), std::ios::binary)
                .write(chunk.data(), in.gcount());
        }
    }
    if (options_.parts.count('t')) {
        for (int i = 0; i < options_.treeFiles; ++i) {
            const std::string folder = work_.path + "/src/tree/d" + twoDigits(i / kTreeFilesPerFolder, 3) + "/";
            fs::create_directories(folder);
            if (!makeFile(folder + "f" + twoDigits(i % kTreeFilesPerFolder, 3), kTreeFileSize,
                    static_cast<std::uint64_t>(i) + 100))
                return fail("cannot write the tree");
        }
    }
    return {};
}

std::string EndToEnd::checkBigFile(const std::string& path, const std::string& what)
{
    std::string why;
    if (sizeOf(path) != kBigFile)
        why = what + ": " + std::to_string(sizeOf(path)) + " bytes instead of " + std::to_string(kBigFile);
    else if (md5OfFile(path) != bigMd5_)
        why = what + ": the bytes differ from the file";
    fs::remove(path);
    return why;
}

// The server lists `name` in /FOLDER/Up with `size` bytes: it took the upload whole (it checks the
// MD5 before the file appears).
std::string EndToEnd::checkUploaded(const std::string& name, std::uint64_t size)
{
    Reply listing = request("GET", server_.url + "/FOLDER/Up", session_);
    const auto at = listing.body.find("<Name>" + name + "</Name>");
    if (listing.status != 200 || at == std::string::npos)
        return name + " is not on the server (status " + std::to_string(listing.status) + ")";
    const std::string stored = between(listing.body.substr(at), "<Size>", "</Size>");
    if (stored != std::to_string(size))
        return name + " has " + stored + " bytes instead of " + std::to_string(size);
    return {};
}

std::string EndToEnd::downloads()
{
    // curl's ranges: exactly the client's 1 MiB chunks, one transfer each, over one connection.
    auto rangesConfig = [&](const NorvaneServer& server, const std::vector<std::string>& session,
                            const std::string& to) {
        CurlConfig config;
        for (std::uint64_t at = 0; at < kBigFile; at += kChunk) {
            config.next();
            config.option("url", server.url + "/FILE/Memo/1g");
            sessionHeaders(config, session, server.pin);
            config.option("range", std::to_string(at) + "-" + std::to_string(std::min(at + kChunk, kBigFile) - 1));
        }
        return config.write(to);
    };
    const std::string ranges = work_.path + "/ranges.curl";
    const std::string tlsRanges = work_.path + "/tls-ranges.curl";
    const std::string whole = work_.path + "/whole.curl";
    CurlConfig wholeConfig;
    wholeConfig.option("url", server_.url + "/FILE/Memo/1g");
    sessionHeaders(wholeConfig, session_, {});
    if (!rangesConfig(server_, session_, ranges) || !rangesConfig(tlsServer_, tlsSession_, tlsRanges)
        || !wholeConfig.write(whole))
        return fail("cannot write the curl configurations");

    const std::string into = work_.path + "/client/1g";
    for (int round = 0; round < options_.rounds; ++round) {
        struct Step {
            std::string name;
            std::function<std::string()> run;
        };
        std::vector<Step> steps {
            { "d1_cli",
                [&] {
                    const long before = server_.connectionsAccepted();
                    Run got = cli(homeHttp_, { "get", "my:/Memo/1g", into });
                    const long after = server_.connectionsAccepted();
                    if (got.exitStatus != 0)
                        return "norvane-cli get exited with " + std::to_string(got.exitStatus);
                    seconds_["d1_cli"].push_back(got.seconds);
                    cpu_["d1_cli"].push_back(got.cpuSeconds);
                    connectionsPer100MiB_.push_back(
                        static_cast<double>(after - before) / (static_cast<double>(kBigFile) / (100.0 * kMiB)));
                    std::fprintf(stderr, "round %d: norvane-cli get      %6.2f s  cpu %5.2f s  %ld connections\n",
                        round + 1, got.seconds, got.cpuSeconds, after - before);
                    return checkBigFile(into, "norvane-cli get");
                } },
            { "d1_curl", [&] { return curlGet("d1_curl", ranges, "curl ranges", round, into); } },
            { "d2_curl", [&] { return curlGet("d2_curl", whole, "curl whole file", round, into); } },
            { "d3_cli",
                [&] {
                    const double serverCpu = tlsServer_.cpuSeconds();
                    Run got = cli(homeHttps_, { "get", "my:/Memo/1g", into });
                    if (got.exitStatus != 0)
                        return "norvane-cli get over https exited with " + std::to_string(got.exitStatus);
                    seconds_["d3_cli"].push_back(got.seconds);
                    std::fprintf(stderr, "round %d: norvane-cli get https %5.2f s  cpu %5.2f s  server cpu %5.2f s\n",
                        round + 1, got.seconds, got.cpuSeconds, tlsServer_.cpuSeconds() - serverCpu);
                    return checkBigFile(into, "norvane-cli get over https");
                } },
            { "d3_curl", [&] { return curlGet("d3_curl", tlsRanges, "curl ranges https", round, into); } },
        };
        if (round % 2)
            std::reverse(steps.begin(), steps.end());
        for (auto& step : steps) {
            // Every download makes a new file. Over an old one, curl's output truncates it and
            // writes into the pages it just gave up, while norvane-cli keeps the old file whole
            // until the new one is complete and so needs a second gigabyte of page cache: on a
            // virtual machine whose memory the host backs lazily that alone costs seconds.
            std::error_code ignored;
            std::filesystem::remove(into, ignored);
            if (auto why = step.run(); !why.empty())
                return fail(why);
        }
    }
    return {};
}

std::string EndToEnd::uploads()
{
    const std::string chunks = work_.path + "/src/chunks/";
    for (int round = 0; round < options_.rounds; ++round) {
        const std::string curlName = "curl-" + std::to_string(round);
        CurlConfig toServer;
        CurlConfig toNginx;
        for (std::uint64_t i = 0; i * kChunk < kBigFile; ++i) {
            const std::uint64_t at = i * kChunk;
            const std::string chunk = chunks + twoDigits(static_cast<int>(i), 4);
            toServer.next();
            toServer.option(
                "url", server_.url + "/FILE/Up/" + curlName + "?md5=" + bigMd5_ + "&size=" + std::to_string(kBigFile));
            sessionHeaders(toServer, session_, {});
            for (const char* header :
                { "x-zel-app-type: file", "x-zel-uptype: 2", "Expect:", "Content-Type: application/octet-stream" })
                toServer.option("header", header);
            toServer.option("header",
                "x-zel-file-write-range: " + std::to_string(at) + "-"
                    + std::to_string(std::min(at + kChunk, kBigFile) - 1));
            toServer.option("request", "POST");
            toServer.option("upload-file", chunk);
            toServer.option("output", "/dev/null");
            toNginx.next();
            toNginx.option("url",
                "http://127.0.0.1:" + std::to_string(nginx_.port) + "/upload/" + curlName + "/"
                    + twoDigits(static_cast<int>(i), 4));
            toNginx.option("noproxy", "*");
            toNginx.flag("fail");
            toNginx.option("header", "Expect:");
            toNginx.option("upload-file", chunk);
            toNginx.option("output", "/dev/null");
        }
        const std::string serverConfig = work_.path + "/put-server.curl";
        const std::string nginxConfig = work_.path + "/put-nginx.curl";
        if (!toServer.write(serverConfig) || !toNginx.write(nginxConfig))
            return fail("cannot write the curl configurations");

        struct Step {
            std::function<std::string()> run;
        };
        std::vector<Step> steps {
            { [&]() -> std::string {
                const long before = server_.connectionsAccepted();
                const double serverCpu = server_.cpuSeconds();
                Run put = cli(homeHttp_, { "put", work_.path + "/src/1g", "my:/Up" });
                const long after = server_.connectionsAccepted();
                if (put.exitStatus != 0)
                    return "norvane-cli put exited with " + std::to_string(put.exitStatus);
                seconds_["u1_cli"].push_back(put.seconds);
                connectionsPer100MiB_.push_back(
                    static_cast<double>(after - before) / (static_cast<double>(kBigFile) / (100.0 * kMiB)));
                std::fprintf(stderr,
                    "round %d: norvane-cli put      %6.2f s  cpu %5.2f s  server cpu %5.2f s  %ld connections\n",
                    round + 1, put.seconds, put.cpuSeconds, server_.cpuSeconds() - serverCpu, after - before);
                if (auto why = checkUploaded("1g", kBigFile); !why.empty())
                    return why;
                request("DELETE", server_.url + "/FILE/Up/1g", session_);
                return {};
            } },
            { [&]() -> std::string {
                const double serverCpu = server_.cpuSeconds();
                Run put = curlRun(serverConfig);
                if (put.exitStatus != 0)
                    return "curl (chunks to norvane-server) exited with " + std::to_string(put.exitStatus);
                seconds_["u1_curl_server"].push_back(put.seconds);
                std::fprintf(stderr, "round %d: curl chunks (server) %6.2f s  cpu %5.2f s  server cpu %5.2f s\n",
                    round + 1, put.seconds, put.cpuSeconds, server_.cpuSeconds() - serverCpu);
                if (auto why = checkUploaded(curlName, kBigFile); !why.empty())
                    return why;
                request("DELETE", server_.url + "/FILE/Up/" + curlName, session_);
                return {};
            } },
            { [&]() -> std::string {
                // What a curl user must do before the first chunk, as norvane-cli does: every chunk
                // names the MD5 of the whole file.
                Run digest = runProgram({ md5sum_, work_.path + "/src/1g" }, {}, "/dev/null");
                if (digest.exitStatus != 0)
                    return "md5sum exited with " + std::to_string(digest.exitStatus);
                seconds_["u1_md5sum"].push_back(digest.seconds);
                std::fprintf(stderr, "round %d: md5sum                %6.2f s  cpu %5.2f s\n", round + 1,
                    digest.seconds, digest.cpuSeconds);
                return {};
            } },
            { [&]() -> std::string {
                Run put = curlRun(nginxConfig);
                if (put.exitStatus != 0)
                    return "curl (chunks to nginx) exited with " + std::to_string(put.exitStatus);
                seconds_["u1_curl_nginx"].push_back(put.seconds);
                std::fprintf(stderr, "round %d: curl chunks (nginx)  %6.2f s  cpu %5.2f s\n", round + 1, put.seconds,
                    put.cpuSeconds);
                std::uint64_t stored = 0;
                const std::string folder = work_.path + "/www/upload/" + curlName;
                for (const auto& item : fs::directory_iterator(folder))
                    stored += item.file_size();
                fs::remove_all(folder);
                if (stored != kBigFile)
                    return "nginx stored " + std::to_string(stored) + " bytes";
                return {};
            } },
        };
        if (round % 2)
            std::reverse(steps.begin(), steps.end());
        for (auto& step : steps) {
            if (auto why = step.run(); !why.empty())
                return fail(why);
        }
    }
    return {};
}

std::string EndToEnd::listing()
{
    // The body as the server sends it, for the memory figure.
    const auto fetching = std::chrono::steady_clock::now();
    Reply body = request("GET", server_.url + "/FOLDER/big", session_);
    if (body.status != 200)
        return fail("the listing: status " + std::to_string(body.status) + " " + body.error);
    listingBody_ = body.body.size();
    std::fprintf(stderr, "the listing: %.1f MiB, %.2f s for one GET\n", static_cast<double>(listingBody_) / kMiB,
        secondsSince(fetching));
    for (int round = 0; round < options_.rounds; ++round) {
        for (bool json : round % 2 ? std::vector { true, false } : std::vector { false, true }) {
            const double serverCpu = server_.cpuSeconds();
            std::vector<std::string> arguments { "ls", "my:/big" };
            if (json)
                arguments.insert(arguments.begin(), "--json");
            Run listed = cli(homeHttp_, arguments);
            const bool whole = json
                ? listed.exitStatus == 0 && listed.lines == 1 && listed.head.starts_with("{")
                    && listed.tail.ends_with("\"type\":\"file\"}]}\n")
                : listed.exitStatus == 0 && listed.lines == static_cast<std::uint64_t>(kListingEntries);
            if (!whole)
                return fail(std::string("norvane-cli ") + (json ? "--json " : "") + "ls exited with "
                    + std::to_string(listed.exitStatus) + " after " + std::to_string(listed.lines) + " lines");
            if (!json)
                seconds_["l1_cli"].push_back(listed.seconds);
            listingPeakKiB_ = std::max(listingPeakKiB_, listed.peakKiB);
            std::fprintf(stderr, "round %d: norvane-cli %sls %6.2f s  peak %.1f MiB  server cpu %5.2f s\n", round + 1,
                json ? "--json " : "", listed.seconds, static_cast<double>(listed.peakKiB) / 1024,
                server_.cpuSeconds() - serverCpu);
        }
    }
    return {};
}

std::string EndToEnd::tree()
{
    const std::string source = work_.path + "/src/tree";
    const std::string nginxBase = "http://127.0.0.1:" + std::to_string(nginx_.port);
    std::vector<std::string> files;
    for (int i = 0; i < options_.treeFiles; ++i)
        files.push_back("d" + twoDigits(i / kTreeFilesPerFolder, 3) + "/f" + twoDigits(i % kTreeFilesPerFolder, 3));
    std::map<std::string, std::string> md5s;
    for (const auto& file : files)
        md5s[file] = md5OfFile(source + "/" + file).value_or("");
    const double moved = 2.0 * options_.treeFiles; // each file goes up and comes back

    for (int round = 0; round < options_.rounds; ++round) {
        const std::string name = "t" + std::to_string(round);
        // The curl loop: folders, uploads and downloads in one process, over one connection.
        CurlConfig toServer;
        std::set<std::string> folders;
        for (const auto& file : files)
            folders.insert(file.substr(0, file.find('/')));
        std::vector<std::string> folderKeys { "/FOLDER/c" + name };
        for (const auto& folder : folders)
            folderKeys.push_back(folderKeys.front() + "/" + folder);
        for (const auto& key : folderKeys) {
            toServer.next();
            toServer.option("url", server_.url + key);
            sessionHeaders(toServer, session_, {});
            toServer.option("header", "x-zel-app-type: folder");
            toServer.option("request", "POST");
            toServer.option("output", "/dev/null");
        }
        for (const auto& file : files) {
            toServer.next();
            toServer.option("url",
                server_.url + "/FILE/c" + name + "/" + file + "?md5=" + md5s[file]
                    + "&size=" + std::to_string(kTreeFileSize));
            sessionHeaders(toServer, session_, {});
            for (const char* header :
                { "x-zel-app-type: file", "x-zel-uptype: 2", "Expect:", "Content-Type: application/octet-stream" })
                toServer.option("header", header);
            toServer.option("header", "x-zel-file-write-range: 0-" + std::to_string(kTreeFileSize - 1));
            toServer.option("request", "POST");
            toServer.option("upload-file", source + "/" + file);
            toServer.option("output", "/dev/null");
        }
        CurlConfig toNginx;
        for (const auto& file : files) {
            toNginx.next();
            toNginx.option("url", nginxBase + "/upload/" + name + "/" + file);
            toNginx.option("noproxy", "*");
            toNginx.flag("fail");
            toNginx.option("upload-file", source + "/" + file);
            toNginx.option("output", "/dev/null");
        }
        for (const auto& file : files) {
            toServer.next();
            toServer.option("url", server_.url + "/FILE/c" + name + "/" + file);
            sessionHeaders(toServer, session_, {});
            toServer.option("output", work_.path + "/client/c" + name + "/" + file);
            toServer.flag("create-dirs");
            toNginx.next();
            toNginx.option("url", nginxBase + "/upload/" + name + "/" + file);
            toNginx.option("noproxy", "*");
            toNginx.flag("fail");
            toNginx.option("output", work_.path + "/client/n" + name + "/" + file);
            toNginx.flag("create-dirs");
        }
        const std::string serverConfig = work_.path + "/tree-server.curl";
        const std::string nginxConfig = work_.path + "/tree-nginx.curl";
        if (!toServer.write(serverConfig) || !toNginx.write(nginxConfig))
            return fail("cannot write the curl configurations");

        std::vector<std::function<std::string()>> steps {
            [&]() -> std::string {
                if (Run made = cli(homeHttp_, { "mkdir", "my:/" + name }); made.exitStatus != 0)
                    return "norvane-cli mkdir exited with " + std::to_string(made.exitStatus);
                const double serverCpu = server_.cpuSeconds();
                Run put = cli(homeHttp_, { "put", source, "my:/" + name });
                const double putServerCpu = server_.cpuSeconds() - serverCpu;
                if (put.exitStatus != 0)
                    return "norvane-cli put (tree) exited with " + std::to_string(put.exitStatus);
                const std::string into = work_.path + "/client/" + name;
                Run got = cli(homeHttp_, { "get", "my:/" + name + "/tree", into });
                if (got.exitStatus != 0)
                    return "norvane-cli get (tree) exited with " + std::to_string(got.exitStatus);
                seconds_["t1_cli"].push_back(put.seconds + got.seconds);
                std::fprintf(stderr,
                    "round %d: norvane-cli tree     put %6.2f s (server cpu %5.2f s)  get %6.2f s (server cpu "
                    "%5.2f s)  %.0f files/s\n",
                    round + 1, put.seconds, putServerCpu, got.seconds, server_.cpuSeconds() - serverCpu - putServerCpu,
                    moved / (put.seconds + got.seconds));
                std::string why = compareTrees(source, into);
                fs::remove_all(into);
                request("DELETE", server_.url + "/FOLDER/" + name, session_);
                return why;
            },
            [&]() -> std::string {
                const double serverCpu = server_.cpuSeconds();
                Run loop = curlRun(serverConfig);
                if (loop.exitStatus != 0)
                    return "curl (tree to norvane-server) exited with " + std::to_string(loop.exitStatus);
                seconds_["t1_curl_server"].push_back(loop.seconds);
                std::fprintf(stderr, "round %d: curl tree (server)  %6.2f s  server cpu %5.2f s  %.0f files/s\n",
                    round + 1, loop.seconds, server_.cpuSeconds() - serverCpu, moved / loop.seconds);
                const std::string into = work_.path + "/client/c" + name;
                std::string why = compareTrees(source, into);
                fs::remove_all(into);
                request("DELETE", server_.url + "/FOLDER/c" + name, session_);
                return why;
            },
            [&]() -> std::string {
                Run loop = curlRun(nginxConfig);
                if (loop.exitStatus != 0)
                    return "curl (tree to nginx) exited with " + std::to_string(loop.exitStatus);
                seconds_["t1_curl_nginx"].push_back(loop.seconds);
                std::fprintf(stderr, "round %d: curl tree (nginx)   %6.2f s  %.0f files/s\n", round + 1, loop.seconds,
                    moved / loop.seconds);
                const std::string into = work_.path + "/client/n" + name;
                std::string why = compareTrees(source, into);
                fs::remove_all(into);
                fs::remove_all(work_.path + "/www/upload/" + name);
                return why;
            },
        };
        if (round % 2)
            std::reverse(steps.begin(), steps.end());
        for (auto& step : steps) {
            if (auto why = step(); !why.empty())
                return fail(why);
        }
    }
    return {};
}

void EndToEnd::report()
{
    auto m = [&](const std::string& name) { return median(seconds_[name]); };
    if (options_.parts.count('d')) {
        bench("e2e_d1_get_vs_curl_ranges", m("d1_cli") / m("d1_curl"), 2, "ratio", "<=", 1.0);
        bench("e2e_d2_get_vs_curl_whole", m("d1_cli") / m("d2_curl"), 2, "ratio", "<=", 1.35);
        bench("e2e_d3_get_https_vs_curl_ranges", m("d3_cli") / m("d3_curl"), 2, "ratio", "<=", 1.0);
    }
    if (options_.parts.count('u')) {
        bench("e2e_u1_put_vs_curl_chunks", m("u1_cli") / m("u1_curl_server"), 2, "ratio", "<=", 1.0);
        bench("e2e_u1_put_vs_md5sum_and_curl_chunks", m("u1_cli") / (m("u1_md5sum") + m("u1_curl_server")), 2, "ratio",
            "<=", 1.0);
        bench("e2e_u1_server_upload_vs_nginx", m("u1_curl_nginx") / m("u1_curl_server"), 2, "ratio", ">=", 0.5);
    }
    if (options_.parts.count('l')) {
        bench("e2e_l1_ls_100k_entries_per_s", kListingEntries / m("l1_cli"), 0, "entries/s", ">=", 55000);
        bench("e2e_l1_ls_100k_rss_vs_body",
            static_cast<double>(listingPeakKiB_) * 1024 / static_cast<double>(listingBody_), 2, "ratio", "<=", 3.0);
    }
    if (options_.parts.count('t')) {
        bench("e2e_t1_tree_10k_vs_curl", m("t1_curl_server") / m("t1_cli"), 2, "ratio", ">=", 0.5);
        bench("e2e_t1_server_vs_nginx", m("t1_curl_nginx") / m("t1_curl_server"), 2, "ratio", ">=", 0.25);
    }
    if (options_.parts.count('d'))
        bench("e2e_c1_cpu_per_gib_vs_curl", median(cpu_["d1_cli"]) / median(cpu_["d1_curl"]), 2, "ratio", "<=", 1.5);
    if (options_.parts.count('d') || options_.parts.count('u')) {
        const double worst = *std::max_element(connectionsPer100MiB_.begin(), connectionsPer100MiB_.end());
        bench("e2e_n1_connections_per_100mib", worst, 2, "connections", "<=", 1);
    }
}

int EndToEnd::run()
{
    if (!prepare().empty())
        return 2;
    struct Part {
        char key;
        std::string (EndToEnd::*run)();
    };
    for (const Part& part : { Part { 'l', &EndToEnd::listing }, Part { 'd', &EndToEnd::downloads },
             Part { 'u', &EndToEnd::uploads }, Part { 't', &EndToEnd::tree } }) {
        if (options_.parts.count(part.key) && !(this->*part.run)().empty())
            return 2;
    }
    std::fprintf(stderr, "load average at the end %s; server cpu %.1f s, https server cpu %.1f s\n",
        loadAverage().c_str(), server_.cpuSeconds(), tlsServer_.cpuSeconds());
    report();
    return allPassed() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    for (std::size_t i = 0; i < args.size(); i += 2) {
        const bool known
            = i + 1 < args.size() && (args[i] == "--rounds" || args[i] == "--only" || args[i] == "--tree-files");
        if (!known) {
            std::fprintf(stderr, "usage: e2e [--rounds N] [--only d,u,l,t] [--tree-files N]\n");
            return 2;
        }
        if (args[i] == "--rounds")
            options.rounds = std::max(1, std::atoi(args[i + 1].c_str()));
        else if (args[i] == "--tree-files")
            options.treeFiles = std::max(1, std::atoi(args[i + 1].c_str()));
        else {
            options.parts.clear();
            for (char c : args[i + 1]) {
                if (c != ',')
                    options.parts.insert(c);
            }
        }
    }
    cleanUpOnSignals();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int result = EndToEnd(options).run();
    curl_global_cleanup();
    return result;
}
