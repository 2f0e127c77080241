// Reading half of the recording-file module: opens EDF, EDF+, BDF and BDF+ files, checks the
// whole header before using any of it, reads the samples of each data signal from its own read
// position and collects the annotations of EDF+ and BDF+ files.
//
// The reader is where files from anywhere meet the program, so nothing a file says is trusted:
// every size is checked against the real length of the file before anything is allocated or
// read, all arithmetic on header values is done in 64 bits with its range checked first, every
// loop is bounded by bytes actually present, and a failed open leaves nothing behind.
#include "edf/edf_internal.h"

#include <limits.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

namespace
{

constexpr int64_t ticks_per_second = EDF_TIME_DIMENSION;
constexpr int fixed_header_size = 256;
constexpr int annotation_text_max = 512;
constexpr int duration_text_max = 15;
constexpr int annotation_growth = 1000;

// Signal part of the header: every field is an array with one entry per signal. Offsets of
// each array relative to the start of the signal part, in units of the signal count.
enum signal_field {
    field_label = 0,
    field_transducer = 16,
    field_dimension = 96,
    field_physical_min = 104,
    field_physical_max = 112,
    field_digital_min = 120,
    field_digital_max = 128,
    field_prefilter = 136,
    field_samples = 216,
    field_reserved = 224,
};

// ---- Stream helpers --------------------------------------------------------------------------

int64_t file_length(FILE* stream)
{
#ifdef _WIN32
    if (_fseeki64(stream, 0, SEEK_END) != 0)
        return -1;
    return _ftelli64(stream);
#else
    if (fseeko(stream, 0, SEEK_END) != 0)
        return -1;
    return static_cast<int64_t>(ftello(stream));
#endif
}

bool read_at(FILE* stream, int64_t pos, void* dst, size_t n)
{
    return edf_seek_stream(stream, pos) == 0 && fread(dst, 1, n, stream) == n;
}

// ---- Checked 64-bit arithmetic ---------------------------------------------------------------

bool add_checked(int64_t a, int64_t b, int64_t* out)
{
    if ((b > 0 && a > INT64_MAX - b) || (b < 0 && a < INT64_MIN - b))
        return false;
    *out = a + b;
    return true;
}

bool mul_checked(int64_t a, int64_t b, int64_t* out)
{
    // Only used with non-negative factors.
    if (a < 0 || b < 0 || (a != 0 && b > INT64_MAX / a))
        return false;
    *out = a * b;
    return true;
}

int64_t add_saturated(int64_t a, int64_t b)
{
    int64_t r;
    if (add_checked(a, b, &r))
        return r;
    return b > 0 ? INT64_MAX : INT64_MIN;
}

// ---- Header text rules -----------------------------------------------------------------------

bool printable(const char* p, int n)
{
    for (int i = 0; i < n; i++) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c < 32 || c > 126)
            return false;
    }
    return true;
}

// Free text as other writers leave it: NUL padding reads as spaces, bytes above 126 (Latin-1 and
// the like) as their nearest ASCII letter. Other control bytes stay, and are refused.
void tidy_text(char* p, int n)
{
    for (int i = 0; i < n; i++) {
        if (p[i] == 0)
            p[i] = ' ';
        else if (static_cast<unsigned char>(p[i]) > 126)
            edf_latin1_to_ascii(p + i, 1);
    }
}

