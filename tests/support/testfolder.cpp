#include "testfolder.h"

#include "testfiles.h"

bool TestFolder::write(const QString& name, const QByteArray& bytes) const
{
    return writeFile(filePath(name), bytes);
}

QString TestFolder::create(const QString& name, const QByteArray& bytes) const
{
    if (!write(name, bytes))
        qFatal("cannot write the test file %s", qPrintable(filePath(name)));
    return filePath(name);
}

QByteArray TestFolder::read(const QString& name) const
{
    return readFile(filePath(name));
}

QStringList TestFolder::entries() const
{
    return folderEntries(path());
}
