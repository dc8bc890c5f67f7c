// The OBEX phone's server: request reassembly, the operations, and the object store.
#include "sim/obex/phone.h"

#include <algorithm>

namespace sim::obex {

const char Phone::kDeviceInfo[] =
    "MANU:Example Phones\r\n"
    "MOD:Sim 7\r\n"
    "SN:350000000000007\r\n"
    "IRMC-VERSION:1.1\r\n"
    "PB-TYPE-TX:VCARD2.1\r\n"
    "PB-TYPE-RX:VCARD2.1\r\n";

const char Phone::kPhonebook[] =
    "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Doe;Jane\r\nTEL;CELL:+15550100\r\nEND:VCARD\r\n"
    "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Roe;Richard\r\nTEL;HOME:+15550111\r\nEND:VCARD\r\n";

const char Phone::kCapability[] =
    "<?xml version=\"1.0\"?>\n"
    "<Capability Version=\"1.0\">\n"
    "<General><Manufacturer>Example Phones</Manufacturer><Model>Sim 7</Model></General>\n"
    "<Inbox><Object><Type>text/x-vcard</Type><Ext>vcf</Ext></Object></Inbox>\n"
    "<Service><Name>Folder-Browsing</Name><UUID>F9EC7BC4-953C-11D2-984E-525400DC9E09</UUID></Service>\n"
    "</Capability>\n";

namespace {

std::vector<uint8_t> Bytes(const char *text)
{
    return std::vector<uint8_t>(text, text + std::char_traits<char>::length(text));
}

Packet Response(uint8_t code)
{
    return Packet{code, {}, {}};
}

std::string Escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

}  // namespace

Phone::Phone(UCHAR in, UCHAR out) : in_(in), out_(out)
{
    AddFile("telecom/devinfo.txt", Bytes(kDeviceInfo));
    AddFile("telecom/pb.vcf", Bytes(kPhonebook));
    SetReadOnly("telecom");
    AddFolder("Pictures");
}

void Phone::Written(sim::usb::Device &device, UCHAR endpoint, const std::vector<uint8_t> &data)
{
    if (endpoint != out_) {
        return;
    }
    for (const std::vector<uint8_t> &chunk : Receive(data)) {
        device.Send(in_, chunk);
    }
}

std::vector<std::vector<uint8_t>> Phone::Receive(const std::vector<uint8_t> &data)
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::vector<uint8_t>> responses;
    pending_.insert(pending_.end(), data.begin(), data.end());
    for (;;) {
        std::optional<uint16_t> length = PacketLength(pending_);
        if (!length) {
            break;
        }
        if (*length < kPacketHeader) {
            // Nothing to resynchronise on: drop what came and say so.
            pending_.clear();
            op_ = Op::None;
            responses.push_back(Encode(Response(kBadRequest)));
            break;
        }
        if (pending_.size() < *length) {
            break;
        }
        responses.push_back(Handle(std::span<const uint8_t>(pending_.data(), *length)));
        pending_.erase(pending_.begin(), pending_.begin() + *length);
    }
    return responses;
}

std::vector<uint8_t> Phone::Handle(std::span<const uint8_t> data)
{
    std::optional<Packet> request = Decode(data, FieldsFor(data[0]));
    Packet response = request ? Dispatch(*request) : Response(kBadRequest);
    if (!request) {
        op_ = Op::None;
    }
    // Every answer to a CONNECT carries the fixed fields, refusals too, so that the
    // client can read it as a CONNECT response.
    if (data[0] == kConnect) {
        response.fields = {kVersion, 0, static_cast<uint8_t>(kMaxPacket >> 8), static_cast<uint8_t>(kMaxPacket & 0xFF)};
    }
    return Encode(response);
}

Packet Phone::Dispatch(const Packet &request)
{
    const uint8_t code = request.code;
    // Only ABORT may come between the packets of a GET or PUT; any other request ends
    // the operation in progress, as a client that gave up on it would expect.
    if (code == kAbort) {
        op_ = Op::None;
        object_.clear();
        return Response(kSuccess);
    }
    if ((op_ == Op::Get || op_ == Op::GetRequest) && (code & ~kFinal) != kGet) {
        op_ = Op::None;
    }
    if (op_ == Op::Put && (code & ~kFinal) != kPut) {
        op_ = Op::None;
    }
    if (code == kConnect) {
        return Connect(request);
    }
    const bool known = code == kDisconnect || code == kSetPath || (code & ~kFinal) == kGet ||
                       (code & ~kFinal) == kPut;
    if (!known) {
        return Response(kBadRequest);
    }
    if (!connected_) {
        return Response(kForbidden);
    }
    if (const Header *id = request.Find(kConnectionId); id != nullptr && (!browsing_ || id->value != connectionId_)) {
        return Response(kServiceUnavailable);
    }
    if (code == kDisconnect) {
        connected_ = false;
        browsing_ = false;
        op_ = Op::None;
        return Response(kSuccess);
    }
    if (code == kSetPath) {
        return SetPath(request);
    }
    if ((code & ~kFinal) == kGet) {
        return Get(request);
    }
    return Put(request);
}

