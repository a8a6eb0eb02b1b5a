#pragma once

// A norvane-server child process for end-to-end tests: started on an ephemeral loopback port with a
// fresh data folder, read until it says where it listens, driven through its control endpoint,
// restarted in the same folder (also after SIGKILL), and always gone when the object is.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace norvane::test {

// One answer of an HTTP(S) request made by the fixture (libcurl, no engine of the client's own).
struct HttpReply {
    long status = 0; // 0: no answer at all (see error)
    std::string body;
    std::map<std::string, std::string> headers; // names in lower case; the last of a repeated one
    std::string error; // transport failure, empty otherwise

    std::string header(const std::string& lowerName) const
    {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// A single request with libcurl. Over https the server's key must match `pin` ("sha256//…"); the
// certificate chain itself is not checked (the server's certificate is self-signed).
HttpReply httpRequest(const std::string& method, const std::string& url, const HttpHeaders& headers = {},
    const std::string& body = {}, const std::string& pin = {});

class ServerProcess {
public:
    struct Options {
        bool tls = false;
        bool demo = false;
        std::string faultsFile; // --faults
        std::string binary; // empty: the norvane-server built with the tests
        std::vector<std::string> extraArguments;
        std::chrono::milliseconds startTimeout { 20000 };
        std::chrono::milliseconds stopTimeout { 5000 };
    };

    struct DemoAccount {
        std::string company;
        std::string user;
        std::string password;
    };

    ServerProcess();
    explicit ServerProcess(Options options);
    // Stops the server (SIGTERM, then SIGKILL) and removes its folder.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts the server: in a new data folder on a free port the first time, afterwards in the same
    // folder and on the same port. False (with error()) when it exited or did not announce itself
    // in time; the process is gone then.
    bool start();
    // SIGTERM, a wait of stopTimeout, then SIGKILL. Does nothing when it is not running.
    void stop();
    // SIGKILL and reap: what a crash or a pulled plug leaves behind.
    void kill();
    bool restart()
    {
        stop();
        return start();
    }
    bool killAndRestart()
    {
        kill();
        return start();
    }

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Exit code of the last run (128 + signal when killed by one); -1 before the first stop.
    int lastExitStatus() const { return lastExit_; }
    const std::string& error() const { return error_; }

    const std::string& url() const { return url_; } // "http://127.0.0.1:PORT" as printed
    int port() const { return port_; }
    bool tls() const { return options_.tls; }
    const std::string& pin() const { return pin_; } // "sha256//<base64>" with tls, else empty
    const std::string& controlToken() const { return controlToken_; }
    const std::vector<DemoAccount>& demoAccounts() const { return demo_; }
    const std::filesystem::path& dataDir() const { return dataDir_; }
    // What the server wrote to standard error so far.
    std::string log() const;
    // Peak resident set of the running server in KiB (VmHWM), -1 when unknown.
    long peakResidentKiB() const;

    // Points a client's settings (ConfigInfo) at this server, for storage and login alike.
    template <class Settings> void pointSettingsHere(Settings& settings) const
    {
        settings.setServerIP("127.0.0.1");
        settings.setServerPort(port());
        settings.setLoginServerIP("127.0.0.1");
        settings.setLoginServerPort(port());
        settings.setUseHttps(tls() ? 1 : 0);
    }

    // A request to this server: path is appended to url().
    HttpReply request(const std::string& method, const std::string& path, const HttpHeaders& headers = {},
        const std::string& body = {}) const;
    // A request to the control endpoint with the token and a JSON body.
    HttpReply control(const std::string& method, const std::string& path, const std::string& json = {}) const;

    // --- accounts, shared folders, policies and faults through the control endpoint ---
    struct CompanySpec {
        std::string code;
        std::string name;
        bool requireDevice = false;
        std::int64_t maxFileSize = 0; // 0: the server's default
        std::int64_t quota = 0;
    };
    HttpReply createCompany(const CompanySpec& company) const;
    HttpReply createUser(const std::string& company, const std::string& user, const std::string& password,
        const std::string& fullName) const;
    HttpReply registerDevice(const std::string& company, const std::string& user, const std::string& device) const;
    HttpReply createSharedFolder(
        const std::string& company, const std::string& name, const std::vector<std::string>& managers) const;
    HttpReply suspend(const std::string& company, const std::string& user, bool suspended = true) const;
    HttpReply setPolicies(const std::string& company, const std::map<std::string, std::string>& headers) const;
    HttpReply setInformation(const std::string& company, const std::string& seq, const std::string& text) const;
    // Marks an entry ("/SHAREFOLDER/a", "/SHAREFILE/a/b", or a personal one of `user`) read-only.
    HttpReply setReadOnly(const std::string& company, const std::string& entryKey, bool readOnly = true,
        const std::string& user = {}) const;
    // Folder trees of more than inBackgroundAbove entries are copied in the background, one entry
    // every stepDelayMs.
    HttpReply setCopySettings(std::int64_t inBackgroundAbove, std::int64_t stepDelayMs) const;
    // Moves the clock of the server's time rules (session lifetimes, login throttles) forward.
    HttpReply advanceClock(std::chrono::seconds by) const;
    // The connections the server accepted since it started, this request's own included; -1 when
    // it does not say.
    long connectionsAccepted() const;
    // A JSON array of fault rules replaces the list; clearFaults empties it.
    HttpReply setFaults(const std::string& rules) const;
    HttpReply clearFaults() const;

private:
    bool readAnnouncement();
    void startDrain();
    void reap(int signal, std::chrono::milliseconds grace);

    Options options_;
    std::filesystem::path baseDir_; // holds data/ and server.log
    std::filesystem::path dataDir_;
    std::string controlToken_;
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    int lastExit_ = -1;
    std::string error_;
    std::string url_;
    int port_ = 0;
    std::string pin_;
    std::vector<DemoAccount> demo_;
    std::thread drain_;
    mutable std::mutex outputMutex_;
    std::string laterOutput_;
};

} // namespace norvane::test
