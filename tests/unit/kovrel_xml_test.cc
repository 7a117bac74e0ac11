#include "kovrel_xml.h"

#include "alloc_sweep.h"
#include "kr_describe.h"
#include "kr_owned.h"
#include "shttpc.h"
#include "stab.h"
#include "xml_docs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

// The sanitizer runtime reports every allocation to hooks; GCC ships no
// header for them, so the one entry point used is declared here.
#if defined(__SANITIZE_ADDRESS__)
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *,
                                                                             size_t),
                                                         void (*free_hook)(const volatile void *));
#define KOVREL_TRACK_ALLOCATIONS 1
#endif

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct CtxDeleter {
    void operator()(xml_ctx *c) const { xml_release(c); }
};
using Ctx = std::unique_ptr<xml_ctx, CtxDeleter>;

std::string error_of(const xml_ctx *r) {
    return r->parse_error != nullptr ? r->parse_error : "";
}

// HTTP chunked coding of the pieces, one chunk each, then the last chunk.
std::vector<std::string> chunked(const std::vector<std::string> &pieces) {
    std::vector<std::string> out;
    for (const std::string &p : pieces) {
        char size[32];
        snprintf(size, sizeof size, "%zx\r\n", p.size());
        out.push_back(size + p + "\r\n");
    }
    out.push_back("0\r\n\r\n");
    return out;
}

std::string joined(const std::vector<std::string> &pieces) {
    std::string out;
    for (const std::string &p : pieces)
        out += p;
    return out;
}

// The server side of a reply: a connected socket pair whose reading end is
// wrapped in a connection record, the other end fed by a thread that sends
// the pieces with a pause before each, then either closes or holds the
// connection open until the test is done with it.
class Peer {
  public:
    enum class End { close, hold };

    Peer(std::vector<std::string> pieces, End end = End::close, uint32_t timeout_ms = 5000,
         std::chrono::milliseconds pause = 20ms)
        : pieces_(std::move(pieces)), end_(end), pause_(pause) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        sock_ = shttpc_new(SHTTPC_Type_Plain, static_cast<int>(timeout_ms));
        EXPECT_NE(sock_, nullptr);
        close(sock_->sh_socket);
        sock_->sh_socket = fds[0];
        // Like a connection with a time-out: non-blocking, waits bounded.
        fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        writer_fd_ = fds[1];
        writer_ = std::thread([this] { write_all(); });
    }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    ~Peer() {
        release();
        // Closing the reading end ends a send the reader left blocked.
        shttpc_delete(sock_);
        writer_.join();
    }

    shttpc_t sock() const { return sock_; }

    // Lets a holding writer close its end.
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }

  private:
    void write_all() {
        for (const std::string &piece : pieces_) {
            std::this_thread::sleep_for(pause_);
            size_t sent = 0;
            while (sent < piece.size()) {
                const ssize_t n =
                    send(writer_fd_, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    close(writer_fd_);
                    return;
                }
                sent += static_cast<size_t>(n);
            }
        }
        if (end_ == End::hold) {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait_for(lock, 20s, [this] { return released_; });
        }
        close(writer_fd_);
    }

    std::vector<std::string> pieces_;
    End end_;
    std::chrono::milliseconds pause_;
    shttpc_t sock_ = nullptr;
    int writer_fd_ = -1;
    std::thread writer_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
};

enum class Framing { sized, unsized, chunked };

const char *framing_name(Framing f) {
    return f == Framing::sized ? "sized" : f == Framing::unsized ? "unsized" : "chunked";
}

struct ParseResult {
    Ctx ctx;
    bool ok = false;
    int error = 0;
    Clock::duration elapsed{};
};

