#pragma once

#include <QString>

// Sets the style sheet read from `path` on the whole application, up to its first NUL byte.
// A sheet that cannot be read leaves the platform's look: the empty text is set.
void applyStyleSheet(const QString& path = QStringLiteral(":/global.qss"));
