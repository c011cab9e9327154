#include "ops/inspect/blockfacts.h"

#include "ops/record/blockinfo.h"

#include "model/imagelayout.h"

QVector<BlockFacts> BlockFacts::collect(const ImageView& image, const QVector<DmhRecord>& catalogue)
{
    QVector<BlockFacts> blocks;
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const DmhRecord& record = catalogue[dmhIndex];
        for (int entryIndex = 0; entryIndex < record.entries.size(); ++entryIndex) {
            BlockFacts facts;
            facts.dmhIndex = dmhIndex;
            facts.entryIndex = entryIndex;
            facts.dmhPosition = record.position;
            facts.entry = record.entries[entryIndex];
            facts.start = qint64(record.position) + facts.entry.offset;
            facts.insideImage = ImageLayout::rangeInside(facts.start, facts.entry.size, image.size);
            facts.hasRecord = BlockInfo::hasBlockInfo(image.data, image.size, record.position, facts.entry);
            if (facts.hasRecord) {
                // hasBlockInfo only holds for a record that lies inside the image.
                facts.recordPosition = *BlockInfo::recordPosition(image.size, record.position, facts.entry);
                const uchar* recordBytes = image.data + facts.recordPosition;
                facts.dataLength = BlockInfo::dataLength(recordBytes);
                facts.storedDataCrc = BlockInfo::dataCrc(recordBytes);
            }
            blocks.append(facts);
        }
    }
    return blocks;
}

BlockLocation BlockFacts::location() const
{
    return BlockLocation::of(dmhPosition, dmhIndex, entryIndex, entry);
}