bool all_spaces(const char* p, int n)
{
    for (int i = 0; i < n; i++) {
        if (p[i] != ' ')
            return false;
    }
    return true;
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

int two_digits(const char* p)
{
    return (p[0] - '0') * 10 + (p[1] - '0');
}

// "dd.mm.yy" and "hh.mm.ss" share this shape.
bool three_pairs(const char* p, int* a, int* b, int* c)
{
    if (!is_digit(p[0]) || !is_digit(p[1]) || p[2] != '.' || !is_digit(p[3]) || !is_digit(p[4]) ||
        p[5] != '.' || !is_digit(p[6]) || !is_digit(p[7]))
        return false;
    *a = two_digits(p);
    *b = two_digits(p + 3);
    *c = two_digits(p + 6);
    return true;
}

bool integer_field(const char* p, int n, int64_t* out)
{
    if (!edf_is_integer_field(p, n))
        return false;
    *out = edf_parse_integer_field(p, n);
    return true;
}

// A number field whose value is finite: "1e400" has the shape of a number but no value a
// computation could use.
bool number_field(const char* p, int n, double* out)
{
    if (!edf_is_number_field(p, n))
        return false;
    const double v = edf_parse_number_field(p, n);
    if (!isfinite(v))
        return false;
    *out = v;
    return true;
}

// The record duration in 100 ns units, taken from the digits of a field that already has the
// shape of a number (sign ignored, cut after 7 decimals). An exponent moves the decimal point,
// so "5E-1" is half a second like "0.5". False when the value does not fit 64 bits.
bool duration_ticks(const char* p, int n, int64_t* out)
{
    // The mantissa as 0.d1d2d3... x 10^scale, leading zeros dropped.
    char digits[19];
    int count = 0;
    int64_t scale = 0;
    bool started = false, after_point = false;
    int i = 0;
    while (i < n && p[i] == ' ')
        i++;
    if (i < n && (p[i] == '+' || p[i] == '-'))
        i++;
    for (; i < n && (is_digit(p[i]) || p[i] == '.'); i++) {
        if (p[i] == '.') {
            after_point = true;
            continue;
        }
        if (!started && p[i] == '0') {
            if (after_point)
                scale--;
            continue;
        }
        started = true;
        if (!after_point)
            scale++;
        if (count < static_cast<int>(sizeof digits))
            digits[count++] = p[i];
    }
    if (i < n && (p[i] == 'e' || p[i] == 'E')) {
        i++;
        bool negative = false;
        if (i < n && (p[i] == '+' || p[i] == '-'))
            negative = p[i++] == '-';
        int64_t exponent = 0;
        for (; i < n && is_digit(p[i]); i++) {
            if (exponent < 100000)
                exponent = exponent * 10 + (p[i] - '0');
        }
        scale += negative ? -exponent : exponent;
    }
    // In ticks the first scale + 7 digits form the integer part.
    const int64_t whole = scale + 7;
    if (count == 0 || whole <= 0) {
        *out = 0;
        return true;
    }
    if (whole > 18)
        return false;
    int64_t v = 0;
    for (int64_t k = 0; k < whole; k++)
        v = v * 10 + (k < count ? digits[k] - '0' : 0);
    *out = v;
    return true;
}

// ---- Patient and recording subfields ---------------------------------------------------------

// A cursor over a header field with its trailing spaces removed.
struct subfields {
    const char* p;
    int n;
    int at;
};

// The next subfield: at least one character, ended by one space or the end of the field.
bool next_subfield(subfields& s, const char** start, int* len)
{
    if (s.at >= s.n || s.p[s.at] == ' ')
        return false;
    int e = s.at;
    while (e < s.n && s.p[e] != ' ')
        e++;
    *start = s.p + s.at;
    *len = e - s.at;
    s.at = e < s.n ? e + 1 : e;
    return true;
}

// Copies a subfield with '_' turned back into the spaces it stands for.
void copy_subfield(char* dst, const char* src, int len, bool underscores)
{
    if (len > 80)
        len = 80;
    for (int i = 0; i < len; i++)
        dst[i] = underscores && src[i] == '_' ? ' ' : src[i];
    dst[len] = 0;
}

// "dd-MMM-yyyy" with an upper-case English month abbreviation.
bool parse_subfield_date(const char* p, int len, int* day, int* month, int* year)
{
    if (len != 11 || !is_digit(p[0]) || !is_digit(p[1]) || p[2] != '-' || p[6] != '-')
        return false;
    for (int i = 7; i < 11; i++) {
        if (!is_digit(p[i]))
            return false;
    }
    // Month names are upper case in the standard, but some writers capitalise them ("Aug").
    char name[3];
    for (int i = 0; i < 3; i++)
        name[i] = p[3 + i] >= 'a' && p[3 + i] <= 'z' ? static_cast<char>(p[3 + i] - 32) : p[3 + i];
    int m = 0;
    while (m < 12 && memcmp(name, edf_month_names[m], 3) != 0)
        m++;
    if (m == 12)
        return false;
    *day = two_digits(p);
    *month = m + 1;
    *year = (p[7] - '0') * 1000 + (p[8] - '0') * 100 + two_digits(p + 9);
    return true;
}

bool parse_patient_field(const char* field, edf_file_record* f)
{
    subfields s{field, 80, 0};
    while (s.n > 0 && field[s.n - 1] == ' ')
        s.n--;
    const char* p;
    int len;
    if (!next_subfield(s, &p, &len))
        return false;
    copy_subfield(f->patient_code, p, len, true);
    if (!next_subfield(s, &p, &len) || len != 1 || (p[0] != 'M' && p[0] != 'F' && p[0] != 'X'))
        return false;
    if (p[0] != 'X') {
        f->sex[0] = p[0];
        f->sex[1] = 0;
    }
    if (!next_subfield(s, &p, &len))
        return false;
    if (!(len == 1 && p[0] == 'X')) {
        if (!parse_subfield_date(p, len, &f->birth_day, &f->birth_month, &f->birth_year))
            return false;
        snprintf(f->birth_date, sizeof f->birth_date, "%.2s-%s-%.4s", p,
                 edf_month_names[f->birth_month - 1], p + 7);
    }
    if (!next_subfield(s, &p, &len))
        return false;
    copy_subfield(f->patient_name, p, len, true);
    if (s.at < s.n)
        copy_subfield(f->patient_additional, field + s.at, s.n - s.at, false);
    return true;
}

// Returns 1 when the field has the subfield layout, 0 when it does not, and -1 when its
// Startdate names another day than the header: then the start of the recording is in doubt.
int parse_recording_field(const char* field, edf_file_record* f)
{
    static const char prefix[] = "Startdate ";
    if (memcmp(field, prefix, 10) != 0)
        return 0;
    subfields s{field, 80, 10};
    while (s.n > 0 && field[s.n - 1] == ' ')
        s.n--;
    const char* p;
    int len;
    if (!next_subfield(s, &p, &len))
        return 0;
    if (!(len == 1 && p[0] == 'X')) {
        int day, month, year;
        if (!parse_subfield_date(p, len, &day, &month, &year))
            return 0;
        if (day != f->start_day || month != f->start_month || year != f->start_year)
            return -1;
    }
    if (!next_subfield(s, &p, &len))
        return 0;
    copy_subfield(f->admin_code, p, len, true);
    if (!next_subfield(s, &p, &len))
        return 0;
    copy_subfield(f->technician, p, len, true);
    if (!next_subfield(s, &p, &len))
        return 0;
    copy_subfield(f->equipment, p, len, true);
    if (s.at < s.n)
        copy_subfield(f->recording_additional, field + s.at, s.n - s.at, true);
    return 1;
}

// ---- Header ----------------------------------------------------------------------------------

const char* signal_field_at(const char* part, int signals, int field, int width, int signal)
{
    return part + static_cast<size_t>(signals) * field + static_cast<size_t>(signal) * width;
}

// Checks the fixed part of the header and stores what it says. Returns the total number of
// signals, or -1 when a rule is broken.
int check_fixed_part(char* h, edf_file_record* f)
{
    const unsigned char first = static_cast<unsigned char>(h[0]);
    if (first == 0xFF) {
        if (memcmp(h + 1, "BIOSEMI", 7) != 0)
            return -1;
        f->is_bdf = 1;
    } else {
        if (memcmp(h, "0       ", 8) != 0)
            return -1;
        f->is_edf = 1;
    }
    tidy_text(h + 8, 160);  // patient and recording
    tidy_text(h + 192, 44); // reserved
    if (!printable(h + 8, fixed_header_size - 8))
        return -1;
    memcpy(f->version_text, h, 8);
    memcpy(f->patient_text, h + 8, 80);
    memcpy(f->recording_text, h + 88, 80);

    int day, month, yy, hour, minute, second;
    if (!three_pairs(h + 168, &day, &month, &yy) || day < 1 || day > 31 || month < 1 || month > 12)
        return -1;
    if (!three_pairs(h + 176, &hour, &minute, &second) || hour > 23 || minute > 59 || second > 59)
        return -1;
    memcpy(f->start_date_text, h + 168, 8);
    f->start_day = day;
    f->start_month = month;
    f->start_year = yy > 84 ? 1900 + yy : 2000 + yy;
    f->start_hour = hour;
    f->start_minute = minute;
    f->start_second = second;

    int64_t signals, header_size;
    if (!integer_field(h + 252, 4, &signals) || signals < 1 || signals > EDF_MAX_SIGNALS)
        return -1;
    if (!integer_field(h + 184, 8, &header_size) ||
        header_size != fixed_header_size * (signals + 1))
        return -1;
    f->header_size = static_cast<int>(header_size);

    const char* reserved = h + 192;
    memcpy(f->reserved_text, reserved, 44);
    if (f->is_edf) {
        // Other text (a device's name, "24BIT", ...) marks a plain EDF file, as in BDF; a field
        // that claims EDF+ must say which kind.
        if (memcmp(reserved, "EDF+", 4) == 0) {
            if ((reserved[4] != 'C' && reserved[4] != 'D') || !all_spaces(reserved + 5, 39))
                return -1;
            f->is_edfplus = 1;
            f->discontinuous = reserved[4] == 'D';
        }
    } else if (memcmp(reserved, "BDF+", 4) == 0 && (reserved[4] == 'C' || reserved[4] == 'D') &&
               all_spaces(reserved + 5, 39)) {
        f->is_bdfplus = 1;
        f->discontinuous = reserved[4] == 'D';
    }

    int64_t records;
    if (!integer_field(h + 236, 8, &records) || records < 1)
        return -1;
    f->record_count = records;

    double duration;
    int64_t ticks;
    if (!number_field(h + 244, 8, &duration) || duration < -0.000001 ||
        !duration_ticks(h + 244, 8, &ticks))
        return -1;
    f->record_duration = duration;
    f->record_duration_ticks = ticks;
    return static_cast<int>(signals);
}

// Checks the signal part (ns entries of 256 bytes) and fills the signal array, which holds
// every signal of the file, annotation signals included.
bool check_signal_part(char* part, int ns, edf_file_record* f)
{
    tidy_text(part, ns * (field_physical_min - field_label)); // labels, transducers, dimensions
    tidy_text(part + ns * field_prefilter, ns * (field_samples - field_prefilter));
    tidy_text(part + ns * field_reserved, ns * 32);
    if (!printable(part, ns * 256))
        return false;
    const bool plus = f->is_edfplus || f->is_bdfplus;
    const bool bdf = f->is_bdf != 0;
    const int bytes_per_sample = bdf ? 3 : 2;
    const int64_t digital_low = bdf ? -8388608 : -32768;
    const int64_t digital_high = bdf ? 8388607 : 32767;
    const char* annotation_label = bdf ? "BDF Annotations " : "EDF Annotations ";
    const int64_t record_limit = bdf ? EDF_MAX_RECORD_SIZE_BDF : EDF_MAX_RECORD_SIZE_EDF;

    int64_t record_size = 0;
    int data_signals = 0;
    int first_samples = -1;
    f->equal_sample_counts = 1;
    for (int i = 0; i < ns; i++) {
        edf_signal_param& s = f->signals[i];
        auto field = [&](int offset, int width) {
            return signal_field_at(part, ns, offset, width, i);
        };
        memcpy(s.label, field(field_label, 16), 16);
        memcpy(s.transducer, field(field_transducer, 80), 80);
        memcpy(s.physical_dimension, field(field_dimension, 8), 8);
        memcpy(s.prefilter, field(field_prefilter, 80), 80);
        memcpy(s.reserved_text, field(field_reserved, 32), 32);
        s.annotation_flag = plus && memcmp(s.label, annotation_label, 16) == 0;
        if (s.annotation_flag && (!all_spaces(s.transducer, 80) || !all_spaces(s.prefilter, 80)))
            return false;

        double pmin, pmax;
        if (!number_field(field(field_physical_min, 8), 8, &pmin) ||
            !number_field(field(field_physical_max, 8), 8, &pmax) || pmin == pmax)
            return false;
        int64_t dmin, dmax, samples;
        if (!integer_field(field(field_digital_min, 8), 8, &dmin) ||
            !integer_field(field(field_digital_max, 8), 8, &dmax))
            return false;
        if (dmin < digital_low || dmax > digital_high || dmax <= dmin)
            return false;
        if (s.annotation_flag && (dmin != digital_low || dmax != digital_high))
            return false;
        if (!integer_field(field(field_samples, 8), 8, &samples) || samples < 1 ||
            samples > record_limit)
            return false;
        s.physical_min = pmin;
        s.physical_max = pmax;
        s.digital_min = static_cast<int32_t>(dmin);
        s.digital_max = static_cast<int32_t>(dmax);
        s.samples_per_record = static_cast<int32_t>(samples);
        s.byte_offset = static_cast<int32_t>(record_size);
        record_size += samples * bytes_per_sample;
        if (record_size > record_limit)
            return false;

        if (s.annotation_flag) {
            f->annotation_signal_index[f->annotation_signal_count++] = i;
            f->annotation_bytes += static_cast<int>(samples * bytes_per_sample);
            continue;
        }
        // The same conversion as the writer's: physical = bit value x (offset + digital).
        // Extreme ranges can make it meaningless (infinite or zero steps); such a file cannot
        // be read as numbers, so it is refused rather than producing infinities.
        s.bit_value = (pmax - pmin) / static_cast<double>(dmax - dmin);
        s.offset = pmax / s.bit_value - static_cast<double>(dmax);
        if (!isfinite(s.bit_value) || s.bit_value == 0.0 || !isfinite(s.offset))
            return false;
        f->data_signal_map[data_signals++] = i;
        if (first_samples < 0)
            first_samples = s.samples_per_record;
        else if (s.samples_per_record != first_samples)
            f->equal_sample_counts = 0;
    }
    f->record_size = static_cast<int>(record_size);
    f->signal_count = data_signals;

    // A continuous file needs no annotation signal to be read unambiguously (some writers mark
    // plain files "EDF+C"); a discontinuous one cannot be placed in time without it.
    if (plus && f->annotation_signal_count == 0 && f->discontinuous)
        return false;
    if (data_signals > 0 && (f->record_duration < 0.0000001 || f->record_duration_ticks < 1))
        return false;
    if (plus) {
        // Identification fields that do not follow the subfield layout are kept whole, as in a
        // plain file: they name the patient and the recording, they do not change the data.
        if (!parse_patient_field(f->patient_text, f)) {
            f->whole_patient = 1;
            f->patient_code[0] = f->sex[0] = f->birth_date[0] = 0;
            f->patient_name[0] = f->patient_additional[0] = 0;
            f->birth_day = f->birth_month = f->birth_year = 0;
        }
        const int recording = parse_recording_field(f->recording_text, f);
        if (recording < 0)
            return false;
        if (recording == 0) {
            f->whole_recording = 1;
            f->admin_code[0] = f->technician[0] = f->equipment[0] = 0;
            f->recording_additional[0] = 0;
        }
    }
    return true;
}

// ---- Annotations -----------------------------------------------------------------------------

// Reads a TAL time (digits, optionally a point and more digits) in 100 ns units; decimals after
// the seventh are cut. Values beyond what the 64-bit arithmetic downstream can hold are refused.
bool parse_tal_time(const unsigned char* p, int len, int* at, int64_t* out)
{
    // At most 11 digits of seconds keeps every later sum and difference inside 64 bits.
    int i = *at;
    int64_t seconds = 0;
    int digits = 0;
    while (i < len && p[i] >= '0' && p[i] <= '9') {
        if (++digits > 11)
            return false;
        seconds = seconds * 10 + (p[i++] - '0');
    }
    if (digits == 0)
        return false;
    int64_t fraction = 0;
    if (i < len && p[i] == '.') {
        i++;
        int places = 0;
        for (; i < len && p[i] >= '0' && p[i] <= '9'; i++, places++) {
            if (places < 7)
                fraction = fraction * 10 + (p[i] - '0');
        }
        if (places == 0)
            return false;
        for (; places < 7; places++)
            fraction *= 10;
    }
    *out = seconds * ticks_per_second + fraction;
    *at = i;
    return true;
}

struct annotation_collector {
    edf_read_annotation_list list{};
    int count = 0;
    int capacity = 0;
    bool collect = false;     // modes 1 and 2
    bool stop_at_end = false; // mode 1 with a single annotation signal
    bool ended = false;       // "Recording ends" seen
    int64_t start_subsecond = 0;
    int64_t last_timekeeping = 0;
    int64_t record_ticks = 0;
};

enum tal_result { tal_ok = 0, tal_malformed = -1, tal_no_memory = -2 };

void free_annotations(annotation_collector& c)
{
    free(c.list.entries);
    free(c.list.pool);
    c.list = edf_read_annotation_list{};
}

// Makes room for `bytes` more in the text pool, doubling it as it fills.
bool reserve_pool(edf_read_annotation_list& list, uint64_t bytes)
{
    if (list.pool_capacity - list.pool_used >= bytes)
        return true;
    uint64_t capacity = list.pool_capacity ? list.pool_capacity : 65536;
    while (capacity - list.pool_used < bytes) {
        if (capacity > (UINT64_MAX >> 2) || capacity > SIZE_MAX / 2)
            return false;
        capacity *= 2;
    }
    void* grown = realloc(list.pool, static_cast<size_t>(capacity));
    if (!grown)
        return false;
    list.pool = static_cast<char*>(grown);
    list.pool_capacity = capacity;
    return true;
}

int add_annotation(annotation_collector& c, int64_t onset, int64_t duration,
                   const unsigned char* duration_text, int duration_len, const unsigned char* text,
                   int text_len)
{
    if (c.count == c.capacity) {
        if (c.capacity > INT_MAX - annotation_growth)
            return tal_no_memory;
        const int capacity = c.capacity + annotation_growth;
        void* grown =
            realloc(c.list.entries, static_cast<size_t>(capacity) * sizeof(edf_read_annotation));
        if (!grown)
            return tal_no_memory;
        c.list.entries = static_cast<edf_read_annotation*>(grown);
        c.capacity = capacity;
    }
    if (duration_len > duration_text_max)
        duration_len = duration_text_max;
    if (text_len > annotation_text_max) {
        // Cut on a character boundary so that the stored text stays valid UTF-8.
        text_len = annotation_text_max;
        while (text_len > 0 && (text[text_len] & 0xC0) == 0x80)
            text_len--;
    }
    if (!reserve_pool(c.list, static_cast<uint64_t>(duration_len) + text_len))
        return tal_no_memory;
    edf_read_annotation& a = c.list.entries[c.count++];
    a.onset = onset - c.start_subsecond;
    a.duration = duration;
    a.text_at = c.list.pool_used;
    a.duration_len = static_cast<uint8_t>(duration_len);
    a.text_len = static_cast<uint16_t>(text_len);
    if (duration_len > 0)
        memcpy(c.list.pool + c.list.pool_used, duration_text, duration_len);
    if (text_len > 0)
        memcpy(c.list.pool + c.list.pool_used + duration_len, text, text_len);
    c.list.pool_used += static_cast<uint64_t>(duration_len) + text_len;
    return tal_ok;
}

// Parses the TALs of one annotation signal's bytes in one record. In the first annotation
// signal the first TAL is the record's time-keeping annotation. With only_timekeeping, parsing
// ends after that TAL.
int parse_annotation_block(const unsigned char* p, int len, int64_t record, bool first_signal,
                           bool only_timekeeping, annotation_collector& c)
{
    int at = 0;
    for (int tal = 0; at < len; tal++) {
        const bool timekeeping = first_signal && tal == 0;
        if (p[at] == 0) {
            // Zero bytes fill the rest of the block; the time-keeping TAL cannot be missing.
            if (timekeeping)
                return tal_malformed;
            break;
        }
        if (p[at] != '+' && p[at] != '-')
            return tal_malformed;
        const bool negative = p[at] == '-';
        at++;
        int64_t onset;
        if (!parse_tal_time(p, len, &at, &onset))
            return tal_malformed;
        if (negative)
            onset = -onset;

        int64_t duration = -ticks_per_second;
        const unsigned char* duration_text = p + at;
        int duration_len = 0;
        if (at < len && p[at] == 0x15) {
            at++;
            duration_text = p + at;
            if (!parse_tal_time(p, len, &at, &duration))
                return tal_malformed;
            duration_len = static_cast<int>(p + at - duration_text);
        }
        if (at >= len || p[at] != 0x14)
            return tal_malformed;
        at++;

        if (timekeeping) {
            if (record == 0) {
                if (onset < 0 || onset >= ticks_per_second)
                    return tal_malformed;
                c.start_subsecond = onset;
            } else {
                int64_t expected;
                if (!add_checked(c.last_timekeeping, c.record_ticks, &expected) ||
                    onset != expected)
                    return tal_malformed;
            }
            c.last_timekeeping = onset;
        }

        // Texts, each ended by 0x14; the TAL ends with 0x00 where the next text would start.
        int texts = 0;
        for (;;) {
            if (at >= len)
                return tal_malformed; // no terminating 0x00 inside the block
            if (p[at] == 0 && texts > 0) {
                at++;
                break;
            }
            const int start = at;
            while (at < len && p[at] != 0x14 && p[at] != 0)
                at++;
            if (at >= len || p[at] != 0x14)
                return tal_malformed;
            const bool own_text = timekeeping && texts == 0;
            if (!own_text && c.collect && !c.ended) {
                const int text_len = at - start;
                if (c.stop_at_end && text_len == 14 &&
                    memcmp(p + start, "Recording ends", 14) == 0) {
                    c.ended = true;
                } else {
                    const int r = add_annotation(c, onset, duration, duration_text, duration_len,
                                                 p + start, text_len);
                    if (r != tal_ok)
                        return r;
                }
            }
            texts++;
            at++;
        }
        if (timekeeping && only_timekeeping)
            return tal_ok;
    }
    return tal_ok;
}

// Walks the annotation signals of every record (only record 0's time-keeping TAL in mode 0).
// Returns 0 or -3; the collected list is handed over in c.
int collect_annotations(edf_file_record* f, int mode, annotation_collector& c)
{
    const int bytes_per_sample = f->is_bdf ? 3 : 2;
    int largest = 0;
    for (int k = 0; k < f->annotation_signal_count; k++) {
        const edf_signal_param& s = f->signals[f->annotation_signal_index[k]];
        if (s.samples_per_record * bytes_per_sample > largest)
            largest = s.samples_per_record * bytes_per_sample;
    }
    // Bounded by the record size, which the file length has already confirmed.
    unsigned char* block = static_cast<unsigned char*>(malloc(static_cast<size_t>(largest)));
    if (!block)
        return EDF_ERROR_FORMAT;

    c.collect = mode != 0;
    c.stop_at_end = mode == 1 && f->annotation_signal_count == 1;
    c.record_ticks = f->record_duration_ticks;
    const int64_t records = mode == 0 ? 1 : f->record_count;
    int result = 0;
    for (int64_t r = 0; r < records && result == 0; r++) {
        const int signals = mode == 0 ? 1 : f->annotation_signal_count;
        for (int k = 0; k < signals; k++) {
            const edf_signal_param& s = f->signals[f->annotation_signal_index[k]];
            const int len = s.samples_per_record * bytes_per_sample;
            const int64_t pos = f->header_size + r * f->record_size + s.byte_offset;
            if (!read_at(f->stream, pos, block, static_cast<size_t>(len)) ||
                parse_annotation_block(block, len, r, k == 0, mode == 0, c) != tal_ok) {
                result = EDF_ERROR_FORMAT;
                break;
            }
        }
    }
    free(block);
    return result;
}

// ---- Opening ---------------------------------------------------------------------------------

// Checks a file and fills its record; returns 0 or a negative result code. The caller owns the
// record and the annotations and frees them on failure.
int check_file(edf_file_record* f, int mode, annotation_collector& annotations)
{
    char fixed[fixed_header_size];
    if (fread(fixed, 1, sizeof fixed, f->stream) != sizeof fixed)
        return EDF_ERROR_READ_HEADER;
    const int ns = check_fixed_part(fixed, f);
    if (ns < 1)
        return EDF_ERROR_FORMAT;

    // At most 640 signals, so the signal part and the signal array have a fixed upper size.
    f->signals = static_cast<edf_signal_param*>(calloc(ns, sizeof(edf_signal_param)));
    char* part = static_cast<char*>(malloc(static_cast<size_t>(ns) * 256));
    if (!f->signals || !part) {
        free(part);
        return EDF_ERROR;
    }
    const bool ok =
        fread(part, 1, static_cast<size_t>(ns) * 256, f->stream) == static_cast<size_t>(ns) * 256 &&
        check_signal_part(part, ns, f);
    free(part);
    if (!ok)
        return EDF_ERROR_FORMAT;

    // The records the header counts must be there, but for the last one: a power cut can leave
    // a count that reached the disk before the record it counts (a disk that reorders writes),
    // and then the whole records are read. Beyond them, at most one more record's bytes may
    // follow: a writer stopped while appending a record (or before counting it) leaves them, and
    // they are left out, as other readers do. More than that is not explained by an interrupted
    // write and is refused.
    int64_t data_bytes, expected;
    if (!mul_checked(f->record_count, f->record_size, &data_bytes) ||
        !add_checked(data_bytes, f->header_size, &expected))
        return EDF_ERROR_FORMAT;
    const int64_t length = file_length(f->stream);
    if (length < expected) {
        if (expected - length > f->record_size || f->record_count < 2)
            return EDF_ERROR_FORMAT;
        f->record_count--;
        expected -= f->record_size;
    }
    if (length - expected > f->record_size)
        return EDF_ERROR_FORMAT;
    int64_t duration;
    if (!mul_checked(f->record_count, f->record_duration_ticks, &duration))
        return EDF_ERROR_FORMAT;
    if (f->discontinuous)
        return EDF_ERROR_DISCONTINUOUS;

    if ((f->is_edfplus || f->is_bdfplus) && f->annotation_signal_count > 0) {
        const int r = collect_annotations(f, mode, annotations);
        if (r != 0)
            return r;
        f->start_subsecond = annotations.start_subsecond;
    }
    f->start_time =
        (static_cast<int64_t>(f->start_hour) * 3600 + f->start_minute * 60 + f->start_second) *
            ticks_per_second +
        f->start_subsecond;
    return 0;
}

void copy_text(char* dst, const char* src, int n)
{
    memcpy(dst, src, n);
    dst[n] = 0;
}

void fill_header_info(const edf_file_record* f, int handle, edf_header_info* h)
{
    h->handle = handle;
    if (f->is_edf)
        h->filetype = f->is_edfplus ? EDF_FILETYPE_EDFPLUS : EDF_FILETYPE_EDF;
    else
        h->filetype = f->is_bdfplus ? EDF_FILETYPE_BDFPLUS : EDF_FILETYPE_BDF;
    h->signal_count = f->signal_count;
    h->file_duration = f->record_count * f->record_duration_ticks; // checked when opening
    h->start_day = f->start_day;
    h->start_month = f->start_month;
    h->start_year = f->start_year;
    h->start_subsecond = f->start_subsecond;
    h->start_second = f->start_second;
    h->start_minute = f->start_minute;
    h->start_hour = f->start_hour;
    if (f->is_edfplus || f->is_bdfplus) {
        copy_text(h->patient_code, f->patient_code, 80);
        const char* sex = f->sex[0] == 'M' ? "Male" : f->sex[0] == 'F' ? "Female" : "";
        strcpy(h->sex, sex);
        strcpy(h->gender, sex);
        if (f->birth_date[0]) {
            // "02-AUG-1951" becomes "02 aug 1951".
            snprintf(h->birth_date, sizeof h->birth_date, "%.2s %c%c%c %.4s", f->birth_date,
                     f->birth_date[3] - 'A' + 'a', f->birth_date[4] - 'A' + 'a',
                     f->birth_date[5] - 'A' + 'a', f->birth_date + 7);
            h->birth_day = f->birth_day;
            h->birth_month = f->birth_month;
            h->birth_year = f->birth_year;
        }
        copy_text(h->patient_name, f->patient_name, 80);
        copy_text(h->patient_additional, f->patient_additional, 80);
        copy_text(h->admin_code, f->admin_code, 80);
        copy_text(h->technician, f->technician, 80);
        copy_text(h->equipment, f->equipment, 80);
        copy_text(h->recording_additional, f->recording_additional, 80);
    }
    if (!(f->is_edfplus || f->is_bdfplus) || f->whole_patient)
        copy_text(h->patient, f->patient_text, 80);
    if (!(f->is_edfplus || f->is_bdfplus) || f->whole_recording)
        copy_text(h->recording, f->recording_text, 80);
    h->record_duration = f->record_duration_ticks;
    h->record_count = f->record_count;
    h->annotation_count = f->annotation_count;
    for (int i = 0; i < f->signal_count; i++) {
        const edf_signal_param& s = f->signals[f->data_signal_map[i]];
        edf_signal_info& out = h->signal_info[i];
        copy_text(out.label, s.label, 16);
        out.samples_in_file = static_cast<int64_t>(s.samples_per_record) * f->record_count;
        out.physical_max = s.physical_max;
        out.physical_min = s.physical_min;
        out.digital_max = s.digital_max;
        out.digital_min = s.digital_min;
        out.samples_per_record = s.samples_per_record;
        copy_text(out.physical_dimension, s.physical_dimension, 8);
        copy_text(out.prefilter, s.prefilter, 80);
        copy_text(out.transducer, s.transducer, 80);
    }
}

// ---- Reading samples -------------------------------------------------------------------------

// The data signal of a reading handle, or null.
edf_signal_param* reading_signal(int handle, int signal, edf_file_record** file)
{
    edf_file_record* f = edf_record(handle);
    if (!f || f->writing || signal < 0 || signal >= f->signal_count)
        return nullptr;
    *file = f;
    return &f->signals[f->data_signal_map[signal]];
}

bool ensure_buffer(edf_file_record* f, int64_t bytes)
{
    if (bytes <= f->conversion_buffer_size)
        return true;
    unsigned char* grown = static_cast<unsigned char*>(malloc(static_cast<size_t>(bytes)));
    if (!grown)
        return false;
    free(f->conversion_buffer);
    f->conversion_buffer = grown;
    f->conversion_buffer_size = static_cast<int>(bytes);
    return true;
}

int32_t decode_sample(const unsigned char* p, bool bdf)
{
    if (bdf) {
        const uint32_t u =
            p[0] | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16);
        return static_cast<int32_t>(u ^ 0x800000u) - 0x800000; // sign-extend 24 bits
    }
    return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
}

