#include "edf_raw_file.h"

#include <fstream>
#include <iterator>
#include <sstream>

namespace edftest
{

namespace
{

void put(std::string& out, const std::string& text, size_t width)
{
    std::string field = text.substr(0, width);
    field.resize(width, ' ');
    out += field;
}

int64_t toInt(const std::string& text, int64_t fallback)
{
    try {
        size_t used = 0;
        long long v = std::stoll(text, &used);
        return used ? v : fallback;
    } catch (...) {
        return fallback;
    }
}

void putSample(std::string& out, int32_t v, bool bdf)
{
    const uint32_t u = static_cast<uint32_t>(v);
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>((u >> 8) & 0xFF);
    if (bdf)
        out += static_cast<char>((u >> 16) & 0xFF);
}

} // namespace

int32_t defaultSample(bool bdf, int64_t r, int s, int i)
{
    const int32_t v = static_cast<int32_t>((r * 7919 + s * 1031 + i * 97) % 20001) - 10000;
    return bdf ? v * 300 + s : v;
}

std::string RawFile::header() const
{
    const size_t ns = signals.size();
    std::string h;
    if (!version.empty())
        put(h, version, 8);
    else if (bdf)
        h += std::string("\xff") + "BIOSEMI";
    else
        h += "0       ";
    put(h, patient, 80);
    put(h, recording, 80);
    put(h, startDate, 8);
    put(h, startTime, 8);
    put(h, headerSize.empty() ? std::to_string(256 * (ns + 1)) : headerSize, 8);
    put(h, reserved, 44);
    put(h, records, 8);
    put(h, duration, 8);
    put(h, signalCount.empty() ? std::to_string(ns) : signalCount, 4);
    const std::pair<std::string RawSignal::*, size_t> fields[] = {
        {&RawSignal::label, 16},      {&RawSignal::transducer, 80}, {&RawSignal::dimension, 8},
        {&RawSignal::physicalMin, 8}, {&RawSignal::physicalMax, 8}, {&RawSignal::digitalMin, 8},
        {&RawSignal::digitalMax, 8},  {&RawSignal::prefilter, 80},  {&RawSignal::samples, 8},
        {&RawSignal::reserved, 32},
    };
    for (const auto& f : fields) {
        for (const RawSignal& s : signals)
            put(h, s.*(f.first), f.second);
    }
    return h;
}

std::string RawFile::bytes(int64_t recordCount) const
{
    std::string out = header();
    if (recordCount < 0)
        recordCount = toInt(records, 0);
    const int bps = bdf ? 3 : 2;
    for (int64_t r = 0; r < recordCount; r++) {
        int data = 0, annotation = 0;
        for (const RawSignal& s : signals) {
            const int64_t n = toInt(s.samples, 0);
            if (n <= 0 || n > 1000000)
                continue;
            if (s.annotation) {
                std::string block = annotationBlock ? annotationBlock(r, annotation)
                                                    : tal("+" + std::to_string(r), {""});
                block.resize(static_cast<size_t>(n * bps), '\0');
                out += block;
                annotation++;
            } else {
                for (int i = 0; i < n; i++) {
                    const int32_t v =
                        sampleValue ? sampleValue(r, data, i) : defaultSample(bdf, r, data, i);
                    putSample(out, v, bdf);
                }
                data++;
            }
        }
    }
    return out;
}

RawFile plainFile(bool bdf, int dataSignals, int samplesPerRecord, int records)
{
    RawFile f;
    f.bdf = bdf;
    f.patient = "patient 7";
    f.recording = "morning session";
    f.records = std::to_string(records);
    for (int i = 0; i < dataSignals; i++) {
        RawSignal s;
        s.label = "EEG " + std::to_string(i + 1);
        s.samples = std::to_string(samplesPerRecord);
        if (bdf) {
            s.physicalMin = "-262144";
            s.physicalMax = "262143";
            s.digitalMin = "-8388608";
            s.digitalMax = "8388607";
        }
        f.signals.push_back(s);
    }
    return f;
}

RawFile plusFile(bool bdf, int dataSignals, int samplesPerRecord, int records)
{
    RawFile f = plainFile(bdf, dataSignals, samplesPerRecord, records);
    f.patient = "X X X X";
    f.recording = "Startdate X X X X";
    f.reserved = bdf ? "BDF+C" : "EDF+C";
    RawSignal a;
    a.label = bdf ? "BDF Annotations" : "EDF Annotations";
    a.dimension = "";
    a.physicalMin = "-1";
    a.physicalMax = "1";
    a.digitalMin = bdf ? "-8388608" : "-32768";
    a.digitalMax = bdf ? "8388607" : "32767";
    a.samples = bdf ? "40" : "60";
    a.annotation = true;
    f.signals.push_back(a);
    return f;
}

std::string tal(const std::string& onset, const std::vector<std::string>& texts,
                const std::string& duration)
{
    std::string t = onset;
    if (!duration.empty())
        t += '\x15' + duration;
    t += '\x14';
    for (const std::string& text : texts)
        t += text + '\x14';
    t += '\0';
    return t;
}

bool writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace edftest
