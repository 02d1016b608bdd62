#pragma once

#include <sys/types.h>

#include <cstddef>

namespace kavo {

// The descriptor calls the files of this program make. Production uses the real
// calls; tests override single calls to produce short writes, EINTR, failures, or to
// count syncs. Failures return -1 and leave the reason in errno, like the calls
// themselves.
class PosixFileIO {
public:
    virtual ~PosixFileIO() = default;

    virtual int open(const char* path, int flags, mode_t mode);
    virtual ssize_t write(int fd, const void* data, std::size_t size);
    virtual ssize_t pwrite(int fd, const void* data, std::size_t size, off_t offset);
    virtual ssize_t pread(int fd, void* data, std::size_t size, off_t offset);
    virtual off_t seekEnd(int fd);
    virtual int ftruncate(int fd, off_t length);
    virtual int fsync(int fd);
    virtual int flock(int fd, int operation);
    virtual int close(int fd);

    // The real calls. Stateless, so one instance serves every writer and thread.
    static PosixFileIO& system();
};

// Owns one open descriptor and closes it through the IO that opened it.
class FileDescriptor {
public:
    FileDescriptor() = default;
    FileDescriptor(PosixFileIO& io, int fd) : io_(&io), fd_(fd) {}
    // A descriptor of the real calls.
    explicit FileDescriptor(int fd) : FileDescriptor(PosixFileIO::system(), fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : io_(other.io_), fd_(other.fd_) {
        other.fd_ = -1;
    }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now; returns the close call's result (0 when nothing was open).
    int reset();

private:
    PosixFileIO* io_ = nullptr;
    int fd_ = -1;
};

// Writes all of `size` bytes, continuing after partial writes and retrying EINTR.
// Returns 0, or the errno of the write that failed.
int writeFully(PosixFileIO& io, int fd, const void* data, std::size_t size);

}  // namespace kavo
