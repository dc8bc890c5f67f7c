// The OBEX phone driven directly: the client's requests are cut into OUT transfers of
// at most 4096 bytes, as the driver sends them, and handed to the phone's Receive; its
// response chunks are what the IN pipe would carry.
#include "sim/obex/phone.h"

#include "sim/usb/descriptors.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

namespace {

using namespace sim::obex;
using sim::usb::ObexPhone;

std::vector<uint8_t> Pattern(size_t size, unsigned seed)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; i++) {
        data[i] = static_cast<uint8_t>((i * seed) ^ (i >> 8));
    }
    return data;
}

std::string Text(const std::vector<uint8_t> &bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

class ObexPhoneTest : public ::testing::Test {
protected:
    Client NewClient(uint16_t maxPacket = 0x2000)
    {
        return Client(
            [this](const std::vector<uint8_t> &data) {
                for (size_t at = 0; at < data.size(); at += 4096) {
                    const size_t n = std::min<size_t>(4096, data.size() - at);
                    Deliver(std::vector<uint8_t>(data.begin() + at, data.begin() + at + n));
                }
                return true;
            },
            [this](uint8_t *buffer, size_t length) {
                if (in_.size() < length) {
                    return false;
                }
                std::copy(in_.begin(), in_.begin() + length, buffer);
                in_.erase(in_.begin(), in_.begin() + length);
                return true;
            },
            maxPacket);
    }
    void Deliver(const std::vector<uint8_t> &transfer)
    {
        for (const std::vector<uint8_t> &chunk : phone_.Receive(transfer)) {
            chunks_.push_back(chunk);
            in_.insert(in_.end(), chunk.begin(), chunk.end());
        }
    }
    // Sends raw bytes and returns the one response code they bring.
    uint8_t Raw(const std::vector<uint8_t> &bytes)
    {
        chunks_.clear();
        Deliver(bytes);
        EXPECT_EQ(chunks_.size(), 1u);
        in_.clear();
        return chunks_.empty() ? 0 : chunks_.back()[0];
    }

    Phone phone_{ObexPhone::kBulkIn, ObexPhone::kBulkOut};
    std::deque<uint8_t> in_;
    std::vector<std::vector<uint8_t>> chunks_;
};

TEST_F(ObexPhoneTest, FolderBrowsingSessionConnectsListsAndMovesAround)
{
    Client c = NewClient();
    ASSERT_EQ(c.Connect(kFolderBrowsing), kSuccess);
    EXPECT_EQ(c.Who(), kFolderBrowsing);
    ASSERT_TRUE(c.ConnectionId());
    EXPECT_EQ(c.PeerMaxPacket(), 0x2000);

    std::vector<uint8_t> body;
    ASSERT_EQ(c.Get(u"", kFolderListingType, body), kSuccess);
    std::string listing = Text(body);
    EXPECT_NE(listing.find("<folder-listing version=\"1.0\">"), std::string::npos) << listing;
    EXPECT_NE(listing.find("<folder name=\"telecom\"/>"), std::string::npos) << listing;
    EXPECT_NE(listing.find("<folder name=\"Pictures\"/>"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("<parent-folder/>"), std::string::npos) << listing;

    ASSERT_EQ(c.SetPath(u"telecom"), kSuccess);
    ASSERT_EQ(c.Get(u"", kFolderListingType, body), kSuccess);
    listing = Text(body);
    EXPECT_NE(listing.find("<parent-folder/>"), std::string::npos) << listing;
    EXPECT_NE(listing.find("<file name=\"devinfo.txt\" size=\"" + std::to_string(std::string(Phone::kDeviceInfo).size()) + "\"/>"),
              std::string::npos) << listing;
    ASSERT_EQ(c.Get(u"pb.vcf", "", body), kSuccess);
    EXPECT_EQ(Text(body), Phone::kPhonebook);

    EXPECT_EQ(c.SetPath(u"", true), kSuccess);            // up to the root
    EXPECT_EQ(c.SetPath(u"", true), kNotFound);           // nothing above the root
    EXPECT_EQ(c.SetPath(u"Missing"), kNotFound);
    EXPECT_EQ(c.SetPath(u"New", false, true), kSuccess);   // created
    EXPECT_EQ(c.SetPath(u"Pictures", true), kSuccess);    // up, then into a sibling
    ASSERT_EQ(c.Get(u"", kFolderListingType, body), kSuccess);
    EXPECT_EQ(Text(body).find("<file"), std::string::npos);
    EXPECT_EQ(c.SetPath(u""), kSuccess);                  // the root
    ASSERT_EQ(c.Get(u"", kFolderListingType, body), kSuccess);
    EXPECT_NE(Text(body).find("<folder name=\"New\"/>"), std::string::npos);

    EXPECT_EQ(c.Disconnect(), kSuccess);
    EXPECT_EQ(c.Get(u"", kFolderListingType, body), kForbidden);
}

TEST_F(ObexPhoneTest, InboxServesDeviceInformationPhonebookAndCapability)
{
    Client c = NewClient();
    ASSERT_EQ(c.Connect(), kSuccess);
    EXPECT_FALSE(c.ConnectionId());
    EXPECT_TRUE(c.Who().empty());
    std::vector<uint8_t> body;
    ASSERT_EQ(c.Get(u"telecom/devinfo.txt", "", body), kSuccess);
    EXPECT_EQ(Text(body), Phone::kDeviceInfo);
    ASSERT_EQ(c.Get(u"telecom/pb.vcf", "text/x-vcard", body), kSuccess);
    EXPECT_EQ(Text(body), Phone::kPhonebook);
    ASSERT_EQ(c.Get(u"", kCapabilityType, body), kSuccess);
    EXPECT_NE(Text(body).find("F9EC7BC4-953C-11D2-984E-525400DC9E09"), std::string::npos);

    // Headers spread over two GET packets: the first is answered with Continue alone.
    std::optional<Packet> r = c.Exchange(Packet{kGet, {}, {Header::Text(kName, u"telecom/pb.vcf")}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, kContinue);
    EXPECT_FALSE(r->Find(kBody) || r->Find(kEndOfBody));
    r = c.Exchange(Packet{kGet | kFinal, {}, {Header::Type("text/x-vcard")}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, kSuccess);
    ASSERT_TRUE(r->Find(kEndOfBody));
    EXPECT_EQ(Text(r->Find(kEndOfBody)->bytes), Phone::kPhonebook);
}

TEST_F(ObexPhoneTest, LargeGetComesInContinuePacketsWithinTheNegotiatedLength)
{
    const std::vector<uint8_t> big = Pattern(100000, 7);
    phone_.AddFile("Pictures/big.bin", big);
    Client c = NewClient(1024);
    ASSERT_EQ(c.Connect(kFolderBrowsing), kSuccess);
    ASSERT_EQ(c.SetPath(u"Pictures"), kSuccess);
    chunks_.clear();
    std::vector<uint8_t> body;
    ASSERT_EQ(c.Get(u"big.bin", "", body), kSuccess);
    EXPECT_EQ(body, big);
    ASSERT_EQ(chunks_.size(), (big.size() + 5 + 1018 - 1) / 1018);   // 1024 less 6 bytes of headers each
    for (size_t i = 0; i < chunks_.size(); i++) {
        EXPECT_LE(chunks_[i].size(), 1024u) << i;
        EXPECT_EQ(chunks_[i][0], i + 1 < chunks_.size() ? kContinue : kSuccess) << i;
    }
    // The first packet announces the length; the last carries End-of-Body.
    std::optional<Packet> first = Decode(chunks_.front(), 0);
    ASSERT_TRUE(first && first->Find(kLength));
    EXPECT_EQ(first->Find(kLength)->value, big.size());
    std::optional<Packet> last = Decode(chunks_.back(), 0);
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->Find(kEndOfBody));
}

// (A PUT of megabytes stored and fetched back whole is the default run's, tests/e2e.)
TEST_F(ObexPhoneTest, AbortEndsAPutInProgressAndNothingIsStoredAndAnEmptyPutDeletes)
{
    Client c = NewClient();
    ASSERT_EQ(c.Connect(kFolderBrowsing), kSuccess);
    std::optional<Packet> r = c.Exchange(Packet{kPut, {}, {Header::Text(kName, u"half.bin"), Header::Bytes(kBody, Pattern(500, 3))}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, kContinue);
    r = c.Exchange(Packet{kAbort, {}, {}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, kSuccess);
    // A final PUT packet now starts nothing: without a Name it is refused.
    r = c.Exchange(Packet{kPut | kFinal, {}, {Header::Bytes(kEndOfBody, Pattern(10, 3))}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, kBadRequest);
    EXPECT_FALSE(phone_.File("half.bin"));
    EXPECT_EQ(c.Put(u"whole.bin", Pattern(20, 3)), kSuccess);
    EXPECT_EQ(phone_.File("whole.bin"), Pattern(20, 3));
    EXPECT_EQ(c.Delete(u"whole.bin"), kSuccess);
    EXPECT_FALSE(phone_.File("whole.bin"));
    EXPECT_EQ(c.Delete(u"whole.bin"), kNotFound);
}

TEST_F(ObexPhoneTest, ErrorsAreAnsweredAndTheSessionGoesOn)
{
    EXPECT_EQ(Raw(Encode(Packet{kGet | kFinal, {}, {Header::Type(kCapabilityType)}})), kForbidden);   // not connected
    Client c = NewClient();
    EXPECT_EQ(c.Connect({1, 2, 3}), kServiceUnavailable);
    ASSERT_EQ(c.Connect(kFolderBrowsing), kSuccess);

    std::vector<uint8_t> body;
    EXPECT_EQ(c.Get(u"nothing.txt", "", body), kNotFound);
    EXPECT_EQ(c.Get(u"telecom/nothing.txt", "", body), kNotFound);
    EXPECT_EQ(c.Put(u"telecom/new.txt", Pattern(10, 1)), kForbidden);
    EXPECT_EQ(c.Delete(u"telecom/devinfo.txt"), kForbidden);
    EXPECT_TRUE(phone_.File("telecom/devinfo.txt"));
    EXPECT_EQ(c.Delete(u"telecom"), kForbidden);   // not empty
    ASSERT_EQ(c.SetPath(u"telecom"), kSuccess);
    EXPECT_EQ(c.SetPath(u"new", false, true), kForbidden);   // no folder made in a read-only one
    ASSERT_EQ(c.SetPath(u"", true), kSuccess);

    EXPECT_EQ(Raw({0x04, 0x00, 0x03}), kBadRequest);                                   // unknown opcode
    EXPECT_EQ(Raw({0x83, 0x00, 0x08, 0x01, 0x00, 0x09, 0x00, 'a'}), kBadRequest);      // header past the end
    EXPECT_EQ(Raw({0x83, 0x00, 0x01}), kBadRequest);                                   // length under 3
    EXPECT_EQ(Raw(Encode(Packet{kGet | kFinal, {}, {Header::Value(kConnectionId, *c.ConnectionId() + 1),
                                                     Header::Type(kCapabilityType)}})),
              kServiceUnavailable);

    // Still connected, and a request cut into single bytes is answered once, whole.
    const std::vector<uint8_t> request = Encode(Packet{kGet | kFinal, {}, {Header::Text(kName, u"telecom/devinfo.txt")}});
    chunks_.clear();
    for (uint8_t byte : request) {
        EXPECT_TRUE(chunks_.empty());
        Deliver({byte});
    }
    ASSERT_EQ(chunks_.size(), 1u);
    std::optional<Packet> r = Decode(chunks_[0], 0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->code, kSuccess);
    ASSERT_TRUE(r->Find(kEndOfBody));
    EXPECT_EQ(Text(r->Find(kEndOfBody)->bytes), Phone::kDeviceInfo);
}

}  // namespace
