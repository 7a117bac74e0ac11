// Change-scan wire records: the rpcgen-generated XDR routines against
// hand-built bytes, decoded as the client decodes replies (from the bytes
// received). Nothing here touches the network.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "child_process.h"
#include "nfs4_prot.h"
#include "nfs4_reply.h"

#include <fstream>

namespace {

using Bytes = std::vector<uint8_t>;

// Writes XDR by hand (big-endian words, opaques padded to 4) so that the
// expected bytes never come from the generated encoder under test.
class Wire {
  public:
    Wire &u32(uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            b_.push_back(static_cast<uint8_t>(v >> shift));
        return *this;
    }
    Wire &u64(uint64_t v) {
        return u32(static_cast<uint32_t>(v >> 32)).u32(static_cast<uint32_t>(v));
    }
    Wire &i64(int64_t v) { return u64(static_cast<uint64_t>(v)); }
    // A variable-length opaque or string: length, bytes, zero padding.
    Wire &opaque(std::string_view s) {
        u32(static_cast<uint32_t>(s.size()));
        b_.insert(b_.end(), s.begin(), s.end());
        while (b_.size() % 4 != 0)
            b_.push_back(0);
        return *this;
    }
    const Bytes &bytes() const { return b_; }

  private:
    Bytes b_;
};

// Fields of one change record as the server sends them.
struct Rec {
    uint64_t inode;
    uint32_t change_type, ftype;
    int64_t crtime, mtime, atime, ctime;
    uint32_t owner, group, fattr, dos_bits;
    uint64_t size;
    uint32_t links, iofenced;
    std::string name;
};

void put_rec(Wire &w, const Rec &r, bool v2) {
    if (v2)
        w.u64(r.inode);
    else
        w.u32(static_cast<uint32_t>(r.inode));
    w.u32(r.change_type).u32(r.ftype).i64(r.crtime).i64(r.mtime).i64(r.atime).i64(r.ctime);
    w.u32(r.owner).u32(r.group).u32(r.fattr).u32(r.dos_bits).u64(r.size).u32(r.links);
    w.u32(r.iofenced).opaque(r.name);
}

// A decoded COMPOUND reply, always released as a whole with xdr_free.
struct Decoded {
    COMPOUND4res res{};
    bool ok = false;
    explicit Decoded(const Bytes &bytes) {
        ok = nfs4_decode_received(reinterpret_cast<const char *>(bytes.data()),
                                  static_cast<uint32_t>(bytes.size()),
                                  reinterpret_cast<xdrproc_t>(xdr_COMPOUND4res), &res, sizeof res);
    }
    ~Decoded() {
        xdr_free(reinterpret_cast<xdrproc_t>(xdr_COMPOUND4res), reinterpret_cast<char *>(&res));
    }
    Decoded(const Decoded &) = delete;
    Decoded &operator=(const Decoded &) = delete;
};

// Encodes with the given routine; returns false when encoding fails.
template <typename T> bool encode(bool_t (*proc)(XDR *, T *), T *obj, Bytes *out) {
    Bytes buf(64 * 1024);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char *>(buf.data()), static_cast<u_int>(buf.size()),
                  XDR_ENCODE);
    bool ok = proc(&x, obj);
    buf.resize(xdr_getpos(&x));
    xdr_destroy(&x);
    *out = buf;
    return ok;
}

// One change-scan call's COMPOUND arguments, pointing into the given strings.
struct CallArgs {
    std::string tag, handle, hash;
    nfs_argop4 op{};
    COMPOUND4args args{};
    CallArgs(nfs_opnum4 opnum, std::string t, std::string h, std::string id)
        : tag(std::move(t)), handle(std::move(h)), hash(std::move(id)) {
        op.argop = opnum;
        // The three call records are laid out alike; fill whichever arm is selected.
        const auto fill = [this](auto &rec) {
            rec.session_handle.session_handle_len = static_cast<u_int>(handle.size());
            rec.session_handle.session_handle_val = handle.data();
            rec.session_id.session_id_len = static_cast<u_int>(hash.size());
            rec.session_id.session_id_val = hash.data();
        };
        if (opnum == OP_CQ_NEXT)
            fill(op.nfs_argop4_u.opcq_next);
        else if (opnum == OP_CQ_STATUS)
            fill(op.nfs_argop4_u.opcq_status);
        else if (opnum == OP_CQ_END)
            fill(op.nfs_argop4_u.opcq_end);
        args.tag.utf8string_len = static_cast<u_int>(tag.size());
        args.tag.utf8string_val = tag.data();
        args.minorversion = 0;
        args.argarray.argarray_len = 1;
        args.argarray.argarray_val = &op;
    }
};

