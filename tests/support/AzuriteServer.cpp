#include "support/AzuriteServer.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace kavo::testing {
namespace {

std::string base64Encode(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string base64Decode(const std::string& text) {
    std::string out(3 * (text.size() / 4) + 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) throw std::runtime_error("bad base64 key");
    std::size_t padding = 0;
    for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) ++padding;
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

std::string queryEscape(const std::string& text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += kDigits[byte >> 4];
            out += kDigits[byte & 0xF];
        }
    }
    return out;
}

std::string iso8601Seconds(WallTime time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string rfc1123Now() {
    const std::time_t t = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&t, &utc);
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
                  utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                  utc.tm_sec);
    return text;
}

std::string fileText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string signWithAccountKey(const std::string& key, const std::string& text) {
    const std::string secret = base64Decode(key);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &length);
    return base64Encode(std::string(reinterpret_cast<const char*>(digest), length));
}

std::filesystem::path AzuriteServer::script() {
    const auto modules = std::filesystem::path(KAVO_SOURCE_DIR) / "devstack" / "node_modules";
    const auto linked = modules / ".bin" / "azurite-blob";
    // npm links .bin last; the package's own entry point serves while it has not yet.
    return std::filesystem::exists(linked)
               ? linked
               : modules / "azurite" / "dist" / "src" / "blob" / "main.js";
}

AzuriteServer::AzuriteServer(std::vector<std::string> nodeOptions)
    : nodeOptions_(std::move(nodeOptions)) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kavo-azurite-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    workDirectory_ = pattern;
    try {
        start();
    } catch (...) {
        stop();
        throw;
    }
}

AzuriteServer::~AzuriteServer() {
    stop();
}

void AzuriteServer::start() {
    std::error_code error;
    const auto resolved = std::filesystem::canonical(script(), error);
    if (error)
        throw std::runtime_error("Azurite is not installed at " + script().string() +
                                 " (run: npm ci --prefix devstack)");

    std::filesystem::path node;
    std::stringstream path(getenv("PATH") ? getenv("PATH") : "/usr/local/bin:/usr/bin:/bin");
    for (std::string folder; std::getline(path, folder, ':');)
        if (!folder.empty() &&
            ::access((std::filesystem::path(folder) / "node").c_str(), X_OK) == 0) {
            node = std::filesystem::path(folder) / "node";
            break;
        }
    if (node.empty())
        throw std::runtime_error("Node.js (node) is not on the PATH; Azurite needs it");

    port_ = freeLoopbackPort();
    const auto log = workDirectory_ / "azurite.log";
    std::vector<std::string> command{node.string()};
    command.insert(command.end(), nodeOptions_.begin(), nodeOptions_.end());
    command.insert(command.end(), {resolved.string(), "--blobHost", "127.0.0.1", "--blobPort",
                                   std::to_string(port_), "--inMemoryPersistence",
                                   "--skipApiVersionCheck", "--disableTelemetry", "--silent"});
    ChildProcess::Options options;
    options.command = std::move(command);
    options.out = log;
    options.directory = workDirectory_;
    options.stopSignal = SIGKILL;
    process_.emplace(std::move(options));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        if (fileText(log).find("successfully listens") != std::string::npos) return;
        if (!process_->running())
            throw std::runtime_error("Azurite exited before listening: " + fileText(log));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("Azurite did not listen within 60 s: " + fileText(log));
}

void AzuriteServer::stop() {
    process_.reset();
    std::error_code ignored;
    if (!workDirectory_.empty()) std::filesystem::remove_all(workDirectory_, ignored);
}

std::string AzuriteServer::blobURL(const std::string& container, const std::string& blob) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + kAccount + "/" + container + "/" +
           blob;
}

void AzuriteServer::createContainer(HTTPTransport& transport, const std::string& container) const {
    HTTPRequest request;
    request.method = "PUT";
    request.url = "http://127.0.0.1:" + std::to_string(port_) + "/" + kAccount + "/" + container +
                  "?restype=container";
    const std::string date = rfc1123Now();
    const std::string contentType = "application/octet-stream";
    const std::string version = "2021-08-06";
    // Verb, then eleven standard headers of which only Content-Type is sent, then the
    // x-ms- headers and the resource.
    const std::string toSign = "PUT\n\n\n\n\n" + contentType + "\n\n\n\n\n\n\n" +
                               "x-ms-date:" + date + "\nx-ms-version:" + version + "\n/" +
                               kAccount + "/" + kAccount + "/" + container + "\nrestype:container";
    request.headers.set("Content-Type", contentType);
    request.headers.set("x-ms-date", date);
    request.headers.set("x-ms-version", version);
    request.headers.set("Authorization", std::string("SharedKey ") + kAccount + ":" +
                                             signWithAccountKey(kAccountKey, toSign));
    const auto response = transport.data(request);
    if (response.status != 201)
        throw std::runtime_error("Creating container " + container + " answered " +
                                 std::to_string(response.status) + ": " + response.body);
}

std::string AzuriteServer::sasURL(const std::string& container, const std::string& blob,
                                  WallTime expiry, const std::string& permissions) const {
    const std::string version = "2021-08-06";
    const std::string se = iso8601Seconds(expiry);
    // sp, st, se, resource, si, sip, spr, sv, sr, snapshot time, encryption scope and
    // the five response-header overrides.
    const std::vector<std::string> lines = {
        permissions, "", se, std::string("/blob/") + kAccount + "/" + container + "/" + blob,
        "",          "", "", version,
        "b",         "", "", "",
        "",          "", "", ""};
    std::string toSign;
    for (std::size_t i = 0; i < lines.size(); ++i) toSign += (i ? "\n" : "") + lines[i];
    const std::string sig = signWithAccountKey(kAccountKey, toSign);
    return blobURL(container, blob) + "?sv=" + version + "&se=" + queryEscape(se) +
           "&sr=b&sp=" + permissions + "&sig=" + queryEscape(sig);
}

std::string AzuriteServer::readBlob(HTTPTransport& transport, const std::string& container,
                                    const std::string& blob) const {
    HTTPRequest request;
    request.method = "GET";
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
