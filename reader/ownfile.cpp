#include "ownfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ownfile {
namespace {

// Only a plain file of ours that nothing else links to counts as ours.
bool isOurs(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

// O_NOFOLLOW refuses a link at the path itself; O_NONBLOCK keeps a FIFO from
// blocking the open (and the whole service with it) before fstat can refuse it.
int openChecked(const char *path, int flags, unsigned mode, bool (*accept)(const struct stat &))
{
    if (!path || !*path)
        return -1;
    const int fd = ::open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !accept(st)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int openOurs(const char *path, int flags, unsigned mode = 0600)
{
    return openChecked(path, flags, mode, isOurs);
}

bool isRegular(const struct stat &st) { return S_ISREG(st.st_mode); }

QByteArray readAll(int fd, std::size_t maxSize)
{
    if (fd < 0)
        return QByteArray();
    QByteArray bytes;
    struct stat st;
    if (::fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) <= maxSize) {
        bytes.resize(static_cast<int>(st.st_size));
        std::size_t done = 0;
        while (done < static_cast<std::size_t>(bytes.size())) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        bytes.truncate(static_cast<int>(done));
    }
    ::close(fd);
    return bytes;
}

} // namespace

bool write(const char *path, const void *data, std::size_t size, unsigned mode)
{
    const int fd = openOurs(path, O_WRONLY | O_CREAT, mode);
    if (fd < 0)
        return false;
    // A file left from before keeps no wider mode than asked for.
    const bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 && ::ftruncate(fd, 0) == 0
                    && writeAll(fd, data, size);
    return ::close(fd) == 0 && ok;
}

bool writeAll(int fd, const void *data, std::size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool write(const char *path, const QByteArray &bytes, unsigned mode)
{
    return write(path, bytes.constData(), static_cast<std::size_t>(bytes.size()), mode);
}

QByteArray read(const char *path, std::size_t maxSize)
{
    return readAll(openOurs(path, O_RDONLY), maxSize);
}

QByteArray readInstalled(const char *path, std::size_t maxSize)
{
    return readAll(openChecked(path, O_RDONLY, 0, isRegular), maxSize);
}

bool remove(const char *path)
{
    struct stat st;
    if (!path || ::lstat(path, &st) != 0 || !isOurs(st))
        return false;
    return ::unlink(path) == 0;
}

} // namespace ownfile