// Sends the reply in `pieces` framed as asked and parses it.
ParseResult parse_reply(const std::vector<std::string> &pieces, Framing framing,
                        Peer::End end = Peer::End::close, uint32_t timeout_ms = 5000) {
    ParseResult result;
    result.ctx.reset(xml_create());
    EXPECT_NE(result.ctx, nullptr);
    Peer peer(framing == Framing::chunked ? chunked(pieces) : pieces, end, timeout_ms);
    const int len = framing == Framing::sized ? static_cast<int>(joined(pieces).size()) : -1;
    const auto start = Clock::now();
    errno = 0;
    result.ok = framing == Framing::chunked
                    ? xml_parse_chunked_encoding(peer.sock(), result.ctx.get())
                    : xml_parse(peer.sock(), result.ctx.get(), len);
    result.error = errno;
    result.elapsed = Clock::now() - start;
    return result;
}

ParseResult parse_raw_bytes(const std::vector<std::string> &bytes, bool is_chunked,
                            Peer::End end = Peer::End::close, uint32_t timeout_ms = 5000) {
    ParseResult result;
    result.ctx.reset(xml_create());
    Peer peer(bytes, end, timeout_ms);
    errno = 0;
    result.ok = is_chunked ? xml_parse_chunked_encoding(peer.sock(), result.ctx.get())
                           : xml_parse(peer.sock(), result.ctx.get(), -1);
    result.error = errno;
    return result;
}

constexpr Framing all_framings[] = {Framing::sized, Framing::unsized, Framing::chunked};

// ---------------------------------------------------------------------------
// Replies that parse.

TEST(XmlReply, BuildsTheTreeWhateverTheFraming) {
    struct Case {
        std::vector<std::string> pieces;
        const char *tree;
    };
    const Case cases[] = {
        {{"<a><b>1</b><c/></a>"}, "a{b\"1\",c}"},
        // Pieces split inside names, tags and text, each after a pause.
        {{"<a><", "b>1</", "b><c", "/></a", ">"}, "a{b\"1\",c}"},
        {{"<a>x<b/>", "y</a>"}, "a\"xy\"{b}"},
        {{"<a>\n  <b v=\"&lt;&amp;&#38;\">1</b>\n</a>\n"}, "a\"\n  \n\"{b[v=<&&]\"1\"}"},
        {{"<a><![CDATA[<x>", "]]></a>"}, "a\"<x>\""},
    };
    for (Framing framing : all_framings) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(framing_name(framing)) + ": " + joined(c.pieces));
            ParseResult r = parse_reply(c.pieces, framing);
            EXPECT_TRUE(r.ok);
            EXPECT_EQ(error_of(r.ctx.get()), "");
            EXPECT_EQ(r.ctx->api_error, 0);
            EXPECT_EQ(r.ctx->elemDepth, -1);
            EXPECT_EQ(r.ctx->parserCtxt, nullptr);
            EXPECT_EQ(describe(r.ctx->elemStack[0].elem), c.tree);
            for (int i = 1; i < r.ctx->elemStacksize; ++i)
                EXPECT_EQ(r.ctx->elemStack[i].elem, nullptr);
        }
    }
}

TEST(XmlReply, TwentyLevelsParse) {
    for (Framing framing : all_framings) {
        SCOPED_TRACE(framing_name(framing));
        ParseResult r = parse_reply({nested(20)}, framing);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(error_of(r.ctx.get()), "");
        ASSERT_NE(r.ctx->elemStack[0].elem, nullptr);
    }
}

// A reply of exactly the given length is complete when its last byte is in:
// the reader neither waits for the connection to close nor reads into what
// follows (a reply to the next request on a kept-alive connection).
TEST(XmlReply, ExactLengthStopsReadingAtTheLastByte) {
    const std::string small = "<a><b>1</b><c/></a>";
    // Longer than one read, so the last read must ask for just the rest.
    const std::string large = "<a>" + std::string(10000, 'q') + "</a>";
    for (const std::string &doc : {small, large}) {
        SCOPED_TRACE(doc.size());
        Ctx ctx(xml_create());
        Peer peer({doc + "<next/>"}, Peer::End::hold, 3000);
        const auto start = Clock::now();
        EXPECT_TRUE(xml_parse(peer.sock(), ctx.get(), static_cast<int>(doc.size())));
        EXPECT_LT(Clock::now() - start, 1500ms);
        EXPECT_EQ(error_of(ctx.get()), "");
        ASSERT_NE(ctx->elemStack[0].elem, nullptr);
        EXPECT_STREQ(kr_elem_get_name(ctx->elemStack[0].elem), "a");

        char rest[16] = {};
        EXPECT_EQ(shttpc_read(peer.sock(), rest, sizeof rest), 7);
        EXPECT_STREQ(rest, "<next/>");
    }
}

