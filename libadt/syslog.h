// Logging: every diagnostic of the library becomes one line appended to the
// application log in the install tree's log directory, rotated by size.
// kovr_log also echoes the message to the terminal; kovr_syslog also passes
// it to the system log (except at DEBUG).
#pragma once

#include "adt_types.h"

#include <cstdarg>
#include <cstddef>

// Five-character labels of the eight priorities, indexed by priority & 7.
extern const char *const syslog_priorities[8];

void kovr_log(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
void kovr_vlog(int priority, const char *format, va_list ap) __attribute__((format(printf, 2, 0)));
void kovr_syslog(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
void kovr_vsyslog(int priority, const char *format, va_list ap)
    __attribute__((format(printf, 2, 0)));
void kovr_applog(const char *logname, int priority, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void kovr_vapplog(const char *logname, int priority, const char *format, va_list ap)
    __attribute__((format(printf, 3, 0)));
void kovr_log_no_memory(const char *intended_use);
void kovr_dbglog(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Formats into `buf`; when the text does not fit, returns a new heap string
// (default pool) instead, which the caller frees when it differs from `buf`.
// Null only when that allocation fails.
char *syslog_format(char *buf, size_t bufsz, const char *format, va_list ap)
    __attribute__((format(printf, 3, 0)));
// Builds a complete log line the same way: "time [ident:LEVEL]: [pid:0xtid]: message".
char *syslog_app_format(char *buf, size_t bufsz, int priority, const char *format, va_list ap)
    __attribute__((format(printf, 4, 0)));
// Writes the current file's path (directory + filebase + suffix) into
// `filename`; when that file has reached `max_size` bytes, shifts the
// numbered copies (directory + filebase + "-N" + suffix, 0 newest) and makes
// the current file copy 0. A forced directory replaces `directory`. Returns
// 0, touching no file, when the path does not fit in `fnsize` bytes; copies
// whose names do not fit are left alone.
bool_t syslog_rotate(const char *directory, const char *filebase, const char *suffix,
                     size_t max_size, int max_copies, char *filename, size_t fnsize);
// 1 when the whole path fitted in `fnsize` bytes.
bool_t syslog_filename(const char *directory, const char *filebase, const char *suffix,
                       char *filename, size_t fnsize);

// Settings; nothing in the library changes their defaults. A null identity
// or directory restores the default (the "application" identity, the install
// tree's log directory).
void kovr_openlog(const char *ident, int logopt, int facility);
void kovr_closelog(void);
void syslog_force_directory(const char *directory);
void syslog_set_file_permissions(int perm);
void syslog_echo_to_console(bool_t enable);
