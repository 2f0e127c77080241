// Internals of the recording-file module shared by its writing half (edf_write.cpp,
// edf_annotations.cpp), its reading half (edf_read.cpp) and edf_common.cpp: the open-file
// record, the handle table and the text and number routines. Not for use outside edf/ (the
// tests include it to check the routines and the record directly).
#pragma once

#include "edf/edf.h"

#include <stdint.h>
#include <stdio.h>

#include <mutex>

// One data signal of an open file; zero-initialised.
struct edf_signal_param {
    char label[17];
    char transducer[81];
    char physical_dimension[9];
    double physical_min;
    double physical_max;
    int32_t digital_min;
    int32_t digital_max;
    char prefilter[81];
    int32_t samples_per_record;
    char reserved_text[33]; // reader
    double offset;          // computed when the header is written
    int32_t byte_offset;    // reader: where the signal starts inside a record
    double bit_value;       // physical units per digital step, computed with the header
    int annotation_flag;    // reader
    int64_t read_position;  // reader: samples, counted across records
};

// A user annotation queued for writing (64 bytes).
struct edf_annotation_entry {
    int64_t onset;    // 100 ns units from the start of the recording, >= 0
    int64_t duration; // 100 ns units; negative: no duration
    char text[41];    // UTF-8, no byte below 32
    char placed;      // already written into a record's annotation area
};

// What makes two paths the same file (device and inode, or volume and file index on Windows).
struct edf_file_identity {
    uint64_t device;
    uint64_t file;
    int known;
};

// One open file, writing or reading; zero-initialised when created.
struct edf_file_record {
    FILE* stream;
    char path[1024];
    int writing;             // 1 for writing, 0 for reading
    char version_text[32];   // reader
    char patient_text[81];   // reader
    char recording_text[81]; // reader
    char patient_code[81];
    char sex[16];        // 'M', 'F' or empty
    char birth_date[16]; // "dd.mm.yyyy" or empty
    int birth_day;       // reader
    int birth_month;     // reader
    int birth_year;      // reader
    char patient_name[81];
    char patient_additional[81];
    char start_date_text[16]; // reader
    char admin_code[81];
    char technician[81];
    char equipment[81];
    char recording_additional[81];
    int64_t start_time; // reader
    int start_day;
    int start_month;
    int start_year; // 0: no start date set
    int start_second;
    int start_minute;
    int start_hour;
    char reserved_text[45];                       // reader
    int header_size;                              // reader
    int signal_count;                             // data signals
    int64_t record_count;                         // completed data records
    int record_size;                              // bytes, computed with the header
    int annotation_signal_index[EDF_MAX_SIGNALS]; // reader
    int annotation_signal_count;                  // 1..64
    int data_signal_map[EDF_MAX_SIGNALS];         // reader: caller's signal -> file signal
    int is_edf;
    int is_edfplus;
    int is_bdf;
    int is_bdfplus;
    int discontinuous;             // reader
    int whole_patient;             // reader: EDF+ patient field without its subfields
    int whole_recording;           // reader: EDF+ recording field without its subfields
    int next_signal;               // next data signal to write in the current record
    int64_t start_subsecond;       // 100 ns units, 0..9,999,999
    double record_duration;        // seconds
    int64_t record_duration_ticks; // 100 ns units
    int annotation_count;          // queued (writing) or read (reading)
    int annotation_capacity;
    int annotation_bytes; // 120 x annotation signals
    int equal_sample_counts;
    unsigned char* conversion_buffer; // grows, never shrinks
    int conversion_buffer_size;
    edf_signal_param* signals;
    // Set once a write, flush or seek has failed; from then on no sample write is accepted and
    // edf_close reports failure, so nothing is reported as written that did not reach the file.
    int io_failed;
    edf_file_identity identity; // of the open file, to refuse a second handle on it
    // Writing: each completed record also brings its due annotations and the header's count
    // up to date, so the file on disk is valid at every moment (edf_set_crash_safe).
    int crash_safe;
    int annotations_placed; // queued annotations already written into records
    int first_unplaced;     // queue index below which every annotation is placed
    // Writing: user annotations already in each record's annotation area (one byte per
    // record), so that later placements find the free slots.
    unsigned char* slots_used;
    int64_t slots_used_capacity;
};

// One annotation read from a file, kept compact: its two texts live in the slot's text pool,
// so the memory a hostile file can claim stays in proportion to the bytes it really holds.
struct edf_read_annotation {
    int64_t onset;        // 100 ns units, start subsecond taken off
    int64_t duration;     // 100 ns units
    uint64_t text_at;     // offset into the pool: the duration text, then the annotation text
    uint16_t text_len;    // bytes of annotation text (at most 512)
    uint8_t duration_len; // bytes of duration text (at most 15)
};

struct edf_read_annotation_list {
    edf_read_annotation* entries;
    char* pool;
    uint64_t pool_used;
    uint64_t pool_capacity;
};