TEST(XmlReply, NothingToRead) {
    // An empty body: nothing is read, so nothing waits on the open connection.
    Ctx ctx(xml_create());
    Peer peer({"<a/>"}, Peer::End::hold, 3000);
    errno = EIO;
    const auto start = Clock::now();
    EXPECT_FALSE(xml_parse(peer.sock(), ctx.get(), 0));
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(ctx->elemStack[0].elem, nullptr);
    EXPECT_EQ(ctx->parse_error, nullptr);

    // A connection that ends before any byte.
    ParseResult closed = parse_raw_bytes({}, false);
    EXPECT_FALSE(closed.ok);
    EXPECT_EQ(closed.error, 0);
    EXPECT_EQ(closed.ctx->elemStack[0].elem, nullptr);
    EXPECT_EQ(closed.ctx->parse_error, nullptr);
}

TEST(XmlReply, DebugEchoesTheReplyOnStandardError) {
    const std::vector<std::string> pieces = {"<a><b>", "1</b>", "</a>"};
    for (Framing framing : all_framings) {
        SCOPED_TRACE(framing_name(framing));
        kr_xml_debug = 1;
        testing::internal::CaptureStderr();
        ParseResult r = parse_reply(pieces, framing);
        const std::string echoed = testing::internal::GetCapturedStderr();
        kr_xml_debug = 0;
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(echoed, "<a><b>1</b></a>");

        testing::internal::CaptureStderr();
        r = parse_reply(pieces, framing);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
}

// ---------------------------------------------------------------------------
// Replies that fail.

// The connection closes with elements still open: the parser learns that
// the document ends there and reports it.
TEST(XmlReply, TruncatedReplyIsAParseError) {
    for (Framing framing : {Framing::unsized, Framing::chunked}) {
        SCOPED_TRACE(framing_name(framing));
        ParseResult r = parse_reply({"<a><b>1</b>", "<c>"}, framing);
        EXPECT_TRUE(r.ok);
        EXPECT_NE(error_of(r.ctx.get()), "");
        EXPECT_EQ(r.ctx->api_error, -101);
    }
    // Sized, but the connection ends before the length is reached.
    Ctx ctx(xml_create());
    {
        Peer peer({"<a><b>1</b>"});
        EXPECT_TRUE(xml_parse(peer.sock(), ctx.get(), 100));
    }
    EXPECT_NE(error_of(ctx.get()), "");

    // Chunked, and the connection ends in the middle of the chunks: a read
    // failure as well as a parse error.
    ParseResult cut = parse_raw_bytes({"b\r\n<a><b>1</b>\r\n", "4\r\n<c>"}, true);
    EXPECT_FALSE(cut.ok);
    EXPECT_NE(cut.error, 0);
    EXPECT_NE(error_of(cut.ctx.get()), "");
}

TEST(XmlReply, ReadErrorIsReportedAfterParsingWhatArrived) {
    const auto start = Clock::now();
    ParseResult r = parse_raw_bytes({"<a>"}, false, Peer::End::hold, 200);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, ETIMEDOUT);
    // The open element is reported too.
    EXPECT_NE(error_of(r.ctx.get()), "");

    ParseResult chunks = parse_raw_bytes({"3\r\n<a>\r\n"}, true, Peer::End::hold, 200);
    EXPECT_FALSE(chunks.ok);
    EXPECT_EQ(chunks.error, ETIMEDOUT);
    EXPECT_NE(error_of(chunks.ctx.get()), "");
}

// Chunk framing that breaks after a complete document still fails the read:
// the connection is out of step even though the tree is whole.
TEST(XmlReply, BrokenChunkFramingFails) {
    ParseResult r = parse_raw_bytes({"4\r\n<a/>\r\n", "zz\r\n"}, true);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error, 0);
    EXPECT_EQ(error_of(r.ctx.get()), "");
    EXPECT_EQ(describe(r.ctx->elemStack[0].elem), "a");
}

