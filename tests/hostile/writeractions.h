#pragma once

#include "imagefixture.h"
#include "standardimages.h"

#include <QMetaType>
#include <QString>

// The four writers of the window, run on StandardImages::recordAndTwoPlain(): what each writes, and the
// texts it shows.
enum class Writer { Export, Padded, WithInfo, Grow };
Q_DECLARE_METATYPE(Writer)

// The writer as a data row names it.
inline const char* writerName(Writer writer)
{
    const char* names[] = { "export", "padded", "record", "grow" };
    return names[int(writer)];
}

struct WriterAction {
    QString id;
    qint64 replacementLength = 0;
    qint64 outputLength = 0;
};

inline WriterAction actionOf(Writer writer)
{
    const WriterAction actions[]
        = { { "5", 0, 0x8000 }, { "5", 0x1000, 0x40000 }, { "6", 0x800, 0x40000 }, { "5", 0x9000, 0x40000 } };
    return actions[int(writer)];
}

// A growth has always spelt "Block" with a capital.
inline QString replaceText(Writer writer, const char* ending)
{
    return (writer == Writer::Grow ? QStringLiteral("Replace Block ") : QStringLiteral("Replace block "))
        + QLatin1String(ending);
}

inline QString successText(Writer writer, const QString& output)
{
    return writer == Writer::Export ? QStringLiteral("Save block %1 successfully!!!").arg(output)
                                    : replaceText(writer, "successfully!!!");
}

inline QString openFailureText(Writer writer, const QString& output)
{
    return writer == Writer::Export ? QStringLiteral("Can not open %1").arg(output)
                                    : QStringLiteral("Can not open %1!!!").arg(output);
}

inline QString writeFailureText(Writer writer, const QString& output)
{
    return writer == Writer::Export ? QStringLiteral("Save block %1 failed!!!").arg(output)
                                    : replaceText(writer, "failed!!!");
}

// The image loaded, and "replacement.img" as long as the writer's replacement.
inline bool prepareWriter(ImageFixture& fixture, Writer writer)
{
    return fixture.load(StandardImages::recordAndTwoPlain())
        && fixture.writeReplacement(QStringLiteral("replacement.img"), actionOf(writer).replacementLength);
}

// Loads the image afresh (a growth changes the one in memory) and runs one writer on "replacement.img".
inline Outcome runWriter(ImageFixture& fixture, Writer writer, const QString& output,
    ExistingOutput existing = ExistingOutput::Replace)
{
    if (!fixture.reload())
        return Outcome::refused(QStringLiteral("the base image did not load"));
    const WriterAction action = actionOf(writer);
    if (writer == Writer::Export)
        return fixture.exportBlock(action.id, output, existing);
    return fixture.replaceBlock(action.id, QStringLiteral("replacement.img"), output, existing);
}
