#pragma once

#include <QUrl>

class QString;

// What a page may hand to the system's handler. The handler, a browser or a mail program, acts
// on all it is given, and some act on more than a page should ask for: a mail program attaches
// the file an "attach" field names, a line break adds a header of the page's choosing, and a
// web address without a host may be taken for a local file.
namespace HandlerAddress {

// The address to hand over: http or https with a host, or mailto whose fields are only to, cc,
// bcc, subject and body, in any case. Anything else, and any address with a control character
// or line break once percent-decoded, gives an empty address.
QUrl checked(const QString &address);

} // namespace HandlerAddress
