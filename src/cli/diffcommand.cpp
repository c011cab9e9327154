#include "imagedigests.h"
#include "blocklisting.h"
#include "command.h"
#include "commonoptions.h"
#include "commandsupport.h"
#include "texttable.h"

#include "model/flashimage.h"
#include "ops/export/blockhashes.h"
#include "ops/inspect/imagediff.h"

#include <QJsonArray>

#include <optional>

using CommandSupport::dmhJson;
using CommandSupport::hexText;
using CommandSupport::imageSummaryJson;
using CommandSupport::optionalNumber;
using CommandSupport::optionalText;
using CommandSupport::prefixedHex;

namespace {

QString statusName(DiffStatus status)
{
    switch (status) {
    case DiffStatus::Same:
        return QStringLiteral("same");
    case DiffStatus::Changed:
        return QStringLiteral("changed");
    case DiffStatus::Added:
        return QStringLiteral("added");
    case DiffStatus::Removed:
        return QStringLiteral("removed");
    }
    return {};
}

QString fieldName(BlockField field)
{
    switch (field) {
    case BlockField::Size:
        return QStringLiteral("size");
    case BlockField::Offset:
        return QStringLiteral("offset");
    case BlockField::Crc:
        return QStringLiteral("crc");
    case BlockField::Name:
        return QStringLiteral("name");
    case BlockField::Version:
        return QStringLiteral("version");
    case BlockField::Time:
        return QStringLiteral("time");
    case BlockField::Flags:
        return QStringLiteral("flags");
    case BlockField::Reserved:
        return QStringLiteral("reserved");
    case BlockField::Trailer:
        return QStringLiteral("trailer");
    case BlockField::Bytes:
        return QStringLiteral("bytes");
    case BlockField::Held:
        return QStringLiteral("held");
    }
    return {};
}

QString fieldName(DmhField field)
{
    switch (field) {
    case DmhField::Position:
        return QStringLiteral("position");
    case DmhField::DataCapacity:
        return QStringLiteral("dataCapacity");
    case DmhField::SdramSize:
        return QStringLiteral("sdramSize");
    case DmhField::FlashSize:
        return QStringLiteral("flashSize");
    case DmhField::EntryCount:
        return QStringLiteral("entryCount");
    case DmhField::EntrySize:
        return QStringLiteral("entrySize");
    case DmhField::EntriesRead:
        return QStringLiteral("entriesRead");
    }
    return {};
}

QString fieldName(ImageField field)
{
    switch (field) {
    case ImageField::ImageSize:
        return QStringLiteral("imageSize");
    case ImageField::FlashSize:
        return QStringLiteral("flashSize");
    case ImageField::SdramSize:
        return QStringLiteral("sdramSize");
    case ImageField::BlockNumber:
        return QStringLiteral("blockNumber");
    case ImageField::SoftwareVersion:
        return QStringLiteral("softwareVersion");
    }
    return {};
}

template <typename Field> QJsonArray fieldNames(const QVector<Field>& fields)
{
    QJsonArray names;
    for (const Field field : fields)
        names.append(fieldName(field));
    return names;
}

// An entry's bytes 40 to 47, which no other field covers, as hex.
QString trailerText(const BlockEntry& entry)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(entry.trailer.data()), int(entry.trailer.size())).toHex());
}

QJsonObject comparisonJson(const ByteComparison& comparison)
{
    const bool found = comparison.firstDifference >= 0;
    return QJsonObject {
        { QStringLiteral("compared"), double(comparison.compared) },
        { QStringLiteral("differing"), double(comparison.differing) },
        { QStringLiteral("firstDifference"), optionalNumber(found, double(comparison.firstDifference)) },
        { QStringLiteral("firstDifferenceText"),
            optionalText(found, hexText(quint64(comparison.firstDifference))) },
    };
}

// Each image's hashes, when --hashes asks for them.
struct DiffHashes {
    BlockHashes a;
    BlockHashes b;
};

QJsonValue blockSideJson(const std::optional<DiffBlockSide>& side, int dmhIndex, const BlockHashes* hashes)
{
    if (!side)
        return QJsonValue::Null;
    const BlockEntry& entry = side->entry;
    QJsonObject json {
        { QStringLiteral("entryIndex"), side->entryIndex },
        { QStringLiteral("name"), entry.nameCellText() },
        { QStringLiteral("nameText"), QString::fromLocal8Bit(entry.nameText()) },
        { QStringLiteral("held"), double(side->held) },
        { QStringLiteral("reserved"), int(entry.reserved) },
        { QStringLiteral("trailerText"), trailerText(entry) },
    };
    BlockListing::addEntryFields(json, entry, side->start);
    if (hashes)
        json.insert(QStringLiteral("sha256"), BlockListing::hashJson(hashes->of(dmhIndex, side->entryIndex)));
    return json;
}

