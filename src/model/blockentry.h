#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

#include <algorithm>
#include <array>

// One 48-byte block entry of a DMH, field by field as it stands in the image.
struct BlockEntry {
    static constexpr int byteSize = 48;
    static constexpr int idOffset = 0;
    static constexpr int flagsOffset = 1;
    static constexpr int offsetOffset = 4;
    static constexpr int sizeOffset = 8;
    static constexpr int crcOffset = 12;
    static constexpr int versionOffset = 16;
    static constexpr int nameOffset = 24;
    static constexpr int timeOffset = 32;
    static constexpr int trailerOffset = 40;

    // "NCRC" read as a little-endian u32: the block's CRC is deliberately not kept.
    static constexpr quint32 noCrcMarker = 0x4352434E;

    quint8 id = 0;
    quint8 flags = 0;
    quint16 reserved = 0;
    quint32 offset = 0;
    quint32 size = 0;
    quint32 crc = 0;
    std::array<char, 8> version {};
    std::array<char, 8> name {};
    std::array<quint8, 8> time {};
    std::array<quint8, 8> trailer {};

    static BlockEntry fromBytes(const uchar* bytes);
    // A table of `count` consecutive entries, as a DMH lists them.
    static QVector<BlockEntry> fromTable(const uchar* bytes, int count);
    void toBytes(uchar* bytes) const;

    quint16 year() const { return quint16(time[0] | (time[1] << 8)); }
    quint8 month() const { return time[2]; }
    quint8 day() const { return time[3]; }
    quint8 hour() const { return time[4]; }
    quint8 minute() const { return time[5]; }
    quint8 second() const { return time[6]; }

    // The block that holds the image's software version is named "ssdata", zero-terminated in byte 30.
    bool isSoftwareVersionBlock() const
    {
        // Asked of every entry a load parses: the first byte rules out almost all of them.
        static constexpr char versionBlockName[] = "ssdata";
        return name[0] == versionBlockName[0] && std::equal(name.begin(), name.begin() + 7, versionBlockName);
    }
    bool hasNoCrcMarker() const { return crc == noCrcMarker; }

    // The name up to its first zero byte: the form a file name or a command line can carry.
    QByteArray nameText() const;

    // The texts the block table shows; the ID text is also the key by which a row finds its entry.
    static QString idText(quint8 id);
    QString idText() const { return idText(id); }
    QString sizeCellText() const { return QString::number(size); }
    QString crcCellText() const { return QString::number(crc, 16); }
    QString nameCellText() const;
    QString versionCellText() const;
    QString timeCellText() const;

    bool operator==(const BlockEntry& other) const;
    bool operator!=(const BlockEntry& other) const { return !(*this == other); }
};

// All fields zero is the default entry, and an entry is plain bytes: containers may zero-fill and copy
// them as memory, which keeps tables of tens of thousands of entries cheap to hold.
Q_DECLARE_TYPEINFO(BlockEntry, Q_PRIMITIVE_TYPE);
