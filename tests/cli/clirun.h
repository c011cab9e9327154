#pragma once

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QString>

// One finished run of tessel-cli, in this process or as a process of its own.
struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    QJsonObject json() const { return QJsonDocument::fromJson(out).object(); }
};

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Every name below `root` (hidden ones too), relative to it, with its kind and, for a file, its bytes.
inline QMap<QString, QByteArray> folderTree(const QString& root)
{
    QMap<QString, QByteArray> tree;
    QDirIterator entries(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QString entry = entries.next();
        const QFileInfo info(entry);
        const QString name = entry.mid(root.size());
        if (info.isSymLink())
            tree.insert(name, "link to " + QFile::encodeName(info.symLinkTarget()));
        else if (info.isDir())
            tree.insert(name, "folder");
        else if (info.isFile())
            tree.insert(name, readFile(entry));
        else
            tree.insert(name, "node");
    }
    return tree;
}