QJsonObject blockJson(const BlockDiff& block, const DiffHashes* hashes)
{
    // Named as A lists it, or as B does for a block only B lists.
    const DiffBlockSide& named = block.a ? *block.a : *block.b;
    QJsonObject row {
        { QStringLiteral("status"), statusName(block.status) },
        { QStringLiteral("dmhIndex"), block.dmhIndex },
        { QStringLiteral("id"), int(block.id) },
        { QStringLiteral("idText"), BlockEntry::idText(block.id) },
        { QStringLiteral("name"), named.entry.nameCellText() },
        { QStringLiteral("nameText"), QString::fromLocal8Bit(named.entry.nameText()) },
        { QStringLiteral("changes"), fieldNames(block.changes) },
        { QStringLiteral("a"), blockSideJson(block.a, block.dmhIndex, hashes ? &hashes->a : nullptr) },
        { QStringLiteral("b"), blockSideJson(block.b, block.dmhIndex, hashes ? &hashes->b : nullptr) },
    };
    QJsonValue bytes(QJsonValue::Null);
    if (block.a && block.b) {
        QJsonObject comparison = comparisonJson(block.bytes);
        const bool found = block.bytes.firstDifference >= 0;
        comparison.insert(QStringLiteral("firstDifferenceInA"),
            optionalNumber(found, double(block.a->start + block.bytes.firstDifference)));
        comparison.insert(QStringLiteral("firstDifferenceInB"),
            optionalNumber(found, double(block.b->start + block.bytes.firstDifference)));
        comparison.insert(QStringLiteral("whole"),
            block.bytes.compared == block.a->entry.size && block.bytes.compared == block.b->entry.size);
        bytes = comparison;
    }
    row.insert(QStringLiteral("bytes"), bytes);
    return row;
}

QJsonValue dmhSideJson(const std::optional<DmhSide>& side)
{
    return side ? QJsonValue(dmhJson(*side)) : QJsonValue(QJsonValue::Null);
}

QJsonObject summaryJson(const ImageSummary& summary, const BlockHashes* hashes)
{
    QJsonObject json = imageSummaryJson(summary);
    json.insert(QStringLiteral("dmhCount"), summary.dmhCount);
    if (hashes)
        json.insert(QStringLiteral("sha256"), QString::fromLatin1(hashes->image()));
    return json;
}

QJsonObject detailsJson(
    const ImageDiff& diff, const QString& pathA, const QString& pathB, const DiffHashes* hashes)
{
    QJsonArray dmhs;
    for (const DmhDiff& dmh : diff.dmhs) {
        dmhs.append(QJsonObject {
            { QStringLiteral("index"), dmh.index },
            { QStringLiteral("status"), statusName(dmh.status) },
            { QStringLiteral("changes"), fieldNames(dmh.changes) },
            { QStringLiteral("a"), dmhSideJson(dmh.a) },
            { QStringLiteral("b"), dmhSideJson(dmh.b) },
        });
    }
    QJsonArray blocks;
    for (const BlockDiff& block : diff.blocks)
        blocks.append(blockJson(block, hashes));
    return QJsonObject {
        { QStringLiteral("images"), QJsonArray { pathA, pathB } },
        { QStringLiteral("identical"), diff.identical },
        { QStringLiteral("a"), summaryJson(diff.a, hashes ? &hashes->a : nullptr) },
        { QStringLiteral("b"), summaryJson(diff.b, hashes ? &hashes->b : nullptr) },
        { QStringLiteral("imageChanges"), fieldNames(diff.imageChanges) },
        { QStringLiteral("dmhs"), dmhs },
        { QStringLiteral("blocks"), blocks },
        { QStringLiteral("blockCounts"),
            QJsonObject {
                { QStringLiteral("same"), diff.blockCount(DiffStatus::Same) },
                { QStringLiteral("changed"), diff.blockCount(DiffStatus::Changed) },
                { QStringLiteral("added"), diff.blockCount(DiffStatus::Added) },
                { QStringLiteral("removed"), diff.blockCount(DiffStatus::Removed) },
            } },
        { QStringLiteral("outsideBlocks"), comparisonJson(diff.outsideBlocks) },
    };
}

QString change(const QString& field, const QString& before, const QString& after)
{
    return QStringLiteral("%1 %2 -> %3").arg(field, before, after);
}

