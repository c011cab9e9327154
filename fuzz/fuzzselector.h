#pragma once

#include <cstddef>
#include <cstdint>

// What a fuzz input asks of the block operations, read from its last four bytes. The bytes stay part of
// the image as well: at the end of a 64 KiB image they are the uninterpreted tail of a block-info record,
// so a full-size image with a record can still pick any entry and any replacement length. The four bytes
// before them, read the same way, choose the second pair when the replace target runs two in one go
// (when bits 6-7 of that entry byte are 0).
struct FuzzSelector {
    std::uint8_t entryIndex = 0; // which catalogue entry, counted over all DMHs, modulo their number;
                                 // bits 6-7: 0 runs the file actions (with lengthMode)
    std::uint8_t lengthMode = 0; // bits 0-2: how the replacement length relates to the block size;
                                 // bit 3: the image is extended by 64 KiB; bits 4-7: 0 runs the file actions
    std::uint16_t amount = 0; // the distance or length that lengthMode uses

    static constexpr std::size_t byteSize = 4;

    bool extendsImage() const { return (lengthMode & 0x08) != 0; }
    // One input in 64: the file actions cost several system calls and a read of the whole image each.
    bool runsFileActions() const { return (lengthMode & 0xF0) == 0 && (entryIndex & 0xC0) == 0; }

    static FuzzSelector fromTail(const std::uint8_t* data, std::size_t size)
    {
        FuzzSelector selector;
        if (size >= byteSize) {
            const std::uint8_t* tail = data + size - byteSize;
            selector.entryIndex = tail[0];
            selector.lengthMode = tail[1];
            selector.amount = std::uint16_t(tail[2] | (tail[3] << 8));
        }
        return selector;
    }
};
