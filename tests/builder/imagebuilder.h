#pragma once

#include "model/blockentry.h"
#include "ops/record/stamptime.h"

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtGlobal>

// One block entry described by its fields.
struct TestEntry {
    quint8 id = 0;
    quint8 flags = 1;
    quint16 reserved = 0;
    quint32 offset = 0;
    quint32 size = 0;
    quint32 crc = 0;
    QByteArray version;
    QByteArray name;
    quint16 year = 2014;
    quint8 month = 3;
    quint8 day = 5;
    quint8 hour = 14;
    quint8 minute = 7;
    quint8 second = 9;
    quint8 timeByte7 = 0;
    QByteArray trailer;

    BlockEntry toEntry() const;
};

// The entry of a block: the fields most tests care about, the rest at their defaults.
TestEntry testEntry(
    quint8 id, quint32 offset = 0, quint32 size = 0, const QByteArray& name = {}, quint8 flags = 1);

// One DMH: its header fields and entries. entryCount defaults to the number of entries given.
struct TestDmh {
    quint32 dataCapacity = 0x01000000;
    quint32 sdramSize = 0x04000000;
    quint32 flashSize = 0;
    int entryCount = -1;
    quint16 entrySize = 48;
    QVector<TestEntry> entries;
};

// A DMH listing `entries` with the flash size given, its other header fields at their defaults.
TestDmh testDmh(const QVector<TestEntry>& entries, quint32 flashSize = 0);

// Builds an image in memory: a fill byte everywhere, then DMHs, records and block bytes placed at the
// positions given. Writes are clipped to the image so hostile layouts can be made on purpose.
class ImageBuilder {
public:
    explicit ImageBuilder(qint64 size, char fill = '\xFF');

    ImageBuilder& dmh(qint64 position, const TestDmh& dmh);
    ImageBuilder& bytes(qint64 position, const QByteArray& data);
    ImageBuilder& fill(qint64 position, qint64 length, char value);
    // A block-info record (signature, data length, data CRC, time) at image position `position`.
    ImageBuilder& blockInfo(qint64 position, quint32 dataLength, quint32 dataCrc, const StampTime& time = {});
    // Block bytes for an entry of the DMH at `dmhPosition`: `data` at the block start, 0xFF behind it,
    // and, when `withRecord`, a record in the last 64 bytes whose data length and CRC describe `data`.
    ImageBuilder& block(qint64 dmhPosition, const TestEntry& entry, const QByteArray& data, bool withRecord);

    const QByteArray& image() const { return content; }
    [[nodiscard]] bool writeTo(const QString& path) const;

    static QByteArray dmhHeader(const TestDmh& dmh);
    // The 48 bytes of an entry as a DMH lists it.
    static QByteArray entryBytes(const BlockEntry& entry);
    static QByteArray randomBytes(qint64 length, quint32 seed);
    // Whole-block CRC the way the block operations compute it.
    static quint32 crcOf(const QByteArray& data);

private:
    QByteArray content;
};
