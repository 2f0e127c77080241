// The simulated headset: one serving thread owns the pty master, reads the
// host's frames, answers them, paces the data stream against absolute
// deadlines and carries out the faults that other threads ask for.
#include "headset.h"

#include "eeg.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <random>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sim
{

namespace
{

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr double countVolts = 256.0 / 255.0 / 2048.0 / 1000.0;
constexpr int32_t countMin = -8388608;
constexpr int32_t countMax = 8388607;

// A host frame that stays incomplete this long is discarded, so one stray
// byte cannot swallow every later command.
constexpr auto partialFrameTimeout = milliseconds(100);
// The receiver relays the headset's own answer after this delay.
constexpr auto receiverDelay = milliseconds(80);
// Gap between two bursts, and how long a short burst is held back for more bytes.
constexpr auto burstGap = microseconds(50);
constexpr size_t burstBacklog = 512;
constexpr auto burstHold = milliseconds(20);
// Beyond this much unsent output, sample pairs are dropped (counter jumps).
constexpr size_t outputCap = 1 << 20;
// In fast mode, new pairs are made whenever less than this is waiting.
constexpr size_t fastLowWater = 16 * 1024;
// While nobody has the slave open, the master is checked this often.
constexpr auto closedPoll = milliseconds(5);
constexpr auto idlePoll = milliseconds(50);
// Frames kept for received(); beyond this the older half is forgotten.
constexpr size_t maxLogged = 200000;

double monotonicSeconds(Clock::time_point t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

std::string hex(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}

// A "?" frame carrying an identification string.
std::vector<uint8_t> identityFrame(const char* id)
{
    const size_t n = std::strlen(id);
    std::vector<uint8_t> f(2 + n);
    f[0] = static_cast<uint8_t>(f.size());
    f[1] = frame::identify;
    std::memcpy(f.data() + 2, id, n);
    return f;
}

void setError(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
}

bool makeRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

} // namespace

class Headset::Impl
{
public:
    explicit Impl(Options o)
        : opt(std::move(o)), adcFaultMask(opt.adcFaultMask), lightModule(opt.lightModule),
          soundModule(opt.soundModule), burstSize(opt.burstSize), rng(opt.seed),
          faultRng(opt.seed ^ 0x9E3779B9u)
    {
        if (opt.eeg && !opt.deterministic)
            eeg = std::make_unique<EegSignal>(opt);
        captureBegin = Clock::now(); // the signal's idle time counts from here
    }

    bool start(std::string* error);
    void stop();
    void request(int what);
    void inject(std::vector<uint8_t> bytes);

    Options opt;

    std::atomic<uint8_t> adcFaultMask;
    std::atomic<bool> lightModule;
    std::atomic<bool> soundModule;
    std::atomic<size_t> burstSize;
    std::atomic<bool> silent{false};
    std::atomic<unsigned> dropPairs{0};
    std::atomic<bool> dropFirstHalf{false};
    std::atomic<unsigned> loseStartReplies{0}; // carried out, but the "!" reply is lost
    std::atomic<unsigned> loseStopReplies{0};
    std::atomic<bool> capturing{false};
    std::atomic<uint16_t> period{0};
    std::atomic<uint64_t> pairsSent{0};
    std::atomic<uint64_t> pairsDropped{0};
    std::atomic<bool> peerOpen{false};
    std::atomic<bool> stopping{false};
    std::atomic<unsigned> insertOnce{0};
    std::atomic<unsigned> omitOnce{0};
    std::atomic<unsigned> flipOnce{0};
    std::atomic<uint64_t> damaged{0};
    std::atomic<long long> corruptAt{-1}; // pair index of a one-off corrupted counter
    std::atomic<uint16_t> corruptOnceMask{0};

    // Guards everything below up to the serving thread's own state.
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool running = false;
    std::string slavePath;
    std::vector<Received> log;
    std::vector<uint8_t> injections;
    enum { requestHangUp = 1, requestComeBack = 2 };
    std::vector<std::pair<int, uint64_t>> requests;
    uint64_t requestsIssued = 0;
    uint64_t requestsDone = 0;

    std::thread thread;
    int wakeRead = -1;
    int wakeWrite = -1;
    FILE* logFile = nullptr;

    // Serving thread only (and start/stop while the thread is not running).
    int master = -1;
    std::string currentSlave;
    std::vector<uint8_t> in;
    Clock::time_point inLast;
    std::vector<uint8_t> out;
    size_t outHead = 0;
    bool outBlocked = false;
    Clock::time_point outOldest;
    Clock::time_point nextBurst;
    Clock::time_point captureBegin;
    uint64_t nextIndex = 0;
    bool headsetAnswerPending = false;
    Clock::time_point headsetAnswerDue;
    std::mt19937 rng;
    std::normal_distribution<double> gauss{0.0, 1.0};
    // Line noise has a generator of its own, so that the signal's noise stays
    // the same whatever faults are switched on.
    std::mt19937 faultRng;
    Clock::time_point nextInsert;
    Clock::time_point nextOmit;
    Clock::time_point nextFlip;
    Clock::time_point nextChat;
    std::unique_ptr<EegSignal> eeg; // the EEG-like signal, if chosen

private:
    bool openPty(std::string* error);
    void closePty();
    bool updateLink(std::string* error);
    void removeLink();
    void wake();
    void serve();
    void serviceRequests();
    Clock::time_point nextWake(Clock::time_point now) const;
    void checkPeer();
    void flushStaleInput();
    void readInput(Clock::time_point now);
    void handleFrame(const uint8_t* f, size_t n, Clock::time_point now);
    void record(const uint8_t* f, size_t n, Clock::time_point now);
    void reply(std::initializer_list<uint8_t> bytes);
    void queue(const uint8_t* p, size_t n);
    void answerIdentify(Clock::time_point now);
    void beginCapture(const uint8_t* f, size_t n, Clock::time_point now);
    void produce(Clock::time_point now);
    void emitPair();
    static bool takeOne(std::atomic<unsigned>& count);
    // Faults due now, one bit each: insert, omit, flip.
    unsigned dueFaults(Clock::time_point now);
    void putHalf(uint8_t half, uint16_t counter, const int32_t* counts, unsigned faults);
    void damage(std::vector<uint8_t>& f, unsigned faults);
    void chatter(Clock::time_point now);
    void flush(Clock::time_point now);
    double idleSeconds(Clock::time_point now) const;
    size_t queued() const { return out.size() - outHead; }
    bool canSend() const { return master >= 0 && peerOpen.load() && !silent.load(); }
};

// ---------------------------------------------------------------------------
// Life cycle

bool Headset::Impl::start(std::string* error)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (running) {
        setError(error, "already running");
        return false;
    }
    if (!opt.linkPath.empty()) {
        struct stat st {
        };
        if (lstat(opt.linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            setError(error, opt.linkPath + " exists and is not a symbolic link");
            return false;
        }
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        setError(error, std::string("pipe: ") + std::strerror(errno));
        return false;
    }
    wakeRead = pipeFds[0];
    wakeWrite = pipeFds[1];
    if (!openPty(error) || !updateLink(error)) {
        closePty();
        ::close(wakeRead);
        ::close(wakeWrite);
        wakeRead = wakeWrite = -1;
        return false;
    }
    slavePath = currentSlave;
    if (!opt.logPath.empty()) {
        logFile = std::fopen(opt.logPath.c_str(), "a");
        if (!logFile) {
            setError(error, opt.logPath + ": " + std::strerror(errno));
            removeLink();
            closePty();
            ::close(wakeRead);
            ::close(wakeWrite);
            wakeRead = wakeWrite = -1;
            return false;
        }
    }
    stopping = false;
    running = true;
    thread = std::thread([this] { serve(); });
    return true;
}

void Headset::Impl::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!running)
            return;
        stopping = true;
    }
    wake();
    thread.join();
    std::lock_guard<std::mutex> lock(mutex);
    closePty();
    removeLink();
    ::close(wakeRead);
    ::close(wakeWrite);
    wakeRead = wakeWrite = -1;
    if (logFile) {
        std::fclose(logFile);
        logFile = nullptr;
    }
    running = false;
    capturing = false;
    changed.notify_all();
}

