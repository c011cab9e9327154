#include "console.h"

#include <QJsonDocument>

#include <cstdio>

void Console::printLine(Stream stream, QByteArray bytes)
{
    if (!bytes.endsWith('\n'))
        bytes.append('\n');
    write(stream, bytes);
}

void Console::printJson(const QJsonObject& document)
{
    printLine(Stream::Out, QJsonDocument(document).toJson(QJsonDocument::Indented));
}

void StandardConsole::write(Stream stream, const QByteArray& bytes)
{
    std::FILE* const file = stream == Stream::Out ? stdout : stderr;
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file);
    std::fflush(file);
}
