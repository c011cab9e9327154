#pragma once

#include "imagebuilder.h"

#include <QByteArray>
#include <QtGlobal>

// The images the tests share, each built the same way on every call. Every block is listed with its
// ID in hexadecimal, its name, its flags, its size and where it lies (offsets count from its DMH). Data
// bytes are ImageBuilder::randomBytes with a fixed seed; the rest of a block is 0xFF, and a record lies
// in a block's last 64 bytes. Unless said otherwise, the entries' CRC fields are 0 and the flash size is
// the image's length.
namespace StandardImages {

// 0x60000 bytes, one DMH at 0x100; every entry's CRC is the CRC of its block, except the "NCRC" one:
//   10 boot    flags 1, 0x800 at 0x1000: 0x600 data bytes (seed 1)
//   ab ssdata  flags 1, 0x100 at 0x2000: the software version "V1.2.3"
//   20 kernel  flags 0, 0x10000 at 0x10000: a record over 1,000 data bytes (seed 2)
//   21 fs      flags 1, 0x10000 at 0x20000: 0x8000 data bytes (seed 3), CRC "NCRC"
//   22 boot    flags 1, 0x1000 at 0x30000, right behind fs: data all through (seed 4); a second "boot"
inline constexpr qint64 fiveBlocksLength = 0x60000;
inline constexpr qint64 fiveBlocksDmhPosition = 0x100;
QByteArray fiveBlocks();
// Its DMH as written, CRCs included, for a variation of the table.
TestDmh fiveBlocksDmh();

// 0x40000 bytes, one DMH at 0, data capacity 0x100000; every entry's CRC is the CRC of its block:
//   6 kernel  flags 0, 0x10000 at 0x10000: a record over 1,000 data bytes (seed 1)
//   5 boot    flags 1, 0x8000 at 0x20000: data all through (seed 2)
//   7 tail    flags 1, 0x8000 at 0x28000, right behind boot: data all through (seed 3)
// Each variant has a block here: a padded or growing replacement of boot (a growth moves tail), a
// record refreshed in kernel.
inline constexpr qint64 recordAndTwoPlainLength = 0x40000;
QByteArray recordAndTwoPlain();

// 0x100000 bytes, one DMH at 0, data capacity 0x400000, four blocks back to back from 0x10000:
//   1  boot    flags 0, 0x20000 at 0x10000: a record over 1,000 data bytes (seed 1)
//   2  kernel  flags 1, 0x20000 at 0x30000: data all through (seed 2), CRC 0x12345678
//   1a nocrc   flags 0, 0x20000 at 0x50000: a record over 1,000 data bytes (seed 0x1a), CRC "NCRC"
//   4  rootfs  flags 1, 0x8000 at 0x70000: data all through (seed 4), CRC "NCRC"
// A growth of kernel moves nocrc, whose record only a move by whole 64 KiB keeps.
inline constexpr qint64 fourBlocksLength = 0x100000;
TestDmh fourBlocksDmh();
QByteArray fourBlocks();
// A DMH at 0 of an image of `length` bytes, its blocks filled as fourBlocks fills them: a block with
// flags 0 and at least 64 KiB gets a record over 1,000 data bytes, any other data all through, seeded
// with its ID. Variations of fourBlocksDmh() make the special layouts of the replacement tests.
QByteArray blocksImage(const TestDmh& dmh, qint64 length);

// 0x2000 bytes, two DMHs, table rows as the window lists them:
//   DMH at 0x100, data capacity 0x800000, SDRAM 0x2000000, flash size 0x10000:
//     ab boot      flags 1, 0x1000 at 0x100, CRC 0xabcd, version "v1.2.3"
//     1f kernel12  flags 1, 0xFFFFFFFF at 0x200 (far past the image), version "20240101"
//     0  ssdata    flags 1, 0x40 at 0x800: "V2.1.0" and junk behind its zero byte; year 2053
//   DMH at 0x1000, data capacity 0x1000000, SDRAM 0x4000000, flash size 0xFFFFFFFF:
//     1, 2, 3, 4, 5  flags 1, size 0 at 0, no name
// The summary shows the last DMH's sizes: SDRAM 67108864, flash 4294967295, 8 blocks, version "V2.1.0".
QByteArray twoDmhs();

// 0x1000 bytes, one DMH at 0 with SDRAM 0x2000000 and flash size 0x10000 (more than the image holds):
//   5 five  flags 1, 0x10 at 0x100
//   6 six   flags 1, 0x10 at 0x200
// No "ssdata" block.
QByteArray twoEntries();

// 0x1000 bytes: a DMH at 0 without entries, then one at 0x800 listing 7 and 8 (size 0 at 0), both with
// SDRAM 0x1000000 and flash size 0.
QByteArray emptyDmhBeforeTwoEntries();

// 0x400 bytes: one DMH at 0x40 without entries and with flash size 0; nothing to list, block number 0.
QByteArray emptyDmh();

// 0x400 bytes of 0xFF: no DMH at all.
QByteArray noDmh();

} // namespace StandardImages