QString bytesText(const BlockDiff& block)
{
    const ByteComparison& bytes = block.bytes;
    const qint64 inA = block.a->start + bytes.firstDifference;
    const qint64 inB = block.b->start + bytes.firstDifference;
    const QString where = inA == inB ? prefixedHex(inA)
                                     : QStringLiteral("A %1, B %2").arg(prefixedHex(inA), prefixedHex(inB));
    return QStringLiteral("bytes: %1 of %2 differ, first at +%3 (%4)")
        .arg(bytes.differing)
        .arg(bytes.compared)
        .arg(prefixedHex(bytes.firstDifference), where);
}

// "held: A 4096 of 4096 bytes, B 1795 of 4096; 1795 compared".
QString heldText(const BlockDiff& block)
{
    return QStringLiteral("held: A %1 of %2 bytes, B %3 of %4; %5 compared")
        .arg(block.a->held)
        .arg(block.a->entry.size)
        .arg(block.b->held)
        .arg(block.b->entry.size)
        .arg(block.bytes.compared);
}

QString fieldChangeText(BlockField field, const BlockDiff& block)
{
    const BlockEntry& a = block.a->entry;
    const BlockEntry& b = block.b->entry;
    switch (field) {
    case BlockField::Size:
        return change(QStringLiteral("size"), a.sizeCellText(), b.sizeCellText());
    case BlockField::Offset:
        return change(QStringLiteral("offset"), prefixedHex(a.offset), prefixedHex(b.offset));
    case BlockField::Crc:
        return change(QStringLiteral("crc"), a.crcCellText(), b.crcCellText());
    case BlockField::Name:
        return change(
            QStringLiteral("name"), printableText(a.nameCellText()), printableText(b.nameCellText()));
    case BlockField::Version:
        return change(QStringLiteral("version"), printableText(a.versionCellText()),
            printableText(b.versionCellText()));
    case BlockField::Time:
        return change(QStringLiteral("time"), a.timeCellText(), b.timeCellText());
    case BlockField::Flags:
        return change(QStringLiteral("flags"), QString::number(a.flags), QString::number(b.flags));
    case BlockField::Reserved:
        return change(QStringLiteral("reserved"), QString::number(a.reserved), QString::number(b.reserved));
    case BlockField::Trailer:
        return change(QStringLiteral("trailer"), trailerText(a), trailerText(b));
    case BlockField::Bytes:
        return bytesText(block);
    case BlockField::Held:
        return heldText(block);
    }
    return {};
}

QString placeText(const DiffBlockSide& side)
{
    return QStringLiteral("%1 bytes at %2").arg(side.entry.size).arg(prefixedHex(side.start));
}

QString blockChangesText(const BlockDiff& block)
{
    if (!block.a || !block.b)
        return placeText(block.a ? *block.a : *block.b);
    QStringList parts;
    for (const BlockField field : block.changes)
        parts.append(fieldChangeText(field, block));
    return parts.isEmpty() ? QStringLiteral("-") : parts.join(QStringLiteral("; "));
}

QString numberChange(qint64 before, qint64 after)
{
    return QStringLiteral("%1 -> %2").arg(before).arg(after);
}

QString dmhText(const DmhDiff& dmh)
{
    if (!dmh.a)
        return QStringLiteral("DMH %1: only in B, at %2").arg(dmh.index).arg(prefixedHex(dmh.b->position));
    if (!dmh.b)
        return QStringLiteral("DMH %1: only in A, at %2").arg(dmh.index).arg(prefixedHex(dmh.a->position));
    const DmhSide& a = *dmh.a;
    const DmhSide& b = *dmh.b;
    QStringList parts;
    for (const DmhField field : dmh.changes) {
        switch (field) {
        case DmhField::Position:
            parts
                << QStringLiteral("position %1 -> %2").arg(prefixedHex(a.position), prefixedHex(b.position));
            break;
        case DmhField::DataCapacity:
            parts << QStringLiteral("capacity ") + numberChange(a.dataCapacity, b.dataCapacity);
            break;
        case DmhField::SdramSize:
            parts << QStringLiteral("SDRAM size ") + numberChange(a.sdramSize, b.sdramSize);
            break;
        case DmhField::FlashSize:
            parts << QStringLiteral("flash size ") + numberChange(a.flashSize, b.flashSize);
            break;
        case DmhField::EntryCount:
            parts << QStringLiteral("entry count ") + numberChange(a.entryCount, b.entryCount);
            break;
        case DmhField::EntrySize:
            parts << QStringLiteral("entry size ") + numberChange(a.entrySize, b.entrySize);
            break;
        case DmhField::EntriesRead:
            parts << QStringLiteral("entries read ") + numberChange(a.entriesRead, b.entriesRead);
            break;
        }
    }
    return QStringLiteral("DMH %1: %2").arg(dmh.index).arg(parts.join(QStringLiteral("; ")));
}

