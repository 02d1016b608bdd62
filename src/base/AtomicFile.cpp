#include "base/AtomicFile.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kavo {
namespace {

std::string reason(int error) {
    return std::strerror(error);
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

}  // namespace

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, unsigned mode) {
    const auto folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    // Built by appending: GCC 12 warns falsely (-Wrestrict) on "." + std::string.
    std::string hidden = ".";
    hidden += path.filename().string();
    hidden += ".XXXXXX";
    std::string pattern = (folder / hidden).string();
    Descriptor fd(::mkstemp(pattern.data()));
    if (fd.get() < 0) {
        throw FileError(fmt::format("Could not write {}: {}", path.string(), reason(errno)));
    }
    const std::string temporary = pattern;
    auto fail = [&](int error) {
        ::unlink(temporary.c_str());
        throw FileError(fmt::format("Could not write {}: {}", path.string(), reason(error)));
    };
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0 || ::fsync(fd.get()) != 0) fail(errno);
    if (::close(fd.release()) != 0) fail(errno);
    if (::rename(temporary.c_str(), path.c_str()) != 0) fail(errno);
    // The rename itself is durable only once the folder is synced.
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0) ::fsync(dir.get());
}

std::optional<std::string> readFileIfExists(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (!std::filesystem::exists(path)) return std::nullopt;
        throw FileError(fmt::format("Could not read {}", path.string()));
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) throw FileError(fmt::format("Could not read {}", path.string()));
    return content.str();
}

}  // namespace kavo
