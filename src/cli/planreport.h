#pragma once

#include "commandresult.h"

#include "ops/blockreplace.h"

#include <QtGlobal>

// What a replacement does, as the dry run shows it: the variant, the bytes that may change, every
// rewritten field with its old and new value, and the blocks a growth moves. Sets the result's text and
// its JSON `plan`.
void describePlan(const ReplacePlan& plan, quint32 flashSize, CommandResult& result);
