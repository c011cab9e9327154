#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// The file helpers every test program uses.

// The file's bytes; a null array when it cannot be read.
QByteArray readFile(const QString& path);
// Creates or truncates the file and writes `bytes`; false unless every byte was written.
bool writeFile(const QString& path, const QByteArray& bytes);
// Every name in the folder, hidden ones (a save file's temporary) and nodes included, sorted by name.
QStringList folderEntries(const QString& folder);
// Every name below `root` (hidden ones too), relative to it, with its kind and, for a file, its bytes.
QMap<QString, QByteArray> folderTree(const QString& root);
