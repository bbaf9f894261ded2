#include "diskinfo.h"

#include "programdir.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#include <winioctl.h>
#else
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

namespace {

#ifdef Q_OS_WIN

QByteArray readSerial()
{
    const HANDLE drive = CreateFileW(L"\\\\.\\PhysicalDrive0", 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (drive == INVALID_HANDLE_VALUE)
        return {};
    STORAGE_PROPERTY_QUERY query {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    QByteArray buffer(4096, '\0');
    DWORD returned = 0;
    const bool ok = DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                        buffer.data(), DWORD(buffer.size()), &returned, nullptr)
        != FALSE;
    CloseHandle(drive);
    if (!ok || returned < sizeof(STORAGE_DEVICE_DESCRIPTOR))
        return {};
    const auto *descriptor
        = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR *>(buffer.constData());
    const DWORD offset = descriptor->SerialNumberOffset;
    if (offset == 0 || offset >= returned)
        return {};
    const char *serial = buffer.constData() + offset;
    return QByteArray(serial, qsizetype(qstrnlen(serial, returned - offset)));
}

#else

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

// The block device holding the program directory, through sysfs, and from a partition up to its
// disk; the serial from the disk's own attributes, else from what udev recorded.
QByteArray readSerial()
{
    struct stat info;
    if (stat(QFile::encodeName(ProgramDir::path()).constData(), &info) != 0)
        return {};
    const QString device = QStringLiteral("%1:%2").arg(major(info.st_dev)).arg(minor(info.st_dev));
    QString disk = QFileInfo(QStringLiteral("/sys/dev/block/") + device).canonicalFilePath();
    if (disk.isEmpty())
        return {};
    if (QFileInfo::exists(disk + QStringLiteral("/partition")))
        disk = QFileInfo(disk).path();
    for (const QString &name : { QStringLiteral("/serial"), QStringLiteral("/device/serial") }) {
        const QByteArray serial = readFile(disk + name);
        if (!serial.isEmpty())
            return serial;
    }
    const QByteArray diskDevice = readFile(disk + QStringLiteral("/dev"));
    const QByteArray key = "E:ID_SERIAL_SHORT=";
    for (const QByteArray &line :
        readFile(QStringLiteral("/run/udev/data/b") + QString::fromLatin1(diskDevice))
            .split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size());
    }
    return {};
}

#endif

} // namespace

void DiskInfo::getDiskInfo(Record &record)
{
    record.fill('\0');
    const QByteArray serial = readSerial();
    // The field keeps its terminating NUL, however long a serial the system reports.
    std::copy_n(serial.constData(), qMin<qsizetype>(serial.size(), recordSize - serialOffset - 1),
        record.begin() + serialOffset);
}
