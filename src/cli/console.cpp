#include "console.h"

#include <QJsonDocument>

#include <cerrno>
#include <cstdio>

#include <unistd.h>

bool Console::readerGone() const
{
    return firstOutError == EPIPE;
}

void Console::printLine(Stream stream, QByteArray bytes)
{
    if (readerGone())
        return;
    if (!bytes.endsWith('\n'))
        bytes.append('\n');
    write(outForData ? Stream::Error : stream, bytes);
}

void Console::printProgress(const QByteArray& line)
{
    if (!readerGone())
        write(Stream::Error, line);
}

void Console::printJson(const QJsonObject& document)
{
    printLine(Stream::Out, QJsonDocument(document).toJson(QJsonDocument::Indented));
}

bool StandardConsole::outIsTerminal() const
{
    return ::isatty(STDOUT_FILENO) == 1;
}

bool StandardConsole::errorIsTerminal() const
{
    return ::isatty(STDERR_FILENO) == 1;
}

void StandardConsole::write(Stream stream, const QByteArray& bytes)
{
    std::FILE* const file = stream == Stream::Out ? stdout : stderr;
    errno = 0;
    const bool written
        = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file) == size_t(bytes.size());
    const bool flushed = std::fflush(file) == 0;
    // A failure on stderr has nowhere left to be told.
    if (stream == Stream::Out && !(written && flushed))
        noteOutError(errno != 0 ? errno : EIO);
}
