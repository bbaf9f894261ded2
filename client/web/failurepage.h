#pragma once

#include <QString>

class QUrl;

// The client's own "连接失败!" page: why the address could not be shown, with a reason line
// when there is one, and 重试 to load the address again when it is one that can be loaded.
namespace FailurePage {

QString html(const QUrl &retry, const QString &reason);

} // namespace FailurePage
