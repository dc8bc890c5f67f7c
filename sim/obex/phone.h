// The OBEX phone: an OBEX server behind the bulk pipes of the OBEX data interface, with
// a small in-memory object store. It serves the folder-browsing service (CONNECT with
// its target) and the inbox (CONNECT without one): SETPATH, folder listings, GET and PUT
// of objects in as many packets as the negotiated length needs, deletion by an empty
// PUT, ABORT and DISCONNECT, and the usual error responses.
//
// Requests may arrive split over several OUT transfers and are reassembled by their
// packet length; each response goes back as one IN chunk, so a short packet ends it.
//
// Threads: Written runs on the bus thread; Receive and the store routines may be
// called from any thread. One lock guards everything; it is never held across
// Device::Send.
//
// Not modelled: authentication, several connections at once, SRM, GET of a folder by
// name without the listing type, object timestamps and permissions in listings.
#pragma once

#include "sim/obex/protocol.h"
#include "sim/usb/device.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim::obex {

class Phone : public sim::usb::Model {
public:
    // Largest packet the phone takes and sends; the connection uses the smaller of this
    // and the client's.
    static constexpr uint16_t kMaxPacket = 0x2000;
    // The store a phone starts with: "telecom" (read-only, with devinfo.txt and pb.vcf)
    // and an empty "Pictures" folder.
    Phone(UCHAR in, UCHAR out);

    void Written(sim::usb::Device &device, UCHAR endpoint, const std::vector<uint8_t> &data) override;
    // One OUT transfer's bytes; returns the responses they complete, one chunk each.
    std::vector<std::vector<uint8_t>> Receive(const std::vector<uint8_t> &data);

    // ---- the store, by '/'-separated path from the root
    void AddFolder(const std::string &path);
    void AddFile(const std::string &path, std::vector<uint8_t> content);
    std::optional<std::vector<uint8_t>> File(const std::string &path);
    // Refuses PUT and deletion under this folder (Forbidden).
    void SetReadOnly(const std::string &path);

    static const char kDeviceInfo[];
    static const char kPhonebook[];
    static const char kCapability[];

private:
    struct Folder {
        Folder *parent = nullptr;
        bool readOnly = false;
        std::map<std::u16string, std::unique_ptr<Folder>> folders;
        std::map<std::u16string, std::vector<uint8_t>> files;
    };
    // The operation that spans packets.
    enum class Op { None, GetRequest, Get, Put };

    std::vector<uint8_t> Handle(std::span<const uint8_t> data);
    Packet Dispatch(const Packet &request);
    Packet Connect(const Packet &request);
    Packet SetPath(const Packet &request);
    Packet Get(const Packet &request);
    Packet NextGetPacket();
    Packet Put(const Packet &request);
    std::vector<uint8_t> Listing(const Folder &folder) const;
    // Splits a path and finds the folder holding its last element; NULL when missing.
    Folder *Walk(Folder *from, const std::u16string &path, std::u16string &leaf);
    Folder *Resolve(const std::string &path, bool create);

    UCHAR in_;
    UCHAR out_;

    std::mutex lock_;   // everything below
    std::vector<uint8_t> pending_;   // bytes of a request not yet whole
    Folder root_;
    Folder *current_ = &root_;
    bool connected_ = false;
    bool browsing_ = false;          // connected to the folder-browsing service
    uint32_t nextConnectionId_ = 1;
    uint32_t connectionId_ = 0;
    uint16_t maxPacket_ = kMinimumPacket;
    Op op_ = Op::None;
    std::vector<uint8_t> object_;    // GET: what is left to send; PUT: what has come
    Packet gathered_;                // GET: the request's headers so far
    bool lengthSent_ = false;        // GET: the Length header went with the first packet
    std::u16string putName_;
    Folder *putFolder_ = nullptr;
};

}  // namespace sim::obex
