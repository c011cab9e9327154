#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// Where the command line's output goes: results to stdout, failures to stderr, always as UTF-8, so that
// pipelines read the same bytes whatever the locale. Tests put a console of their own in its place.
class Console {
public:
    enum class Stream { Out, Error };

    virtual ~Console() = default;

    // One piece of text; a line end is added when it has none.
    void printOut(const QString& text) { printLine(Stream::Out, text.toUtf8()); }
    void printError(const QString& text) { printLine(Stream::Error, text.toUtf8()); }
    void printJson(const QJsonObject& document);

protected:
    virtual void write(Stream stream, const QByteArray& bytes) = 0;

private:
    void printLine(Stream stream, QByteArray bytes);
};

// The process's own standard output and standard error.
class StandardConsole final : public Console {
protected:
    void write(Stream stream, const QByteArray& bytes) override;
};
