#pragma once

#include "ops/base/blocklocation.h"
#include "ops/base/outcome.h"
#include "ops/replace/replaceplan.h"
#include "ops/replace/replacerequest.h"

#include "model/dmhrecord.h"
#include "model/flashimage.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// The block one pair of a chain acts on, as found in the image that pair sees: the entry, and the ID
// text the operations are given.
struct ChainTarget {
    BlockLocation location;
    QString idText;
};

// One pair of a chain: how to find its block in the image as the pair sees it (after the pairs before
// it), or the refusal when it cannot be named there; and the file whose bytes go into the block.
struct ChainPair {
    std::function<Refusable<ChainTarget>(const QVector<DmhRecord>& catalogue)> locate;
    QString replacementPath;
};

// How a chain of replacements ended: the outcome (of the failing pair, or of the write), the plan of
// every pair carried out, and the pair that failed (-1 when none did).
struct ChainResult {
    Outcome outcome;
    QVector<ReplacePlan> plans;
    // What is surprising about each pair carried out (replacementWarnings), in pair order.
    QVector<QStringList> warnings;
    int failedPair = -1;
};

// Several replacements in one run, meaning exactly the chain of single runs: each pair on the output of
// the one before it (its first flashSize bytes, loaded again as a run would load that file), all with the
// request's time stamp. Every pair is checked, read and planned as a dry run of its own; the image in
// memory takes each change in turn. Then, unless the request is a dry run, the last output is written
// once through the request's output rules, with the last pair's status texts. All or nothing: a pair that
// fails writes nothing. `image` is consumed: afterwards it holds the image the last (or the failed) pair
// was planned on.
[[nodiscard]] ChainResult replaceChain(
    FlashImage& image, const QVector<ChainPair>& pairs, const ReplaceRequest& request);
