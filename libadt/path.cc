#include "path.h"

#include "pool.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::array<std::string_view, Path_Last_Dir> path_suffixes = {
    "/",     "/bin/",           "/web/cgi-bin/", "/conf/",       "/data/",           "/misc/",
    "/lib/", "/libexec/",       "/log/",         "/misc/",       "/plugins/quarra/", "/sbin/",
    "/web/", "/plugins/filer/", "/reports/",     "/dataExport/", "/java/bin/",       "/jetty/",
};

constexpr size_t path_cwd_size = 1024;

char *path_top;
bool path_init_called;
// Entries are filled lazily by any thread that logs before start-up, so a
// missing entry is installed with compare-and-swap rather than under a lock.
std::array<std::atomic<char *>, Path_Last_Dir> path_dirs;

struct pool_string_free {
    void operator()(char *s) const { pool_free(pool_default(), s); }
};
using pool_string = std::unique_ptr<char, pool_string_free>;

// New default-pool string holding the parts one after the other.
template <typename... Parts> char *path_concat(Parts... parts) {
    const std::array<std::string_view, sizeof...(Parts)> views = {std::string_view(parts)...};
    size_t length = 0;
    for (std::string_view v : views)
        length += v.size();
    auto *joined = static_cast<char *>(pool_alloc(pool_default(), length + 1));
    if (joined == nullptr)
        return nullptr;
    char *end = joined;
    for (std::string_view v : views)
        end = static_cast<char *>(mempcpy(end, v.data(), v.size()));
    *end = '\0';
    return joined;
}

// Builds every table entry from the current top. `replace` discards the
// entries already present (a new top); otherwise only missing ones are made.
void path_initialize_dirs(bool replace) {
    const char *top = path_get_top_dir();
    for (size_t i = 0; i < path_dirs.size(); ++i) {
        if (!replace && path_dirs[i].load() != nullptr)
            continue;
        char *entry = path_concat(top, path_suffixes[i]);
        if (entry == nullptr)
            continue; // stays missing; path_to reports it as null
        if (replace) {
            pool_free(pool_default(), path_dirs[i].exchange(entry));
        } else {
            char *expected = nullptr;
            if (!path_dirs[i].compare_exchange_strong(expected, entry))
                pool_free(pool_default(), entry); // another thread was first
        }
    }
}

void path_shutdown_cleanup(void *) {
    path_shutdown();
}

// A candidate only counts when it is an executable regular file: a directory
// of the same name is searchable, not runnable.
bool path_is_executable(const char *file) {
    struct stat st;
    return stat(file, &st) == 0 && S_ISREG(st.st_mode) && access(file, X_OK) == 0;
}

// The directory a PATH entry names. An empty entry means the current
// directory, as for the shell.
std::string_view path_search_dir(std::string_view entry, const char *cwd) {
    if (entry.empty() || entry == ".")
        return cwd;
    if (entry == "..") {
        std::string_view here(cwd);
        const size_t slash = here.rfind('/');
        return slash == std::string_view::npos ? here : here.substr(0, slash);
    }
    return entry;
}

// The top for the program path given to path_init; null when it yields none.
char *path_top_from_program(const char *argv0) {
    if (argv0[0] == '/')
        return path_deduce_top(argv0);
    pool_string full;
    if (strncmp(argv0, "./", 2) == 0) {
        char cwd[path_cwd_size];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return nullptr;
        full.reset(path_concat(cwd, argv0 + 1));
    } else {
        full.reset(path_find_self(argv0));
    }
    return full == nullptr ? nullptr : path_deduce_top(full.get());
}

// An environment variable with a non-empty value, else null: an empty
// setting is taken as no setting, so that "KOVREL_DIR=" disables it.
const char *path_getenv(const char *name) {
    const char *value = getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

} // namespace

void path_init(const char *argv0) {
    if (path_init_called)
        return;
    path_init_called = true;

    char *top = nullptr;
    if (const char *dir = path_getenv("KOVREL_DIR"))
        top = pstrdup(pool_default(), dir);
    else if (const char *script = path_getenv("SCRIPT_FILENAME"))
        top = path_deduce_top(script);
    else if (argv0 != nullptr && argv0[0] != '\0')
        top = path_top_from_program(argv0);
    if (top != nullptr) {
        pool_free(pool_default(), path_top);
        path_top = top;
    }
    path_initialize_dirs(true);
    pool_add_cleanup_real(nullptr, path_shutdown_cleanup, nullptr);
}

const char *path_get_top_dir(void) {
    return path_top != nullptr ? path_top : "/";
}

const char *path_to(path_dir_t dir) {
    // Compared unsigned so that a negative value also gives the top.
    if (static_cast<unsigned>(dir) >= static_cast<unsigned>(Path_Last_Dir))
        return path_get_top_dir();
    if (path_dirs[dir].load() == nullptr)
        path_initialize_dirs(false);
    return path_dirs[dir].load();
}

void path_shutdown(void) {
    pool_free(pool_default(), path_top);
    path_top = nullptr;
    for (auto &entry : path_dirs)
        pool_free(pool_default(), entry.exchange(nullptr));
}

char *path_deduce_top(const char *path) {
    static constexpr std::array<const char *, 4> markers = {"/bin/", "/sbin/", "/web/cgi-bin/",
                                                            "/script-plugins/"};
    if (path == nullptr)
        return pstrdup(pool_default(), "/");
    for (const char *marker : markers) {
        const char *hit = strstr(path, marker);
        if (hit == path)
            return pstrdup(pool_default(), "/");
        if (hit != nullptr)
            return pstrndup(pool_default(), path, hit - path);
    }
    // A program run from a development tree: three levels up from its
    // directory, the tree holds its release image.
    if (const char *last = strrchr(path, '/')) {
        size_t pos = last - path;
        for (int steps = 0; steps < 2 && pos > 0; ++steps) {
            do
                --pos;
            while (pos > 0 && path[pos] != '/');
        }
        if (pos > 0) {
            char *candidate = path_concat(std::string_view(path, pos), "/release/solaris");
            if (candidate == nullptr)
                return nullptr;
            if (access(candidate, X_OK) == 0)
                return candidate;
            pool_free(pool_default(), candidate);
        }
    }
    return pstrdup(pool_default(), "/");
}

char *path_find_self(const char *program) {
    const char *search = getenv("PATH");
    if (search == nullptr)
        return pstrdup(pool_default(), program);
    char cwd[path_cwd_size];
    const bool have_cwd = getcwd(cwd, sizeof cwd) != nullptr;

    char *found = nullptr;
    bool out_of_memory = false;
    auto try_entry = [&](std::string_view entry) {
        const bool relative = entry.empty() || entry == "." || entry == "..";
        if (found != nullptr || out_of_memory || (relative && !have_cwd))
            return;
        char *candidate = path_concat(path_search_dir(entry, cwd), "/", program);
        if (candidate == nullptr)
            out_of_memory = true;
        else if (path_is_executable(candidate))
            found = candidate;
        else
            pool_free(pool_default(), candidate);
    };
    // The entries of PATH, then "." as a last resort.
    const std::string_view entries(search);
    for (size_t start = 0;;) {
        const size_t colon = entries.find(':', start);
        try_entry(entries.substr(start, colon == std::string_view::npos ? colon : colon - start));
        if (colon == std::string_view::npos)
            break;
        start = colon + 1;
    }
    try_entry(".");
    if (out_of_memory)
        return nullptr;
    if (found != nullptr)
        return found;
    return pstrdup(pool_default(), program);
}
