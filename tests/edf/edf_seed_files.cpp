// Writes a small set of valid recording files into a folder: files from the module's own writer
// (EDF+ and BDF+ with annotations, several annotation signals, a subsecond start, annotations
// only) and plain EDF and BDF files built byte by byte. fuzz/edf/make-corpus turns them, and
// their conversions by other tools, into the reader fuzzer's seed corpus; the peer tests use
// them as sources too.
//
// Usage: edf_seed_files FOLDER
#include "edf/edf.h"
#include "edf_raw_file.h"

#include <math.h>
#include <stdio.h>

#include <string>

namespace
{

// Writes a file with the module's writer; returns false on any failure.
bool writeWithWriter(const std::string& path, int type, int signals, int samples, int records,
                     int annotationSignals, bool halfSecond, bool withPatient, int annotations)
{
    const int h =
        edf_open_for_writing_with_params(path.c_str(), type, signals, samples, 500.0, "uV");
    if (h < 0)
        return false;
    bool ok = edf_set_startdatetime(h, 2026, 12, 8, 1, 2, 3) == 0 &&
              edf_set_number_of_annotation_signals(h, annotationSignals) == 0;
    if (halfSecond)
        ok = ok && edf_set_datarecord_duration(h, 50000) == 0 &&
             edf_set_subsecond_starttime(h, 1234567) == 0;
    if (withPatient)
        ok = ok && edf_set_patientname(h, "Ivanova Anna") == 0 &&
             edf_set_patientcode(h, "P-0042") == 0 && edf_set_sex(h, 0) == 0 &&
             edf_set_birthdate(h, 1990, 4, 17) == 0 && edf_set_admincode(h, "A7") == 0 &&
             edf_set_technician(h, "Petrov") == 0 && edf_set_equipment(h, "Neurask 0.4") == 0 &&
             edf_set_recording_additional(h, "eyes closed") == 0;
    for (int i = 0; ok && i < annotations; i++) {
        const std::string text = i % 2 ? "Stimulus" : "Событие";
        ok =
            edfwrite_annotation_utf8(h, 250000LL * i + 100, i % 3 ? 500000 : -1, text.c_str()) == 0;
    }
    double* values = new double[samples];
    for (int r = 0; ok && r < records; r++) {
        for (int s = 0; ok && s < signals; s++) {
            for (int i = 0; i < samples; i++)
                values[i] = 400.0 * sin(0.1 * (r * samples + i) + s);
            ok = edfwrite_physical_samples(h, values) == 0;
        }
    }
    delete[] values;
    return edf_close(h) == 0 && ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    ok &= writeWithWriter(dir + "/writer-edfplus.edf", EDF_FILETYPE_EDFPLUS, 3, 10, 4, 1, false,
                          true, 4);
    ok &= writeWithWriter(dir + "/writer-bdfplus.bdf", EDF_FILETYPE_BDFPLUS, 3, 10, 4, 1, false,
                          true, 4);
    ok &= writeWithWriter(dir + "/writer-two-annotation-signals.edf", EDF_FILETYPE_EDFPLUS, 2, 5, 4,
                          2, true, false, 6);
    ok &= writeWithWriter(dir + "/writer-bdfplus-halfsecond.bdf", EDF_FILETYPE_BDFPLUS, 1, 7, 4, 1,
                          true, false, 2);
    ok &= writeWithWriter(dir + "/writer-annotations-only.edf", EDF_FILETYPE_EDFPLUS, 0, 1, 0, 1,
                          false, false, 3);
    ok &= writeWithWriter(dir + "/writer-twelve-signals.edf", EDF_FILETYPE_EDFPLUS, 12, 4, 2, 1,
                          false, false, 0);

    edftest::RawFile edf = edftest::plainFile(false, 2, 8, 3);
    edf.signals[1].samples = "5";
    edf.signals[1].physicalMin = "-1.5E2";
    edf.signals[1].physicalMax = "150";
    edf.signals[1].digitalMin = "-2048";
    edf.signals[1].digitalMax = "2047";
    ok &= edftest::writeFile(dir + "/plain.edf", edf.bytes());
    edftest::RawFile bdf = edftest::plainFile(true, 2, 6, 2);
    bdf.reserved = "24BIT";
    ok &= edftest::writeFile(dir + "/plain.bdf", bdf.bytes());
    // Shapes of other writers' files: numbers aligned right, text in a plain file's reserved
    // field, Latin-1 and NUL padding, "EDF+C" without an annotation signal, an incomplete last
    // record.
    edftest::RawFile aligned = edftest::plainFile(true, 2, 3, 2);
    aligned.records = "       2";
    aligned.signals[0].digitalMax = " 8388607";
    aligned.reserved = "24BIT";
    ok &= edftest::writeFile(dir + "/raw-aligned.bdf", aligned.bytes() + std::string(7, '\0'));
    edftest::RawFile texts = edftest::plainFile(false, 1, 3, 2);
    texts.reserved = "DEVICE 1";
    texts.patient = "M\xfcller";
    texts.signals[0].label = std::string("C3\0\0", 4);
    ok &= edftest::writeFile(dir + "/raw-texts.edf", texts.bytes());
    edftest::RawFile bare = edftest::plusFile(false, 2, 3, 2);
    bare.signals.pop_back();
    bare.patient = "X F %02d-Aug-%04Y X";
    ok &= edftest::writeFile(dir + "/raw-plus-without-annotations.edf", bare.bytes());
    edftest::RawFile tals = edftest::plusFile(false, 1, 4, 2);
    tals.annotationBlock = [](int64_t r, int) {
        return edftest::tal("+" + std::to_string(r), {""}) +
               edftest::tal("-0.25", {"before", "start"}, "1.5") + edftest::tal("+0.5", {"x"});
    };
    ok &= edftest::writeFile(dir + "/raw-tals.edf", tals.bytes());
    // Annotation slots used to their last byte, and a text longer than an annotation holds.
    edftest::RawFile full = edftest::plusFile(false, 1, 2, 2);
    full.annotationBlock = [](int64_t r, int) {
        const std::string keeping = edftest::tal("+" + std::to_string(r), {""});
        return keeping + edftest::tal("+0.1", {std::string(120 - keeping.size() - 7, 'a')});
    };
    ok &= edftest::writeFile(dir + "/raw-full-slot.edf", full.bytes());
    edftest::RawFile longText = edftest::plusFile(true, 1, 2, 1);
    longText.signals.back().samples = "200";
    longText.annotationBlock = [](int64_t, int) {
        return edftest::tal("+0", {""}) +
               edftest::tal("+0.2", {std::string(510, 'b') + "\xd0\xb6\xd0\xb6"}, "0.5");
    };
    ok &= edftest::writeFile(dir + "/raw-long-text.bdf", longText.bytes());
    if (!ok) {
        fprintf(stderr, "edf_seed_files: could not write every file into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
