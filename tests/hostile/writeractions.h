#pragma once

#include "hostilefixture.h"

#include <QString>

// The four writers of the window, run on one small image: what each writes, and the texts it shows.
enum class Writer { Export, Padded, WithInfo, Grow };

// 256 KiB: a 64 KiB block with a record, and two plain 32 KiB blocks back to back with room behind them.
inline QByteArray writerTestImage()
{
    const TestEntry record = testEntry(1, 0x10000, 0x10000, "app", 0);
    const TestEntry plain = testEntry(2, 0x20000, 0x8000, "data");
    const TestEntry tail = testEntry(3, 0x28000, 0x8000, "tail");
    TestDmh dmh;
    dmh.flashSize = 0x40000;
    dmh.dataCapacity = 0x100000;
    dmh.entries = { record, plain, tail };
    return ImageBuilder(0x40000)
        .dmh(0, dmh)
        .block(0, record, ImageBuilder::randomBytes(1000, 1), true)
        .block(0, plain, ImageBuilder::randomBytes(0x8000, 2), false)
        .block(0, tail, ImageBuilder::randomBytes(0x8000, 3), false)
        .image();
}

struct WriterAction {
    QString id;
    qint64 replacementLength = 0;
    qint64 outputLength = 0;
};

inline WriterAction actionOf(Writer writer)
{
    switch (writer) {
    case Writer::Export:
        return { "2", 0, 0x8000 };
    case Writer::Padded:
        return { "2", 0x1000, 0x40000 };
    case Writer::WithInfo:
        return { "1", 0x800, 0x40000 };
    case Writer::Grow:
        return { "2", 0x9000, 0x40000 };
    }
    return {};
}

inline QString successText(Writer writer, const QString& output)
{
    switch (writer) {
    case Writer::Export:
        return QStringLiteral("Save block %1 successfully!!!").arg(output);
    case Writer::Grow:
        return QStringLiteral("Replace Block successfully!!!");
    default:
        return QStringLiteral("Replace block successfully!!!");
    }
}

inline QString openFailureText(Writer writer, const QString& output)
{
    return writer == Writer::Export ? QStringLiteral("Can not open %1").arg(output)
                                    : QStringLiteral("Can not open %1!!!").arg(output);
}

inline QString writeFailureText(Writer writer, const QString& output)
{
    switch (writer) {
    case Writer::Export:
        return QStringLiteral("Save block %1 failed!!!").arg(output);
    case Writer::Grow:
        return QStringLiteral("Replace Block failed!!!");
    default:
        return QStringLiteral("Replace block failed!!!");
    }
}

// Loads the image afresh (a growth changes the one in memory) and runs one writer on "replacement.img".
inline Outcome runWriter(HostileFixture& fixture, Writer writer, const QString& output,
    ExistingOutput existing = ExistingOutput::Replace)
{
    if (!fixture.reload())
        return Outcome::refused(QStringLiteral("the base image did not load"));
    const WriterAction action = actionOf(writer);
    if (writer == Writer::Export)
        return fixture.exportBlock(action.id, output, existing);
    return fixture.replaceBlock(action.id, QStringLiteral("replacement.img"), output, existing);
}
