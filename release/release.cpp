#include "release.h"

#include "crypto.h"
#include "durablefile.h"
#include "releasecheck.h"
#include "releasefolder.h"
#include "serverlist.h"
#include "versiontext.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

const char usage[]
    = "usage: make-release [--login-url URL] [--server-url URL] [--update-url URL]\n"
      "           [--key KEY.pem] [--new-key NEW.pem] [--force] [--notes FILE]\n"
      "           [--minimum VERSION] [--rollout N] [--expires DAYS]\n"
      "           VERSION UPDATE_DIR FILE_OR_DIR...\n"
      "       make-release [--key KEY.pem] [--force] [--rollout N] [--expires DAYS] UPDATE_DIR\n"
      "       make-release --new-key NEW.pem\n"
      "--notes FILE        what the release brings: UTF-8 text of at most 16 KiB\n"
      "--minimum VERSION   older installations must update; the others may put it off\n"
      "--rollout N         the share of installations, 0 to 100, that take the release\n"
      "                    (default 100; 0 halts it)\n"
      "--expires DAYS      installations take the list for DAYS days, 1 to 3650 (default 30\n"
      "                    when signed, never when unsigned)\n"
      "With UPDATE_DIR alone, --rollout or --expires republishes the served release, its\n"
      "files untouched, with only these changed.\n";

constexpr int defaultExpiryDays = 30;
constexpr int maxExpiryDays = 3650;

// parse() starts what is wrong with this when the command line itself is, so run() shows the usage.
const QString wrongCommand = u"usage: "_s;

// Writes a new file of the staged release, on the disk before the release is named.
QString save(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(data) != data.size()
        || !DurableFile::sync(file))
        return u"cannot write %1: %2"_s.arg(path, file.errorString());
    return {};
}

bool hasControl(const QString &text)
{
    return std::any_of(
        text.begin(), text.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

// A parser reads a carriage return as a line feed; as a reference it reads back as itself.
QByteArray element(const char *name, const QString &text)
{
    return "  <" + QByteArray(name) + ">" + text.toHtmlEscaped().toUtf8().replace('\r', "&#13;")
        + "</" + name + ">\n";
}

bool inRange(const QString &text, int low, int high)
{
    bool number = false;
    const int value = text.toInt(&number);
    return number && value >= low && value <= high;
}

} // namespace

int Release::run(const QStringList &arguments)
{
    QString problem = parse(arguments);
    if (problem.startsWith(wrongCommand)) {
        std::fprintf(stderr, "make-release: %s\n%s",
            qUtf8Printable(problem.mid(wrongCommand.size())), usage);
        return 2;
    }
    if (problem.isEmpty() && republish)
        problem = readServed();
    else if (problem.isEmpty() && !version.isEmpty())
        problem = readFolder();
    if (problem.isEmpty() && !version.isEmpty() && !republish)
        problem = collectSources();
    if (problem.isEmpty())
        problem = readKeys();
    if (problem.isEmpty() && !newKeyPath.isEmpty())
        problem = writeNewKey();
    if (problem.isEmpty() && !version.isEmpty())
        problem = publish();
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "make-release: %s\n", qUtf8Printable(problem));
        return 1;
    }
    if (!version.isEmpty())
        std::printf("%s %s in %s: %lld files%s\n", republish ? "republished" : "published",
            qUtf8Printable(version), qUtf8Printable(folder), static_cast<long long>(sources.size()),
            privateKeyPem.isEmpty() ? "" : ", signed");
    return 0;
}

QString Release::parse(const QStringList &arguments)
{
    const QList<std::pair<QString, QString *>> options { { u"--login-url"_s, &login },
        { u"--server-url"_s, &server }, { u"--update-url"_s, &update }, { u"--key"_s, &keyPath },
        { u"--new-key"_s, &newKeyPath }, { u"--notes"_s, &notesPath }, { u"--minimum"_s, &minimum },
        { u"--rollout"_s, &rollout }, { u"--expires"_s, &expiryDays } };
    qsizetype at = 0;
    for (; at < arguments.size() && arguments.at(at).startsWith(u'-'); ++at) {
        const QString &option = arguments.at(at);
        if (option == "--"_L1) {
            ++at;
            break;
        }
        if (option == "--force"_L1) {
            force = true;
            continue;
        }
        const auto known = std::find_if(options.begin(), options.end(),
            [&option](const auto &known) { return known.first == option; });
        if (known == options.end())
            return wrongCommand + u"unknown option "_s + option;
        if (++at == arguments.size() || arguments.at(at).isEmpty())
            return wrongCommand + option + u" needs a value"_s;
        *known->second = arguments.at(at);
    }
    given = arguments.mid(at);
    if (!rollout.isEmpty() && !inRange(rollout, 0, 100))
        return u"--rollout takes a whole number from 0 to 100 (0 halts the release)"_s;
    if (!expiryDays.isEmpty() && !inRange(expiryDays, 1, maxExpiryDays))
        return u"--expires takes a whole number of days from 1 to %1"_s.arg(maxExpiryDays);
    // As the list's reader takes it: no sign, no blanks.
    if (!rollout.isEmpty())
        rollout = QString::number(rollout.toInt());
    if (given.isEmpty() && !newKeyPath.isEmpty())
        return {};
    if (given.size() == 1 && (!rollout.isEmpty() || !expiryDays.isEmpty())) {
        republish = true;
        folder = given.takeFirst();
        if (!(login + server + update + newKeyPath + notesPath + minimum).isEmpty())
            return wrongCommand
                + u"republishing changes only --rollout and --expires; anything else is a release "
                  "with VERSION and files"_s;
        return {};
    }
    if (given.size() < 3)
        return wrongCommand + u"give VERSION, UPDATE_DIR and at least one FILE_OR_DIR"_s;
    version = given.takeFirst();
    folder = given.takeFirst();
    if (version.trimmed().isEmpty())
        return u"the version is empty"_s;
    return {};
}

