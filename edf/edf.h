// Recording-file module: writes EDF+ (16-bit) and BDF+ (24-bit) files and reads EDF, EDF+, BDF
// and BDF+ files.
//
// A procedural interface over a process-wide table of 64 open files addressed by integer
// handles 0..63. Every operation takes the handle first and returns 0 (or a handle) on success
// and a negative code on failure; nothing throws. The table itself is guarded, so different
// handles may be opened, used and closed from different threads at once; each handle is used by
// one thread at a time.
//
// Depends on the C++ standard library only.
#pragma once

#include <stdint.h>

// Limits.
enum {
    EDF_MAX_FILES = 64,
    EDF_MAX_SIGNALS = 640,
    EDF_MAX_ANNOTATION_SIGNALS = 64,
    EDF_MAX_RECORD_SIZE_EDF = 10485760,
    EDF_MAX_RECORD_SIZE_BDF = 15728640,
    EDF_MODULE_VERSION = 124,
};

// Time unit of every 64-bit time value in the interface (except the annotation writers, which
// take microseconds or units of 100 us): 100 ns, so one second is 10,000,000.
#define EDF_TIME_DIMENSION 10000000LL

// Largest number of seconds (exclusive) an annotation onset or duration may have.
#define EDF_MAX_ANNOTATION_SECONDS 99999999999LL

// File types: the argument of edf_open_for_writing (EDF+ or BDF+ only) and the type reported by
// edf_open_for_reading.
enum {
    EDF_FILETYPE_EDF = 0,
    EDF_FILETYPE_EDFPLUS = 1,
    EDF_FILETYPE_BDF = 2,
    EDF_FILETYPE_BDFPLUS = 3,
};

// Result codes. -1 is also the generic failure of every setter, writer and reader call.
enum {
    EDF_ERROR = -1, // memory unavailable, bad handle, bad argument, failed write
    EDF_ERROR_CANNOT_OPEN = -2,
    EDF_ERROR_FORMAT = -3,
    EDF_ERROR_TOO_MANY_FILES = -4,
    EDF_ERROR_READ_HEADER = -5,
    EDF_ERROR_ALREADY_OPEN = -6,
    EDF_ERROR_FILE_TYPE = -7,
    EDF_ERROR_TOO_MANY_SIGNALS = -9,
    EDF_ERROR_DISCONTINUOUS = -10,
    EDF_ERROR_ANNOTATION_MODE = -11,
    // Returned by the first sample writer call or by edf_close when the header cannot be built;
    // nothing has been written then and the handle stays open and configurable.
    EDF_HEADER_NEGATIVE_SIGNALS = -20,
    EDF_HEADER_TOO_MANY_SIGNALS = -21,
    EDF_HEADER_SAMPLES_PER_RECORD = -22,
    EDF_HEADER_DIGITAL_EQUAL = -23,
    EDF_HEADER_DIGITAL_ORDER = -24,
    EDF_HEADER_PHYSICAL_EQUAL = -25,
    EDF_HEADER_RECORD_SIZE = -26,
    // Returned by edf_close when the file was written and closed but is not everything the
    // caller asked for: some queued annotations found no free slot in its records, or no data
    // record was completed (the file holds the header alone, which readers refuse).
    EDF_CLOSE_ANNOTATIONS_LEFT = -27,
    EDF_CLOSE_NO_RECORDS = -28,
};

// A short English description of a result code, for diagnostics; never null.
const char* edf_result_text(int code);
// The message for the user, in Russian (UTF-8), for every result code; never null, never a bare
// number. The window shows it when a file cannot be opened or saved.
const char* edf_result_text_ru(int code);

// ---- Reading: public records --------------------------------------------------------------

// One data signal of a file opened for reading.
struct edf_signal_info {
    char label[17];
    int64_t samples_in_file; // samples per record x number of records
    double physical_max;
    double physical_min;
    int digital_max;
    int digital_min;
    int samples_per_record;
    char physical_dimension[9];
    char prefilter[81];
    char transducer[81];
};

