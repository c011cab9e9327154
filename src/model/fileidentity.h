#pragma once

#include <QtGlobal>

#include <sys/stat.h>

// What tells one file, unchanged, from any other: the file system and inode it lives in, its size, and when
// its bytes and its status last changed (to the nanosecond). Two equal identities taken at two moments mean
// the same file, not written in between as far as the system can tell.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedSeconds = 0;
    qint64 modifiedNanoseconds = 0;
    qint64 changedSeconds = 0;
    qint64 changedNanoseconds = 0;

    static FileIdentity of(const struct stat& status)
    {
        return { quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size),
            qint64(status.st_mtim.tv_sec), qint64(status.st_mtim.tv_nsec), qint64(status.st_ctim.tv_sec),
            qint64(status.st_ctim.tv_nsec) };
    }

    bool operator==(const FileIdentity& other) const
    {
        return device == other.device && inode == other.inode && size == other.size
            && modifiedSeconds == other.modifiedSeconds && modifiedNanoseconds == other.modifiedNanoseconds
            && changedSeconds == other.changedSeconds && changedNanoseconds == other.changedNanoseconds;
    }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};