// The 21st level stops the parse, and with it every read loop: the reader
// returns while the server still holds the connection open.
TEST(XmlReply, TooDeepStopsReading) {
    const std::string doc = nested(21) + std::string(50000, ' ');
    for (Framing framing : {Framing::unsized, Framing::chunked}) {
        SCOPED_TRACE(framing_name(framing));
        ParseResult r =
            parse_reply({doc.substr(0, 100), doc.substr(100)}, framing, Peer::End::hold, 3000);
        EXPECT_LT(r.elapsed, 1500ms);
        EXPECT_EQ(error_of(r.ctx.get()), "XML is too deeply nested!");
        // Stopped before the end of the body: the connection is out of step.
        EXPECT_EQ(r.ok, framing != Framing::chunked);
        EXPECT_EQ(r.ctx->elemDepth, 19);
    }
}

// Once the document is not well-formed, the parser ignores the rest: reading
// stops instead of waiting for more from the server.
TEST(XmlReply, FatalErrorStopsReading) {
    for (Framing framing : {Framing::unsized, Framing::chunked}) {
        SCOPED_TRACE(framing_name(framing));
        ParseResult r = parse_reply({"<a></b>", "<more/>"}, framing, Peer::End::hold, 3000);
        EXPECT_LT(r.elapsed, 1500ms);
        EXPECT_NE(error_of(r.ctx.get()), "");
        EXPECT_EQ(r.ctx->api_error, -101);
    }
}

// Every parser message is kept, in order and without separator, across the
// reads of one reply.
TEST(XmlReply, ParserMessagesAccumulate) {
    const std::string dtd = temp_file("empty.dtd", "");
    const std::vector<std::string> pieces = {"<!DOCTYPE a SYSTEM \"file://" + dtd + "\"><a>&e;",
                                             "&f;</a>"};
    for (Framing framing : all_framings) {
        SCOPED_TRACE(framing_name(framing));
        ParseResult r = parse_reply(pieces, framing);
        EXPECT_EQ(error_of(r.ctx.get()), "Entity 'e' not defined\nEntity 'f' not defined\n");
        EXPECT_EQ(r.ctx->api_error, -101);
    }

    // The text stops growing at its bound: a reply full of faults cannot make
    // it outgrow the reply.
    std::string refs;
    for (int i = 0; i < 20000; ++i)
        refs += "&e;";
    ParseResult many = parse_reply({pieces[0], refs + "</a>"}, Framing::unsized);
    const std::string text = error_of(many.ctx.get());
    EXPECT_LE(text.size(), 4096u);
    EXPECT_GT(text.size(), 4000u);
    EXPECT_EQ(text.rfind("Entity 'e' not defined\nEntity 'e' not defined\n", 0), 0u);
    unlink(dtd.c_str());
}

// ---------------------------------------------------------------------------
// Hostile replies: nothing is loaded from outside, nothing expands.

TEST(XmlReplySecurity, ExternalEntityIsNotLoaded) {
    const std::string secret = temp_file("secret.txt", "TOP-SECRET");
    const std::string decl = "<!DOCTYPE a [<!ENTITY xxe SYSTEM \"file://" + secret + "\">]>";
    for (const std::string &doc :
         {decl + "<a>&xxe;</a>", decl + "<a v=\"&xxe;\"/>",
          "<!DOCTYPE a [<!ENTITY % p SYSTEM \"file://" + secret + "\"> %p;]><a>x</a>"}) {
        SCOPED_TRACE(doc);
        ParseResult r = parse_reply({doc}, Framing::unsized);
        EXPECT_NE(error_of(r.ctx.get()), "");
        EXPECT_EQ(error_of(r.ctx.get()).find("TOP-SECRET"), std::string::npos);
        EXPECT_EQ(describe(r.ctx->elemStack[0].elem).find("TOP-SECRET"), std::string::npos);
    }
    unlink(secret.c_str());
}

