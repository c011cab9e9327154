#pragma once

#include "ops/base/blocklocation.h"
#include "ops/replace/replacechain.h"

#include "model/dmhrecord.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

// How BLOCK names a block: its ID text as the table's ID column shows it ("5"), found the way the window
// finds a row's block; or a DMH index and that text ("1:5"), which reaches the first entry with the ID
// in that DMH alone.
struct BlockReference {
    QString idText;
    // -1: the whole catalogue, as the window searches it.
    int dmhIndex = -1;

    // Any text is an ID text (one the table never shows simply finds nothing, as in the window), unless
    // it is decimal digits, a colon and an ID text.
    static BlockReference parse(const QString& text);
    QString text() const;
};

// The block a command acts on, named by BLOCK or by --name. `idText` is what the block operations are
// given; `location` is the entry they act on.
//
// Every command reads BLOCK the same way: an ID text, DMH:ID, or name:NAME (an ID text never holds a
// colon), and --name NAME stands for name:NAME.
struct BlockSelection {
    QString idText;
    BlockLocation location;
    // Set when the block cannot be named: the refusal to report instead of acting (exit 1).
    std::optional<QString> refusal;
    // Legal but surprising: the ID is listed more than once, and the first entry is acted on.
    QStringList warnings;
    // Why nothing was found, when BLOCK names no entry: the explanation beside "Can not find the DMH.".
    QString notFoundDetail;

    static BlockSelection byReference(const QVector<DmhRecord>& catalogue, const BlockReference& reference);
    static BlockSelection byName(const QVector<DmhRecord>& catalogue, const QString& name);
    // The block BLOCK names, in any of its forms.
    static BlockSelection byText(const QVector<DmhRecord>& catalogue, const QString& blockText);

    // The BLOCK text that --name NAME stands for.
    static QString nameText(const QString& name);
    // Why `blockText` cannot name a block whatever the image (it is empty, or "name:" alone), as bad
    // usage; empty when it can.
    static QString textError(const QString& blockText);

    // The entry a pair of a replacement chain acts on, or the refusal when BLOCK names none.
    Refusable<ChainTarget> chainTarget() const;
};