uint32_t word_at(const Bytes &b, size_t off) {
    return (uint32_t{b.at(off)} << 24) | (uint32_t{b.at(off + 1)} << 16) |
           (uint32_t{b.at(off + 2)} << 8) | uint32_t{b.at(off + 3)};
}

// SHA-256("abc"): a realistic 64-character lowercase request hash.
constexpr std::string_view kHash =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// ---------------------------------------------------------------------------
// Arguments

struct ArgsCase {
    nfs_opnum4 op;
    uint32_t opnum;
    const char *tag;
    size_t tag_padded;
    size_t handle_len;
};

void PrintTo(const ArgsCase &c, std::ostream *os) {
    *os << c.tag << " n=" << c.handle_len;
}

class CompoundArgsLayout : public ::testing::TestWithParam<ArgsCase> {};

TEST_P(CompoundArgsLayout, MatchesTheByteLayoutTable) {
    const ArgsCase &c = GetParam();
    std::string handle;
    for (size_t i = 0; i < c.handle_len; i++)
        handle.push_back(static_cast<char>('A' + i % 26));
    CallArgs call(c.op, c.tag, handle, std::string(kHash));

    Bytes got;
    ASSERT_TRUE(encode(xdr_COMPOUND4args, &call.args, &got));

    const size_t tag_len = std::strlen(c.tag);
    const size_t p = (c.handle_len + 3) / 4 * 4;
    const size_t t = 4 + c.tag_padded; // where the minor version starts
    ASSERT_EQ(got.size(), t + 16 + p + 4 + 64);

    EXPECT_EQ(word_at(got, 0), tag_len);
    EXPECT_EQ(std::string(got.begin() + 4, got.begin() + 4 + tag_len), c.tag);
    for (size_t i = 4 + tag_len; i < t; i++)
        EXPECT_EQ(got[i], 0) << "tag padding at " << i;
    EXPECT_EQ(word_at(got, t), 0u);     // minor version
    EXPECT_EQ(word_at(got, t + 4), 1u); // one operation
    EXPECT_EQ(word_at(got, t + 8), c.opnum);
    EXPECT_EQ(word_at(got, t + 12), c.handle_len);
    EXPECT_EQ(std::string(got.begin() + t + 16, got.begin() + t + 16 + c.handle_len), handle);
    for (size_t i = t + 16 + c.handle_len; i < t + 16 + p; i++)
        EXPECT_EQ(got[i], 0) << "handle padding at " << i;
    EXPECT_EQ(word_at(got, t + 16 + p), 64u);
    EXPECT_EQ(std::string(got.begin() + t + 20 + p, got.end()), kHash);

    // The same bytes written by hand, as a whole.
    Wire w;
    w.opaque(c.tag).u32(0).u32(1).u32(c.opnum).opaque(handle).opaque(kHash);
    EXPECT_EQ(got, w.bytes());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CompoundArgsLayout,
    ::testing::Values(
        // The next call at offsets 0..32+p of the table: tag 7 bytes padded to 8.
        ArgsCase{OP_CQ_NEXT, 66, "CQ_NEXT", 8, 0}, ArgsCase{OP_CQ_NEXT, 66, "CQ_NEXT", 8, 1},
        ArgsCase{OP_CQ_NEXT, 66, "CQ_NEXT", 8, 36}, ArgsCase{OP_CQ_NEXT, 66, "CQ_NEXT", 8, 37},
        ArgsCase{OP_CQ_NEXT, 66, "CQ_NEXT", 8, 128},
        ArgsCase{OP_CQ_STATUS, 65, "CQ_STATUS", 12, 37}, ArgsCase{OP_CQ_END, 67, "CQ_END", 8, 37}));

