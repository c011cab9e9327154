#include "blockfacts.h"

#include "model/flashimage.h"
#include "model/imagelayout.h"
#include "ops/blockinfo.h"

QVector<BlockFacts> BlockFacts::collect(const FlashImage& image)
{
    QVector<BlockFacts> blocks;
    const QVector<DmhRecord>& records = image.dmhRecords();
    for (int dmhIndex = 0; dmhIndex < records.size(); ++dmhIndex) {
        const DmhRecord& record = records[dmhIndex];
        for (int entryIndex = 0; entryIndex < record.entries.size(); ++entryIndex) {
            BlockFacts facts;
            facts.dmhIndex = dmhIndex;
            facts.entryIndex = entryIndex;
            facts.dmhPosition = record.position;
            facts.entry = record.entries[entryIndex];
            facts.start = qint64(record.position) + facts.entry.offset;
            facts.insideImage = ImageLayout::rangeInside(facts.start, facts.entry.size, image.imageSize());
            facts.hasRecord
                = BlockInfo::hasBlockInfo(image.imageData(), image.imageSize(), record.position, facts.entry);
            if (facts.hasRecord) {
                // hasBlockInfo only holds for a record that lies inside the image.
                facts.recordPosition
                    = *BlockInfo::recordPosition(image.imageSize(), record.position, facts.entry);
                const uchar* recordBytes = image.imageData() + facts.recordPosition;
                facts.dataLength = BlockInfo::dataLength(recordBytes);
                facts.storedDataCrc = ImageLayout::readU32(recordBytes + BlockInfo::dataCrcOffset);
            }
            blocks.append(facts);
        }
    }
    return blocks;
}
