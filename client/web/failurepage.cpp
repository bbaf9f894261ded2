#include "failurepage.h"

#include <QUrl>

QString FailurePage::html(const QUrl &retry, const QString &reason)
{
    const QString retryLink = retry.isValid() && !retry.isRelative()
        ? QStringLiteral("<br/><a id=retry href=\"%1\">重试</a>")
              .arg(retry.toString(QUrl::FullyEncoded).toHtmlEscaped())
        : QString();
    const QString reasonLine
        = reason.isEmpty() ? QString() : QStringLiteral("<br/>") + reason.toHtmlEscaped();
    return QStringLiteral(
        "<html><head><style>body{background:#50BFD3;font-family:'宋体';font-size:12px;"
        "text-align:center;margin:0;padding:0;}.c{width:260px;padding-top:10px;margin:50px "
        "auto;text-align:left}.c .e{margin-top:8px;margin-left:30px;color:#FF3300;width:150px;"
        "border:1px #FFCC33 solid;line-height:20px;-moz-border-radius:4px;-webkit-border-radius:"
        "4px;padding:0px 4px;background:#FBF9E9;text-align:center}.c .e a{color:#1A96B6}"
        "</style></head><body><div class=c><div id=err class=e>连接失败!<br/>请检查您的网络状况"
        "<br/>或联系我们...%1%2</div></div></body></html>")
        .arg(reasonLine, retryLink);
}