bool Headset::Impl::openPty(std::string* error)
{
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        setError(error, std::string("posix_openpt: ") + std::strerror(errno));
        return false;
    }
    char name[128];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        setError(error, std::string("pty set-up: ") + std::strerror(errno));
        ::close(fd);
        return false;
    }
    // Raw on the slave side, so that no byte is translated, echoed or taken as
    // flow control in either direction. Opening and closing the slave once also
    // puts the master into the "nobody listening" state that the serving loop
    // watches for.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        setError(error, std::string(name) + ": " + std::strerror(errno));
        ::close(fd);
        return false;
    }
    bool raw = makeRaw(slave);
    ::close(slave);
    if (!raw) {
        setError(error, std::string("termios: ") + std::strerror(errno));
        ::close(fd);
        return false;
    }
    master = fd;
    currentSlave = name;
    peerOpen = false;
    return true;
}

void Headset::Impl::closePty()
{
    if (master >= 0)
        ::close(master);
    master = -1;
    peerOpen = false;
    in.clear();
    out.clear();
    outHead = 0;
    outBlocked = false;
    headsetAnswerPending = false;
}

bool Headset::Impl::updateLink(std::string* error)
{
    if (opt.linkPath.empty())
        return true;
    // Replace atomically so that a reader never finds the link missing.
    std::string temp = opt.linkPath + ".new";
    ::unlink(temp.c_str());
    if (::symlink(currentSlave.c_str(), temp.c_str()) != 0 ||
        ::rename(temp.c_str(), opt.linkPath.c_str()) != 0) {
        setError(error, opt.linkPath + ": " + std::strerror(errno));
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void Headset::Impl::removeLink()
{
    if (opt.linkPath.empty())
        return;
    struct stat st {
    };
    if (lstat(opt.linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(opt.linkPath.c_str());
}

void Headset::Impl::wake()
{
    if (wakeWrite >= 0) {
        uint8_t b = 1;
        ssize_t r = ::write(wakeWrite, &b, 1);
        (void)r; // a full pipe already means "wake up"
    }
}

void Headset::Impl::request(int what)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!running)
        return;
    uint64_t ticket = ++requestsIssued;
    requests.emplace_back(what, ticket);
    wake();
    changed.wait_for(lock, std::chrono::seconds(5),
                     [&] { return requestsDone >= ticket || !running; });
}

void Headset::Impl::inject(std::vector<uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!running)
        return;
    injections.insert(injections.end(), bytes.begin(), bytes.end());
    wake();
}

void Headset::Impl::serviceRequests()
{
    std::vector<std::pair<int, uint64_t>> todo;
    std::vector<uint8_t> extra;
    {
        std::lock_guard<std::mutex> lock(mutex);
        todo.swap(requests);
        extra.swap(injections);
    }
    // Injected bytes go in between whole frames, as a faulty headset would send them.
    if (!extra.empty() && canSend())
        queue(extra.data(), extra.size());
    if (todo.empty())
        return;
    uint64_t last = 0;
    for (const auto& r : todo) {
        // An unplugged headset loses its capture; a plugged-in one starts idle.
        capturing = false;
        closePty();
        if (r.first == requestComeBack) {
            std::string error;
            if (!openPty(&error) || !updateLink(&error)) {
                std::fprintf(stderr, "neurask-headset: %s\n", error.c_str());
                closePty();
            }
        }
        last = r.second;
    }
    std::lock_guard<std::mutex> lock(mutex);
    slavePath = master >= 0 ? currentSlave : std::string();
    requestsDone = last;
    changed.notify_all();
}

// ---------------------------------------------------------------------------
// The serving loop

void Headset::Impl::serve()
{
    while (!stopping) {
        serviceRequests();
        if (master < 0) {
            pollfd p{wakeRead, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(idlePoll.count()));
            uint8_t drain[64];
            while (::read(wakeRead, drain, sizeof drain) > 0) {
            }
            continue;
        }

        Clock::time_point now = Clock::now();
        auto wait = std::max(nextWake(now) - now, Clock::duration::zero());
        auto ns = std::chrono::duration_cast<nanoseconds>(wait).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};

        // While nobody has the slave open the master reports a hang-up at once,
        // so it is only watched on a short timer then.
        pollfd fds[2] = {{wakeRead, POLLIN, 0}, {master, 0, 0}};
        nfds_t count = 1;
        if (peerOpen) {
            fds[1].events = POLLIN | (outBlocked ? POLLOUT : 0);
            count = 2;
        }
        int r = ::ppoll(fds, count, &ts, nullptr);
        if (r < 0 && errno != EINTR) {
            std::fprintf(stderr, "neurask-headset: poll: %s\n", std::strerror(errno));
            std::this_thread::sleep_for(milliseconds(10));
        }
        if (fds[0].revents & POLLIN) {
            uint8_t drain[64];
            while (::read(wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (stopping)
            break;
        now = Clock::now();
        readInput(now);
        if (fds[1].revents & POLLOUT)
            outBlocked = false;
        serviceRequests();
        if (master < 0)
            continue;
        if (headsetAnswerPending && now >= headsetAnswerDue) {
            headsetAnswerPending = false;
            if (canSend()) {
                auto f = identityFrame(frame::headsetId);
                queue(f.data(), f.size());
            }
        }
        produce(now);
        chatter(now);
        flush(Clock::now());
    }
}

Clock::time_point Headset::Impl::nextWake(Clock::time_point now) const
{
    Clock::time_point t = now + (peerOpen ? Clock::duration(idlePoll) : closedPoll);
    if (capturing) {
        if (opt.fast) {
            if (peerOpen && !silent && queued() < fastLowWater && !outBlocked)
                t = now;
        } else {
            auto periodNs = nanoseconds(static_cast<int64_t>(period) * 125);
            t = std::min(t, captureBegin + periodNs * static_cast<int64_t>(nextIndex + 1));
        }
    }
    if (headsetAnswerPending)
        t = std::min(t, headsetAnswerDue);
    if (opt.chatty && peerOpen)
        t = std::min(t, nextChat);
    if (!in.empty())
        t = std::min(t, inLast + partialFrameTimeout);
    if (queued() > 0 && !outBlocked && burstSize > 0) {
        Clock::time_point b = nextBurst;
        if (queued() < burstSize)
            b = std::max(b, outOldest + burstHold);
        t = std::min(t, b);
    }
    return t;
}

void Headset::Impl::checkPeer()
{
    // The master reports a hang-up exactly while nobody has the slave open.
    pollfd p{master, POLLIN, 0};
    ::poll(&p, 1, 0);
    bool open = !(p.revents & (POLLHUP | POLLERR | POLLNVAL));
    if (open == peerOpen)
        return;
    peerOpen = open;
    if (!open) {
        // What was on its way to the port is lost with the peer, as on a real line.
        out.clear();
        outHead = 0;
        outBlocked = false;
        headsetAnswerPending = false;
        flushStaleInput();
    }
}

void Headset::Impl::flushStaleInput()
{
    // Bytes written just before the peer closed would otherwise wait in the
    // slave's input queue and greet the next opener. The master side cannot
    // discard them, the slave side can.
    int slave = ::open(currentSlave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
        tcflush(slave, TCIFLUSH);
        ::close(slave);
    }
}

void Headset::Impl::readInput(Clock::time_point now)
{
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) {
            in.insert(in.end(), buf, buf + n);
            inLast = now;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break; // EAGAIN: drained; EIO: nobody has the slave open
    }
    // Whether the frames just read get answers depends on whether someone is
    // there now: a peer that has just opened the port is answered at once, and
    // the last frames of one that has closed are not answered to its successor.
    checkPeer();
    size_t pos = 0;
    while (pos < in.size()) {
        // A length byte of 0 is taken as a frame of its own, so the stream moves on.
        size_t length = std::max<size_t>(in[pos], 1);
        if (pos + length > in.size())
            break;
        handleFrame(in.data() + pos, length, now);
        pos += length;
    }
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(pos));
    if (!in.empty() && now - inLast >= partialFrameTimeout) {
        record(in.data(), in.size(), now);
        in.clear();
    }
}

void Headset::Impl::record(const uint8_t* f, size_t n, Clock::time_point now)
{
    double seconds = monotonicSeconds(now);
    std::lock_guard<std::mutex> lock(mutex);
    // Bounded, so that a headset serving for days does not grow without end.
    if (log.size() >= maxLogged)
        log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(maxLogged / 2));
    log.push_back(Received{seconds, std::vector<uint8_t>(f, f + n)});
    if (logFile) {
        std::fprintf(logFile, "%.6f %s\n", seconds, hex(f, n).c_str());
        std::fflush(logFile);
    }
    if (opt.echoLog)
        std::fprintf(stderr, "RX %.6f %s\n", seconds, hex(f, n).c_str());
    changed.notify_all();
}

