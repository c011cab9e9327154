#pragma once

#include "model/blockentry.h"
#include "ops/record/stamptime.h"

#include <QByteArray>
#include <QVector>
#include <QtGlobal>

#include <optional>

// The three replacements restated from their rules, for checking the product's output byte for byte. It
// computes the output image itself: its own record and entry fields, its own bitwise CRC-32/JAMCRC, and
// none of the product's functions, so that a fault in one of them shows as a difference. It knows the
// byte rules only; which layouts a variant must refuse is for the caller to decide.
class ReplacementModel {
public:
    enum class Variant { Padded, WithInfo, Grow };

    // One replacement of the block that entry `entryIndex` of one DMH describes.
    struct Case {
        const uchar* image = nullptr;
        qint64 imageSize = 0;
        // The loaded image's flash size: the output's length.
        quint32 flashSize = 0;
        quint32 dmhPosition = 0;
        // Every entry of the DMH, in table order.
        QVector<BlockEntry> entries;
        int entryIndex = -1;
        const uchar* replacement = nullptr;
        qint64 replacementLength = 0;
        StampTime stampTime;
    };

    // The variant the rules choose: with a record, the record variant when the replacement is not
    // longer than the block, else none; without one, padded or growing by length.
    static std::optional<Variant> chooseVariant(const Case& replacement);

    // Writes into `output` what `variant` makes of the case: the first flashSize bytes of the image with
    // the block replaced. False, with `output` in no particular state, when the variant does not apply:
    // the rules choose another, the record leaves no room for the replacement, or a byte the variant
    // reads or writes lies outside the image or the output. `output` keeps its memory from call to call.
    [[nodiscard]] static bool writeOutput(const Case& replacement, Variant variant, QByteArray& output);
    // The same as a value, for tests.
    static std::optional<QByteArray> output(const Case& replacement, Variant variant);

    // The block-info rule: offset and size whole multiples of 64 KiB, flags 0, and the signature at the
    // start of the block's last 64 bytes, which lie inside the image.
    static bool carriesRecord(
        const uchar* image, qint64 imageSize, quint32 dmhPosition, const BlockEntry& entry);
    // CRC-32/JAMCRC, bit by bit: reflected polynomial 0xEDB88320, register 0xFFFFFFFF, no final inversion.
    static quint32 crc(const uchar* bytes, qint64 length);
};
