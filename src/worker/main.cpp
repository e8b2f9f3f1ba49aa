// zendrik-engine: the program's worker process. It reads requests from its standard input and
// writes each answer to its standard output, one at a time, for as long as its input is open.
// Whatever a stylesheet, an expression or a schema does here (run forever, take all memory,
// crash libxml2) costs the program one answer, never a window: the program can end this
// process at any moment, and this process ends by itself when the program is gone.
#include "engine/engineprotocol.h"
#include "engine/outofmemory.h"
#include "engine/requesthandler.h"

#include <QCoreApplication>

#include <libxml/xmlmemory.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#ifdef ZENDRIK_MIMALLOC
#include <mimalloc.h>
#endif
#include <new>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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
// plain cap. An error it finds ends the process with SIGABRT, so the program sees a crash.
//
// This runs before the sanitizer is set up: it may neither touch instrumented memory nor call
// a C library function the sanitizer intercepts (getenv, strlen, read, snprintf all crash here),
// so it reads the environment with system calls and parses it by hand.
extern "C" __attribute__((no_sanitize("address", "undefined"))) const char *__asan_default_options()
{
    static char options[160];
    static char environment[1 << 16];
    long size = 0;
    const long fd = ::syscall(SYS_openat, AT_FDCWD, "/proc/self/environ", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        while (size < long(sizeof environment) - 1) {
            const long n = ::syscall(SYS_read, fd, environment + size, sizeof environment - 1 - size);
            if (n <= 0)
                break;
            size += n;
        }
        ::syscall(SYS_close, fd);
    }
    static const char key[] = "ZENDRIK_ENGINE_MEMORY_MB=";
    const long keyLength = sizeof key - 1;
    long limit = 0;
    for (long i = 0; i < size;) {
        long k = 0;
        while (k < keyLength && i + k < size && environment[i + k] == key[k])
            ++k;
        if (k == keyLength)
            for (long j = i + k; j < size && environment[j] >= '0' && environment[j] <= '9' && limit < 100000000; ++j)
                limit = limit * 10 + (environment[j] - '0');
        while (i < size && environment[i] != '\0')
            ++i;
        ++i;
    }
    static const char fixed[] = "abort_on_error=1:allocator_may_return_null=1";
    static const char soft[] = ":soft_rss_limit_mb=";
    long o = 0;
    for (const char *p = fixed; *p; ++p)
        options[o++] = *p;
    if (limit > 0) {
        for (const char *p = soft; *p; ++p)
            options[o++] = *p;
        char digits[12];
        int n = 0;
        for (; limit > 0; limit /= 10)
            digits[n++] = char('0' + limit % 10);
        while (n > 0)
            options[o++] = digits[--n];
    }
    options[o] = '\0';
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

// libxml2's and libxslt's allocations, watched: the first one that fails during a request
// notes that the request ran out of memory and tells the program at once, since libxml2 does not
// survive every failed allocation and the worker may not get as far as its answer.
QByteArray g_outOfMemoryNotice;
std::atomic<bool> g_noticeSent{false};

void allocationFailed() noexcept
{
    engine::noteOutOfMemory();
    if (!g_noticeSent.exchange(true))
        (void)writeAll(g_outOfMemoryNotice);
}

void *watchedMalloc(size_t size)
{
    void *p = std::malloc(size);
    if (!p && size)
        allocationFailed();
    return p;
}

void *watchedRealloc(void *old, size_t size)
{
    void *p = std::realloc(old, size);
    if (!p && size)
        allocationFailed();
    return p;
}

char *watchedStrdup(const char *text)
{
    char *p = ::strdup(text);
    if (!p)
        allocationFailed();
    return p;
}

void watchAllocations()
{
    g_outOfMemoryNotice = engine::frame(engine::noticeMessage(engine::Notice::OutOfMemory));
    xmlMemSetup(std::free, watchedMalloc, watchedRealloc, watchedStrdup);
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

// What the reading thread hands the working one. Interrupts are dealt with as they arrive, while
// the working thread may be deep in a transformation.
struct Inbox {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<QCborMap> messages;
    bool ended = false;
    QString broken; // why the input could not be read as frames
    qint64 running = 0; // the request being worked on
    std::set<qint64> interrupted; // requests interrupted before they were taken up
};

void readInput(Inbox &inbox)
{
    QByteArray buffer;
    std::vector<char> chunk(1 << 16);
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        bool intact = true;
        QString error;
        QList<QCborMap> messages;
        if (n > 0) {
            buffer.append(chunk.data(), n);
            intact = engine::takeFrames(buffer, &messages, &error);
        }
        const std::lock_guard<std::mutex> hold(inbox.lock);
        for (QCborMap &message : messages) {
            if (const qint64 id = engine::interruptOf(message)) {
                if (id == inbox.running)
                    engine::interruptWork();
                else if (id > inbox.running)
                    inbox.interrupted.insert(id);
                continue;
            }
            inbox.messages.push_back(std::move(message));
        }
        if (n <= 0 || !intact) {
            inbox.ended = true;
            inbox.broken = intact ? QString() : error;
        }
        inbox.arrived.notify_one();
        if (inbox.ended)
            return;
    }
}

} // namespace