void Headset::Impl::handleFrame(const uint8_t* f, size_t n, Clock::time_point now)
{
    record(f, n, now);
    if (n < 2 || opt.chatty)
        return;
    switch (f[1]) {
    case frame::identify:
        answerIdentify(now);
        break;
    case frame::captureStart:
        beginCapture(f, n, now);
        break;
    case frame::captureStop:
        capturing = false;
        if (!takeOne(loseStopReplies))
            reply({2, frame::captureStop});
        break;
    case frame::keepAlive:
        reply({2, frame::keepAlive});
        break;
    case frame::lightStart:
        if (eeg && lightModule && n >= 13)
            eeg->lightStart(f + 2, idleSeconds(now));
        reply({3, frame::lightStart, static_cast<uint8_t>(lightModule ? 1 : 0)});
        break;
    case frame::lightStop:
        if (eeg)
            eeg->lightStop(idleSeconds(now));
        reply({2, frame::lightStop});
        break;
    case frame::soundStart:
        reply({3, frame::soundStart, static_cast<uint8_t>(soundModule ? 1 : 0)});
        break;
    case frame::soundStop:
        reply({2, frame::soundStop});
        break;
    default:
        break; // unknown commands are only logged
    }
}

bool Headset::Impl::takeOne(std::atomic<unsigned>& count)
{
    unsigned n = count.load();
    while (n > 0 && !count.compare_exchange_weak(n, n - 1)) {
    }
    return n > 0;
}