// Process-wide table of open files.
struct edf_handle_table {
    edf_file_record* files[EDF_MAX_FILES];
    int open_count;
    // Per slot: the queue of user annotations (writing) or the annotations read (reading).
    edf_annotation_entry* queued_annotations[EDF_MAX_FILES];
    edf_read_annotation_list read_annotations[EDF_MAX_FILES];
};

extern edf_handle_table edf_table;
// Guards the table itself (which slots are taken, the open count, the path check), so that
// different handles can be opened, used and closed from different threads at once. Operations
// on one handle touch only that handle's slot and stay the caller's to keep to one thread.
extern std::mutex edf_table_mutex;

// The record of an open handle, or null for a handle out of range or a free slot.
edf_file_record* edf_record(int handle);
// Lowest free slot, or -1.
int edf_free_slot();
// 1 when a slot holds this file: the same path (compared over at most 1023 bytes) or, for an
// existing file, the same file under another spelling or link.
int edf_path_in_use(const char* path);
// Identity of the file at a path (known = 0 when it does not exist or cannot be queried), and
// of an open stream.
edf_file_identity edf_path_identity(const char* path);
edf_file_identity edf_stream_identity(FILE* stream);
// Cuts the file of an open stream to size bytes; 0 on success.
int edf_truncate_stream(FILE* stream, int64_t size);
// Flushes the stream and asks the system to put its data on the disk; 0 on success.
int edf_sync_stream(FILE* stream);
// Puts the folder entry of a file just created on the disk, so that a power cut cannot leave
// the file's data without its name; 0 on success (and where the system has no such step).
int edf_sync_folder_of(const char* path);
// Upper-case English month abbreviations, JAN..DEC, as the identification fields use them.
extern const char* const edf_month_names[12];
// Positions the stream at an absolute 64-bit offset (files over 2 GiB); 0 on success.
int edf_seek_stream(FILE* stream, int64_t pos);
// Releases everything of an open slot (stream closed, memory freed, slot cleared). Returns 0,
// or -1 when closing the stream failed.
int edf_release_slot(int handle);

// Writing half's part of edf_close (edf_write.cpp).
int edf_close_writing(int handle);
// Checks the configuration and writes the header from the start of the file: 0, a header error
// code (nothing written) or -1 (write failed).
int edf_write_header(edf_file_record* f);
// The time-keeping text of a record ("+" seconds, with a 7-digit fraction when the duration or
// the start is not whole seconds); out needs 32 bytes, no terminator is written. Returns length.
int edf_timekeeping_text(const edf_file_record* f, int64_t record, char* out);
// Writes n bytes at a 64-bit file position; -1 (and the file marked failed) on error.
int edf_write_at(edf_file_record* f, int64_t pos, const void* data, size_t n);
// Placement of queued user annotations (edf_annotations.cpp).
// Fills the annotation area of the record about to be completed (record_count) after its
// time-keeping text: the not yet placed annotations whose onset lies before the record's end,
// in queue order, as many as its slots hold. area holds annotation_bytes bytes.
// Returns how many it placed, their queue indices in chosen (room for 64); they count as placed
// only once edf_mark_placed is called after the record is safely written.
int edf_fill_record_annotations(edf_file_record* f, unsigned char* area, int* chosen);
int edf_mark_placed(edf_file_record* f, int64_t record, const int* chosen, int count);
// Places every annotation not yet placed into free slots of the records already in the file,
// record by record. Returns 0, or -1 when a seek or write failed (placement ends there).
int edf_place_annotations(int handle);

// ---- Text and number routines ------------------------------------------------------------

// In place over len bytes: printable ASCII stays, control bytes become '.', 127..255 are
// transliterated to one ASCII character each.
void edf_latin1_to_ascii(char* text, int len);
// In place: Latin-1 text of at most len bytes (or up to its NUL) to UTF-8 no longer than len
// bytes; characters that no longer fit become a space. Returns the new length; the result is
// NUL-terminated when it is shorter than len.
int edf_latin1_to_utf8(char* text, int len);
// Copies at most max bytes of src into dst (max + 1 bytes), terminates it and removes leading
// and trailing spaces.
void edf_copy_trimmed(char* dst, const char* src, int max);
// The nearest text of at most 8 characters for a physical limit (as many decimals as fit,
// trailing zeros removed) into dst (9 bytes), and its value; returns the length, or -1 when the
// integer part alone does not fit or the value is not finite.
// With `outward` > 0 the text is the nearest at or above the value, with < 0 at or below it.
int edf_physical_text(double value, char* dst, double* text_value, int outward = 0);
// Decimal text of v; returns the length. dst needs 21 bytes.
int edf_format_int64(int64_t v, char* dst);

// Header field parsing for the reader. An integer field is an optional sign, at least one
// digit, then only spaces. A number field may also hold one decimal point and an exponent.
int edf_is_integer_field(const char* field, int len);
int edf_is_number_field(const char* field, int len);
int64_t edf_parse_integer_field(const char* field, int len);
double edf_parse_number_field(const char* field, int len);
