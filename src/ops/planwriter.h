#pragma once

#include "outputplan.h"

#include <QSaveFile>
#include <QString>

class QIODevice;

// Streams an output plan to a device: image ranges straight from memory, patches in between. True only
// when every byte of the plan was written.
[[nodiscard]] bool writePlan(
    QIODevice& device, const uchar* imageData, qint64 imageSize, const OutputPlan& plan);

// The one way an output file reaches the disk. Nothing appears at the path until commit succeeds, so a
// refused or failed action leaves an existing file untouched and creates no new one. A symlink is
// followed and its target replaced.
class PlanWriter {
public:
    explicit PlanWriter(const QString& path);

    // Opening creates nothing at the path yet.
    [[nodiscard]] bool open();
    // The name the file object reports: the path as chosen.
    QString fileName() const { return file.fileName(); }
    // Writes the plan and commits; false (and nothing committed) when any byte is missing.
    [[nodiscard]] bool writeAndCommit(const uchar* imageData, qint64 imageSize, const OutputPlan& plan);
    // Drops what was opened without touching the path.
    void discard();

private:
    QSaveFile file;
};