void Headset::Impl::reply(std::initializer_list<uint8_t> bytes)
{
    if (canSend())
        queue(bytes.begin(), bytes.size());
}

void Headset::Impl::queue(const uint8_t* p, size_t n)
{
    if (queued() == 0) {
        out.clear();
        outHead = 0;
        outOldest = Clock::now();
    }
    out.insert(out.end(), p, p + n);
}

void Headset::Impl::answerIdentify(Clock::time_point now)
{
    if (!canSend())
        return;
    if (!opt.wireless) {
        auto f = identityFrame(frame::headsetId);
        queue(f.data(), f.size());
        return;
    }
    // The receiver answers for itself at once and relays the headset's answer later.
    auto f = identityFrame(frame::receiverId);
    queue(f.data(), f.size());
    headsetAnswerPending = true;
    headsetAnswerDue = now + receiverDelay;
}

void Headset::Impl::beginCapture(const uint8_t* f, size_t n, Clock::time_point now)
{
    uint16_t p = n >= 4 ? static_cast<uint16_t>(f[2] | (f[3] << 8)) : 0;
    uint8_t mask = adcFaultMask;
    if (mask == 0 && p < frame::minPeriod)
        mask = frame::periodRefusedMask;
    if (mask != 0) {
        reply({3, frame::captureStart, mask});
        return;
    }
    if (!takeOne(loseStartReplies))
        reply({3, frame::captureStart, 0});
    if (eeg)
        eeg->skip(idleSeconds(now));
    period = p;
    captureBegin = now;
    nextIndex = 0;
    pairsSent = 0;
    pairsDropped = 0;
    capturing = true;
}

