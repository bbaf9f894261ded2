#pragma once

#include <QString>

class QObject;
class QTime;

// Pieces of the client's start-up that the rest of the client and the tests reach.
namespace Startup {

// Seed drawn from the clock: milliseconds + 10000 x seconds of the local time, 0 to 590999.
quint32 seedFor(const QTime &time);

// The number one seed gives: non-negative, below 2^31, in decimal digits.
QString randomFor(quint32 seed);

// Draws the run's number from the seed once and hands it to the web layer (StartupRandom),
// whose pages' user agent ends with it.
void drawStartupRandom(const QTime &time);

// Qt's Chinese translation of its own dialogs and of the web engine's menus, each from the
// program directory first, then from Qt's translations folder; installed in the application
// when found.
void installTranslations(QObject *owner);

// What Qt itself would keep in the user's home folder stays out of it: the OpenGL shader cache
// is off, and Qt's own settings (the file dialog's history) live in the program directory's
// cache/. Called before the application object exists.
void keepQtOutOfHome();

} // namespace Startup
