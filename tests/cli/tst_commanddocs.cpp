// The man page, the bash completion and the help against the command table: each names every command and
// every option of every row, and none the table lacks. Adding an option to a row alone fails here.
#include "inprocesscli.h"

#include "command.h"
#include "commandtable.h"
#include "commonoptions.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QStringList>
#include <QTest>

#include <algorithm>

namespace {

// Options of the program itself, handled before any command: `tessel-cli --help`, `tessel-cli --version`.
const QStringList programOptions { "--help", "--version" };
const QStringList programOptionNames = programOptions + QStringList { "-h" };

QString readSource(const char* path)
{
    QFile file(QString::fromUtf8(path));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// Capture `group` of each match of `pattern` in `text`, in order.
QStringList capturesOf(const QRegularExpression& pattern, const QString& text, int group = 1)
{
    QStringList found;
    for (auto matches = pattern.globalMatch(text); matches.hasNext();)
        found.append(matches.next().captured(group));
    return found;
}

// Every option name ("--dry-run", "-o") in `text`; words such as "tessel-cli" hold none.
QStringList optionNamesIn(const QString& text)
{
    static const QRegularExpression name("(?<![\\w-])(--[a-z][a-z-]*[a-z]|-[a-z])(?![\\w-])");
    QStringList names = capturesOf(name, text);
    names.removeDuplicates();
    return names;
}

QStringList namesOf(const OptionSpec& option)
{
    return option.shortName.isNull()
        ? QStringList { "--" + option.longName }
        : QStringList { "--" + option.longName, QString("-") + option.shortName };
}

// The man page source, roff escapes removed, cut into what the checks read.
struct ManPage {
    // The commands of the COMMANDS section, in order.
    QStringList commands;
    // The options of each SYNOPSIS line, by its command; "" for the program's own line, "COMMAND" for the
    // line every command shares.
    QHash<QString, QStringList> synopsisOptions;
    QStringList synopsisCommands;
    // The options the tags of the OPTIONS section name.
    QStringList optionTags;

    static ManPage parse(QString source)
    {
        source.remove(QRegularExpression("\\\\f[BIPR]"));
        source.replace("\\-", "-");
        const QStringList lines = source.split('\n');

        ManPage page;
        QString section;
        for (int index = 0; index < lines.size(); ++index) {
            const QString& line = lines.at(index);
            const QString next = lines.value(index + 1);
            if (line.startsWith(".SH ")) {
                section = line.mid(4).trimmed();
            } else if (section == "SYNOPSIS" && line.startsWith(".SY ")) {
                const QString command = next.startsWith(".B ") ? next.mid(3).trimmed()
                    : next == ".I COMMAND"                     ? "COMMAND"
                                                               : QString();
                if (!command.isEmpty() && command != "COMMAND" && !page.synopsisCommands.contains(command))
                    page.synopsisCommands.append(command);
                QStringList& options = page.synopsisOptions[command];
                for (int inner = index + 1; inner < lines.size() && lines.at(inner) != ".YS"; ++inner)
                    options += optionNamesIn(lines.at(inner));
                options.removeDuplicates();
            } else if (line == ".TP" && section == "COMMANDS") {
                const QString command = next.section(' ', 1, 1);
                if (!page.commands.contains(command))
                    page.commands.append(command);
            } else if (line == ".TP" && section == "OPTIONS") {
                page.optionTags += optionNamesIn(next);
            }
        }
        page.optionTags.removeDuplicates();
        return page;
    }
};

// The completion script's copies of the table: the words `local -A NAME=( [command]="words" ... )`
// gives each command, the program's own options and the options whose value is skipped.
struct Completion {
    QHash<QString, QStringList> options;
    QHash<QString, QStringList> arguments;
    QStringList programOptions;
    QStringList valueOptions;

    static QHash<QString, QStringList> table(const QString& source, const QString& name)
    {
        QHash<QString, QStringList> rows;
        const int start = source.indexOf(QString("local -A %1=(").arg(name));
        if (start < 0)
            return rows;
        static const QRegularExpression row("\\[([\\w-]+)\\]=\"([^\"]*)\"");
        const QString text = source.mid(start, source.indexOf("\n    )", start) - start);
        for (auto matches = row.globalMatch(text); matches.hasNext();) {
            const QRegularExpressionMatch match = matches.next();
            rows.insert(match.captured(1), match.captured(2).split(' ', Qt::SkipEmptyParts));
        }
        return rows;
    }

    static Completion parse(const QString& source)
    {
        const QRegularExpression program("compgen -W \"\\$\\{!options\\[\\*\\]\\}([^\"]*)\"");
        const QRegularExpression skipped(
            "^\\s*([-\\w |]+)\\)\\s*\\(\\(i \\+= 1\\)\\)", QRegularExpression::MultilineOption);
        return { table(source, "options"), table(source, "arguments"),
            optionNamesIn(program.match(source).captured(1)),
            optionNamesIn(skipped.match(source).captured(1)) };
    }
};

// The names in the option lines of a command's help ("  -o, --output <OUT>  ..."); a description's
// continued lines are indented further.
QStringList helpOptionNames(const QString& help)
{
    static const QRegularExpression shortName("^  (-\\w), --", QRegularExpression::MultilineOption);
    static const QRegularExpression longName(
        "^  (?:-\\w, )?(--[\\w-]+)", QRegularExpression::MultilineOption);
    return capturesOf(shortName, help) + capturesOf(longName, help);
}

// The command names the general help lists, in order.
QStringList helpCommandNames(const QString& help)
{
    static const QRegularExpression firstWord("^\\s*(\\S+)", QRegularExpression::MultilineOption);
    return capturesOf(firstWord, help.section("Commands:\n", 1).section("\n\n", 0, 0));
}

QString helpOf(const QStringList& arguments)
{
    const CliRun run = runCliInProcess(arguments);
    return run.exitCode == 0 ? QString::fromUtf8(run.out) : QString();
}

} // namespace

class TestCommandDocs : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void commandLists_data();
    void commandLists();
    void optionNames_data();
    void optionNames();
    void completionArguments_data();
    void completionArguments();

private:
    ManPage manPage;
    Completion completion;
};

