#pragma once

#include <QFile>
#include <QString>

#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

// Files that are not regular files, made in a test's own folder (never /dev), to stand where an output goes.
enum class OutputNode { CharacterDevice, Fifo, Socket, SymlinkToFifo };

inline const char* nodeName(OutputNode node)
{
    const char* names[] = { "character device", "FIFO", "socket", "symlink to a FIFO" };
    return names[int(node)];
}

// Makes `node` at `path`; a symlink points to a FIFO made at `path` + ".fifo". The character device is a
// twin of the null device, which needs root.
inline bool makeNode(OutputNode node, const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    switch (node) {
    case OutputNode::CharacterDevice:
        return mknod(name.constData(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    case OutputNode::Fifo:
        return mkfifo(name.constData(), 0666) == 0;
    case OutputNode::Socket: {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        if (size_t(name.size()) >= sizeof address.sun_path)
            return false;
        std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
        const int socketFile = socket(AF_UNIX, SOCK_STREAM, 0);
        const bool bound = socketFile >= 0
            && bind(socketFile, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        if (socketFile >= 0)
            close(socketFile);
        return bound;
    }
    case OutputNode::SymlinkToFifo:
        return makeNode(OutputNode::Fifo, path + QStringLiteral(".fifo"))
            && symlink(QFile::encodeName(path + QStringLiteral(".fifo")).constData(), name.constData()) == 0;
    }
    return false;
}

// What identifies a node without following a symlink: it is "left exactly as it was" when this is equal.
inline QByteArray nodeIdentity(const QString& path)
{
    struct stat status { };
    if (lstat(QFile::encodeName(path).constData(), &status) != 0)
        return QByteArray();
    return QByteArray::number(quint64(status.st_dev)) + ':' + QByteArray::number(quint64(status.st_ino)) + ':'
        + QByteArray::number(status.st_mode, 8) + ':' + QByteArray::number(quint64(status.st_rdev)) + ':'
        + QByteArray::number(qint64(status.st_size));
}
