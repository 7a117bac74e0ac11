// Library start-up and shutdown: the process-wide values every HTTP request
// reports about the library and its caller.
//
// Nothing guards these values: start-up and shutdown run while no other
// thread uses the library, and invocations only read them.
#pragma once

// 0 while stopped, 1 once kr_startup succeeded.
extern int kr_inuse;
// Platform description sent as krsdk_platform; null before start-up or when
// it could not be built. Default-pool string.
extern char *KRSDK_PLATFORM;
// Caller's application name sent as krsdk_app (kr_server_set_application_name);
// null while unset. Default-pool string, released by kr_shutdown.
extern char *krsdk_app_name;

// Library version and calling-interface language sent with every request.
constexpr const char KRSDK_VERSION[] = "9.6";
constexpr const char KRSDK_LANGUAGE[] = "C";
