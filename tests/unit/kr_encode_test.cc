#include "kovrel.h"

#include "alloc_sweep.h"
#include "pool.h"

#include "kr_owned.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// Element with optional contents, attributes (in the order given) and children.
kr_elem_t *node(const char *name, const char *contents = nullptr,
                std::vector<std::pair<const char *, const char *>> attrs = {},
                std::vector<kr_elem_t *> children = {}) {
    kr_elem_t *e = kr_elem_new(name);
    EXPECT_NE(e, nullptr);
    if (contents != nullptr) {
        EXPECT_EQ(kr_elem_set_content(e, contents), 1);
    }
    for (const auto &[key, value] : attrs)
        EXPECT_EQ(kr_attr_set(e, key, value), 1);
    for (kr_elem_t *child : children)
        kr_child_add(e, child);
    return e;
}

std::string encoded(kr_elem_t *e, int indent, const char *ns) {
    Text text(kr_elem_encode(e, indent, ns));
    EXPECT_NE(text, nullptr);
    return text ? text.get() : "";
}

// Output function that records every piece; returns 0 on call number
// `refuse_at` (0: never).
struct Recorder {
    std::vector<std::string> pieces;
    size_t refuse_at = 0;
    static int output(const char *s, void *a) {
        auto *r = static_cast<Recorder *>(a);
        r->pieces.emplace_back(s);
        return r->pieces.size() == r->refuse_at ? 0 : 1;
    }
    std::string joined() const {
        std::string all;
        for (const auto &p : pieces)
            all += p;
        return all;
    }
};

struct ShapeCase {
    const char *what;
    std::function<kr_elem_t *()> build;
    int indent;
    const char *ns;
    const char *expected;
};

