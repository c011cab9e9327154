#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QStringList folderEntries(const QString& folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QMap<QString, QByteArray> folderTree(const QString& root)
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
