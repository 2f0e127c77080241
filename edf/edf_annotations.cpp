// User annotations of files open for writing: the queue and its placement into the records'
// annotation slots at close.
#include "edf/edf_internal.h"

#include <stdlib.h>
#include <string.h>

namespace
{

const int queue_step = 1000;
const int text_max = 40;
const int slot_bytes = 120;
const int64_t microseconds = 1000000;

// Drops a UTF-8 character that the cut at n bytes left incomplete; returns the new length.
int drop_incomplete_utf8_tail(const char* text, int n)
{
    int start = n;
    while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80)
        start--;
    if (start == 0)
        return n;
    unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    int need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    int have = n - (start - 1);
    return have < need ? start - 1 : n;
}

edf_annotation_entry* new_entry(int handle, int64_t onset, const char* text)
{
    edf_file_record* f = edf_record(handle);
    // The placement adds up to one second to the onset; onsets that close to the int64 limit
    // (hundreds of thousands of years) are refused rather than overflowed.
    if (!f || !f->writing || !text || onset < 0 || onset > INT64_MAX - 10 * microseconds)
        return nullptr;
    edf_annotation_entry*& queue = edf_table.queued_annotations[handle];
    if (f->annotation_count >= f->annotation_capacity) {
        size_t capacity = static_cast<size_t>(f->annotation_capacity) + queue_step;
        void* grown = realloc(queue, capacity * sizeof(edf_annotation_entry));
        if (!grown)
            return nullptr;
        queue = static_cast<edf_annotation_entry*>(grown);
        f->annotation_capacity = static_cast<int>(capacity);
    }
    edf_annotation_entry* e = &queue[f->annotation_count];
    memset(e, 0, sizeof(*e));
    e->onset = onset;
    return e;
}

// Copies at most 40 bytes of text; returns the copied length and whether it was cut.
int copy_text(char* dst, const char* text, bool* cut)
{
    int n = 0;
    while (n < text_max && text[n])
        n++;
    memcpy(dst, text, n);
    dst[n] = 0;
    *cut = text[n] != 0;
    return n;
}

// Scales a 100 us value to microseconds; false when it would overflow.
bool scale_100us(int64_t v, int64_t* out)
{
    if (v > INT64_MAX / 100 || v < INT64_MIN / 100)
        return false;
    *out = v * 100;
    return true;
}

// '+' or nothing, whole seconds of a microsecond value, '.' and 6 digits when not whole.
int put_seconds(char* out, int64_t us)
{
    int len = edf_format_int64(us / microseconds, out);
    if (us % microseconds)
        len += snprintf(out + len, 8, ".%06lld", static_cast<long long>(us % microseconds));
    return len;
}

} // namespace

int edfwrite_annotation_utf8(int handle, int64_t onset, int64_t duration, const char* text)
{
    edf_annotation_entry* e = new_entry(handle, onset, text);
    if (!e)
        return -1;
    bool cut;
    int n = copy_text(e->text, text, &cut);
    if (cut) {
        n = drop_incomplete_utf8_tail(e->text, n);
        e->text[n] = 0;
    }
    for (int i = 0; i < n; i++) {
        if (static_cast<unsigned char>(e->text[i]) <= 31)
            e->text[i] = '.';
    }
    e->duration = duration;
    edf_record(handle)->annotation_count++;
    return 0;
}

int edfwrite_annotation_latin1(int handle, int64_t onset, int64_t duration, const char* text)
{
    edf_annotation_entry* e = new_entry(handle, onset, text);
    if (!e)
        return -1;
    bool cut;
    copy_text(e->text, text, &cut);
    edf_latin1_to_utf8(e->text, text_max);
    e->duration = duration;
    edf_record(handle)->annotation_count++;
    return 0;
}

int edfwrite_annotation_utf8_100us(int handle, int64_t onset, int64_t duration, const char* text)
{
    if (!scale_100us(onset, &onset) || (duration > 0 && !scale_100us(duration, &duration)))
        return -1;
    return edfwrite_annotation_utf8(handle, onset, duration, text);
}

int edfwrite_annotation_latin1_100us(int handle, int64_t onset, int64_t duration, const char* text)
{
    if (!scale_100us(onset, &onset) || (duration > 0 && !scale_100us(duration, &duration)))
        return -1;
    return edfwrite_annotation_latin1(handle, onset, duration, text);
}

int edf_place_annotations(int handle)
{
    edf_file_record* f = edf_record(handle);
    const edf_annotation_entry* queue = edf_table.queued_annotations[handle];
    if (!f || !queue)
        return 0;

    const int64_t header_size = 256LL * (f->signal_count + f->annotation_signal_count + 1);
    const int64_t data_bytes = f->record_size - f->annotation_bytes;
    const int64_t slots = f->record_count * f->annotation_signal_count;
    const int64_t placed = f->annotation_count < slots ? f->annotation_count : slots;

    for (int64_t i = 0; i < placed; i++) {
        const edf_annotation_entry& a = queue[i];
        const int64_t record = i / f->annotation_signal_count;
        const int slot = static_cast<int>(i % f->annotation_signal_count);

        char area[slot_bytes];
        memset(area, 0, sizeof(area));
        int len = 0;
        if (slot == 0) {
            len = edf_timekeeping_text(f, record, area);
            area[len++] = 0x14;
            area[len++] = 0x14;
            area[len++] = 0x00;
        }
        // Worst case: 24 + 21 + 22 + 42 bytes, inside the 120.
        area[len++] = '+';
        len += put_seconds(area + len, a.onset + f->start_subsecond / 10);
        if (a.duration >= 0) {
            area[len++] = 0x15;
            len += put_seconds(area + len, a.duration);
        }
        area[len++] = 0x14;
        int n = static_cast<int>(strlen(a.text));
        memcpy(area + len, a.text, n);
        len += n;
        area[len++] = 0x14;

        const int64_t pos = header_size + record * f->record_size + data_bytes +
                            static_cast<int64_t>(slot) * slot_bytes;
        if (edf_write_at(f, pos, area, slot_bytes) != 0)
            return -1;
    }
    return 0;
}
