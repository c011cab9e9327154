#include "ops/inspect/blockcheck.h"

#include "ops/record/blockinfo.h"
#include "ops/record/crc32.h"

#include <QHash>
#include <QPair>

#include <optional>

bool BlockCheck::holds() const
{
    if (crc == CrcCheck::Mismatch || crc == CrcCheck::NotRead)
        return false;
    return !facts.hasRecord || record == RecordCheck::Ok;
}

namespace {

// An image range [start, start + length) whose CRC a check needs.
using ByteRange = QPair<qint64, qint64>;

// The range of the block's bytes whose CRC the entry's CRC is checked against, if any.
std::optional<ByteRange> blockRange(const BlockFacts& facts)
{
    if (!facts.insideImage || facts.entry.hasNoCrcMarker())
        return std::nullopt;
    return ByteRange { facts.start, facts.entry.size };
}

// The range of the data the record's CRC describes, if it leaves room for the record. The record lies
// inside the image, so the data does as well.
std::optional<ByteRange> dataRange(const BlockFacts& facts)
{
    if (!facts.hasRecord || facts.dataLength > facts.entry.size - quint32(BlockInfo::recordSize))
        return std::nullopt;
    return ByteRange { facts.start, facts.dataLength };
}

} // namespace

Refusable<BlockChecks> checkBlocks(const ImageView& image, const QVector<DmhRecord>& catalogue)
{
    const QVector<BlockFacts> allFacts = BlockFacts::collect(image, catalogue);
    // Every distinct range first, so that the cost is known before a byte is read.
    QHash<ByteRange, quint32> crcs;
    qint64 toRead = 0;
    const auto want = [&crcs, &toRead](const std::optional<ByteRange>& range) {
        if (range && !crcs.contains(*range)) {
            crcs.insert(*range, 0);
            toRead += range->second;
        }
    };
    for (const BlockFacts& facts : allFacts) {
        want(blockRange(facts));
        want(dataRange(facts));
    }
    const qint64 limit = verifyReadsPerImageByte * image.size;
    if (toRead > limit)
        return Refusable<BlockChecks>::refused(Outcome::refused(
            QStringLiteral("Verifying would read %1 bytes, more than %2 times the image's %3 bytes.")
                .arg(QString::number(toRead), QString::number(verifyReadsPerImageByte),
                    QString::number(image.size)),
            QStringLiteral("The DMH tables list %1 different byte ranges in %2 entries; a range listed "
                           "more than once is read once, but these add up to more than %3 bytes.")
                .arg(
                    QString::number(crcs.size()), QString::number(allFacts.size()), QString::number(limit))));
    for (auto range = crcs.begin(); range != crcs.end(); ++range)
        range.value() = Crc32::compute64(image.data + range.key().first, range.key().second);

    BlockChecks result;
    result.bytesRead = toRead;
    result.checks.reserve(allFacts.size());
    for (const BlockFacts& facts : allFacts) {
        BlockCheck check;
        check.facts = facts;
        const BlockEntry& entry = facts.entry;
        if (const std::optional<ByteRange> range = blockRange(facts)) {
            check.computedCrc = crcs.value(*range);
            check.crc = check.computedCrc == entry.crc ? CrcCheck::Ok : CrcCheck::Mismatch;
        } else {
            check.crc = facts.insideImage ? CrcCheck::NotChecked : CrcCheck::NotRead;
        }
        if (facts.hasRecord) {
            if (const std::optional<ByteRange> range = dataRange(facts)) {
                check.computedDataCrc = crcs.value(*range);
                check.record
                    = check.computedDataCrc == facts.storedDataCrc ? RecordCheck::Ok : RecordCheck::Mismatch;
            } else {
                check.record = RecordCheck::LengthExceedsBlock;
            }
        }
        result.checks.append(check);
    }
    return Refusable<BlockChecks>::of(std::move(result));
}
