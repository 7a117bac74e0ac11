#include "change_format.h"

#include <fmt/format.h>

#include <ctime>

namespace kovrel_cli {
namespace {

// Length of the valid UTF-8 sequence at the start of `s` (shortest form, no
// surrogates, at most U+10FFFF), or 0 when the first byte does not begin one.
size_t utf8_sequence_length(std::string_view s) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char b0 = byte(0);
    if (b0 < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0)
            low = 0xA0; // no overlong forms
        if (b0 == 0xED)
            high = 0x9F; // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0)
            low = 0x90;
        if (b0 == 0xF4)
            high = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

// U+0080..U+009F: terminal control codes in their UTF-8 form.
bool is_c1_control(std::string_view sequence) {
    return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xC2 &&
           static_cast<unsigned char>(sequence[1]) <= 0x9F;
}

// Walks the bytes: `plain(sequence)` for each valid UTF-8 sequence (ASCII
// included), `stray(byte)` for each byte that is not part of one.
template <typename Plain, typename Stray>
void for_each_sequence(std::string_view bytes, Plain plain, Stray stray) {
    while (!bytes.empty()) {
        const size_t length = utf8_sequence_length(bytes);
        if (length == 0) {
            stray(static_cast<unsigned char>(bytes.front()));
            bytes.remove_prefix(1);
        } else {
            plain(bytes.substr(0, length));
            bytes.remove_prefix(length);
        }
    }
}

std::string mode_octal(uint32_t mode) {
    return fmt::format("0{:o}", mode);
}

} // namespace

std::optional<OutputFormat> output_format_from_name(std::string_view name) {
    if (name == "text")
        return OutputFormat::text;
    if (name == "json")
        return OutputFormat::json;
    if (name == "csv")
        return OutputFormat::csv;
    return std::nullopt;
}

std::string escape_text(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    auto hex = [&](unsigned char b) { out += fmt::format("\\x{:02x}", b); };
    for_each_sequence(
        bytes,
        [&](std::string_view seq) {
            if (seq.size() == 1) {
                const unsigned char c = static_cast<unsigned char>(seq[0]);
                switch (c) {
                case '\\':
                    out += "\\\\";
                    return;
                case '\t':
                    out += "\\t";
                    return;
                case '\n':
                    out += "\\n";
                    return;
                case '\r':
                    out += "\\r";
                    return;
                default:
                    if (c < 0x20 || c == 0x7F)
                        hex(c);
                    else
                        out += static_cast<char>(c);
                    return;
                }
            }
            if (is_c1_control(seq)) {
                for (char c : seq)
                    hex(static_cast<unsigned char>(c));
                return;
            }
            out += seq;
        },
        hex);
    return out;
}

std::string json_string(std::string_view bytes) {
    std::string out = "\"";
    out.reserve(bytes.size() + 2);
    for_each_sequence(
        bytes,
        [&](std::string_view seq) {
            if (seq.size() > 1) {
                out += seq;
                return;
            }
            const unsigned char c = static_cast<unsigned char>(seq[0]);
            switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20 || c == 0x7F)
                    out += fmt::format("\\u{:04x}", c);
                else
                    out += static_cast<char>(c);
            }
        },
        [&](unsigned char b) { out += fmt::format("\\udc{:02x}", b); });
    out += '"';
    return out;
}

std::string csv_field(std::string_view bytes) {
    if (bytes.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(bytes);
    std::string out = "\"";
    for (char c : bytes) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

std::string iso8601_utc(int64_t seconds) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    char text[64];
    if (gmtime_r(&t, &tm) == nullptr || tm.tm_year + 1900 > 9999 || tm.tm_year + 1900 < 0 ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0)
        return std::to_string(seconds);
    return text;
}

std::string format_text(const Change &c, bool long_form) {
    const std::string path = escape_text(c.path);
    if (!long_form)
        return fmt::format("{}\t{}\n", change_mark(c.kind), path);
    return fmt::format("{}\t{}\t{}\t{}\t{}:{}\t{}\t{}\n", change_mark(c.kind),
                       file_kind_name(c.file_kind), c.size, iso8601_utc(c.mtime), c.owner, c.group,
                       c.inode, path);
}

std::string format_json(const Change &c) {
    return fmt::format("{{\"change\":\"{}\",\"type\":\"{}\",\"path\":{},\"inode\":{},\"size\":{},"
                       "\"mtime\":{},\"ctime\":{},\"atime\":{},\"crtime\":{},\"owner\":{},"
                       "\"group\":{},\"links\":{},\"mode\":{}}}\n",
                       change_kind_name(c.kind), file_kind_name(c.file_kind), json_string(c.path),
                       c.inode, c.size, c.mtime, c.ctime, c.atime, c.crtime, c.owner, c.group,
                       c.links, c.mode);
}

std::string csv_header() {
    return "change,type,path,inode,size,mtime,ctime,atime,crtime,owner,group,links,mode\r\n";
}

std::string format_csv(const Change &c) {
    return fmt::format("{},{},{},{},{},{},{},{},{},{},{},{},{}\r\n", change_kind_name(c.kind),
                       file_kind_name(c.file_kind), csv_field(c.path), c.inode, c.size,
                       iso8601_utc(c.mtime), iso8601_utc(c.ctime), iso8601_utc(c.atime),
                       iso8601_utc(c.crtime), c.owner, c.group, c.links, mode_octal(c.mode));
}

} // namespace kovrel_cli
