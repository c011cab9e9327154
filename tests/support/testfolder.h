#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A fresh folder of one test's own, removed with everything in it when the object goes.
class TestFolder {
public:
    TestFolder() = default;

    bool isValid() const { return folder.isValid(); }
    QString path() const { return folder.path(); }
    QString filePath(const QString& name) const { return folder.filePath(name); }

    bool write(const QString& name, const QByteArray& bytes) const;
    // Writes the file `name` and returns its path. A file that cannot be written ends the program: the
    // tests that ask for one cannot run without it.
    QString create(const QString& name, const QByteArray& bytes) const;
    // The file's bytes; a null array when there is no such file.
    QByteArray read(const QString& name) const;
    // Every name in the folder, hidden ones included, sorted.
    QStringList entries() const;

private:
    QTemporaryDir folder;
};
