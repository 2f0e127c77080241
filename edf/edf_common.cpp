// The handle table, edf_close and the routines shared by the writing and the reading half.
#include "edf/edf_internal.h"

#include <locale.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

static_assert(sizeof(edf_annotation_entry) == 64, "a queued annotation takes 64 bytes");

edf_handle_table edf_table;
std::mutex edf_table_mutex;

const char* edf_result_text(int code)
{
    switch (code) {
    case 0:
        return "success";
    case EDF_ERROR:
        return "failed (memory unavailable, bad handle or argument, or a failed write)";
    case EDF_ERROR_CANNOT_OPEN:
        return "file cannot be opened or created";
    case EDF_ERROR_FORMAT:
        return "file violates the format rules";
    case EDF_ERROR_TOO_MANY_FILES:
        return "too many files open";
    case EDF_ERROR_READ_HEADER:
        return "header cannot be read";
    case EDF_ERROR_ALREADY_OPEN:
        return "file is already open";
    case EDF_ERROR_FILE_TYPE:
        return "file type is not EDF+ or BDF+";
    case EDF_ERROR_TOO_MANY_SIGNALS:
        return "too many signals";
    case EDF_ERROR_DISCONTINUOUS:
        return "discontinuous file";
    case EDF_ERROR_ANNOTATION_MODE:
        return "invalid annotation mode";
    case EDF_HEADER_NEGATIVE_SIGNALS:
        return "negative number of signals";
    case EDF_HEADER_TOO_MANY_SIGNALS:
        return "more than 640 signals";
    case EDF_HEADER_SAMPLES_PER_RECORD:
        return "a signal has fewer than 1 sample per record";
    case EDF_HEADER_DIGITAL_EQUAL:
        return "digital minimum equals digital maximum";
    case EDF_HEADER_DIGITAL_ORDER:
        return "digital maximum below digital minimum";
    case EDF_HEADER_PHYSICAL_EQUAL:
        return "physical minimum equals physical maximum";
    case EDF_HEADER_RECORD_SIZE:
        return "data record too large";
    case EDF_CLOSE_ANNOTATIONS_LEFT:
        return "some queued annotations found no free slot and were not written";
    case EDF_CLOSE_NO_RECORDS:
        return "no complete data record was written";
    default:
        return "unknown result code";
    }
}

const char* edf_result_text_ru(int code)
{
    switch (code) {
    case 0:
        return "готово";
    case EDF_ERROR:
        return "не удалось: не хватает памяти или запись на диск не прошла";
    case EDF_ERROR_CANNOT_OPEN:
        return "нет доступа: файл не удаётся открыть или создать";
    case EDF_ERROR_FORMAT:
        return "файл повреждён: он не соответствует формату EDF/BDF";
    case EDF_ERROR_TOO_MANY_FILES:
        return "открыто слишком много файлов";
    case EDF_ERROR_READ_HEADER:
        return "файл повреждён: заголовок не читается (файл слишком короткий)";
    case EDF_ERROR_ALREADY_OPEN:
        return "файл уже открыт";
    case EDF_ERROR_FILE_TYPE:
        return "формат не поддерживается: записать можно только EDF+ или BDF+";
    case EDF_ERROR_TOO_MANY_SIGNALS:
        return "слишком много сигналов";
    case EDF_ERROR_DISCONTINUOUS:
        return "формат не поддерживается: запись с перерывами (EDF+D, BDF+D)";
    case EDF_ERROR_ANNOTATION_MODE:
        return "внутренняя ошибка: неверный режим чтения аннотаций";
    case EDF_HEADER_NEGATIVE_SIGNALS:
        return "внутренняя ошибка: отрицательное число сигналов";
    case EDF_HEADER_TOO_MANY_SIGNALS:
        return "слишком много сигналов (больше 640)";
    case EDF_HEADER_SAMPLES_PER_RECORD:
        return "внутренняя ошибка: у сигнала нет отсчётов в записи";
    case EDF_HEADER_DIGITAL_EQUAL:
        return "внутренняя ошибка: цифровой минимум равен максимуму";
    case EDF_HEADER_DIGITAL_ORDER:
        return "внутренняя ошибка: цифровой максимум меньше минимума";
    case EDF_HEADER_PHYSICAL_EQUAL:
        return "внутренняя ошибка: физический минимум равен максимуму";
    case EDF_HEADER_RECORD_SIZE:
        return "запись данных слишком велика";
    case EDF_CLOSE_ANNOTATIONS_LEFT:
        return "файл сохранён, но не все аннотации в нём поместились";
    case EDF_CLOSE_NO_RECORDS:
        return "файл пуст: не записано ни одной полной записи данных";
    default:
        return "неизвестная ошибка";
    }
}