TEST(KrEncodeTest, Shapes) {
    const ShapeCase cases[] = {
        {"empty element", [] { return node("x"); }, -1, "", "<x/>"},
        {"empty contents", [] { return node("x", ""); }, -1, "", "<x></x>"},
        {"escaped contents", [] { return node("x", "a<b&c\"d'e>f"); }, -1, "",
         "<x>a&lt;b&amp;c&quot;d&apos;e&gt;f</x>"},
        {"other bytes unchanged", [] { return node("x", "\t\x01\n\x80\xff;#"); }, -1, "",
         "<x>\t\x01\n\x80\xff;#</x>"},
        {"attribute values as stored",
         [] {
             return node("x", nullptr, {{"v", "a<b&\"'"}});
         },
         -1, "", "<x v=\"a<b&\"'\"/>"},
        {"CDATA at the start", [] { return node("x", "<![CDATA[a&b<]]>"); }, -1, "",
         "<x><![CDATA[a&b<]]></x>"},
        {"CDATA opener is case-sensitive", [] { return node("x", "<![cdata[a&b"); }, -1, "",
         "<x>&lt;![cdata[a&amp;b</x>"},
        {"CDATA later in the text", [] { return node("x", "a<![CDATA[&]]>"); }, -1, "",
         "<x>a&lt;![CDATA[&amp;]]&gt;</x>"},
        {"compact tree",
         [] {
             return node("r", nullptr, {{"a", "1"}},
                         {node("c", "v"), node("d"), node("e", nullptr, {}, {node("g")})});
         },
         -1, "", "<r a=\"1\"><c>v</c><d/><e><g/></e></r>"},
        {"compact contents and children", [] { return node("r", "t", {}, {node("c")}); }, -1, "",
         "<r>t<c/></r>"},
        {"indented leaf", [] { return node("x", "v"); }, 0, "", "<x>v</x>\n"},
        {"indented root and leaf", [] { return node("r", nullptr, {}, {node("c", "v")}); }, 0, "",
         "<r>\n        <c>v</c>\n</r>\n"},
        {"indented grandchild",
         [] {
             return node("r", nullptr, {}, {node("c", nullptr, {}, {node("g")}), node("d")});
         },
         0, "", "<r>\n        <c>\n                <g/>\n        </c>\n        <d/>\n</r>\n"},
        {"indented contents and children", [] { return node("r", "t", {}, {node("c", "v")}); }, 0,
         "", "<r>t        <c>v</c>\n</r>\n"},
        {"starting indentation", [] { return node("r", nullptr, {}, {node("c")}); }, 3, "",
         "   <r>\n           <c/>\n   </r>\n"},
        {"prefix on every name",
         [] {
             return node("r", nullptr, {{"a", "1"}},
                         {node("c", "v", {{"b", "2"}}), node("d", nullptr, {{"e", "3"}})});
         },
         -1, "p:", "<p:r p:a=\"1\"><p:c p:b=\"2\">v</p:c><p:d p:e=\"3\"/></p:r>"},
        {"results attribute order",
         [] {
             return node("results", nullptr,
                         {{"status", "failed"}, {"errno", "13001"}, {"reason", "why"}});
         },
         -1, "", "<results reason=\"why\" errno=\"13001\" status=\"failed\"/>"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Elem e(c.build());
        EXPECT_EQ(encoded(e.get(), c.indent, c.ns), c.expected);
        // The callback encoder writes the same text.
        Recorder r;
        EXPECT_EQ(kr_elem_encode_cb(e.get(), c.indent, c.ns, Recorder::output, &r, 1), 1);
        EXPECT_EQ(r.joined(), c.expected);
    }
}

// Long texts cross the encoder's internal buffering; entities at every
// position must survive that.
TEST(KrEncodeTest, LongContentsAndNames) {
    std::string contents;
    std::string escaped;
    for (int i = 0; i < 700; ++i) {
        contents += (i % 7 == 0) ? "&" : "ab";
        escaped += (i % 7 == 0) ? "&amp;" : "ab";
    }
    const std::string name(300, 'n');
    const std::string value(400, 'v');
    Elem e(node(name.c_str(), contents.c_str(), {{"k", value.c_str()}}));
    EXPECT_EQ(encoded(e.get(), 300, ""), std::string(300, ' ') + "<" + name + " k=\"" + value +
                                             "\">" + escaped + "</" + name + ">\n");
}

TEST(KrEncodeTest, WithoutEscapingContentsAreWrittenAsTheyAre) {
    Elem e(node("x", "a<&b"));
    Recorder r;
    EXPECT_EQ(kr_elem_encode_cb(e.get(), -1, "", Recorder::output, &r, 0), 1);
    EXPECT_EQ(r.joined(), "<x>a<&b</x>");
}

TEST(KrEncodeTest, StopsAtTheFirstRefusal) {
    const std::string long_text(2000, 'z');
    Elem e(node("r", nullptr, {{"a", "1"}},
                {node("c", long_text.c_str()), node("d", "x&y", {}, {node("g")}), node("h")}));
    Recorder all;
    ASSERT_EQ(kr_elem_encode_cb(e.get(), 0, "p:", Recorder::output, &all, 1), 1);
    ASSERT_GT(all.pieces.size(), 1u);
    for (size_t k = 1; k <= all.pieces.size(); ++k) {
        SCOPED_TRACE(k);
        Recorder r;
        r.refuse_at = k;
        EXPECT_EQ(kr_elem_encode_cb(e.get(), 0, "p:", Recorder::output, &r, 1), 0);
        EXPECT_EQ(r.pieces.size(), k);
    }
}

// The child encoder is called for each child with the child's indentation
// and the prefix; a 0 from it ends the encoding at once.
TEST(KrEncodeTest, ChildEncoderSeesEachChild) {
    static std::vector<std::pair<std::string, int>> seen;
    static size_t refuse_at;
    const kr_elem_encoder_t ecb = [](kr_elem_t *e, int indent, const char *ns, kr_elem_output_t cb,
                                     void *a, bool_t esc) {
        seen.emplace_back(std::string(ns) + kr_elem_get_name(e), indent);
        if (seen.size() == refuse_at)
            return 0;
        return kr_elem_encode_cb(e, indent, ns, cb, a, esc);
    };
    Elem e(node("r", nullptr, {}, {node("c", nullptr, {}, {node("g")}), node("d")}));

    struct Case {
        int indent;
        size_t refuse_at;
        int result;
        std::vector<std::pair<std::string, int>> seen;
        const char *text;
    };
    const Case cases[] = {
        {4,
         0,
         1,
         {{"q:c", 12}, {"q:d", 12}},
         "    <q:r>\n            <q:c>\n                    <q:g/>\n            </q:c>\n"
         "            <q:d/>\n    </q:r>\n"},
        {-1, 0, 1, {{"q:c", -1}, {"q:d", -1}}, "<q:r><q:c><q:g/></q:c><q:d/></q:r>"},
        {-1, 1, 0, {{"q:c", -1}}, "<q:r>"},
        {0,
         2,
         0,
         {{"q:c", 8}, {"q:d", 8}},
         "<q:r>\n        <q:c>\n                <q:g/>\n        </q:c>\n"},
    };
    for (const auto &c : cases) {
        seen.clear();
        refuse_at = c.refuse_at;
        Recorder r;
        EXPECT_EQ(kr_elem_encode_cb_common(e.get(), c.indent, "q:", Recorder::output, &r, 1, ecb),
                  c.result);
        EXPECT_EQ(seen, c.seen);
        EXPECT_EQ(r.joined(), c.text);
    }
}

TEST(KrEncodeTest, NullArguments) {
    Elem e(node("x"));
    Recorder r;
    const std::vector<std::pair<const char *, std::function<bool()>>> cases = {
        {"encode_cb null element",
         [&] { return kr_elem_encode_cb(nullptr, 0, "", Recorder::output, &r, 1) == 0; }},
        {"encode_cb null prefix",
         [&] { return kr_elem_encode_cb(e.get(), 0, nullptr, Recorder::output, &r, 1) == 0; }},
        {"encode_cb null output",
         [&] { return kr_elem_encode_cb(e.get(), 0, "", nullptr, &r, 1) == 0; }},
        {"common null child encoder",
         [&] {
             return kr_elem_encode_cb_common(e.get(), 0, "", Recorder::output, &r, 1, nullptr) == 0;
         }},
        {"encode null element", [&] { return kr_elem_encode(nullptr, 0, "") == nullptr; }},
        {"encode null prefix", [&] { return kr_elem_encode(e.get(), 0, nullptr) == nullptr; }},
        {"sprintf null element", [&] { return kr_elem_sprintf(nullptr) == nullptr; }},
        {"printf_pretty null file", [&] { return kr_elem_printf_pretty(nullptr, e.get()) == 0; }},
        {"printf_pretty null element", [&] { return kr_elem_printf_pretty(stdout, nullptr) == 0; }},
        {"printf_stdout null element", [&] { return kr_elem_printf_stdout(nullptr) == 0; }},
        {"xml_encode null", [&] { return xml_encode(nullptr) == nullptr; }},
        {"xml_decode null", [&] { return xml_decode(nullptr) == nullptr; }},
    };
    for (const auto &[what, call] : cases) {
        SCOPED_TRACE(what);
        errno = 0;
        EXPECT_TRUE(call());
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_TRUE(r.pieces.empty());
}

TEST(KrEncodeTest, SprintfIsIndented) {
    Elem e(node("r", nullptr, {}, {node("c", "a&b")}));
    Text text(kr_elem_sprintf(e.get()));
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "<r>\n        <c>a&amp;b</c>\n</r>\n");
}

TEST(KrEncodeTest, SprintfCompactAppends) {
    Elem a(node("a"));
    Elem b(node("b", "x<", {{"k", "v"}}));
    char *str = nullptr;
    size_t size = 0;
    ASSERT_EQ(kr_elem_sprintf_compact(&str, &size, a.get()), 1);
    EXPECT_STREQ(str, "<a/>");
    EXPECT_EQ(size, 4u);
    ASSERT_EQ(kr_elem_sprintf_compact(&str, &size, b.get()), 1);
    EXPECT_STREQ(str, "<a/><b k=\"v\">x&lt;</b>");
    EXPECT_EQ(size, strlen(str));
    kr_free(str);

    // A string the caller made itself.
    str = pstrdup(pool_default(), "head:");
    size = 5;
    ASSERT_EQ(kr_elem_sprintf_compact(&str, &size, a.get()), 1);
    EXPECT_STREQ(str, "head:<a/>");
    EXPECT_EQ(size, 9u);
    kr_free(str);
}

TEST(KrEncodeTest, SprintfCompactRejectsBadArguments) {
    Elem a(node("a"));
    char *str = nullptr;
    size_t size = 0;
    const std::vector<std::pair<const char *, std::function<int()>>> cases = {
        {"null element", [&] { return kr_elem_sprintf_compact(&str, &size, nullptr); }},
        {"null string pointer", [&] { return kr_elem_sprintf_compact(nullptr, &size, a.get()); }},
        {"null size pointer", [&] { return kr_elem_sprintf_compact(&str, nullptr, a.get()); }},
        // A length without a string would leave unwritten bytes in front.
        {"length without string",
         [&] {
             size = 3;
             return kr_elem_sprintf_compact(&str, &size, a.get());
         }},
    };
    for (const auto &[what, call] : cases) {
        SCOPED_TRACE(what);
        errno = 0;
        EXPECT_EQ(call(), 0);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(str, nullptr);
    }
}

TEST(KrEncodeTest, PrintfWritesIndentedText) {
    Elem e(node("r", nullptr, {{"a", "1"}}, {node("c", "'")}));
    const char *expected = "<r a=\"1\">\n        <c>&apos;</c>\n</r>\n";

    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(kr_elem_printf_pretty(f, e.get()), 1);
    fclose(f);
    EXPECT_STREQ(buf, expected);
    free(buf);

    testing::internal::CaptureStdout();
    const int rc = kr_elem_printf_stdout(e.get());
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), expected);
    EXPECT_EQ(rc, 1);
}