QString imageFieldLabel(ImageField field)
{
    switch (field) {
    case ImageField::ImageSize:
        return QStringLiteral("image size");
    case ImageField::FlashSize:
        return QStringLiteral("flash size");
    case ImageField::SdramSize:
        return QStringLiteral("SDRAM size");
    case ImageField::BlockNumber:
        return QStringLiteral("block number");
    case ImageField::SoftwareVersion:
        return QStringLiteral("software version");
    }
    return {};
}

QString imageFieldText(ImageField field, const ImageDiff& diff)
{
    QString label = imageFieldLabel(field);
    label[0] = label[0].toUpper();
    switch (field) {
    case ImageField::ImageSize:
        return label + QStringLiteral(": ") + numberChange(diff.a.imageSize, diff.b.imageSize);
    case ImageField::FlashSize:
        return label + QStringLiteral(": ") + numberChange(diff.a.flashSize, diff.b.flashSize);
    case ImageField::SdramSize:
        return label + QStringLiteral(": ") + numberChange(diff.a.sdramSize, diff.b.sdramSize);
    case ImageField::BlockNumber:
        return label + QStringLiteral(": ") + numberChange(diff.a.blockNumber, diff.b.blockNumber);
    case ImageField::SoftwareVersion:
        return label
            + QStringLiteral(": %1 -> %2")
                  .arg(printableText(SoftwareVersion::displayText(diff.a.softwareVersion)),
                      printableText(SoftwareVersion::displayText(diff.b.softwareVersion)));
    }
    return {};
}

QString outsideText(const ByteComparison& outside)
{
    return QStringLiteral("Outside every block: %1 of %2 bytes differ, first at %3")
        .arg(outside.differing)
        .arg(outside.compared)
        .arg(prefixedHex(outside.firstDifference));
}

// "1 byte", "2 bytes".
QString counted(qint64 count, const QString& noun)
{
    return QStringLiteral("%1 %2%3").arg(count).arg(noun, count == 1 ? QString() : QStringLiteral("s"));
}

QString verdict(const ImageDiff& diff)
{
    if (diff.identical) {
        QString text = QStringLiteral("The images are identical: %1, %2")
                           .arg(counted(diff.a.imageSize, QStringLiteral("byte")),
                               counted(diff.blocks.size(), QStringLiteral("block")));
        // Equal files, yet blocks that reach past their end are not shown equal: their rows say changed.
        if (const int unheld = diff.blockCount(DiffStatus::Changed))
            text += QStringLiteral(", %1 of them not held whole").arg(unheld);
        return text + QLatin1Char('.');
    }
    QString text = QStringLiteral("The images differ. Blocks: %1 changed, %2 added, %3 removed, %4 same.")
                       .arg(diff.blockCount(DiffStatus::Changed))
                       .arg(diff.blockCount(DiffStatus::Added))
                       .arg(diff.blockCount(DiffStatus::Removed))
                       .arg(diff.blockCount(DiffStatus::Same));
    QStringList also;
    for (const ImageField field : diff.imageChanges)
        also << imageFieldLabel(field);
    if (const int dmhs = diff.dmhsDiffering())
        also << counted(dmhs, QStringLiteral("DMH"));
    if (diff.outsideBlocks.differs())
        also << counted(diff.outsideBlocks.differing, QStringLiteral("byte"))
                + QStringLiteral(" outside every block");
    if (!also.isEmpty())
        text += QStringLiteral(" Also different: %1.").arg(also.join(QStringLiteral(", ")));
    return text;
}

QString sideHashText(const std::optional<DiffBlockSide>& side, int dmhIndex, const BlockHashes& hashes)
{
    return side ? BlockListing::hashText(hashes.of(dmhIndex, side->entryIndex)) : QStringLiteral("-");
}

