#include "platform/linux/TokenCacheFile.h"

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "base/AtomicFile.h"

namespace kavo::linux_platform {

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
        list.push_back({{"homeTenantId", optionalText(account.info.homeTenantId)},
                        {"identifier", optionalText(account.info.identifier)},
                        {"username", optionalText(account.info.username)},
                        {"refreshToken", account.refreshToken}});
    }
    std::error_code error;
    if (!std::filesystem::exists(file_.parent_path(), error)) {
        std::filesystem::create_directories(file_.parent_path(), error);
        ::chmod(file_.parent_path().c_str(), 0700);
    }
    writeFileAtomically(file_, nlohmann::json{{"version", 1}, {"accounts", list}}.dump(2), 0600);
}

}  // namespace kavo::linux_platform
