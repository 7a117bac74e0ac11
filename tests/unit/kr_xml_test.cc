#include "kovrel.h"

#include "alloc_sweep.h"
#include "stab.h"

#include "kr_describe.h"
#include "kr_owned.h"
#include "xml_docs.h"

#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct CtxDeleter {
    void operator()(kr_xml_ctx_t *c) const { kr_xml_release(c); }
};
using Ctx = std::unique_ptr<kr_xml_ctx_t, CtxDeleter>;

struct RawResult {
    Elem root;
    int error = 0;
    std::string stderr_text;
};

RawResult parse_raw(const std::string &doc) {
    std::vector<char> text(doc.begin(), doc.end());
    text.push_back('\0');
    RawResult result;
    errno = 0;
    testing::internal::CaptureStderr();
    result.root.reset(kr_qapi_get_elem_from_raw_xmlinput(text.data()));
    result.error = errno;
    result.stderr_text = testing::internal::GetCapturedStderr();
    return result;
}

// Parses `doc` with the general reader through the string read function and
// returns the context for inspection.
Ctx parse_string(const std::string &doc) {
    Ctx ctx(kr_xml_create());
    EXPECT_NE(ctx, nullptr);
    kr_xml_string_context_t *input = kr_xml_string_context_new(doc.c_str());
    EXPECT_NE(input, nullptr);
    kr_xml_read_and_parse(ctx.get(), -1, kr_xml_string_reader, input);
    kr_xml_string_context_free(input);
    return ctx;
}

struct TreeCase {
    const char *doc;
    const char *tree;
};

TEST(KrXmlRead, BuildsTrees) {
    const TreeCase cases[] = {
        {"<a><b>1</b><c/></a>", "a{b\"1\",c}"},
        // Blanks between elements are the parent's text.
        {"<a>\n  <b>1</b>\n  <c/>\n</a>", "a\"\n  \n  \n\"{b\"1\",c}"},
        {"<a>x<b/>y</a>", "a\"xy\"{b}"},
        {"<a><![CDATA[<x>]]></a>", "a\"<x>\""},
        {"<a>p<![CDATA[&q]]>r</a>", "a\"p&qr\""},
        {"<a>&lt;&gt;&amp;&quot;&apos;&#38;&#x41;</a>", "a\"<>&\"'&A\""},
        {"<a>\xc3\xa9\xe2\x82\xac</a>", "a\"\xc3\xa9\xe2\x82\xac\""},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- c --><a><?pi x?>t<!-- d --></a>\n",
         "a\"t\""},
        {"<a><b><c>deep</c></b><b/></a>", "a{b{c\"deep\"},b}"},
    };
    for (const TreeCase &c : cases) {
        SCOPED_TRACE(c.doc);
        RawResult r = parse_raw(c.doc);
        ASSERT_NE(r.root, nullptr) << r.stderr_text;
        EXPECT_EQ(describe(r.root.get()), c.tree);
        EXPECT_EQ(r.stderr_text, "");
    }
}

// Every reference in an attribute value is replaced, predefined entities and
// character references alike; attributes are set in document order, so of two
// names differing only in case (one attribute in the tree) the later wins.
TEST(KrXmlRead, AttributeValuesArriveWithReferencesReplaced) {
    const TreeCase cases[] = {
        {"<a x=\"&lt;\"/>", "a[x=<]"},
        {"<a x=\"&amp;\"/>", "a[x=&]"},
        {"<a x=\"&#38;\"/>", "a[x=&]"},
        {"<a x=\"1&amp;2&#38;3&#x26;4&gt;&quot;&apos;\"/>", "a[x=1&2&3&4>\"']"},
        {"<a x='a&#x20AC;b' y=\"\"/>", "a[x=a\xe2\x82\xac"
                                       "b,y=]"},
        {"<a X=\"first\" x=\"second\"/>", "a[X=second]"},
        {"<a x=\"first\" X=\"second\" y=\"3\"/>", "a[x=second,y=3]"},
    };
    for (const TreeCase &c : cases) {
        SCOPED_TRACE(c.doc);
        RawResult r = parse_raw(c.doc);
        ASSERT_NE(r.root, nullptr) << r.stderr_text;
        EXPECT_EQ(describe(r.root.get()), c.tree);
    }
}

