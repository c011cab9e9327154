#pragma once

#include <QtGlobal>

// The search for DMHs in an image in memory. Every position is tested, so a DMH hidden inside the
// entries or blocks of another one is found too.
namespace DmhScan {

// The first position p with `from` <= p <= `last` where a DMH stands (the 12-byte magic and the
// recognition byte), or -1 when there is none. The caller guarantees that the whole 28-byte header of
// every such p lies inside `data`.
[[nodiscard]] qint64 findNext(const uchar* data, qint64 from, qint64 last);

} // namespace DmhScan