// Filled by edf_open_for_reading (zeroed first). A file may end in an incomplete record (its
// writer stopped while appending it); the records counted by the header are read and the
// incomplete one is left out.
struct edf_header_info {
    int handle;
    int filetype;          // on success EDF_FILETYPE_*, on failure the negative result code
    int signal_count;      // data signals; annotation signals are not counted
    int64_t file_duration; // 100 ns units
    int start_day;
    int start_month;
    int start_year;
    int64_t start_subsecond; // 100 ns units
    int start_second;
    int start_minute;
    int start_hour;
    // Whole fields: of EDF and BDF files, and of EDF+ and BDF+ files whose field does not follow
    // the subfield layout (its subfields are then empty).
    char patient[81];
    char recording[81];
    char patient_code[81];
    char sex[16];    // "Male", "Female" or empty
    char gender[16]; // the same text
    char birth_date[16];
    int birth_day;
    int birth_month;
    int birth_year;
    char patient_name[81];
    char patient_additional[81];
    char admin_code[81];
    char technician[81];
    char equipment[81];
    char recording_additional[81];
    int64_t record_duration; // 100 ns units
    int64_t record_count;
    int64_t annotation_count;
    edf_signal_info signal_info[EDF_MAX_SIGNALS];
};

// One annotation read from a file.
struct edf_annotation_info {
    int64_t onset;    // 100 ns units from the start second, start subsecond taken off
    int64_t duration; // 100 ns units; -10,000,000 when the annotation has none
    char duration_text[20];
    char text[513]; // UTF-8 as stored
};

// ---- Opening, closing, queries --------------------------------------------------------------

// filetype: EDF_FILETYPE_EDFPLUS or EDF_FILETYPE_BDFPLUS. Returns the handle or
// -7, -4, -6 (this file is already open here, under any spelling of its path), -9 (more than
// 639 data signals: with the annotation signal a file holds at most 640), -1, -2.
int edf_open_for_writing(const char* path, int filetype, int number_of_signals);
// Opens and configures every signal alike: samples per record, physical range -range..+range,
// unit, labels "chan. 1", "chan. 2", ..., the full digital range of the file type.
int edf_open_for_writing_with_params(const char* path, int filetype, int number_of_signals,
                                     int samples_per_record, double physical_range,
                                     const char* unit);
// Closes a file opened for writing or for reading. For writing: writes the header if no record
// was completed, cuts the file back to its complete records (a record left unfinished by the
// caller or by a failed write is not kept), writes the record count and places the queued
// annotations that are not in the file yet. Returns 0 when the file holds everything written
// and queued; -1 when a write failed (the file still holds every complete record),
// EDF_CLOSE_ANNOTATIONS_LEFT or EDF_CLOSE_NO_RECORDS, or a header error code. The handle is
// released in every case except a bad handle.
int edf_close(int handle);

// Keeps a file being written valid on disk at every moment. Once on (call after opening, before
// the first sample), each completed data record is followed at once by: the queued annotations
// whose onset lies before that record's end written into that record's annotation area (those
// that do not fit wait for the next records; none is ever dropped), and the header's record
// count brought up to date, so that a process killed at any moment (SIGKILL) leaves a file that
// our reader, MNE and biosig open with every complete record and its annotations, with no repair.
int edf_set_crash_safe(int handle,
                       int on); // 0, or -1 (bad handle, not writing, samples already written)
// Hands everything written so far to the disk: flush, then fsync (FlushFileBuffers on Windows).
int edf_flush(int handle); // 0, or -1 (bad handle, or the system reported a failure)

int edf_is_file_open(const char* path);
// Whether the path a file was opened under still leads to that open file: 1 yes, 0 no (the file
// was removed or replaced, its folder is gone, the drive was unplugged), -1 bad handle. A writer
// whose path no longer leads to its file writes into nothing anyone can open.
int edf_path_leads_to_file(int handle);
int edf_open_file_count();
int edf_get_handle(int n);
int edf_module_version();

// ---- Writing: setters (writable handle: open for writing, no record completed yet) ---------

