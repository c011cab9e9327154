#include "ops/export/blockfilename.h"

#include <QChar>

namespace {

// A separator would move the dialog to another folder ('\' does on Windows); a control character (tab,
// newline) would end up inside the file's name; a bidirectional formatting character (U+202E turns
// "\u202egnp.e" into "e.png" on screen) makes the name shown differ from the file made.
bool keptInFileName(QChar character)
{
    const char16_t code = character.unicode();
    const bool bidirectionalFormatting = code == 0x061C || code == 0x200E || code == 0x200F
        || (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
    return code != '/' && code != '\\' && character.category() != QChar::Other_Control
        && !bidirectionalFormatting;
}

} // namespace

QString proposedBlockFileName(const QString& nameText, const QString& idText)
{
    // A file name cannot hold a zero character: the name counts up to its first one.
    const QString name = nameText.left(nameText.indexOf(QChar(0)));
    QString fileName;
    for (const QChar character : name)
        if (keptInFileName(character))
            fileName += character;
    // A leading dot hides the file, and "." or ".." name folders, not files; a leading "~" is a home
    // folder to the file dialog ("~root" takes it to /root).
    int dots = 0;
    while (dots < fileName.size()
        && (fileName.at(dots) == QLatin1Char('.') || fileName.at(dots) == QLatin1Char('~')))
        ++dots;
    fileName.remove(0, dots);
    return fileName.isEmpty() ? idText : fileName;
}
