#include "console.h"

#include <QByteArray>
#include <QJsonDocument>

#include <cstdio>

namespace {

void writeLine(std::FILE* stream, QByteArray bytes)
{
    if (!bytes.endsWith('\n'))
        bytes.append('\n');
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void Console::printOut(const QString& text) const
{
    writeLine(stdout, text.toUtf8());
}

void Console::printError(const QString& text) const
{
    writeLine(stderr, text.toUtf8());
}

void Console::printJson(const QJsonObject& document) const
{
    writeLine(stdout, QJsonDocument(document).toJson(QJsonDocument::Indented));
}
