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

const int64_t time_limit = EDF_MAX_ANNOTATION_SECONDS * EDF_TIME_DIMENSION;

edf_annotation_entry* new_entry(int handle, int64_t onset, int64_t duration, const char* text)
{
    edf_file_record* f = edf_record(handle);
    // A TAL's time holds at most 11 digits of seconds; with the start subsecond added the onset
    // still does.
    if (!f || !f->writing || !text || onset < 0 || onset >= time_limit || duration >= time_limit)
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
    e->duration = duration;
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

// Scales a value to 100 ns units by `factor`; false when it would overflow.
bool scale(int64_t v, int64_t factor, int64_t* out)
{
    if (v > INT64_MAX / factor || v < INT64_MIN / factor)
        return false;
    *out = v * factor;
    return true;
}

// Onset and duration given in units of `factor` x 100 ns; a negative duration stays "none".
bool to_ticks(int64_t* onset, int64_t* duration, int64_t factor)
{
    if (!scale(*onset, factor, onset))
        return false;
    if (*duration < 0)
        *duration = -1;
    else if (!scale(*duration, factor, duration))
        return false;
    return true;
}

// Whole seconds of a 100 ns value, then '.' and 6 digits when it is not whole, or 7 when the
// last one is needed.
int put_seconds(char* out, int64_t ticks)
{
    int len = edf_format_int64(ticks / EDF_TIME_DIMENSION, out);
    const int64_t fraction = ticks % EDF_TIME_DIMENSION;
    if (fraction % 10)
        len += snprintf(out + len, 9, ".%07lld", static_cast<long long>(fraction));
    else if (fraction)
        len += snprintf(out + len, 8, ".%06lld", static_cast<long long>(fraction / 10));
    return len;
}

edf_annotation_entry* queue_of(const edf_file_record* f)
{
    std::lock_guard<std::mutex> lock(edf_table_mutex);
    for (int i = 0; i < EDF_MAX_FILES; i++) {
        if (edf_table.files[i] == f)
            return edf_table.queued_annotations[i];
    }
    return nullptr;
}

// User annotations already in a record.
int slots_used(const edf_file_record* f, int64_t record)
{
    return record < f->slots_used_capacity ? f->slots_used[record] : 0;
}

// Room to note the slots of every record up to `record`; false when memory is unavailable.
bool reserve_slots(edf_file_record* f, int64_t record)
{
    if (record < f->slots_used_capacity)
        return true;
    int64_t capacity = f->slots_used_capacity ? f->slots_used_capacity : 1024;
    while (capacity <= record)
        capacity *= 2;
    void* grown = realloc(f->slots_used, static_cast<size_t>(capacity));
    if (!grown)
        return false;
    f->slots_used = static_cast<unsigned char*>(grown);
    memset(f->slots_used + f->slots_used_capacity, 0,
           static_cast<size_t>(capacity - f->slots_used_capacity));
    f->slots_used_capacity = capacity;
    return true;
}

// Builds slot `slot` of `record` (120 bytes) holding annotation a; slot 0 starts with the
// record's time-keeping text.
void build_slot(const edf_file_record* f, int64_t record, int slot, const edf_annotation_entry& a,
                unsigned char* out)
{
    char* area = reinterpret_cast<char*>(out);
    memset(area, 0, slot_bytes);
    int len = 0;
    if (slot == 0) {
        len = edf_timekeeping_text(f, record, area);
        area[len++] = 0x14;
        area[len++] = 0x14;
        area[len++] = 0x00;
    }
    // Worst case: 24 + 21 + 22 + 42 bytes, inside the 120.
    area[len++] = '+';
    len += put_seconds(area + len, a.onset + f->start_subsecond);
    if (a.duration >= 0) {
        area[len++] = 0x15;
        len += put_seconds(area + len, a.duration);
    }
    area[len++] = 0x14;
    const int n = static_cast<int>(strlen(a.text));
    memcpy(area + len, a.text, n);
    len += n;
    area[len++] = 0x14;
}

// Moves the first-unplaced cursor past the annotations placed since.
void advance_cursor(edf_file_record* f, const edf_annotation_entry* queue)
{
    while (f->first_unplaced < f->annotation_count && queue[f->first_unplaced].placed)
        f->first_unplaced++;
}

} // namespace

