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

    // Standard output carries a command's data (-o -): from now on the texts meant for it go to stderr,
    // so that a pipe reads the data alone.
    void keepOutForData() { outForData = true; }
    // Whether standard output is a terminal, which data is never written to.
    virtual bool outIsTerminal() const { return false; }
    // Whether standard error is a terminal, the only place progress is shown.
    virtual bool errorIsTerminal() const { return false; }
    // A progress line on stderr as it is: no line end is added, so that the next one overwrites it.
    void printProgress(const QByteArray& line);

    // The first write to standard output that failed, by the console or by a command writing its data
    // there: its errno, 0 while none has.
    int outError() const { return firstOutError; }
    void noteOutError(int error)
    {
        if (firstOutError == 0)
            firstOutError = error;
    }
    // The reader of standard output went away (EPIPE): the run ends quietly, as a filter does, so nothing
    // more is printed on either stream.
    bool readerGone() const;

protected:
    virtual void write(Stream stream, const QByteArray& bytes) = 0;

private:
    void printLine(Stream stream, QByteArray bytes);

    bool outForData = false;
    int firstOutError = 0;
};

// The process's own standard output and standard error.
class StandardConsole final : public Console {
public:
    bool outIsTerminal() const override;
    bool errorIsTerminal() const override;

protected:
    void write(Stream stream, const QByteArray& bytes) override;
};
