// The scenario language's parser: a line at a time, tokens, then one small grammar per
// statement that builds the runner's call and the statement's expectations.
#include "tools/scenario/names.h"
#include "tools/scenario/runner.h"
#include "tools/scenario/scenario.h"
#include "tools/win32_errors.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

namespace tool::scenario {

namespace {

struct Token {
    enum class Kind { Word, Text, Hex, End } kind = Kind::End;
    std::string text;              // as written
    std::vector<uint8_t> bytes;    // Text and Hex
    int column = 0;
};

// A parse failure at a column; the parser drops the rest of the line.
struct Failure {
    int column;
    std::string message;
};

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

const char kEscapeForms[] = "an escape (\\n \\r \\t \\0 \\\\ \\\" \\xHH)";

// Splits one line into tokens; a '#' outside a string ends it. `text` gets the line
// without its comment and surrounding blanks.
std::vector<Token> Tokenize(const std::string &line, std::string *text)
{
    std::vector<Token> tokens;
    size_t i = 0;
    size_t end = 0;   // one past the last character of the last token
    while (true) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            i++;
        }
        if (i >= line.size() || line[i] == '#') {
            break;
        }
        Token token;
        token.column = static_cast<int>(i) + 1;
        const bool hex = line[i] == 'h' && i + 1 < line.size() && line[i + 1] == '"';
        if (line[i] == '"' || hex) {
            const size_t start = i;
            token.kind = hex ? Token::Kind::Hex : Token::Kind::Text;
            i += hex ? 2 : 1;
            int pendingNibble = -1;
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i];
                if (c == '"') {
                    closed = true;
                    i++;
                    break;
                }
                if (hex) {
                    if (c == ' ' || c == '\t') {
                        i++;
                        continue;
                    }
                    const int digit = HexDigit(c);
                    if (digit < 0) {
                        throw Failure{static_cast<int>(i) + 1, "expected hex digits, got '" + std::string(1, c) + "'"};
                    }
                    if (pendingNibble < 0) {
                        pendingNibble = digit;
                    } else {
                        token.bytes.push_back(static_cast<uint8_t>(pendingNibble * 16 + digit));
                        pendingNibble = -1;
                    }
                    i++;
                    continue;
                }
                if (c != '\\') {
                    token.bytes.push_back(static_cast<uint8_t>(c));
                    i++;
                    continue;
                }
                const int escapeColumn = static_cast<int>(i) + 1;
                if (i + 1 >= line.size()) {
                    throw Failure{escapeColumn, std::string("expected ") + kEscapeForms + ", got end of line"};
                }
                const char e = line[i + 1];
                i += 2;
                switch (e) {
                case 'n': token.bytes.push_back('\n'); break;
                case 'r': token.bytes.push_back('\r'); break;
                case 't': token.bytes.push_back('\t'); break;
                case '0': token.bytes.push_back('\0'); break;
                case '\\': token.bytes.push_back('\\'); break;
                case '"': token.bytes.push_back('"'); break;
                case 'x': {
                    const int high = i < line.size() ? HexDigit(line[i]) : -1;
                    const int low = i + 1 < line.size() ? HexDigit(line[i + 1]) : -1;
                    if (high < 0 || low < 0) {
                        throw Failure{escapeColumn, "expected two hex digits after \\x, got '" +
                                                        line.substr(escapeColumn - 1, 4) + "'"};
                    }
                    token.bytes.push_back(static_cast<uint8_t>(high * 16 + low));
                    i += 2;
                    break;
                }
                default:
                    throw Failure{escapeColumn, std::string("expected ") + kEscapeForms + ", got '\\" + std::string(1, e) + "'"};
                }
            }
            if (!closed) {
                throw Failure{static_cast<int>(line.size()) + 1, "expected '\"' closing the string that starts at column " +
                                                                     std::to_string(start + 1) + ", got end of line"};
            }
            if (hex && pendingNibble >= 0) {
                throw Failure{static_cast<int>(i), "expected an even number of hex digits, got an odd one"};
            }
            token.text = line.substr(start, i - start);
        } else {
            const size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '"' &&
                   line[i] != '#') {
                i++;
            }
            token.kind = Token::Kind::Word;
            token.text = line.substr(start, i - start);
        }
        end = i;
        tokens.push_back(std::move(token));
    }
    Token last;
    last.kind = Token::Kind::End;
    last.column = static_cast<int>(end) + 1;
    tokens.push_back(last);
    *text = line.substr(0, end);
    const size_t first = text->find_first_not_of(" \t");
    *text = first == std::string::npos ? "" : text->substr(first);
    return tokens;
}

