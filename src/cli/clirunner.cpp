#include "clirunner.h"

#include "commandhelp.h"
#include "commandtable.h"
#include "commonoptions.h"
#include "imagedigests.h"
#include "console.h"
#include "jsondocument.h"
#include "outputtarget.h"
#include "texttable.h"
#include "truncationguard.h"

#include "model/flashimage.h"

#include <QFile>

#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <sys/stat.h>

namespace {

int badUsage(Console& console, const QString& text)
{
    console.printError(text);
    return exitBadInput;
}

QString usageHint(const QString& commandName)
{
    return QStringLiteral("\nRun 'tessel-cli %1 --help' for usage.").arg(commandName);
}

// An image is read whole: a FIFO or a socket would block the read or never end it. A block device (a
// card or eMMC read directly) is a flash like any image file.
std::optional<QString> streamKind(const QString& path)
{
    struct stat status { };
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    if (S_ISFIFO(status.st_mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(status.st_mode))
        return QStringLiteral("a socket");
    return std::nullopt;
}

// Reads and scans one image; why it cannot be read, if it cannot.
std::optional<CommandResult> loadImage(const QString& path, FlashImage& image, bool digest)
{
    image.setBytesReady([&image, path, digest](const uchar* data, qint64 size) {
        // Named by where its bytes lie before any page of them is read, so that a lost page names this
        // input even while another loads beside it.
        nameInputForTruncation(path, data, size);
        if (digest)
            ImageDigests::start(image, data, size);
    });
    // Mapped: a large image costs no copy and no fresh memory (main() guards against a file that shrinks
    // meanwhile, and names it).
    if (!image.load(path.toStdWString(), FlashImage::ReadMode::Map)) {
        CommandResult failure = CommandResult::failure(exitBadInput, QString::fromUtf8(image.lastError()));
        failure.detail = image.lastErrorDetail();
        return failure;
    }
    return std::nullopt;
}

// Loads every image or says why one cannot be read, naming the first in the order given. The images are
// read at once, each on a thread of its own: a load is a pass over memory that another core can share.
std::optional<CommandResult> loadImages(const QStringList& paths,
    std::vector<std::unique_ptr<FlashImage>>& images, ProgressMeter& progress, bool digest)
{
    std::optional<CommandResult> notAFile;
    int readable = 0;
    for (; readable < paths.size() && !notAFile; ++readable) {
        if (const std::optional<QString> kind = streamKind(paths[readable]))
            notAFile = CommandResult::failure(exitBadInput,
                QStringLiteral("%1 is %2; an image is read from a file or a block device.")
                    .arg(paths[readable], *kind));
    }
    if (notAFile)
        --readable;
    for (int at = 0; at < readable; ++at)
        images.push_back(std::make_unique<FlashImage>());
    std::vector<std::optional<CommandResult>> failures(static_cast<size_t>(readable));
    std::vector<std::thread> others;
    for (int at = 1; at < readable; ++at)
        others.emplace_back(
            [&, at] { failures[size_t(at)] = loadImage(paths[at], *images[size_t(at)], digest); });
    if (readable > 0) {
        // The meter follows the first image: the others are read at the same pace.
        images.front()->setProgress(progress.callback(
            QStringLiteral("Reading %1").arg(paths.mid(0, readable).join(QStringLiteral(" and ")))));
        failures.front() = loadImage(paths.front(), *images.front(), digest);
    }
    for (std::thread& other : others)
        other.join();
    for (const std::optional<CommandResult>& failure : failures) {
        if (failure)
            return failure;
    }
    return notAFile;
}

// What a run that read a moving input answers instead of what it found.
CommandResult changedInputResult(const InputChange& change)
{
    const Outcome outcome = change.outcome(
        QStringLiteral("An answer about bytes that were moving would not hold, so none is given."));
    CommandResult result = CommandResult::failure(exitBadInput, outcome.message);
    result.detail = outcome.detail;
    return result;
}

// Once the run is done the images' digests are stopped and their names forgotten, before the images go.
struct InputNamesForTruncation {
    ~InputNamesForTruncation()
    {
        ImageDigests::clear();
        forgetInputNamesForTruncation();
    }
};

// With --quiet a success says nothing beyond the data it was asked for (tables, JSON); warnings,
// refusals and failures still reach stderr.
void print(const QString& commandName, const QString& imagePath, bool json, bool quiet,
    const CommandResult& result, Console& console)
{
    if (json) {
        console.printJson(JsonDocument::of(commandName, imagePath, result));
    } else if (!result.text.isEmpty()) {
        console.printOut(result.text);
    }
    // These texts may quote a block's name or a manifest's strings: what a crafted image says must not
    // become what the terminal does.
    for (const QString& warning : result.warnings)
        console.printError(QStringLiteral("warning: ") + printableLines(warning));
    if (result.message.isEmpty())
        return;
    if (!result.succeeded()) {
        console.printError(printableLines(result.message));
        if (!result.detail.isEmpty())
            console.printError(printableLines(result.detail));
    } else if (!json && !quiet) {
        console.printOut(printableLines(result.message));
        if (!result.detail.isEmpty())
            console.printOut(printableLines(result.detail));
    }
}

// -o - where the command's row does not let it stand for standard output.
QString noStandardOutput(const Command& command, const OutputRule& rule)
{
    const QString writer = rule.selectedBy.isEmpty() ? command.name : QStringLiteral("--") + rule.selectedBy;
    if (rule.kind == OutputKind::Folder)
        return QStringLiteral("%1 writes a folder of files; -o - (standard output) cannot hold one.")
            .arg(writer);
    return QStringLiteral("%1 writes a file that standard output cannot take; name one with -o OUT.")
        .arg(writer);
}

// The rules for -o - that hold before anything is read: only where the command's row allows it, never
// beside --json, never to a terminal. The exit status of a refusal; otherwise standard output is kept for
// the data from now on.
std::optional<int> refuseStandardOutput(
    const Command& command, const ParsedArguments& parsed, const OutputTarget& output, Console& console)
{
    if (!output.isStandardOutput())
        return std::nullopt;
    if (const OutputRule rule = OutputRule::select(command.outputs, parsed); !rule.standardOutput)
        return badUsage(console, noStandardOutput(command, rule) + usageHint(command.name));
    if (parsed.isSet(CommonOptions::json().longName))
        return badUsage(console,
            QStringLiteral("--json and -o - both write to standard output.") + usageHint(command.name));
    if (console.outIsTerminal())
        return badUsage(console,
            QStringLiteral("Standard output is a terminal; -o - writes binary data there. Send it to a pipe "
                           "or a file (-o - | sha256sum, -o - > out.bin), or name a file with -o OUT."));
    console.keepOutForData();
    return std::nullopt;
}

// Loads the images, runs the command on them and prints what it found or did; the exit status.
int runPrepared(
    const Command& command, const ParsedArguments& parsed, const PreparedCommand& prepared, Console& console)
{
    const QStringList imagePaths = parsed.positional().mid(0, command.imageCount);
    OutputTarget output(parsed.value(QStringLiteral("output")), parsed.isSet(QStringLiteral("force")),
        parsed.isSet(QStringLiteral("dry-run")), imagePaths + prepared.otherInputs, prepared.inputs.get());
    if (const std::optional<int> refused = refuseStandardOutput(command, parsed, output, console))
        return *refused;
    const bool json = parsed.isSet(CommonOptions::json().longName);
    const bool quiet = parsed.isSet(CommonOptions::quiet().longName);
    ProgressMeter progress(console, console.errorIsTerminal() && !json && !quiet);
    output.setProgressMeter(&progress);
    ImageDigests::setProgressMeter(&progress);

    // Every input's status is taken before any of them is read.
    InputWatch& inputs = *prepared.inputs;
    for (const QString& path : imagePaths + prepared.otherInputs)
        inputs.watch(path);
    std::vector<std::unique_ptr<FlashImage>> images;
    const InputNamesForTruncation names;
    CommandResult result;
    if (std::optional<CommandResult> unreadable
        = loadImages(imagePaths, images, progress, prepared.hashesImages)) {
        result = *unreadable;
    } else {
        QVector<FlashImage*> loaded;
        for (const std::unique_ptr<FlashImage>& image : images)
            loaded.append(image.get());
        if (prepared.usageOnImages) {
            const QString usageError = prepared.usageOnImages(loaded);
            if (!usageError.isEmpty()) {
                progress.finish();
                return badUsage(console, usageError + usageHint(command.name));
            }
        }
        result = prepared.run(loaded, output);
        // An output put in place was checked by its writer; anything else the run says rests on what it
        // read, which must not have moved.
        if (result.exitStatus != exitBadInput && !inputs.heldAtCommit()) {
            if (const std::optional<InputChange> change = inputs.firstChange())
                result = changedInputResult(*change);
        }
    }
    progress.finish();
    if (output.standardOutputError() != 0)
        console.noteOutError(output.standardOutputError());
    if (console.readerGone())
        return exitClosedPipe;
    print(command.name, imagePaths.value(0), json, quiet, result, console);
    if (console.outError() != 0)
        return qMax(result.exitStatus, command.writeFailureStatus);
    return result.exitStatus;
}

// Everything but the final check of standard output.
int runCommandLine(const QStringList& arguments, Console& console)
{
    if (arguments.size() < 2)
        return badUsage(console, QStringLiteral("No command given.\n\n") + CommandHelp::general());
    const QString& first = arguments.at(1);
    if (first == QLatin1String("-h") || first == QLatin1String("--help") || first == QLatin1String("help")) {
        console.printOut(CommandHelp::general());
        return exitSuccess;
    }
    if (first == QLatin1String("--version")) {
        console.printOut(CommandHelp::version());
        return exitSuccess;
    }
    const Command* command = findCommand(first);
    if (!command)
        return badUsage(
            console, QStringLiteral("Unknown command '%1'.\n\n").arg(first) + CommandHelp::general());

    const ArgumentParse parse
        = ArgumentParse::parse(CommonOptions::all() + command->options, arguments.mid(2));
    if (!parse.arguments)
        return badUsage(console, parse.error + usageHint(command->name));
    const ParsedArguments& parsed = *parse.arguments;
    if (parsed.isSet(CommonOptions::help().longName)) {
        console.printOut(CommandHelp::forCommand(*command));
        return exitSuccess;
    }
    const PreparedCommand prepared = command->prepare(parsed);
    if (!prepared.usageError.isEmpty())
        return badUsage(console, prepared.usageError + usageHint(command->name));
    return runPrepared(*command, parsed, prepared, console);
}

} // namespace

int runCli(const QStringList& arguments, Console& console)
{
    int exitStatus = runCommandLine(arguments, console);
    if (console.readerGone())
        return exitClosedPipe;
    // As coreutils do: output that did not reach standard output is a failure, whatever came before.
    if (const int error = console.outError()) {
        console.printError(
            QStringLiteral("tessel-cli: write error: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
        if (exitStatus == exitSuccess)
            exitStatus = exitRefused;
    }
    return exitStatus;
}
