// The three output formats of `kovrel diff`: text, JSON lines and CSV.
#pragma once

#include "change_record.h"

#include <optional>
#include <string>
#include <string_view>

namespace kovrel_cli {

enum class OutputFormat { text, json, csv };

std::optional<OutputFormat> output_format_from_name(std::string_view name);

// Names for a terminal: printable ASCII and valid UTF-8 as they are; tab,
// newline and carriage return as \t \n \r; a backslash doubled; every other
// control byte (C1 controls included) and every byte that is not part of
// valid UTF-8 as \xHH. The result is one line and maps back to the bytes.
std::string escape_text(std::string_view bytes);

// A quoted JSON string. Valid UTF-8 passes through; control characters, '"'
// and '\' are escaped; a byte that is not part of valid UTF-8 becomes the
// lone surrogate \udcXX (XX the byte), the "surrogateescape" convention that
// Python's os.fsdecode/os.fsencode use, so the exact bytes can be recovered.
std::string json_string(std::string_view bytes);

// One CSV field per RFC 4180: quoted (with doubled quotes) when it holds a
// comma, a quote, CR or LF; otherwise as it is. Bytes are written unchanged.
std::string csv_field(std::string_view bytes);

// Seconds since the epoch as "YYYY-MM-DDTHH:MM:SSZ"; the plain number when
// the value is outside the calendar's range.
std::string iso8601_utc(int64_t seconds);

// Each returns one whole line, newline included.
std::string format_text(const Change &change, bool long_form);
std::string format_json(const Change &change);
std::string csv_header();
std::string format_csv(const Change &change);

} // namespace kovrel_cli
