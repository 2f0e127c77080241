// Writing half of the recording-file module: opening for writing, setters, the header, sample
// writers, time-keeping annotations and closing.
#include "edf/edf_internal.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace
{

const int64_t max_records = 99999999;

// An open file that was opened for writing.
edf_file_record* writing_record(int handle)
{
    edf_file_record* f = edf_record(handle);
    return f && f->writing ? f : nullptr;
}

// An open file whose header may still change: opened for writing, no record completed and none
// under way. Once the first record's samples are going out, the header describing their layout
// is on disk; a change now would make the samples disagree with it.
edf_file_record* writable_record(int handle)
{
    edf_file_record* f = writing_record(handle);
    return f && f->record_count == 0 && f->next_signal == 0 ? f : nullptr;
}

edf_signal_param* writable_signal(int handle, int signal)
{
    edf_file_record* f = writable_record(handle);
    if (!f || signal < 0 || signal >= f->signal_count)
        return nullptr;
    return &f->signals[signal];
}

bool host_is_little_endian()
{
    const uint16_t one = 1;
    unsigned char first;
    memcpy(&first, &one, 1);
    return first == 1;
}

// ---- Building text into a bounded field --------------------------------------------------

// Appends to a fixed-size field and never writes past it; the header's field budgets keep the
// composed identifications inside 80 bytes, the bound only guards against a slip.
struct field_builder {
    char* out;
    int size;
    int len;

    void put(char c)
    {
        if (len < size)
            out[len++] = c;
    }
    void put(const char* s, int n)
    {
        for (int i = 0; i < n; i++)
            put(s[i]);
    }
    void put(const char* s) { put(s, static_cast<int>(strlen(s))); }
    // n bytes of s transliterated to ASCII, spaces optionally turned into '_'.
    void put_ascii(const char* s, int n, bool underscores)
    {
        for (int i = 0; i < n; i++) {
            char c = s[i];
            edf_latin1_to_ascii(&c, 1);
            put(underscores && c == ' ' ? '_' : c);
        }
    }
    void pad() // with spaces to the end of the field
    {
        while (len < size)
            out[len++] = ' ';
    }
};

void put_field(char* field, int width, const char* text)
{
    field_builder b{field, width, 0};
    b.put(text);
    b.pad();
}

void put_field_int(char* field, int width, int64_t v)
{
    char text[24];
    edf_format_int64(v, text);
    put_field(field, width, text);
}

void compose_patient(const edf_file_record* f, char* field)
{
    field_builder b{field, 80, 0};
    int room = f->birth_date[0] ? 62 : 72;
    bool name_fits = true;

    int n = static_cast<int>(strlen(f->patient_code));
    if (n == 0) {
        b.put("X ");
    } else {
        if (n > room) {
            n = room;
            name_fits = false;
        }
        room -= n;
        b.put_ascii(f->patient_code, n, true);
        b.put(' ');
    }
    if (room <= 0)
        name_fits = false;

    b.put(f->sex[0] == 'M' ? "M " : f->sex[0] == 'F' ? "F " : "X ");

    if (!f->birth_date[0]) {
        b.put('X');
    } else {
        int month = atoi(f->birth_date + 3);
        b.put(f->birth_date, 2);
        b.put('-');
        b.put(month >= 1 && month <= 12 ? edf_month_names[month - 1] : "XXX");
        b.put('-');
        b.put(f->birth_date + 6, 4);
    }
    b.put(' ');

    n = static_cast<int>(strlen(f->patient_name));
    if (n == 0 || !name_fits) {
        b.put('X');
    } else {
        if (n > room)
            n = room;
        room -= n;
        b.put_ascii(f->patient_name, n, true);
    }

    if (room > 0) {
        b.put(' ');
        room--;
        n = static_cast<int>(strlen(f->patient_additional));
        if (n > 0 && room > 0)
            b.put_ascii(f->patient_additional, n < room ? n : room, false);
    }
    b.pad();
}

// One of technician or equipment: "X" when empty or without room, else the text cut to room.
void put_recording_subfield(field_builder& b, const char* text, int& room)
{
    int n = static_cast<int>(strlen(text));
    if (n == 0 || room == 0) {
        b.put('X');
        return;
    }
    if (n > room)
        n = room;
    room -= n;
    b.put_ascii(text, n, true);
}

void compose_recording(const edf_file_record* f, char* field)
{
    field_builder b{field, 80, 0};
    char start[32];
    int month = f->start_month >= 1 && f->start_month <= 12 ? f->start_month : 1;
    snprintf(start, sizeof(start), "Startdate %02u-%s-%04u ", static_cast<unsigned>(f->start_day),
             edf_month_names[month - 1], static_cast<unsigned>(f->start_year));
    b.put(start);

    int room;
    int n = static_cast<int>(strlen(f->admin_code));
    if (n == 0) {
        b.put('X');
        room = 41;
    } else {
        if (n > 42)
            n = 42;
        room = 42 - n;
        b.put_ascii(f->admin_code, n, true);
        if (room == 0) {
            b.put(" X X");
            b.pad();
            return;
        }
        room--;
    }

    b.put(' ');
    put_recording_subfield(b, f->technician, room);

    if (room == 0) {
        b.put(" X");
        b.pad();
        return;
    }
    b.put(' ');
    room--;
    put_recording_subfield(b, f->equipment, room);

    if (room > 0) {
        b.put(' ');
        room--;
        n = static_cast<int>(strlen(f->recording_additional));
        if (n > 0 && room > 0)
            b.put_ascii(f->recording_additional, n < room ? n : room, false);
    }
    b.pad();
}

// The record duration as the header shows it, exact from the 100 ns count.
void format_duration(const edf_file_record* f, char* field)
{
    if (f->record_duration_ticks == EDF_TIME_DIMENSION) {
        put_field(field, 8, "1");
        return;
    }
    char text[40];
    int len = edf_format_int64(f->record_duration_ticks / EDF_TIME_DIMENSION, text);
    int64_t frac = f->record_duration_ticks % EDF_TIME_DIMENSION;
    if (frac) {
        char digits[16];
        snprintf(digits, sizeof(digits), "%07lld", static_cast<long long>(frac));
        int d = 7;
        while (digits[d - 1] == '0')
            d--;
        text[len++] = '.';
        memcpy(text + len, digits, d);
        len += d;
        text[len] = 0;
    }
    put_field(field, 8, text);
}

int write_bytes(edf_file_record* f, const void* data, size_t n)
{
    if (n && fwrite(data, 1, n, f->stream) != n) {
        f->io_failed = 1;
        return -1;
    }
    return 0;
}

void fill_start_from_clock(edf_file_record* f)
{
    time_t now = time(nullptr);
    struct tm local;
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    f->start_day = local.tm_mday;
    f->start_month = local.tm_mon + 1;
    f->start_year = local.tm_year + 1900;
    f->start_hour = local.tm_hour;
    f->start_minute = local.tm_min;
    f->start_second = local.tm_sec % 60;
}

// Checks the configuration, computes the record layout and the conversion factors, and writes
// the whole header from the start of the file. Returns 0, a header error code (nothing written),
// or -1 when the write failed.
int write_header(edf_file_record* f)
{
    if (f->signal_count < 0)
        return EDF_HEADER_NEGATIVE_SIGNALS;
    if (f->signal_count > EDF_MAX_SIGNALS)
        return EDF_HEADER_TOO_MANY_SIGNALS;

    int64_t sample_sum = 0;
    int equal = 1;
    for (int i = 0; i < f->signal_count; i++) {
        const edf_signal_param& s = f->signals[i];
        if (s.samples_per_record < 1)
            return EDF_HEADER_SAMPLES_PER_RECORD;
        if (s.digital_min == s.digital_max)
            return EDF_HEADER_DIGITAL_EQUAL;
        if (s.digital_max < s.digital_min)
            return EDF_HEADER_DIGITAL_ORDER;
        if (s.physical_min == s.physical_max)
            return EDF_HEADER_PHYSICAL_EQUAL;
        sample_sum += s.samples_per_record;
        if (s.samples_per_record != f->signals[0].samples_per_record)
            equal = 0;
    }
    f->equal_sample_counts = equal;

    const bool bdf = f->is_bdfplus != 0;
    const int64_t annotation_bytes = 120LL * f->annotation_signal_count;
    const int64_t record_size = annotation_bytes + (bdf ? 3 : 2) * sample_sum;
    if (record_size > (bdf ? EDF_MAX_RECORD_SIZE_BDF : EDF_MAX_RECORD_SIZE_EDF))
        return EDF_HEADER_RECORD_SIZE;
    f->annotation_bytes = static_cast<int>(annotation_bytes);
    f->record_size = static_cast<int>(record_size);

    for (int i = 0; i < f->signal_count; i++) {
        edf_signal_param& s = f->signals[i];
        s.bit_value = (s.physical_max - s.physical_min) /
                      (static_cast<double>(s.digital_max) - s.digital_min);
        s.offset = s.physical_max / s.bit_value - s.digital_max;
    }

    if (f->start_year == 0)
        fill_start_from_clock(f);

    const int total_signals = f->signal_count + f->annotation_signal_count;
    const int header_size = 256 * (total_signals + 1);
    char* h = static_cast<char*>(malloc(header_size));
    if (!h)
        return -1;
    memset(h, ' ', header_size);

    if (bdf) {
        h[0] = static_cast<char>(0xFF);
        memcpy(h + 1, "BIOSEMI", 7);
    } else {
        h[0] = '0';
    }
    compose_patient(f, h + 8);
    compose_recording(f, h + 88);
    char text[32];
    snprintf(text, sizeof(text), "%02u.%02u.%02u", static_cast<unsigned>(f->start_day) % 100,
             static_cast<unsigned>(f->start_month) % 100,
             static_cast<unsigned>(f->start_year) % 100);
    memcpy(h + 168, text, 8);
    snprintf(text, sizeof(text), "%02u.%02u.%02u", static_cast<unsigned>(f->start_hour) % 100,
             static_cast<unsigned>(f->start_minute) % 100,
             static_cast<unsigned>(f->start_second) % 100);
    memcpy(h + 176, text, 8);
    put_field_int(h + 184, 8, header_size);
    memcpy(h + 192, bdf ? "BDF+C" : "EDF+C", 5);
    memcpy(h + 236, "-1", 2);
    format_duration(f, h + 244);
    put_field_int(h + 252, 4, total_signals);

    // Signal part: each field as an array over the data signals, then the annotation signals.
    char* p = h + 256;
    auto each = [&](int width, auto&& data_entry, const char* annotation_entry) {
        for (int i = 0; i < f->signal_count; i++, p += width)
            data_entry(p, f->signals[i]);
        for (int i = 0; i < f->annotation_signal_count; i++, p += width)
            put_field(p, width, annotation_entry);
    };
    auto text_entry = [](char* field, char* value, int width) {
        edf_latin1_to_ascii(value, static_cast<int>(strlen(value)));
        put_field(field, width, value);
    };
    // The limits were rounded to their text when set, so this gives back that same text.
    auto number_entry = [](char* field, double v) {
        char num[16];
        double value;
        if (edf_physical_text(v, num, &value) < 0)
            num[0] = '0', num[1] = 0;
        put_field(field, 8, num);
    };
    each(
        16, [&](char* q, edf_signal_param& s) { text_entry(q, s.label, 16); },
        bdf ? "BDF Annotations " : "EDF Annotations ");
    each(
        80, [&](char* q, edf_signal_param& s) { text_entry(q, s.transducer, 80); }, "");
    each(
        8, [&](char* q, edf_signal_param& s) { text_entry(q, s.physical_dimension, 8); }, "");
    each(
        8, [&](char* q, edf_signal_param& s) { number_entry(q, s.physical_min); }, "-1");
    each(
        8, [&](char* q, edf_signal_param& s) { number_entry(q, s.physical_max); }, "1");
    each(
        8, [&](char* q, edf_signal_param& s) { put_field_int(q, 8, s.digital_min); },
        bdf ? "-8388608" : "-32768");
    each(
        8, [&](char* q, edf_signal_param& s) { put_field_int(q, 8, s.digital_max); },
        bdf ? "8388607" : "32767");
    each(
        80, [&](char* q, edf_signal_param& s) { text_entry(q, s.prefilter, 80); }, "");
    each(
        8, [&](char* q, edf_signal_param& s) { put_field_int(q, 8, s.samples_per_record); },
        bdf ? "40" : "60");
    each(
        32, [](char*, edf_signal_param&) {}, "");

    int result = 0;
    if (edf_seek_stream(f->stream, 0) != 0) {
        f->io_failed = 1;
        result = -1;
    } else {
        result = write_bytes(f, h, header_size);
    }
    free(h);
    return result;
}

int ensure_conversion_buffer(edf_file_record* f, int64_t bytes)
{
    if (bytes <= f->conversion_buffer_size)
        return 0;
    free(f->conversion_buffer);
    f->conversion_buffer = static_cast<unsigned char*>(malloc(static_cast<size_t>(bytes)));
    if (!f->conversion_buffer) {
        f->conversion_buffer_size = 0;
        return -1;
    }
    f->conversion_buffer_size = static_cast<int>(bytes);
    return 0;
}

// Checks shared by every sample writer, then the header when this is the first write.
int begin_write(edf_file_record* f)
{
    if (f->io_failed)
        return -1;
    // The header's count field holds 8 digits; a record it could not count is never started.
    if (f->next_signal == 0 && f->record_count >= max_records)
        return -1;
    if (f->record_count == 0 && f->next_signal == 0)
        return write_header(f);
    return 0;
}

int32_t to_digital(const edf_signal_param& s, double v)
{
    double d = v / s.bit_value - s.offset;
    if (d != d) // NaN has no digital value; write the one nearest 0
        d = 0;
    if (d >= s.digital_max)
        return s.digital_max;
    if (d <= s.digital_min)
        return s.digital_min;
    return static_cast<int32_t>(d); // truncates toward zero
}

int32_t limit(const edf_signal_param& s, int32_t v)
{
    return v > s.digital_max ? s.digital_max : v < s.digital_min ? s.digital_min : v;
}

void store_sample(unsigned char* out, int32_t v, bool bdf)
{
    uint32_t u = static_cast<uint32_t>(v);
    out[0] = static_cast<unsigned char>(u);
    out[1] = static_cast<unsigned char>(u >> 8);
    if (bdf)
        out[2] = static_cast<unsigned char>(u >> 16);
}

// The samples of one signal, converted by `convert` (input index -> digital value).
template <typename Convert>
int write_signal(edf_file_record* f, const edf_signal_param& s, Convert convert)
{
    const bool bdf = f->is_bdfplus != 0;
    const int width = bdf ? 3 : 2;
    const int n = s.samples_per_record;
    if (ensure_conversion_buffer(f, static_cast<int64_t>(n) * width) != 0)
        return -1;
    unsigned char* out = f->conversion_buffer;
    for (int i = 0; i < n; i++, out += width)
        store_sample(out, convert(i), bdf);
    return write_bytes(f, f->conversion_buffer, static_cast<size_t>(n) * width);
}

// 16-bit samples: limited in the caller's array when the range is narrower than 16 bits, then
// written as they are.
int write_short_signal(edf_file_record* f, const edf_signal_param& s, short* samples)
{
    const int n = s.samples_per_record;
    if (s.digital_min != -32768 || s.digital_max != 32767) {
        for (int i = 0; i < n; i++)
            samples[i] = static_cast<short>(limit(s, samples[i]));
    }
    if (host_is_little_endian())
        return write_bytes(f, samples, static_cast<size_t>(n) * 2);
    return write_signal(f, s, [&](int i) { return static_cast<int32_t>(samples[i]); });
}

int64_t header_bytes(const edf_file_record* f)
{
    return 256LL * (f->signal_count + f->annotation_signal_count + 1);
}

// Writes the record count into the header and returns to the end of the complete records.
int write_record_count(edf_file_record* f, int64_t count)
{
    char text[8];
    put_field_int(text, 8, count);
    if (edf_write_at(f, 236, text, 8) != 0)
        return -1;
    if (edf_seek_stream(f->stream, header_bytes(f) + count * f->record_size) != 0) {
        f->io_failed = 1;
        return -1;
    }
    return 0;
}

// Writes the annotation area of the record that has just been filled (its time-keeping text and,
// in crash-safe mode, the annotations due by its end) and counts the record. In crash-safe mode
// the record's bytes are synced to the disk and only then is the count in the header brought up:
// a process killed or a power cut in between leaves a complete record that the header does not
// count yet, which every reader leaves out, never a count that promises a record that is not
// there. The count itself reaches the disk with the next sync (edf_flush, or the next record).
int complete_record(edf_file_record* f)
{
    unsigned char area[120 * EDF_MAX_ANNOTATION_SIGNALS];
    memset(area, 0, f->annotation_bytes);
    int len = edf_timekeeping_text(f, f->record_count, reinterpret_cast<char*>(area));
    area[len] = 0x14;
    area[len + 1] = 0x14;
    int chosen[EDF_MAX_ANNOTATION_SIGNALS];
    int placed = 0;
    if (f->crash_safe)
        placed = edf_fill_record_annotations(f, area, chosen);
    if (write_bytes(f, area, f->annotation_bytes) != 0)
        return -1;
    if (fflush(f->stream) != 0) {
        f->io_failed = 1;
        return -1;
    }
    // Data, sync, count: the disk may reorder writes it has not been told to keep, and a count
    // that reached it before the record it counts would promise a record that is not there.
    if (f->crash_safe && edf_sync_stream(f->stream) != 0) {
        f->io_failed = 1;
        return -1;
    }
    if (f->crash_safe && write_record_count(f, f->record_count + 1) != 0)
        return -1;
    if (placed > 0 && edf_mark_placed(f, f->record_count, chosen, placed) != 0)
        return -1;
    f->record_count++;
    return 0;
}

// Ends one signal's turn: the record completes after the last signal.
int advance_signal(edf_file_record* f)
{
    if (++f->next_signal < f->signal_count)
        return 0;
    f->next_signal = 0;
    return complete_record(f);
}

edf_file_record* sample_writer_record(int handle)
{
    edf_file_record* f = writing_record(handle);
    return f && f->signal_count >= 1 ? f : nullptr;
}

// Per-signal writers share this frame: checks, header, the signal's samples, the record's end.
template <typename WriteSignal> int write_next_signal(int handle, bool edf_only, WriteSignal write)
{
    edf_file_record* f = sample_writer_record(handle);
    if (!f || (edf_only && f->is_bdfplus))
        return -1;
    int r = begin_write(f);
    if (r != 0)
        return r;
    if (write(f, f->signals[f->next_signal]) != 0)
        return -1;
    return advance_signal(f);
}

// Whole-record writers: every signal's segment in order (`write` gets the segment's start
// index), then the record's end.
template <typename WriteSignal>
int write_whole_record(int handle, bool edf_only, bool bdf_only, WriteSignal write)
{
    edf_file_record* f = sample_writer_record(handle);
    if (!f || f->next_signal != 0 || (edf_only && f->is_bdfplus) || (bdf_only && !f->is_bdfplus))
        return -1;
    int r = begin_write(f);
    if (r != 0)
        return r;
    int64_t start = 0;
    for (int i = 0; i < f->signal_count; i++) {
        const edf_signal_param& s = f->signals[i];
        if (write(f, s, start) != 0)
            return -1;
        start += s.samples_per_record;
    }
    return complete_record(f);
}

// Text setters share the copy, the cut and the trim.
int set_text(int handle, int signal, int max, char* (*field)(edf_file_record*, int),
             const char* text)
{
    edf_file_record* f = writable_record(handle);
    if (!f || !text)
        return -1;
    if (signal >= 0 && signal >= f->signal_count)
        return -1;
    edf_copy_trimmed(field(f, signal), text, max);
    return 0;
}

int set_file_text(int handle, char* (*field)(edf_file_record*, int), const char* text)
{
    return set_text(handle, -1, 80, field, text);
}

// The value a physical limit takes in the header (rounded away from the range's inside, so that
// no value at the caller's limit is clipped), or false when its nearest 8-character text would
// be more than 1% away from it (1e-7 would read 0; 1e9 has no text at all).
bool physical_value(double v, double* stored, int outward)
{
    char text[16];
    double nearest;
    if (edf_physical_text(v, text, &nearest) < 0 || !(fabs(nearest - v) <= 0.01 * fabs(v)))
        return false;
    return edf_physical_text(v, text, stored, outward) >= 0;
}

} // namespace