TEST(CompoundArgs, NextCallFixedOffsets) {
    // n = 5, so p = 8: the hash starts at 32 + 8.
    CallArgs call(OP_CQ_NEXT, "CQ_NEXT", "hndl5", std::string(kHash));
    Bytes got;
    ASSERT_TRUE(encode(xdr_COMPOUND4args, &call.args, &got));
    ASSERT_EQ(got.size(), 32u + 8 + 64);
    EXPECT_EQ(word_at(got, 0), 7u);
    EXPECT_EQ(std::memcmp(got.data() + 4, "CQ_NEXT\0", 8), 0);
    EXPECT_EQ(word_at(got, 12), 0u);
    EXPECT_EQ(word_at(got, 16), 1u);
    EXPECT_EQ(word_at(got, 20), 66u);
    EXPECT_EQ(word_at(got, 24), 5u);
    EXPECT_EQ(std::memcmp(got.data() + 28, "hndl5\0\0\0", 8), 0);
    EXPECT_EQ(word_at(got, 28 + 8), 64u);
    EXPECT_EQ(std::memcmp(got.data() + 32 + 8, kHash.data(), 64), 0);
}

TEST(CompoundArgs, OversizedFieldsFailToEncode) {
    const std::string h128(128, 'h'), h129(129, 'h'), id129(129, 'i');
    Bytes out;
    CallArgs ok(OP_CQ_NEXT, "CQ_NEXT", h128, std::string(kHash));
    EXPECT_TRUE(encode(xdr_COMPOUND4args, &ok.args, &out));
    for (nfs_opnum4 op : {OP_CQ_NEXT, OP_CQ_STATUS, OP_CQ_END}) {
        CallArgs long_handle(op, "T", h129, std::string(kHash));
        EXPECT_FALSE(encode(xdr_COMPOUND4args, &long_handle.args, &out)) << op;
        CallArgs long_id(op, "T", h128, id129);
        EXPECT_FALSE(encode(xdr_COMPOUND4args, &long_id.args, &out)) << op;
    }
}

TEST(CompoundArgs, OperationWithoutArmFailsToEncode) {
    CallArgs call(OP_CQ_NEXT, "X", "h", std::string(kHash));
    Bytes out;
    call.op.argop = OP_PUTFH;
    EXPECT_FALSE(encode(xdr_COMPOUND4args, &call.args, &out));
    // OP_ILLEGAL carries no arguments: just the operation number.
    call.op.argop = OP_ILLEGAL;
    ASSERT_TRUE(encode(xdr_nfs_argop4, &call.op, &out));
    EXPECT_EQ(out, Wire().u32(10044).bytes());
}

TEST(CompoundArgs, StartRecordFieldOrderAndBounds) {
    std::string vol = "vol1", diff = "snapB", base = "snapA", proto = "nfs", cookie = "";
    CQ_START4args a{};
    a.request_magic = 0xC0FFEE01;
    a.vol_name = {static_cast<u_int>(vol.size()), vol.data()};
    a.diff_snap = {static_cast<u_int>(diff.size()), diff.data()};
    a.base_snap = {static_cast<u_int>(base.size()), base.data()};
    a.file_access_proto = {static_cast<u_int>(proto.size()), proto.data()};
    a.atime = 1;
    a.include_file_attr = 0;
    a.checkpointing = 1;
    a.include_i2p = 0;
    a.max_diffs = 12345;
    a.restart_cookie = {0, nullptr};
    Bytes out;
    ASSERT_TRUE(encode(xdr_CQ_START4args, &a, &out));
    Wire w;
    w.u32(0xC0FFEE01).opaque(vol).opaque(diff).opaque(base).opaque(proto);
    w.u32(1).u32(0).u32(1).u32(0).u32(12345).opaque("");
    EXPECT_EQ(out, w.bytes());

    std::string proto6 = "cifsxx";
    a.file_access_proto = {6, proto6.data()};
    EXPECT_FALSE(encode(xdr_CQ_START4args, &a, &out));
}

