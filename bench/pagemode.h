#pragma once

#include <QString>
#include <QtGlobal>

// What kind of pages back the memory a benchmark touched: printed beside each ratio, since transparent
// huge pages change the cost of fresh memory several times over on this kind of machine.
namespace PageMode {

// The kernel's transparent-huge-page settings, for example "THP enabled=madvise defrag=madvise".
QString systemSetting();

// The machine the figures come from: CPU model, logical CPUs, memory.
QString machine();

// Bytes of this process's anonymous memory that currently sit in huge pages.
qint64 hugePageBytes();

// "huge pages 1024/1024 MiB": how much of a buffer of `size` bytes came in huge pages, given the
// hugePageBytes() before it was allocated and while it is alive.
QString describe(qint64 before, qint64 during, qint64 size);

// Resident memory of this process now, and its peak since the last resetPeakResident() (Linux keeps
// the peak; writing 5 to clear_refs starts it again from the current size). -1 when unknown.
qint64 residentBytes();
qint64 peakResidentBytes();
bool resetPeakResident();

} // namespace PageMode
