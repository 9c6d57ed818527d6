#pragma once

#include <QByteArray>

#include <cstddef>


// Files at fixed, well-known paths (under /tmp, shared by every user of the
// machine). Anything planted there by someone else — a symbolic link, another
// user's file, a FIFO, a hard link — is neither written through, read, nor
// waited on: the operation simply fails.
namespace ownfile {

// Creates or truncates the file, gives it this mode and writes all bytes;
// false when the path is not ours.
bool write(const char *path, const void *data, std::size_t size, unsigned mode = 0600);
bool write(const char *path, const QByteArray &bytes, unsigned mode = 0600);
// The whole file, or an empty array when it is missing, not ours or larger than maxSize.
QByteArray read(const char *path, std::size_t maxSize = 16u << 20);
// An installed file any user may own (the card templates): the whole file when it
// is a regular file at the path itself, never a link, FIFO or device.
QByteArray readInstalled(const char *path, std::size_t maxSize = 16u << 20);
// Writes all bytes to an open file, again after an interrupted write; false
// when a write fails.
bool writeAll(int fd, const void *data, std::size_t size);
// Unlinks the file only when it is a regular file of ours; true when it was removed.
bool remove(const char *path);

} // namespace ownfile