// ---------------------------------------------------------------------------
// Change records: fixed sizes on the wire

struct RecSizeCase {
    bool v2;
    size_t name_len;
    size_t wire_size;
};

void PrintTo(const RecSizeCase &c, std::ostream *os) {
    *os << (c.v2 ? "V2" : "V1") << " name=" << c.name_len;
}

class ChangeRecordSize : public ::testing::TestWithParam<RecSizeCase> {};

TEST_P(ChangeRecordSize, FixedFieldsThenPaddedName) {
    const RecSizeCase &c = GetParam();
    std::string name(c.name_len, 'n');
    Bytes out;
    if (c.v2) {
        tessel_chgscan_change_rec_V2 r{};
        r.scr_name = {static_cast<u_int>(name.size()), name.data()};
        ASSERT_TRUE(encode(xdr_tessel_chgscan_change_rec_V2, &r, &out));
    } else {
        tessel_chgscan_change_rec_V1 r{};
        r.scr_name = {static_cast<u_int>(name.size()), name.data()};
        ASSERT_TRUE(encode(xdr_tessel_chgscan_change_rec_V1, &r, &out));
    }
    EXPECT_EQ(out.size(), c.wire_size);
}

INSTANTIATE_TEST_SUITE_P(
    Records, ChangeRecordSize,
    ::testing::Values(RecSizeCase{false, 0, 76 + 4}, RecSizeCase{false, 5, 76 + 4 + 8},
                      RecSizeCase{false, 8, 76 + 4 + 8}, RecSizeCase{true, 0, 80 + 4},
                      RecSizeCase{true, 5, 80 + 4 + 8}, RecSizeCase{true, 9, 80 + 4 + 12}));

// ---------------------------------------------------------------------------
// Replies

// The COMPOUND header of a reply with one result.
Wire reply_head(uint32_t compound_status, std::string_view tag, uint32_t resop) {
    Wire w;
    w.u32(compound_status).opaque(tag).u32(1).u32(resop);
    return w;
}

const Rec kRecA{0x89ABCDEF, CHGSCAN_OP_INODE_MODIFIED,
                1,          -5,
                1700000000, 1700000100,
                1700000200, 1000,
                100,        0x20,
                0x10,       0x1'0000'0005ULL,
                2,          0,
                "a.txt"};
const Rec kRecB{0x1'0000'0002ULL, CHGSCAN_OP_DIR_DELETE, 2, 1, 2, 3, 4, 0, 0, 0, 0, 0, 1, 1, ""};

template <typename R> void expect_rec(const R &got, const Rec &want, uint64_t inode) {
    EXPECT_EQ(got.scr_inode_num, inode);
    EXPECT_EQ(got.scr_change_type, want.change_type);
    EXPECT_EQ(got.scr_ftype, want.ftype);
    EXPECT_EQ(got.scr_crtime, want.crtime);
    EXPECT_EQ(got.scr_mtime, want.mtime);
    EXPECT_EQ(got.scr_atime, want.atime);
    EXPECT_EQ(got.scr_ctime, want.ctime);
    EXPECT_EQ(got.scr_owner, want.owner);
    EXPECT_EQ(got.scr_group, want.group);
    EXPECT_EQ(got.scr_fattr, want.fattr);
    EXPECT_EQ(got.scr_dos_bits, want.dos_bits);
    EXPECT_EQ(got.scr_size, want.size);
    EXPECT_EQ(got.scr_links, want.links);
    EXPECT_EQ(got.scr_is_iofenced, want.iofenced);
    ASSERT_EQ(got.scr_name.scr_name_len, want.name.size());
    EXPECT_EQ(std::string(got.scr_name.scr_name_val, got.scr_name.scr_name_len), want.name);
}

