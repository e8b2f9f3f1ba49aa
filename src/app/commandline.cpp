#include "app/commandline.h"

namespace {

const char kUsage[] =
    "Usage: zendrik [OPTION...] [FILE...]\n"
    "An editor for XSLT stylesheets.\n"
    "\n"
    "Each .xsl or .xslt FILE opens as a stylesheet in a window of its own; any other FILE\n"
    "becomes the XML source of the stylesheet opened before it (or of a new window).\n"
    "A FILE may also be an http:// or https:// address.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this help and exit\n"
    "  -v, --version  show the version and exit\n"
    "\n"
    "Qt's own options (-platform, -style, -display, -geometry, ...) are passed on to Qt.\n";

// Options that Qt's application classes and its X11 platform plugin take from the command line.
const char *const kToolkitWithValue[] = {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                                         "qwindowicon", "qwindowtitle", "session", "style", "stylesheet",
                                         "display", "geometry", "title", "icon", "name", "visual"};
const char *const kToolkitFlags[] = {"reverse", "widgetcount", "testability", "nograb", "dograb", "sync"};
// Taken as "-name=value" only.
const char *const kToolkitJoined[] = {"style=", "stylesheet=", "qmljsdebugger="};

// How many arguments a toolkit option at a takes (with its value), 0 when a is none.
int toolkitOption(const QString &a)
{
    if (!a.startsWith(QLatin1Char('-')) || a == QLatin1String("-") || a == QLatin1String("--"))
        return 0;
    const QString name = a.mid(a.startsWith(QLatin1String("--")) ? 2 : 1);
    for (const char *o : kToolkitWithValue)
        if (name == QLatin1String(o))
            return 2;
    for (const char *o : kToolkitFlags)
        if (name == QLatin1String(o))
            return 1;
    for (const char *o : kToolkitJoined)
        if (name.startsWith(QLatin1String(o)))
            return 1;
    return 0;
}

CommandLine usageError(const QString &text)
{
    CommandLine cl;
    cl.output = QStringLiteral("zendrik: %1\nTry \"zendrik --help\" for more information.\n").arg(text);
    cl.toError = true;
    cl.exitCode = 2;
    return cl;
}

} // namespace

CommandLine readCommandLine(const QStringList &arguments, const QString &version)
{
    CommandLine cl;
    bool options = true;
    QString unknown, valueless;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        if (options && a == QLatin1String("--")) {
            options = false;
        } else if (options && (a == QLatin1String("-h") || a == QLatin1String("--help"))) {
            cl.output = QString::fromLatin1(kUsage);
            return cl;
        } else if (options && (a == QLatin1String("-v") || a == QLatin1String("--version"))) {
            cl.output = QStringLiteral("Zendrik %1\n").arg(version);
            return cl;
        } else if (const int taken = options ? toolkitOption(a) : 0) {
            if (i + taken > arguments.size()) {
                if (valueless.isEmpty() && unknown.isEmpty())
                    valueless = a;
                continue;
            }
            cl.toolkit += arguments.mid(i, taken);
            i += taken - 1;
        } else if (options && a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            if (unknown.isEmpty() && valueless.isEmpty())
                unknown = a;
        } else if (!a.isEmpty()) {
            cl.files << a;
        }
    }
    if (!unknown.isEmpty())
        return usageError(QStringLiteral("unknown option \"%1\"").arg(unknown));
    if (!valueless.isEmpty())
        return usageError(QStringLiteral("option \"%1\" needs a value").arg(valueless));
    return cl;
}
