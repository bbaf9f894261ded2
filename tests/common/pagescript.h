#pragma once

#include <QTest>
#include <QWebEnginePage>

#include <memory>
#include <optional>

// What a script ends with in the page, waiting briefly: QTRY_* counts tries, not the clock. An
// answer that comes after the wait must not land in a variable that is gone.
inline QVariant runScript(QWebEnginePage *page, const QString &script)
{
    const auto result = std::make_shared<std::optional<QVariant>>();
    page->runJavaScript(script, [result](const QVariant &value) { *result = value; });
    [[maybe_unused]] const bool answered
        = QTest::qWaitFor([&result] { return result->has_value(); }, 2000);
    return result->value_or(QVariant());
}
