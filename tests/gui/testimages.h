#pragma once

#include <QString>

// The images the window tests open, written into a folder of the test's own.
namespace TestImages {

// Two DMHs of 3 and 5 entries. The first lists ab (CRC abcd, name "boot"), 1f (size 4294967295,
// CRC 0, name "kernel12") and 0 (year 2053, the "ssdata" block holding "V2.1.0").
// SDRAM 67108864, flash 4294967295.
QString writeTwoDmhImage(const QString& folder);
// One DMH of 2 entries (ids 5 and 6), SDRAM 33554432, flash 65536, no "ssdata" block.
QString writeSmallImage(const QString& folder, const QString& fileName = QStringLiteral("small.bin"));
// A DMH without entries before one with two.
QString writeEmptyFirstDmhImage(const QString& folder);
// One DMH without entries: nothing to list, block number 0.
QString writeEmptyDmhImage(const QString& folder);
// Bytes without any DMH.
QString writeNoDmhFile(const QString& folder);

} // namespace TestImages
