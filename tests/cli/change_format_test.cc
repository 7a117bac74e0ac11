// Change records to output lines: the mappings, the three formats and the
// escaping of names that are not plain text.
#include "change_format.h"
#include "change_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace kovrel_cli {
namespace {

using namespace std::string_literals;

template <typename Record> Record record(uint32_t change_type, uint32_t ftype, const char *name) {
    Record r{};
    r.scr_change_type = change_type;
    r.scr_ftype = ftype;
    r.scr_name.scr_name_val = const_cast<char *>(name);
    r.scr_name.scr_name_len = static_cast<unsigned int>(std::strlen(name));
    return r;
}

TEST(ChangeMapping, ChangeTypesAndFileTypes) {
    struct Case {
        uint32_t change_type;
        uint32_t ftype;
        ChangeKind kind;
        FileKind file;
    };
    const Case cases[] = {
        {CHGSCAN_OP_DIR_CREATE, 2, ChangeKind::created, FileKind::dir},
        // Directory operations are directories whatever the file type says.
        {CHGSCAN_OP_DIR_CREATE, 1, ChangeKind::created, FileKind::dir},
        {CHGSCAN_OP_DIR_DELETE, 0, ChangeKind::deleted, FileKind::dir},
        {CHGSCAN_OP_INODE_CREATE, 1, ChangeKind::created, FileKind::file},
        {CHGSCAN_OP_INODE_CREATE, 5, ChangeKind::created, FileKind::symlink},
        {CHGSCAN_OP_INODE_DELETED, 2, ChangeKind::deleted, FileKind::dir},
        {CHGSCAN_OP_INODE_MODIFIED, 1, ChangeKind::modified, FileKind::file},
        {CHGSCAN_OP_INODE_MODIFIED, 3, ChangeKind::modified, FileKind::other}, // block device
        {CHGSCAN_OP_INODE_ACCESSED, 7, ChangeKind::accessed, FileKind::other}, // socket
        {CHGSCAN_OP_INODE_ACCESSED, 0, ChangeKind::accessed, FileKind::other},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.change_type << "/" << c.ftype);
        const auto change =
            change_from_record(record<tessel_chgscan_change_rec_V1>(c.change_type, c.ftype, "x"));
        ASSERT_TRUE(change.has_value());
        EXPECT_EQ(change->kind, c.kind);
        EXPECT_EQ(change->file_kind, c.file);
    }
}

TEST(ChangeMapping, UnknownChangeTypesAreNotChanges) {
    for (uint32_t type : {uint32_t{CHGSCAN_OP_NONE}, 7u, 0xffffffffu})
        EXPECT_FALSE(change_from_record(record<tessel_chgscan_change_rec_V2>(type, 1, "x")))
            << type;
}

TEST(ChangeMapping, NamesAndMarks) {
    EXPECT_EQ(change_kind_name(ChangeKind::created), "created");
    EXPECT_EQ(change_kind_name(ChangeKind::deleted), "deleted");
    EXPECT_EQ(change_kind_name(ChangeKind::modified), "modified");
    EXPECT_EQ(change_kind_name(ChangeKind::accessed), "accessed");
    EXPECT_EQ(change_mark(ChangeKind::created), '+');
    EXPECT_EQ(change_mark(ChangeKind::deleted), '-');
    EXPECT_EQ(change_mark(ChangeKind::modified), 'M');
    EXPECT_EQ(change_mark(ChangeKind::accessed), 'A');
    EXPECT_EQ(change_kind_from_name("accessed"), ChangeKind::accessed);
    EXPECT_FALSE(change_kind_from_name("Created"));
}

