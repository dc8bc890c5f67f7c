// OBEX packets as they travel over the phone's bulk pipes: encoding and decoding of
// requests and responses and their headers, shared by the phone model and by the
// program's OBEX client; and a small client that speaks OBEX over any byte transport
// (the COM port, or the phone model directly in tests).
//
// A packet is an opcode (requests) or response code (responses) byte, a 16-bit
// big-endian length that counts the whole packet, the fixed fields of CONNECT (version,
// flags, maximum packet length) or SETPATH (flags, constants), then headers. A header's
// identifier says its form in the two high bits: 0x00 text (UTF-16BE, NUL-terminated,
// with a 2-byte length), 0x40 bytes (with a 2-byte length), 0x80 one byte, 0xC0 four
// bytes. Lengths always include the identifier and the length field itself.
//
// Plain data and functions; any thread. The Client is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>
#include <utility>

namespace sim::obex {

// ---- request opcodes (the final bit is 0x80; CONNECT, DISCONNECT, SETPATH and ABORT
// are always final)
inline constexpr uint8_t kFinal = 0x80;
inline constexpr uint8_t kConnect = 0x80;
inline constexpr uint8_t kDisconnect = 0x81;
inline constexpr uint8_t kPut = 0x02;
inline constexpr uint8_t kGet = 0x03;
inline constexpr uint8_t kSetPath = 0x85;
inline constexpr uint8_t kAbort = 0xFF;

// ---- response codes (always with the final bit)
inline constexpr uint8_t kContinue = 0x90;
inline constexpr uint8_t kSuccess = 0xA0;
inline constexpr uint8_t kBadRequest = 0xC0;
inline constexpr uint8_t kForbidden = 0xC3;
inline constexpr uint8_t kNotFound = 0xC4;
inline constexpr uint8_t kNotAcceptable = 0xC6;
inline constexpr uint8_t kInternalError = 0xD0;
inline constexpr uint8_t kServiceUnavailable = 0xD3;

// ---- header identifiers
inline constexpr uint8_t kName = 0x01;
inline constexpr uint8_t kDescription = 0x05;
inline constexpr uint8_t kType = 0x42;
inline constexpr uint8_t kLength = 0xC3;
inline constexpr uint8_t kTarget = 0x46;
inline constexpr uint8_t kBody = 0x48;
inline constexpr uint8_t kEndOfBody = 0x49;
inline constexpr uint8_t kWho = 0x4A;
inline constexpr uint8_t kConnectionId = 0xCB;

// ---- SETPATH flags
inline constexpr uint8_t kSetPathBackup = 0x01;     // up one level before applying Name
inline constexpr uint8_t kSetPathNoCreate = 0x02;   // a missing folder is not created

inline constexpr uint8_t kVersion = 0x10;
inline constexpr uint16_t kMinimumPacket = 255;     // every peer takes packets this large
inline constexpr size_t kPacketHeader = 3;          // opcode/response and length

// The folder-browsing service's target, sent in CONNECT and echoed back as Who.
extern const std::vector<uint8_t> kFolderBrowsing;
// Types of the objects a phone serves by type alone.
inline constexpr char kFolderListingType[] = "x-obex/folder-listing";
inline constexpr char kCapabilityType[] = "x-obex/capability";

struct Header {
    uint8_t id = 0;
    // Text headers: the text without its terminating NUL.
    std::u16string text;
    // Byte-sequence headers (a Type keeps its terminating NUL here, as sent).
    std::vector<uint8_t> bytes;
    // One-byte and four-byte headers.
    uint32_t value = 0;

    static Header Text(uint8_t id, std::u16string text);
    static Header Bytes(uint8_t id, std::vector<uint8_t> bytes);
    // A Type header: ASCII with its terminating NUL.
    static Header Type(const std::string &type);
    static Header Value(uint8_t id, uint32_t value);
    // Bytes this header takes in a packet.
    size_t EncodedSize() const;
};

struct Packet {
    uint8_t code = 0;              // opcode or response code
    std::vector<uint8_t> fields;   // CONNECT's 4 or SETPATH's 2 fixed bytes, else empty
    std::vector<Header> headers;