edf_file_record* edf_record(int handle)
{
    if (handle < 0 || handle >= EDF_MAX_FILES)
        return nullptr;
    return edf_table.files[handle];
}

int edf_free_slot()
{
    for (int i = 0; i < EDF_MAX_FILES; i++) {
        if (!edf_table.files[i])
            return i;
    }
    return -1;
}

int edf_path_in_use(const char* path)
{
    const edf_file_identity id = edf_path_identity(path);
    for (int i = 0; i < EDF_MAX_FILES; i++) {
        const edf_file_record* f = edf_table.files[i];
        if (!f)
            continue;
        if (strncmp(f->path, path, sizeof(f->path) - 1) == 0)
            return 1;
        if (id.known && f->identity.known && id.device == f->identity.device &&
            id.file == f->identity.file)
            return 1;
    }
    return 0;
}

#ifdef _WIN32
static edf_file_identity handle_identity(HANDLE h)
{
    edf_file_identity id{};
    BY_HANDLE_FILE_INFORMATION info;
    if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info)) {
        id.device = info.dwVolumeSerialNumber;
        id.file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        id.known = 1;
    }
    return id;
}

edf_file_identity edf_path_identity(const char* path)
{
    // Opened for no access at all, sharing everything: it only looks at the file.
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return edf_file_identity{};
    const edf_file_identity id = handle_identity(h);
    CloseHandle(h);
    return id;
}

edf_file_identity edf_stream_identity(FILE* stream)
{
    return handle_identity(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))));
}

int edf_truncate_stream(FILE* stream, int64_t size)
{
    if (fflush(stream) != 0)
        return -1;
    return _chsize_s(_fileno(stream), size) == 0 ? 0 : -1;
}

int edf_sync_stream(FILE* stream)
{
    if (fflush(stream) != 0)
        return -1;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) ? 0 : -1;
}

int edf_sync_folder_of(const char*)
{
    return 0; // NTFS keeps a new file's name with its metadata journal
}
#else
static edf_file_identity stat_identity(const struct stat& st)
{
    edf_file_identity id{};
    id.device = static_cast<uint64_t>(st.st_dev);
    id.file = static_cast<uint64_t>(st.st_ino);
    id.known = 1;
    return id;
}

edf_file_identity edf_path_identity(const char* path)
{
    struct stat st;
    if (!path || stat(path, &st) != 0)
        return edf_file_identity{};
    return stat_identity(st);
}

edf_file_identity edf_stream_identity(FILE* stream)
{
    struct stat st;
    if (fstat(fileno(stream), &st) != 0)
        return edf_file_identity{};
    return stat_identity(st);
}

int edf_truncate_stream(FILE* stream, int64_t size)
{
    if (fflush(stream) != 0)
        return -1;
    return ftruncate(fileno(stream), static_cast<off_t>(size)) == 0 ? 0 : -1;
}

int edf_sync_stream(FILE* stream)
{
    if (fflush(stream) != 0)
        return -1;
    return fsync(fileno(stream)) == 0 ? 0 : -1;
}

