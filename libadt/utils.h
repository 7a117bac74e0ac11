// Platform description, per-thread host lookup and thin system wrappers.
#pragma once

#include <cstdint>
#include <netdb.h>
#include <sys/stat.h>

// One-line description of the operating system: the release file's first
// line up to " (" followed by the machine type, or "Linux" when there is no
// release file. New default-pool string; null when memory is exhausted.
char *utils_get_platform_info(void);
// Resolves `name` into the calling thread's own record, which stays valid
// until that thread's next lookup. Null when the name does not resolve
// (h_errno tells why), also when the answer needs more than the record's
// 512-byte buffer.
struct hostent *utils_gethostbyname(const char *name);
// Wall-clock time in microseconds since the epoch.
uint64_t utils_get_microseconds(void);
// The current errno (the last socket error on this platform).
int utils_get_sock_err(void);
int utils_stat64(const char *path, struct stat64 *st);

// Tests only: the release files read by utils_get_platform_info, in the order
// tried. Null restores the system's file.
void utils_set_release_files_for_test(const char *suse, const char *redhat);
