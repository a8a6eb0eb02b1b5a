#include "CloudServiceSDKForMac/ASIHTTP/ServerCertificateProbe.h"

#include "CloudServiceSDKForMac/ASIHTTP/ASIHTTPRequest.h"
#include "CloudServiceSDKForMac/ASIHTTP/ProxyResolver.h"

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <vector>

namespace norvane {

namespace {

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct X509Deleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

ErrorValue probeError(ServerCertificateProbeError code, std::string description, ValueMap userInfo = {})
{
    return ErrorValue { kServerCertificateProbeErrorDomain, code, std::move(description), std::move(userInfo) };
}

std::string bracketed(const std::string& host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// The proxy as curl names it, for the kinds the resolver chooses.
std::string proxyURL(const ProxyChoice& choice)
{
    return (choice.type == ProxyChoice::Type::Socks ? "socks5h://" : "http://") + bracketed(choice.host) + ":"
        + std::to_string(choice.port);
}

std::size_t appendToString(char* data, std::size_t size, std::size_t count, void* target)
{
    auto& text = *static_cast<std::string*>(target);
    if (text.size() + size * count > ProxyResolver::maxScriptSize)
        return 0;
    text.append(data, size * count);
    return size * count;
}

// An auto-configuration script named by an http(s) URL, fetched without a proxy (the script is
// what would name one).
std::optional<std::string> fetchScriptDirectly(const std::string& url)
{
    CurlHandle curl(curl_easy_init());
    if (!curl)
        return std::nullopt;
    std::string body;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_PROXY, "");
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &appendToString);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
    long status = 0;
    if (curl_easy_perform(curl.get()) != CURLE_OK
        || curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status >= 400)
        return std::nullopt;
    return body;
}

// One TLS handshake with the server, and what it left behind.
struct Handshake {
    CURLcode code = CURLE_OK;
    long proxyStatus = 0;
    std::string errorText;
    std::string leafPem;
};

Handshake shakeHands(const ServerCertificateProbe::Target& target, const ProxyChoice& proxy, bool verify)
{
    Handshake result;
    CurlHandle curl(curl_easy_init());
    if (!curl) {
        result.code = CURLE_FAILED_INIT;
        return result;
    }
    char errorBuffer[CURL_ERROR_SIZE] = {};
    std::string url = "https://" + bracketed(target.host) + ":" + std::to_string(target.port) + "/";
    auto timeout = static_cast<long>(target.timeOutSeconds * 1000);
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(h, CURLOPT_CERTINFO, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeout);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
    if (proxy.type == ProxyChoice::Type::Direct) {
        curl_easy_setopt(h, CURLOPT_PROXY, "");
    } else {
        curl_easy_setopt(h, CURLOPT_PROXY, proxyURL(proxy).c_str());
        if (!target.proxyUser.empty()) {
            curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, target.proxyUser.c_str());
            curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, target.proxyPassword.c_str());
            curl_easy_setopt(h, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
        }
    }
    result.code = curl_easy_perform(h);
    result.errorText = errorBuffer[0] ? errorBuffer : curl_easy_strerror(result.code);
    curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &result.proxyStatus);
    if (result.code != CURLE_OK)
        return result;
    curl_certinfo* chain = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_CERTINFO, &chain) == CURLE_OK && chain && chain->num_of_certs > 0) {
        static constexpr std::string_view field = "Cert:";
        for (curl_slist* item = chain->certinfo[0]; item; item = item->next) {
            std::string_view line = item->data;
            if (line.starts_with(field))
                result.leafPem = line.substr(field.size());
        }
    }
    return result;
}

bool isVerificationFailure(CURLcode code)
{
    return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE || code == CURLE_SSL_ISSUER_ERROR
        || code == CURLE_SSL_INVALIDCERTSTATUS;
}

ErrorValue handshakeError(const Handshake& failed)
{
    ValueMap underlying { { "domain", std::string("CurlErrorDomain") }, { "code", static_cast<long>(failed.code) },
        { "description", failed.errorText } };
    if (failed.proxyStatus >= 400)
        return probeError(ProbeProxyRefused,
            "The proxy refused the connection with status " + std::to_string(failed.proxyStatus),
            { { "underlyingError", underlying }, { "proxyStatus", failed.proxyStatus } });
    switch (failed.code) {
    case CURLE_OPERATION_TIMEDOUT:
        return probeError(ProbeTimedOut, "The server did not answer in time", { { "underlyingError", underlying } });
    case CURLE_SSL_CONNECT_ERROR:
        return probeError(
            ProbeNoTLS, "No TLS handshake with the server: " + failed.errorText, { { "underlyingError", underlying } });
    default:
        return probeError(ProbeConnectFailed, "The server could not be reached: " + failed.errorText,
            { { "underlyingError", underlying } });
    }
}