TEST(ChangeMapping, Version2KeepsWideInodeNumbersAndEveryField) {
    auto r = record<tessel_chgscan_change_rec_V2>(CHGSCAN_OP_INODE_MODIFIED, 1, "d/f");
    r.scr_inode_num = 0x100000002ULL;
    r.scr_size = 5000000000ULL;
    r.scr_mtime = 1700000000;
    r.scr_ctime = 1700000001;
    r.scr_atime = 1700000002;
    r.scr_crtime = 1600000000;
    r.scr_owner = 1000;
    r.scr_group = 100;
    r.scr_links = 3;
    r.scr_fattr = 0644;
    const Change c = *change_from_record(r);
    EXPECT_EQ(c.inode, 0x100000002ULL);
    EXPECT_EQ(c.size, 5000000000ULL);
    EXPECT_EQ(c.mtime, 1700000000);
    EXPECT_EQ(c.ctime, 1700000001);
    EXPECT_EQ(c.atime, 1700000002);
    EXPECT_EQ(c.crtime, 1600000000);
    EXPECT_EQ(c.owner, 1000u);
    EXPECT_EQ(c.group, 100u);
    EXPECT_EQ(c.links, 3u);
    EXPECT_EQ(c.mode, 0644u);
    EXPECT_EQ(c.path, "/d/f");
}

TEST(VolumePath, BeginsWithOneSlashAndKeepsEveryByte) {
    EXPECT_EQ(volume_path("a/b", 3), "/a/b");
    EXPECT_EQ(volume_path("/a/b", 4), "/a/b");
    EXPECT_EQ(volume_path("", 0), "/");
    EXPECT_EQ(volume_path(nullptr, 5), "/");
    // The length rules, not a terminating NUL (the name has none).
    EXPECT_EQ(volume_path("abcdef", 3), "/abc");
    EXPECT_EQ(volume_path("a\0b", 3), "/a\0b"s);
}

TEST(EscapeText, OddNamesStayOnOneLineAndReversible) {
    const std::pair<std::string, std::string> cases[] = {
        {"/plain name.txt", "/plain name.txt"},
        {"/tab\there", "/tab\\there"},
        {"/new\nline", "/new\\nline"},
        {"/cr\r", "/cr\\r"},
        {"/back\\slash", "/back\\\\slash"},
        {"/quote\"'", "/quote\"'"},
        {"/bell\x07", "/bell\\x07"},
        {"/del\x7f", "/del\\x7f"},
        {"/caf\xc3\xa9", "/caf\xc3\xa9"},               // valid UTF-8 as it is
        {"/latin1-\xe9", "/latin1-\\xe9"},              // not UTF-8
        {"/cut-\xe2\x82", "/cut-\\xe2\\x82"},           // truncated sequence
        {"/overlong-\xc0\xaf", "/overlong-\\xc0\\xaf"}, // overlong '/'
        {"/surrogate-\xed\xa0\x80", "/surrogate-\\xed\\xa0\\x80"},
        {"/csi-\xc2\x9b", "/csi-\\xc2\\x9b"}, // C1 control: a terminal escape
        {"/nul-\0-x"s, "/nul-\\x00-x"},
        {"", ""},
    };
    for (const auto &[in, out] : cases)
        EXPECT_EQ(escape_text(in), out) << in;
}

TEST(JsonString, EscapesAndSurrogateEscapesStrayBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"/a", "\"/a\""},
        {"", "\"\""},
        {"/q\"b\\", "\"/q\\\"b\\\\\""},
        {"/t\tn\nr\r", "\"/t\\tn\\nr\\r\""},
        {"/c\x01\x1f\x7f", "\"/c\\u0001\\u001f\\u007f\""},
        {"/caf\xc3\xa9", "\"/caf\xc3\xa9\""},
        {"/\xf0\x9f\x98\x80", "\"/\xf0\x9f\x98\x80\""}, // 4-byte sequence
        {"/x\xff\xfe", "\"/x\\udcff\\udcfe\""},
        {"/z\0"s, "\"/z\\u0000\""},
    };
    for (const auto &[in, out] : cases)
        EXPECT_EQ(json_string(in), out) << in;
}

