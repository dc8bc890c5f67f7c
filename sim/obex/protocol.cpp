// OBEX packet and header encoding and decoding, and the client built on them.
#include "sim/obex/protocol.h"

#include "sim/rtl/rtl.h"

#include <algorithm>

namespace sim::obex {

const std::vector<uint8_t> kFolderBrowsing = {0xF9, 0xEC, 0x7B, 0xC4, 0x95, 0x3C, 0x11, 0xD2,
                                              0x98, 0x4E, 0x52, 0x54, 0x00, 0xDC, 0x9E, 0x09};

namespace {

enum Form : uint8_t { kTextForm = 0x00, kBytesForm = 0x40, kByteForm = 0x80, kWordForm = 0xC0 };

Form FormOf(uint8_t id)
{
    return static_cast<Form>(id & 0xC0);
}

void Put16(std::vector<uint8_t> &out, size_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

uint16_t Get16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

Header Header::Text(uint8_t id, std::u16string text)
{
    Header h;
    h.id = id;
    h.text = std::move(text);
    return h;
}

Header Header::Bytes(uint8_t id, std::vector<uint8_t> bytes)
{
    Header h;
    h.id = id;
    h.bytes = std::move(bytes);
    return h;
}

Header Header::Type(const std::string &type)
{
    std::vector<uint8_t> bytes(type.begin(), type.end());
    bytes.push_back(0);
    return Bytes(kType, std::move(bytes));
}

Header Header::Value(uint8_t id, uint32_t value)
{
    Header h;
    h.id = id;
    h.value = value;
    return h;
}

size_t Header::EncodedSize() const
{
    switch (FormOf(id)) {
    case kTextForm:
        // An empty name is sent as the bare header, without a terminator.
        return 3 + (text.empty() ? 0 : 2 * (text.size() + 1));
    case kBytesForm:
        return 3 + bytes.size();
    case kByteForm:
        return 2;
    case kWordForm:
        return 5;
    }
    return 0;
}

const Header *Packet::Find(uint8_t id) const
{
    for (const Header &h : headers) {
        if (h.id == id) {
            return &h;
        }
    }
    return nullptr;
}

std::string Packet::TypeText() const
{
    const Header *h = Find(kType);
    if (h == nullptr) {
        return {};
    }
    std::string text(h->bytes.begin(), h->bytes.end());
    while (!text.empty() && text.back() == '\0') {
        text.pop_back();
    }
    return text;
}

size_t FieldsFor(uint8_t requestOpcode)
{
    switch (requestOpcode) {
    case kConnect:
        return 4;
    case kSetPath:
        return 2;
    default:
        return 0;
    }
}

std::optional<uint16_t> PacketLength(std::span<const uint8_t> data)
{
    if (data.size() < kPacketHeader) {
        return std::nullopt;
    }
    return Get16(data.data() + 1);
}

std::vector<uint8_t> Encode(const Packet &packet)
{
    size_t total = kPacketHeader + packet.fields.size();
    for (const Header &h : packet.headers) {
        total += h.EncodedSize();
    }
    if (total > 0xFFFF) {
        return {};
    }
    std::vector<uint8_t> out;
    out.reserve(total);
    out.push_back(packet.code);
    Put16(out, total);
    out.insert(out.end(), packet.fields.begin(), packet.fields.end());
    for (const Header &h : packet.headers) {
        out.push_back(h.id);
        switch (FormOf(h.id)) {
        case kTextForm:
            Put16(out, h.EncodedSize());
            if (!h.text.empty()) {
                for (char16_t c : h.text) {
                    Put16(out, c);
                }
                Put16(out, 0);
            }
            break;
        case kBytesForm:
            Put16(out, h.EncodedSize());
            out.insert(out.end(), h.bytes.begin(), h.bytes.end());
            break;
        case kByteForm:
            out.push_back(static_cast<uint8_t>(h.value));
            break;
        case kWordForm:
            Put16(out, h.value >> 16);
            Put16(out, h.value & 0xFFFF);
            break;
        }
    }
    return out;
}

std::optional<Packet> Decode(std::span<const uint8_t> data, size_t fields)
{
    std::optional<uint16_t> length = PacketLength(data);
    if (!length || *length != data.size() || *length < kPacketHeader + fields) {
        return std::nullopt;
    }
    Packet packet;
    packet.code = data[0];
    packet.fields.assign(data.begin() + kPacketHeader, data.begin() + kPacketHeader + fields);
    size_t at = kPacketHeader + fields;
    while (at < data.size()) {
        const size_t left = data.size() - at;
        Header h;
        h.id = data[at];
        switch (FormOf(h.id)) {
        case kTextForm:
        case kBytesForm: {
            if (left < 3) {
                return std::nullopt;
            }
            const size_t size = Get16(&data[at + 1]);
            if (size < 3 || size > left) {
                return std::nullopt;
            }
            const uint8_t *p = &data[at + 3];
            const size_t n = size - 3;
            if (FormOf(h.id) == kBytesForm) {
                h.bytes.assign(p, p + n);
            } else {
                if (n % 2 != 0) {
                    return std::nullopt;
                }
                for (size_t i = 0; i < n; i += 2) {
                    h.text.push_back(static_cast<char16_t>(Get16(p + i)));
                }
                if (!h.text.empty() && h.text.back() == u'\0') {
                    h.text.pop_back();
                }
            }
            at += size;
            break;
        }
        case kByteForm:
            if (left < 2) {
                return std::nullopt;
            }
            h.value = data[at + 1];
            at += 2;
            break;
        case kWordForm:
            if (left < 5) {
                return std::nullopt;
            }
            h.value = (uint32_t{Get16(&data[at + 1])} << 16) | Get16(&data[at + 3]);
            at += 5;
            break;
        }
        packet.headers.push_back(std::move(h));
    }
    return packet;
}

std::u16string Widen(const std::string &ascii)
{
    return sim::rtl::Widen(ascii);
}

std::string Utf8(const std::u16string &text)
{
    return sim::rtl::Narrow(text);
}

// ---- the client

Client::Client(Write write, Read read, uint16_t maxPacket)
    : write_(std::move(write)), read_(std::move(read)), maxPacket_(std::max(maxPacket, kMinimumPacket))
{
}

std::optional<Packet> Client::ReadResponse(uint8_t requestOpcode)
{
    std::vector<uint8_t> data(kPacketHeader);
    if (!read_(data.data(), data.size())) {
        return std::nullopt;
    }
    const uint16_t length = *PacketLength(data);
    if (length < kPacketHeader) {
        return std::nullopt;
    }
    data.resize(length);
    if (length > kPacketHeader && !read_(data.data() + kPacketHeader, length - kPacketHeader)) {
        return std::nullopt;
    }
    return Decode(data, requestOpcode == kConnect ? 4 : 0);
}

std::optional<Packet> Client::Exchange(Packet request)
{
    if (connectionId_ && request.code != kConnect && request.Find(kConnectionId) == nullptr) {
        request.headers.insert(request.headers.begin(), Header::Value(kConnectionId, *connectionId_));
    }
    std::vector<uint8_t> data = Encode(request);
    if (data.empty() || !write_(data)) {
        return std::nullopt;
    }
    return ReadResponse(request.code);
}

uint8_t Client::Connect(const std::vector<uint8_t> &target)
{
    Packet request{kConnect, {kVersion, 0, static_cast<uint8_t>(maxPacket_ >> 8), static_cast<uint8_t>(maxPacket_)}, {}};
    if (!target.empty()) {
        request.headers.push_back(Header::Bytes(kTarget, target));
    }
    connectionId_.reset();
    who_.clear();
    std::optional<Packet> response = Exchange(std::move(request));
    if (!response || response->fields.size() != 4) {
        return 0;
    }
    if (response->code == kSuccess) {
        const uint16_t peer = Get16(&response->fields[2]);
        peerMax_ = std::clamp<uint16_t>(peer, kMinimumPacket, maxPacket_);
        if (const Header *h = response->Find(kConnectionId)) {
            connectionId_ = h->value;
        }
        if (const Header *h = response->Find(kWho)) {
            who_ = h->bytes;
        }
    }
    return response->code;
}

uint8_t Client::Disconnect()
{
    std::optional<Packet> response = Exchange(Packet{kDisconnect, {}, {}});
    connectionId_.reset();
    return response ? response->code : 0;
}

uint8_t Client::SetPath(const std::u16string &name, bool up, bool create)
{
    Packet request{kSetPath, {static_cast<uint8_t>((up ? kSetPathBackup : 0) | (create ? 0 : kSetPathNoCreate)), 0}, {}};
    if (!name.empty() || !up) {
        request.headers.push_back(Header::Text(kName, name));
    }
    std::optional<Packet> response = Exchange(std::move(request));
    return response ? response->code : 0;
}

uint8_t Client::Get(const std::u16string &name, const std::string &type, std::vector<uint8_t> &body)
{
    body.clear();
    Packet request{kGet | kFinal, {}, {}};
    if (!name.empty()) {
        request.headers.push_back(Header::Text(kName, name));
    }
    if (!type.empty()) {
        request.headers.push_back(Header::Type(type));
    }
    for (;;) {
        std::optional<Packet> response = Exchange(std::move(request));
        if (!response) {
            return 0;
        }
        for (const Header &h : response->headers) {
            if (h.id == kBody || h.id == kEndOfBody) {
                body.insert(body.end(), h.bytes.begin(), h.bytes.end());
            }
        }
        if (progress_) {
            progress_(body.size());
        }
        if (response->code != kContinue) {
            return response->code;
        }
        request = Packet{kGet | kFinal, {}, {}};
    }
}

uint8_t Client::Put(const std::u16string &name, const std::vector<uint8_t> &body)
{
    Packet request{kPut, {}, {Header::Text(kName, name), Header::Value(kLength, static_cast<uint32_t>(body.size()))}};
    size_t sent = 0;
    for (;;) {
        size_t used = kPacketHeader + 3 + (connectionId_ ? 5 : 0);
        for (const Header &h : request.headers) {
            used += h.EncodedSize();
        }
        if (used >= peerMax_) {
            return 0;   // a name too long for one packet
        }
        const size_t room = peerMax_ - used;
        const size_t n = std::min(room, body.size() - sent);
        const bool last = sent + n == body.size();
        request.headers.push_back(Header::Bytes(last ? kEndOfBody : kBody,
                                                std::vector<uint8_t>(body.begin() + sent, body.begin() + sent + n)));
        if (last) {
            request.code |= kFinal;
        }
        std::optional<Packet> response = Exchange(std::move(request));
        if (!response) {
            return 0;
        }
        sent += n;
        if (progress_) {
            progress_(sent);
        }
        if (last || response->code != kContinue) {
            return response->code;
        }
        request = Packet{kPut, {}, {}};
    }
}

uint8_t Client::Delete(const std::u16string &name)
{
    std::optional<Packet> response = Exchange(Packet{kPut | kFinal, {}, {Header::Text(kName, name)}});
    return response ? response->code : 0;
}

}  // namespace sim::obex
