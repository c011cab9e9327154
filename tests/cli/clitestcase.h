#pragma once

#include "inprocesscli.h"
#include "standardimages.h"
#include "testfolder.h"
#include "ops/blockreplace.h"

#include <QObject>
#include <QString>

#include <memory>

// Every test starts from the standard image StandardImages::fiveBlocks().
inline constexpr qint64 dmhPosition = StandardImages::fiveBlocksDmhPosition;
inline constexpr qint64 imageSize = StandardImages::fiveBlocksLength;

// Image position of a field of entry `index` of the standard DMH.
qint64 entryField(int index, int fieldOffset);

// The commands run in this process, with the clock fixed as SOURCE_DATE_EPOCH and TZ=UTC fix it.
inline CliRun runCommand(const QStringList& arguments)
{
    return runCliInProcess(arguments);
}

// What the operations themselves write for the same image, block, replacement and clock.
Outcome replaceInProcess(const QString& imagePath, const QString& idText, const QString& replacementPath,
    const QString& outputPath, ReplacePlan* plan = nullptr);

// What every test of a command shares: the fixed clock, and a fresh folder holding the standard image as
// image.bin before each test.
class CliTestCase : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

protected:
    QString path(const QString& name) const { return directory->filePath(name); }

    std::unique_ptr<TestFolder> directory;
    QString imagePath;
};