Packet Phone::Connect(const Packet &request)
{
    Packet response{kSuccess, {}, {}};
    const uint16_t peer = static_cast<uint16_t>((request.fields[2] << 8) | request.fields[3]);
    if (peer < kMinimumPacket) {
        response.code = kBadRequest;
        return response;
    }
    const Header *target = request.Find(kTarget);
    if (target != nullptr && target->bytes != kFolderBrowsing) {
        response.code = kServiceUnavailable;
        return response;
    }
    connected_ = true;
    browsing_ = target != nullptr;
    current_ = &root_;
    op_ = Op::None;
    maxPacket_ = std::min(peer, kMaxPacket);
    if (browsing_) {
        connectionId_ = nextConnectionId_++;
        response.headers.push_back(Header::Value(kConnectionId, connectionId_));
        response.headers.push_back(Header::Bytes(kWho, kFolderBrowsing));
    }
    return response;
}

Packet Phone::SetPath(const Packet &request)
{
    const uint8_t flags = request.fields[0];
    const Header *name = request.Find(kName);
    Folder *folder = current_;
    if (flags & kSetPathBackup) {
        if (folder->parent == nullptr) {
            return Response(kNotFound);
        }
        folder = folder->parent;
    } else if (name == nullptr) {
        return Response(kBadRequest);
    }
    if (name == nullptr || name->text.empty()) {
        // Up alone, or an empty name: the root (unless backing up).
        current_ = (flags & kSetPathBackup) ? folder : &root_;
        return Response(kSuccess);
    }
    if (name->text.find(u'/') != std::u16string::npos) {
        return Response(kBadRequest);
    }
    auto it = folder->folders.find(name->text);
    if (it == folder->folders.end()) {
        if (flags & kSetPathNoCreate) {
            return Response(kNotFound);
        }
        if (folder->readOnly || folder->files.count(name->text) != 0) {
            return Response(kForbidden);
        }
        auto child = std::make_unique<Folder>();
        child->parent = folder;
        it = folder->folders.emplace(name->text, std::move(child)).first;
    }
    current_ = it->second.get();
    return Response(kSuccess);
}

Packet Phone::Get(const Packet &request)
{
    if (op_ == Op::Get) {
        return NextGetPacket();
    }
    // A GET's headers may come in several packets; the object is looked up once the
    // final one has come.
    if (op_ != Op::GetRequest) {
        gathered_ = Packet{};
    }
    gathered_.headers.insert(gathered_.headers.end(), request.headers.begin(), request.headers.end());
    if ((request.code & kFinal) == 0) {
        op_ = Op::GetRequest;
        return Response(kContinue);
    }
    op_ = Op::None;
    const Header *name = gathered_.Find(kName);
    const std::string type = gathered_.TypeText();
    if (name == nullptr && type.empty()) {
        return Response(kBadRequest);
    }
    if (type == kFolderListingType) {
        Folder *folder = current_;
        if (name != nullptr && !name->text.empty()) {
            std::u16string leaf;
            Folder *parent = Walk(current_, name->text, leaf);
            if (parent == nullptr || parent->folders.count(leaf) == 0) {
                return Response(kNotFound);
            }
            folder = parent->folders[leaf].get();
        }
        object_ = Listing(*folder);
    } else if (type == kCapabilityType) {
        object_ = Bytes(kCapability);
    } else {
        if (name == nullptr || name->text.empty()) {
            return Response(kNotFound);
        }
        std::u16string leaf;
        Folder *parent = Walk(current_, name->text, leaf);
        if (parent == nullptr) {
            return Response(kNotFound);
        }
        auto it = parent->files.find(leaf);
        if (it == parent->files.end()) {
            return Response(kNotFound);
        }
        object_ = it->second;
    }
    op_ = Op::Get;
    lengthSent_ = false;
    return NextGetPacket();
}

Packet Phone::NextGetPacket()
{
    Packet response{kContinue, {}, {}};
    size_t room = maxPacket_ - kPacketHeader - 3;
    if (!lengthSent_) {
        response.headers.push_back(Header::Value(kLength, static_cast<uint32_t>(object_.size())));
        room -= 5;
        lengthSent_ = true;
    }
    const size_t n = std::min(room, object_.size());
    const bool last = n == object_.size();
    response.headers.push_back(Header::Bytes(last ? kEndOfBody : kBody,
                                             std::vector<uint8_t>(object_.begin(), object_.begin() + n)));
    object_.erase(object_.begin(), object_.begin() + n);
    if (last) {
        response.code = kSuccess;
        op_ = Op::None;
    }
    return response;
}

