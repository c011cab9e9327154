#pragma once

#include <QString>
#include <QtGlobal>

// tessel-cli maps the images it reads. Should another process cut an image file short meanwhile, the
// next read of a lost page raises SIGBUS; this turns that into a clean failure, as for any input that
// cannot be read: one line on stderr naming the input and exit status 2, instead of a core dump.
void stopCleanlyWhenAnInputShrinks();

// Names the input in that line: the one whose bytes lie at [start, start + length) once it is loaded, or
// (start null) the one being loaded now, whose scan reads every page before its address is known. A
// lost page nobody named gets the line without a name.
void nameInputForTruncation(const QString& name, const void* start = nullptr, qint64 length = 0);
// The named inputs are gone (unmapped).
void forgetInputNamesForTruncation();