// Seconds from the end of the last capture's samples (or from the start) to
// now while no capture runs; 0 while one does, where the next sample is now.
double Headset::Impl::idleSeconds(Clock::time_point now) const
{
    if (capturing)
        return 0;
    auto end = captureBegin +
               nanoseconds(static_cast<int64_t>(period) * 125) * static_cast<int64_t>(nextIndex);
    return now > end ? std::chrono::duration<double>(now - end).count() : 0.0;
}

void Headset::Impl::produce(Clock::time_point now)
{
    if (!capturing)
        return;
    if (opt.fast) {
        if (!canSend())
            return;
        // Bounded, so that a setting that drops every pair cannot hold the loop.
        for (int i = 0; i < 4096 && queued() < fastLowWater; ++i)
            emitPair();
        return;
    }
    auto periodNs = nanoseconds(static_cast<int64_t>(period) * 125);
    while (captureBegin + periodNs * static_cast<int64_t>(nextIndex + 1) <= now)
        emitPair();
}

void Headset::Impl::emitPair()
{
    uint64_t index = nextIndex++;
    // Made for every index, sent or not, so that a lost pair leaves the signal as it was.
    double uv[12];
    if (eeg) {
        const double dt = period * 125e-9;
        eeg->next(static_cast<double>(index) * dt, dt, uv);
    }
    bool drop = false;
    unsigned pending = dropPairs.load();
    while (pending > 0 && !dropPairs.compare_exchange_weak(pending, pending - 1)) {
    }
    if (pending > 0)
        drop = true;
    if (opt.dropEvery > 0 && (index + 1) % opt.dropEvery == 0)
        drop = true;
    if (!canSend() || queued() > outputCap)
        drop = true;
    if (drop) {
        ++pairsDropped;
        return;
    }
    uint16_t p = period;
    int32_t counts[12];
    for (int ch = 1; ch <= 12; ++ch) {
        int32_t c = eeg ? voltsToCounts(uv[ch - 1] * 1e-6) : sampleCounts(ch, index, p);
        if (!opt.deterministic && opt.noiseMicrovolts > 0) {
            double v = countsToVolts(c) + gauss(rng) * opt.noiseMicrovolts * 1e-6;
            c = voltsToCounts(v);
        }
        counts[ch - 1] = c;
    }
    uint16_t counter = static_cast<uint16_t>(index & 0xFFFF);
    uint16_t secondCounter = counter;
    if (opt.corruptPair >= 0 && index == static_cast<uint64_t>(opt.corruptPair))
        secondCounter ^= opt.corruptMask;
    long long once = corruptAt.load();
    if (once >= 0 && index >= static_cast<uint64_t>(once) &&
        corruptAt.compare_exchange_strong(once, -1))
        secondCounter ^= corruptOnceMask.load();
    // Line noise hits either half, whichever is on the line when it comes.
    unsigned faults[2] = {0, 0};
    if (opt.insertEveryMs != 0 || opt.omitEveryMs != 0 || opt.flipEveryMs != 0 ||
        insertOnce.load() != 0 || omitOnce.load() != 0 || flipOnce.load() != 0) {
        const unsigned due = dueFaults(Clock::now());
        for (unsigned bit = 1; bit <= 4; bit <<= 1) {
            if (due & bit)
                faults[std::uniform_int_distribution<int>(0, 1)(faultRng)] |= bit;
        }
    }
    if (!dropFirstHalf.exchange(false))
        putHalf(0, counter, counts, faults[0]);
    putHalf(1, secondCounter, counts, faults[1]);
    ++pairsSent;
}

