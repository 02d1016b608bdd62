#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "base/Error.h"

namespace kavo {

class FileError : public Error {
public:
    using Error::Error;
};

// Replaces `path` whole: the bytes go to a temporary file in the same folder, which is
// synced and renamed over the old file, so a reader sees the old or the new content,
// never a part. `mode` is the new file's permission bits. Throws FileError.
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         unsigned mode = 0644);

// The whole content of a file, or nothing when it does not exist. Throws FileError when
// it exists but cannot be read.
std::optional<std::string> readFileIfExists(const std::filesystem::path& path);

}  // namespace kavo
