// Small scalar types shared by every foundation module.
#pragma once

#include <cstdint>

// A C boolean as the public records carry it: 0 is false, anything else true.
typedef int32_t bool_t;

// A signed position inside a record (list links, hash links).
typedef int64_t offset_t;