void Headset::Impl::putHalf(uint8_t half, uint16_t counter, const int32_t* counts, unsigned faults)
{
    uint8_t f[frame::dataLength];
    f[0] = static_cast<uint8_t>(frame::dataLength);
    f[1] = frame::data;
    f[2] = half;
    f[3] = static_cast<uint8_t>(counter & 0xFF);
    f[4] = static_cast<uint8_t>(counter >> 8);
    for (int k = 0; k < 6; ++k) {
        // Half 0 carries channels 1, 3, ..., 11; half 1 carries 2, 4, ..., 12.
        uint32_t u = static_cast<uint32_t>(counts[half + 2 * k]) & 0xFFFFFF;
        f[5 + 3 * k] = static_cast<uint8_t>(u >> 16);
        f[6 + 3 * k] = static_cast<uint8_t>(u >> 8);
        f[7 + 3 * k] = static_cast<uint8_t>(u);
    }
    // The clean path stays as cheap as it was: the fast mode makes hundreds of
    // thousands of frames a second.
    if (faults == 0) {
        queue(f, sizeof f);
        return;
    }
    std::vector<uint8_t> bytes(f, f + sizeof f);
    damage(bytes, faults);
    queue(bytes.data(), bytes.size());
}

// Which kinds of line noise are due: a one-off request, or the interval of
// the option.
unsigned Headset::Impl::dueFaults(Clock::time_point now)
{
    auto due = [&](std::atomic<unsigned>& once, unsigned everyMs, Clock::time_point& next) {
        unsigned pending = once.load();
        while (pending > 0 && !once.compare_exchange_weak(pending, pending - 1)) {
        }
        if (pending > 0)
            return true;
        if (everyMs == 0)
            return false;
        if (next == Clock::time_point()) {
            next = now + milliseconds(everyMs);
            return false;
        }
        if (now < next)
            return false;
        next += milliseconds(everyMs);
        if (next < now)
            next = now + milliseconds(everyMs);
        return true;
    };
    unsigned faults = 0;
    if (due(insertOnce, opt.insertEveryMs, nextInsert))
        faults |= 1;
    if (due(omitOnce, opt.omitEveryMs, nextOmit))
        faults |= 2;
    if (due(flipOnce, opt.flipEveryMs, nextFlip))
        faults |= 4;
    return faults;
}

