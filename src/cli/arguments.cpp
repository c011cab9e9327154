#include "arguments.h"

#include <QFile>

namespace {

const OptionSpec* findLong(const QVector<OptionSpec>& options, const QString& name)
{
    for (const OptionSpec& option : options) {
        if (option.longName == name)
            return &option;
    }
    return nullptr;
}

const OptionSpec* findShort(const QVector<OptionSpec>& options, QChar name)
{
    for (const OptionSpec& option : options) {
        if (!option.shortName.isNull() && option.shortName == name)
            return &option;
    }
    return nullptr;
}

QString displayName(const OptionSpec& option)
{
    return QStringLiteral("--") + option.longName;
}

// The option an argument that starts with "-" names, with the value attached to it ("--output=OUT",
// "-oOUT"); or why it names none (then `error` is set).
struct NamedOption {
    const OptionSpec* option = nullptr;
    std::optional<QString> attached;
    QString error;
};

NamedOption nameOption(const QVector<OptionSpec>& options, const QString& argument)
{
    NamedOption named;
    if (argument.startsWith(QLatin1String("--"))) {
        const int equals = argument.indexOf(QLatin1Char('='));
        const QString name = argument.mid(2, equals < 0 ? -1 : equals - 2);
        named.option = findLong(options, name);
        if (!named.option)
            named.error = QStringLiteral("Unknown option '--%1'.").arg(name);
        else if (equals >= 0)
            named.attached = argument.mid(equals + 1);
        return named;
    }
    named.option = findShort(options, argument.at(1));
    // "-oOUT" is "-o OUT", as getopt reads it; a switch takes nothing after its letter.
    if (!named.option || (argument.size() > 2 && !named.option->takesValue()))
        named.error = QStringLiteral("Unknown option '%1'.").arg(argument);
    else if (argument.size() > 2)
        named.attached = argument.mid(2);
    return named;
}

} // namespace

bool ParsedArguments::isSet(const QString& longName) const
{
    return switches.contains(longName) || values.contains(longName);
}

QString ParsedArguments::value(const QString& longName) const
{
    return values.value(longName);
}

ArgumentParse ArgumentParse::parse(const QVector<OptionSpec>& options, const QStringList& arguments)
{
    ArgumentParse result;
    ParsedArguments parsed;
    const auto fail = [&result](const QString& error) {
        result.error = error;
        return result;
    };
    for (int index = 0; index < arguments.size(); ++index) {
        const QString& argument = arguments[index];
        if (argument == QLatin1String("--")) {
            parsed.positionalArguments += arguments.mid(index + 1);
            break;
        }
        // A lone "-" is an argument (standard input or output where a command allows it).
        if (!argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("-")) {
            parsed.positionalArguments.append(argument);
            continue;
        }

        const NamedOption named = nameOption(options, argument);
        if (!named.error.isEmpty())
            return fail(named.error);
        const OptionSpec* option = named.option;
        const std::optional<QString>& attached = named.attached;

        // The last of two values would silently win, and a switch given twice is a script's slip as
        // well: an option is given once.
        if (parsed.isSet(option->longName))
            return fail(QStringLiteral("Option %1 is given more than once.").arg(displayName(*option)));
        if (!option->takesValue()) {
            if (attached)
                return fail(QStringLiteral("Option %1 takes no value.").arg(displayName(*option)));
            parsed.switches.insert(option->longName);
            continue;
        }
        QString value;
        if (attached) {
            value = *attached;
        } else {
            if (index + 1 >= arguments.size())
                return fail(QStringLiteral("Option %1 needs a value (%2).")
                                .arg(displayName(*option), option->valueName));
            value = arguments[++index];
        }
        if (value.isEmpty())
            return fail(QStringLiteral("Option %1 needs a non-empty %2.")
                            .arg(displayName(*option), option->valueName));
        parsed.values.insert(option->longName, value);
    }
    result.arguments = parsed;
    return result;
}

DecodedArguments DecodedArguments::decode(const QList<QByteArray>& rawArguments)
{
    DecodedArguments result;
    for (const QByteArray& raw : rawArguments) {
        const QString decoded = QFile::decodeName(raw);
        if (QFile::encodeName(decoded) != raw) {
            QString shown;
            for (const char byte : raw) {
                const uchar code = uchar(byte);
                shown += code >= 0x20 && code < 0x7F
                    ? QString(QLatin1Char(byte))
                    : QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
            }
            result.error = QStringLiteral("Argument '%1' is not valid text in the locale's encoding; it "
                                          "would name another file, so it is refused.")
                               .arg(shown);
            return result;
        }
        result.arguments.append(decoded);
    }
    return result;
}