// The external DTD would give the element a default attribute and define an
// entity; neither happens, while references in attribute values are still
// replaced by the same parser set-up.
TEST(XmlReplySecurity, ExternalDtdIsNotFetchedWhileAttributesAreSubstituted) {
    const std::string dtd = temp_file(
        "ext.dtd", "<!ATTLIST a d CDATA \"from-dtd\">\n<!ENTITY e \"from-dtd-entity\">\n");
    const std::string doctype = "<!DOCTYPE a SYSTEM \"file://" + dtd + "\">";

    ParseResult plain = parse_reply({doctype + "<a v=\"&lt;&amp;&#38;\">t</a>"}, Framing::sized);
    EXPECT_EQ(error_of(plain.ctx.get()), "");
    EXPECT_EQ(describe(plain.ctx->elemStack[0].elem), "a[v=<&&]\"t\"");

    ParseResult with_entity = parse_reply({doctype + "<a>&e;</a>"}, Framing::sized);
    EXPECT_EQ(error_of(with_entity.ctx.get()), "Entity 'e' not defined\n");
    EXPECT_EQ(describe(with_entity.ctx->elemStack[0].elem).find("from-dtd"), std::string::npos);
    unlink(dtd.c_str());
}

TEST(XmlReplySecurity, BillionLaughsFailsQuickly) {
    std::string decls = "<!ENTITY lol0 \"lol\">";
    for (int i = 1; i <= 10; ++i) {
        decls += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j)
            decls += "&lol" + std::to_string(i - 1) + ";";
        decls += "\">";
    }
    const std::string doctype = "<!DOCTYPE a [" + decls + "]>";
    for (const std::string &body :
         {std::string("<a>&lol10;</a>"), std::string("<a v=\"&lol10;\"/>")}) {
        SCOPED_TRACE(body);
        ParseResult r = parse_reply({doctype + body}, Framing::unsized);
        EXPECT_LT(r.elapsed, 2s);
        EXPECT_NE(error_of(r.ctx.get()), "");
    }
}

#if defined(KOVREL_TRACK_ALLOCATIONS)
// Largest single heap allocation of the process while a window is open.
std::atomic<bool> tracking{false};
std::atomic<size_t> largest{0};

void on_malloc(const volatile void *, size_t size) {
    if (!tracking.load(std::memory_order_relaxed))
        return;
    size_t seen = largest.load(std::memory_order_relaxed);
    while (size > seen && !largest.compare_exchange_weak(seen, size))
        ;
}
void on_free(const volatile void *) {}

struct LargestAllocation {
    LargestAllocation() {
        static const int installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
        (void)installed;
        largest = 0;
        tracking = true;
    }
    size_t stop() {
        tracking = false;
        return largest;
    }
    ~LargestAllocation() { tracking = false; }
};
#endif

// A large reply is parsed as it is read: no allocation comes near its size.
TEST(XmlReplyMemory, LargeReplyIsNeverHeldWhole) {
#if !defined(KOVREL_TRACK_ALLOCATIONS)
    GTEST_SKIP() << "allocation tracking needs the AddressSanitizer build";
#else
    const std::string item = "<i>" + std::string(1000, 'x') + "</i>";
    std::vector<std::string> pieces = {"<r>"};
    // 5000 items of 1007 bytes, sent 8 at a time (chunks of about 8 kB).
    for (int i = 0; i < 625; ++i) {
        std::string piece;
        for (int j = 0; j < 8; ++j)
            piece += item;
        pieces.push_back(piece);
    }
    pieces.push_back("</r>");
    for (Framing framing : all_framings) {
        SCOPED_TRACE(framing_name(framing));
        Ctx ctx(xml_create());
        Peer peer(framing == Framing::chunked ? chunked(pieces) : pieces, Peer::End::close, 5000,
                  0ms);
        const int len = framing == Framing::sized ? static_cast<int>(joined(pieces).size()) : -1;
        LargestAllocation window;
        const bool ok = framing == Framing::chunked
                            ? xml_parse_chunked_encoding(peer.sock(), ctx.get())
                            : xml_parse(peer.sock(), ctx.get(), len);
        const size_t most = window.stop();
        EXPECT_TRUE(ok);
        EXPECT_EQ(error_of(ctx.get()), "");
        EXPECT_LT(most, 64u * 1024) << "of " << joined(pieces).size() << " bytes";
        size_t children = 0;
        for (kr_elem_t *c = ctx->elemStack[0].elem->children; c != nullptr; c = c->next)
            ++children;
        EXPECT_EQ(children, 5000u);
    }
#endif
}

