#pragma once

#include <QString>

// Every status text the block actions show. %1 is filled with a file's name as its file object reports it.
// They are kept letter for letter, odd spellings included: users and scripts know the program by them.
namespace StatusText {

inline QString notSelectingSavingBlock()
{
    return QStringLiteral("Not selecting saving block");
}
inline QString noBlockSelected()
{
    return QStringLiteral("no block selected");
}
inline QString notDataFromFile()
{
    return QStringLiteral("Not data from file!!!");
}
inline QString canNotFindDmh()
{
    return QStringLiteral("Can not find the DMH.");
}
inline QString exportCanNotOpen(const QString& name)
{
    return QStringLiteral("Can not open %1").arg(name);
}
inline QString saveBlockSucceeded(const QString& name)
{
    return QStringLiteral("Save block %1 successfully!!!").arg(name);
}
inline QString saveBlockFailed(const QString& name)
{
    return QStringLiteral("Save block %1 failed!!!").arg(name);
}
inline QString canNotOpen(const QString& name)
{
    return QStringLiteral("Can not open %1!!!").arg(name);
}
inline QString overMaxSize()
{
    return QStringLiteral("File size is over max size, can not replace!!!");
}
inline QString blockInfoNotLegitimate()
{
    return QStringLiteral("block info at block end is not legitimate!!!");
}
inline QString replaceSucceeded()
{
    return QStringLiteral("Replace block successfully!!!");
}
inline QString replaceFailed()
{
    return QStringLiteral("Replace block failed!!!");
}
// The growing variant's own texts have a capital B, deliberately: they tell a growth (the image in memory
// changed, blocks moved) from the other two variants at a glance.
inline QString growSucceeded()
{
    return QStringLiteral("Replace Block successfully!!!");
}
inline QString growFailed()
{
    return QStringLiteral("Replace Block failed!!!");
}
inline QString allocFailed()
{
    return QStringLiteral("Alloc memory failed!");
}

// Refusals of actions that would otherwise read or write outside the image, or corrupt it.
inline QString blockOutOfImage()
{
    return QStringLiteral("Block is out of the image!!!");
}
inline QString dmhOutOfImage()
{
    return QStringLiteral("DMH is out of the image!!!");
}
inline QString flashSizeNotFit()
{
    return QStringLiteral("Flash size does not fit the image!!!");
}
inline QString blockSizeZero()
{
    return QStringLiteral("Block size is 0, can not replace!!!");
}
inline QString entrySizeNot48()
{
    return QStringLiteral("DMH entry size is not 48, can not replace!!!");
}
inline QString blocksNotBackToBack()
{
    return QStringLiteral("Blocks after the block are not back to back, can not replace!!!");
}
inline QString wouldOverwriteDmh()
{
    return QStringLiteral("Block would overwrite a DMH, can not replace!!!");
}
inline QString wouldOverwriteBlock()
{
    return QStringLiteral("Block would overwrite another block, can not replace!!!");
}
inline QString blockIdNotUnique()
{
    return QStringLiteral("Block ID is not unique, can not replace!!!");
}
inline QString blockInfoOffAlignment()
{
    return QStringLiteral("Block would move a block info off its alignment, can not replace!!!");
}
inline QString blockInfoGained()
{
    return QStringLiteral("Block would give a moved block a block info, can not replace!!!");
}

} // namespace StatusText
