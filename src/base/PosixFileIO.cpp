#include "base/PosixFileIO.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace kavo {

int PosixFileIO::open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}

ssize_t PosixFileIO::write(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

ssize_t PosixFileIO::pwrite(int fd, const void* data, std::size_t size, off_t offset) {
    return ::pwrite(fd, data, size, offset);
}

ssize_t PosixFileIO::pread(int fd, void* data, std::size_t size, off_t offset) {
    return ::pread(fd, data, size, offset);
}

off_t PosixFileIO::seekEnd(int fd) {
    return ::lseek(fd, 0, SEEK_END);
}

int PosixFileIO::ftruncate(int fd, off_t length) {
    return ::ftruncate(fd, length);
}

int PosixFileIO::fsync(int fd) {
    return ::fsync(fd);
}

int PosixFileIO::flock(int fd, int operation) {
    return ::flock(fd, operation);
}

int PosixFileIO::close(int fd) {
    return ::close(fd);
}

PosixFileIO& PosixFileIO::system() {
    static PosixFileIO io;
    return io;
}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset();
        io_ = other.io_;
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

int FileDescriptor::reset() {
    if (fd_ < 0) return 0;
    const int fd = fd_;
    fd_ = -1;
    return io_->close(fd);
}

int writeFully(PosixFileIO& io, int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = io.write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // A write that makes no progress would otherwise spin forever.
        if (n == 0) return EIO;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace kavo