TEST(KrXmlRead, MalformedDocumentsFail) {
    const char *const docs[] = {"<a><b></a>",   "<a>",        "<a></a><b/>",
                                "<a x=1/>",     "plain text", "<a>&bogus;</a>",
                                "<a x=\"<\"/>", "<a></b>"};
    for (const char *doc : docs) {
        SCOPED_TRACE(doc);
        RawResult r = parse_raw(doc);
        EXPECT_EQ(r.root, nullptr);
        EXPECT_EQ(r.error, EINVAL);
        EXPECT_EQ(r.stderr_text.rfind("Parse error: ", 0), 0u) << r.stderr_text;
        EXPECT_GT(r.stderr_text.size(), strlen("Parse error: \n"));
    }
}

TEST(KrXmlRead, EmptyInputHasNoElements) {
    RawResult r = parse_raw("");
    EXPECT_EQ(r.root, nullptr);
    EXPECT_EQ(r.error, EINVAL);
    EXPECT_EQ(r.stderr_text, "No elements in API request\n");
}

TEST(KrXmlRead, NullInputIsInvalid) {
    errno = 0;
    EXPECT_EQ(kr_qapi_get_elem_from_raw_xmlinput(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
}

TEST(KrXmlRead, TwentyLevelsParseTwentyOneDoNot) {
    RawResult ok = parse_raw(nested(20, "bottom"));
    ASSERT_NE(ok.root, nullptr) << ok.stderr_text;
    kr_elem_t *e = ok.root.get();
    for (int level = 2; level <= 20; ++level)
        e = kr_elem_child(e, ("l" + std::to_string(level)).c_str());
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(kr_elem_get_content(e), "bottom");

    RawResult deep = parse_raw(nested(21, "bottom"));
    EXPECT_EQ(deep.root, nullptr);
    EXPECT_EQ(deep.error, EINVAL);
    EXPECT_EQ(deep.stderr_text, "Parse error: XML is too deeply nested!\n");
}

// After the reader refuses an element, no further event reaches the stack
// (texts saved at every level are released with the context).
TEST(KrXmlRead, NoEventsAfterTheNestingLimit) {
    std::string doc;
    for (int i = 1; i <= 21; ++i)
        doc += "<l" + std::to_string(i) + ">t";
    doc += "<x/>tail";
    for (int i = 21; i > 0; --i)
        doc += "</l" + std::to_string(i) + ">";
    kr_xml_debug = 1;
    testing::internal::CaptureStdout();
    Ctx ctx = parse_string(doc);
    const std::string trace = testing::internal::GetCapturedStdout();
    kr_xml_debug = 0;
    ASSERT_NE(ctx->parse_error, nullptr);
    EXPECT_STREQ(ctx->parse_error, "XML is too deeply nested!");
    EXPECT_EQ(trace.find("KR_XML_ENDELEMENT"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("name=x"), std::string::npos) << trace;
    EXPECT_EQ(ctx->elemDepth, 19);
    EXPECT_STREQ(kr_elem_get_name(ctx->elemStack[0].elem), "l1");
}

TEST(KrXmlRead, LongTextsParseLikeShortOnes) {
    const std::string long_text(10000, 'x');
    RawResult r = parse_raw("<a><b>" + long_text + "</b><c v=\"" + long_text + "\"/></a>");
    ASSERT_NE(r.root, nullptr) << r.stderr_text;
    EXPECT_EQ(kr_elem_get_content(kr_elem_child(r.root.get(), "b")), long_text);
    EXPECT_EQ(kr_attr_get(kr_elem_child(r.root.get(), "c"), "v"), long_text);

    // A multi-byte character whose bytes fall on both sides of a piece
    // boundary, at every split position.
    const std::string euro = "\xe2\x82\xac";
    for (size_t split = 1; split < euro.size(); ++split) {
        SCOPED_TRACE(split);
        const std::string head = "<a>";
        const std::string text = std::string(2048 - head.size() - split, 'y') + euro + "z";
        const std::string doc = head + text + "</a>";
        ASSERT_EQ(doc.compare(2048 - split, euro.size(), euro), 0);
        RawResult m = parse_raw(doc);
        ASSERT_NE(m.root, nullptr) << m.stderr_text;
        EXPECT_EQ(kr_elem_get_content(m.root.get()), text);
    }
}

// Parser messages replace one another: the latest one is kept.
TEST(KrXmlRead, LatestParserMessageWins) {
    const std::string dtd = temp_file("empty.dtd", "");
    Ctx ctx = parse_string("<!DOCTYPE a SYSTEM \"file://" + dtd + "\"><a>&e;&f;</a>");
    ASSERT_NE(ctx->parse_error, nullptr);
    EXPECT_STREQ(ctx->parse_error, "Entity 'f' not defined\n");
    unlink(dtd.c_str());
}

TEST(KrXmlRead, EndWithNothingOpenIsAnError) {
    Ctx ctx(kr_xml_create());
    ASSERT_NE(ctx, nullptr);
    kr_xml_sax_handler.endElement(ctx.get(), reinterpret_cast<const unsigned char *>("a"));
    ASSERT_NE(ctx->parse_error, nullptr);
    EXPECT_STREQ(ctx->parse_error, "Error in popping elements from stack!");
    EXPECT_EQ(ctx->elemDepth, -1);
}

TEST(KrXmlRead, DebugTraceOnStandardOutput) {
    kr_xml_debug = 1;
    testing::internal::CaptureStdout();
    RawResult r = parse_raw("<a><b/></a>");
    const std::string trace = testing::internal::GetCapturedStdout();
    kr_xml_debug = 0;
    ASSERT_NE(r.root, nullptr);
    EXPECT_EQ(trace, "KR_XML_STARTELEMENT name=a\nKR_XML_STARTELEMENT name=b\n"
                     "KR_XML_ENDELEMENT name=b\nKR_XML_ENDELEMENT name=a\n");

    testing::internal::CaptureStdout();
    r = parse_raw("<a><b/></a>");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// ---------------------------------------------------------------------------
// Hostile documents: nothing is loaded from outside, nothing expands.

// The secret must never reach the tree. A reference to an entity declared in
// the document is never resolved, so the parse fails.
TEST(KrXmlSecurity, ExternalEntityIsNotLoaded) {
    const std::string secret = temp_file("secret.txt", "TOP-SECRET");
    const std::string decl = "<!DOCTYPE a [<!ENTITY xxe SYSTEM \"file://" + secret + "\">]>";
    const std::string docs[] = {
        decl + "<a>&xxe;</a>",
        decl + "<a v=\"&xxe;\"/>",
        // A parameter entity pulling in declarations.
        "<!DOCTYPE a [<!ENTITY % p SYSTEM \"file://" + secret + "\"> %p;]><a>x</a>",
    };
    for (const std::string &doc : docs) {
        SCOPED_TRACE(doc);
        RawResult r = parse_raw(doc);
        EXPECT_EQ(r.root, nullptr);
        EXPECT_EQ(r.error, EINVAL);
        EXPECT_EQ(r.stderr_text.rfind("Parse error: ", 0), 0u) << r.stderr_text;
        EXPECT_EQ(r.stderr_text.find("TOP-SECRET"), std::string::npos);
    }
    EXPECT_EQ(parse_raw(decl + "<a>&xxe;</a>").stderr_text,
              "Parse error: Entity 'xxe' not defined\n\n");
    unlink(secret.c_str());
}

// The external DTD would give the element a default attribute and define an
// entity; neither may happen. Attribute references are still replaced by the
// same parser set-up.
TEST(KrXmlSecurity, ExternalDtdIsNotFetchedWhileAttributesAreSubstituted) {
    const std::string dtd = temp_file(
        "ext.dtd", "<!ATTLIST a d CDATA \"from-dtd\">\n<!ENTITY e \"from-dtd-entity\">\n");
    const std::string doctype = "<!DOCTYPE a SYSTEM \"file://" + dtd + "\">";

    RawResult plain = parse_raw(doctype + "<a v=\"&lt;&amp;&#38;\">t</a>");
    ASSERT_NE(plain.root, nullptr) << plain.stderr_text;
    EXPECT_EQ(describe(plain.root.get()), "a[v=<&&]\"t\"");

    RawResult with_entity = parse_raw(doctype + "<a>&e;</a>");
    EXPECT_EQ(with_entity.root, nullptr);
    EXPECT_EQ(with_entity.stderr_text.find("from-dtd"), std::string::npos);
    unlink(dtd.c_str());
}

TEST(KrXmlSecurity, InternalEntitiesAreNotExpanded) {
    RawResult r = parse_raw("<!DOCTYPE a [<!ENTITY i \"inside\">]><a>&i;</a>");
    EXPECT_EQ(r.root, nullptr);
    EXPECT_EQ(r.stderr_text, "Parse error: Entity 'i' not defined\n\n");
}

TEST(KrXmlSecurity, BillionLaughsFailsQuickly) {
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
        const auto start = std::chrono::steady_clock::now();
        RawResult r = parse_raw(doctype + body);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.root, nullptr);
        EXPECT_EQ(r.error, EINVAL);
        EXPECT_EQ(r.stderr_text.rfind("Parse error: ", 0), 0u);
        EXPECT_LT(elapsed, std::chrono::seconds(2));
    }
}

// ---------------------------------------------------------------------------
// Read functions and the read loop.

TEST(KrXmlStringReader, HandsOutTheTextInPieces) {
    const char text[] = "hello";
    kr_xml_string_context_t *c = kr_xml_string_context_new(text);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->buff, text);
    EXPECT_STREQ(c->buff, "hello");
    EXPECT_EQ(c->sofar, 0);
    EXPECT_EQ(c->left, 5);

    struct Step {
        int buffsize;
        int result;
        const char *bytes;
        int sofar, left;
    };
    const Step steps[] = {
        {0, 0, "", 0, 5}, // no room: nothing written, not even a NUL
        {2, 2, "he", 2, 3}, {2, 2, "ll", 4, 1}, {2, 1, "o", 5, 0}, {2, 0, "", 5, 0},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.buffsize);
        char buff[8];
        memset(buff, 'X', sizeof buff);
        EXPECT_EQ(kr_xml_string_reader(c, buff, s.buffsize), s.result);
        EXPECT_EQ(std::string(buff, s.result), s.bytes);
        EXPECT_EQ(buff[s.result], s.result == 0 && s.buffsize > 0 ? '\0' : 'X');
        EXPECT_EQ(c->sofar, s.sofar);
        EXPECT_EQ(c->left, s.left);
    }
    char buff[4];
    errno = 0;
    EXPECT_EQ(kr_xml_string_reader(nullptr, buff, 4), -1);
    EXPECT_EQ(errno, EINVAL);
    kr_xml_string_context_free(c);

    errno = 0;
    EXPECT_EQ(kr_xml_string_context_new(nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    kr_xml_string_context_free(nullptr);
}

// A read function over something other than a string: its end is learned
// from a read of 0 bytes.
struct PieceReader {
    std::string data;
    size_t pos = 0;
    size_t piece = 7;
    int calls = 0;
};

int piece_reader(void *context, char *buff, int buffsize) {
    auto *r = static_cast<PieceReader *>(context);
    ++r->calls;
    const size_t n = std::min({r->piece, static_cast<size_t>(buffsize), r->data.size() - r->pos});
    memcpy(buff, r->data.data() + r->pos, n);
    r->pos += n;
    return static_cast<int>(n);
}

TEST(KrXmlReadLoop, OtherReadersAreReadToTheEnd) {
    PieceReader whole{"<a><b>1</b>text</a>"};
    Ctx ok(kr_xml_create());
    kr_xml_read_and_parse(ok.get(), -1, piece_reader, &whole);
    EXPECT_EQ(ok->parse_error, nullptr);
    ASSERT_NE(ok->elemStack[0].elem, nullptr);
    EXPECT_EQ(describe(ok->elemStack[0].elem), "a\"text\"{b\"1\"}");

    // A truncated document is noticed, not taken for a complete one.
    PieceReader truncated{"<a><b>1</b>te"};
    Ctx cut(kr_xml_create());
    kr_xml_read_and_parse(cut.get(), -1, piece_reader, &truncated);
    EXPECT_NE(cut->parse_error, nullptr);
}

// With a known length the reader is asked for exactly that many bytes, the
// first piece included, and never for what follows.
TEST(KrXmlReadLoop, StopsAtTheGivenLength) {
    const std::string doc = "<a>" + std::string(5000, 'q') + "</a>";
    PieceReader r{doc + "<next-message/>", 0, 4096};
    Ctx ctx(kr_xml_create());
    kr_xml_read_and_parse(ctx.get(), static_cast<int>(doc.size()), piece_reader, &r);
    EXPECT_EQ(ctx->parse_error, nullptr);
    EXPECT_EQ(r.pos, doc.size());
    ASSERT_NE(ctx->elemStack[0].elem, nullptr);
    EXPECT_EQ(strlen(kr_elem_get_content(ctx->elemStack[0].elem)), 5000u);
}

TEST(KrXmlReadLoop, StopsReadingWhenNestingIsRefused) {
    PieceReader r{nested(21) + std::string(100000, ' '), 0, 2048};
    Ctx ctx(kr_xml_create());
    kr_xml_read_and_parse(ctx.get(), -1, piece_reader, &r);
    ASSERT_NE(ctx->parse_error, nullptr);
    EXPECT_STREQ(ctx->parse_error, "XML is too deeply nested!");
    EXPECT_LE(r.calls, 2);
}

TEST(KrXmlGlobal, InitAndFreeAnnounceThemselves) {
    testing::internal::CaptureStderr();
    kr_xml_global_init();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "xml_global_init called\n");
    testing::internal::CaptureStderr();
    kr_xml_global_free();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "xml_global_free called\n");
    // The parser library can be set up again afterwards.
    testing::internal::CaptureStderr();
    kr_xml_global_init();
    testing::internal::GetCapturedStderr();
    RawResult r = parse_raw("<a/>");
    EXPECT_NE(r.root, nullptr);
}