TEST(NextReply, StatusZeroDecodesVersion1Records) {
    Wire w = reply_head(NFS4_OK, "CQ_NEXT", OP_CQ_NEXT);
    w.u32(NFS4_OK).u32(9).u32(42).u32(1).u32(2);
    put_rec(w, kRecA, false);
    put_rec(w, kRecB, false);
    w.opaque("cookie-1");
    Decoded d(w.bytes());
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.res.status, NFS4_OK);
    EXPECT_EQ(std::string(d.res.tag.utf8string_val, d.res.tag.utf8string_len), "CQ_NEXT");
    ASSERT_EQ(d.res.resarray.resarray_len, 1u);
    const nfs_resop4 &op = d.res.resarray.resarray_val[0];
    ASSERT_EQ(op.resop, OP_CQ_NEXT);
    const CQ_NEXT4res &next = op.nfs_resop4_u.opcq_next;
    ASSERT_EQ(next.status, NFS4_OK);
    const CQ_NEXT4resok_V1 &ok = next.CQ_NEXT4res_u.cq_next_resok_V1;
    EXPECT_EQ(ok.num_changes, 9u); // as sent, not the array's length
    EXPECT_EQ(ok.progress, 42u);
    EXPECT_EQ(ok.eof, 1);
    ASSERT_EQ(ok.crp.crp_len, 2u);
    expect_rec(ok.crp.crp_val[0], kRecA, 0x89ABCDEF);
    // A 32-bit inode: only the low word of kRecB's number went on the wire.
    expect_rec(ok.crp.crp_val[1], kRecB, 2);
    EXPECT_EQ(
        std::string(ok.restart_cookie.restart_cookie_val, ok.restart_cookie.restart_cookie_len),
        "cookie-1");
}

TEST(NextReply, Status50091DecodesVersion2Records) {
    Wire w = reply_head(NFS4_OK, "CQ_NEXT", OP_CQ_NEXT);
    w.u32(50091).u32(2).u32(100).u32(0).u32(2);
    put_rec(w, kRecB, true);
    put_rec(w, kRecA, true);
    w.opaque("");
    Decoded d(w.bytes());
    ASSERT_TRUE(d.ok);
    const CQ_NEXT4res &next = d.res.resarray.resarray_val[0].nfs_resop4_u.opcq_next;
    ASSERT_EQ(next.status, NFS4_CQ_SESSION_V2_OK);
    const CQ_NEXT4resok_V2 &ok = next.CQ_NEXT4res_u.cq_next_resok_V2;
    EXPECT_EQ(ok.num_changes, 2u);
    EXPECT_EQ(ok.progress, 100u);
    EXPECT_EQ(ok.eof, 0);
    ASSERT_EQ(ok.crp.crp_len, 2u);
    expect_rec(ok.crp.crp_val[0], kRecB, 0x1'0000'0002ULL);
    expect_rec(ok.crp.crp_val[1], kRecA, 0x89ABCDEF);
    EXPECT_EQ(ok.restart_cookie.restart_cookie_len, 0u);
}

TEST(NextReply, ZeroRecordsKeepsNumChangesAsSent) {
    for (uint32_t status : {uint32_t{NFS4_OK}, uint32_t{NFS4_CQ_SESSION_V2_OK}}) {
        Wire w = reply_head(NFS4_OK, "CQ_NEXT", OP_CQ_NEXT);
        w.u32(status).u32(5).u32(100).u32(1).u32(0).opaque("end");
        Decoded d(w.bytes());
        ASSERT_TRUE(d.ok) << status;
        const CQ_NEXT4res &next = d.res.resarray.resarray_val[0].nfs_resop4_u.opcq_next;
        const auto check = [](const auto &ok) {
            EXPECT_EQ(ok.num_changes, 5u);
            EXPECT_EQ(ok.crp.crp_len, 0u);
            EXPECT_EQ(ok.eof, 1);
            EXPECT_EQ(std::string(ok.restart_cookie.restart_cookie_val,
                                  ok.restart_cookie.restart_cookie_len),
                      "end");
        };
        if (status == NFS4_OK)
            check(next.CQ_NEXT4res_u.cq_next_resok_V1);
        else
            check(next.CQ_NEXT4res_u.cq_next_resok_V2);
    }
}