int edf_timekeeping_text(const edf_file_record* f, int64_t record, char* out)
{
    const int64_t t = record * f->record_duration_ticks + f->start_subsecond;
    int len = 0;
    out[len++] = '+';
    len += edf_format_int64(t / EDF_TIME_DIMENSION, out + len);
    if (f->record_duration_ticks % EDF_TIME_DIMENSION != 0 || f->start_subsecond != 0)
        len += snprintf(out + len, 16, ".%07lld", static_cast<long long>(t % EDF_TIME_DIMENSION));
    return len;
}

int edf_write_header(edf_file_record* f)
{
    return write_header(f);
}

int edf_write_at(edf_file_record* f, int64_t pos, const void* data, size_t n)
{
    if (edf_seek_stream(f->stream, pos) != 0) {
        f->io_failed = 1;
        return -1;
    }
    return write_bytes(f, data, n);
}

// ---- Opening and closing ---------------------------------------------------------------------

int edf_open_for_writing(const char* path, int filetype, int number_of_signals)
{
    if (filetype != EDF_FILETYPE_EDFPLUS && filetype != EDF_FILETYPE_BDFPLUS)
        return EDF_ERROR_FILE_TYPE;
    // The path check and the taking of a slot are one step, so two threads never open the
    // same file nor take the same slot.
    std::lock_guard<std::mutex> lock(edf_table_mutex);
    if (edf_table.open_count >= EDF_MAX_FILES)
        return EDF_ERROR_TOO_MANY_FILES;
    if (!path)
        return EDF_ERROR_CANNOT_OPEN;
    if (edf_path_in_use(path))
        return EDF_ERROR_ALREADY_OPEN;
    // The annotation signal counts among the 640 a header may declare.
    if (static_cast<unsigned>(number_of_signals) > EDF_MAX_SIGNALS - 1)
        return EDF_ERROR_TOO_MANY_SIGNALS;

    edf_file_record* f = static_cast<edf_file_record*>(calloc(1, sizeof(edf_file_record)));
    if (!f)
        return EDF_ERROR;
    f->signals = static_cast<edf_signal_param*>(
        calloc(number_of_signals > 0 ? number_of_signals : 1, sizeof(edf_signal_param)));
    if (!f->signals) {
        free(f);
        return EDF_ERROR;
    }
    int slot = edf_free_slot();
    if (slot < 0) {
        free(f->signals);
        free(f);
        return EDF_ERROR_TOO_MANY_FILES;
    }
    f->stream = fopen(path, "wb");
    if (!f->stream) {
        free(f->signals);
        free(f);
        return EDF_ERROR_CANNOT_OPEN;
    }
    // Unbuffered: every write reaches the system at once, so its failure is reported by the call
    // that made it, and nothing held back can land in the file after it has been cut back to its
    // complete records. Records are written in a few large pieces, so this costs little.
    setvbuf(f->stream, nullptr, _IONBF, 0);
    f->identity = edf_stream_identity(f->stream);
    // The new name reaches the disk with the file: after a power cut the file is there, or
    // not at all, never its records without a name. Some file systems cannot sync a folder;
    // that costs nothing but this guarantee.
    edf_sync_folder_of(path);

    strncpy(f->path, path, sizeof(f->path) - 1);
    f->writing = 1;
    f->signal_count = number_of_signals;
    if (filetype == EDF_FILETYPE_EDFPLUS)
        f->is_edf = f->is_edfplus = 1;
    else
        f->is_bdf = f->is_bdfplus = 1;
    f->record_duration = 1.0;
    f->record_duration_ticks = EDF_TIME_DIMENSION;
    f->annotation_signal_count = 1;
    f->annotation_bytes = 120;
    f->equal_sample_counts = 1;

    edf_table.files[slot] = f;
    edf_table.open_count++;
    return slot;
}