int edf_sync_folder_of(const char* path)
{
    const char* slash = strrchr(path, '/');
    char folder[1024];
    if (!slash) {
        strcpy(folder, ".");
    } else {
        const size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
        if (n >= sizeof(folder))
            return -1;
        memcpy(folder, path, n);
        folder[n] = 0;
    }
    const int fd = open(folder, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return -1;
    const int r = fsync(fd);
    close(fd);
    return r == 0 ? 0 : -1;
}
#endif

const char* const edf_month_names[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                         "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

int edf_seek_stream(FILE* stream, int64_t pos)
{
#ifdef _WIN32
    return _fseeki64(stream, pos, SEEK_SET);
#else
    return fseeko(stream, static_cast<off_t>(pos), SEEK_SET);
#endif
}

int edf_release_slot(int handle)
{
    edf_file_record* f = edf_record(handle);
    if (!f)
        return -1;
    int result = 0;
    if (f->stream && fclose(f->stream) != 0)
        result = -1;
    std::lock_guard<std::mutex> lock(edf_table_mutex);
    free(edf_table.queued_annotations[handle]);
    edf_table.queued_annotations[handle] = nullptr;
    free(edf_table.read_annotations[handle].entries);
    free(edf_table.read_annotations[handle].pool);
    edf_table.read_annotations[handle] = edf_read_annotation_list{};
    free(f->signals);
    free(f->conversion_buffer);
    free(f->slots_used);
    free(f);
    edf_table.files[handle] = nullptr;
    edf_table.open_count--;
    return result;
}

int edf_close(int handle)
{
    edf_file_record* f = edf_record(handle);
    if (!f)
        return -1;
    if (f->writing)
        return edf_close_writing(handle);
    return edf_release_slot(handle);
}

int edf_is_file_open(const char* path)
{
    if (!path)
        return 0;
    std::lock_guard<std::mutex> lock(edf_table_mutex);
    return edf_path_in_use(path);
}

int edf_path_leads_to_file(int handle)
{
    const edf_file_record* f = edf_record(handle);
    if (!f)
        return -1;
    if (!f->identity.known)
        return 1; // nothing to compare with: assume the best
    const edf_file_identity now = edf_path_identity(f->path);
    return now.known && now.device == f->identity.device && now.file == f->identity.file ? 1 : 0;
}

int edf_open_file_count()
{
    std::lock_guard<std::mutex> lock(edf_table_mutex);
    return edf_table.open_count;
}

int edf_get_handle(int n)
{
    if (n < 0)
        return -1;
    std::lock_guard<std::mutex> lock(edf_table_mutex);
    for (int i = 0; i < EDF_MAX_FILES; i++) {
        if (edf_table.files[i]) {
            if (n == 0)
                return i;
            n--;
        }
    }
    return -1;
}

int edf_module_version()
{
    return EDF_MODULE_VERSION;
}

// ---- Text routines ---------------------------------------------------------------------------

// Replacements for the codes 127..255, one character each.
static const char latin1_ascii[] = ".E.,F\".++^.S<E.Z"
                                   "..`'\"\".--~.s>e.z"
                                   "Y.i....|....<..."
                                   "-....'u.....>..."
                                   "?AAAAAAECEEEEIII"
                                   "IDNOOOOOxOUUUUYt"
                                   "saaaaaaeceeeeiii"
                                   "idnooooo:0uuuuyt"
                                   "y";
static_assert(sizeof(latin1_ascii) == 129 + 1, "one replacement per code 127..255");

void edf_latin1_to_ascii(char* text, int len)
{
    for (int i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 32)
            text[i] = '.';
        else if (c > 126)
            text[i] = latin1_ascii[c - 127];
    }
}

int edf_latin1_to_utf8(char* text, int len)
{
    if (len <= 0)
        return 0;
    // Two-byte characters overtake the input, so convert from a copy.
    char src[512];
    char* in = len <= static_cast<int>(sizeof(src)) ? src : static_cast<char*>(malloc(len));
    if (!in)
        return 0;
    int n = 0;
    while (n < len && text[n])
        n++;
    memcpy(in, text, n);

    int out = 0;
    for (int i = 0; i < n && out < len; i++) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c < 32 || (c >= 127 && c <= 159)) {
            text[out++] = '.';
        } else if (c >= 160) {
            if (len - out >= 2) {
                text[out++] = static_cast<char>(0xC0 | (c >> 6));
                text[out++] = static_cast<char>(0x80 | (c & 0x3F));
            } else {
                text[out++] = ' ';
            }
        } else {
            text[out++] = static_cast<char>(c);
        }
    }
    if (out < len)
        text[out] = 0;
    if (in != src)
        free(in);
    return out;
}

void edf_copy_trimmed(char* dst, const char* src, int max)
{
    int n = 0;
    if (src) {
        while (n < max && src[n])
            n++;
        memcpy(dst, src, n);
    }
    dst[n] = 0;
    while (n > 0 && dst[n - 1] == ' ')
        dst[--n] = 0;
    int lead = 0;
    while (dst[lead] == ' ')
        lead++;
    if (lead)
        memmove(dst, dst + lead, n - lead + 1);
}

int edf_format_int64(int64_t v, char* dst)
{
    char tmp[24];
    int n = 0;
    // Work on the negative value so that INT64_MIN has no positive counterpart to overflow.
    int64_t neg = v < 0 ? v : -v;
    do {
        tmp[n++] = static_cast<char>('0' - neg % 10);
        neg /= 10;
    } while (neg);
    int len = 0;
    if (v < 0)
        dst[len++] = '-';
    while (n)
        dst[len++] = tmp[--n];
    dst[len] = 0;
    return len;
}