int edf_set_samples_per_record(int handle, int signal, int samples);
// Physical limits are kept as the header will show them: rounded outward (a maximum up, a
// minimum down) to a text of 8 characters, and samples are scaled with that value. A value that
// text cannot hold to within 1% (e.g. 1e-7, or 1e9) is refused.
int edf_set_physical_maximum(int handle, int signal, double value);
int edf_set_physical_minimum(int handle, int signal, double value);
int edf_set_digital_maximum(int handle, int signal, int value);
int edf_set_digital_minimum(int handle, int signal, int value);
int edf_set_label(int handle, int signal, const char* text);
int edf_set_physical_dimension(int handle, int signal, const char* text);
int edf_set_transducer(int handle, int signal, const char* text);
int edf_set_prefilter(int handle, int signal, const char* text);
int edf_set_patientname(int handle, const char* text);
int edf_set_patientcode(int handle, const char* text);
int edf_set_patient_additional(int handle, const char* text);
int edf_set_admincode(int handle, const char* text);
int edf_set_technician(int handle, const char* text);
int edf_set_equipment(int handle, const char* text);
int edf_set_recording_additional(int handle, const char* text);
int edf_set_sex(int handle, int sex);    // 1 male, 0 female
int edf_set_gender(int handle, int sex); // same as edf_set_sex
int edf_set_birthdate(int handle, int year, int month, int day);
int edf_set_startdatetime(int handle, int year, int month, int day, int hour, int minute,
                          int second);
int edf_set_subsecond_starttime(int handle, int subsecond);      // 100 ns units, 0..9,999,999
int edf_set_datarecord_duration(int handle, int duration);       // units of 10 us, 100..6,000,000
int edf_set_micro_datarecord_duration(int handle, int duration); // microseconds, 1..9999
// 1..64, and at most 640 signals in all with the data signals.
int edf_set_number_of_annotation_signals(int handle, int count);

// ---- Writing: samples ----------------------------------------------------------------------
// Per-signal writers take the samples per record of the next signal; block writers take every
// signal of one record concatenated in signal order. The first call writes the header and may
// return a header error code. A failed write returns -1 and refuses every later sample write; a
// record beyond 99,999,999 (the most the header's count can show) is refused with -1.

int edfwrite_physical_samples(int handle, const double* samples);
int edfwrite_digital_samples(int handle, const int* samples);
// EDF+ only; limits the caller's values in place to the signal's digital range.
int edfwrite_digital_short_samples(int handle, short* samples);
int edfwrite_block_physical_samples(int handle, const double* samples);
int edfwrite_block_digital_samples(int handle, const int* samples);
// EDF+ only; limits the caller's values in place to each signal's digital range.
int edfwrite_block_digital_short_samples(int handle, short* samples);
// BDF+ only; 3 bytes per sample, little-endian, written unchanged.
int edfwrite_block_digital_3byte_samples(int handle, const void* samples);

// ---- Writing: user annotations (queued, placed into the records at close) ------------------
// Onset and duration in microseconds (or units of 100 us for the _100us forms); a negative
// duration means none. The text is cut to 40 bytes. Onsets and durations of
// EDF_MAX_ANNOTATION_SECONDS or more (and negative onsets) are refused: a time-keeping text holds
// at most 11 digits of seconds.

int edfwrite_annotation_utf8(int handle, int64_t onset, int64_t duration, const char* text);
// Onset and duration in 100 ns units (EDF_TIME_DIMENSION), the precision a file's own
// annotations carry: an annotation read from a file is written again where it was.
int edfwrite_annotation_utf8_100ns(int handle, int64_t onset, int64_t duration, const char* text);
int edfwrite_annotation_latin1(int handle, int64_t onset, int64_t duration, const char* text);
int edfwrite_annotation_utf8_100us(int handle, int64_t onset, int64_t duration, const char* text);
int edfwrite_annotation_latin1_100us(int handle, int64_t onset, int64_t duration, const char* text);

// ---- Reading --------------------------------------------------------------------------------

// annotation_mode: 0 none, 1 or 2 all annotations. Returns 0 with the handle in the record, or
// -1 with the reason in hdr->filetype.
int edf_open_for_reading(const char* path, edf_header_info* hdr, int annotation_mode);
// Return the number of samples read, or -1. Signal numbers count data signals only.
int edfread_physical_samples(int handle, int signal, int n, double* buf);
int edfread_digital_samples(int handle, int signal, int n, int* buf);
// whence: 0 from the start, 1 from the current position, 2 from the end. Returns the new
// position, limited to 0..samples in file, or -1.
int64_t edf_seek(int handle, int signal, int64_t offset, int whence);
int64_t edf_tell(int handle, int signal);
// Sets the read position of the signal to 0; returns 0 or -1.
int edf_rewind(int handle, int signal);
// Returns 0, or -1 when the handle is not a reading handle or n is out of range.
int edf_get_annotation(int handle, int n, edf_annotation_info* annotation);
