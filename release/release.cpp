#include "release.h"

#include "crypto.h"
#include "durablefile.h"
#include "releasecheck.h"
#include "releasefolder.h"
#include "versiontext.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

const char usage[]
    = "usage: make-release [--login-url URL] [--server-url URL] [--update-url URL]\n"
      "           [--key KEY.pem] [--new-key NEW.pem] [--force] VERSION UPDATE_DIR FILE_OR_DIR...\n"
      "       make-release --new-key NEW.pem\n";

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

QByteArray element(const char *name, const QString &text)
{
    return "  <" + QByteArray(name) + ">" + text.toHtmlEscaped().toUtf8() + "</" + name + ">\n";
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
    if (problem.isEmpty() && !version.isEmpty())
        problem = readFolder();
    if (problem.isEmpty() && !version.isEmpty())
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
        std::printf("published %s in %s: %lld files%s\n", qUtf8Printable(version),
            qUtf8Printable(folder), static_cast<long long>(sources.size()),
            privateKeyPem.isEmpty() ? "" : ", signed");
    return 0;
}

QString Release::parse(const QStringList &arguments)
{
    const QList<std::pair<QString, QString *>> options { { u"--login-url"_s, &login },
        { u"--server-url"_s, &server }, { u"--update-url"_s, &update }, { u"--key"_s, &keyPath },
        { u"--new-key"_s, &newKeyPath } };
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
    if (given.isEmpty() && !newKeyPath.isEmpty())
        return {};
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
    if (hasControl(version) || hasControl(login) || hasControl(server) || hasControl(update))
        return u"the version and the addresses must not hold control characters"_s;
    return {};
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
            problem = copyFile(source, releases.stagingPath());
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

QString Release::writeList(ReleaseFolder &releases)
{
    QByteArray list = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<UpdateList>\n"
        + element("Version", version) + element("LoginUrl", login) + element("ServerUrl", server)
        + element("UpdateUrl", update);
    if (!privateKeyPem.isEmpty())
        list += element("PublicKey", QString::fromLatin1(publicKey.toBase64()));
    for (const Source &source : std::as_const(sources)) {
        const UpdateList::FileEntry &file = source.entry;
        list += "  <File Name=\"" + file.name.toHtmlEscaped().toUtf8() + "\" Sha256=\""
            + file.sha256.toLatin1() + "\" Size=\"" + file.size.toLatin1() + "\"";
        if (!file.executable.isEmpty())
            list += " Executable=\"yes\"";
        list += "/>\n";
    }
    list += "</UpdateList>\n";

    // Unsigned, the release has no signature at all: one of another list verifies nothing.
    const QString listPath = releases.stagingPath() + u"/UpdateList.xml"_s;
    QString problem = releases.step();
    if (problem.isEmpty() && !privateKeyPem.isEmpty()) {
        const QByteArray signature = Crypto::sign(privateKeyPem, list);
        problem = signature.isEmpty()
            ? u"cannot sign the list with %1"_s.arg(keyPath.isEmpty() ? newKeyPath : keyPath)
            : save(listPath + u".sig"_s, signature.toBase64());
        if (problem.isEmpty())
            problem = releases.step();
    }
    return problem.isEmpty() ? save(listPath, list) : problem;
}