int edf_open_for_writing_with_params(const char* path, int filetype, int number_of_signals,
                                     int samples_per_record, double physical_range,
                                     const char* unit)
{
    int handle = edf_open_for_writing(path, filetype, number_of_signals);
    if (handle < 0 || number_of_signals <= 0)
        return handle;
    const bool bdf = filetype == EDF_FILETYPE_BDFPLUS;
    for (int i = 0; i < number_of_signals; i++) {
        char label[32];
        snprintf(label, sizeof(label), "chan. %i", i + 1);
        if (edf_set_samples_per_record(handle, i, samples_per_record) ||
            edf_set_physical_maximum(handle, i, physical_range) ||
            edf_set_physical_minimum(handle, i, -physical_range) ||
            edf_set_physical_dimension(handle, i, unit) || edf_set_label(handle, i, label) ||
            edf_set_digital_maximum(handle, i, bdf ? 8388607 : 32767) ||
            edf_set_digital_minimum(handle, i, bdf ? -8388608 : -32768)) {
            edf_close(handle);
            return EDF_ERROR;
        }
    }
    return handle;
}

int edf_close_writing(int handle)
{
    edf_file_record* f = edf_record(handle);

    if (f->record_count == 0) {
        int r = write_header(f);
        if (r != 0) {
            edf_release_slot(handle);
            return r;
        }
        // Records made of the annotation area alone fit only a file without data signals; in a
        // file with data signals they would not match the record size its header declares.
        if (f->signal_count == 0) {
            for (int i = 0; i < f->annotation_count && f->record_count < max_records; i++) {
                if (complete_record(f) != 0)
                    break;
            }
        }
    }

    // Only whole records stay: a record the caller left unfinished, or one a failed write cut
    // short, would make the file's length disagree with its header. The cut comes before the
    // count, so that a process dying in between leaves a valid file.
    clearerr(f->stream);
    if (edf_truncate_stream(f->stream, header_bytes(f) + f->record_count * f->record_size) != 0)
        f->io_failed = 1;
    write_record_count(f, f->record_count);

    if (f->annotations_placed < f->annotation_count)
        edf_place_annotations(handle);
    const bool annotations_left = f->annotations_placed < f->annotation_count;

    if (fflush(f->stream) != 0)
        f->io_failed = 1;
    const int failed = f->io_failed;
    const bool empty = f->record_count == 0;
    if (edf_release_slot(handle) != 0 || failed)
        return -1;
    if (empty)
        return EDF_CLOSE_NO_RECORDS;
    if (annotations_left)
        return EDF_CLOSE_ANNOTATIONS_LEFT;
    return 0;
}

