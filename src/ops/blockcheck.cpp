#include "blockcheck.h"

#include "blockinfo.h"
#include "crc32.h"

bool BlockCheck::holds() const
{
    if (crc == CrcCheck::Mismatch || crc == CrcCheck::NotRead)
        return false;
    return !facts.hasRecord || record == RecordCheck::Ok;
}

QVector<BlockCheck> checkBlocks(const ImageView& image, const QVector<DmhRecord>& catalogue)
{
    QVector<BlockCheck> checks;
    for (const BlockFacts& facts : BlockFacts::collect(image, catalogue)) {
        BlockCheck check;
        check.facts = facts;
        const BlockEntry& entry = facts.entry;
        if (!facts.insideImage) {
            check.crc = CrcCheck::NotRead;
        } else if (entry.hasNoCrcMarker()) {
            check.crc = CrcCheck::NotChecked;
        } else {
            check.computedCrc = Crc32::compute64(image.data + facts.start, entry.size);
            check.crc = check.computedCrc == entry.crc ? CrcCheck::Ok : CrcCheck::Mismatch;
        }
        if (facts.hasRecord) {
            // The record lies inside the image, so the data it describes does when it leaves room for it.
            if (facts.dataLength > entry.size - quint32(BlockInfo::recordSize)) {
                check.record = RecordCheck::LengthExceedsBlock;
            } else {
                check.computedDataCrc = Crc32::compute64(image.data + facts.start, facts.dataLength);
                check.record
                    = check.computedDataCrc == facts.storedDataCrc ? RecordCheck::Ok : RecordCheck::Mismatch;
            }
        }
        checks.append(check);
    }
    return checks;
}
