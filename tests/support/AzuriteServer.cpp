#include "support/AzuriteServer.h"

#include <fmt/format.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "base/AtomicFile.h"
#include "base/Base64.h"
#include "base/Iso8601.h"
#include "net/UrlText.h"

namespace kavo::testing {
namespace {

constexpr const char* kVersion = "2021-08-06";
constexpr const char* kAccount = "devstoreaccount1";
constexpr const char* kAccountKey =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

std::string fileText(const std::filesystem::path& path) {
    return readFileIfExists(path).value_or("");
}

// base64 of HMAC-SHA256 over `text` with the base64-encoded `key`.
std::string signWithAccountKey(const std::string& key, const std::string& text) {
    std::string urlKey = key;
    std::replace(urlKey.begin(), urlKey.end(), '+', '-');
    std::replace(urlKey.begin(), urlKey.end(), '/', '_');
    const std::string secret = base64UrlDecode(urlKey).value();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &length);
    return base64Encode(std::string_view(reinterpret_cast<const char*>(digest), length));
}

}  // namespace

AzuriteServer::AzuriteServer(std::vector<std::string> nodeOptions) {
    // The blob service of the Azurite that devstack/ installs.
    const auto script = std::filesystem::path(KAVO_SOURCE_DIR) /
                        "devstack/node_modules/azurite/dist/src/blob/main.js";
    if (!std::filesystem::exists(script))
        throw std::runtime_error("Azurite is not installed at " + script.string() +
                                 " (run: npm ci --prefix devstack)");
    port_ = freeLoopbackPort();
    const auto log = workDirectory_ / "azurite.log";
    std::vector<std::string> command{"node"};
    command.insert(command.end(), nodeOptions.begin(), nodeOptions.end());
    command.insert(command.end(), {script.string(), "--blobHost", "127.0.0.1", "--blobPort",
                                   std::to_string(port_), "--inMemoryPersistence",
                                   "--skipApiVersionCheck", "--disableTelemetry", "--silent"});
    ChildProcess::Options options;
    options.command = std::move(command);
    options.out = log;
    options.directory = workDirectory_.path();
    options.stopSignal = SIGKILL;
    process_.emplace(std::move(options));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (fileText(log).find("successfully listens") == std::string::npos) {
        if (!process_->running())
            throw std::runtime_error("Azurite (node on the PATH) exited before listening: " +
                                     fileText(log));
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("Azurite did not listen within 60 s: " + fileText(log));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void AzuriteServer::createContainer(HTTPTransport& transport, const std::string& container) const {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char date[64];
    std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", gmtime_r(&now, &utc));
    // Verb, eleven standard headers of which only Content-Type is sent, the x-ms- headers
    // and the resource.
    const std::string toSign = fmt::format(
        "PUT\n\n\n\n\napplication/octet-stream\n\n\n\n\n\n\nx-ms-date:{}\nx-ms-version:{}\n/{}/{}/"
        "{}\nrestype:container",
        date, kVersion, kAccount, kAccount, container);
    HTTPRequest request;
    request.method = "PUT";
    request.url = "http://127.0.0.1:" + std::to_string(port_) + "/" + kAccount + "/" + container +
                  "?restype=container";
    request.headers.set("Content-Type", "application/octet-stream");
    request.headers.set("x-ms-date", date);
    request.headers.set("x-ms-version", kVersion);
    request.headers.set("Authorization", std::string("SharedKey ") + kAccount + ":" +
                                             signWithAccountKey(kAccountKey, toSign));
    const auto response = transport.data(request);
    if (response.status != 201)
        throw std::runtime_error("Creating container " + container + " answered " +
                                 std::to_string(response.status) + ": " + response.body);
}

std::string AzuriteServer::sasURL(const std::string& container, const std::string& blob,
                                  WallTime expiry, const std::string& permissions) const {
    const std::string se = formatIso8601(expiry, 0);
    // sp, st, se, resource, si, sip, spr, sv, sr, snapshot time, encryption scope and the
    // five response-header overrides.
    const std::string toSign = fmt::format("{}\n\n{}\n/blob/{}/{}/{}\n\n\n\n{}\nb\n\n\n\n\n\n\n",
                                           permissions, se, kAccount, container, blob, kVersion);
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + kAccount + "/" + container + "/" +
           blob + "?sv=" + kVersion + "&se=" + UrlText::percentEncodeAlphanumerics(se) +
           "&sr=b&sp=" + permissions +
           "&sig=" + UrlText::percentEncodeAlphanumerics(signWithAccountKey(kAccountKey, toSign));
}

std::string AzuriteServer::readBlob(HTTPTransport& transport, const std::string& container,
                                    const std::string& blob) const {
    HTTPRequest request;
    request.url =
        sasURL(container, blob, std::chrono::system_clock::now() + std::chrono::hours(1), "r");
    request.timeout = std::chrono::seconds(120);
    const auto response = transport.data(request);
    if (response.status != 200)
        throw std::runtime_error("Reading blob " + blob + " answered " +
                                 std::to_string(response.status) + ": " + response.body);
    return response.body;
}

}  // namespace kavo::testing