// Which named results a statement's expectations may check.
struct FieldSpec {
    const char *name;
    enum class Kind { Number, Enum, Flags, Timeout } kind;
    const NameTable *table;
};

class LineParser {
public:
    LineParser(std::vector<Token> tokens, const std::string &baseDirectory)
        : tokens_(std::move(tokens)), base_(baseDirectory)
    {
    }

    Statement Parse();

private:
    const Token &Peek() const { return tokens_[pos_]; }
    const Token &Next()
    {
        const Token &t = tokens_[pos_];
        if (pos_ + 1 < tokens_.size()) {
            pos_++;
        }
        return t;
    }
    bool AtEnd() const { return Peek().kind == Token::Kind::End; }
    bool PeekWord(const char *word) const { return Peek().kind == Token::Kind::Word && Peek().text == word; }
    bool TakeWord(const char *word)
    {
        if (PeekWord(word)) {
            Next();
            return true;
        }
        return false;
    }
    // The options of a statement run until its expectations or the end of the line.
    bool MoreOptions() const { return !AtEnd() && !PeekWord("expect"); }

    [[noreturn]] static void Fail(const std::string &expected, const Token &got)
    {
        throw Failure{got.column, "expected " + expected + ", got " +
                                      (got.kind == Token::Kind::End ? std::string("end of line") : "'" + got.text + "'")};
    }

