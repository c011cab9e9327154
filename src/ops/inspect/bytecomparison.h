#pragma once

#include <QtGlobal>

// How two byte ranges of equal length compare, position by position.
struct ByteComparison {
    qint64 compared = 0;
    qint64 differing = 0;
    // Counted from the ranges' start; -1 when no byte differs.
    qint64 firstDifference = -1;

    bool differs() const { return differing > 0; }

    // Equal ranges of `length` bytes, known without reading them.
    static ByteComparison equal(qint64 length) { return { qMax<qint64>(length, 0), 0, -1 }; }

    // Adds the comparison of a later range that starts `offset` bytes after this one's start.
    void append(const ByteComparison& later, qint64 offset);
};

// Compares `length` bytes of `first` and `second`. Equal stretches cost one memcmp each; bytes are only
// counted inside a stretch that differs, so two equal gigabytes take the time of one memcmp.
ByteComparison compareBytes(const uchar* first, const uchar* second, qint64 length);