// Every status but 0 and 50091 carries just the error text.
class ErrorStatusReply : public ::testing::TestWithParam<uint32_t> {};

TEST_P(ErrorStatusReply, DecodesSessionError) {
    const uint32_t status = GetParam();
    struct {
        uint32_t op;
        std::string_view tag;
    } const calls[] = {{OP_CQ_NEXT, "CQ_NEXT"},
                       {OP_CQ_STATUS, "CQ_STATUS"},
                       {OP_CQ_END, "CQ_END"},
                       {OP_CQ_START, "CQ_START"}};
    for (const auto &c : calls) {
        Wire w = reply_head(status, c.tag, c.op);
        w.u32(status).opaque("session aborted by server");
        Decoded d(w.bytes());
        ASSERT_TRUE(d.ok) << c.tag;
        const nfs_resop4 &op = d.res.resarray.resarray_val[0];
        const char *err = nullptr;
        nfsstat4 got = NFS4_OK;
        switch (op.resop) {
        case OP_CQ_NEXT:
            got = op.nfs_resop4_u.opcq_next.status;
            err = op.nfs_resop4_u.opcq_next.CQ_NEXT4res_u.session_error;
            break;
        case OP_CQ_STATUS:
            got = op.nfs_resop4_u.opcq_status.status;
            err = op.nfs_resop4_u.opcq_status.CQ_STATUS4res_u.session_error;
            break;
        case OP_CQ_END:
            got = op.nfs_resop4_u.opcq_end.status;
            err = op.nfs_resop4_u.opcq_end.CQ_END4res_u.session_error;
            break;
        case OP_CQ_START:
            got = op.nfs_resop4_u.opcq_start.status;
            err = op.nfs_resop4_u.opcq_start.CQ_START4res_u.session_error;
            break;
        default:
            FAIL() << "unexpected operation " << op.resop;
        }
        EXPECT_EQ(static_cast<uint32_t>(got), status);
        ASSERT_NE(err, nullptr);
        EXPECT_STREQ(err, "session aborted by server");
    }
}

INSTANTIATE_TEST_SUITE_P(Statuses, ErrorStatusReply,
                         ::testing::Values(NFS4ERR_SERVERFAULT, NFS4ERR_COMMERROR,
                                           NFS4ERR_MAX_CQ_SESSIONS, NFS4ERR_CQ_SESSION_ABORTED,
                                           NFS4ERR_CQ_SESSION_RETRY));

TEST(StatusEndReply, OkCarriesSessionStatus) {
    {
        Wire w = reply_head(NFS4_OK, "CQ_STATUS", OP_CQ_STATUS);
        w.u32(NFS4_OK).opaque("RUNNING");
        Decoded d(w.bytes());
        ASSERT_TRUE(d.ok);
        const CQ_STATUS4res &r = d.res.resarray.resarray_val[0].nfs_resop4_u.opcq_status;
        ASSERT_EQ(r.status, NFS4_OK);
        EXPECT_STREQ(r.CQ_STATUS4res_u.cq_status_resok.session_status, "RUNNING");
    }
    {
        Wire w = reply_head(NFS4_OK, "CQ_END", OP_CQ_END);
        w.u32(NFS4_OK).opaque("ENDED");
        Decoded d(w.bytes());
        ASSERT_TRUE(d.ok);
        const CQ_END4res &r = d.res.resarray.resarray_val[0].nfs_resop4_u.opcq_end;
        ASSERT_EQ(r.status, NFS4_OK);
        EXPECT_STREQ(r.CQ_END4res_u.cq_end_resok.session_status, "ENDED");
    }
    {
        Wire w = reply_head(NFS4_OK, "CQ_START", OP_CQ_START);
        w.u32(NFS4_OK).opaque("hdl").opaque("sid").opaque("STARTED");
        Decoded d(w.bytes());
        ASSERT_TRUE(d.ok);
        const CQ_START4resok &r =
            d.res.resarray.resarray_val[0].nfs_resop4_u.opcq_start.CQ_START4res_u.cq_start_resok;
        EXPECT_STREQ(r.session_handle, "hdl");
        EXPECT_STREQ(r.session_id, "sid");
        EXPECT_STREQ(r.session_status, "STARTED");
    }
}

