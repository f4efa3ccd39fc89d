// Whole files on POSIX.
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/secret.h"
#include "platform/socket.h"

namespace platform {
namespace {

// Closes the descriptor it holds when it goes.
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The folder a path names its file in, for the rename to be made lasting.
std::string Folder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

// O_NONBLOCK: a FIFO named by mistake must not hold the host until a writer
// comes.
FileRead ReadWholeFile(const std::string& path, std::size_t limit, std::string_view too_large, std::string& bytes,
                       std::string& error) {
    bytes.clear();
    const Fd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            error = "no such file";
            return FileRead::Missing;
        }
        if (err == EACCES || err == EPERM) error = "unreadable (permission denied)";
        else error = "unreadable: " + ErrorText(err);
        return FileRead::Refused;
    }
    struct stat info {};
    if (fstat(file.fd, &info) != 0) error = "unreadable: " + ErrorText(errno);
    else if (S_ISDIR(info.st_mode)) error = "a directory, not a file";
    else if (!S_ISREG(info.st_mode)) error = "not a regular file";
    else if (static_cast<std::uintmax_t>(info.st_size) > limit) error = std::string(too_large);
    if (!error.empty()) return FileRead::Refused;
    // One byte over the limit tells a file that grew since fstat.
    bytes.resize(limit + 1);
    std::size_t got = 0;
    while (error.empty() && got < bytes.size()) {
        const ssize_t n = read(file.fd, bytes.data() + got, bytes.size() - got);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = "unreadable: " + ErrorText(errno);
        else got += static_cast<std::size_t>(n);
    }
    if (error.empty() && got > limit) error = std::string(too_large);
    if (!error.empty()) {
        Wipe(bytes.data(), got);
        bytes.clear();
        return FileRead::Refused;
    }
    bytes.resize(got);
    return FileRead::Read;
}

bool ReplaceWholeFile(const std::string& path, std::string_view bytes, std::string& error) {
    const std::string temporary = path + ".tmp";
    {
        // A file of its own, made anew: what holds the name (one left by a
        // crash, a symbolic or hard link to another file) is taken away
        // first, not written through.
        unlink(temporary.c_str());
        const Fd file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644));
        if (file.fd < 0) {
            error = "cannot be written: " + ErrorText(errno);
            return false;
        }
        if (!WriteAll(file.fd, bytes) || fsync(file.fd) != 0) {
            error = "cannot be written: " + ErrorText(errno);
            unlink(temporary.c_str());
            return false;
        }
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot be replaced: " + ErrorText(errno);
        unlink(temporary.c_str());
        return false;
    }
    // The rename lasts once the folder's entry is on the disk; a folder
    // that cannot be synced still holds the whole new file.
    const Fd folder(open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd >= 0) fsync(folder.fd);
    return true;
}

}  // namespace platform
