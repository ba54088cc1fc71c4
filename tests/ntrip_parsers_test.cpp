// The caster's parsers of bytes from the network: request heads, Basic credentials and the
// chunked coding of NTRIP 2.0 sources, fed however the network splits them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntrip/chunked_decoder.h"
#include "ntrip/http_head.h"

namespace orvana::ntrip {
namespace {

TEST(NtripHead, RequestsOfBothVersionsAndSourcesParseWhole) {
    HttpHead h;
    size_t used = 0;
    const std::string get =
        "GET /BASE?x=1 HTTP/1.1\r\nHost: a\r\nntrip-version:  Ntrip/2.0 \r\n\r\nREST";
    ASSERT_EQ(ParseHttpHead(get, &h, &used), HeadParse::kDone);
    EXPECT_EQ(h.method, "GET");
    EXPECT_EQ(h.target, "/BASE?x=1");
    EXPECT_EQ(h.version, "HTTP/1.1");
    EXPECT_EQ(h.Field("Ntrip-Version"), "Ntrip/2.0");  // any case, trimmed
    EXPECT_EQ(get.substr(used), "REST");
    // Every cut before the empty line needs more.
    for (size_t n = 0; n < used; ++n)
        EXPECT_EQ(ParseHttpHead(get.substr(0, n), &h, &used), HeadParse::kNeedMore) << n;

    ASSERT_EQ(ParseHttpHead("SOURCE pass word MOUNT\n\n", &h, &used), HeadParse::kDone);
    EXPECT_EQ(h.source_password, "pass word");
    EXPECT_EQ(h.target, "/MOUNT");
    ASSERT_EQ(ParseHttpHead("SOURCE  /M\r\n\r\n", &h, &used), HeadParse::kDone);
    EXPECT_EQ(h.source_password, "");
    EXPECT_EQ(h.target, "/M");
}

TEST(NtripHead, RefusesWhatIsNoHead) {
    HttpHead h;
    size_t used = 0;
    EXPECT_EQ(ParseHttpHead("GET\r\n\r\n", &h, &used), HeadParse::kBad);
    EXPECT_EQ(ParseHttpHead("GET / HTTP/1.0\r\nNoColon\r\n\r\n", &h, &used), HeadParse::kBad);
    EXPECT_EQ(ParseHttpHead("GET / HTTP/1.0\r\nA: b\x01\r\n\r\n", &h, &used), HeadParse::kBad);
    EXPECT_EQ(ParseHttpHead("SOURCE nomount\r\n\r\n", &h, &used), HeadParse::kBad);
    EXPECT_EQ(ParseHttpHead(std::string(kMaxHeadBytes, 'G'), &h, &used), HeadParse::kBad);
    std::string many = "GET / HTTP/1.0\r\n";
    for (size_t i = 0; i <= kMaxHeaderFields; ++i) many += "A: b\r\n";
    EXPECT_EQ(ParseHttpHead(many + "\r\n", &h, &used), HeadParse::kBad);
}

TEST(NtripHead, BasicCredentialsAndBase64) {
    std::string user, password;
    ASSERT_TRUE(ParseBasicAuthorization("basic " + Base64Encode("ann:p:w"), &user, &password));
    EXPECT_EQ(user, "ann");
    EXPECT_EQ(password, "p:w");
    EXPECT_FALSE(ParseBasicAuthorization("Digest abc", &user, &password));
    EXPECT_FALSE(ParseBasicAuthorization("Basic " + Base64Encode("nocolon"), &user, &password));
    EXPECT_FALSE(ParseBasicAuthorization("Basic a$==", &user, &password));
    for (const std::string& text :
         std::vector<std::string>{"", "a", "ab", "abc", "abcd", std::string("\0\xff", 2)}) {
        std::string back;
        ASSERT_TRUE(Base64Decode(Base64Encode(text), &back));
        EXPECT_EQ(back, text);
    }
    std::string out;
    EXPECT_FALSE(Base64Decode("abc", &out));
    EXPECT_FALSE(Base64Decode("a=bc", &out));
}

TEST(NtripChunks, DecodesHoweverTheBytesAreSplit) {
    const std::string coded = "5\r\nhello\r\n1;name=v\r\n \r\nA\r\n0123456789\r\n0\r\nX: y\r\n\r\n";
    for (size_t cut = 0; cut <= coded.size(); ++cut) {
        ChunkedDecoder d;
        std::string out;
        ASSERT_TRUE(d.Feed(coded.substr(0, cut), &out));
        ASSERT_TRUE(d.Feed(coded.substr(cut), &out));
        EXPECT_EQ(out, "hello 0123456789") << cut;
        EXPECT_TRUE(d.ended());
    }
    ChunkedDecoder one_by_one;
    std::string out;
    for (char c : coded) ASSERT_TRUE(one_by_one.Feed(std::string(1, c), &out));
    EXPECT_EQ(out, "hello 0123456789");
}

TEST(NtripChunks, BrokenCodingStaysBroken) {
    auto broken = [](const std::string& coded) {
        ChunkedDecoder d;
        std::string out;
        const bool first = d.Feed(coded, &out);
        return !first && !d.Feed("1\r\nx\r\n", &out);
    };
    EXPECT_TRUE(broken("zz\r\n"));
    EXPECT_TRUE(broken("3\r\nabcX\r\n"));  // no line end after data
    EXPECT_TRUE(broken("FFFFFFFFF\r\n"));  // too many digits
    EXPECT_TRUE(broken(std::to_string(ChunkedDecoder::kMaxChunk + 1) + "\r\n"));  // hex, too big
    EXPECT_TRUE(broken(std::string(ChunkedDecoder::kMaxSizeLine + 1, '1')));
}

}  // namespace
}  // namespace orvana::ntrip
