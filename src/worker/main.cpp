// zendrik-engine: the program's worker process. It reads requests from its standard input and
// writes each answer to its standard output, one at a time, for as long as its input is open.
// Whatever a stylesheet, an expression or a schema does here (run forever, take all memory,
// crash libxml2) costs the program one answer, never a window: the program can end this
// process at any moment, and this process ends by itself when the program is gone.
#include "engine/engineprotocol.h"
#include "engine/requesthandler.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <new>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define ZENDRIK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZENDRIK_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef ZENDRIK_ADDRESS_SANITIZER
// AddressSanitizer reserves terabytes of address space for its shadow memory, so a cap on the
// address space would stop this process at its start. Its own allocator caps the heap instead:
// over the limit the program sets in the environment, allocations fail as they would under the
// plain cap.
extern "C" const char *__asan_default_options()
{
    static char options[128];
    const char *mb = std::getenv("ZENDRIK_ENGINE_MEMORY_MB");
    const long limit = mb ? std::strtol(mb, nullptr, 10) : 0;
    if (limit > 0)
        std::snprintf(options, sizeof options, "allocator_may_return_null=1:soft_rss_limit_mb=%ld", limit);
    else
        std::snprintf(options, sizeof options, "allocator_may_return_null=1");
    return options;
}
#endif

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
#ifdef ZENDRIK_ADDRESS_SANITIZER
    Q_UNUSED(megabytes);
#else
    if (megabytes <= 0)
        return;
    rlimit limit;
    limit.rlim_cur = limit.rlim_max = rlim_t(megabytes) * 1024 * 1024;
    setrlimit(RLIMIT_AS, &limit);
#endif
}

// Ends this process when the program is gone. The program asks the kernel for SIGKILL when it
// dies; should that not reach us (the program was started in a way that drops it), the input
// pipe tells: its writing end closes with the program, also while we are deep in a transform
// and nobody reads the pipe. poll() reports a hang-up whatever events are asked for, so this
// never takes data meant for the main loop.
void watchForTheProgramsEnd(pid_t parent)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (parent != 0 && ::getppid() != parent)
        _exit(0); // the program ended before the request above was in place
    std::thread([] {
        pollfd input{STDIN_FILENO, 0, 0};
        for (;;) {
            const int n = ::poll(&input, 1, -1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 || (input.revents & (POLLHUP | POLLERR | POLLNVAL)))
                _exit(0);
        }
    }).detach();
}

} // namespace

int main(int argc, char **argv)
{
    const pid_t parent = ::getppid();
    QCoreApplication app(argc, argv);
    qint64 memoryMb = 0;
    const QStringList args = app.arguments();
    const qsizetype at = args.indexOf(QStringLiteral("--memory-mb"));
    if (at >= 0 && at + 1 < args.size())
        memoryMb = args.at(at + 1).toLongLong();
    capMemory(memoryMb);
    watchForTheProgramsEnd(parent);

    engine::RequestHandler handler(memoryMb);
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
            QByteArray answer;
            bool outOfMemory = false;
            try {
                answer = engine::frame(handler.handle(request).toCbor());
                outOfMemory = handler.ranOutOfMemory();
            } catch (const std::bad_alloc &) {
                // The answer itself did not fit: a short one says why.
                engine::Response failed;
                failed.id = request.id;
                failed.window = request.window;
                failed.generation = request.generation;
                failed.kind = request.kind;
                failed.failure = engine::Failure::OutOfMemory;
                failed.failureText = engine::failureMessage(request.kind, engine::Failure::OutOfMemory, QString::number(memoryMb));
                if (request.kind == engine::Kind::Transform) {
                    failed.result.title = QStringLiteral("Error");
                    failed.result.text = failed.failureText;
                }
                answer = engine::frame(failed.toCbor());
                outOfMemory = true;
            }
            if (!writeAll(answer))
                return 1;
            answer.clear();
            // What a large document took goes back to the system while the worker waits.
            malloc_trim(0);
            // Memory ran out somewhere inside libxml2 or libxslt, which may have left them
            // half way through: the next request gets a fresh process.
            if (outOfMemory)
                return 3;
        }
        if (!intact) {
            const QByteArray text = error.toUtf8();
            (void)!::write(STDERR_FILENO, text.constData(), size_t(text.size()));
            return 2;
        }
    }
}
