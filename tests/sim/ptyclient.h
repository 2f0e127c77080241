// A plain serial client for the simulator's tests: opens the slave side of the
// pty raw, writes frames and collects the headset's bytes with time stamps.
// It deliberately knows nothing of the simulator's code beyond the port path.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace simtest
{

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

inline double nowSeconds()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

struct Frame {
    double seconds; // when the read that completed it returned
    Bytes bytes;
    uint8_t type() const { return bytes.size() >= 2 ? bytes[1] : 0; }
};

class PtyClient
{
public:
    ~PtyClient() { close(); }

    // Opens the port raw, as a serial program would; `asIs` leaves the line
    // settings as the port comes.
    bool open(const std::string& path, bool asIs = false)
    {
        close();
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return false;
        if (asIs)
            return true;
        termios t{};
        if (tcgetattr(fd, &t) != 0)
            return false;
        cfmakeraw(&t);
        return tcsetattr(fd, TCSANOW, &t) == 0;
    }

    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        stream.clear();
    }

    bool isOpen() const { return fd >= 0; }

    bool send(const Bytes& bytes)
    {
        size_t done = 0;
        auto end = Clock::now() + std::chrono::seconds(2);
        while (done < bytes.size() && Clock::now() < end) {
            ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 10);
            }
        }
        return done == bytes.size();
    }

    // Reads whatever arrives for at most ms milliseconds; stops early once
    // `enough` bytes have been collected in the stream (0: never early).
    // Returns false if the port reported a hang-up or an error.
    bool pump(int ms, size_t enough = 0)
    {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            if (enough && stream.size() >= enough)
                return true;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() < 0)
                return true;
            pollfd p{fd, POLLIN, 0};
            int r = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
            if (r > 0 && (p.revents & POLLIN)) {
                uint8_t buf[65536];
                ssize_t n = ::read(fd, buf, sizeof buf);
                if (n > 0) {
                    stream.insert(stream.end(), buf, buf + n);
                    reads.push_back(static_cast<size_t>(n));
                    lastRead = nowSeconds();
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    return false; // the other side has gone
                }
            } else if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
                return false;
            }
            if (Clock::now() >= end)
                return true;
        }
    }

    // Splits complete frames off the front of the stream.
    std::vector<Frame> takeFrames()
    {
        std::vector<Frame> frames;
        size_t pos = 0;
        while (pos < stream.size()) {
            // A zero length byte is handed over as a one-byte frame of its own.
            size_t length = stream[pos] == 0 ? 1 : stream[pos];
            if (pos + length > stream.size())
                break;
            frames.push_back(
                Frame{lastRead, Bytes(stream.begin() + static_cast<long>(pos),
                                      stream.begin() + static_cast<long>(pos + length))});
            pos += length;
        }
        stream.erase(stream.begin(), stream.begin() + static_cast<long>(pos));
        return frames;
    }

    // Reads until a frame of the given type arrives. Every frame taken on the
    // way (and any that came with it in the same read) is appended to `seen`;
    // `found` gets the first one of that type.
    bool waitFrame(uint8_t type, int ms, std::vector<Frame>* seen, Frame* found = nullptr)
    {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            if (!pump(5))
                return false;
            bool hit = false;
            for (const Frame& f : takeFrames()) {
                seen->push_back(f);
                if (f.type() == type && !hit) {
                    hit = true;
                    if (found)
                        *found = f;
                }
            }
            if (hit)
                return true;
        }
        return false;
    }

    int fd = -1;
    Bytes stream;
    std::vector<size_t> reads;
    double lastRead = 0;
};

// Collects frames for ms milliseconds, stamping each with the read that completed it.
inline std::vector<Frame> collect(PtyClient& client, int ms)
{
    std::vector<Frame> all;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        if (!client.pump(0))
            break;
        for (Frame& f : client.takeFrames())
            all.push_back(std::move(f));
    }
    return all;
}

// The program's decoding formula, written out independently: the 24-bit
// big-endian count goes into the upper three bytes of a signed 32-bit word.
inline double decodeVolts(const uint8_t* b)
{
    uint32_t word = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8);
    int32_t v;
    std::memcpy(&v, &word, sizeof v);
    return static_cast<double>(v) / 255.0 * std::pow(2.0, -11) / 1000.0;
}

inline uint16_t dataCounter(const Frame& f)
{
    return uint16_t(f.bytes[3] | (f.bytes[4] << 8));
}

inline Bytes startFrame(uint16_t period)
{
    return Bytes{0x04, '!', uint8_t(period & 0xFF), uint8_t(period >> 8)};
}

} // namespace simtest
