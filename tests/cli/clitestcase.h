#pragma once

#include "imagefixture.h"
#include "inprocesscli.h"
#include "standardimages.h"

#include <QJsonObject>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

// Every test starts from the standard image StandardImages::fiveBlocks().
inline constexpr qint64 dmhPosition = StandardImages::fiveBlocksDmhPosition;
inline constexpr qint64 imageSize = StandardImages::fiveBlocksLength;

// Image position of a field of entry `index` of the standard DMH.
qint64 entryField(int index, int fieldOffset);

// Each field of `expected` is in `object` with the same value.
void checkFields(const QJsonObject& object, const QJsonObject& expected);

// The commands run in this process, with the clock fixed as SOURCE_DATE_EPOCH and TZ=UTC fix it.
inline CliRun runCommand(const QStringList& arguments)
{
    return runCliInProcess(arguments);
}

// What every test of a command shares: the fixed clock, and before each test a fresh folder holding the
// standard image as image.bin.
class CliTestCase : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

protected:
    // The file `name` in the test's folder; the folder itself without a name.
    QString path(const QString& name = {}) const { return fixture->path(name); }
    // Writes the file `name` in the test's folder and returns its path; a file that cannot be written ends
    // the program.
    QString create(const QString& name, const QByteArray& bytes) const
    {
        return fixture->create(name, bytes);
    }
    // `text` with the names it holds filled in: first `names` in their order, then IMAGE (image.bin), OUT
    // (out.bin), REPL (replacement.bin), MISSING (missing.bin, never made) and FOLDER (the test's folder).
    using Names = QVector<QPair<QString, QString>>;
    QString fill(QString text, const Names& names = {}) const;
    QStringList fill(QStringList texts, const Names& names = {}) const;
    // The arguments of a command line written as one text, split at blanks and filled in; "" stands for an
    // empty argument.
    QStringList words(const QString& line, const Names& names = {}) const;
    // What the operations themselves write for image.bin and the same block, replacement and clock: to the
    // file `output`, or a dry run without one.
    Outcome replaceInProcess(const QString& idText, const QString& replacement, const QString& output,
        ReplacePlan* plan = nullptr);

    std::unique_ptr<ImageFixture> fixture;
    QString imagePath;
};
