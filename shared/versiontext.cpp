#include "versiontext.h"

#include <QStringView>

namespace {

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Without the surrounding white space and the trailing ".0" parts.
QStringView significant(const QString &text)
{
    QStringView version = QStringView(text).trimmed();
    for (;;) {
        qsizetype start = version.size();
        while (start > 0 && version.at(start - 1) == u'0')
            --start;
        if (start == version.size() || start == 0 || version.at(start - 1) != u'.')
            return version;
        version.truncate(start - 1);
    }
}

// The run of digits or of other characters that starts at from.
QStringView runAt(QStringView text, qsizetype from)
{
    const bool digits = isDigit(text.at(from));
    qsizetype end = from + 1;
    while (end < text.size() && isDigit(text.at(end)) == digits)
        ++end;
    return text.sliced(from, end - from);
}

// Two runs of digits of any length, compared as numbers without converting them.
int compareNumbers(QStringView a, QStringView b)
{
    while (a.size() > 1 && a.front() == u'0')
        a = a.sliced(1);
    while (b.size() > 1 && b.front() == u'0')
        b = b.sliced(1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

} // namespace

int VersionText::compare(const QString &a, const QString &b)
{
    const QStringView left = significant(a);
    const QStringView right = significant(b);
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < left.size() && j < right.size()) {
        const QStringView x = runAt(left, i);
        const QStringView y = runAt(right, j);
        int order;
        if (isDigit(x.front()) && isDigit(y.front()))
            order = compareNumbers(x, y);
        else if (isDigit(x.front()) != isDigit(y.front()))
            order = x.front() < y.front() ? -1 : 1;
        else
            order = x.compare(y);
        if (order != 0)
            return order < 0 ? -1 : 1;
        i += x.size();
        j += y.size();
    }
    if (i < left.size())
        return 1;
    return j < right.size() ? -1 : 0;
}
