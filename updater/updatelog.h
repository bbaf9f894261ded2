#pragma once

#include <QLoggingCategory>

// The updater's one category; every diagnostic line of the updater goes through it.
Q_DECLARE_LOGGING_CATEGORY(lcUpdate)