// ---------------------------------------------------------------------------
// Memory exhaustion.

TEST(KrXmlAlloc, CreateAndStringContext) {
    sweep_allocation_failures(
        [] {
            errno = 0;
            return Ctx(kr_xml_create());
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
            EXPECT_EQ(ctx->include_cdata, 0);
        });
    sweep_allocation_failures(
        [] {
            errno = 0;
            return kr_xml_string_context_new("<a/>");
        },
        [](kr_xml_string_context_t *c, bool reached) {
            if (reached) {
                EXPECT_EQ(c, nullptr);
                EXPECT_EQ(errno, ENOMEM);
                return;
            }
            ASSERT_NE(c, nullptr);
            EXPECT_STREQ(c->buff, "<a/>");
            kr_xml_string_context_free(c);
        });
}

// A document that could not be read for lack of memory gives null and ENOMEM,
// never a partial tree; a bad document stays EINVAL unless memory ran out
// first.
TEST(KrXmlAlloc, RawInput) {
    const char *const good = "<a x=\"1\" y=\"&amp;\">t<b>1</b><c><d>deep</d></c>u</a>";
    sweep_allocation_failures([good] { return parse_raw(good); },
                              [](const RawResult &r, bool reached) {
                                  if (reached) {
                                      EXPECT_EQ(r.root, nullptr);
                                      EXPECT_EQ(r.error, ENOMEM) << r.stderr_text;
                                      return;
                                  }
                                  ASSERT_NE(r.root, nullptr);
                                  EXPECT_EQ(describe(r.root.get()),
                                            "a[x=1,y=&]\"tu\"{b\"1\",c{d\"deep\"}}");
                              });
    sweep_allocation_failures([] { return parse_raw("<a><b>x</b><c></a>"); },
                              [](const RawResult &r, bool reached) {
                                  EXPECT_EQ(r.root, nullptr);
                                  EXPECT_EQ(r.error, reached ? ENOMEM : EINVAL) << r.stderr_text;
                                  if (!reached) {
                                      EXPECT_EQ(r.stderr_text.rfind("Parse error: ", 0), 0u);
                                  }
                              });
}

} // namespace
