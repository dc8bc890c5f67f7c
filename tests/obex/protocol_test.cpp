// OBEX packets: what encodes decodes back to the same packet, the bytes on the wire are
// big-endian with counted lengths, and no malformed packet is read past its end.
#include "sim/obex/protocol.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace sim::obex;

// Decodes from a heap block exactly as large as the packet, so that a read past the
// end lands outside the block.
std::optional<Packet> DecodeExact(const std::vector<uint8_t> &bytes, size_t fields)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return Decode(std::span<const uint8_t>(copy.get(), bytes.size()), fields);
}

Packet Sample()
{
    Packet p{kConnect, {kVersion, 0, 0x20, 0x00}, {}};
    p.headers.push_back(Header::Text(kName, u"na\u00EFve \u20AC.txt"));
    p.headers.push_back(Header::Type("text/x-vcard"));
    p.headers.push_back(Header::Value(kLength, 0x01020304));
    p.headers.push_back(Header::Bytes(kTarget, kFolderBrowsing));
    p.headers.push_back(Header::Value(0x97, 0x01));   // a one-byte header
    p.headers.push_back(Header::Text(kDescription, u""));
    p.headers.push_back(Header::Bytes(kEndOfBody, {}));
    return p;
}

TEST(ObexProtocol, EveryHeaderFormRoundTrips)
{
    const Packet p = Sample();
    const std::vector<uint8_t> bytes = Encode(p);
    ASSERT_EQ(*PacketLength(bytes), bytes.size());
    std::optional<Packet> q = DecodeExact(bytes, FieldsFor(kConnect));
    ASSERT_TRUE(q);
    EXPECT_EQ(q->code, p.code);
    EXPECT_EQ(q->fields, p.fields);
    ASSERT_EQ(q->headers.size(), p.headers.size());
    for (size_t i = 0; i < p.headers.size(); i++) {
        EXPECT_EQ(q->headers[i].id, p.headers[i].id) << i;
        EXPECT_EQ(q->headers[i].text, p.headers[i].text) << i;
        EXPECT_EQ(q->headers[i].bytes, p.headers[i].bytes) << i;
        EXPECT_EQ(q->headers[i].value, p.headers[i].value) << i;
    }
    EXPECT_EQ(q->TypeText(), "text/x-vcard");
}

TEST(ObexProtocol, WireFormIsBigEndianWithCountedLengths)
{
    Packet p{kPut | kFinal, {}, {Header::Text(kName, u"a"), Header::Value(kConnectionId, 0xA1B2C3D4),
                                 Header::Bytes(kBody, {0x55})}};
    const std::vector<uint8_t> expected = {0x82, 0x00, 0x13,                     // PUT, final, 19 bytes
                                           0x01, 0x00, 0x07, 0x00, 'a', 0x00, 0x00,  // Name "a" + NUL
                                           0xCB, 0xA1, 0xB2, 0xC3, 0xD4,          // Connection Id
                                           0x48, 0x00, 0x04, 0x55};               // Body
    EXPECT_EQ(Encode(p), expected);
    EXPECT_EQ(Utf8(u"\u00E9\u20AC\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(ObexProtocol, MalformedPacketsAreRefused)
{
    const std::vector<std::vector<uint8_t>> bad = {
        {0x83, 0x00, 0x02},                               // length shorter than the packet header
        {0x83, 0x00, 0x04},                               // length longer than the data
        {0x83, 0x00, 0x03, 0x00},                         // data longer than the length
        {0x80, 0x00, 0x05, 0x10, 0x00},                   // CONNECT's fields cut short
        {0x83, 0x00, 0x05, 0x01, 0x00},                   // text header without its length
        {0x83, 0x00, 0x08, 0x01, 0x00, 0x09, 0x00, 'a'},  // text header running past the packet
        {0x83, 0x00, 0x07, 0x01, 0x00, 0x04, 'a'},        // odd text length, lengths consistent
        {0x83, 0x00, 0x06, 0x48, 0x00, 0x02},             // byte sequence shorter than its header
        {0x83, 0x00, 0x04, 0x97},                         // one-byte header without its byte
        {0x83, 0x00, 0x07, 0xCB, 0x00, 0x00, 0x01},       // four-byte header cut short
    };
    for (size_t i = 0; i < bad.size(); i++) {
        EXPECT_FALSE(DecodeExact(bad[i], i == 3 ? 4 : 0)) << "case " << i;
    }
    EXPECT_FALSE(PacketLength(std::vector<uint8_t>{0x83, 0x00}));
}

TEST(ObexProtocol, EveryTruncationWithAPatchedLengthDecodesOrFailsWithinItsBytes)
{
    const std::vector<uint8_t> whole = Encode(Sample());
    int decoded = 0;
    for (size_t n = 7; n < whole.size(); n++) {
        std::vector<uint8_t> cut(whole.begin(), whole.begin() + n);
        cut[1] = static_cast<uint8_t>(n >> 8);
        cut[2] = static_cast<uint8_t>(n);
        std::optional<Packet> p = DecodeExact(cut, 4);
        if (p) {
            decoded++;
            // Only a cut at a header boundary decodes, and then to a prefix of the headers.
            EXPECT_LT(p->headers.size(), Sample().headers.size()) << n;
            EXPECT_EQ(Encode(*p), cut) << n;
        }
    }
    EXPECT_EQ(decoded, static_cast<int>(Sample().headers.size()));   // the cuts at 7 and after each header but the last
}

}  // namespace