// Line noise inside a data frame, as a disturbed cable or radio link makes it:
// the frame keeps its place in the stream but gains, loses or changes a byte,
// at a random position.
void Headset::Impl::damage(std::vector<uint8_t>& f, unsigned faults)
{
    auto position = [&](size_t end) {
        return std::uniform_int_distribution<size_t>(0, end - 1)(faultRng);
    };
    if (faults & 1) {
        // After the length byte, so that it lands inside the frame.
        const size_t at = 1 + position(f.size() - 1);
        f.insert(f.begin() + static_cast<std::ptrdiff_t>(at),
                 static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 255)(faultRng)));
        ++damaged;
    }
    if (faults & 2) {
        f.erase(f.begin() + static_cast<std::ptrdiff_t>(position(f.size())));
        ++damaged;
    }
    if (faults & 4) {
        f[position(f.size())] ^= static_cast<uint8_t>(1u << position(8));
        ++damaged;
    }
}

void Headset::Impl::chatter(Clock::time_point now)
{
    if (!opt.chatty || !canSend() || now < nextChat)
        return;
    static const char line[] = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M*47\r\n";
    queue(reinterpret_cast<const uint8_t*>(line), sizeof line - 1);
    nextChat = now + milliseconds(opt.chattyIntervalMs ? opt.chattyIntervalMs : 100);
}

void Headset::Impl::flush(Clock::time_point now)
{
    if (!peerOpen || queued() == 0 || outBlocked)
        return;
    size_t burst = burstSize;
    if (burst == 0) {
        while (queued() > 0) {
            ssize_t n = ::write(master, out.data() + outHead, queued());
            if (n > 0) {
                outHead += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            outBlocked = n < 0 && errno == EAGAIN;
            break;
        }
    } else {
        // One burst per gap; a backlog that a busy machine let grow is worked
        // off at once, so that the data stream does not fall ever further behind.
        if (now < nextBurst)
            return;
        while (queued() > 0) {
            if (queued() < burst && now - outOldest < burstHold)
                break;
            size_t chunk = std::min(burst, queued());
            ssize_t n = ::write(master, out.data() + outHead, chunk);
            if (n <= 0) {
                outBlocked = n < 0 && errno == EAGAIN;
                break;
            }
            outHead += static_cast<size_t>(n);
            outOldest = now;
            nextBurst = now + burstGap;
            if (queued() <= burstBacklog)
                break;
        }
    }
    if (queued() == 0) {
        out.clear();
        outHead = 0;
    } else if (outHead > (1u << 16) && outHead > out.size() / 2) {
        out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(outHead));
        outHead = 0;
    }
}

// ---------------------------------------------------------------------------
// Public interface

Headset::Headset(Options options) : d(std::make_unique<Impl>(std::move(options))) {}

Headset::~Headset()
{
    stop();
}

bool Headset::start(std::string* error)
{
    return d->start(error);
}

void Headset::stop()
{
    d->stop();
}

std::string Headset::portPath() const
{
    if (!d->opt.linkPath.empty())
        return d->opt.linkPath;
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->slavePath;
}

void Headset::dropSamplePairs(unsigned n)
{
    d->dropPairs += n;
}

void Headset::loseReplies(unsigned starts, unsigned stops)
{
    d->loseStartReplies += starts;
    d->loseStopReplies += stops;
}

void Headset::dropNextFirstHalf()
{
    d->dropFirstHalf = true;
}

void Headset::injectUnknownFrame()
{
    d->inject({0x05, 'X', 0x01, 0x02, 0x03});
}

void Headset::injectBytes(const std::vector<uint8_t>& bytes)
{
    d->inject(bytes);
}

void Headset::injectZeroLengthFrame()
{
    d->inject({0x00});
}

void Headset::injectShortDataFrame()
{
    d->inject({0x0A, frame::data, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78, 0x9A});
}

