// libFuzzer target for the reader: each input is written to a temporary file and opened through
// the module's normal path in every annotation mode; every signal is read to its end (digital
// and physical, with seeks to odd positions) and every annotation is fetched, then the file is
// closed. Besides the sanitizers' findings, a broken promise of the interface (a failed open
// that leaves a slot in use, a read that returns more than asked or moves the position wrongly)
// stops the run.
#include "edf/edf.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace
{

char tempPath[4096];

void removeTempFile()
{
    if (tempPath[0])
        unlink(tempPath);
}

bool makeTempFile()
{
    if (tempPath[0])
        return true;
    const char* dir = getenv("TMPDIR");
    snprintf(tempPath, sizeof tempPath, "%s/edf-read-fuzz-XXXXXX", dir && *dir ? dir : "/tmp");
    const int fd = mkstemp(tempPath);
    if (fd < 0) {
        tempPath[0] = 0;
        return false;
    }
    close(fd);
    atexit(removeTempFile);
    return true;
}

void check(bool promise)
{
    if (!promise)
        __builtin_trap();
}

void readSignal(int handle, const edf_signal_info& info, int signal)
{
    static double physical[4096];
    static int digital[4096];
    const int64_t total = info.samples_in_file;
    check(edf_tell(handle, signal) == 0);
    int64_t pos = 0;
    for (;;) {
        const int n = edfread_physical_samples(handle, signal, 4096, physical);
        check(n >= 0 && n <= 4096 && pos + n <= total);
        pos += n;
        check(edf_tell(handle, signal) == pos);
        if (n == 0)
            break;
    }
    check(pos == total);
    // Odd positions, the end and beyond it.
    const int64_t odd = total / 3 + 1;
    check(edf_seek(handle, signal, odd, 0) == (odd < total ? odd : total));
    const int n = edfread_digital_samples(handle, signal, 7, digital);
    check(n >= 0 && n <= 7);
    for (int i = 0; i < n; i++)
        check(digital[i] >= info.digital_min && digital[i] <= info.digital_max);
    check(edf_seek(handle, signal, -4, 2) == (total >= 4 ? total - 4 : 0));
    check(edfread_digital_samples(handle, signal, 10, digital) == (total >= 4 ? 4 : total));
    check(edf_seek(handle, signal, INT64_MAX, 1) == total);
    check(edf_seek(handle, signal, INT64_MIN, 1) == 0);
    check(edf_rewind(handle, signal) == 0 && edf_tell(handle, signal) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static edf_header_info hdr;
    if (!makeTempFile())
        return 0;
    FILE* f = fopen(tempPath, "wb");
    if (!f)
        return 0;
    const bool written = fwrite(data, 1, size, f) == size;
    if (fclose(f) != 0 || !written)
        return 0;

    for (int mode = 0; mode <= 2; mode++) {
        if (edf_open_for_reading(tempPath, &hdr, mode) != 0) {
            check(hdr.filetype < 0 && edf_open_file_count() == 0);
            continue;
        }
        const int handle = hdr.handle;
        check(hdr.filetype >= 0 && hdr.filetype <= 3 && edf_open_file_count() == 1);
        check(hdr.signal_count >= 0 && hdr.signal_count <= EDF_MAX_SIGNALS);
        check(mode != 0 || hdr.annotation_count == 0);
        for (int s = 0; s < hdr.signal_count; s++)
            readSignal(handle, hdr.signal_info[s], s);
        check(edfread_digital_samples(handle, hdr.signal_count, 1, nullptr) == -1);
        edf_annotation_info annotation;
        for (int64_t i = 0; i < hdr.annotation_count; i++) {
            check(edf_get_annotation(handle, static_cast<int>(i), &annotation) == 0);
            check(annotation.text[512] == 0 && annotation.duration_text[19] == 0);
        }
        check(edf_get_annotation(handle, static_cast<int>(hdr.annotation_count), &annotation) ==
              -1);
        check(edf_close(handle) == 0 && edf_open_file_count() == 0);
    }
    return 0;
}