static int queue_latin1(int handle, int64_t onset, int64_t duration, const char* text);

int edfwrite_annotation_utf8_100ns(int handle, int64_t onset, int64_t duration, const char* text)
{
    edf_annotation_entry* e = new_entry(handle, onset, duration, text);
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
    edf_record(handle)->annotation_count++;
    return 0;
}

int edfwrite_annotation_utf8(int handle, int64_t onset, int64_t duration, const char* text)
{
    if (!to_ticks(&onset, &duration, 10))
        return -1;
    return edfwrite_annotation_utf8_100ns(handle, onset, duration, text);
}

// Queues a Latin-1 text, converted to UTF-8; onset and duration in 100 ns units.
static int queue_latin1(int handle, int64_t onset, int64_t duration, const char* text)
{
    edf_annotation_entry* e = new_entry(handle, onset, duration, text);
    if (!e)
        return -1;
    bool cut;
    copy_text(e->text, text, &cut);
    edf_latin1_to_utf8(e->text, text_max);
    edf_record(handle)->annotation_count++;
    return 0;
}

int edfwrite_annotation_latin1(int handle, int64_t onset, int64_t duration, const char* text)
{
    if (!to_ticks(&onset, &duration, 10))
        return -1;
    return queue_latin1(handle, onset, duration, text);
}

int edfwrite_annotation_utf8_100us(int handle, int64_t onset, int64_t duration, const char* text)
{
    if (!to_ticks(&onset, &duration, 1000))
        return -1;
    return edfwrite_annotation_utf8_100ns(handle, onset, duration, text);
}

int edfwrite_annotation_latin1_100us(int handle, int64_t onset, int64_t duration, const char* text)
{
    if (!to_ticks(&onset, &duration, 1000))
        return -1;
    return queue_latin1(handle, onset, duration, text);
}

int edf_fill_record_annotations(edf_file_record* f, unsigned char* area, int* chosen)
{
    const edf_annotation_entry* queue = queue_of(f);
    if (!queue || !reserve_slots(f, f->record_count))
        return 0; // the annotations wait for a later record, or for edf_close
    const int64_t record = f->record_count;
    const int64_t end = (record + 1) * f->record_duration_ticks; // since the start of recording
    int count = 0;
    for (int i = f->first_unplaced; i < f->annotation_count; i++) {
        if (count == f->annotation_signal_count)
            break;
        if (queue[i].placed || queue[i].onset >= end)
            continue;
        build_slot(f, record, count, queue[i], area + count * slot_bytes);
        chosen[count++] = i;
    }
    return count;
}

int edf_mark_placed(edf_file_record* f, int64_t record, const int* chosen, int count)
{
    edf_annotation_entry* queue = queue_of(f);
    if (!queue || !reserve_slots(f, record))
        return -1;
    for (int i = 0; i < count; i++)
        queue[chosen[i]].placed = 1;
    f->slots_used[record] = static_cast<unsigned char>(f->slots_used[record] + count);
    f->annotations_placed += count;
    advance_cursor(f, queue);
    return 0;
}

int edf_place_annotations(int handle)
{
    edf_file_record* f = edf_record(handle);
    edf_annotation_entry* queue = edf_table.queued_annotations[handle];
    if (!f || !queue)
        return 0;

    const int64_t header_size = 256LL * (f->signal_count + f->annotation_signal_count + 1);
    const int64_t data_bytes = f->record_size - f->annotation_bytes;
    int next = f->first_unplaced;
    for (int64_t record = 0; record < f->record_count; record++) {
        for (int slot = slots_used(f, record); slot < f->annotation_signal_count; slot++) {
            while (next < f->annotation_count && queue[next].placed)
                next++;
            if (next == f->annotation_count)
                return 0;
            unsigned char area[slot_bytes];
            build_slot(f, record, slot, queue[next], area);
            const int64_t pos = header_size + record * f->record_size + data_bytes +
                                static_cast<int64_t>(slot) * slot_bytes;
            if (edf_write_at(f, pos, area, slot_bytes) != 0)
                return -1;
            queue[next].placed = 1;
            f->annotations_placed++;
        }
    }
    advance_cursor(f, queue);
    return 0;
}