// Reads up to n samples from the signal's position into out(index, digital value). Reads the
// signal's run of samples in each record with one seek and one read.
template <typename Store>
int read_samples(int handle, int signal, int n, bool have_buffer, Store out)
{
    edf_file_record* f;
    edf_signal_param* s = reading_signal(handle, signal, &f);
    if (!s || n < 0 || (n > 0 && !have_buffer))
        return -1;
    const int64_t spr = s->samples_per_record;
    const int64_t total = spr * f->record_count;
    int64_t pos = s->read_position;
    if (n == 0 || pos >= total)
        return 0;
    if (n > total - pos)
        n = static_cast<int>(total - pos);
    const bool bdf = f->is_bdf != 0;
    const int bps = bdf ? 3 : 2;
    // One record's run of this signal at most, bounded by the record size.
    const int64_t run = spr < n ? spr : n;
    if (!ensure_buffer(f, run * bps))
        return -1;

    const int32_t low = s->digital_min, high = s->digital_max;
    int done = 0;
    while (done < n) {
        const int64_t record = pos / spr;
        const int64_t in_record = pos % spr;
        int64_t chunk = spr - in_record;
        if (chunk > n - done)
            chunk = n - done;
        const int64_t at =
            f->header_size + record * f->record_size + s->byte_offset + in_record * bps;
        if (!read_at(f->stream, at, f->conversion_buffer, static_cast<size_t>(chunk * bps)))
            return -1;
        const unsigned char* p = f->conversion_buffer;
        for (int64_t i = 0; i < chunk; i++, p += bps) {
            int32_t d = decode_sample(p, bdf);
            if (d < low)
                d = low;
            else if (d > high)
                d = high;
            out(done + static_cast<int>(i), d);
        }
        done += static_cast<int>(chunk);
        pos += chunk;
    }
    s->read_position = pos;
    return n;
}

} // namespace