QString Release::readFolder()
{
    const QString path = folder + u"/UpdateList.xml"_s;
    const UpdateList current = QFileInfo::exists(path) ? UpdateList::read(path) : UpdateList();
    if (QFileInfo::exists(path) && !current.isWellFormed() && !force)
        return u"%1 is not a well-formed update list (--force publishes over it)"_s.arg(path);
    if (current.contains(u"Version"_s) && !force) {
        const QString old = current.value(u"Version"_s);
        if (VersionText::compare(version, old) <= 0)
            return u"version %1 is not newer than %2, the folder's current one (--force publishes "
                   "it anyway)"_s.arg(version, old.trimmed());
    }
    currentKey = current.value(u"PublicKey"_s).trimmed();
    for (const auto &[address, name] : { std::pair { &login, u"LoginUrl"_s },
             std::pair { &server, u"ServerUrl"_s }, std::pair { &update, u"UpdateUrl"_s } }) {
        if (address->isEmpty())
            *address = current.value(name);
    }
    if (login.isEmpty() || server.isEmpty() || update.isEmpty())
        return u"give --login-url, --server-url and --update-url (or publish into a folder with "
               "a list)"_s;
    if (!update.endsWith(u'/'))
        return u"the update address must end with /"_s;
    if (hasControl(version) || hasControl(login) || hasControl(server) || hasControl(update)
        || hasControl(minimum))
        return u"the versions and the addresses must not hold control characters"_s;
    // Installations would stay below it after updating, and be told to update for ever.
    if (VersionText::compare(minimum, version) > 0)
        return u"the minimum version %1 is newer than the release"_s.arg(minimum);
    return notesPath.isEmpty() ? QString() : readNotes();
}

QString Release::readNotes()
{
    QFile file(notesPath);
    if (!file.open(QIODevice::ReadOnly))
        return u"cannot read the notes %1: %2"_s.arg(notesPath, file.errorString());
    // A byte order mark and one byte more than a list may carry: a longer file is refused unread,
    // one in between by the list's own check.
    const QByteArray bytes = file.read(ServerList::maxNotes + 4);
    if (!file.atEnd())
        return u"%1 holds more than the %2 bytes of a list's Notes"_s.arg(notesPath).arg(
            ServerList::maxNotes);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    notes = utf8(bytes);
    if (utf8.hasError())
        return u"%1 is not text in UTF-8"_s.arg(notesPath);
    return {};
}

QString Release::readServed()
{
    // The release folder itself: a run swapping another one in meanwhile changes nothing there.
    const QString served = QFileInfo(folder).canonicalFilePath();
    QFile file(served + u"/UpdateList.xml"_s);
    if (served.isEmpty() || !file.open(QIODevice::ReadOnly))
        return u"%1 serves no list to republish"_s.arg(folder);
    const QByteArray bytes = file.readAll();
    const UpdateList list = UpdateList::parse(bytes);
    version = list.value(u"Version"_s).trimmed();
    if (!list.isWellFormed() || version.isEmpty())
        return u"%1 is not a well-formed list with a Version"_s.arg(file.fileName());
    currentKey = list.value(u"PublicKey"_s).trimmed();
    // Signed again, a list changed on the server since would be blessed. A list that handed a
    // new key on was signed by the old one and does not verify so either.
    QFile signature(file.fileName() + u".sig"_s);
    if (!currentKey.isEmpty() && !force
        && !(signature.open(QIODevice::ReadOnly)
            && Crypto::verify(ServerList::publicKey(currentKey), bytes,
                QByteArray::fromBase64(signature.read(ServerList::signatureSizeCap)))))
        return u"the served list's signature does not verify with its PublicKey (--force "
               "republishes it anyway)"_s;
    login = list.value(u"LoginUrl"_s);
    server = list.value(u"ServerUrl"_s);
    update = list.value(u"UpdateUrl"_s);
    notes = list.value(u"Notes"_s);
    minimum = list.value(u"MinimumVersion"_s);
    if (rollout.isEmpty())
        rollout = list.value(u"Rollout"_s).trimmed();
    for (const UpdateList::FileEntry &entry : list.files()) {
        if (entry.sha256.isEmpty() || entry.size.isEmpty())
            return u"the served list gives %1 no Sha256 and Size"_s.arg(entry.name);
        sources.append({ served + u'/' + entry.name, entry });
    }
    return checkNames();
}