void TestCommandDocs::initTestCase()
{
    const QString manSource = readSource(TESSEL_MAN_PAGE);
    const QString completionSource = readSource(TESSEL_BASH_COMPLETION);
    QVERIFY2(!manSource.isEmpty(), TESSEL_MAN_PAGE " could not be read");
    QVERIFY2(!completionSource.isEmpty(), TESSEL_BASH_COMPLETION " could not be read");
    manPage = ManPage::parse(manSource);
    completion = Completion::parse(completionSource);
    // Each document's copy must be found at all, or the checks below would pass over nothing.
    QVERIFY2(
        manPage.synopsisOptions.contains(QString()), "the man page's SYNOPSIS has no line for the program");
    QVERIFY2(!manPage.optionTags.isEmpty(), "the man page has no OPTIONS tags");
    QVERIFY2(!completion.programOptions.isEmpty(), "the completion's program options were not found");
    QVERIFY2(!completion.valueOptions.isEmpty(), "the completion's options with a value were not found");
}

void TestCommandDocs::commandLists_data()
{
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<bool>("ordered");

    QTest::newRow("man page SYNOPSIS") << manPage.synopsisCommands << true;
    QTest::newRow("man page COMMANDS") << manPage.commands << true;
    QTest::newRow("completion options") << QStringList(completion.options.keys()) << false;
    QTest::newRow("completion arguments") << QStringList(completion.arguments.keys()) << false;
    QTest::newRow("general help") << helpCommandNames(helpOf({ "--help" })) << true;
}

void TestCommandDocs::commandLists()
{
    QFETCH(QStringList, listed);
    QFETCH(bool, ordered);
    QStringList expected;
    for (const Command& command : commandTable())
        expected.append(command.name);
    if (!ordered) {
        listed.sort();
        expected.sort();
    }
    QCOMPARE(listed, expected);
}