int edf_physical_text(double value, char* dst, double* text_value, int outward)
{
    if (!isfinite(value))
        return -1;
    static const int64_t powers[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
    const bool negative = value < 0;
    const double magnitude = fabs(value);
    // Outward rounding widens the magnitude of a limit on the side it bounds, and narrows it
    // on the other (a maximum of -0.26214449 goes up to -0.2621444).
    const bool away = outward != 0 && (outward > 0) != negative;
    // The most decimals first; the first text that fits is the nearest one.
    for (int d = 7; d >= 0; d--) {
        const double scaled = magnitude * static_cast<double>(powers[d]);
        if (scaled >= 1e15)
            continue;
        int64_t m = llround(scaled);
        if (outward != 0) {
            // m / 10^d is exact in the comparison's sense: it is the double nearest the text,
            // and equals the value when the value's own text has d decimals or fewer.
            const double q = static_cast<double>(m) / static_cast<double>(powers[d]);
            if (away && q < magnitude)
                m++;
            else if (!away && q > magnitude)
                m--;
        }
        char text[40];
        int len = 0;
        if (negative && m != 0)
            text[len++] = '-';
        len += edf_format_int64(m / powers[d], text + len);
        int64_t fraction = m % powers[d];
        int digits = d;
        while (digits > 0 && fraction % 10 == 0) {
            fraction /= 10;
            digits--;
        }
        if (digits > 0)
            len += snprintf(text + len, sizeof(text) - len, ".%0*lld", digits,
                            static_cast<long long>(fraction));
        if (len > 8)
            continue;
        memcpy(dst, text, len + 1);
        // m and the power are exact in a double, so the quotient is the double nearest the text.
        *text_value = static_cast<double>(m) / static_cast<double>(powers[d]) * (negative ? -1 : 1);
        if (*text_value == 0)
            *text_value = 0; // no negative zero
        return len;
    }
    return -1;
}

// ---- Header field parsing --------------------------------------------------------------------

// The field without the spaces around its text: [*start, returned end). Writers align numbers
// either way ("3       " or "       3"); a space inside the text (-1) leaves it ambiguous.
static int trim_spaces(const char* field, int len, int* start)
{
    int n = len;
    while (n > 0 && field[n - 1] == ' ')
        n--;
    int i = 0;
    while (i < n && field[i] == ' ')
        i++;
    *start = i;
    for (int k = i; k < n; k++) {
        if (field[k] == ' ')
            return -1;
    }
    return n;
}

// 1 when field[from..n) is a non-empty run of decimal digits.
static int digits_only(const char* field, int from, int n)
{
    if (from >= n)
        return 0;
    for (int i = from; i < n; i++) {
        if (field[i] < '0' || field[i] > '9')
            return 0;
    }
    return 1;
}

int edf_is_integer_field(const char* field, int len)
{
    int start;
    const int n = trim_spaces(field, len, &start);
    if (n <= start)
        return 0;
    const int i = (field[start] == '+' || field[start] == '-') ? start + 1 : start;
    return digits_only(field, i, n);
}

int edf_is_number_field(const char* field, int len)
{
    int start;
    const int n = trim_spaces(field, len, &start);
    if (n <= start)
        return 0;
    int i = start;
    if (field[i] == '+' || field[i] == '-')
        i++;
    int digits = 0, points = 0;
    for (; i < n; i++) {
        char c = field[i];
        if (c >= '0' && c <= '9') {
            digits++;
        } else if (c == '.') {
            if (++points > 1)
                return 0;
        } else {
            break;
        }
    }
    if (!digits)
        return 0;
    if (i == n)
        return 1;
    if (field[i] != 'e' && field[i] != 'E')
        return 0;
    i++;
    if (i < n && (field[i] == '+' || field[i] == '-'))
        i++;
    return digits_only(field, i, n);
}

int64_t edf_parse_integer_field(const char* field, int len)
{
    int start;
    const int n = trim_spaces(field, len, &start);
    if (n <= start)
        return 0;
    int i = start;
    bool negative = false;
    if (field[i] == '+' || field[i] == '-') {
        negative = field[i] == '-';
        i++;
    }
    int64_t v = 0;
    for (; i < n && field[i] >= '0' && field[i] <= '9'; i++) {
        if (v > (INT64_MAX - 9) / 10)
            return negative ? INT64_MIN : INT64_MAX; // saturate rather than overflow
        v = v * 10 + (field[i] - '0');
    }
    return negative ? -v : v;
}

double edf_parse_number_field(const char* field, int len)
{
    char buf[128];
    if (len < 0)
        len = 0;
    if (len > static_cast<int>(sizeof(buf)) - 1)
        len = sizeof(buf) - 1;
    memcpy(buf, field, len);
    buf[len] = 0;
    // The file always uses '.'; strtod follows the process locale, which a GUI may have set.
    const char* point = localeconv()->decimal_point;
    if (point && point[0] && point[0] != '.' && !point[1]) {
        for (int i = 0; i < len; i++) {
            if (buf[i] == '.')
                buf[i] = point[0];
        }
    }
    return strtod(buf, nullptr);
}