QString Release::collectSources()
{
    for (const QString &path : std::as_const(given)) {
        const QFileInfo info(path);
        QFileInfoList files;
        if (info.isDir())
            files = QDir(path).entryInfoList(QDir::Files | QDir::Hidden, QDir::Name);
        else if (info.isFile())
            files = { info };
        else
            return u"no such file or folder: %1"_s.arg(path);
        for (const QFileInfo &file : std::as_const(files))
            sources.append({ file.filePath(),
                { file.fileName(), {}, {}, file.isExecutable() ? u"yes"_s : QString() } });
    }
    if (sources.isEmpty())
        return u"no files to publish"_s;
    return checkNames();
}

QString Release::checkNames() const
{
    QList<UpdateList::FileEntry> entries;
    for (const Source &source : std::as_const(sources))
        entries.append(source.entry);
    const QString refused = ReleaseCheck::problem(entries, ReleaseCheck::reservedNames());
    if (!refused.isEmpty())
        return u"the updater would refuse this release: %1"_s.arg(refused);
    return {};
}

QString Release::readKeys()
{
    if (!keyPath.isEmpty()) {
        QFile key(keyPath);
        if (!key.open(QIODevice::ReadOnly))
            return u"cannot read the key %1: %2"_s.arg(keyPath, key.errorString());
        privateKeyPem = key.readAll();
        publicKey = Crypto::publicKey(privateKeyPem);
        if (publicKey.isEmpty())
            return u"%1 is not an Ed25519 private key in PEM form"_s.arg(keyPath);
    }
    if (!newKeyPath.isEmpty()) {
        const Crypto::KeyPair pair = Crypto::newKeyPair();
        if (pair.publicKey.isEmpty())
            return u"could not make a new key"_s;
        newKeyPem = pair.privateKeyPem;
        // Signed by the given key, the list hands the new one on; alone, the new key signs.
        if (privateKeyPem.isEmpty())
            privateKeyPem = newKeyPem;
        publicKey = pair.publicKey;
    }
    if (version.isEmpty() || currentKey.isEmpty() || force)
        return {};
    // Installations holding the folder's key take only lists that key signed.
    const QByteArray signer = Crypto::publicKey(privateKeyPem).toBase64();
    if (signer.isEmpty())
        return u"the folder's list is signed (it carries a PublicKey): sign with its key (--key), "
               "or --force to publish unsigned"_s;
    if (signer != currentKey.toLatin1())
        return u"installations holding the folder's PublicKey refuse a list signed by another key: "
               "sign with that key (and --new-key to hand a new one on), or --force"_s;
    return {};
}

QString Release::writeNewKey()
{
    QFile key(newKeyPath);
    if (!key.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner))
        return key.exists() || QFileInfo(newKeyPath).isSymLink()
            ? u"%1 exists already; a new key is never written over a file"_s.arg(newKeyPath)
            : u"cannot create %1: %2"_s.arg(newKeyPath, key.errorString());
    if (key.write(newKeyPem) != newKeyPem.size() || !key.flush()) {
        const QString reason = key.errorString();
        key.remove();
        return u"cannot write %1: %2"_s.arg(newKeyPath, reason);
    }
    std::printf("<PublicKey>%s</PublicKey>\n", publicKey.toBase64().constData());
    return {};
}

QString Release::publish()
{
    ReleaseFolder releases(folder);
    releases.setStepHook(stepHook);
    QString problem = releases.begin();
    for (Source &source : sources) {
        if (problem.isEmpty())
            problem = releases.step();
        if (problem.isEmpty())
            problem = republish ? keepFile(source, releases.stagingPath())
                                : copyFile(source, releases.stagingPath());
    }
    if (problem.isEmpty())
        problem = writeList(releases);
    return problem.isEmpty() ? releases.publish(version) : problem;
}