QString diffText(const ImageDiff& diff, const DiffHashes* hashes)
{
    QStringList titles { QStringLiteral("DMH"), QStringLiteral("ID"), QStringLiteral("Name"),
        QStringLiteral("Status"), QStringLiteral("Changes") };
    if (hashes)
        titles << QStringLiteral("SHA-256 A") << QStringLiteral("SHA-256 B");
    TextTable table(titles);
    for (const BlockDiff& block : diff.blocks) {
        const DiffBlockSide& named = block.a ? *block.a : *block.b;
        QStringList row { QString::number(block.dmhIndex), BlockEntry::idText(block.id),
            printableText(named.entry.nameCellText()), statusName(block.status), blockChangesText(block) };
        if (hashes)
            row << sideHashText(block.a, block.dmhIndex, hashes->a)
                << sideHashText(block.b, block.dmhIndex, hashes->b);
        table.addRow(row);
    }
    QStringList lines { table.render() };
    QStringList facts;
    if (hashes)
        facts << QStringLiteral("SHA-256 of A: %1\nSHA-256 of B: %2")
                     .arg(QString::fromLatin1(hashes->a.image()), QString::fromLatin1(hashes->b.image()));
    for (const ImageField field : diff.imageChanges)
        facts << imageFieldText(field, diff);
    for (const DmhDiff& dmh : diff.dmhs) {
        if (dmh.status != DiffStatus::Same)
            facts << dmhText(dmh);
    }
    if (diff.outsideBlocks.differs())
        facts << outsideText(diff.outsideBlocks);
    if (!facts.isEmpty())
        lines << QString() << facts.join(QLatin1Char('\n'));
    lines << QString() << verdict(diff);
    return lines.join(QLatin1Char('\n'));
}

CommandResult runDiff(const FlashImage& a, const FlashImage& b, const QStringList& paths, bool json,
    bool withHashes, const ProgressCallback& progress)
{
    const Refusable<ImageDiff> compared = diffImages(a, b, progress);
    // A table that would cost more than its images is trouble, like an unreadable image: 1 means "differ".
    if (!compared.accepted())
        return CommandResult::failure(exitBadInput, compared.refusal.message);
    const ImageDiff& diff = *compared.value;
    std::optional<DiffHashes> hashes;
    if (withHashes)
        hashes = DiffHashes { ImageDigests::blockHashes(a), ImageDigests::blockHashes(b) };
    const DiffHashes* shownHashes = hashes ? &*hashes : nullptr;
    CommandResult result;
    result.exitStatus = diff.identical ? exitSuccess : exitRefused;
    // The verdict belongs with the report on stdout, as cmp's does, whether or not the images differ; the
    // JSON document carries it as its message. Each form is only built when asked for: with tens of
    // thousands of blocks either takes a while.
    if (json) {
        result.details = detailsJson(diff, paths.at(0), paths.at(1), shownHashes);
        result.message = verdict(diff);
    } else {
        result.text = diffText(diff, shownHashes);
    }
    return result;
}

PreparedCommand prepareDiff(const ParsedArguments& arguments)
{
    const QStringList& positional = arguments.positional();
    if (positional.size() != 2)
        return PreparedCommand::badUsage(CommandSupport::argumentCountError(2, positional.size()));
    if (positional.at(0).isEmpty() || positional.at(1).isEmpty())
        return PreparedCommand::badUsage(QStringLiteral("A and B must not be empty."));
    const bool json = arguments.isSet(CommonOptions::json().longName);
    const bool hashes = arguments.isSet(CommonOptions::hashes().longName);
    PreparedCommand prepared;
    prepared.hashesImages = hashes;
    prepared.run = [positional, json, hashes](const QVector<FlashImage*>& images, OutputTarget& output) {
        return runDiff(*images.at(0), *images.at(1), positional, json, hashes,
            output.progress(QStringLiteral("Comparing %1 and %2").arg(positional.at(0), positional.at(1))));
    };
    return prepared;
}

} // namespace

Command diffCommand()
{
    Command command = Command::named(QStringLiteral("diff"),
        QStringLiteral("Compare two images block by block."), QStringLiteral("[--json] [--hashes] A B"));
    command.options = { CommonOptions::hashes() };
    command.arguments = { { QStringLiteral("A"), QStringLiteral("The first flash image (the old one).") },
        { QStringLiteral("B"), QStringLiteral("The second flash image (the new one).") } };
    command.imageCount = 2;
    command.helpNotes = QStringLiteral(
        "Blocks are matched by DMH index and ID; an ID listed several times in a DMH is matched in table "
        "order. Each block is same, changed (with the fields that differ), added (only in B) or removed "
        "(only in A); a block that either image does not hold whole is changed (held).\n"
        "Exit status: 0 the files are byte-identical; 1 they differ; 2 bad usage, an image that cannot "
        "be read or has no DMH, a table that would take too much comparing, or a report that could not "
        "be written.");
    command.writeFailureStatus = exitBadInput;
    command.prepare = prepareDiff;
    return command;
}