int edf_set_crash_safe(int handle, int on)
{
    edf_file_record* f = writable_record(handle);
    if (!f)
        return -1;
    f->crash_safe = on ? 1 : 0;
    return 0;
}

int edf_flush(int handle)
{
    edf_file_record* f = writing_record(handle);
    if (!f)
        return -1;
    if (edf_sync_stream(f->stream) != 0)
        f->io_failed = 1;
    return f->io_failed ? -1 : 0;
}

// ---- Setters ---------------------------------------------------------------------------------

int edf_set_samples_per_record(int handle, int signal, int samples)
{
    edf_signal_param* s = writable_signal(handle, signal);
    if (!s || samples < 1)
        return -1;
    s->samples_per_record = samples;
    return 0;
}

int edf_set_physical_maximum(int handle, int signal, double value)
{
    edf_signal_param* s = writable_signal(handle, signal);
    double stored;
    if (!s || !physical_value(value, &stored, 1))
        return -1;
    s->physical_max = stored;
    return 0;
}

int edf_set_physical_minimum(int handle, int signal, double value)
{
    edf_signal_param* s = writable_signal(handle, signal);
    double stored;
    if (!s || !physical_value(value, &stored, -1))
        return -1;
    s->physical_min = stored;
    return 0;
}

int edf_set_digital_maximum(int handle, int signal, int value)
{
    edf_signal_param* s = writable_signal(handle, signal);
    if (!s || value > (edf_record(handle)->is_bdfplus ? 8388607 : 32767))
        return -1;
    s->digital_max = value;
    return 0;
}

