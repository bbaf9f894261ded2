#include "releasecheck.h"

#include "installer.h"

#include <QSet>

#include <algorithm>

namespace {

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool isHexDigit(QChar c)
{
    return isDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Windows reads a device name in the part before the first dot, without the blanks and dots
// that end it; a digit after COM and LPT may be a superscript one.
bool isDeviceName(const QString &name)
{
    QString stem = name.section(u'.', 0, 0);
    while (stem.endsWith(u' ') || stem.endsWith(u'.'))
        stem.chop(1);
    stem = stem.toLower();
    static const QSet<QString> devices { QStringLiteral("con"), QStringLiteral("prn"),
        QStringLiteral("aux"), QStringLiteral("nul"), QStringLiteral("conin$"),
        QStringLiteral("conout$") };
    if (devices.contains(stem))
        return true;
    if (stem.size() != 4 || !(stem.startsWith(u"com") || stem.startsWith(u"lpt")))
        return false;
    const QChar digit = stem.at(3);
    return isDigit(digit) || digit == QChar(0xb9) || digit == QChar(0xb2) || digit == QChar(0xb3);
}

} // namespace

bool ReleaseCheck::isPlainName(const QString &name)
{
    if (name.isEmpty() || name == u"." || name == u".." || !name.isValidUtf16()
        || name.endsWith(u'.') || name.endsWith(u' '))
        return false;
    // Code unit by code unit: every character refused here lies in the basic plane, and the
    // text is known to be valid UTF-16.
    for (const QChar c : name) {
        const char16_t unit = c.unicode();
        if (unit < 0x20 || (unit >= 0x7f && unit <= 0x9f)
            || QStringView(u"<>:\"/\\|?*").contains(c))
            return false;
    }
    return !isDeviceName(name);
}

QString ReleaseCheck::sameness(const QString &name)
{
    return name.normalized(QString::NormalizationForm_C).toCaseFolded();
}

QStringList ReleaseCheck::reservedNames()
{
    return { QStringLiteral("UpdateList.xml"), QStringLiteral("UpdateList.xml.sig"),
        QStringLiteral("skip-version"), QStringLiteral("bad-version"), ProgramDir::updateLockName,
        ProgramDir::checkDirName, QStringLiteral("partial"), Installer::journalName,
        Installer::backupName, Installer::addedName, Installer::discardName, Installer::copyName,
        Installer::previousName, ProgramDir::unconfirmedName, QStringLiteral("temp"),
        QStringLiteral("cache"), QStringLiteral("plugins") };
}

QString ReleaseCheck::problem(
    const QList<UpdateList::FileEntry> &files, const QStringList &reserved)
{
    QSet<QString> seen;
    seen.reserve(reserved.size() + files.size());
    for (const QString &name : reserved)
        seen.insert(sameness(name));
    for (const UpdateList::FileEntry &file : files) {
        if (!isPlainName(file.name))
            return QStringLiteral("not a plain file name: \"%1\"").arg(file.name);
        const QString same = sameness(file.name);
        if (seen.contains(same))
            return QStringLiteral("name listed twice or reserved: \"%1\"").arg(file.name);
        seen.insert(same);
        if (!file.sha256.isEmpty()
            && (file.sha256.size() != 64
                || !std::all_of(file.sha256.begin(), file.sha256.end(), isHexDigit)))
            return QStringLiteral("Sha256 of %1 is not 64 hexadecimal digits").arg(file.name);
        if (!file.size.isEmpty()
            && (file.size.size() > 18 || !std::all_of(file.size.begin(), file.size.end(), isDigit)))
            return QStringLiteral("Size of %1 is not a number of bytes").arg(file.name);
        if (!file.executable.isEmpty() && file.executable != u"yes")
            return QStringLiteral("Executable of %1 is not \"yes\"").arg(file.name);
    }
    return {};
}
