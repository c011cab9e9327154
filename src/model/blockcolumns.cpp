#include "blockcolumns.h"

#include <QtGlobal>

namespace BlockColumns {

const char* title(Column column)
{
    switch (column) {
    case Id:
        return QT_TRANSLATE_NOOP("QObject", "ID");
    case Size:
        return QT_TRANSLATE_NOOP("QObject", "Size(Bytes)");
    case Crc:
        return QT_TRANSLATE_NOOP("QObject", "CRC");
    case Name:
        return QT_TRANSLATE_NOOP("QObject", "Name");
    case Version:
        return QT_TRANSLATE_NOOP("QObject", "Version");
    case Time:
        return QT_TRANSLATE_NOOP("QObject", "Time(Y/M/D/H/M/S)");
    }
    Q_UNREACHABLE();
}

QStringList titles()
{
    QStringList all;
    for (int column = 0; column < count; ++column)
        all.append(QString::fromLatin1(title(Column(column))));
    return all;
}

QString text(const BlockEntry& entry, Column column)
{
    switch (column) {
    case Id:
        return entry.idText();
    case Size:
        return entry.sizeCellText();
    case Crc:
        return entry.crcCellText();
    case Name:
        return entry.nameCellText();
    case Version:
        return entry.versionCellText();
    case Time:
        return entry.timeCellText();
    }
    Q_UNREACHABLE();
}

QStringList texts(const BlockEntry& entry)
{
    QStringList all;
    all.reserve(count);
    for (int column = 0; column < count; ++column)
        all.append(text(entry, Column(column)));
    return all;
}

} // namespace BlockColumns
