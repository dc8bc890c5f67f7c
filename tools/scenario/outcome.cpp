// Outcomes against expectations, and how both are printed.
#include "sim/obex/protocol.h"
#include "tools/scenario/names.h"
#include "tools/scenario/scenario.h"
#include "tools/win32_errors.h"

#include <cstdio>

namespace tool::scenario {

Outcome Outcome::Win32Failure(uint32_t error)
{
    Outcome o;
    o.ok = false;
    o.error = error;
    return o;
}

Outcome Outcome::Problem(std::string text)
{
    Outcome o;
    o.problem = std::move(text);
    return o;
}

bool Outcome::Succeeded() const
{
    return ok && problem.empty() && (!status || NT_SUCCESS(*status)) &&
           (!response || *response == sim::obex::kSuccess);
}

std::string Quote(const std::vector<uint8_t> &bytes, size_t limit)
{
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size() && i < limit; i++) {
        const uint8_t c = bytes[i];
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            }
        }
    }
    out += "\"";
    if (bytes.size() > limit) {
        out += "... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return out;
}

namespace {

std::string ResponseName(uint8_t code)
{
    const char *name = kObexResponses.NameOf(code);
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", code);
    return name != nullptr ? std::string(name) + " (" + hex + ")" : std::string(hex);
}

// How the call ended, for "got ...".
std::string Ending(const Outcome &o)
{
    if (!o.ok) {
        return "error " + DescribeWin32Error(o.error);
    }
    if (o.status && !NT_SUCCESS(*o.status)) {
        return "status " + DescribeStatus(*o.status);
    }
    if (o.response && *o.response != sim::obex::kSuccess) {
        return "response " + ResponseName(*o.response);
    }
    if (o.status) {
        return "status " + DescribeStatus(*o.status);
    }
    return "success";
}

// Where two long buffers part, which a shortened quote would not show.
std::string Difference(const std::vector<uint8_t> &want, const std::vector<uint8_t> &got)
{
    if (want.size() <= 64 && got.size() <= 64) {
        return "";
    }
    size_t i = 0;
    while (i < want.size() && i < got.size() && want[i] == got[i]) {
        i++;
    }
    return " (" + std::to_string(got.size()) + " bytes, first difference at byte " + std::to_string(i) + ")";
}

bool IsTimeoutField(const std::string &field)
{
    return field == "interval" || field == "multiplier" || field == "constant" || field.rfind("write-", 0) == 0;
}

// A field's value as a scenario writes it.
std::string FieldValue(const std::string &field, uint64_t value)
{
    if (field == "events") {
        return kEvents.Flags(value);
    }
    if (field == "lines") {
        return kModemBits.Flags(value);
    }
    if (field == "errors") {
        return kCommErrors.Flags(value);
    }
    if (field == "parity" || field == "stop" || field == "dtr" || field == "rts") {
        const NameTable &table = field == "parity" ? kParities : field == "stop" ? kStopBits : kLineControl;
        const char *name = table.NameOf(value);
        return name != nullptr ? name : std::to_string(value);
    }
    if (IsTimeoutField(field) && value == 0xFFFFFFFFull) {
        return "max";
    }
    return std::to_string(value);
}

}  // namespace

std::vector<std::string> Evaluate(const Statement &statement, const Outcome &outcome)
{
    if (!outcome.problem.empty()) {
        return {outcome.problem};
    }
    bool failureExpected = false;
    for (const Expectation &e : statement.expectations) {
        failureExpected |= e.kind == Expectation::Kind::Error || e.kind == Expectation::Kind::Status ||
                           e.kind == Expectation::Kind::Response;
    }
    if (!failureExpected && !outcome.Succeeded()) {
        return {"expected success, got " + Ending(outcome)};
    }
    std::vector<std::string> failures;
    for (const Expectation &e : statement.expectations) {
        std::string got;
        switch (e.kind) {
        case Expectation::Kind::Ok:
            if (!outcome.Succeeded()) {
                got = Ending(outcome);
            }
            break;
        case Expectation::Kind::Error:
            if (outcome.ok) {
                got = Ending(outcome);
            } else if (outcome.error != e.value) {
                got = "error " + DescribeWin32Error(outcome.error);
            }
            break;
        case Expectation::Kind::Status:
            if (!outcome.status) {
                got = Ending(outcome);
            } else if (static_cast<uint32_t>(*outcome.status) != e.value) {
                got = "status " + DescribeStatus(*outcome.status);
            }
            break;
        case Expectation::Kind::Response:
            if (!outcome.response) {
                got = Ending(outcome);
            } else if (*outcome.response != e.value) {
                got = "response " + ResponseName(*outcome.response);
            }
            break;
        case Expectation::Kind::Count:
            if (!outcome.count) {
                got = "no count";
            } else if (*outcome.count != e.value) {
                got = "count " + std::to_string(*outcome.count);
            }
            break;
        case Expectation::Kind::Data:
            if (!outcome.data) {
                got = "no data";
            } else if (*outcome.data != e.data) {
                got = Quote(*outcome.data) + Difference(e.data, *outcome.data);
            }
            break;
        case Expectation::Kind::Pending:
        case Expectation::Kind::Done:
            if (!outcome.pending) {
                got = "a request that was never in flight";
            } else if (*outcome.pending != (e.kind == Expectation::Kind::Pending)) {
                got = *outcome.pending ? "pending" : "done";
            }
            break;
        case Expectation::Kind::Field: {
            auto it = outcome.fields.find(e.field);
            if (it == outcome.fields.end()) {
                got = "no " + e.field;
            } else if (it->second != e.value) {
                got = e.field + " " + FieldValue(e.field, it->second);
            }
            break;
        }
        }
        if (!got.empty()) {
            failures.push_back("expected " + e.text + ", got " + got);
        }
    }
    return failures;
}

}  // namespace tool::scenario
