#include "writersupport.h"

#include <QRandomGenerator>

namespace WriterSupport {

bool refusedAccess(int error)
{
    return error == EACCES || error == EPERM || error == EROFS;
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
