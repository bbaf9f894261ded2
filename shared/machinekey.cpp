#include "machinekey.h"

#include <QCryptographicHash>

#include <algorithm>

QString MachineKey::serialFrom(const DiskInfo::Record &record)
{
    const auto begin = record.cbegin() + DiskInfo::serialOffset;
    const auto end = std::find(begin, record.cend(), '\0');
    return QString::fromLocal8Bit(&*begin, end - begin).trimmed();
}

QString MachineKey::fromSerial(const QString &serial)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(serial.toLocal8Bit(), QCryptographicHash::Md5).toHex());
}

QString MachineKey::current()
{
    DiskInfo::Record record;
    DiskInfo::getDiskInfo(record);
    return fromSerial(serialFrom(record));
}