void TestCommandDocs::optionNames_data()
{
    // `named`: the option names a document gives in one place; each entry of `required` ("-o|--output":
    // either will do) must be among them, and each of them in `allowed`.
    QTest::addColumn<QStringList>("named");
    QTest::addColumn<QStringList>("required");
    QTest::addColumn<QStringList>("allowed");

    QStringList everyName = programOptionNames;
    QStringList everyOptionTag = programOptions;
    QStringList valueOptionNames;
    for (const Command& command : commandTable()) {
        const QString& name = command.name;
        QStringList ownEither, all, allLong;
        for (const OptionSpec& option : command.options)
            ownEither.append(namesOf(option).join('|'));
        for (const OptionSpec& option : CommonOptions::all() + command.options) {
            all += namesOf(option);
            allLong.append("--" + option.longName);
            if (option.takesValue())
                valueOptionNames += namesOf(option);
        }
        everyName += all;
        everyOptionTag += all;

        // The synopsis shows a command's own options, by either name, beside those every command takes.
        QTest::newRow(qPrintable(name + ": man page SYNOPSIS"))
            << manPage.synopsisOptions.value(name) << ownEither << all;
        QTest::newRow(qPrintable(name + ": completion")) << completion.options.value(name) << allLong << all;
        QTest::newRow(qPrintable(name + ": help"))
            << helpOptionNames(helpOf({ name, "--help" })) << all << all;
    }
    everyName.removeDuplicates();
    everyOptionTag.removeDuplicates();
    valueOptionNames.removeDuplicates();

    QTest::newRow("man page SYNOPSIS: the line of every command")
        << manPage.synopsisOptions.value("COMMAND") << QStringList { "--" + CommonOptions::help().longName }
        << everyName;
    QTest::newRow("man page SYNOPSIS: the program")
        << manPage.synopsisOptions.value(QString()) << programOptions << programOptionNames;
    QTest::newRow("man page OPTIONS") << manPage.optionTags << everyOptionTag << everyName;
    QTest::newRow("completion: the program")
        << completion.programOptions << programOptions << programOptionNames;
    QTest::newRow("completion: options whose value is skipped")
        << completion.valueOptions << valueOptionNames << valueOptionNames;
    QTest::newRow("general help") << optionNamesIn(helpOf({ "--help" })) << programOptions
                                  << programOptionNames;
}

void TestCommandDocs::optionNames()
{
    QFETCH(QStringList, named);
    QFETCH(QStringList, required);
    QFETCH(QStringList, allowed);
    for (const QString& either : required) {
        const QStringList names = either.split('|');
        const bool found = std::any_of(
            names.cbegin(), names.cend(), [&](const QString& name) { return named.contains(name); });
        QVERIFY2(found, qPrintable(either + " is not named; named: " + named.join(' ')));
    }
    for (const QString& name : named)
        QVERIFY2(allowed.contains(name), qPrintable(name + " is named, but the table has no such option"));
}

void TestCommandDocs::completionArguments_data()
{
    QTest::addColumn<QStringList>("completed");
    QTest::addColumn<QStringList>("expected");

    // The completion names a positional argument by what it completes: the images a command loads are
    // IMAGE whatever the help calls them.
    for (const Command& command : commandTable()) {
        QStringList kinds;
        for (int index = 0; index < command.arguments.size(); ++index)
            kinds.append(index < command.imageCount ? "IMAGE" : command.arguments.at(index).name);
        QTest::newRow(qPrintable(command.name)) << completion.arguments.value(command.name) << kinds;
    }
}

void TestCommandDocs::completionArguments()
{
    QFETCH(QStringList, completed);
    QFETCH(QStringList, expected);
    QCOMPARE(completed, expected);
}

QTEST_GUILESS_MAIN(TestCommandDocs)
#include "tst_commanddocs.moc"