// An announced chunk size is not believed: no allocation of that size is made
// before the data is there.
TEST(XmlReplyMemory, HostileChunkSizeIsRefused) {
#if !defined(KOVREL_TRACK_ALLOCATIONS)
    GTEST_SKIP() << "allocation tracking needs the AddressSanitizer build";
#else
    for (const char *size : {"7ffffff0", "ffffffff", "7fffffffffffffff", "ffffffffffffffffffff"}) {
        SCOPED_TRACE(size);
        Ctx ctx(xml_create());
        Peer peer({std::string(size) + "\r\n<a>"}, Peer::End::close);
        LargestAllocation window;
        errno = 0;
        EXPECT_FALSE(xml_parse_chunked_encoding(peer.sock(), ctx.get()));
        EXPECT_NE(errno, 0);
        EXPECT_LT(window.stop(), 64u * 1024);
    }
#endif
}

// ---------------------------------------------------------------------------
// Summary records.

std::vector<std::pair<std::string, std::string>> records(array_t list) {
    std::vector<std::pair<std::string, std::string>> out;
    if (list == nullptr)
        return out;
    array_iter_t it;
    for (array_item_t item = array_first(list, &it); item != array_null(list);
         item = array_next(list, &it)) {
        auto *s = static_cast<xml_summary_t *>(item);
        out.emplace_back(s->xs_name ? s->xs_name : "(null)", s->xs_value ? s->xs_value : "(null)");
    }
    return out;
}

const std::string summary_reply =
    "<kovrel><results status=\"failed\" reason=\"it &amp; broke\" errno=\"1\">"
    "<attrs><file>f1</file><item>i1</item></attrs><value>v</value><detail/><other>o</other>"
    "<results status=\"passed\"/></results></kovrel>";

void expect_full_summary(const xml_ctx *r) {
    using Records = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(records(r->results), (Records{{"passed", ""}, {"failed", "it & broke"}}));
    EXPECT_EQ(records(r->current), (Records{{"file", "f1"},
                                            {"item", "i1"},
                                            {"attrs", "(null)"},
                                            {"value", "v"},
                                            {"detail", "(null)"}}));
}

TEST(XmlReplySummary, CollectedWhileReadingAndFreedWithTheContext) {
    ParseResult r = parse_reply({summary_reply}, Framing::sized);
    EXPECT_EQ(error_of(r.ctx.get()), "");
    expect_full_summary(r.ctx.get());

    ParseResult none = parse_reply({"<a><b/></a>"}, Framing::sized);
    EXPECT_EQ(none.ctx->results, nullptr);
    EXPECT_EQ(none.ctx->current, nullptr);
}

// ---------------------------------------------------------------------------
// Failed results for a reply that did not parse.

