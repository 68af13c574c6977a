/* Typed rules read from JSON through the real visitor, and expected bytes written out
 * field by field, independently of the conversion's own writer. */
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "qapi/qmp-enforcement-types.h"
#include "qapi/qmp-input-visitor.h"
#include "qobject/qjson.h"
#include "qobject/qobject.h"
#include "tests/common/hv-test-support.h"
#include "util/error.h"

struct RuleDeleter {
    void operator()(EnforcementRule *r) const { qapi_free_EnforcementRule(r); }
};
using RulePtr = std::unique_ptr<EnforcementRule, RuleDeleter>;

struct TableDeleter {
    void operator()(EnforcementChainList *t) const { qapi_free_EnforcementChainList(t); }
};
using TablePtr = std::unique_ptr<EnforcementChainList, TableDeleter>;

template <typename T, typename Visit>
T *ReadTyped(const std::string &json, Visit visit)
{
    Error *err = nullptr;
    QObject *obj = qobject_from_json(json.c_str(), &err);
    EXPECT_EQ(err, nullptr) << json;
    error_free(err);
    err = nullptr;
    QmpInputVisitor *qiv = qmp_input_visitor_new_strict(obj);
    T *out = nullptr;
    visit(qmp_input_get_visitor(qiv), &out, nullptr, &err);
    EXPECT_EQ(err, nullptr) << (err ? error_get_message(err) : "") << " in " << json;
    error_free(err);
    qmp_input_visitor_cleanup(qiv);
    qobject_decref(obj);
    return out;
}

inline RulePtr ParseRule(const std::string &json)
{
    return RulePtr(ReadTyped<EnforcementRule>(json, visit_type_EnforcementRule));
}

/* A rule with the given entities, type "explicit" and verdict ALLOW unless overridden. */
inline RulePtr MakeRule(const std::string &src, const std::string &dst = "{}", const std::string &id = "r1",
                        const std::string &extra = R"("rule_type": "explicit", "verdict": "ALLOW")")
{
    return ParseRule(R"({"match_src": )" + src + R"(, "match_dst": )" + dst + R"(, "protocols": ["tcp"], )" +
                     extra + R"(, "id": ")" + id + R"("})");
}

inline TablePtr ParseTable(const std::string &json)
{
    return TablePtr(ReadTyped<EnforcementChainList>(json, visit_type_EnforcementChainList));
}

class Bytes {
public:
    Bytes &u8(uint64_t v) { return le(v, 1); }
    Bytes &u16(uint64_t v) { return le(v, 2); }
    Bytes &u32(uint64_t v) { return le(v, 4); }
    Bytes &u64(uint64_t v) { return le(v, 8); }
    Bytes &raw(std::initializer_list<int> v)
    {
        for (int x : v) {
            b_.push_back(static_cast<uint8_t>(x));
        }
        return *this;
    }
    Bytes &zeros(size_t n)
    {
        b_.insert(b_.end(), n, 0);
        return *this;
    }
    /* Text and its terminator. */
    Bytes &cstr(const std::string &s)
    {
        b_.insert(b_.end(), s.begin(), s.end());
        b_.push_back(0);
        return *this;
    }
    /* Text padded with zeros to a fixed field. */
    Bytes &fixed(const std::string &s, size_t n)
    {
        b_.insert(b_.end(), s.begin(), s.end());
        return zeros(n - s.size());
    }
    Bytes &append(const std::vector<uint8_t> &v)
    {
        b_.insert(b_.end(), v.begin(), v.end());
        return *this;
    }
    const std::vector<uint8_t> &vec() const { return b_; }
    size_t size() const { return b_.size(); }

private:
    Bytes &le(uint64_t v, int n)
    {
        for (int i = 0; i < n; i++) {
            b_.push_back(static_cast<uint8_t>(v >> (8 * i)));
        }
        return *this;
    }
    std::vector<uint8_t> b_;
};

inline std::vector<uint8_t> ToVec(const uint8_t *p, size_t n)
{
    return std::vector<uint8_t>(p, p + n);
}

/* The trailer of a rule buffer: type, verdict, identifier field. */
inline Bytes &Trailer(Bytes &b, uint64_t type, uint64_t verdict, const std::string &id)
{
    return b.u64(type).u64(verdict).fixed(id, 128);
}

using hvtest::TakeMessage;