// Between requests what a large document took goes back to the system. mimalloc is told to
// give back freed pages without its usual delay: a transformation runs no slower for it.
static void giveMemoryBack()
{
#ifdef ZENDRIK_MIMALLOC
    mi_collect(true);
#else
    malloc_trim(0);
#endif
}

int main(int argc, char **argv)
{
#ifdef ZENDRIK_MIMALLOC
    mi_option_set(mi_option_decommit_delay, 0);
    mi_option_set(mi_option_segment_decommit_delay, 0);
#endif
    const pid_t parent = ::getppid();
    watchAllocations();
    QCoreApplication app(argc, argv);
    qint64 memoryMb = 0;
    const QStringList args = app.arguments();
    const qsizetype at = args.indexOf(QStringLiteral("--memory-mb"));
    if (at >= 0 && at + 1 < args.size())
        memoryMb = args.at(at + 1).toLongLong();
    capMemory(memoryMb);
    watchForTheProgramsEnd(parent);

    // Each side starts with the version of the exchange it speaks; the program hands no work to
    // a worker of another version, and this worker takes none from a program of another.
    if (!writeAll(engine::frame(engine::helloMessage())))
        return 1;
    bool greeted = false;

    engine::RequestHandler handler(memoryMb);
    // The reading thread is never joined: it may be in a read when this returns, so what it
    // fills outlives main.
    static Inbox *const shared = new Inbox;
    Inbox &inbox = *shared;
    std::thread(readInput, std::ref(inbox)).detach();
    for (;;) {
        QCborMap message;
        {
            std::unique_lock<std::mutex> hold(inbox.lock);
            inbox.arrived.wait(hold, [&] { return !inbox.messages.empty() || inbox.ended; });
            if (inbox.messages.empty()) {
                if (inbox.broken.isEmpty())
                    return 0; // the program closed the pipe or went away
                const QByteArray text = inbox.broken.toUtf8();
                (void)!::write(STDERR_FILENO, text.constData(), size_t(text.size()));
                return 2;
            }
            message = std::move(inbox.messages.front());
            inbox.messages.pop_front();
        }
        if (!greeted) {
            const int version = engine::helloVersion(message);
            if (version != engine::kProtocolVersion) {
                const QByteArray text = QStringLiteral("zendrik-engine: the program speaks version %1 of the exchange, this worker %2\n")
                                            .arg(version).arg(engine::kProtocolVersion).toUtf8();
                (void)!::write(STDERR_FILENO, text.constData(), size_t(text.size()));
                return 4;
            }
            greeted = true;
            continue;
        }
        const engine::Request request = engine::Request::fromCbor(message);
        message = QCborMap();
        bool skipped = false;
        {
            const std::lock_guard<std::mutex> hold(inbox.lock);
            (void)engine::takeInterrupt();
            inbox.running = request.id;
            skipped = inbox.interrupted.erase(request.id) > 0;
            // Requests come in order: an interrupt of an earlier one is of no use any more.
            inbox.interrupted.erase(inbox.interrupted.begin(), inbox.interrupted.lower_bound(request.id));
        }
        QByteArray answer;
        bool outOfMemory = false;
        g_noticeSent = false;
        try {
            if (!skipped)
                answer = engine::frame(handler.handle(request).toCbor());
            outOfMemory = handler.ranOutOfMemory() && !skipped;
        } catch (const std::bad_alloc &) {
            // The answer itself did not fit: a short one says why.
            const engine::Response failed = engine::Response::failed(
                request, engine::ErrorKind::OutOfMemory,
                engine::errorMessage(request.kind, engine::ErrorKind::OutOfMemory, QString::number(memoryMb)));
            answer = engine::frame(failed.toCbor());
            outOfMemory = true;
        }
        {
            const std::lock_guard<std::mutex> hold(inbox.lock);
            inbox.running = 0;
            skipped = engine::takeInterrupt() || skipped;
        }
        // Stopped half way, or never started: what the work made is of no use to anyone.
        if (skipped && !outOfMemory)
            answer = engine::frame(engine::Response::failed(request, engine::ErrorKind::Superseded).toCbor());
        if (!writeAll(answer))
            return 1;
        answer.clear();
        giveMemoryBack();
        // Memory ran out somewhere inside libxml2 or libxslt, which may have left them
        // half way through: the next request gets a fresh process.
        if (outOfMemory)
            return 3;
    }
}