TEST(CsvField, QuotedOnlyWhenNeeded) {
    const std::pair<std::string, std::string> cases[] = {
        {"/plain", "/plain"},
        {"", ""},
        {"/a,b", "\"/a,b\""},
        {"/say \"hi\"", "\"/say \"\"hi\"\"\""},
        {"/two\nlines", "\"/two\nlines\""},
        {"/cr\r", "\"/cr\r\""},
        {"/tab\t\xff", "/tab\t\xff"}, // bytes pass unchanged
    };
    for (const auto &[in, out] : cases)
        EXPECT_EQ(csv_field(in), out) << in;
}

TEST(Iso8601, UtcSecondsAndOutOfRange) {
    EXPECT_EQ(iso8601_utc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(iso8601_utc(1700000000), "2023-11-14T22:13:20Z");
    EXPECT_EQ(iso8601_utc(-1), "1969-12-31T23:59:59Z");
    EXPECT_EQ(iso8601_utc(INT64_MAX), std::to_string(INT64_MAX));
}

class FormatTest : public testing::Test {
  protected:
    Change change() const {
        Change c;
        c.kind = ChangeKind::created;
        c.file_kind = FileKind::file;
        c.inode = 96;
        c.size = 12;
        c.mtime = 1700000000;
        c.ctime = 1700000001;
        c.atime = 0;
        c.crtime = 1600000000;
        c.owner = 1000;
        c.group = 50;
        c.links = 1;
        c.mode = 0100644;
        c.path = "/dir/new, \"odd\"\tname\n";
        return c;
    }
};

TEST_F(FormatTest, TextShortAndLong) {
    Change c = change();
    EXPECT_EQ(format_text(c, false), "+\t/dir/new, \"odd\"\\tname\\n\n");
    EXPECT_EQ(format_text(c, true), "+\tfile\t12\t2023-11-14T22:13:20Z\t1000:50\t96\t"
                                    "/dir/new, \"odd\"\\tname\\n\n");
    c.kind = ChangeKind::deleted;
    c.file_kind = FileKind::dir;
    c.path = "/";
    EXPECT_EQ(format_text(c, false), "-\t/\n");
    c.kind = ChangeKind::modified;
    EXPECT_EQ(format_text(c, false).front(), 'M');
    c.kind = ChangeKind::accessed;
    EXPECT_EQ(format_text(c, false).front(), 'A');
}

TEST_F(FormatTest, JsonLineHasEveryField) {
    EXPECT_EQ(format_json(change()),
              "{\"change\":\"created\",\"type\":\"file\",\"path\":\"/dir/new, "
              "\\\"odd\\\"\\tname\\n\",\"inode\":96,\"size\":12,\"mtime\":1700000000,"
              "\"ctime\":1700000001,\"atime\":0,\"crtime\":1600000000,\"owner\":1000,"
              "\"group\":50,\"links\":1,\"mode\":33188}\n");
}

TEST_F(FormatTest, CsvRowMatchesHeader) {
    EXPECT_EQ(csv_header(),
              "change,type,path,inode,size,mtime,ctime,atime,crtime,owner,group,links,mode\r\n");
    EXPECT_EQ(format_csv(change()),
              "created,file,\"/dir/new, \"\"odd\"\"\tname\n\",96,12,2023-11-14T22:13:20Z,"
              "2023-11-14T22:13:21Z,1970-01-01T00:00:00Z,2020-09-13T12:26:40Z,1000,50,1,0100644"
              "\r\n");
}

TEST(OutputFormatNames, KnownAndUnknown) {
    EXPECT_EQ(output_format_from_name("text"), OutputFormat::text);
    EXPECT_EQ(output_format_from_name("json"), OutputFormat::json);
    EXPECT_EQ(output_format_from_name("csv"), OutputFormat::csv);
    EXPECT_FALSE(output_format_from_name("xml"));
}

} // namespace
} // namespace kovrel_cli
