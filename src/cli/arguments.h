#pragma once

#include <QByteArray>
#include <QChar>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// One option a command takes: a switch, or an option with a value (`-o OUT`, `--output OUT`,
// `--output=OUT`, `-oOUT`).
struct OptionSpec {
    QString longName;
    QChar shortName;
    // Empty for a switch.
    QString valueName;
    QString description;

    bool takesValue() const { return !valueName.isEmpty(); }
};

// The arguments after the command name, sorted into options and positional arguments. Options are
// known by their long name.
class ParsedArguments {
public:
    bool isSet(const QString& longName) const;
    // The option's value; empty when it was not given.
    QString value(const QString& longName) const;
    const QStringList& positional() const { return positionalArguments; }

private:
    friend struct ArgumentParse;
    QMap<QString, QString> values;
    QSet<QString> switches;
    QStringList positionalArguments;
};

// Reads `arguments` against `options`. An unknown option, an option given twice (a switch too), a
// missing or an empty value is bad usage; `--` ends the options.
struct ArgumentParse {
    std::optional<ParsedArguments> arguments;
    QString error;

    static ArgumentParse parse(const QVector<OptionSpec>& options, const QStringList& arguments);
};

// The program's arguments as text. An argument whose bytes do not survive decoding and encoding again
// (a file name that is not valid in the locale's encoding) would name another file, so it is refused.
struct DecodedArguments {
    QStringList arguments;
    QString error;

    static DecodedArguments decode(const QList<QByteArray>& rawArguments);
};
