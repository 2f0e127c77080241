// Display filters for the signal plot: a high-pass, a low-pass and a mains
// notch, run per channel on the samples as they arrive. What the operator sees
// only; files and spectra take the unfiltered samples.
//
// Designed and run by liquid-dsp: Butterworth high-pass (order 2) and low-pass
// (order 4), a second-order Butterworth band-stop about 2 Hz wide (-3 dB) for
// the notch, each as second-order sections in direct form I. Direct form II
// loses the signal in single precision at a 0.1 Hz cut-off: its inner state
// grows by the inverse of the squared cut-off.
//
// One object per stream of samples (the capture), used from one thread. Each
// channel keeps its own state across calls until reset() or until the rate or
// a choice changes, which start every channel afresh.
#pragma once

#include <cstddef>
#include <vector>

struct iirfiltsos_rrrf_s;

class DisplayFilter
{
public:
    enum Stage { HighPass, LowPass, Notch };

    explicit DisplayFilter(int channels);
    ~DisplayFilter();
    DisplayFilter(const DisplayFilter&) = delete;
    DisplayFilter& operator=(const DisplayFilter&) = delete;

    // Samples per second. Nothing runs until a positive rate is set.
    void setRate(double samplesPerSecond);
    // Cut-off and notch frequencies in Hz; 0 turns a stage off.
    void setChoices(double highPassHz, double lowPassHz, double notchHz);
    // Forgets every channel's history, as at the start of a capture.
    void reset();

    // A stage that is chosen and designed, and so changes the samples.
    bool isActive(Stage stage) const { return active[stage]; }
    // A stage that is chosen but that the rate cannot carry (a frequency at or
    // above half the rate): it is left out rather than run unstable.
    bool isDropped(Stage stage) const { return dropped[stage]; }
    // True when no stage runs: process() then leaves the samples as they are.
    bool isPassThrough() const { return perChannel == 0; }

    int channels() const { return channelTotal; }

    // Filters count consecutive samples of one channel in place. Channels
    // outside 0 .. channels() - 1 are left alone. A sample that is not a finite
    // number passes unchanged and does not enter the channel's history.
    void process(int channel, double* samples, std::size_t count);
    void process(int channel, float* samples, std::size_t count);

private:
    template <typename T> void run(int channel, T* samples, std::size_t count);
    void design();
    void release();

    int channelTotal;
    double rate = 0;
    double choice[3] = {0, 0, 0};
    bool active[3] = {false, false, false};
    bool dropped[3] = {false, false, false};

    // Coefficients of the designed sections, in the order they run (b then a,
    // three each per section); every channel runs the same.
    std::vector<float> coefficients;
    int perChannel = 0;
    std::vector<iirfiltsos_rrrf_s*> sections; // channel-major

    // The first sample after a reset is each channel's baseline: the filters
    // see the departure from it, which keeps the electrode's standing offset
    // out of their single-precision arithmetic and lets a high-pass start
    // settled instead of swinging from that offset for tens of seconds.
    std::vector<double> baseline;
    std::vector<bool> primed;
};
