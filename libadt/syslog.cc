#include "syslog.h"

#include "path.h"
#include "pool.h"
#include "zthread.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syslog.h> // <syslog.h> would find this module's own header
#include <sys/uio.h>
#include <unistd.h>

const char *const syslog_priorities[8] = {"EMERG", "ALERT", " CRIT", "ERROR",
                                          " WARN", "NOTIC", " INFO", "DEBUG"};

namespace {

constexpr size_t syslog_buffer_size = 512;
constexpr size_t syslog_process_size = 32;
constexpr size_t syslog_path_size = 256;
constexpr size_t syslog_max_size = 6000000;
constexpr int syslog_max_copies = 3;
constexpr const char *syslog_default_ident = "application";
constexpr const char *syslog_line_format = "%s [%s:%s]: %s%s";

char *syslog_ident;
bool syslog_ident_registered;
char *syslog_directory;
bool syslog_directory_registered;
int syslog_file_perm = 0666;
// Atomic because any logging thread may switch the echo off.
std::atomic<bool_t> syslog_console_echo_enabled{1};

// Text that lives either in a caller's stack buffer or on the heap; only
// the heap copy is freed.
struct syslog_text {
    char *st_text;
    const char *st_buffer;
    syslog_text(char *text, const char *buffer) : st_text(text), st_buffer(buffer) {}
    syslog_text(const syslog_text &) = delete;
    syslog_text &operator=(const syslog_text &) = delete;
    ~syslog_text() {
        if (st_text != st_buffer)
            pool_free(pool_default(), st_text);
    }
};

// Callers log right after a failed call and then report errno; a log line
// must not replace it with the errors of its own stat, open or isatty.
struct syslog_errno_keeper {
    int sek_saved = errno;
    ~syslog_errno_keeper() { errno = sek_saved; }
};

// The allocating formatter: an exactly sized default-pool string, null when
// formatting or the allocation fails.
char *syslog_vasprintf(const char *format, va_list ap) __attribute__((format(printf, 1, 0)));
char *syslog_vasprintf(const char *format, va_list ap) {
    va_list measure;
    va_copy(measure, ap);
    const int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0)
        return nullptr;
    auto *text = static_cast<char *>(pool_alloc(pool_default(), static_cast<size_t>(length) + 1));
    if (text == nullptr)
        return nullptr;
    va_list fill;
    va_copy(fill, ap);
    vsnprintf(text, static_cast<size_t>(length) + 1, format, fill);
    va_end(fill);
    return text;
}

char *syslog_asprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
char *syslog_asprintf(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char *text = syslog_vasprintf(format, ap);
    va_end(ap);
    return text;
}

const char *syslog_identity() {
    return syslog_ident != nullptr ? syslog_ident : syslog_default_ident;
}

bool ends_in_newline(const char *text) {
    const size_t length = strlen(text);
    return length > 0 && text[length - 1] == '\n';
}

// The platform syslog keeps the identity pointer it was given, so the copy is
// only released after the platform log has let go of it.
void syslog_cleanup_ident(void *) {
    closelog();
    pool_cleanup_string(&syslog_ident);
    syslog_ident_registered = false;
}

void syslog_cleanup_directory(void *) {
    pool_cleanup_string(&syslog_directory);
    syslog_directory_registered = false;
}

bool syslog_copy_name(char *name, int copy, const char *directory, const char *filebase,
                      const char *suffix) {
    const int length =
        snprintf(name, syslog_path_size, "%s%s-%d%s", directory, filebase, copy, suffix);
    return length >= 0 && static_cast<size_t>(length) < syslog_path_size;
}

} // namespace

char *syslog_format(char *buf, size_t bufsz, const char *format, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    const int length = vsnprintf(buf, bufsz, format, copy);
    va_end(copy);
    if (length >= 0 && static_cast<size_t>(length) < bufsz)
        return buf;
    return syslog_vasprintf(format, ap);
}