int edf_set_digital_minimum(int handle, int signal, int value)
{
    edf_signal_param* s = writable_signal(handle, signal);
    if (!s || value < (edf_record(handle)->is_bdfplus ? -8388608 : -32768))
        return -1;
    s->digital_min = value;
    return 0;
}

int edf_set_label(int handle, int signal, const char* text)
{
    if (signal < 0)
        return -1;
    return set_text(
        handle, signal, 16, [](edf_file_record* f, int i) { return f->signals[i].label; }, text);
}

int edf_set_physical_dimension(int handle, int signal, const char* text)
{
    if (signal < 0)
        return -1;
    return set_text(
        handle, signal, 8,
        [](edf_file_record* f, int i) { return f->signals[i].physical_dimension; }, text);
}

int edf_set_transducer(int handle, int signal, const char* text)
{
    if (signal < 0)
        return -1;
    return set_text(
        handle, signal, 80, [](edf_file_record* f, int i) { return f->signals[i].transducer; },
        text);
}

int edf_set_prefilter(int handle, int signal, const char* text)
{
    if (signal < 0)
        return -1;
    return set_text(
        handle, signal, 80, [](edf_file_record* f, int i) { return f->signals[i].prefilter; },
        text);
}

int edf_set_patientname(int handle, const char* text)
{
    return set_file_text(
        handle, [](edf_file_record* f, int) { return f->patient_name; }, text);
}

