#pragma once

#include "blockentry.h"

#include <QString>
#include <QStringList>

// The block table's columns: what the window's table and `list` show of an entry, in their order. A
// front end finds a column by what it holds (the ID a row acts on, the name "Save as..." proposes), never
// by its number.
namespace BlockColumns {

enum Column { Id, Size, Crc, Name, Version, Time };
inline constexpr int count = Time + 1;

// The column's header, untranslated (the window translates it, `list` prints it as it is).
const char* title(Column column);
QStringList titles();

// The text `entry` shows in the column.
QString text(const BlockEntry& entry, Column column);
// Every column's text, in column order.
QStringList texts(const BlockEntry& entry);

} // namespace BlockColumns
