#include "ops/base/blocklocation.h"

#include "ops/base/statustexts.h"

#include <algorithm>

namespace {

BlockLocation searchDmh(const QVector<DmhRecord>& catalogue, int dmhIndex, const QString& idText)
{
    const DmhRecord& dmh = catalogue.at(dmhIndex);
    for (int entryIndex = 0; entryIndex < dmh.entries.size(); ++entryIndex) {
        const BlockEntry& entry = dmh.entries.at(entryIndex);
        if (entry.idText() == idText)
            return BlockLocation::of(dmh.position, dmhIndex, entryIndex, entry);
    }
    return {};
}

} // namespace

BlockLocation findBlock(const QVector<DmhRecord>& catalogue, const QString& idText)
{
    for (int dmhIndex = 0; dmhIndex < catalogue.size(); ++dmhIndex) {
        // An empty DMH ends the search, even when a later DMH lists the ID.
        if (catalogue.at(dmhIndex).entries.isEmpty())
            break;
        const BlockLocation location = searchDmh(catalogue, dmhIndex, idText);
        if (location.found())
            return location;
    }
    return {};
}

BlockLocation findBlockInDmh(const QVector<DmhRecord>& catalogue, int dmhIndex, const QString& idText)
{
    if (dmhIndex < 0 || dmhIndex >= catalogue.size())
        return {};
    return searchDmh(catalogue, dmhIndex, idText);
}

Outcome blockNotFound()
{
    return Outcome::refused(
        StatusText::canNotFindDmh(), QStringLiteral("The block is not listed by any DMH."));
}

int entriesWithId(const DmhRecord& dmh, quint8 id)
{
    return int(std::count_if(
        dmh.entries.cbegin(), dmh.entries.cend(), [id](const BlockEntry& entry) { return entry.id == id; }));
}

int entriesWithId(const QVector<DmhRecord>& catalogue, quint8 id)
{
    int count = 0;
    for (const DmhRecord& dmh : catalogue)
        count += entriesWithId(dmh, id);
    return count;
}