int edf_set_patientcode(int handle, const char* text)
{
    return set_file_text(
        handle, [](edf_file_record* f, int) { return f->patient_code; }, text);
}

int edf_set_patient_additional(int handle, const char* text)
{
    return set_file_text(
        handle, [](edf_file_record* f, int) { return f->patient_additional; }, text);
}

int edf_set_admincode(int handle, const char* text)
{
    return set_file_text(
        handle, [](edf_file_record* f, int) { return f->admin_code; }, text);
}

int edf_set_technician(int handle, const char* text)
{
    return set_file_text(
        handle, [](edf_file_record* f, int) { return f->technician; }, text);
}

int edf_set_equipment(int handle, const char* text)
{
    return set_file_text(
        handle, [](edf_file_record* f, int) { return f->equipment; }, text);
}

int edf_set_recording_additional(int handle, const char* text)
{
    return set_file_text(
        handle, [](edf_file_record* f, int) { return f->recording_additional; }, text);
}

int edf_set_sex(int handle, int sex)
{
    edf_file_record* f = writable_record(handle);
    if (!f || (sex != 0 && sex != 1))
        return -1;
    f->sex[0] = sex ? 'M' : 'F';
    f->sex[1] = 0;
    return 0;
}

int edf_set_gender(int handle, int sex)
{
    return edf_set_sex(handle, sex);
}

