#include "imagedigests.h"
#include "blocklisting.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "texttable.h"
#include "manifestcheck.h"

#include "model/flashimage.h"
#include "ops/inspect/blockcheck.h"
#include "ops/inspect/layoutcheck.h"
#include "ops/export/blockhashes.h"

#include <QJsonArray>

#include <optional>

using CommandSupport::hexText;
using CommandSupport::optionalNumber;
using CommandSupport::optionalText;

namespace {

QString crcStatusText(CrcCheck check)
{
    switch (check) {
    case CrcCheck::Ok:
        return QStringLiteral("ok");
    case CrcCheck::Mismatch:
        return QStringLiteral("mismatch");
    case CrcCheck::NotChecked:
        return QStringLiteral("not-checked");
    case CrcCheck::NotRead:
        return QStringLiteral("not-read");
    }
    return {};
}

QString recordStatusText(RecordCheck check)
{
    switch (check) {
    case RecordCheck::Ok:
        return QStringLiteral("ok");
    case RecordCheck::Mismatch:
        return QStringLiteral("mismatch");
    case RecordCheck::LengthExceedsBlock:
        return QStringLiteral("length-exceeds-block");
    }
    return {};
}

QStringList problemsOf(const BlockCheck& check)
{
    QStringList problems;
    if (check.crc == CrcCheck::NotRead)
        problems << QStringLiteral("block reaches outside the image");
    if (check.crc == CrcCheck::Mismatch)
        problems << QStringLiteral("CRC mismatch");
    if (check.facts.hasRecord && check.record == RecordCheck::LengthExceedsBlock)
        problems << QStringLiteral("data length exceeds block");
    if (check.facts.hasRecord && check.record == RecordCheck::Mismatch)
        problems << QStringLiteral("data CRC mismatch");
    return problems;
}

QString layoutKindText(LayoutProblem::Kind kind)
{
    switch (kind) {
    case LayoutProblem::Kind::ImageShorterThanFlash:
        return QStringLiteral("image-shorter-than-flash");
    case LayoutProblem::Kind::FlashSizesDisagree:
        return QStringLiteral("flash-sizes-disagree");
    case LayoutProblem::Kind::DmhBeyondFlash:
        return QStringLiteral("dmh-beyond-flash");
    case LayoutProblem::Kind::BlockBeyondFlash:
        return QStringLiteral("block-beyond-flash");
    }
    return {};
}

QJsonObject blockJson(const BlockCheck& check, const QStringList& problems, const BlockHashes* hashes)
{
    const BlockFacts& block = check.facts;
    const BlockEntry& entry = block.entry;
    QJsonValue recordJson(QJsonValue::Null);
    if (block.hasRecord) {
        const bool computed = check.dataCrcComputed();
        recordJson = QJsonObject {
            { QStringLiteral("status"), recordStatusText(check.record) },
            { QStringLiteral("dataLength"), double(block.dataLength) },
            { QStringLiteral("stored"), double(block.storedDataCrc) },
            { QStringLiteral("storedText"), hexText(block.storedDataCrc) },
            { QStringLiteral("computed"), optionalNumber(computed, check.computedDataCrc) },
            { QStringLiteral("computedText"), optionalText(computed, hexText(check.computedDataCrc)) },
        };
    }
    QJsonObject row = CommandSupport::blockIdentity(block.dmhIndex, block.entryIndex, entry);
    row.insert(QStringLiteral("start"), double(block.start));
    row.insert(QStringLiteral("startText"), hexText(quint64(block.start)));
    row.insert(QStringLiteral("size"), double(entry.size));
    row.insert(QStringLiteral("insideImage"), block.insideImage);
    QJsonObject crc = CommandSupport::storedCrcJson(entry.crc, entry.crcCellText());
    crc.insert(QStringLiteral("status"), crcStatusText(check.crc));
    crc.insert(QStringLiteral("computed"), optionalNumber(check.crcComputed(), check.computedCrc));
    crc.insert(QStringLiteral("computedText"), optionalText(check.crcComputed(), hexText(check.computedCrc)));
    row.insert(QStringLiteral("crc"), crc);
    row.insert(QStringLiteral("record"), recordJson);
    row.insert(QStringLiteral("holds"), check.holds());
    row.insert(QStringLiteral("problems"), QJsonArray::fromStringList(problems));
    // With the hashes, the document names what a manifest compares: it can serve as one.
    if (hashes) {
        row.insert(QStringLiteral("version"), entry.versionCellText());
        row.insert(QStringLiteral("sha256"), BlockListing::hashJson(hashes->of(block)));
    }
    return row;
}

// An "NCRC" entry has nothing to check its CRC against: it holds, but is not called ok.
QString resultCell(const BlockCheck& check, const QStringList& problems)
{
    if (!check.holds())
        return problems.join(QStringLiteral("; "));
    return check.crc == CrcCheck::NotChecked ? QStringLiteral("not checked") : QStringLiteral("ok");
}

// A failing block as stderr names it, so that a script that keeps only stderr still sees which.
QString failureLine(const BlockCheck& check, const QStringList& problems)
{
    const BlockFacts& block = check.facts;
    return QStringLiteral("Block %1 (%2), DMH %3, entry %4: %5.")
        .arg(block.entry.idText(), printableText(QString::fromLocal8Bit(block.entry.nameText())),
            QString::number(block.dmhIndex), QString::number(block.entryIndex),
            problems.join(QStringLiteral("; ")));
}

QStringList tableRow(const BlockCheck& check, const QStringList& problems)
{
    const BlockFacts& block = check.facts;
    const BlockEntry& entry = block.entry;
    QString computedCrcCell = QStringLiteral("-");
    if (check.crc == CrcCheck::NotChecked)
        computedCrcCell = QStringLiteral("NCRC");
    else if (check.crcComputed())
        computedCrcCell = hexText(check.computedCrc);
    const QString dash = QStringLiteral("-");
    return { QString::number(block.dmhIndex), entry.idText(), printableText(entry.nameCellText()),
        hexText(quint64(block.start)), entry.sizeCellText(), entry.crcCellText(), computedCrcCell,
        block.hasRecord ? QString::number(block.dataLength) : dash,
        block.hasRecord ? hexText(block.storedDataCrc) : dash,
        check.dataCrcComputed() ? hexText(check.computedDataCrc) : dash, resultCell(check, problems) };
}

// The layout problems of the image as lines of text, and as JSON objects into `json`.
QStringList layoutProblems(const FlashImage& image, QJsonArray& json)
{
    QStringList texts;
    for (const LayoutProblem& problem : checkLayout(ImageView::of(image), image.dmhRecords())) {
        const QString text = describeLayoutProblem(problem, ImageView::of(image), image.dmhRecords());
        texts.append(text);
        json.append(QJsonObject {
            { QStringLiteral("kind"), layoutKindText(problem.kind) },
            { QStringLiteral("dmhIndex"), problem.dmhIndex },
            { QStringLiteral("entryIndex"), problem.entryIndex },
            { QStringLiteral("text"), text },
        });
    }
    return texts;
}

QStringList tableTitles(bool withHashes)
{
    QStringList titles { QStringLiteral("DMH"), QStringLiteral("ID"), QStringLiteral("Name"),
        QStringLiteral("Start(hex)"), QStringLiteral("Size(Bytes)"), QStringLiteral("CRC"),
        QStringLiteral("Computed CRC"), QStringLiteral("Data length"), QStringLiteral("Data CRC"),
        QStringLiteral("Computed data CRC"), QStringLiteral("Result") };
    if (withHashes)
        titles << QStringLiteral("SHA-256");
    return titles;
}

// The verdict: the image holds only when every block does and nothing of the layout is wrong.
void conclude(
    CommandResult& result, int checked, const QStringList& failureLines, const QStringList& layoutTexts)
{
    const int failing = failureLines.size();
    const bool holds = failing == 0 && layoutTexts.isEmpty();
    result.details.insert(QStringLiteral("holds"), holds);
    if (holds) {
        result.message = QStringLiteral("All %1 blocks hold.").arg(checked);
        return;
    }
    result.exitStatus = exitRefused;
    const QString blockSummary = failing == 0
        ? QStringLiteral("All %1 blocks hold, but the image does not match its flash size.").arg(checked)
        : QStringLiteral("%1 of %2 blocks do not hold.").arg(failing).arg(checked);
    result.message = (layoutTexts + QStringList { blockSummary }).join(QLatin1Char('\n'));
    // The failing blocks explain the summary on stderr, as they stand in the table.
    result.detail = failureLines.join(QLatin1Char('\n'));
}

CommandResult runVerify(const FlashImage& image, const ParsedArguments& arguments)
{
    const QString manifestPath = arguments.value(QStringLiteral("expect"));
    if (!manifestPath.isEmpty())
        return verifyAgainstManifest(image, manifestPath);
    CommandResult result;
    std::optional<BlockHashes> hashes;
    if (arguments.isSet(CommonOptions::hashes().longName))
        hashes = ImageDigests::blockHashes(image);
    TextTable table(tableTitles(hashes.has_value()));
    QJsonArray blocks;
    const Refusable<BlockChecks> checked = checkBlocks(ImageView::of(image), image.dmhRecords());
    if (!checked.accepted()) {
        result = CommandResult::failure(exitRefused, checked.refusal.message);
        result.detail = checked.refusal.detail;
        result.details.insert(QStringLiteral("holds"), false);
        return result;
    }
    const QVector<BlockCheck>& checks = checked.value->checks;
    QStringList failureLines;
    for (const BlockCheck& check : checks) {
        const QStringList problems = problemsOf(check);
        if (!check.holds())
            failureLines.append(failureLine(check, problems));
        blocks.append(blockJson(check, problems, hashes ? &*hashes : nullptr));
        QStringList row = tableRow(check, problems);
        if (hashes)
            row << BlockListing::hashText(hashes->of(check.facts));
        table.addRow(row);
    }

    // Blocks can all hold in an image that was cut short or whose outputs would lose a DMH or block.
    QJsonArray layoutJson;
    const QStringList layoutTexts = layoutProblems(image, layoutJson);

    result.details.insert(QStringLiteral("blocks"), blocks);
    result.details.insert(QStringLiteral("blocksChecked"), checks.size());
    result.details.insert(QStringLiteral("blocksFailing"), failureLines.size());
    if (hashes)
        result.details.insert(QStringLiteral("sha256"), QString::fromLatin1(hashes->image()));
    if (!layoutTexts.isEmpty())
        result.details.insert(QStringLiteral("layoutProblems"), layoutJson);
    result.text = table.render();
    conclude(result, checks.size(), failureLines, layoutTexts);
    return result;
}

} // namespace