int edf_open_for_reading(const char* path, edf_header_info* hdr, int annotation_mode)
{
    if (!hdr)
        return -1;
    memset(hdr, 0, sizeof *hdr);
    auto fail = [hdr](int code) {
        hdr->filetype = code;
        return -1;
    };
    if (annotation_mode < 0 || annotation_mode > 2)
        return fail(EDF_ERROR_ANNOTATION_MODE);
    if (!path)
        return fail(EDF_ERROR_CANNOT_OPEN);
    {
        std::lock_guard<std::mutex> lock(edf_table_mutex);
        if (edf_table.open_count >= EDF_MAX_FILES)
            return fail(EDF_ERROR_TOO_MANY_FILES);
        if (edf_path_in_use(path))
            return fail(EDF_ERROR_ALREADY_OPEN);
    }
    FILE* stream = fopen(path, "rb");
    if (!stream)
        return fail(EDF_ERROR_CANNOT_OPEN);
    edf_file_record* f = static_cast<edf_file_record*>(calloc(1, sizeof(edf_file_record)));
    if (!f) {
        fclose(stream);
        return fail(EDF_ERROR);
    }
    f->stream = stream;
    f->writing = 0;
    strncpy(f->path, path, sizeof f->path - 1);
    f->identity = edf_stream_identity(stream);

    annotation_collector annotations;
    int result = check_file(f, annotation_mode, annotations);
    // The file is checked without the table held (that reads all of it); the slot is taken
    // afterwards, with the path checked again against files opened meanwhile.
    std::unique_lock<std::mutex> lock(edf_table_mutex);
    const int handle = edf_free_slot();
    if (result == 0 && handle < 0)
        result = EDF_ERROR_TOO_MANY_FILES;
    if (result == 0 && edf_path_in_use(path))
        result = EDF_ERROR_ALREADY_OPEN;
    if (result != 0) {
        lock.unlock();
        free_annotations(annotations);
        free(f->signals);
        free(f);
        fclose(stream);
        return fail(result);
    }
    f->annotation_count = annotations.count;
    f->annotation_capacity = annotations.capacity;
    edf_table.files[handle] = f;
    edf_table.read_annotations[handle] = annotations.list;
    edf_table.open_count++;
    lock.unlock();
    fill_header_info(f, handle, hdr);
    return 0;
}