    // The first header with `id`, or NULL.
    const Header *Find(uint8_t id) const;
    // A Type header's text without its NUL, "" when absent.
    std::string TypeText() const;
};

// The fixed fields that follow the length in a request with this opcode (4 for
// CONNECT, 2 for SETPATH, 0 otherwise). A CONNECT response has 4 too; the reader of a
// response knows which request it answers.
size_t FieldsFor(uint8_t requestOpcode);

// The packet's length from its first three bytes; nullopt while fewer have arrived.
std::optional<uint16_t> PacketLength(std::span<const uint8_t> data);

// Encodes a packet (its length filled in). Empty when it would exceed 65535 bytes.
std::vector<uint8_t> Encode(const Packet &packet);

// Decodes exactly one packet of `data` with `fields` fixed bytes after the length.
// nullopt when the length field disagrees with data.size(), the fixed fields or a
// header run past the packet, a length is shorter than its own header, or a text
// header has an odd length. Never reads outside `data`.
std::optional<Packet> Decode(std::span<const uint8_t> data, size_t fields);

// Conversions for names and listings.
std::u16string Widen(const std::string &ascii);
std::string Utf8(const std::u16string &text);

// ---- the client
//
// Speaks OBEX over a byte stream: `write` sends all of its bytes (false on failure),
// `read` fills exactly `length` bytes (false on failure or timeout). Each call sends
// one request (or several for a GET or PUT that spans packets) and waits for each
// response; an operation's result is the last response code, or 0 when the transport
// failed or a response could not be decoded.
class Client {
public:
    using Write = std::function<bool(const std::vector<uint8_t> &data)>;
    using Read = std::function<bool(uint8_t *buffer, size_t length)>;

    Client(Write write, Read read, uint16_t maxPacket = 0x2000);

    // CONNECT, with `target` (empty: the inbox). On success the server's maximum packet
    // length and any Connection Id and Who are kept for the requests that follow.
    uint8_t Connect(const std::vector<uint8_t> &target = {});
    uint8_t Disconnect();
    // SETPATH: into `name`; up a level (then into `name` if not empty) when `up`; to
    // the root with neither.
    uint8_t SetPath(const std::u16string &name, bool up = false, bool create = false);
    // GET by name and/or type; the object's bytes go to `body`.
    uint8_t Get(const std::u16string &name, const std::string &type, std::vector<uint8_t> &body);
    // PUT of `body` under `name`, in as many packets as the negotiated length needs.
    uint8_t Put(const std::u16string &name, const std::vector<uint8_t> &body);
    // PUT without a body: deletes `name`.
    uint8_t Delete(const std::u16string &name);
    // Sends one request as given (Connection Id added when connected) and returns the
    // decoded response, nullopt on transport or decoding failure. For tests and for
    // operations the calls above do not cover (an ABORT in the middle of a PUT, ...).
    std::optional<Packet> Exchange(Packet request);

    // Called after each packet of a GET or PUT with the body bytes moved so far (for a
    // progress display); none by default.
    using Progress = std::function<void(size_t bytes)>;
    void SetProgress(Progress progress) { progress_ = std::move(progress); }

    uint16_t PeerMaxPacket() const { return peerMax_; }
    std::optional<uint32_t> ConnectionId() const { return connectionId_; }
    const std::vector<uint8_t> &Who() const { return who_; }

private:
    std::optional<Packet> ReadResponse(uint8_t requestOpcode);

    Write write_;
    Read read_;
    uint16_t maxPacket_;
    uint16_t peerMax_ = kMinimumPacket;
    std::optional<uint32_t> connectionId_;
    std::vector<uint8_t> who_;
    Progress progress_;
};

}  // namespace sim::obex
