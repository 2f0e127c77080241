// Builds EDF, EDF+, BDF and BDF+ files byte by byte, independently of the module's writer, so
// that the reader can be given exactly the header and records a test needs: valid files by
// default, and any single field broken on purpose. Used by the reader tests and by the tool that
// makes the fuzzer's seed corpus.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace edftest
{

// One signal's header entry, as the texts that go into the fields. Texts are padded with
// spaces to the field width and cut to it.
struct RawSignal {
    std::string label = "EEG";
    std::string transducer;
    std::string dimension = "uV";
    std::string physicalMin = "-3276.8";
    std::string physicalMax = "3276.7";
    std::string digitalMin = "-32768";
    std::string digitalMax = "32767";
    std::string prefilter;
    std::string samples = "10";
    std::string reserved;
    bool annotation = false; // data: filled by sampleValue; annotation: by annotationBlock
};

struct RawFile {
    bool bdf = false;
    std::string version; // empty: "0       " or 0xFF "BIOSEMI"
    std::string patient = "X X X X";
    std::string recording = "Startdate X X X X";
    std::string startDate = "01.02.03";
    std::string startTime = "04.05.06";
    std::string headerSize; // empty: 256 x (signals + 1)
    std::string reserved;   // "EDF+C", "BDF+C", or empty for plain EDF / BDF
    std::string records = "3";
    std::string duration = "1";
    std::string signalCount; // empty: the number of entries in signals
    std::vector<RawSignal> signals;

    // Digital value of data signal s (counted among data signals), record r, sample i.
    std::function<int32_t(int64_t r, int s, int i)> sampleValue;
    // Bytes of annotation signal k (counted among annotation signals) in record r; padded with
    // zero bytes or cut to the signal's size. Default: the time-keeping TAL "+r", 0x14 0x14 0.
    std::function<std::string(int64_t r, int k)> annotationBlock;

    std::string header() const;
    // Header plus recordCount records (default: the records field's value). Signals with more
    // than a million samples per record get no samples, to keep refusal tests small.
    std::string bytes(int64_t recordCount = -1) const;
};

// Default digital sample pattern: differs per record, signal and sample, and covers negative
// values and (in BDF) values outside 16 bits.
int32_t defaultSample(bool bdf, int64_t r, int s, int i);

// A valid EDF+ (or BDF+) file: data signals labelled "EEG 1".. with samples per record each, one
// annotation signal, and the given number of one-second records.
RawFile plusFile(bool bdf, int dataSignals, int samplesPerRecord, int records);
// A valid plain EDF (or BDF) file without annotation signals.
RawFile plainFile(bool bdf, int dataSignals, int samplesPerRecord, int records);

// A TAL: onset text (with its sign), optional duration text, texts, terminated by 0x00.
std::string tal(const std::string& onset, const std::vector<std::string>& texts,
                const std::string& duration = std::string());

bool writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

} // namespace edftest