char *syslog_app_format(char *buf, size_t bufsz, int priority, const char *format, va_list ap) {
    const char *label = syslog_priorities[priority & 7];

    char stamp[32] = "";
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr)
        strftime(stamp, sizeof stamp, "%b %d %H:%M:%S", &local);

    char process[syslog_process_size];
    snprintf(process, sizeof process, "[%d:0x%lx]: ", static_cast<int>(getpid()),
             static_cast<unsigned long>(zthread_id()));

    char message_buffer[syslog_buffer_size];
    const syslog_text message(syslog_format(message_buffer, sizeof message_buffer, format, ap),
                              message_buffer);
    if (message.st_text == nullptr)
        return nullptr;
    if (message.st_text == message_buffer) {
        const int length = snprintf(buf, bufsz, syslog_line_format, stamp, syslog_identity(), label,
                                    process, message.st_text);
        if (length >= 0 && static_cast<size_t>(length) < bufsz)
            return buf;
    }
    return syslog_asprintf(syslog_line_format, stamp, syslog_identity(), label, process,
                           message.st_text);
}

bool_t syslog_filename(const char *directory, const char *filebase, const char *suffix,
                       char *filename, size_t fnsize) {
    const char *dir = syslog_directory != nullptr ? syslog_directory : directory;
    const int length = snprintf(filename, fnsize, "%s%s%s", dir, filebase, suffix);
    return length >= 0 && static_cast<size_t>(length) < fnsize;
}

bool_t syslog_rotate(const char *directory, const char *filebase, const char *suffix,
                     size_t max_size, int max_copies, char *filename, size_t fnsize) {
    if (!syslog_filename(directory, filebase, suffix, filename, fnsize))
        return 0;
    struct stat st;
    if (stat(filename, &st) != 0 || static_cast<unsigned long long>(st.st_size) < max_size)
        return 1;
    const char *dir = syslog_directory != nullptr ? syslog_directory : directory;
    // A name cut short by the buffer could be some other file: such a copy
    // is neither removed nor renamed.
    char older[syslog_path_size];
    char newer[syslog_path_size];
    for (int copy = max_copies - 1; copy >= 1; --copy) {
        if (syslog_copy_name(newer, copy, dir, filebase, suffix) &&
            syslog_copy_name(older, copy - 1, dir, filebase, suffix)) {
            unlink(newer);
            rename(older, newer);
        }
    }
    if (syslog_copy_name(newer, 0, dir, filebase, suffix)) {
        unlink(newer);
        rename(filename, newer);
    }
    return 1;
}

void kovr_vapplog(const char *logname, int priority, const char *format, va_list ap) {
    const syslog_errno_keeper keep_errno;
    const char *name = logname != nullptr ? logname : syslog_identity();
    const char *directory = path_to(Path_Log);
    if (directory == nullptr && syslog_directory == nullptr)
        return; // no memory to name the log directory
    char path[syslog_path_size];
    // A path cut short names some other file: the line is dropped instead.
    if (!syslog_rotate(directory != nullptr ? directory : "", name, ".log", syslog_max_size,
                       syslog_max_copies, path, sizeof path))
        return;
    const int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, syslog_file_perm);
    if (fd < 0)
        return;
    char line_buffer[syslog_buffer_size];
    va_list copy;
    va_copy(copy, ap);
    const syslog_text line(
        syslog_app_format(line_buffer, sizeof line_buffer, priority, format, copy), line_buffer);
    va_end(copy);
    if (line.st_text != nullptr) {
        // One gather write: the line and its newline land together, without
        // copying a long line to make room for the newline.
        struct iovec parts[2] = {{line.st_text, strlen(line.st_text)},
                                 {const_cast<char *>("\n"), 1}};
        const ssize_t written = writev(fd, parts, ends_in_newline(line.st_text) ? 1 : 2);
        (void)written;
    }
    close(fd);
    chmod(path, static_cast<mode_t>(syslog_file_perm));
}