Command verifyCommand()
{
    Command command = CommandSupport::oneImageCommand(QStringLiteral("verify"),
        QStringLiteral("Check every block's CRC and every block-info record's data CRC, or compare the "
                       "image with a manifest."),
        CommonOptions::exitStatusNote(QStringLiteral(" or a block that does not hold"))
            + QStringLiteral("\nWith --expect: 0 every block and the image's SHA-256 match the manifest; 1 "
                             "anything differs; 2 bad usage, or an image or manifest that cannot be read."),
        { CommonOptions::hashes(),
            { QStringLiteral("expect"), QChar(), QStringLiteral("MANIFEST"),
                QStringLiteral("Compare the image with MANIFEST instead of checking CRCs: a list --hashes "
                               "--json or verify --hashes --json document, an export --all index.json or "
                               "an SBOM. Blocks are matched by DMH index and ID (a repeated ID in table "
                               "order); name, version, size, exported length and SHA-256 are compared, and "
                               "the image's SHA-256 when the manifest has it.") } },
        runVerify);
    // The manifest is an input like the image: one that changes while it is read gives no answer.
    const auto prepare = command.prepare;
    command.prepare = [prepare](const ParsedArguments& arguments) {
        PreparedCommand prepared = prepare(arguments);
        const QString manifestPath = arguments.value(QStringLiteral("expect"));
        if (prepared.usageError.isEmpty() && !manifestPath.isEmpty()) {
            if (arguments.isSet(CommonOptions::hashes().longName))
                return PreparedCommand::badUsage(
                    QStringLiteral("--expect compares the hashes already; it takes no --hashes."));
            prepared.otherInputs << manifestPath;
            prepared.hashesImages = true;
        }
        return prepared;
    };
    return command;
}
