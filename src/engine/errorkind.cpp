#include "engine/errorkind.h"

namespace engine {

QString errorTitle(ErrorKind kind)
{
    switch (kind) {
    case ErrorKind::None:
        return QString();
    case ErrorKind::ParseStylesheet:
        return QStringLiteral("Error Parsing XSLT Document");
    case ErrorKind::ParseSource:
        return QStringLiteral("Error Parsing XML Document");
    case ErrorKind::ParseResult:
        return QStringLiteral("Error Parsing Preview Document");
    default:
        return QStringLiteral("Error");
    }
}

bool isParseError(ErrorKind kind)
{
    return kind == ErrorKind::ParseStylesheet || kind == ErrorKind::ParseSource;
}

} // namespace engine