// Write errors do not stop the printing.
TEST(KrEncodeTest, PrintfIgnoresWriteErrors) {
    Elem e(node("r", nullptr, {}, {node("c")}));
    FILE *f = fopen("/dev/full", "w");
    if (f == nullptr)
        GTEST_SKIP() << "no /dev/full";
    setvbuf(f, nullptr, _IONBF, 0);
    EXPECT_EQ(kr_elem_printf_pretty(f, e.get()), 1);
    fclose(f);
}

TEST(KrEncodeTest, XmlEncode) {
    struct Case {
        const char *in;
        int lf;
        const char *out;
    };
    const Case cases[] = {
        {"", 0, ""},
        {"plain text", 0, "plain text"},
        {"<>&\"'", 0, "&lt;&gt;&amp;&quot;&apos;"},
        {"a\nb\n", 0, "a\nb\n"},
        {"a\nb\n", 1, "a&#xA;b&#xA;"},
        {"x<\n>y", 1, "x&lt;&#xA;&gt;y"},
        {"&amp;", 0, "&amp;amp;"},
        {"\t\r\x80\xff", 1, "\t\r\x80\xff"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        Text out(xml_encode_lf(c.in, c.lf));
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out.get(), c.out);
        if (c.lf == 0) {
            Text same(xml_encode(c.in));
            ASSERT_NE(same, nullptr);
            EXPECT_STREQ(same.get(), c.out);
        }
    }
}