int edfread_digital_samples(int handle, int signal, int n, int* buf)
{
    return read_samples(handle, signal, n, buf != nullptr, [buf](int i, int32_t d) { buf[i] = d; });
}

int edfread_physical_samples(int handle, int signal, int n, double* buf)
{
    edf_file_record* f;
    const edf_signal_param* s = reading_signal(handle, signal, &f);
    if (!s)
        return -1;
    const double bit_value = s->bit_value, offset = s->offset;
    return read_samples(
        handle, signal, n, buf != nullptr,
        [buf, bit_value, offset](int i, int32_t d) { buf[i] = bit_value * (offset + d); });
}

int64_t edf_seek(int handle, int signal, int64_t offset, int whence)
{
    edf_file_record* f;
    edf_signal_param* s = reading_signal(handle, signal, &f);
    if (!s)
        return -1;
    const int64_t total = static_cast<int64_t>(s->samples_per_record) * f->record_count;
    int64_t pos;
    switch (whence) {
    case 0:
        pos = offset;
        break;
    case 1:
        pos = add_saturated(s->read_position, offset);
        break;
    case 2:
        pos = add_saturated(total, offset);
        break;
    default:
        return -1;
    }
    if (pos < 0)
        pos = 0;
    else if (pos > total)
        pos = total;
    s->read_position = pos;
    return pos;
}

int64_t edf_tell(int handle, int signal)
{
    edf_file_record* f;
    const edf_signal_param* s = reading_signal(handle, signal, &f);
    return s ? s->read_position : -1;
}

int edf_rewind(int handle, int signal)
{
    edf_file_record* f;
    edf_signal_param* s = reading_signal(handle, signal, &f);
    if (!s)
        return -1;
    s->read_position = 0;
    return 0;
}

int edf_get_annotation(int handle, int n, edf_annotation_info* annotation)
{
    if (!annotation)
        return -1;
    memset(annotation, 0, sizeof *annotation);
    const edf_file_record* f = edf_record(handle);
    if (!f || f->writing || n < 0 || n >= f->annotation_count)
        return -1;
    const edf_read_annotation_list& list = edf_table.read_annotations[handle];
    const edf_read_annotation& a = list.entries[n];
    annotation->onset = a.onset;
    annotation->duration = a.duration;
    if (a.duration_len > 0)
        memcpy(annotation->duration_text, list.pool + a.text_at, a.duration_len);
    if (a.text_len > 0)
        memcpy(annotation->text, list.pool + a.text_at + a.duration_len, a.text_len);
    return 0;
}