int edf_set_birthdate(int handle, int year, int month, int day)
{
    edf_file_record* f = writable_record(handle);
    if (!f || year < 1800 || year > 3000 || month < 1 || month > 12 || day < 1 || day > 31)
        return -1;
    snprintf(f->birth_date, sizeof(f->birth_date), "%02i.%02i.%02i%02i", day, month, year / 100,
             year % 100);
    return 0;
}

int edf_set_startdatetime(int handle, int year, int month, int day, int hour, int minute,
                          int second)
{
    edf_file_record* f = writable_record(handle);
    if (!f || year < 1985 || year > 2084 || month < 1 || month > 12 || day < 1 || day > 31 ||
        hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return -1;
    f->start_year = year;
    f->start_month = month;
    f->start_day = day;
    f->start_hour = hour;
    f->start_minute = minute;
    f->start_second = second;
    return 0;
}

int edf_set_subsecond_starttime(int handle, int subsecond)
{
    edf_file_record* f = writable_record(handle);
    if (!f || subsecond < 0 || subsecond > 9999999)
        return -1;
    f->start_subsecond = subsecond;
    return 0;
}

int edf_set_datarecord_duration(int handle, int duration)
{
    edf_file_record* f = writable_record(handle);
    if (!f || duration < 100 || duration > 6000000)
        return -1;
    f->record_duration_ticks = static_cast<int64_t>(duration) * 100;
    f->record_duration = static_cast<double>(duration) * 100 / EDF_TIME_DIMENSION;
    return 0;
}

int edf_set_micro_datarecord_duration(int handle, int duration)
{
    edf_file_record* f = writable_record(handle);
    if (!f || duration < 1 || duration > 9999)
        return -1;
    f->record_duration_ticks = static_cast<int64_t>(duration) * 10;
    f->record_duration = static_cast<double>(duration) * 10 / EDF_TIME_DIMENSION;
    return 0;
}

int edf_set_number_of_annotation_signals(int handle, int count)
{
    edf_file_record* f = writable_record(handle);
    if (!f || count < 1 || count > EDF_MAX_ANNOTATION_SIGNALS ||
        f->signal_count + count > EDF_MAX_SIGNALS)
        return -1;
    f->annotation_signal_count = count;
    f->annotation_bytes = 120 * count;
    return 0;
}

// ---- Sample writers --------------------------------------------------------------------------

int edfwrite_physical_samples(int handle, const double* samples)
{
    if (!samples)
        return -1;
    return write_next_signal(handle, false, [&](edf_file_record* f, const edf_signal_param& s) {
        return write_signal(f, s, [&](int i) { return to_digital(s, samples[i]); });
    });
}

int edfwrite_digital_samples(int handle, const int* samples)
{
    if (!samples)
        return -1;
    return write_next_signal(handle, false, [&](edf_file_record* f, const edf_signal_param& s) {
        return write_signal(f, s, [&](int i) { return limit(s, samples[i]); });
    });
}

int edfwrite_digital_short_samples(int handle, short* samples)
{
    if (!samples)
        return -1;
    return write_next_signal(handle, true, [&](edf_file_record* f, const edf_signal_param& s) {
        return write_short_signal(f, s, samples);
    });
}

int edfwrite_block_physical_samples(int handle, const double* samples)
{
    if (!samples)
        return -1;
    return write_whole_record(
        handle, false, false, [&](edf_file_record* f, const edf_signal_param& s, int64_t start) {
            const double* in = samples + start;
            return write_signal(f, s, [&](int i) { return to_digital(s, in[i]); });
        });
}

int edfwrite_block_digital_samples(int handle, const int* samples)
{
    if (!samples)
        return -1;
    return write_whole_record(handle, false, false,
                              [&](edf_file_record* f, const edf_signal_param& s, int64_t start) {
                                  const int* in = samples + start;
                                  return write_signal(f, s, [&](int i) { return limit(s, in[i]); });
                              });
}

int edfwrite_block_digital_short_samples(int handle, short* samples)
{
    if (!samples)
        return -1;
    return write_whole_record(handle, true, false,
                              [&](edf_file_record* f, const edf_signal_param& s, int64_t start) {
                                  return write_short_signal(f, s, samples + start);
                              });
}

int edfwrite_block_digital_3byte_samples(int handle, const void* samples)
{
    if (!samples)
        return -1;
    const unsigned char* bytes = static_cast<const unsigned char*>(samples);
    return write_whole_record(
        handle, false, true, [&](edf_file_record* f, const edf_signal_param& s, int64_t start) {
            return write_bytes(f, bytes + start * 3, static_cast<size_t>(s.samples_per_record) * 3);
        });
}
