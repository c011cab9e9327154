#pragma once

#include "ops/base/outcome.h"

#include <QFile>
#include <QString>
#include <QtGlobal>

// The file whose bytes go into a block. Only a regular file qualifies (a device or a pipe has no length
// to plan with), and its bytes count only when exactly its length could be read.
class ReplacementFile {
public:
    explicit ReplacementFile(const QString& path);

    [[nodiscard]] bool open();
    // The name the file object reports: the path as chosen.
    QString fileName() const { return file.fileName(); }
    // The length measured when the file was opened.
    qint64 length() const { return measuredLength; }
    // Reads exactly length() bytes into `destination`; false when fewer (or more) are there.
    [[nodiscard]] bool readWhole(uchar* destination);

    // The failed outcome of the last open() or readWhole(): "Can not open NAME!!!", and what went wrong.
    Outcome failure() const;

private:
    QFile file;
    qint64 measuredLength = 0;
    QString problem;
};
