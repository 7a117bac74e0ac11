#include "restart_cookie.h"

#include "cli_errors.h"

#include <fmt/format.h>

namespace kovrel_cli {
namespace {

bool is_plain_byte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("-_.:+=/,@~").find(c) != std::string_view::npos;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string encode_restart_cookie(std::string_view bytes) {
    bool plain = !bytes.starts_with(HEX_COOKIE_PREFIX);
    for (char c : bytes)
        plain = plain && is_plain_byte(c);
    if (plain)
        return std::string(bytes);
    std::string out(HEX_COOKIE_PREFIX);
    for (char c : bytes)
        out += fmt::format("{:02x}", static_cast<unsigned char>(c));
    return out;
}

std::string decode_restart_cookie(std::string_view text) {
    if (!text.starts_with(HEX_COOKIE_PREFIX))
        return std::string(text);
    const std::string_view digits = text.substr(HEX_COOKIE_PREFIX.size());
    if (digits.size() % 2 != 0)
        throw UsageError("--restart-cookie: a hex: cookie needs two hexadecimal digits per byte; "
                         "paste the cookie exactly as kovrel diff printed it");
    std::string bytes;
    bytes.reserve(digits.size() / 2);
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int high = hex_value(digits[i]);
        const int low = hex_value(digits[i + 1]);
        if (high < 0 || low < 0)
            throw UsageError(fmt::format("--restart-cookie: '{}' is not hexadecimal; paste the "
                                         "cookie exactly as kovrel diff printed it",
                                         digits.substr(i, 2)));
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

} // namespace kovrel_cli
