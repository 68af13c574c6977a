#include "tools/hv-events-decode.h"

#include <glib.h>

#include <cinttypes>
#include <cstdio>

#include "agent-common/net-event.h"

namespace {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

void append_string(std::string *out, const std::string &s)
{
    /* Strings are not checked for UTF-8 on the wire; the JSON line must stay valid. */
    gchar *valid = g_utf8_make_valid(s.data(), static_cast<gssize>(s.size()));
    out->push_back('"');
    for (const char *p = valid; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        switch (c) {
        case '"':
            out->append("\\\"");
            break;
        case '\\':
            out->append("\\\\");
            break;
        case '\n':
            out->append("\\n");
            break;
        case '\r':
            out->append("\\r");
            break;
        case '\t':
            out->append("\\t");
            break;
        default:
            if (c < 0x20) {
                char esc[8];
                snprintf(esc, sizeof(esc), "\\u%04x", c);
                out->append(esc);
            } else {
                out->push_back(static_cast<char>(c));
            }
        }
    }
    out->push_back('"');
    g_free(valid);
}

void append_hex(std::string *out, const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    out->push_back('"');
    for (unsigned char c : bytes) {
        out->push_back(digits[c >> 4]);
        out->push_back(digits[c & 15]);
    }
    out->push_back('"');
}

void append_message(std::string *out, const Message &m, int skip_number = 0);

void append_value(std::string *out, const Message &m, const FieldDescriptor *f, int index)
{
    const Reflection *r = m.GetReflection();
    bool rep = f->is_repeated();
    char num[32];
    switch (f->cpp_type()) {
    case FieldDescriptor::CPPTYPE_INT32:
        snprintf(num, sizeof(num), "%" PRId32, rep ? r->GetRepeatedInt32(m, f, index) : r->GetInt32(m, f));
        out->append(num);
        break;
    case FieldDescriptor::CPPTYPE_INT64:
        snprintf(num, sizeof(num), "%" PRId64, rep ? r->GetRepeatedInt64(m, f, index) : r->GetInt64(m, f));
        out->append(num);
        break;
    case FieldDescriptor::CPPTYPE_UINT32:
        snprintf(num, sizeof(num), "%" PRIu32, rep ? r->GetRepeatedUInt32(m, f, index) : r->GetUInt32(m, f));
        out->append(num);
        break;
    case FieldDescriptor::CPPTYPE_UINT64:
        snprintf(num, sizeof(num), "%" PRIu64, rep ? r->GetRepeatedUInt64(m, f, index) : r->GetUInt64(m, f));
        out->append(num);
        break;
    case FieldDescriptor::CPPTYPE_DOUBLE:
    case FieldDescriptor::CPPTYPE_FLOAT:
        /* The schema has none; kept so a schema change prints rather than misprints. */
        snprintf(num, sizeof(num), "%.17g",
                 f->cpp_type() == FieldDescriptor::CPPTYPE_DOUBLE
                     ? (rep ? r->GetRepeatedDouble(m, f, index) : r->GetDouble(m, f))
                     : (rep ? r->GetRepeatedFloat(m, f, index) : r->GetFloat(m, f)));
        out->append(num);
        break;
    case FieldDescriptor::CPPTYPE_BOOL:
        out->append((rep ? r->GetRepeatedBool(m, f, index) : r->GetBool(m, f)) ? "true" : "false");
        break;
    case FieldDescriptor::CPPTYPE_ENUM:
        append_string(out, (rep ? r->GetRepeatedEnum(m, f, index) : r->GetEnum(m, f))->name());
        break;
    case FieldDescriptor::CPPTYPE_STRING: {
        std::string s = rep ? r->GetRepeatedString(m, f, index) : r->GetString(m, f);
        if (f->type() == FieldDescriptor::TYPE_BYTES) {
            append_hex(out, s);
        } else {
            append_string(out, s);
        }
        break;
    }
    case FieldDescriptor::CPPTYPE_MESSAGE:
        append_message(out, rep ? r->GetRepeatedMessage(m, f, index) : r->GetMessage(m, f));
        break;
    }
}

void append_message(std::string *out, const Message &m, int skip_number)
{
    std::vector<const FieldDescriptor *> fields;
    m.GetReflection()->ListFields(m, &fields);
    out->push_back('{');
    bool first = true;
    for (const FieldDescriptor *f : fields) {
        if (f->number() == skip_number && !f->is_extension()) {
            continue;
        }
        if (!first) {
            out->append(", ");
        }
        first = false;
        /* Every event extension is named "header"; its message names it better. */
        append_string(out, f->is_extension() ? f->message_type()->name() : f->name());
        out->append(": ");
        if (f->is_repeated()) {
            out->push_back('[');
            int n = m.GetReflection()->FieldSize(m, f);
            for (int i = 0; i < n; i++) {
                out->append(i ? ", " : "");
                append_value(out, m, f, i);
            }
            out->push_back(']');
        } else {
            append_value(out, m, f, -1);
        }
    }
    out->push_back('}');
}

std::string event_json(const NetEvent &event)
{
    std::string out = "{\"type\": ";
    append_string(&out, NetEvent::Type_Name(event.type()));
    GDateTime *t = g_date_time_new_from_unix_utc(event.time_sec());
    gchar *stamp = t ? g_date_time_format(t, "%Y-%m-%dT%H:%M:%S") : nullptr;
    char frac[16];
    snprintf(frac, sizeof(frac), ".%09" PRIu32 "Z", event.time_ns());
    out.append(", \"time\": ");
    append_string(&out, std::string(stamp ? stamp : "") + frac);
    g_free(stamp);
    if (t) {
        g_date_time_unref(t);
    }
    std::string fields;
    append_message(&fields, event, NetEvent::kTypeFieldNumber);
    /* The envelope's time fields follow, then its extension. */
    if (fields.size() > 2) {
        out.append(", ");
        out.append(fields, 1, fields.size() - 2);
    }
    out.push_back('}');
    return out;
}

void decode_event(const uint8_t *bytes, size_t len, const char *where, HvEventsDecoded *out)
{
    NetEvent event;
    if (len > INT32_MAX || !event.ParsePartialFromArray(bytes, static_cast<int>(len))) {
        out->problems.push_back(std::string(where) + ": malformed event of " + std::to_string(len) +
                                " bytes: not a protobuf message");
        return;
    }
    if (!event.IsInitialized()) {
        out->problems.push_back(std::string(where) + ": malformed event of " + std::to_string(len) +
                                " bytes: missing required fields: " + event.InitializationErrorString());
        return;
    }
    out->events.push_back(event_json(event));
}

} // namespace

void hv_events_decode(const uint8_t *msg, size_t len, HvEventsDecoded *out)
{
    if (!net_event_is_batch(msg, len)) {
        decode_event(msg, len, "single event", out);
        return;
    }
    size_t offset = 0;
    for (int record = 1;; record++) {
        const uint8_t *event = nullptr;
        size_t event_len = 0;
        size_t at = offset;
        NetEventRecordResult r = net_event_batch_next(msg, len, &offset, &event, &event_len);
        if (r == NET_EVENT_RECORD_END) {
            return;
        }
        std::string where = "batch record " + std::to_string(record) + " at offset " + std::to_string(at);
        if (r != NET_EVENT_RECORD_OK) {
            /* Without a sound header the rest of the batch cannot be found. */
            out->problems.push_back(where + ": " + net_event_record_result_text(r) + ", rest of the batch skipped");
            return;
        }
        decode_event(event, event_len, where.c_str(), out);
    }
}
