// Library start-up and shutdown.

#include "kr_startup.h"

#include "kovrel.h"
#include "kovrel_xml.h"
#include "path.h"
#include "pool.h"
#include "utils.h"

#include <cerrno>
#include <cstdio>

int kr_inuse = 0;
char *KRSDK_PLATFORM = nullptr;
char *krsdk_app_name = nullptr;

namespace {

constexpr const char kr_startup_in_use[] = "kr_startup failed: already in use";

} // namespace

extern "C" {

int kr_startup(char *errbuff, int errbuffsize) {
    if (errbuff == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (kr_inuse == 1) {
        // A size of zero or less leaves no room even for the NUL: the buffer
        // is then left alone rather than written past its end.
        if (errbuffsize > 0) {
            const int saved_errno = errno;
            snprintf(errbuff, static_cast<size_t>(errbuffsize), "%s", kr_startup_in_use);
            errno = saved_errno;
        }
        return 0;
    }
    kr_inuse = 1;
    path_init(nullptr);
    // Failing to describe the platform is not fatal: requests then simply
    // carry no platform attribute.
    if (KRSDK_PLATFORM == nullptr)
        KRSDK_PLATFORM = utils_get_platform_info();
    xml_global_init();
    return 1;
}

int kr_startup_without_kovradmin(char *errbuff, int errbuffsize) {
    return kr_startup(errbuff, errbuffsize);
}

int kr_is_started(void) {
    return kr_inuse;
}

void kr_shutdown(void) {
    if (kr_inuse == 0)
        return;
    xml_global_free();
    pool_free(pool_default(), KRSDK_PLATFORM);
    KRSDK_PLATFORM = nullptr;
    pool_free(pool_default(), krsdk_app_name);
    krsdk_app_name = nullptr;
    kr_inuse = 0;
}

} // extern "C"
