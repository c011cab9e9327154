#include "startuparguments.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

QStringList decode(int argc, char* argv[])
{
    QStringList arguments;
    for (int index = 0; index < argc; ++index)
        arguments << QString::fromLocal8Bit(argv[index]);
    return arguments;
}

void print(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

} // namespace

StartupArguments::StartupArguments(const QStringList& arguments)
{
    parser.setApplicationDescription(
        QStringLiteral("Inspect a device flash image and export or replace its blocks.\n"
                       "The toolkit's own options (-platform, -style, ...) are accepted as well."));
    // Not addHelpOption: its --help-all, which lists the toolkit's options too, only answers in process(),
    // which ends the program itself with a status of its own choosing.
    parser.addOption(QCommandLineOption({ QStringLiteral("h"), QStringLiteral("help") },
        QStringLiteral("Displays help on commandline options.")));
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("image"),
        QStringLiteral("The flash image to open at start, as if chosen with Browse."),
        QStringLiteral("[image]"));
    if (!parser.parse(arguments))
        fault = parser.errorText();
    else if (parser.positionalArguments().size() > 1)
        fault = QStringLiteral("Only one image can be opened; %1 were given.")
                    .arg(parser.positionalArguments().size());
}

QString StartupArguments::undecodable(int argc, char* argv[])
{
    for (int index = 1; index < argc; ++index) {
        const QByteArray raw(argv[index]);
        if (QFile::encodeName(QFile::decodeName(raw)) == raw)
            continue;
        QString shown;
        for (const char byte : raw)
            shown += uchar(byte) >= 0x20 && uchar(byte) < 0x7F
                ? QString(QLatin1Char(byte))
                : QStringLiteral("\\x%1").arg(uchar(byte), 2, 16, QLatin1Char('0'));
        return QStringLiteral(
            "Argument '%1' is not valid text in the locale's encoding; it would name another "
            "file, so it is refused.")
            .arg(shown);
    }
    return QString();
}

int StartupArguments::refuse(const QString& fault)
{
    StartupArguments refused { QStringList() };
    refused.fault = fault;
    return refused.answer();
}

bool StartupArguments::asksOnlyForText(int argc, char* argv[])
{
    const StartupArguments arguments(decode(argc, argv));
    return arguments.fault.isEmpty() && !arguments.showsWindow();
}

bool StartupArguments::showsWindow() const
{
    return fault.isEmpty() && !parser.isSet(QStringLiteral("help"))
        && !parser.isSet(QStringLiteral("version"));
}

int StartupArguments::answer() const
{
    const QString name = QCoreApplication::applicationName();
    if (!fault.isEmpty()) {
        print(stderr, QStringLiteral("%1: %2\nRun '%1 --help' for usage.\n").arg(name, fault));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        print(stdout, parser.helpText());
    else
        print(stdout, QStringLiteral("%1 %2\n").arg(name, QCoreApplication::applicationVersion()));
    return 0;
}

QString StartupArguments::imagePath() const
{
    const QStringList images = parser.positionalArguments();
    if (images.isEmpty() || images.first().isEmpty())
        return QString();
    return QFileInfo(images.first()).absoluteFilePath();
}
