#pragma once

#include <QByteArray>
#include <QString>

// Where a writer puts its output: the path as it was given, the node it stands for, and that node's
// folder and name as the system spells them, which the writer's calls take.
struct OutputPlace {
    QString given;
    QString target;
    QByteArray folder;
    QByteArray name;

    // A file's place: the path with its symlinks followed (a dangling link names the file it would
    // create); a path that ends in a slash names its folder, ".".
    static OutputPlace ofFile(const QString& path);
    // A folder's place: a trailing slash, "." and ".." name a folder as its plain path does; an existing
    // one is named by its canonical path.
    static OutputPlace ofFolder(const QString& path);
};
