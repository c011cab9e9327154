#pragma once

#include <QString>

// The file name "Save as..." proposes for a block: its name as the table shows it (`nameText`), cut at the
// first zero character and kept to one plain file in the dialog's folder, or `idText` when nothing of the
// name is left.
QString proposedBlockFileName(const QString& nameText, const QString& idText);
