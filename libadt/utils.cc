#include "utils.h"

#include "pool.h"
#include "zthread.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

constexpr const char *utils_suse_release_default = "/etc/SuSE-release";
constexpr const char *utils_redhat_release_default = "/etc/redhat-release";
const char *utils_suse_release = utils_suse_release_default;
const char *utils_redhat_release = utils_redhat_release_default;

constexpr size_t utils_host_buffer_size = 512;

struct utils_host_record_t {
    struct hostent uh_entry;
    char uh_buffer[utils_host_buffer_size];
};

zthread_once_t utils_host_once = ZTHREAD_ONCE_INIT;
zthread_local_t utils_host_key;

struct pool_string_free {
    void operator()(char *s) const { pool_free(pool_default(), s); }
};
using pool_string = std::unique_ptr<char, pool_string_free>;

struct file_close {
    void operator()(FILE *f) const { fclose(f); }
};

void utils_host_record_free(void *record) {
    pool_free(pool_default(), record);
}

void utils_host_key_init() {
    utils_host_key = zthread_local_new(utils_host_record_free);
}

enum class line_status { read, unreadable, out_of_memory };

// Reads the file's first line, without its line feed, into a default-pool
// string. A file that cannot be opened or is empty is unreadable.
line_status utils_read_first_line(const char *file, pool_string &line) {
    std::unique_ptr<FILE, file_close> stream(fopen(file, "re"));
    if (stream == nullptr)
        return line_status::unreadable;
    size_t length = 0, capacity = 0;
    int c;
    bool any = false;
    while ((c = getc(stream.get())) != EOF) {
        any = true;
        if (c == '\n')
            break;
        if (length + 1 >= capacity) {
            capacity = capacity == 0 ? 128 : capacity * 2;
            auto *grown = static_cast<char *>(pool_realloc(pool_default(), line.get(), capacity));
            if (grown == nullptr)
                return line_status::out_of_memory;
            (void)line.release();
            line.reset(grown);
        }
        line.get()[length++] = static_cast<char>(c);
    }
    if (!any || ferror(stream.get()))
        return line_status::unreadable;
    if (line == nullptr)
        line.reset(pstrdup(pool_default(), ""));
    else
        line.get()[length] = '\0';
    return line == nullptr ? line_status::out_of_memory : line_status::read;
}

} // namespace

char *utils_get_platform_info(void) {
    const char *release = nullptr;
    if (access(utils_suse_release, F_OK) == 0)
        release = utils_suse_release;
    else if (access(utils_redhat_release, F_OK) == 0)
        release = utils_redhat_release;
    pool_string line;
    const line_status status =
        release == nullptr ? line_status::unreadable : utils_read_first_line(release, line);
    if (status == line_status::out_of_memory)
        return nullptr;
    if (status == line_status::unreadable)
        return pstrdup(pool_default(), "Linux");

    std::string_view system(line.get());
    const size_t paren = system.find(" (");
    if (paren != std::string_view::npos && paren > 0)
        system = system.substr(0, paren);
    struct utsname host;
    if (uname(&host) != 0 || host.machine[0] == '\0')
        return pstrndup(pool_default(), system.data(), system.size());
    const size_t machine_length = strlen(host.machine);
    auto *description =
        static_cast<char *>(pool_alloc(pool_default(), system.size() + 1 + machine_length + 1));
    if (description != nullptr) {
        memcpy(description, system.data(), system.size());
        description[system.size()] = ' ';
        memcpy(description + system.size() + 1, host.machine, machine_length + 1);
    }
    return description;
}

void utils_set_release_files_for_test(const char *suse, const char *redhat) {
    utils_suse_release = suse != nullptr ? suse : utils_suse_release_default;
    utils_redhat_release = redhat != nullptr ? redhat : utils_redhat_release_default;
}

struct hostent *utils_gethostbyname(const char *name) {
    if (name == nullptr)
        return nullptr;
    zthread_once(&utils_host_once, utils_host_key_init);
    if (utils_host_key == nullptr)
        return nullptr;
    auto *record = static_cast<utils_host_record_t *>(zthread_local_get(utils_host_key));
    if (record == nullptr) {
        record = static_cast<utils_host_record_t *>(
            pool_alloc(pool_default(), sizeof(utils_host_record_t)));
        if (record == nullptr)
            return nullptr;
        if (zthread_local_set(utils_host_key, record) != ZTHREAD_SUCCESS) {
            pool_free(pool_default(), record);
            return nullptr;
        }
    }
    struct hostent *result = nullptr;
    // The resolver's own status goes to h_errno, where callers look for it.
    const int rc = gethostbyname_r(name, &record->uh_entry, record->uh_buffer,
                                   sizeof record->uh_buffer, &result, &h_errno);
    return rc == 0 ? result : nullptr;
}

uint64_t utils_get_microseconds(void) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_usec);
}

int utils_get_sock_err(void) {
    return errno;
}

int utils_stat64(const char *path, struct stat64 *st) {
    return stat64(path, st);
}
