#pragma once

#include <QCursor>
#include <QGuiApplication>

// The busy cursor over every window of the program for the life of the object. Loads and writes run on
// the GUI thread, which paints nothing meanwhile; the cursor is the sign that the window is at work and
// not hung. Restored on every way out of the scope, a refusal's early return included.
class BusyCursor {
public:
    BusyCursor() { QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); }
    ~BusyCursor() { QGuiApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};
