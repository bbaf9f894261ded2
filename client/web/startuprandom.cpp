#include "startuprandom.h"

namespace {
QString runRandom;
}

void StartupRandom::set(const QString &number)
{
    runRandom = number;
}

const QString &StartupRandom::value()
{
    return runRandom;
}
