#include "ops/write/filesystemcalls.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

FileSystemCalls*& installed()
{
    static FileSystemCalls real;
    static FileSystemCalls* calls = &real;
    return calls;
}

} // namespace

int FileSystemCalls::openFolder(const char* path)
{
    return ::open(path, O_DIRECTORY | O_RDONLY | O_CLOEXEC);
}

int FileSystemCalls::status(int folder, const char* name, struct stat* result)
{
    return ::fstatat(folder, name, result, 0);
}

int FileSystemCalls::access(int folder, const char* name, int mode)
{
    return ::faccessat(folder, name, mode, 0);
}

int FileSystemCalls::createUnnamed(int folder, mode_t mode)
{
    return ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
}

int FileSystemCalls::createNamed(int folder, const char* name, mode_t mode)
{
    return ::openat(folder, name, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, mode);
}

ssize_t FileSystemCalls::write(int file, const void* data, size_t length)
{
    return ::write(file, data, length);
}

int FileSystemCalls::cloneRange(int source, off_t sourcePosition, int file, off_t position, off_t length)
{
    file_clone_range range {};
    range.src_fd = source;
    range.src_offset = __u64(sourcePosition);
    range.src_length = __u64(length);
    range.dest_offset = __u64(position);
    return ::ioctl(file, FICLONERANGE, &range);
}

ssize_t FileSystemCalls::copyRange(int source, off_t* sourcePosition, int file, size_t length)
{
    loff_t from = *sourcePosition;
    const ssize_t copied = ::copy_file_range(source, &from, file, nullptr, length, 0);
    *sourcePosition = from;
    return copied;
}

int FileSystemCalls::fileSystemOf(int file, struct statfs* result)
{
    return ::fstatfs(file, result);
}

int FileSystemCalls::setMode(int file, mode_t mode)
{
    return ::fchmod(file, mode);
}

int FileSystemCalls::syncFile(int file)
{
    return ::fsync(file);
}

int FileSystemCalls::linkUnnamed(int file, int folder, const char* name)
{
    // Through /proc any user may link a file it holds open; AT_EMPTY_PATH needs a capability.
    char procPath[64];
    std::snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", file);
    const int linked = ::linkat(AT_FDCWD, procPath, folder, name, AT_SYMLINK_FOLLOW);
    if (linked == 0 || errno != ENOENT || ::access("/proc/self/fd", X_OK) == 0)
        return linked;
    return ::linkat(file, "", folder, name, AT_EMPTY_PATH);
}

int FileSystemCalls::rename(int folder, const char* from, const char* to, bool replace)
{
    if (replace)
        return ::renameat(folder, from, folder, to);
    const int renamed = ::renameat2(folder, from, folder, to, RENAME_NOREPLACE);
    if (renamed == 0 || errno != EINVAL)
        return renamed;
    // A file system without RENAME_NOREPLACE: a hard link refuses an existing name just as well.
    if (::linkat(folder, from, folder, to, 0) != 0)
        return -1;
    ::unlinkat(folder, from, 0);
    return 0;
}

int FileSystemCalls::remove(int folder, const char* name)
{
    return ::unlinkat(folder, name, 0);
}

int FileSystemCalls::syncFolder(int folder)
{
    return ::fsync(folder);
}

int FileSystemCalls::makeFolder(int folder, const char* name, mode_t mode)
{
    return ::mkdirat(folder, name, mode);
}

int FileSystemCalls::openFolderAt(int folder, const char* name)
{
    return ::openat(folder, name, O_DIRECTORY | O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
}

int FileSystemCalls::exchange(int folder, const char* first, const char* second)
{
    return ::renameat2(folder, first, folder, second, RENAME_EXCHANGE);
}

int FileSystemCalls::removeFolder(int folder, const char* name)
{
    return ::unlinkat(folder, name, AT_REMOVEDIR);
}

int FileSystemCalls::freeSpace(int folder, struct statvfs* result)
{
    return ::fstatvfs(folder, result);
}

FileSystemCalls& FileSystemCalls::current()
{
    return *installed();
}

FileSystemCalls::Override::Override(FileSystemCalls& calls)
    : previous(installed())
{
    installed() = &calls;
}

FileSystemCalls::Override::~Override()
{
    installed() = previous;
}