std::optional<std::chrono::system_clock::time_point> timePoint(const ASN1_TIME* time)
{
    std::tm fields {};
    if (!time || ASN1_TIME_to_tm(time, &fields) != 1)
        return std::nullopt;
    return std::chrono::system_clock::from_time_t(::timegm(&fields));
}

std::string nameText(const X509_NAME* name)
{
    std::unique_ptr<BIO, BioDeleter> out(BIO_new(BIO_s_mem()));
    if (!out || X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253) < 0)
        return {};
    char* data = nullptr;
    long length = BIO_get_mem_data(out.get(), &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

} // namespace

std::optional<ServerCertificate> ServerCertificate::fromPEM(std::string_view pem)
{
    std::unique_ptr<BIO, BioDeleter> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    std::unique_ptr<X509, X509Deleter> certificate(
        in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!certificate)
        return std::nullopt;
    int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), nullptr);
    if (length <= 0)
        return std::nullopt;
    std::vector<unsigned char> der(static_cast<std::size_t>(length));
    unsigned char* cursor = der.data();
    i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate.get()), &cursor);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    auto notBefore = timePoint(X509_get0_notBefore(certificate.get()));
    auto notAfter = timePoint(X509_get0_notAfter(certificate.get()));
    if (!notBefore || !notAfter)
        return std::nullopt;
    ServerCertificate out;
    out.publicKeyPin = "sha256//" + ASIHTTPRequest::base64forData({ digest, digestLength });
    out.subject = nameText(X509_get_subject_name(certificate.get()));
    out.issuer = nameText(X509_get_issuer_name(certificate.get()));
    out.notBefore = *notBefore;
    out.notAfter = *notAfter;
    return out;
}

namespace {

bool usableHost(const std::string& host)
{
    if (host.empty() || host.size() > 255)
        return false;
    for (unsigned char c : host) {
        if (c <= ' ' || c == '/' || c == '@' || c == '?' || c == '#' || c == '[' || c == ']' || c == 0x7f)
            return false;
    }
    return true;
}

} // namespace

ServerCertificateProbe::Outcome ServerCertificateProbe::probe(const Target& target)
{
    if (!usableHost(target.host) || target.port < 1 || target.port > 65535)
        return { std::nullopt, probeError(ProbeBadAddress, "The server address is not usable") };

    ProxyResolver resolver(&fetchScriptDirectly);
    std::string url = "https://" + bracketed(target.host) + ":" + std::to_string(target.port) + "/";
    auto proxy = resolver.choose(url, target.proxyHost, target.proxyPort, target.pacURL);
    if (!proxy)
        return { std::nullopt,
            probeError(ProbeNoProxyInformation, "Unable to obtain information on proxy servers needed for request") };

    // A certificate the system vouches for is had in one handshake; otherwise the verifier's
    // reason is kept and a second, unverified handshake fetches what the server presents.
    Handshake verified = shakeHands(target, *proxy, true);
    Handshake used = verified;
    if (verified.code != CURLE_OK) {
        if (!isVerificationFailure(verified.code))
            return { std::nullopt, handshakeError(verified) };
        used = shakeHands(target, *proxy, false);
        if (used.code != CURLE_OK)
            return { std::nullopt, handshakeError(used) };
    }
    auto certificate = ServerCertificate::fromPEM(used.leafPem);
    if (!certificate)
        return { std::nullopt, probeError(ProbeInternalError, "The server's certificate could not be read") };
    certificate->trustedBySystem = verified.code == CURLE_OK;
    if (!certificate->trustedBySystem) {
        static constexpr std::string_view prefix = "SSL certificate problem: ";
        std::string_view reason = verified.errorText;
        if (reason.starts_with(prefix))
            reason.remove_prefix(prefix.size());
        certificate->untrustedReason = reason;
    }
    return { std::move(certificate), std::nullopt };
}

std::string certificateDateText(std::chrono::system_clock::time_point when)
{
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm fields {};
    ::gmtime_r(&seconds, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &fields);
    return text;
}

} // namespace norvane
