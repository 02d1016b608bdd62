#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "account/SessionBuilder.h"

namespace kavo {

// The signed-in accounts with their refresh tokens, their last id token and their access
// tokens (with expiry), in one JSON file readable by the user alone (mode 0600), replaced
// whole on every change. What it keeps lets a remembered account be signed in while the
// identity platform cannot be reached.
class TokenCacheFile {
public:
    struct AccessToken {
        std::string token;
        WallTime expiresOn;
        bool operator==(const AccessToken&) const = default;
    };

    struct Account {
        AccountInfo info;
        std::string refreshToken;
        std::string idToken;
        // By the scope text they were granted for.
        std::map<std::string, AccessToken> accessTokens;
        bool operator==(const Account&) const = default;
    };

    explicit TokenCacheFile(std::filesystem::path file);

    // The cached accounts, most recent sign-in first; none when there is no file. Throws
    // kavo::Error when the file cannot be read or does not decode.
    std::vector<Account> accounts() const;
    // Throws FileError.
    void save(const std::vector<Account>& accounts) const;

    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path file_;
};

}  // namespace kavo
