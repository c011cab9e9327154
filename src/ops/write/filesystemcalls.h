#pragma once

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>

// The system calls the writer commits a file with, one virtual function each, so that tests can make any
// one of them fail or record their order. Each returns what the call returns: -1 with errno set on failure.
// Folders are open descriptors; names are relative to them.
class FileSystemCalls {
public:
    virtual ~FileSystemCalls() = default;

    // open(O_DIRECTORY | O_RDONLY): the folder the file goes into, kept open to be synced.
    virtual int openFolder(const char* path);
    // fstatat, following symlinks.
    virtual int status(int folder, const char* name, struct stat* result);
    // faccessat: may the calling user write there (root too is refused on a read-only mount).
    virtual int access(int folder, const char* name, int mode);
    // openat(O_TMPFILE): a file without a name in `folder`; fails with EOPNOTSUPP, EISDIR or EINVAL where
    // the file system has no such files.
    virtual int createUnnamed(int folder, mode_t mode);
    // openat(O_CREAT | O_EXCL): a new named file.
    virtual int createNamed(int folder, const char* name, mode_t mode);
    virtual ssize_t write(int file, const void* data, size_t length);
    // ioctl(FICLONERANGE): `file` shares `length` bytes of `source` from `sourcePosition` at `position`,
    // where the file system shares extents. Positions and length must be multiples of its block size (the
    // length need not be when the range ends at the end of `source`). Fails with EOPNOTSUPP, EXDEV or EINVAL
    // where it cannot share them; the file's position does not move.
    virtual int cloneRange(int source, off_t sourcePosition, int file, off_t position, off_t length);
    // copy_file_range from `source` at `*sourcePosition` (which moves on) to `file` at its position (which
    // moves on too): the bytes copied, 0 at the end of `source`. Fails with EXDEV, EINVAL, EOPNOTSUPP or
    // ENOSYS where the system cannot copy between the two.
    virtual ssize_t copyRange(int source, off_t* sourcePosition, int file, size_t length);
    // fstatfs: which kind of file system holds `file` (its f_type).
    virtual int fileSystemOf(int file, struct statfs* result);
    // fchmod.
    virtual int setMode(int file, mode_t mode);
    // fsync of the new file.
    virtual int syncFile(int file);
    // linkat of an unnamed file to `name`; fails with EEXIST when the name exists.
    virtual int linkUnnamed(int file, int folder, const char* name);
    // renameat within one folder; without `replace`, fails with EEXIST when `to` exists.
    virtual int rename(int folder, const char* from, const char* to, bool replace);
    // unlinkat of a file.
    virtual int remove(int folder, const char* name);
    // fsync of the folder, which makes a new name in it durable.
    virtual int syncFolder(int folder);

    // The calls a folder of outputs is built and put in place with.
    // mkdirat.
    virtual int makeFolder(int folder, const char* name, mode_t mode);
    // openat(O_DIRECTORY | O_NOFOLLOW): a folder inside `folder`, kept open to write into it and sync it.
    virtual int openFolderAt(int folder, const char* name);
    // renameat2(RENAME_EXCHANGE) within one folder: the two names swap what they name in one step.
    virtual int exchange(int folder, const char* first, const char* second);
    // unlinkat(AT_REMOVEDIR) of an empty folder.
    virtual int removeFolder(int folder, const char* name);
    // fstatvfs: the free space and free files of the file system that holds `folder`.
    virtual int freeSpace(int folder, struct statvfs* result);

    // The calls every writer uses: the real ones unless a test put others in place.
    static FileSystemCalls& current();

    // Puts `calls` in place of current() for the life of the object; tests only.
    class Override {
    public:
        explicit Override(FileSystemCalls& calls);
        ~Override();
        Override(const Override&) = delete;
        Override& operator=(const Override&) = delete;

    private:
        FileSystemCalls* previous;
    };
};