    std::string Word(const std::string &what)
    {
        if (Peek().kind != Token::Kind::Word || Peek().text == "expect") {
            Fail(what, Peek());
        }
        return Next().text;
    }
    // One of `choices`.
    std::string Choice(const std::vector<std::string> &choices)
    {
        if (Peek().kind == Token::Kind::Word) {
            for (const std::string &c : choices) {
                if (Peek().text == c) {
                    return Next().text;
                }
            }
        }
        std::string list;
        for (size_t i = 0; i < choices.size(); i++) {
            list += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
        }
        Fail(list, Peek());
    }
    uint64_t Number(const std::string &what, uint64_t max)
    {
        const Token &t = Peek();
        if (t.kind == Token::Kind::Word && !t.text.empty() && t.text[0] >= '0' && t.text[0] <= '9') {
            errno = 0;
            char *end = nullptr;
            const unsigned long long value = std::strtoull(t.text.c_str(), &end, 0);
            if (errno == 0 && *end == '\0' && value <= max) {
                Next();
                return value;
            }
        }
        Fail(what + " (a number from 0 to " + std::to_string(max) + ")", t);
    }
    uint32_t Timeout(const std::string &what)
    {
        if (TakeWord("max")) {
            return MAXDWORD;
        }
        return static_cast<uint32_t>(Number(what + " in milliseconds or max", 0xFFFFFFFEull));
    }
    // 500ms, 2s, 250us: in 100-ns units.
    int64_t Duration()
    {
        const Token &t = Peek();
        if (t.kind == Token::Kind::Word) {
            size_t digits = 0;
            while (digits < t.text.size() && t.text[digits] >= '0' && t.text[digits] <= '9') {
                digits++;
            }
            const std::string unit = t.text.substr(digits);
            const int64_t scale = unit == "us" ? 10 : unit == "ms" ? 10000 : unit == "s" ? 10000000 : 0;
            if (digits > 0 && digits <= 9 && scale != 0) {
                Next();
                return std::stoll(t.text.substr(0, digits)) * scale;
            }
        }
        Fail("a duration (500ms, 2s, 250us)", t);
    }
    int32_t Code(const NameTable &table, const char *what)
    {
        const Token &t = Peek();
        if (t.kind == Token::Kind::Word) {
            if (auto value = ParseCode(table, t.text)) {
                Next();
                return static_cast<int32_t>(static_cast<uint32_t>(*value));
            }
        }
        Fail(what, t);
    }
    uint64_t Named(const NameTable &table)
    {
        const Token &t = Peek();
        auto value = t.kind == Token::Kind::Word ? table.Find(t.text) : std::nullopt;
        if (!value) {
            Fail(std::string(table.What()) + " (" + table.List() + ")", t);
        }
        Next();
        return *value;
    }
    uint64_t Flags(const NameTable &table, bool allowNone)
    {
        uint64_t mask = 0;
        bool any = false;
        while (Peek().kind == Token::Kind::Word) {
            if (allowNone && Peek().text == "none") {
                Next();
                any = true;
                continue;
            }
            auto bit = table.Find(Peek().text);
            if (!bit) {
                break;
            }
            Next();
            mask |= *bit;
            any = true;
        }
        if (!any) {
            Fail(std::string(table.What()) + " (" + table.List() + (allowNone ? ", none" : "") + ")", Peek());
        }
        return mask;
    }
    bool StartsData() const
    {
        const Token &t = Peek();
        return t.kind == Token::Kind::Text || t.kind == Token::Kind::Hex ||
               (t.kind == Token::Kind::Word && (t.text == "file" || t.text == "pattern"));
    }
    std::string Quoted(const std::string &what)
    {
        const Token &t = Peek();
        if (t.kind != Token::Kind::Text) {
            Fail(what + " in quotes", t);
        }
        Next();
        return std::string(t.bytes.begin(), t.bytes.end());
    }
    std::string Path()
    {
        const std::string name = Quoted("a file name");
        return !name.empty() && name[0] == '/' ? name : base_ + "/" + name;
    }
    // One or more of "text", h"hex", file "path", pattern N, run together.
    std::vector<uint8_t> Data()
    {
        if (!StartsData()) {
            Fail("data (\"text\", h\"hex\", file \"path\" or pattern N)", Peek());
        }
        std::vector<uint8_t> bytes;
        while (StartsData()) {
            const Token &t = Next();
            if (t.kind != Token::Kind::Word) {
                bytes.insert(bytes.end(), t.bytes.begin(), t.bytes.end());
            } else if (t.text == "pattern") {
                const uint64_t n = Number("a byte count", 64ull << 20);
                for (uint64_t i = 0; i < n; i++) {
                    bytes.push_back(static_cast<uint8_t>(i * 7 + (i >> 8)));
                }
            } else {
                const Token &where = Peek();
                const std::string path = Path();
                std::ifstream in(path, std::ios::binary);
                if (!in) {
                    throw Failure{where.column, "expected a readable file, got '" + path + "' (" + std::strerror(errno) + ")"};
                }
                bytes.insert(bytes.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
        }
        return bytes;
    }
    // A phone's name where it may be left out: any word but the ones that follow.
    std::string OptionalPhone(const std::set<std::string> &following)
    {
        if (Peek().kind == Token::Kind::Word && following.count(Peek().text) == 0 && Peek().text != "expect") {
            return Next().text;
        }
        return {};
    }
    // `async NAME` after a request that may be left in flight.
    std::string Async()
    {
        if (TakeWord("async")) {
            return Word("a name for the request");
        }
        return {};
    }

    void Expect(Statement &s, const std::vector<FieldSpec> &fields = {});
    Expectation Item(const std::vector<FieldSpec> &fields);

    std::vector<Token> tokens_;
    size_t pos_ = 0;
    std::string base_;
};

Expectation LineParser::Item(const std::vector<FieldSpec> &fields)
{
    Expectation e;
    const Token &start = Peek();
    if (StartsData()) {
        e.kind = Expectation::Kind::Data;
        e.data = Data();
        e.text = Quote(e.data);
        return e;
    }
    std::string known = "ok, error, status, count, pending, done, response, data";
    for (const FieldSpec &f : fields) {
        known += std::string(", ") + f.name;
    }
    if (start.kind != Token::Kind::Word) {
        Fail("an expectation (" + known + ")", start);
    }
    if (TakeWord("ok")) {
        e.kind = Expectation::Kind::Ok;
        e.text = "success";
    } else if (TakeWord("pending")) {
        e.kind = Expectation::Kind::Pending;
        e.text = "pending";
    } else if (TakeWord("done")) {
        e.kind = Expectation::Kind::Done;
        e.text = "done";
    } else if (TakeWord("error")) {
        const Token &t = Peek();
        std::optional<uint32_t> code;
        if (t.kind == Token::Kind::Word) {
            code = ParseWin32Error(t.text);
        }
        if (!code) {
            Fail("a Win32 error name (ERROR_...) or number", t);
        }
        Next();
        e.kind = Expectation::Kind::Error;
        e.value = *code;
        e.text = "error " + DescribeWin32Error(*code);
    } else if (TakeWord("status")) {
        e.kind = Expectation::Kind::Status;
        e.value = static_cast<uint32_t>(Code(kNtStatus, "an NTSTATUS name (STATUS_...) or number"));
        e.text = "status " + DescribeStatus(static_cast<int32_t>(e.value));
    } else if (TakeWord("count")) {
        e.kind = Expectation::Kind::Count;
        e.value = Number("a count", ~0ull >> 1);
        e.text = "count " + std::to_string(e.value);
    } else if (TakeWord("response")) {
        e.kind = Expectation::Kind::Response;
        e.value = static_cast<uint8_t>(Code(kObexResponses, "an OBEX response (success, not-found, ...)"));
        const char *name = kObexResponses.NameOf(e.value);
        e.text = std::string("response ") + (name != nullptr ? name : std::to_string(e.value));
    } else {
        const FieldSpec *spec = nullptr;
        for (const FieldSpec &f : fields) {
            if (start.text == f.name) {
                spec = &f;
            }
        }
        if (spec == nullptr) {
            Fail("an expectation (" + known + ")", start);
        }
        Next();
        e.kind = Expectation::Kind::Field;
        e.field = spec->name;
        switch (spec->kind) {
        case FieldSpec::Kind::Number:
            e.value = Number(std::string("a value for ") + spec->name, ~0ull >> 1);
            e.text = e.field + " " + std::to_string(e.value);
            break;
        case FieldSpec::Kind::Timeout:
            e.value = Timeout(std::string("a value for ") + spec->name);
            e.text = e.field + " " + (e.value == MAXDWORD ? "max" : std::to_string(e.value));
            break;
        case FieldSpec::Kind::Enum: {
            const std::string word = Peek().text;
            e.value = Named(*spec->table);
            e.text = e.field + " " + word;
            break;
        }
        case FieldSpec::Kind::Flags:
            e.value = Flags(*spec->table, true);
            e.flags = true;
            e.text = e.field + " " + spec->table->Flags(e.value);
            break;
        }
    }
    return e;
}

void LineParser::Expect(Statement &s, const std::vector<FieldSpec> &fields)
{
    if (AtEnd()) {
        return;
    }
    if (!TakeWord("expect")) {
        Fail("expect or end of line", Peek());
    }
    do {
        s.expectations.push_back(Item(fields));
    } while (!AtEnd());
}

const std::vector<FieldSpec> kStateFields = {
    {"baud", FieldSpec::Kind::Number, nullptr},    {"bits", FieldSpec::Kind::Number, nullptr},
    {"parity", FieldSpec::Kind::Enum, &kParities}, {"stop", FieldSpec::Kind::Enum, &kStopBits},
    {"dtr", FieldSpec::Kind::Enum, &kLineControl}, {"rts", FieldSpec::Kind::Enum, &kLineControl},
};
const std::vector<FieldSpec> kTimeoutFields = {
    {"interval", FieldSpec::Kind::Timeout, nullptr},         {"multiplier", FieldSpec::Kind::Timeout, nullptr},
    {"constant", FieldSpec::Kind::Timeout, nullptr},         {"write-multiplier", FieldSpec::Kind::Timeout, nullptr},
    {"write-constant", FieldSpec::Kind::Timeout, nullptr},
};
const std::vector<FieldSpec> kEventFields = {{"events", FieldSpec::Kind::Flags, &kEvents}};
const std::vector<FieldSpec> kModemFields = {{"lines", FieldSpec::Kind::Flags, &kModemBits}};
const std::vector<FieldSpec> kErrorFields = {
    {"errors", FieldSpec::Kind::Flags, &kCommErrors},
    {"in", FieldSpec::Kind::Number, nullptr},
    {"out", FieldSpec::Kind::Number, nullptr},
};
const std::vector<FieldSpec> kPropertyFields = {
    {"max-baud", FieldSpec::Kind::Number, nullptr}, {"max-tx", FieldSpec::Kind::Number, nullptr},
    {"max-rx", FieldSpec::Kind::Number, nullptr},   {"current-tx", FieldSpec::Kind::Number, nullptr},
    {"current-rx", FieldSpec::Kind::Number, nullptr},
};

const std::set<std::string> kVerbs = {
    "plug", "unplug", "pnp", "phone", "fault", "open", "close", "write", "read", "await", "pending",
    "cancel", "set-state", "get-state", "set-timeouts", "get-timeouts", "set-mask", "get-mask",
    "wait-event", "purge", "clear-error", "escape", "modem-status", "properties", "setup-comm",
    "ioctl", "obex", "sleep", "wake", "power", "lowres", "advance",
};

Statement LineParser::Parse()
{
    Statement s;
    const Token &verbToken = Peek();
    if (verbToken.kind != Token::Kind::Word || kVerbs.count(verbToken.text) == 0) {
        Fail("a statement (plug, open, write, read, pnp, sleep, ...)", verbToken);
    }
    const std::string verb = Next().text;

    if (verb == "plug") {
        PlugArgs args;
        while (MoreOptions()) {
            const std::string option = Choice({"as", "port", "model", "speed", "descriptors", "nostart"});
            if (option == "as") {
                args.name = Word("a name for the phone");
            } else if (option == "port") {
                const Token &t = Peek();
                const std::string port = Word("a port name (COM1 to COM255)");
                const long n = port.size() > 3 && port.compare(0, 3, "COM") == 0 ? std::atol(port.c_str() + 3) : 0;
                if (n < 1 || n > 255 || std::to_string(n) != port.substr(3)) {
                    Fail("a port name (COM1 to COM255)", t);
                }
                args.port = port;
            } else if (option == "model") {
                const std::string m = Choice({"obex", "loopback", "scripted", "silent", "dead"});
                args.model = m == "obex" ? Model::Obex : m == "loopback" ? Model::Loopback
                           : m == "scripted" ? Model::Scripted : m == "silent" ? Model::Silent : Model::Dead;
            } else if (option == "speed") {
                args.speed = Choice({"full", "high"}) == "full" ? sim::usb::Speed::Full : sim::usb::Speed::High;
            } else if (option == "descriptors") {
                const std::string d = Choice({"obex", "no-obex", "wrong-alternate", "missing-endpoint"});
                args.layout = d == "obex" ? Layout::Obex : d == "no-obex" ? Layout::NoObex
                            : d == "wrong-alternate" ? Layout::WrongAlternate : Layout::MissingEndpoint;
            } else {
                args.start = false;
            }
        }
        Expect(s);
        s.action = [args](Runner &r) { return r.Plug(args); };
    } else if (verb == "unplug") {
        const std::string phone = OptionalPhone({});
        Expect(s);
        s.action = [phone](Runner &r) { return r.Pnp(phone, "surprise-remove"); };
    } else if (verb == "pnp") {
        const std::string request = Choice({"query-stop", "stop", "cancel-stop", "start", "query-remove",
                                            "cancel-remove", "remove-device", "remove", "surprise-remove",
                                            "rebalance"});
        const std::string phone = OptionalPhone({});
        Expect(s);
        s.action = [phone, request](Runner &r) { return r.Pnp(phone, request); };
    } else if (verb == "phone") {
        const std::string phone = OptionalPhone({"send", "received", "is", "power-status"});
        const std::string what = Choice({"send", "received", "is", "power-status"});
        if (what == "send") {
            auto bytes = Data();
            Expect(s);
            s.action = [phone, bytes](Runner &r) { return r.PhoneSend(phone, bytes); };
        } else if (what == "received") {
            Expect(s);
            s.action = [phone](Runner &r) { return r.PhoneReceived(phone); };
        } else if (what == "is") {
            const std::string state = Choice({"present", "removed", "started", "stopped", "failed", "working",
                                              "surprise-removed", "stop-pending", "remove-pending"});
            Expect(s);
            s.action = [phone, state](Runner &r) { return r.State(phone, state); };
        } else {
            const int32_t status = Code(kNtStatus, "an NTSTATUS name (STATUS_...) or number");
            Expect(s);
            s.action = [phone, status](Runner &r) { return r.PowerStatus(phone, status); };
        }
    } else if (verb == "fault") {
        FaultArgs args;
        args.phone = OptionalPhone({"in", "out"});
        args.in = Choice({"in", "out"}) == "in";
        const std::string how = Choice({"next", "always", "clear", "halt"});
        if (how == "clear" || how == "halt") {
            args.action = how == "clear" ? FaultArgs::Action::Clear : FaultArgs::Action::Halt;
        } else {
            args.count = how == "always" ? -1 : static_cast<int>(Number("a transfer count", 100000));
            const std::string kind = Choice({"error", "short", "stall", "unplug"});
            if (kind == "error") {
                const int32_t status = Code(kNtStatus, "an NTSTATUS name (STATUS_...) or number");
                USBD_STATUS usbd = USBD_STATUS_DEV_NOT_RESPONDING;
                if (Peek().kind == Token::Kind::Word && Peek().text.rfind("USBD_", 0) == 0) {
                    usbd = static_cast<USBD_STATUS>(Code(kUsbdStatus, "a USBD status name (USBD_STATUS_...)"));
                }
                args.fault = sim::usb::Device::Fault::Error(status, usbd);
            } else if (kind == "short") {
                args.fault = sim::usb::Device::Fault::Short(static_cast<ULONG>(Number("a byte count", 1 << 20)));
            } else if (kind == "stall") {
                args.fault = sim::usb::Device::Fault::Stall();
            } else {
                args.fault = sim::usb::Device::Fault::Unplug();
            }
        }
        Expect(s);
        s.action = [args](Runner &r) { return r.Fault(args); };
    } else if (verb == "open") {
        const std::string port = Word("a port name (COM5)");
        std::string handle = port;
        bool raw = false;
        while (MoreOptions()) {
            if (Choice({"as", "raw"}) == "as") {
                handle = Word("a name for the handle");
            } else {
                raw = true;
            }
        }
        Expect(s);
        s.action = [port, handle, raw](Runner &r) { return r.Open(port, handle, raw); };
    } else if (verb == "close") {
        const std::string handle = Word("a handle name");
        Expect(s);
        s.action = [handle](Runner &r) { return r.Close(handle); };
    } else if (verb == "write") {
        const std::string handle = Word("a handle name");
        auto bytes = Data();
        const std::string async = Async();
        Expect(s);
        s.action = [handle, bytes, async](Runner &r) { return r.Write(handle, bytes, async); };
    } else if (verb == "read") {
        const std::string handle = Word("a handle name");
        const size_t length = Number("a byte count", 64ull << 20);
        bool once = false;
        std::string async, save;
        while (MoreOptions()) {
            const std::string option = Choice({"once", "async", "save"});
            if (option == "once") {
                once = true;
            } else if (option == "async") {
                async = Word("a name for the request");
            } else {
                save = Path();
            }
        }
        Expect(s);
        s.action = [=](Runner &r) { return r.Read(handle, length, once, async, save); };
    } else if (verb == "await") {
        const std::string op = Word("the name of an asynchronous request");
        Expect(s, kEventFields);
        s.action = [op](Runner &r) { return r.Await(op); };
    } else if (verb == "pending") {
        const std::string op = Word("the name of an asynchronous request");
        Expect(s);
        s.action = [op](Runner &r) { return r.StillPending(op); };
    } else if (verb == "cancel") {
        const std::string op = Word("the name of an asynchronous request");
        Expect(s);
        s.action = [op](Runner &r) { return r.Cancel(op); };
    } else if (verb == "set-state") {
        const std::string handle = Word("a handle name");
        std::vector<DcbChange> changes;
        do {
            const std::string field = Choice({"baud", "bits", "parity", "stop", "dtr", "rts"});
            uint64_t value = 0;
            if (field == "baud") {
                value = Number("a baud rate", 0xFFFFFFFF);
            } else if (field == "bits") {
                value = Number("a character size", 255);
            } else {
                value = Named(field == "parity" ? kParities : field == "stop" ? kStopBits : kLineControl);
            }
            changes.push_back({field, value});
        } while (MoreOptions());
        Expect(s);
        s.action = [handle, changes](Runner &r) { return r.SetState(handle, changes); };
    } else if (verb == "set-timeouts") {
        const std::string handle = Word("a handle name");
        TimeoutsArgs t;
        do {
            const std::string field = Choice({"interval", "multiplier", "constant", "write-multiplier", "write-constant"});
            const uint32_t value = Timeout(field);
            (field == "interval" ? t.interval : field == "multiplier" ? t.multiplier
             : field == "constant" ? t.constant : field == "write-multiplier" ? t.writeMultiplier
             : t.writeConstant) = value;
        } while (MoreOptions());
        Expect(s);
        s.action = [handle, t](Runner &r) { return r.SetTimeouts(handle, t); };
    } else if (verb == "set-mask") {
        const std::string handle = Word("a handle name");
        const uint32_t mask = static_cast<uint32_t>(Flags(kEvents, true));
        Expect(s);
        s.action = [handle, mask](Runner &r) { return r.SetMask(handle, mask); };
    } else if (verb == "purge") {
        const std::string handle = Word("a handle name");
        const uint32_t flags = static_cast<uint32_t>(Flags(kPurges, false));
        Expect(s);
        s.action = [handle, flags](Runner &r) { return r.Purge(handle, flags); };
    } else if (verb == "escape") {
        const std::string handle = Word("a handle name");
        const uint32_t function = static_cast<uint32_t>(Named(kEscapes));
        Expect(s);
        s.action = [handle, function](Runner &r) { return r.Escape(handle, function); };
    } else if (verb == "setup-comm") {
        const std::string handle = Word("a handle name");
        const uint32_t in = static_cast<uint32_t>(Number("an input queue size", 0xFFFFFFFF));
        const uint32_t out = static_cast<uint32_t>(Number("an output queue size", 0xFFFFFFFF));
        Expect(s);
        s.action = [handle, in, out](Runner &r) { return r.Setup(handle, in, out); };
    } else if (verb == "ioctl") {
        const std::string handle = Word("a handle name");
        const uint32_t code = static_cast<uint32_t>(Code(kIoctls, "a control code (IOCTL_SERIAL_...) or number"));
        std::vector<uint8_t> input;
        uint32_t output = 0;
        while (MoreOptions()) {
            if (Choice({"in", "out"}) == "in") {
                input = Data();
            } else {
                output = static_cast<uint32_t>(Number("an output buffer size", 1 << 16));
            }
        }
        Expect(s);
        s.action = [handle, code, input, output](Runner &r) { return r.Ioctl(handle, code, input, output); };
    } else if (verb == "obex") {
        const std::string handle = Word("a handle name");
        ObexArgs args;
        const std::string op = Choice({"connect", "disconnect", "get", "put", "delete", "setpath"});
        if (op == "connect") {
            args.op = ObexArgs::Op::Connect;
            args.inbox = TakeWord("inbox");
        } else if (op == "disconnect") {
            args.op = ObexArgs::Op::Disconnect;
        } else if (op == "get") {
            args.op = ObexArgs::Op::Get;
            if (TakeWord("type")) {
                args.type = Quoted("a type");
            } else {
                args.name = Quoted("an object name");
                if (TakeWord("type")) {
                    args.type = Quoted("a type");
                }
            }
        } else if (op == "put") {
            args.op = ObexArgs::Op::Put;
            args.name = Quoted("an object name");
            args.body = Data();
        } else if (op == "delete") {
            args.op = ObexArgs::Op::Delete;
            args.name = Quoted("an object name");
        } else {
            args.op = ObexArgs::Op::SetPath;
            if (TakeWord("up")) {
                args.up = true;
            } else if (!TakeWord("root")) {
                args.name = Quoted("a folder name, up or root");
            }
        }
        Expect(s);
        s.action = [handle, args](Runner &r) { return r.Obex(handle, args); };
    } else if (verb == "sleep") {
        const std::string state = Choice({"S1", "S2", "S3", "S4"});
        const SYSTEM_POWER_STATE power = state == "S1" ? PowerSystemSleeping1 : state == "S2" ? PowerSystemSleeping2
                                       : state == "S3" ? PowerSystemSleeping3 : PowerSystemHibernate;
        Expect(s);
        s.action = [power](Runner &r) { return r.Sleep(power); };
    } else if (verb == "wake") {
        Expect(s);
        s.action = [](Runner &r) { return r.Wake(); };
    } else if (verb == "power") {
        Choice({"fail-next"});
        const int32_t status = Code(kNtStatus, "an NTSTATUS name (STATUS_...) or number");
        Expect(s);
        s.action = [status](Runner &r) { return r.PowerFailNext(status); };
    } else if (verb == "lowres") {
        const std::string what = Choice({"fail", "reset", "injected"});
        if (what == "fail") {
            const std::string routine = Word("a routine name (ExAllocatePool, IoAllocateIrp, ...) or any");
            int nth = 1;
            if (TakeWord("nth")) {
                const Token &where = Peek();
                nth = static_cast<int>(Number("a call number", 1000000));
                if (nth == 0) {
                    Fail("a call number from 1", where);
                }
            }
            Expect(s);
            s.action = [routine, nth](Runner &r) { return r.LowresFail(routine, nth); };
        } else if (what == "reset") {
            Expect(s);
            s.action = [](Runner &r) { return r.LowresReset(); };
        } else {
            Expect(s);
            s.action = [](Runner &r) { return r.LowresInjected(); };
        }
    } else if (verb == "advance") {
        const int64_t duration = Duration();
        Expect(s);
        s.action = [duration](Runner &r) { return r.Advance(duration); };
    } else {
        // The statements that take one handle and nothing else.
        const std::string handle = Word("a handle name");
        if (verb == "get-state") {
            Expect(s, kStateFields);
            s.action = [handle](Runner &r) { return r.GetState(handle); };
        } else if (verb == "get-timeouts") {
            Expect(s, kTimeoutFields);
            s.action = [handle](Runner &r) { return r.GetTimeouts(handle); };
        } else if (verb == "get-mask") {
            Expect(s, kEventFields);
            s.action = [handle](Runner &r) { return r.GetMask(handle); };
        } else if (verb == "wait-event") {
            const std::string async = Async();
            Expect(s, kEventFields);
            s.action = [handle, async](Runner &r) { return r.WaitEvent(handle, async); };
        } else if (verb == "clear-error") {
            Expect(s, kErrorFields);
            s.action = [handle](Runner &r) { return r.ClearError(handle); };
        } else if (verb == "modem-status") {
            Expect(s, kModemFields);
            s.action = [handle](Runner &r) { return r.ModemStatus(handle); };
        } else {
            Expect(s, kPropertyFields);
            s.action = [handle](Runner &r) { return r.Properties(handle); };
        }
    }
    if (!AtEnd()) {
        Fail("end of line", Peek());
    }
    return s;
}

}  // namespace

std::vector<ParseError> Parse(const std::string &text, const std::string &baseDirectory, Script *script)
{
    std::vector<ParseError> errors;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        number++;
        try {
            std::string source;
            auto tokens = Tokenize(line, &source);
            if (tokens.size() == 1) {
                continue;   // blank or a comment
            }
            LineParser parser(std::move(tokens), baseDirectory);
            Statement statement = parser.Parse();
            statement.line = number;
            statement.text = source;
            script->statements.push_back(std::move(statement));
        } catch (const Failure &failure) {
            errors.push_back({number, failure.column, failure.message});
        }
    }
    return errors;
}

}  // namespace tool::scenario
