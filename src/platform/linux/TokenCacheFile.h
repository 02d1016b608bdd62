#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "account/SessionBuilder.h"

namespace kavo::linux_platform {

// The signed-in accounts and their refresh tokens, in one JSON file readable by the user
// alone (mode 0600), replaced whole on every change.
class TokenCacheFile {
public:
    struct Account {
        AccountInfo info;
        std::string refreshToken;
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

}  // namespace kavo::linux_platform