TEST(KrEncodeTest, XmlDecode) {
    struct Case {
        const char *in;
        const char *out;
    };
    const Case cases[] = {
        {"", ""},
        {"no entities", "no entities"},
        {"&apos;&lt;&gt;&quot;&amp;", "'<>\"&"},
        {"&amp;amp;", "&amp;"},
        {"&amp;lt;", "&lt;"},
        {"&LT;b&Gt;&AMP;&QuOt;&APOS;", "<b>&\"'"},
        {"a & b; &nbsp; &#xA;", "a & b; &nbsp; &#xA;"},
        {"&amp", "&amp"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        Text out(xml_decode(c.in));
        ASSERT_NE(out, nullptr);
        EXPECT_STREQ(out.get(), c.out);
    }
}

// ---- allocation failures ----------------------------------------------------

Elem sweep_tree() {
    return Elem(node("r", nullptr, {{"a", "1"}, {"long", "a value that is longer than the rest"}},
                     {node("c", "x&y"), node("d", nullptr, {}, {node("g", "z")})}));
}

TEST(KrEncodeTest, EncodeUnderAllocationFailure) {
    Elem e = sweep_tree();
    const std::string expected = encoded(e.get(), 0, "ns:");
    sweep_allocation_failures(
        [&] {
            errno = 0;
            return Text(kr_elem_encode(e.get(), 0, "ns:"));
        },
        [&](const Text &text, bool failed) {
            if (failed) {
                EXPECT_EQ(text, nullptr);
                EXPECT_EQ(errno, ENOMEM);
            } else {
                ASSERT_NE(text, nullptr);
                EXPECT_EQ(text.get(), expected);
            }
        });
}

TEST(KrEncodeTest, SprintfCompactUnderAllocationFailure) {
    Elem e = sweep_tree();
    const std::string expected = encoded(e.get(), -1, "");
    for (const char *initial : {static_cast<const char *>(nullptr), "head:"}) {
        SCOPED_TRACE(initial != nullptr ? initial : "(new string)");
        // The caller's string exists before the switch is armed, so the
        // sweep is written out here.
        for (long n = 1;; ++n) {
            char *str = initial != nullptr ? pstrdup(pool_default(), initial) : nullptr;
            size_t size = initial != nullptr ? strlen(initial) : 0;
            pool_test_fail_nth(n);
            errno = 0;
            const int rc = kr_elem_sprintf_compact(&str, &size, e.get());
            const bool failed = !pool_test_fail_pending();
            pool_test_fail_nth(0);
            SCOPED_TRACE(n);
            const std::string before = initial != nullptr ? initial : "";
            if (failed) {
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(errno, ENOMEM);
                EXPECT_EQ(size, before.size());
                if (initial == nullptr) {
                    EXPECT_EQ(str, nullptr);
                } else {
                    EXPECT_STREQ(str, initial);
                }
            } else {
                EXPECT_EQ(rc, 1);
                EXPECT_EQ(str, before + expected);
                EXPECT_EQ(size, before.size() + expected.size());
            }
            kr_free(str);
            if (!failed || HasFailure())
                break;
        }
    }
}

TEST(KrEncodeTest, XmlEncodeAndDecodeUnderAllocationFailure) {
    const std::vector<std::tuple<const char *, std::function<char *()>, const char *>> cases = {
        {"xml_encode_lf", [] { return xml_encode_lf("a<b\n", 1); }, "a&lt;b&#xA;"},
        {"xml_decode", [] { return xml_decode("&apos;&lt;&gt;&quot;&amp;amp; and more"); },
         "'<>\"&amp; and more"},
        {"xml_decode plain", [] { return xml_decode("plain"); }, "plain"},
    };
    for (const auto &[what, call, expected] : cases) {
        SCOPED_TRACE(what);
        sweep_allocation_failures(
            [&] {
                errno = 0;
                return Text(call());
            },
            [&](const Text &text, bool failed) {
                if (failed) {
                    EXPECT_EQ(text, nullptr);
                    EXPECT_EQ(errno, ENOMEM);
                } else {
                    ASSERT_NE(text, nullptr);
                    EXPECT_STREQ(text.get(), expected);
                }
            });
    }
}

} // namespace
