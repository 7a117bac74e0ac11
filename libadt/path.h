// Install-path discovery: finds the top directory of the installation and
// the fixed table of well-known directories below it.
//
// The top comes from KOVREL_DIR, else from SCRIPT_FILENAME, else from the
// program's own location; without any of them it is "/". Every directory is
// the top followed by a fixed suffix, concatenated as is (the top "/" gives
// "//log/").
#pragma once

typedef enum path_dir_e {
    Path_Top = 0,
    Path_Bin = 1,
    Path_CgiBin = 2,
    Path_Conf = 3,
    Path_Data = 4,
    Path_Files = 5,
    Path_Lib = 6,
    Path_Libexec = 7,
    Path_Log = 8,
    Path_Misc = 9,
    Path_Plugins_Quarra = 10,
    Path_Sbin = 11,
    Path_Web = 12,
    Path_Plugins_Filer = 13,
    Path_Reports = 14,
    Path_DataExport = 15,
    Path_JavaBin = 16,
    Path_Jetty = 17,
    Path_Last_Dir = 18,
} path_dir_t;

// Runs discovery once per process; later calls do nothing. `argv0` is the
// program path or null. Registers path_shutdown with the global pool.
void path_init(const char *argv0);
// The top directory; "/" when unknown.
const char *path_get_top_dir(void);
// The directory of the table; values above Path_Jetty give the top. Missing
// entries (before discovery, after path_shutdown) are built from the current
// top first. Null only when memory for a missing entry is exhausted.
const char *path_to(path_dir_t dir);
// Releases the top and the table (the discovery itself stays done).
void path_shutdown(void);

// The install top for a program or script path (new string from the default
// pool, null when memory is exhausted): the part before "/bin/", "/sbin/",
// "/web/cgi-bin/" or "/script-plugins/" (first of these found, "/" when that
// part is empty); else the development tree's release/solaris directory three
// levels up when it exists; else "/".
char *path_deduce_top(const char *path);
// The path of `program` found executable on PATH (then "."); a copy of the
// name when PATH is unset or nothing matches. Null when memory is exhausted.
char *path_find_self(const char *program);