TEST(XmlParseError, BuildsFailedResults) {
    struct Case {
        const char *parse_error;
        const char *reason;
    };
    const Case cases[] = {
        {"Premature end of data\n", "Parsing error in results: Premature end of data\n"},
        {"a < b & c", "Parsing error in results: a < b & c"},
        {nullptr, "Parsing error in results: Unknown"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reason);
        Ctx ctx(xml_create());
        ctx->parse_error = c.parse_error ? pstrdup(pool_default(), c.parse_error) : nullptr;
        Elem results(kr_parse_error(ctx.get()));
        ASSERT_NE(results, nullptr);
        EXPECT_STREQ(kr_elem_get_name(results.get()), "results");
        EXPECT_STREQ(kr_attr_get(results.get(), "status"), "failed");
        EXPECT_EQ(kr_results_errno(results.get()), 13001);
        EXPECT_STREQ(kr_results_reason(results.get()), c.reason);
    }
    errno = 0;
    EXPECT_EQ(kr_parse_error(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

// ---------------------------------------------------------------------------
// Memory exhaustion.

TEST(XmlReplyAlloc, Create) {
    sweep_allocation_failures(
        [] {
            errno = 0;
            return Ctx(xml_create());
        },
        [](const Ctx &ctx, bool reached) {
            if (reached) {
                EXPECT_EQ(ctx, nullptr);
                EXPECT_EQ(errno, ENOMEM);
                return;
            }
            ASSERT_NE(ctx, nullptr);
            EXPECT_EQ(ctx->elemDepth, -1);
            EXPECT_EQ(ctx->elemStacksize, 20);
            EXPECT_EQ(ctx->parse_error, nullptr);
            EXPECT_EQ(ctx->pcdata, nullptr);
            for (int i = 0; i < 20; ++i)
                EXPECT_EQ(ctx->elemStack[i].elem, nullptr);
        });
}

TEST(XmlReplyAlloc, ParseErrorResults) {
    Ctx ctx(xml_create());
    ctx->parse_error = pstrdup(pool_default(), "boom");
    sweep_allocation_failures(
        [&ctx] {
            errno = 0;
            return Elem(kr_parse_error(ctx.get()));
        },
        [](const Elem &results, bool reached) {
            if (results == nullptr) {
                EXPECT_TRUE(reached);
                EXPECT_EQ(errno, ENOMEM);
                return;
            }
            EXPECT_STREQ(kr_attr_get(results.get(), "status"), "failed");
            EXPECT_EQ(kr_results_errno(results.get()), 13001);
            const std::string reason = kr_results_reason(results.get());
            if (!reached) {
                EXPECT_EQ(reason, "Parsing error in results: boom");
                return;
            }
            // Without the full text: the fallback, or no reason at all when
            // even escaping it failed.
            EXPECT_TRUE(reason == "Parsing error in results: boom" ||
                        reason == "Memory allocation failure" || reason == "Unknown")
                << reason;
        });
}

// Sweeps the allocations of one xml_parse of `doc`; the context and the
// connection are made before the failure switch is armed.
template <typename Check> void sweep_parse(const std::string &doc, Check check) {
    for (long n = 1; n <= 10000; ++n) {
        SCOPED_TRACE(::testing::Message() << "allocation " << n << " failing");
        Ctx ctx(xml_create());
        ASSERT_NE(ctx, nullptr);
        Peer peer({doc});
        pool_test_fail_nth(n);
        xml_parse(peer.sock(), ctx.get(), -1);
        const bool reached = !pool_test_fail_pending();
        pool_test_fail_nth(0);
        check(ctx.get(), reached);
        if (!reached || ::testing::Test::HasFatalFailure())
            return;
    }
    ADD_FAILURE() << "parse still allocating after 10000 allocations";
}

// Whatever allocation fails while reading, the reply is reported as failed:
// never a partial tree or summary taken for a whole one.
TEST(XmlReplyAlloc, ParseNeverPassesAPartialReply) {
    sweep_parse(summary_reply, [](const xml_ctx *r, bool reached) {
        if (reached) {
            EXPECT_NE(r->parse_error, nullptr);
            return;
        }
        EXPECT_EQ(error_of(r), "");
        expect_full_summary(r);
    });
}

// Parser messages met while memory runs out: the error text is always set,
// also when a message is appended to the out-of-memory text.
TEST(XmlReplyAlloc, MessagesUnderMemoryExhaustion) {
    const std::string dtd = temp_file("empty-alloc.dtd", "");
    sweep_parse("<!DOCTYPE a SYSTEM \"file://" + dtd + "\"><a>&e;&f;</a>",
                [](const xml_ctx *r, bool reached) {
                    EXPECT_NE(r->parse_error, nullptr);
                    if (!reached) {
                        EXPECT_EQ(error_of(r), "Entity 'e' not defined\nEntity 'f' not defined\n");
                    }
                });
    unlink(dtd.c_str());
}

} // namespace
