#include "blocklocation.h"

BlockLocation findBlock(const QVector<DmhRecord>& catalogue, const QString& idText)
{
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        const DmhRecord& dmh = catalogue.at(dmhIndex);
        // An empty DMH ends the search, even when a later DMH lists the ID.
        if (dmh.entries.isEmpty())
            break;
        for (int entryIndex = 0; entryIndex < dmh.entries.size(); ++entryIndex) {
            const BlockEntry& entry = dmh.entries.at(entryIndex);
            if (entry.idText() != idText)
                continue;
            BlockLocation location;
            location.size = entry.size;
            location.offset = entry.offset;
            location.dmhPosition = dmh.position;
            location.dmhIndex = dmhIndex;
            location.entryIndex = entryIndex;
            location.entry = entry;
            return location;
        }
    }
    return {};
}
