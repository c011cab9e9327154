#pragma once

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

// A private folder, in memory where the machine has /dev/shm, for the file-level half of the targets:
// the same actions the window runs, whose files must match what the in-memory plans say.
class FuzzScratch {
public:
    static FuzzScratch& instance()
    {
        static FuzzScratch scratch;
        return scratch;
    }

    QString path(const QString& name) const { return folder.filePath(name); }

    bool write(const QString& name, const char* data, qint64 length) const
    {
        QFile file(path(name));
        return file.open(QIODevice::WriteOnly) && file.write(data, length) == length;
    }

    // The file's bytes, or a null array when there is no such file.
    QByteArray read(const QString& name) const
    {
        QFile file(path(name));
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        const QByteArray bytes = file.readAll();
        return bytes.isNull() ? QByteArray("") : bytes;
    }

    bool exists(const QString& name) const { return QFile::exists(path(name)); }
    void remove(const QString& name) const { QFile::remove(path(name)); }

private:
    FuzzScratch()
        : folder(QDir(QStringLiteral("/dev/shm")).exists()
                ? QStringLiteral("/dev/shm/tessel-fuzz-XXXXXX")
                : QDir::temp().filePath(QStringLiteral("tessel-fuzz-XXXXXX")))
    {
    }

    QTemporaryDir folder;
};