TEST(IllegalReply, DecodesToStatusAlone) {
    Wire w = reply_head(NFS4ERR_OP_ILLEGAL, "CQ_NEXT", OP_ILLEGAL);
    w.u32(NFS4ERR_OP_ILLEGAL);
    Decoded d(w.bytes());
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.res.status, NFS4ERR_OP_ILLEGAL);
    ASSERT_EQ(d.res.resarray.resarray_len, 1u);
    EXPECT_EQ(d.res.resarray.resarray_val[0].resop, OP_ILLEGAL);
    EXPECT_EQ(d.res.resarray.resarray_val[0].nfs_resop4_u.opillegal.status, 10044);
}

TEST(Reply, TwoResultsDecodeInOrder) {
    Wire w;
    w.u32(NFS4_OK).opaque("CQ_STATUS").u32(2);
    w.u32(OP_CQ_STATUS).u32(NFS4_OK).opaque("A");
    w.u32(OP_CQ_END).u32(NFS4_OK).opaque("B");
    Decoded d(w.bytes());
    ASSERT_TRUE(d.ok);
    ASSERT_EQ(d.res.resarray.resarray_len, 2u);
    EXPECT_STREQ(d.res.resarray.resarray_val[0]
                     .nfs_resop4_u.opcq_status.CQ_STATUS4res_u.cq_status_resok.session_status,
                 "A");
    EXPECT_STREQ(d.res.resarray.resarray_val[1]
                     .nfs_resop4_u.opcq_end.CQ_END4res_u.cq_end_resok.session_status,
                 "B");
}

// Replies that must not decode. Each is released by Decoded's xdr_free even
// though decoding stopped part-way; the leak checker verifies nothing stays.
struct BadReplyCase {
    const char *what;
    Bytes bytes;
};

std::vector<BadReplyCase> bad_replies() {
    std::vector<BadReplyCase> v;
    v.push_back({"unknown operation 68", reply_head(NFS4_OK, "T", 68).u32(0).bytes()});
    v.push_back(
        {"standard operation without an arm", reply_head(NFS4_OK, "T", OP_PUTFH).u32(0).bytes()});
    v.push_back({"error text above 128 bytes",
                 reply_head(1, "T", OP_CQ_NEXT).u32(1).opaque(std::string(129, 'e')).bytes()});
    v.push_back({"session status above 128 bytes",
                 reply_head(0, "T", OP_CQ_END).u32(0).opaque(std::string(129, 's')).bytes()});
    v.push_back({"restart cookie above 8191 bytes", reply_head(0, "T", OP_CQ_NEXT)
                                                        .u32(0)
                                                        .u32(0)
                                                        .u32(0)
                                                        .u32(1)
                                                        .u32(0)
                                                        .opaque(std::string(8192, 'c'))
                                                        .bytes()});
    {
        // Truncated inside the second record, after the first has been decoded.
        Wire w = reply_head(0, "T", OP_CQ_NEXT);
        w.u32(0).u32(2).u32(0).u32(0).u32(2);
        put_rec(w, kRecA, false);
        put_rec(w, kRecB, false);
        Bytes b = w.bytes();
        b.resize(b.size() - 8);
        v.push_back({"truncated record", b});
    }
    {
        // The name's length claims more than the reply holds.
        Wire w = reply_head(0, "T", OP_CQ_NEXT);
        w.u32(0).u32(1).u32(0).u32(0).u32(1);
        put_rec(w, Rec{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "abcd"}, false);
        Bytes b = w.bytes();
        b[b.size() - 7] = 0x01; // length 0x10004
        v.push_back({"name longer than the reply", b});
    }
    return v;
}

