// Restart cookies survive being printed and pasted back.
#include "cli_errors.h"
#include "restart_cookie.h"

#include <gtest/gtest.h>

#include <string>

namespace kovrel_cli {
namespace {

using namespace std::string_literals;

TEST(RestartCookie, PlainCookiesArePrintedAsTheyAre) {
    for (const std::string cookie : {"abc123", "c0ffee:42/x+y=z,w@v~u-_."})
        EXPECT_EQ(encode_restart_cookie(cookie), cookie);
}

TEST(RestartCookie, OtherBytesAreHexEncoded) {
    EXPECT_EQ(encode_restart_cookie("a b"), "hex:612062");
    EXPECT_EQ(encode_restart_cookie("\x00\xff"s), "hex:00ff");
    EXPECT_EQ(encode_restart_cookie("$(rm)"), "hex:2428726d29");
    // A plain text that looks like the hex form must not be taken for it.
    EXPECT_EQ(encode_restart_cookie("hex:00"), "hex:6865783a3030");
}

TEST(RestartCookie, RoundTrip) {
    std::string every_byte;
    for (int b = 0; b < 256; ++b)
        every_byte += static_cast<char>(b);
    for (const std::string &cookie : {""s, "plain"s, "with space"s, "\x00\x01\x02"s, "hex:"s,
                                      "hex:zz"s, every_byte, std::string(8191, '\xa5')})
        EXPECT_EQ(decode_restart_cookie(encode_restart_cookie(cookie)), cookie);
}

TEST(RestartCookie, DecodeAcceptsEitherCaseAndRejectsMalformedHex) {
    EXPECT_EQ(decode_restart_cookie("hex:C0FFee"), "\xc0\xff\xee"s);
    EXPECT_EQ(decode_restart_cookie("hex:"), "");
    EXPECT_THROW(decode_restart_cookie("hex:abc"), UsageError);
    EXPECT_THROW(decode_restart_cookie("hex:zz"), UsageError);
    EXPECT_THROW(decode_restart_cookie("hex:0g"), UsageError);
}

} // namespace
} // namespace kovrel_cli
