#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "texttable.h"

#include "model/flashimage.h"
#include "ops/inspect/blockcheck.h"
#include "ops/inspect/layoutcheck.h"

#include <QJsonArray>

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

QJsonObject blockJson(const BlockCheck& check, const QStringList& problems)
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

CommandResult runVerify(const FlashImage& image)
{
    CommandResult result;
    TextTable table({ QStringLiteral("DMH"), QStringLiteral("ID"), QStringLiteral("Name"),
        QStringLiteral("Start(hex)"), QStringLiteral("Size(Bytes)"), QStringLiteral("CRC"),
        QStringLiteral("Computed CRC"), QStringLiteral("Data length"), QStringLiteral("Data CRC"),
        QStringLiteral("Computed data CRC"), QStringLiteral("Result") });
    QJsonArray blocks;
    int failing = 0;
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
        if (!check.holds()) {
            ++failing;
            failureLines.append(failureLine(check, problems));
        }
        blocks.append(blockJson(check, problems));
        table.addRow(tableRow(check, problems));
    }

    // Blocks can all hold in an image that was cut short or whose outputs would lose a DMH or block.
    QStringList layoutTexts;
    QJsonArray layoutJson;
    for (const LayoutProblem& problem : checkLayout(ImageView::of(image), image.dmhRecords())) {
        const QString text = describeLayoutProblem(problem, ImageView::of(image), image.dmhRecords());
        layoutTexts.append(text);
        layoutJson.append(QJsonObject {
            { QStringLiteral("kind"), layoutKindText(problem.kind) },
            { QStringLiteral("dmhIndex"), problem.dmhIndex },
            { QStringLiteral("entryIndex"), problem.entryIndex },
            { QStringLiteral("text"), text },
        });
    }

    const bool holds = failing == 0 && layoutTexts.isEmpty();
    result.details.insert(QStringLiteral("blocks"), blocks);
    result.details.insert(QStringLiteral("blocksChecked"), checks.size());
    result.details.insert(QStringLiteral("blocksFailing"), failing);
    result.details.insert(QStringLiteral("holds"), holds);
    if (!layoutTexts.isEmpty())
        result.details.insert(QStringLiteral("layoutProblems"), layoutJson);
    result.text = table.render();
    if (holds) {
        result.message = QStringLiteral("All %1 blocks hold.").arg(checks.size());
        return result;
    }
    result.exitStatus = exitRefused;
    const QString blockSummary = failing == 0
        ? QStringLiteral("All %1 blocks hold, but the image does not match its flash size.")
              .arg(checks.size())
        : QStringLiteral("%1 of %2 blocks do not hold.").arg(failing).arg(checks.size());
    result.message = (layoutTexts + QStringList { blockSummary }).join(QLatin1Char('\n'));
    // The failing blocks explain the summary on stderr, as they stand in the table.
    result.detail = failureLines.join(QLatin1Char('\n'));
    return result;
}

} // namespace

Command verifyCommand()
{
    return CommandSupport::oneImageCommand(QStringLiteral("verify"),
        QStringLiteral("Check every block's CRC and every block-info record's data CRC."),
        CommonOptions::exitStatusNote(QStringLiteral(" or a block that does not hold")), runVerify);
}