void kovr_applog(const char *logname, int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    kovr_vapplog(logname, priority, format, ap);
    va_end(ap);
}

void kovr_vlog(int priority, const char *format, va_list ap) {
    const syslog_errno_keeper keep_errno;
    va_list file_args;
    va_copy(file_args, ap);
    kovr_vapplog(nullptr, priority, format, file_args);
    va_end(file_args);

    if (!syslog_console_echo_enabled.load(std::memory_order_relaxed))
        return;
    const int level = priority & 7;
    FILE *stream = level == LOG_NOTICE || level == LOG_INFO ? stdout : stderr;
    if (!isatty(fileno(stream))) {
        syslog_console_echo_enabled.store(0, std::memory_order_relaxed);
        return;
    }
    char buffer[syslog_buffer_size];
    va_list echo_args;
    va_copy(echo_args, ap);
    const syslog_text message(syslog_format(buffer, sizeof buffer, format, echo_args), buffer);
    va_end(echo_args);
    if (message.st_text == nullptr)
        return;
    fputs(message.st_text, stream);
    if (!ends_in_newline(message.st_text))
        fputs("\n", stream);
    fflush(stream);
}

void kovr_log(int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    kovr_vlog(priority, format, ap);
    va_end(ap);
}

void kovr_vsyslog(int priority, const char *format, va_list ap) {
    const syslog_errno_keeper keep_errno;
    char buffer[syslog_buffer_size];
    va_list text_args;
    va_copy(text_args, ap);
    const syslog_text text(syslog_format(buffer, sizeof buffer, format, text_args), buffer);
    va_end(text_args);

    va_list file_args;
    va_copy(file_args, ap);
    kovr_vapplog(nullptr, priority, format, file_args);
    va_end(file_args);

    if ((priority & 7) != LOG_DEBUG && text.st_text != nullptr)
        syslog(priority, "%s", text.st_text);
}

void kovr_syslog(int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    kovr_vsyslog(priority, format, ap);
    va_end(ap);
}

void kovr_log_no_memory(const char *intended_use) {
    kovr_log(LOG_DEBUG, "Error: Unable to allocate memory for %s.",
             intended_use != nullptr ? intended_use : "(null)");
}

void kovr_dbglog(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    kovr_vapplog(nullptr, LOG_DEBUG, format, ap);
    va_end(ap);
}

void kovr_openlog(const char *ident, int logopt, int facility) {
    char *previous = nullptr;
    if (ident == nullptr) {
        // No identity: back to the default one and the platform's own.
        previous = syslog_ident;
        syslog_ident = nullptr;
    } else if (syslog_ident == nullptr || strcasecmp(syslog_ident, ident) != 0) {
        char *copy = pstrdup(pool_default(), ident);
        if (copy != nullptr) {
            previous = syslog_ident;
            syslog_ident = copy;
            if (!syslog_ident_registered) {
                syslog_ident_registered = true;
                pool_add_cleanup_real(nullptr, syslog_cleanup_ident, &syslog_ident);
            }
        }
    }
    openlog(syslog_ident, logopt, facility);
    pool_free(pool_default(), previous);
}

void kovr_closelog(void) {
    closelog();
}

void syslog_force_directory(const char *directory) {
    char *copy = nullptr;
    if (directory != nullptr) {
        copy = pstrdup(pool_default(), directory);
        if (copy == nullptr)
            return; // keep the previous setting rather than silently clearing it
    }
    pool_free(pool_default(), syslog_directory);
    syslog_directory = copy;
    if (copy != nullptr && !syslog_directory_registered) {
        syslog_directory_registered = true;
        pool_add_cleanup_real(nullptr, syslog_cleanup_directory, &syslog_directory);
    }
}

void syslog_set_file_permissions(int perm) {
    syslog_file_perm = perm;
}

void syslog_echo_to_console(bool_t enable) {
    syslog_console_echo_enabled.store(enable != 0 ? 1 : 0, std::memory_order_relaxed);
}