void Headset::injectBadHalfFrame()
{
    std::vector<uint8_t> f(frame::dataLength, 0x11);
    f[0] = static_cast<uint8_t>(frame::dataLength);
    f[1] = frame::data;
    f[2] = 7;
    f[3] = f[4] = 0;
    d->inject(std::move(f));
}

void Headset::insertByteInNextFrame()
{
    ++d->insertOnce;
}

void Headset::omitByteOfNextFrame()
{
    ++d->omitOnce;
}

void Headset::flipBitInNextFrame()
{
    ++d->flipOnce;
}

void Headset::corruptCounter(uint16_t mask, unsigned pairsAhead)
{
    // The pair index is the serving thread's; "ahead" counts from the pairs
    // sent so far, which is close enough for a one-off fault.
    d->corruptOnceMask = mask;
    d->corruptAt =
        static_cast<long long>(d->pairsSent.load() + d->pairsDropped.load() + pairsAhead);
}

uint64_t Headset::bytesDamaged() const
{
    return d->damaged;
}

void Headset::setBurstSize(size_t n)
{
    d->burstSize = n;
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->running) {
        uint8_t b = 1;
        ssize_t r = ::write(d->wakeWrite, &b, 1);
        (void)r;
    }
}

void Headset::setSilent(bool silent)
{
    d->silent = silent;
}

void Headset::hangUp()
{
    d->request(Impl::requestHangUp);
}

void Headset::comeBack()
{
    d->request(Impl::requestComeBack);
}

void Headset::setAdcFaultMask(uint8_t mask)
{
    d->adcFaultMask = mask;
}

void Headset::setLightModule(bool on)
{
    d->lightModule = on;
}

void Headset::setSoundModule(bool on)
{
    d->soundModule = on;
}

void Headset::setEyesOpen(bool open)
{
    if (d->eeg)
        d->eeg->setEyes(open);
}

std::vector<Headset::Received> Headset::received() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->log;
}

void Headset::clearReceived()
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->log.clear();
}

bool Headset::waitForReceived(uint8_t type, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(d->mutex);
    return d->changed.wait_for(lock, milliseconds(std::max(timeoutMs, 0)), [&] {
        return std::any_of(d->log.begin(), d->log.end(), [&](const Received& r) {
            return r.frame.size() >= 2 && r.frame[1] == type;
        });
    });
}

bool Headset::capturing() const
{
    return d->capturing;
}

uint16_t Headset::period() const
{
    return d->period;
}

uint64_t Headset::pairsSent() const
{
    return d->pairsSent;
}

uint64_t Headset::firstCounter() const
{
    return 0;
}

uint64_t Headset::pairsDropped() const
{
    return d->pairsDropped;
}

bool Headset::portOpenedByPeer() const
{
    return d->peerOpen;
}

int32_t Headset::sampleCounts(int channel, uint64_t index, uint16_t period)
{
    if (channel < 1 || channel > 12)
        return 0;
    constexpr double twoPi = 6.283185307179586;
    const double c = channel;
    const double t = static_cast<double>(index) * period * 125e-9;
    // An alpha rhythm near 10 Hz, a rhythm of the channel's own between 1 and
    // 45 Hz, and mains pick-up that grows across the head.
    const double alphaHz = 9.5 + 0.1 * c;
    const double alphaUv = 20.0 + 5.0 * c;
    const double ownHz = 1.0 + 4.0 * (c - 1.0);
    const double ownUv = 15.0 * c;
    const double mainsUv = 250.0 * c;
    const double uv = alphaUv * std::sin(twoPi * alphaHz * t + 0.5 * c) +
                      ownUv * std::sin(twoPi * ownHz * t + 1.1 * c) +
                      mainsUv * std::sin(twoPi * 50.0 * t);
    return voltsToCounts(uv * 1e-6);
}

double Headset::countsToVolts(int32_t counts)
{
    // The same placement of the 24-bit count in the top bytes of a 32-bit word as on the line.
    const double v = static_cast<double>(static_cast<int64_t>(counts) * 256);
    return v / 255.0 * std::ldexp(1.0, -11) / 1000.0;
}

int32_t Headset::voltsToCounts(double volts)
{
    if (!(volts == volts))
        return 0;
    const double c = std::round(volts / countVolts);
    if (c <= countMin)
        return countMin;
    if (c >= countMax)
        return countMax;
    return static_cast<int32_t>(c);
}

} // namespace sim
