#pragma once

#include "diskinfo.h"

#include <QString>

// The key that identifies this computer to the login page: the MD5 of its disk serial.
namespace MachineKey {

// The serial field of a record: the 8-bit text from its offset up to the first NUL, or up to
// the record's end when there is none, without leading and trailing white space.
QString serialFrom(const DiskInfo::Record &record);

// 32 lowercase hexadecimal digits; an empty serial gives the MD5 of the empty text.
QString fromSerial(const QString &serial);

// The key of this computer's disk, read afresh.
QString current();

} // namespace MachineKey
