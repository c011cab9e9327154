#include "ops/write/writersupport.h"

#include "ops/write/filesystemcalls.h"

#include <QFile>
#include <QRandomGenerator>

#include <sys/stat.h>
#include <unistd.h>

namespace WriterSupport {

void keepOwner(int node, const struct stat& replaced)
{
    struct stat own { };
    if (::fstat(node, &own) == 0 && (own.st_uid != replaced.st_uid || own.st_gid != replaced.st_gid)) {
        // Refused for a user who may not give files away: the output is then its own, as any file it makes.
        [[maybe_unused]] const int ignored = ::fchown(node, replaced.st_uid, replaced.st_gid);
    }
}

mode_t newFileMode()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0600;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (!line.startsWith("Umask:"))
            continue;
        bool octal = false;
        const uint mask = line.mid(6).trimmed().toUInt(&octal, 8);
        return octal ? mode_t(0666 & ~mask) : mode_t(0600);
    }
    return 0600;
}

bool refusedAccess(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
}

OutputObstacle obstacleOfKind(mode_t mode, mode_t wanted)
{
    const mode_t type = mode & S_IFMT;
    if (type == wanted)
        return OutputObstacle::None;
    switch (type) {
    case S_IFREG:
        return OutputObstacle::File;
    case S_IFDIR:
        return OutputObstacle::Folder;
    case S_IFCHR:
        return OutputObstacle::CharacterDevice;
    case S_IFBLK:
        return OutputObstacle::BlockDevice;
    case S_IFIFO:
        return OutputObstacle::Fifo;
    case S_IFSOCK:
        return OutputObstacle::Socket;
    }
    return OutputObstacle::Unreachable;
}

OutputObstacle lookAtPlace(
    FileSystemCalls& calls, const OutputPlace& place, int& folder, struct stat& status, bool& exists)
{
    folder = calls.openFolder(place.folder.constData());
    if (folder < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return OutputObstacle::MissingFolder;
        return refusedAccess(errno) ? OutputObstacle::UnwritableFolder : OutputObstacle::Unreachable;
    }
    exists = calls.status(folder, place.name.constData(), &status) == 0;
    if (!exists && errno != ENOENT)
        return OutputObstacle::Unreachable;
    return OutputObstacle::None;
}

QByteArray hiddenName(const QByteArray& name)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray suffix(8, '\0');
    for (char& letter : suffix)
        letter = letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))];
    return '.' + name.left(200) + ".tessel-" + suffix;
}

} // namespace WriterSupport
