#pragma once

#include <QString>

// Sets the style sheet read from `path` on the whole application, up to its first NUL byte.
// A sheet that cannot be read leaves the platform's look: the empty text is set.
void applyStyleSheet(const QString& path = QStringLiteral(":/global.qss"));

// Gives the whole application the toolkit's own light palette, the one the style sheet was drawn on. The
// sheet sets the blue of the text but leaves most backgrounds to the palette: on a dark desktop palette
// that blue would stand on near-black.
void applyLightPalette();
