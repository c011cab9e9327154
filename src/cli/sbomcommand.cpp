#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "outputtarget.h"
#include "sbomdocument.h"

#include "model/flashimage.h"
#include "ops/write/planwriter.h"

namespace {

CommandResult runSbom(const FlashImage& image, const QString& imagePath, OutputTarget& output)
{
    QString clockError;
    const QDateTime timestamp = SbomDocument::timestamp(&clockError);
    if (!timestamp.isValid())
        return CommandResult::failure(exitBadInput, clockError);
    const QByteArray document = SbomDocument::of(image, imagePath, timestamp);
    CommandResult result;
    if (output.path().isEmpty()) {
        // The document is the command's text output; QJsonDocument ends it with a newline already.
        result.text = QString::fromUtf8(document.left(document.size() - 1));
        return result;
    }
    result.details.insert(QStringLiteral("output"), output.path());
    if (output.refused(result))
        return result;
    // The document's own bytes are the source of the plan: the one writer puts them in place or streams
    // them, as it does an export.
    PlanWriter writer(output.path(), output.existingOutput(), output.stream(), output.inputs());
    OutputPlan plan;
    plan.length = document.size();
    const auto* bytes = reinterpret_cast<const uchar*>(document.constData());
    const bool written = writer.open() && writer.writeAndCommit(bytes, document.size(), plan);
    if (!written) {
        const Outcome outcome = writer.failure(QStringLiteral("Can not write %1").arg(writer.fileName()));
        result.exitStatus = CommandSupport::failureStatus(outcome);
        result.message = outcome.message;
        result.detail = outcome.detail;
        output.explainFault(outcome, result);
        return result;
    }
    result.details.insert(QStringLiteral("length"), double(document.size()));
    result.message = QStringLiteral("Wrote the SBOM of %1 (%2 blocks, %3 bytes) to %4.")
                         .arg(imagePath)
                         .arg(image.blockCount())
                         .arg(document.size())
                         .arg(output.describe());
    return result;
}

PreparedCommand prepareSbom(const ParsedArguments& arguments)
{
    const QStringList& positional = arguments.positional();
    if (positional.size() != 1)
        return PreparedCommand::badUsage(CommandSupport::argumentCountError(1, positional.size()));
    if (positional.first().isEmpty())
        return PreparedCommand::badUsage(QStringLiteral("IMAGE must not be empty."));
    if (arguments.isSet(CommonOptions::json().longName)
        && arguments.value(QStringLiteral("output")).isEmpty())
        return PreparedCommand::badUsage(
            QStringLiteral("Without -o the SBOM is written to standard output; --json describes a run "
                           "that writes it to a file (-o OUT)."));
    PreparedCommand prepared;
    prepared.hashesImages = true;
    const QString imagePath = positional.first();
    prepared.run = [imagePath](const QVector<FlashImage*>& images, OutputTarget& output) {
        return runSbom(*images.first(), imagePath, output);
    };
    return prepared;
}

} // namespace

Command sbomCommand()
{
    Command command = Command::named(QStringLiteral("sbom"),
        QStringLiteral("Write a CycloneDX 1.6 SBOM of the image: its SHA-256 and one component per block."),
        QStringLiteral("IMAGE\n"
                       "       tessel-cli sbom [--json] [--force] IMAGE -o OUT\n"
                       "       tessel-cli sbom [--force] IMAGE -o -"));
    command.arguments = { { QStringLiteral("IMAGE"), QStringLiteral("The flash image to read.") } };
    command.options = { CommonOptions::output(CommonOptions::outputDescription()
                            + QStringLiteral(" Without -o the SBOM is printed.")),
        CommonOptions::force() };
    command.outputs = { { OutputKind::File, true, QString() } };
    command.helpNotes
        = QStringLiteral("With SOURCE_DATE_EPOCH set, the metadata's timestamp is that time and two runs on "
                         "one image give "
                         "the same bytes; the serial number is a name-based UUID of the image's SHA-256.\n")
        + CommonOptions::exitStatusNote(QStringLiteral(" or an output that could not be written"));
    command.prepare = prepareSbom;
    return command;
}
