#include "account/TokenCacheFile.h"

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "base/AtomicFile.h"

namespace kavo {

namespace {

nlohmann::json optionalText(const std::optional<std::string>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

std::optional<std::string> readOptional(const nlohmann::json& json, const char* key) {
    const auto found = json.find(key);
    if (found == json.end() || found->is_null()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

}  // namespace

TokenCacheFile::TokenCacheFile(std::filesystem::path file) : file_(std::move(file)) {}

std::vector<TokenCacheFile::Account> TokenCacheFile::accounts() const {
    const auto bytes = readFileIfExists(file_);
    if (!bytes) {
        return {};
    }
    try {
        std::vector<Account> accounts;
        const auto json = nlohmann::json::parse(*bytes);
        for (const auto& item : json.at("accounts")) {
            Account account;
            account.info.homeTenantId = readOptional(item, "homeTenantId");
            account.info.identifier = readOptional(item, "identifier");
            account.info.username = readOptional(item, "username");
            account.refreshToken = item.at("refreshToken").get<std::string>();
            account.idToken = readOptional(item, "idToken").value_or("");
            if (const auto tokens = item.find("accessTokens"); tokens != item.end()) {
                for (const auto& token : tokens->items()) {
                    const auto seconds = token.value().at("expiresOn").get<std::int64_t>();
                    account.accessTokens[token.key()] = {
                        token.value().at("token").get<std::string>(),
                        WallTime(std::chrono::seconds(seconds))};
                }
            }
            accounts.push_back(std::move(account));
        }
        return accounts;
    } catch (const nlohmann::json::exception&) {
        throw Error("The sign-in cache " + file_.filename().string() + " is damaged.");
    }
}

void TokenCacheFile::save(const std::vector<Account>& accounts) const {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& account : accounts) {
        nlohmann::json tokens = nlohmann::json::object();
        for (const auto& [scope, token] : account.accessTokens) {
            tokens[scope] = {{"token", token.token},
                             {"expiresOn", std::chrono::duration_cast<std::chrono::seconds>(
                                               token.expiresOn.time_since_epoch())
                                               .count()}};
        }
        list.push_back({{"homeTenantId", optionalText(account.info.homeTenantId)},
                        {"identifier", optionalText(account.info.identifier)},
                        {"username", optionalText(account.info.username)},
                        {"refreshToken", account.refreshToken},
                        {"idToken", account.idToken},
                        {"accessTokens", tokens}});
    }
    std::error_code error;
    if (!std::filesystem::exists(file_.parent_path(), error)) {
        std::filesystem::create_directories(file_.parent_path(), error);
        ::chmod(file_.parent_path().c_str(), 0700);
    }
    writeFileAtomically(file_, nlohmann::json{{"version", 1}, {"accounts", list}}.dump(2), 0600);
}

}  // namespace kavo