TEST(Reply, MalformedRepliesFailToDecode) {
    for (const BadReplyCase &c : bad_replies()) {
        Decoded d(c.bytes);
        EXPECT_FALSE(d.ok) << c.what;
    }
    // The cookie at exactly its bound still decodes.
    Decoded d(reply_head(0, "T", OP_CQ_NEXT)
                  .u32(0)
                  .u32(0)
                  .u32(0)
                  .u32(1)
                  .u32(0)
                  .opaque(std::string(8191, 'c'))
                  .bytes());
    EXPECT_TRUE(d.ok);
}

// The peak of this process's virtual memory, in KiB.
long vm_peak_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmPeak:", 0) == 0)
            return std::stol(line.substr(7));
    return -1;
}

// Counts that claim far more than the reply holds. Without a bound the
// decoder would allocate count times the item size (gigabytes) before
// finding out that the items are missing; the peak of virtual memory shows
// whether it did.
TEST(Reply, HostileCountsAreRefusedBeforeAllocating) {
    constexpr uint32_t kHugeCount = 1u << 24;
    std::vector<BadReplyCase> cases;
    {
        Wire w = reply_head(0, "T", OP_CQ_NEXT);
        w.u32(0).u32(1).u32(0).u32(0).u32(kHugeCount); // status, changes, progress, eof, count
        put_rec(w, kRecA, false);
        cases.push_back({"record count", w.bytes()});
    }
    {
        Wire w = reply_head(0, "T", OP_CQ_NEXT);
        w.u32(0).u32(1).u32(0).u32(0).u32(1);
        put_rec(w, Rec{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "abcdefgh"}, false);
        Bytes b = w.bytes();
        const size_t len_at = b.size() - 12; // the name's length word
        b[len_at] = 0x40, b[len_at + 1] = 0, b[len_at + 2] = 0, b[len_at + 3] = 0; // 1 GiB
        cases.push_back({"name length", b});
    }
    cases.push_back(
        {"result count",
         Wire().u32(0).opaque("T").u32(kHugeCount).u32(OP_ILLEGAL).u32(OP_ILLEGAL).bytes()});
    cases.push_back({"tag length", Wire().u32(0).u32(0x40000000).u32(0).bytes()});

    for (const BadReplyCase &c : cases) {
        // Each case in a fresh child: the peak only ever rises, so an earlier
        // case's allocation would hide a later one's.
        const std::vector<std::string> out = run_in_child([&c] {
            const long before = vm_peak_kib();
            Decoded d(c.bytes);
            return std::vector<std::string>{d.ok ? "decoded" : "refused",
                                            std::to_string(vm_peak_kib() - before)};
        });
        ASSERT_EQ(out.size(), 2u) << c.what;
        EXPECT_EQ(out[0], "refused") << c.what;
        EXPECT_LT(std::stol(out[1]), 64 * 1024) << c.what << ": KiB of virtual memory added";
    }
}

// A count at exactly what the bytes can hold still decodes: the bound is the
// fewest bytes an item takes (a V1 record with an empty name is 80 bytes).
TEST(Reply, CountAtTheBoundDecodes) {
    Wire w = reply_head(0, "T", OP_CQ_NEXT);
    w.u32(0).u32(3).u32(0).u32(1).u32(3); // status, changes, progress, eof, count
    for (int i = 0; i < 3; ++i)
        put_rec(w, Rec{static_cast<uint64_t>(i), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, ""}, false);
    w.u32(0); // empty restart cookie
    Decoded d(w.bytes());
    ASSERT_TRUE(d.ok);
    const CQ_NEXT4resok_V1 &batch =
        d.res.resarray.resarray_val[0].nfs_resop4_u.opcq_next.CQ_NEXT4res_u.cq_next_resok_V1;
    EXPECT_EQ(batch.crp.crp_len, 3u);
    EXPECT_EQ(batch.crp.crp_val[2].scr_inode_num, 2u);
}

} // namespace