Packet Phone::Put(const Packet &request)
{
    const bool final = (request.code & kFinal) != 0;
    const Header *body = request.Find(kBody);
    const Header *end = request.Find(kEndOfBody);
    if (op_ != Op::Put) {
        const Header *name = request.Find(kName);
        if (name == nullptr || name->text.empty()) {
            return Response(kBadRequest);
        }
        std::u16string leaf;
        Folder *folder = Walk(current_, name->text, leaf);
        if (folder == nullptr) {
            return Response(kNotFound);
        }
        if (folder->readOnly) {
            return Response(kForbidden);
        }
        if (final && body == nullptr && end == nullptr) {
            if (folder->files.erase(leaf) != 0) {
                return Response(kSuccess);
            }
            auto it = folder->folders.find(leaf);
            if (it == folder->folders.end()) {
                return Response(kNotFound);
            }
            if (!it->second->folders.empty() || !it->second->files.empty()) {
                return Response(kForbidden);
            }
            if (current_ == it->second.get()) {
                current_ = folder;
            }
            folder->folders.erase(it);
            return Response(kSuccess);
        }
        if (folder->folders.count(leaf) != 0) {
            return Response(kForbidden);
        }
        op_ = Op::Put;
        object_.clear();
        putName_ = leaf;
        putFolder_ = folder;
    }
    for (const Header &h : request.headers) {
        if (h.id == kBody || h.id == kEndOfBody) {
            object_.insert(object_.end(), h.bytes.begin(), h.bytes.end());
        }
    }
    if (!final) {
        return Response(kContinue);
    }
    putFolder_->files[putName_] = std::move(object_);
    object_.clear();
    op_ = Op::None;
    return Response(kSuccess);
}

std::vector<uint8_t> Phone::Listing(const Folder &folder) const
{
    std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\n"
        "<folder-listing version=\"1.0\">\n";
    if (folder.parent != nullptr) {
        xml += "<parent-folder/>\n";
    }
    for (const auto &[name, child] : folder.folders) {
        xml += "<folder name=\"" + Escape(Utf8(name)) + "\"/>\n";
    }
    for (const auto &[name, content] : folder.files) {
        xml += "<file name=\"" + Escape(Utf8(name)) + "\" size=\"" + std::to_string(content.size()) + "\"/>\n";
    }
    xml += "</folder-listing>\n";
    return std::vector<uint8_t>(xml.begin(), xml.end());
}

Phone::Folder *Phone::Walk(Folder *from, const std::u16string &path, std::u16string &leaf)
{
    Folder *folder = from;
    size_t at = 0;
    for (;;) {
        const size_t slash = path.find(u'/', at);
        if (slash == std::u16string::npos) {
            leaf = path.substr(at);
            return leaf.empty() ? nullptr : folder;
        }
        auto it = folder->folders.find(path.substr(at, slash - at));
        if (it == folder->folders.end()) {
            return nullptr;
        }
        folder = it->second.get();
        at = slash + 1;
    }
}

Phone::Folder *Phone::Resolve(const std::string &path, bool create)
{
    Folder *folder = &root_;
    size_t at = 0;
    while (at < path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        const std::u16string name = Widen(path.substr(at, slash - at));
        auto it = folder->folders.find(name);
        if (it == folder->folders.end()) {
            if (!create) {
                return nullptr;
            }
            auto child = std::make_unique<Folder>();
            child->parent = folder;
            it = folder->folders.emplace(name, std::move(child)).first;
        }
        folder = it->second.get();
        at = slash + 1;
    }
    return folder;
}

void Phone::AddFolder(const std::string &path)
{
    std::lock_guard<std::mutex> guard(lock_);
    Resolve(path, true);
}

void Phone::AddFile(const std::string &path, std::vector<uint8_t> content)
{
    std::lock_guard<std::mutex> guard(lock_);
    const size_t slash = path.rfind('/');
    Folder *folder = slash == std::string::npos ? &root_ : Resolve(path.substr(0, slash), true);
    folder->files[Widen(path.substr(slash == std::string::npos ? 0 : slash + 1))] = std::move(content);
}

std::optional<std::vector<uint8_t>> Phone::File(const std::string &path)
{
    std::lock_guard<std::mutex> guard(lock_);
    const size_t slash = path.rfind('/');
    Folder *folder = slash == std::string::npos ? &root_ : Resolve(path.substr(0, slash), false);
    if (folder == nullptr) {
        return std::nullopt;
    }
    auto it = folder->files.find(Widen(path.substr(slash == std::string::npos ? 0 : slash + 1)));
    if (it == folder->files.end()) {
        return std::nullopt;
    }
    return it->second;
}

void Phone::SetReadOnly(const std::string &path)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (Folder *folder = Resolve(path, false)) {
        folder->readOnly = true;
    }
}

}  // namespace sim::obex
