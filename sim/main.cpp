// neurask-headset: serves a simulated headset on a pseudo-terminal until
// interrupted. The first line of standard output is the port to open.
#include "headset.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>

namespace
{

const char usage[] =
    "Usage: neurask-headset [options]\n"
    "Serves a simulated twelve-channel headset on a pseudo-terminal. The first line\n"
    "printed is the port to open; the headset runs until SIGINT or SIGTERM.\n"
    "\n"
    "  --link PATH        keep a symbolic link at PATH to the current port\n"
    "  --wireless         answer identification as a wireless receiver, then as the headset\n"
    "  --fast             stream data as fast as the link takes it\n"
    "  --adc-fault MASK   refuse every capture start with this ADC fault mask (0..255)\n"
    "  --light-off        report the light stimulation module as switched off\n"
    "  --sound-off        report the sound stimulation module as switched off\n"
    "  --deterministic    exact, noise-free test rhythms instead of the EEG-like signal\n"
    "  --test-signal      the test rhythms, with the noise of --noise\n"
    "  --alpha HZ         frequency of the posterior alpha (default 10)\n"
    "  --mains HZ         frequency of the mains pick-up, 0 for none (default 50)\n"
    "  --eyes-closed      eyes closed: alpha at full strength, few blinks (the default)\n"
    "  --eyes-open        eyes open: alpha blocked, frequent blinks\n"
    "  --eyes-cycle S     eyes closed for S seconds, then open for S seconds, and so on\n"
    "  --noise UV         add gaussian noise of UV microvolts (rms)\n"
    "  --seed N           seed of the signal's and the noise's generators (default 1)\n"
    "  --burst N          deliver the output in bursts of N bytes\n"
    "  --byte-by-byte     deliver the output one byte at a time\n"
    "  --drop-every N     leave out one sample pair in every N\n"
    "  --insert-every MS  every MS milliseconds insert a random byte into a data frame\n"
    "  --omit-every MS    every MS milliseconds leave one byte of a data frame out\n"
    "  --flip-every MS    every MS milliseconds flip one bit of a data frame\n"
    "  --corrupt-counter N  corrupt the counter of sample pair N (from 0) of every capture\n"
    "  --corrupt-mask M   XOR the corrupted counter with M (default 0x100)\n"
    "  --chatty           be no headset: ignore every frame and print a text line every 100 ms\n"
    "  --log FILE         append every received frame, with a time stamp, to FILE\n"
    "  --verbose          print every received frame on standard error\n"
    "  --help             show this text\n";

bool number(const char* text, unsigned long max, unsigned long* value)
{
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v > max || text[0] == '-')
        return false;
    *value = v;
    return true;
}

bool real(const char* text, double min, double max, double* value)
{
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= min) || !(v <= max))
        return false;
    *value = v;
    return true;
}

int fail(const std::string& text)
{
    std::fprintf(stderr, "neurask-headset: %s\n%s", text.c_str(), usage);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    sim::Options options;
    options.eeg = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char** out) {
            if (i + 1 >= argc)
                return false;
            *out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        unsigned long n = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "--link") {
            if (!value(&v))
                return fail("--link needs a path");
            options.linkPath = v;
        } else if (arg == "--wireless") {
            options.wireless = true;
        } else if (arg == "--fast") {
            options.fast = true;
        } else if (arg == "--adc-fault") {
            if (!value(&v) || !number(v, 255, &n))
                return fail("--adc-fault needs a mask from 0 to 255");
            options.adcFaultMask = static_cast<uint8_t>(n);
        } else if (arg == "--light-off") {
            options.lightModule = false;
        } else if (arg == "--sound-off") {
            options.soundModule = false;
        } else if (arg == "--deterministic") {
            options.deterministic = true;
        } else if (arg == "--test-signal") {
            options.eeg = false;
        } else if (arg == "--alpha") {
            if (!value(&v) || !real(v, 1, 40, &options.alphaHz))
                return fail("--alpha needs a frequency from 1 to 40 Hz");
        } else if (arg == "--mains") {
            if (!value(&v) || !real(v, 0, 400, &options.mainsHz))
                return fail("--mains needs a frequency from 0 to 400 Hz");
        } else if (arg == "--eyes-closed" || arg == "--eyes-open") {
            options.eyesOpen = arg == "--eyes-open";
            options.eyesCycleSeconds = 0;
        } else if (arg == "--eyes-cycle") {
            if (!value(&v) || !real(v, 0.1, 3600, &options.eyesCycleSeconds))
                return fail("--eyes-cycle needs seconds from 0.1 to 3600");
        } else if (arg == "--noise") {
            char* end = nullptr;
            if (!value(&v))
                return fail("--noise needs microvolts");
            double uv = std::strtod(v, &end);
            if (end == v || *end != '\0' || !(uv >= 0) || uv > 1e6)
                return fail("--noise needs microvolts from 0 to 1000000");
            options.noiseMicrovolts = uv;
        } else if (arg == "--seed") {
            if (!value(&v) || !number(v, 0xFFFFFFFFul, &n))
                return fail("--seed needs a number");
            options.seed = static_cast<uint32_t>(n);
        } else if (arg == "--burst") {
            if (!value(&v) || !number(v, 1 << 20, &n))
                return fail("--burst needs a byte count");
            options.burstSize = n;
        } else if (arg == "--byte-by-byte") {
            options.burstSize = 1;
        } else if (arg == "--drop-every") {
            if (!value(&v) || !number(v, 0xFFFFFFFFul, &n))
                return fail("--drop-every needs a number");
            options.dropEvery = static_cast<unsigned>(n);
        } else if (arg == "--insert-every" || arg == "--omit-every" || arg == "--flip-every") {
            if (!value(&v) || !number(v, 3600000, &n))
                return fail(arg + " needs milliseconds");
            unsigned& ms = arg == "--insert-every" ? options.insertEveryMs
                           : arg == "--omit-every" ? options.omitEveryMs
                                                   : options.flipEveryMs;
            ms = static_cast<unsigned>(n);
        } else if (arg == "--corrupt-counter") {
            if (!value(&v) || !number(v, 0x7FFFFFFFul, &n))
                return fail("--corrupt-counter needs a pair number");
            options.corruptPair = static_cast<long long>(n);
        } else if (arg == "--corrupt-mask") {
            if (!value(&v) || !number(v, 0xFFFF, &n) || n == 0)
                return fail("--corrupt-mask needs a mask from 1 to 0xFFFF");
            options.corruptMask = static_cast<uint16_t>(n);
        } else if (arg == "--chatty") {
            options.chatty = true;
        } else if (arg == "--log") {
            if (!value(&v))
                return fail("--log needs a file name");
            options.logPath = v;
        } else if (arg == "--verbose") {
            options.echoLog = true;
        } else {
            return fail("unknown option " + arg);
        }
    }

    // The serving thread inherits this mask, so the signals reach sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN); // a closed stdout or stderr must not end the headset

    sim::Headset headset(options);
    std::string error;
    if (!headset.start(&error)) {
        std::fprintf(stderr, "neurask-headset: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", headset.portPath().c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    headset.stop();
    return 0;
}
