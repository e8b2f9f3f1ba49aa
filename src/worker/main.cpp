// zendrik-engine: the program's worker process. It reads requests from its standard input and
// writes each answer to its standard output, one at a time, for as long as its input is open.
// Whatever a stylesheet does here (run forever, take all memory, crash libxslt) costs the
// program one preview, never a window: the program can end this process at any moment.
#include "engine/engineprotocol.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>
#include <new>
#include <sys/resource.h>
#include <unistd.h>

namespace {

bool writeAll(const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// The address space this process may use, so a runaway stylesheet fails an allocation instead
// of taking the machine's memory.
void capMemory(qint64 megabytes)
{
    if (megabytes <= 0)
        return;
    rlimit limit;
    limit.rlim_cur = limit.rlim_max = rlim_t(megabytes) * 1024 * 1024;
    setrlimit(RLIMIT_AS, &limit);
}

bool outOfMemory(const QString &text)
{
    return text.contains(QLatin1String("Memory allocation failed"), Qt::CaseInsensitive)
           || text.contains(QLatin1String("out of memory"), Qt::CaseInsensitive);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qint64 memoryMb = 0;
    const QStringList args = app.arguments();
    const qsizetype at = args.indexOf(QStringLiteral("--memory-mb"));
    if (at >= 0 && at + 1 < args.size())
        memoryMb = args.at(at + 1).toLongLong();
    capMemory(memoryMb);

    QByteArray buffer;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0; // the program closed the pipe or went away
        buffer.append(chunk, n);
        QList<QCborMap> messages;
        QString error;
        const bool intact = engine::takeFrames(buffer, &messages, &error);
        for (const QCborMap &message : std::as_const(messages)) {
            const engine::Request request = engine::Request::fromCbor(message);
            engine::Response response;
            try {
                response = engine::handle(request);
            } catch (const std::bad_alloc &) {
                response.id = request.id;
                response.window = request.window;
                response.generation = request.generation;
                response.result.title = QStringLiteral("Error");
                response.result.text = QStringLiteral("out of memory");
            }
            if (!response.result.ok && memoryMb > 0 && outOfMemory(response.result.text))
                response.result.text = QStringLiteral("The transformation needed more than %1 MB.\n").arg(memoryMb);
            if (!writeAll(engine::frame(response.toCbor())))
                return 1;
        }
        if (!intact) {
            ::write(STDERR_FILENO, error.toUtf8().constData(), size_t(error.toUtf8().size()));
            return 2;
        }
    }
}
