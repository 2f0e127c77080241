// Writes an EDF+ and a BDF+ file for the independent readers to check, and a JSON description of
// what each file must contain (header fields, every sample's digital value, annotations).
//
// usage: edf_peer_writer OUTPUT_DIR
#include "edf/edf.h"

#include <math.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace
{

struct Signal {
    const char* label;
    const char* dimension;
    int samples;
    double physMin, physMax;
    int digMin, digMax;
    const char* transducer;
    const char* prefilter;
};

struct Annotation {
    long long onsetUs, durationUs;
    const char* text;
};

struct FilePlan {
    const char* name;
    int type;
    int durationTensOfUs; // record duration in units of 10 us
    int subsecond;        // start subsecond, 100 ns units
    int records;
    std::vector<Signal> signals;
    std::vector<Annotation> annotations;
};

// Deterministic digital values spread over the whole range, with both ends and zero present.
int digitalValue(const Signal& s, int record, int signal, int i)
{
    const long long span = static_cast<long long>(s.digMax) - s.digMin;
    const int k = record * s.samples + i;
    if (k == 0)
        return s.digMin;
    if (k == 1)
        return s.digMax;
    long long v = (static_cast<long long>(k) * 7919 + signal * 104729) % (span + 1);
    return static_cast<int>(s.digMin + v);
}

void jsonString(FILE* f, const char* s)
{
    fputc('"', f);
    for (; *s; s++) {
        if (*s == '"' || *s == '\\')
            fputc('\\', f);
        fputc(*s, f);
    }
    fputc('"', f);
}

bool writeFile(const std::string& dir, const FilePlan& plan)
{
    const std::string path = dir + "/" + plan.name;
    const int n = static_cast<int>(plan.signals.size());
    int h = edf_open_for_writing(path.c_str(), plan.type, n);
    if (h < 0) {
        fprintf(stderr, "%s: open failed: %d\n", path.c_str(), h);
        return false;
    }
    bool ok = true;
    for (int i = 0; i < n; i++) {
        const Signal& s = plan.signals[i];
        ok = ok && edf_set_label(h, i, s.label) == 0 &&
             edf_set_physical_dimension(h, i, s.dimension) == 0 &&
             edf_set_samples_per_record(h, i, s.samples) == 0 &&
             edf_set_physical_minimum(h, i, s.physMin) == 0 &&
             edf_set_physical_maximum(h, i, s.physMax) == 0 &&
             edf_set_digital_minimum(h, i, s.digMin) == 0 &&
             edf_set_digital_maximum(h, i, s.digMax) == 0 &&
             edf_set_transducer(h, i, s.transducer) == 0 &&
             edf_set_prefilter(h, i, s.prefilter) == 0;
    }
    ok = ok && edf_set_startdatetime(h, 2024, 11, 27, 14, 5, 9) == 0 &&
         edf_set_subsecond_starttime(h, plan.subsecond) == 0 &&
         edf_set_datarecord_duration(h, plan.durationTensOfUs) == 0 &&
         edf_set_patientcode(h, "MCH-0234567") == 0 && edf_set_sex(h, 0) == 0 &&
         edf_set_birthdate(h, 1951, 8, 2) == 0 && edf_set_patientname(h, "Haagse Harry") == 0 &&
         edf_set_admincode(h, "PSG-1234/2024") == 0 && edf_set_technician(h, "NN") == 0 &&
         edf_set_equipment(h, "Neurask") == 0;
    for (const Annotation& a : plan.annotations)
        ok = ok && edfwrite_annotation_utf8(h, a.onsetUs, a.durationUs, a.text) == 0;

    // Physical values for the first signal (they come back as the same digital values because
    // each one is the physical value of a digital step), digital values for the others.
    for (int r = 0; r < plan.records && ok; r++) {
        for (int i = 0; i < n && ok; i++) {
            const Signal& s = plan.signals[i];
            std::vector<int> dig(s.samples);
            for (int k = 0; k < s.samples; k++)
                dig[k] = digitalValue(s, r, i, k);
            if (i == 0) {
                const double bit = (s.physMax - s.physMin) / (double(s.digMax) - s.digMin);
                const double offset = s.physMax / bit - s.digMax;
                std::vector<double> phys(s.samples);
                // Half a step away from zero, so that truncation toward zero lands on the value
                // whatever the rounding of the division.
                for (int k = 0; k < s.samples; k++)
                    phys[k] = bit * (offset + dig[k] + (dig[k] >= 0 ? 0.5 : -0.5));
                ok = edfwrite_physical_samples(h, phys.data()) == 0;
            } else {
                ok = edfwrite_digital_samples(h, dig.data()) == 0;
            }
        }
    }
    int closed = edf_close(h);
    if (!ok || closed != 0) {
        fprintf(stderr, "%s: writing failed (close %d)\n", path.c_str(), closed);
        return false;
    }

    FILE* j = fopen((path + ".json").c_str(), "w");
    if (!j)
        return false;
    fprintf(j, "{\"file\": ");
    jsonString(j, plan.name);
    fprintf(j, ", \"bdf\": %s, \"records\": %d, \"record_duration\": %.7f, \"subsecond\": %d,\n",
            plan.type == EDF_FILETYPE_BDFPLUS ? "true" : "false", plan.records,
            plan.durationTensOfUs / 100000.0, plan.subsecond);
    fprintf(j, " \"start\": [2024, 11, 27, 14, 5, 9],\n \"signals\": [\n");
    for (int i = 0; i < n; i++) {
        const Signal& s = plan.signals[i];
        fprintf(j, "  {\"label\": ");
        jsonString(j, s.label);
        fprintf(j, ", \"dimension\": ");
        jsonString(j, s.dimension);
        fprintf(j, ", \"transducer\": ");
        jsonString(j, s.transducer);
        fprintf(j, ", \"prefilter\": ");
        jsonString(j, s.prefilter);
        fprintf(j,
                ", \"samples\": %d, \"phys_min\": %.17g, \"phys_max\": %.17g, \"dig_min\": %d, "
                "\"dig_max\": %d,\n   \"digital\": [",
                s.samples, s.physMin, s.physMax, s.digMin, s.digMax);
        for (int r = 0; r < plan.records; r++) {
            for (int k = 0; k < s.samples; k++)
                fprintf(j, "%s%d", r || k ? "," : "", digitalValue(s, r, i, k));
        }
        fprintf(j, "]}%s\n", i + 1 < n ? "," : "");
    }
    fprintf(j, " ],\n \"annotations\": [\n");
    for (size_t i = 0; i < plan.annotations.size(); i++) {
        const Annotation& a = plan.annotations[i];
        fprintf(j, "  {\"onset\": %.6f, \"duration\": %.6f, \"text\": ", a.onsetUs / 1e6,
                a.durationUs / 1e6);
        jsonString(j, a.text);
        fprintf(j, "}%s\n", i + 1 < plan.annotations.size() ? "," : "");
    }
    fprintf(j, " ]}\n");
    return fclose(j) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const FilePlan edf = {
        "peer.edf",
        EDF_FILETYPE_EDFPLUS,
        50000, // 0.5 s records
        0,
        9,
        {
            {"EEG Fp1", "uV", 137, -3276.8, 3276.7, -32768, 32767, "AgAgCl cup", "HP:0.1Hz"},
            {"EEG O2", "uV", 137, -500, 500, -2048, 2047, "AgAgCl cup", "LP:70Hz"},
            {"Resp", "mV", 137, 0.5, 2.25, 0, 1000, "belt", ""},
            {"Aux", "V", 137, 30, 42, -100, 100, "", ""},
        },
        {{250000, -1, "Eyes closed"},
         {1500000, 500000, "Blink"},
         {3000000, 0, "Marker 3"},
         {4125000, 125000, "Artefact"}},
    };
    const FilePlan bdf = {
        "peer.bdf",
        EDF_FILETYPE_BDFPLUS,
        200000, // 2 s records
        0,
        5,
        {
            {"EEG C3", "uV", 1023, -262144, 262143, -8388608, 8388607, "active", "DC"},
            {"EEG C4", "uV", 1023, -100000, 100000, -8388608, 8388607, "active", "DC"},
            {"Aux", "V", 1023, -8388608, 8388607, -8388608, 8388607, "trigger", ""},
        },
        {{0, -1, "Start"}, {2750000, 1000000, "Stimulus"}, {9999999, -1, "Last"}},
    };
    return writeFile(dir, edf) && writeFile(dir, bdf) ? 0 : 1;
}
