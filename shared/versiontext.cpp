#include "versiontext.h"

#include <QRegularExpression>
#include <QStringView>

namespace {

bool isNumeric(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    return pattern.match(text).hasMatch();
}

// Compares two runs of digits of any length without converting them, so that a part too long
// for an integer still orders correctly.
int compareNumbers(QStringView a, QStringView b)
{
    while (a.size() > 1 && a.front() == u'0')
        a = a.mid(1);
    while (b.size() > 1 && b.front() == u'0')
        b = b.mid(1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

} // namespace

int VersionText::compare(const QString &a, const QString &b)
{
    if (!isNumeric(a) || !isNumeric(b))
        return a.compare(b);
    const QList<QStringView> left = QStringView(a).split(u'.');
    const QList<QStringView> right = QStringView(b).split(u'.');
    const qsizetype parts = std::max(left.size(), right.size());
    static const QString zero = QStringLiteral("0");
    for (qsizetype i = 0; i < parts; ++i) {
        const int order = compareNumbers(i < left.size() ? left.at(i) : QStringView(zero),
            i < right.size() ? right.at(i) : QStringView(zero));
        if (order != 0)
            return order;
    }
    return 0;
}