QString Release::copyFile(Source &source, const QString &into)
{
    QFile in(source.path);
    if (!in.open(QIODevice::ReadOnly))
        return u"cannot read %1: %2"_s.arg(source.path, in.errorString());
    const QString target = into + u'/' + source.entry.name;
    QFile out(target);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return u"cannot write %1: %2"_s.arg(target, out.errorString());
    // What the list states is what was copied, even if the source changes meanwhile.
    Crypto hash;
    qint64 size = 0;
    QByteArray block(4 * 1024 * 1024, Qt::Uninitialized);
    for (qint64 got; (got = in.read(block.data(), block.size())) != 0;) {
        if (got < 0)
            return u"cannot read %1: %2"_s.arg(source.path, in.errorString());
        const QByteArrayView data(block.constData(), got);
        hash.addData(data);
        size += got;
        if (out.write(data.data(), got) != got)
            return u"cannot write %1: %2"_s.arg(target, out.errorString());
    }
    if (!DurableFile::sync(out))
        return u"cannot write %1: %2"_s.arg(target, out.errorString());
    source.entry.sha256 = QString::fromLatin1(hash.result().toHex());
    source.entry.size = QString::number(size);
    return {};
}

QString Release::keepFile(const Source &source, const QString &into) const
{
    // A link would let the release change with whatever it points to.
    if (!DurableFile::isPlainFile(source.path))
        return u"the served %1 is not a plain file"_s.arg(source.path);
    const QString target = into + u'/' + source.entry.name;
    // Beside the staging folder, among the run's temporary entries, so no copy halfway is ever
    // part of a release.
    QString problem = DurableFile::keep(source.path, target, into + u".copy"_s);
    if (!problem.isEmpty())
        return u"cannot put %1 into the new release: %2"_s.arg(source.path, problem);
    // The list is signed again as it stands, so the file must be the one it names.
    if (QString::fromLatin1(Crypto::fileSha256(target).toHex())
            .compare(source.entry.sha256, Qt::CaseInsensitive)
        != 0)
        return u"the served %1 is not the file its list names"_s.arg(source.path);
    return {};
}

QString Release::writeList(ReleaseFolder &releases)
{
    QByteArray list = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<UpdateList>\n"
        + element("Version", version) + element("LoginUrl", login) + element("ServerUrl", server)
        + element("UpdateUrl", update);
    if (!privateKeyPem.isEmpty())
        list += element("PublicKey", QString::fromLatin1(publicKey.toBase64()));
    const QString days = expiryDays.isEmpty() && !privateKeyPem.isEmpty()
        ? QString::number(defaultExpiryDays)
        : expiryDays;
    const QString expires = days.isEmpty()
        ? QString()
        : QDateTime::currentDateTimeUtc().addDays(days.toInt()).toString(Qt::ISODate);
    for (const auto &[name, text] :
        { std::pair { "Notes", notes }, std::pair { "MinimumVersion", minimum },
            std::pair { "Rollout", rollout }, std::pair { "Expires", expires } }) {
        if (!text.isEmpty())
            list += element(name, text);
    }
    for (const Source &source : std::as_const(sources)) {
        const UpdateList::FileEntry &file = source.entry;
        list += "  <File Name=\"" + file.name.toHtmlEscaped().toUtf8() + "\" Sha256=\""
            + file.sha256.toLatin1() + "\" Size=\"" + file.size.toLatin1() + "\"";
        if (!file.executable.isEmpty())
            list += " Executable=\"yes\"";
        list += "/>\n";
    }
    list += "</UpdateList>\n";

    const QByteArray signature
        = privateKeyPem.isEmpty() ? QByteArray() : Crypto::sign(privateKeyPem, list);
    if (!privateKeyPem.isEmpty() && signature.isEmpty())
        return u"cannot sign the list with %1"_s.arg(keyPath.isEmpty() ? newKeyPath : keyPath);
    // Judged by the updater's own code as the installations holding the signer's key (or none)
    // will judge it: a list they would refuse is never published.
    const QByteArray holder = privateKeyPem.isEmpty()
        ? QByteArray()
        : "<PublicKey>" + Crypto::publicKey(privateKeyPem).toBase64() + "</PublicKey>";
    UpdateList judged;
    const QString refused
        = ServerList::judge(UpdateList::parse("<UpdateList>" + holder + "</UpdateList>"), list,
            signature.toBase64(), &judged);
    if (!refused.isEmpty())
        return u"installations would refuse the list: %1"_s.arg(refused);

    // Unsigned, the release has no signature at all: one of another list verifies nothing.
    const QString listPath = releases.stagingPath() + u"/UpdateList.xml"_s;
    QString problem = releases.step();
    if (problem.isEmpty() && !signature.isEmpty()) {
        problem = save(listPath + u".sig"_s, signature.toBase64());
        if (problem.isEmpty())
            problem = releases.step();
    }
    return problem.isEmpty() ? save(listPath, list) : problem;
}
