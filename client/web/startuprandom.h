#pragma once

#include <QString>

// The run's random number, which every page's user agent ends with. Start-up draws it before
// the first page exists; the web layer only reads it.
namespace StartupRandom {

void set(const QString &number);

// Empty until start-up has drawn the number.
const QString &value();

} // namespace StartupRandom
