#include <vector>

#include <gtest/gtest.h>

#include "qapi/qapi-dealloc-visitor.h"
#include "qapi/qmp-enforcement-types.h"
#include "qobject/qdict.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "qapi-test-helpers.h"

namespace {

/* The input visitor's message for json read as a T ("" when accepted); the value is freed. */
#define READ_ERROR(T, json)                            \
    [&] {                                              \
        T *value_ = nullptr;                           \
        std::string error_ = READ(T, (json), &value_); \
        qapi_free_##T(value_);                         \
        return error_;                                 \
    }()

TEST(InputVisitor, MembersOfTheWrongKindOrRangeAreRefusedByName)
{
    const std::pair<std::string, const char *> cases[] = {
        {READ_ERROR(PortRangeMatch, R"({"start": 65536, "end": 0})"), "Parameter 'start' expects uint16_t"},
        {READ_ERROR(IcmpMatch, R"({"ver": "4", "type": 256, "codes": []})"), "Parameter 'type' expects uint8_t"},
        {READ_ERROR(IcmpMatch, R"({"ver": "4", "type": 0, "codes": [255, 256]})"), "Parameter 'null' expects uint8_t"},
        {READ_ERROR(EnforcementIptablesMap, R"({"id": "r", "mark": 4294967296, "incoming": true})"),
         "Parameter 'mark' expects uint32_t"},
        {READ_ERROR(EnforcementIptablesMap, R"({"id": "r", "mark": -1, "incoming": true})"),
         "Invalid parameter type for 'mark', expected: unsigned integer, got: out of range"},
        {READ_ERROR(EnforcementIptablesMap, R"({"id": "r", "mark": "1", "incoming": true})"),
         "Invalid parameter type for 'mark', expected: unsigned integer, got: qstring"},
        {READ_ERROR(EnforcementIptablesMap, R"({"id": "r", "incoming": true})"),
         "Invalid parameter type for 'mark', expected: unsigned integer, got: missing"},
        {READ_ERROR(EnforcementIptablesMap, R"({"id": "r", "mark": 1.5, "incoming": true})"),
         "Invalid parameter type for 'mark', expected: unsigned integer, got: qfloat"},
        {READ_ERROR(EnforcementIptablesMap, R"({"id": 5, "mark": 1, "incoming": true})"),
         "Invalid parameter type for 'id', expected: string, got: qint"},
        {READ_ERROR(EnforcementIptablesMap, R"({"mark": 1, "incoming": true})"),
         "Invalid parameter type for 'id', expected: string, got: null"},
        {READ_ERROR(EnforcementIptablesMap, R"({"id": "r", "mark": 1, "incoming": "yes"})"),
         "Invalid parameter type for 'incoming', expected: boolean, got: qstring"},
        {READ_ERROR(IcmpMatch, R"({"ver": 4, "type": 1, "codes": [0]})"),
         "Invalid parameter type for 'ver', expected: string, got: qint"},
        {READ_ERROR(EntityMatch, R"({"match_groups": []})"),
         "Invalid parameter type for 'match_groups', expected: QDict, got: qlist"},
        {READ_ERROR(EntityMatch, R"({"match_ports": {}})"),
         "Invalid parameter type for 'match_ports', expected: list, got: qdict"},
        {READ_ERROR(EnforcementRule, R"({"match_dst": {}})"),
         "Invalid parameter type for 'match_src', expected: QDict, got: null"},
        {READ_ERROR(EnforcementPolicyOutputJson, R"({"input-table": [], "revision": 1})"),
         "Invalid parameter type for 'output-table', expected: list, got: null"},
        /* A closed record refuses an unknown key, nested ones too, but a bad known member wins. */
        {READ_ERROR(EnforcementChain, R"({"chain_name": "c", "rules": [{"match_src": {"extra": 1}, "match_dst": {},
                                          "protocols": [], "verdict": "BLOCK", "id": "r"}]})"),
         "QMP input object member 'extra' is unexpected"},
        {READ_ERROR(PortRangeMatch, R"({"start": 1, "zzz": 0, "end": "2"})"),
         "Invalid parameter type for 'end', expected: unsigned integer, got: qstring"},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
    }

    PortRangeMatch *top = nullptr;
    EXPECT_EQ(READ(PortRangeMatch, R"({"start": 65535, "end": 0})", &top), "");
    EXPECT_EQ(top->start, 65535);
    qapi_free_PortRangeMatch(top);
    /* A refused value leaves the member as it was. */
    uint16_t port = 7;
    EXPECT_EQ(read_json("70000", [&](Visitor *v, Error **e) { visit_type_uint16(v, &port, "p", e); }),
              "Parameter 'p' expects uint16_t");
    EXPECT_EQ(port, 7);
}

TEST(InputVisitor, SignedAndFloatingNumbersAreRangeChecked)
{
    int8_t i8 = 0;
    int16_t i16 = 0;
    int32_t i32 = 0;
    int64_t i64 = 0;
    double d = 0;
    auto visit = [](auto *value, auto fn) {
        return [=](Visitor *v, Error **e) { fn(v, value, "n", e); };
    };
    EXPECT_EQ(read_json("-128", visit(&i8, visit_type_int8)), "");
    EXPECT_EQ(read_json("128", visit(&i8, visit_type_int8)), "Parameter 'n' expects int8_t");
    EXPECT_EQ(read_json("-32769", visit(&i16, visit_type_int16)), "Parameter 'n' expects int16_t");
    EXPECT_EQ(read_json("2147483648", visit(&i32, visit_type_int32)), "Parameter 'n' expects int32_t");
    EXPECT_EQ(read_json("2147483647", visit(&i32, visit_type_int32)), "");
    EXPECT_EQ(i32, 2147483647);
    EXPECT_EQ(read_json("9223372036854775807", visit(&i64, visit_type_int)), "");
    EXPECT_EQ(i64, INT64_MAX);
    EXPECT_EQ(read_json("9223372036854775808", visit(&i64, visit_type_int)),
              "Invalid parameter type for 'n', expected: integer, got: out of range");
    EXPECT_EQ(read_json(R"({})", visit(&i64, visit_type_int)),
              "Invalid parameter type for 'n', expected: integer, got: missing");
    for (const auto &[json, value] : {std::pair{"2.5", 2.5}, {"-3", -3.0}, {"4", 4.0}}) {
        EXPECT_EQ(read_json(json, visit(&d, visit_type_number)), "") << json;
        EXPECT_EQ(d, value);
    }
    EXPECT_EQ(read_json(R"("4")", visit(&d, visit_type_number)),
              "Invalid parameter type for 'n', expected: number, got: qstring");
}

TEST(InputVisitor, AcceptedValuesAndWhatAFailedReadLeaves)
{
    IcmpMatch *icmp = nullptr;
    EXPECT_EQ(READ(IcmpMatch, R"({"ver": "6", "type": 1, "codes": [0]})", &icmp), "");
    EXPECT_EQ(icmp->ver, ICMP_VER_6);
    qapi_free_IcmpMatch(icmp);

    IpProtocolList *protocols = nullptr;
    EXPECT_EQ(READ(IpProtocolList, R"(["udp", "TCP"])", &protocols), "Invalid parameter 'TCP'");
    ASSERT_NE(protocols, nullptr);
    EXPECT_EQ(protocols->value, IP_PROTOCOL_UDP);
    qapi_free_IpProtocolList(protocols);

    ContainerMatch *c = nullptr;
    EXPECT_EQ(READ(ContainerMatch, R"({"image_name": "img", "label": []})", &c), "");
    EXPECT_TRUE(c->has_image_name);
    EXPECT_STREQ(c->image_name, "img");
    EXPECT_TRUE(c->has_label);
    EXPECT_EQ(c->label, nullptr);
    EXPECT_FALSE(c->has_image_id || c->has_command || c->has_k8s_label || c->has_k8s_ns ||
                 c->has_k8s_ns_label);
    qapi_free_ContainerMatch(c);

    /* A JSON null is a present member, and not a string. */
    ProcessMatch *p = nullptr;
    EXPECT_EQ(READ(ProcessMatch, R"({"image_path": null})", &p),
              "Invalid parameter type for 'image_path', expected: string, got: qnull");
    EXPECT_TRUE(p->has_image_path);
    qapi_free_ProcessMatch(p);

    /* Every known member is read before the leftover key is refused; the lenient visitor lets it pass. */
    PortRangeMatch *range = nullptr;
    EXPECT_EQ(READ(PortRangeMatch, R"({"start": 1, "zzz": 0, "end": 2})", &range),
              "QMP input object member 'zzz' is unexpected");
    EXPECT_EQ(range->end, 2);
    qapi_free_PortRangeMatch(range);
    range = nullptr;
    /* With hundreds of leftovers, still the first one in the dictionary's order is named. */
    std::string many = R"({"start": 1, "end": 2)";
    for (int i = 0; i < 300; i++) {
        many += ", \"x" + std::to_string(i) + "\": 0";
    }
    many += "}";
    QObject *parsed = qobject_from_json(many.c_str(), nullptr);
    const QDict *dict = qobject_to_qdict(parsed);
    std::string first;
    for (const QDictEntry *e = qdict_first(dict); e && first.empty(); e = qdict_next(dict, e)) {
        first = qdict_entry_key(e)[0] == 'x' ? qdict_entry_key(e) : "";
    }
    qobject_decref(parsed);
    EXPECT_EQ(READ(PortRangeMatch, many.c_str(), &range), "QMP input object member '" + first + "' is unexpected");
    qapi_free_PortRangeMatch(range);
    range = nullptr;
    EXPECT_EQ(read_json(R"({"start": 1, "zzz": 0, "end": 2})",
                        [&](Visitor *v, Error **e) { visit_type_PortRangeMatch(v, &range, nullptr, e); }, false),
              "");
    qapi_free_PortRangeMatch(range);
}

TEST(InputVisitor, EmptyArrayReadsAsNullList)
{
    EnforcementDnsCache *cache = nullptr;
    EXPECT_EQ(READ(EnforcementDnsCache, R"({"records": []})", &cache), "");
    ASSERT_NE(cache, nullptr);
    EXPECT_EQ(cache->records, nullptr);
    EXPECT_EQ(WRITE(EnforcementDnsCache, cache).json, R"({"records": []})");
    qapi_free_EnforcementDnsCache(cache);

    strList *top = nullptr;
    EXPECT_EQ(READ(strList, R"(["a", "b"])", &top), "");
    ASSERT_NE(top, nullptr);
    EXPECT_STREQ(top->next->value, "b");
    qapi_free_strList(top);
}

TEST(InputVisitor, GetNextTypeMapsTheJsonKind)
{
    int kinds[QTYPE_MAX] = {};
    kinds[QTYPE_QSTRING] = 42;
    int kind = 0;
    EXPECT_EQ(read_json(R"({"a": "x"})",
                        [&](Visitor *v, Error **e) { visit_get_next_type(v, &kind, kinds, "a", e); }),
              "");
    EXPECT_EQ(kind, 42);
    EXPECT_EQ(read_json(R"({"a": "x"})",
                        [&](Visitor *v, Error **e) { visit_get_next_type(v, &kind, kinds, "b", e); }),
              "Parameter 'b' is missing");
}

TEST(InputVisitor, NestingDeeperThanTheStackFails)
{
    QList *root = qlist_new();
    QList *cur = root;
    for (int i = 0; i < 1100; i++) {
        QList *inner = qlist_new();
        qlist_append(cur, inner);
        cur = inner;
    }
    QmpInputVisitor *qiv = qmp_input_visitor_new(QOBJECT(root));
    Visitor *v = qmp_input_get_visitor(qiv);
    Error *err = nullptr;
    int entered = 0;
    std::vector<GenericList *> nodes;
    while (true) {
        visit_start_list(v, nullptr, &err);
        if (err) {
            break;
        }
        entered++;
        GenericList *head = nullptr;
        nodes.push_back(visit_next_list(v, &head, &err));
        ASSERT_EQ(nodes.back(), head);
    }
    /* The object the visitor was created over takes the first of the 1024 entries. */
    EXPECT_EQ(entered, 1023);
    EXPECT_EQ(hvtest::TakeMessage(err), "An internal buffer overran");
    for (GenericList *node : nodes) {
        g_free(node);
    }
    qmp_input_visitor_cleanup(qiv);
    qobject_decref(QOBJECT(root));
}

TEST(CoreVisit, VisitorWithoutUnsignedSlotRefusesUnsignedVisits)
{
    Visitor v{};
    Error *err = nullptr;
    uint16_t u16 = 0;
    visit_type_uint16(&v, &u16, "x", &err);
    EXPECT_EQ(hvtest::TakeMessage(err), "Invalid parameter type for 'x', expected: uint16_t, got: unknown");
    err = nullptr;
    uint64_t u64 = 0;
    visit_type_uint64(&v, &u64, nullptr, &err);
    EXPECT_EQ(hvtest::TakeMessage(err), "Invalid parameter type for 'null', expected: uint64_t, got: unknown");
}

/* Members, nested lists and escapes are written whole in Schema.DeepCopyOfAFullPolicy. */
TEST(OutputVisitor, NullStringEmptyRecordAndNullList)
{
    InetSocketAddress *addr = qapi_new_InetSocketAddress("h", "80");
    g_free(addr->host);
    addr->host = nullptr;
    EXPECT_EQ(WRITE(InetSocketAddress, addr).json, R"j({"host": "(null)", "port": "80"})j");
    qapi_free_InetSocketAddress(addr);

    EntityMatch *empty = qapi_alloc_EntityMatch();
    EXPECT_EQ(WRITE(EntityMatch, empty).json, "{}");
    qapi_free_EntityMatch(empty);
    IcmpMatchList *none = nullptr;
    EXPECT_EQ(WRITE(IcmpMatchList, none).json, "[]");
}

TEST(OutputVisitor, ScalarsAtTheTopHaveNoKey)
{
    auto scalar = [](auto visit) { return write_json(visit).json; };
    EXPECT_EQ(scalar([](Visitor *v, Error **e) { double d = -2; visit_type_number(v, &d, "x", e); }),
              "-2.000");
    EXPECT_EQ(scalar([](Visitor *v, Error **e) { double d = 1.0625; visit_type_number(v, &d, "x", e); }),
              "1.062");
    EXPECT_EQ(scalar([](Visitor *v, Error **e) { int64_t i = INT64_MIN; visit_type_int(v, &i, "x", e); }),
              "-9223372036854775808");
    EXPECT_EQ(scalar([](Visitor *v, Error **e) { uint64_t u = UINT64_MAX; visit_type_uint64(v, &u, "x", e); }),
              "18446744073709551615");
    EXPECT_EQ(scalar([](Visitor *v, Error **e) {
                  char s[] = "a\\b\n";
                  char *p = s;
                  visit_type_str(v, &p, "x", e);
              }),
              R"("a\\b\n")");
}

TEST(OutputVisitor, EnumerationOutsideItsTableFails)
{
    EnforcementRule *rule = qapi_new_EnforcementRule(nullptr, nullptr, nullptr, static_cast<RuleVerdict>(RuleVerdict_MAX), "r");
    EXPECT_EQ(WRITE(EnforcementRule, rule).error, "Invalid parameter 'verdict'");
    qapi_free_EnforcementRule(rule);

    for (int bad : {-1, AgentState_MAX}) {
        AgentState state = static_cast<AgentState>(bad);
        EXPECT_EQ(write_json([&](Visitor *v, Error **e) { visit_type_AgentState(v, &state, nullptr, e); }).error,
                  "Invalid parameter 'null'");
    }
}

TEST(OutputVisitor, GetJsonWithoutReleaseStartsOver)
{
    QmpOutputVisitor *qov = qmp_output_visitor_new();
    Visitor *v = qmp_output_get_visitor(qov);
    PortRangeMatch *p = qapi_new_PortRangeMatch(1, 2);
    visit_type_PortRangeMatch(v, &p, nullptr, nullptr);
    char *first = qmp_output_get_json(qov, false);
    p->end = 3;
    visit_type_PortRangeMatch(v, &p, nullptr, nullptr);
    char *second = qmp_output_get_json(qov, true);
    EXPECT_STREQ(first, R"({"start": 1, "end": 2})");
    EXPECT_STREQ(second, R"({"start": 1, "end": 3})");
    g_free(first);
    g_free(second);
    qapi_free_PortRangeMatch(p);
}

/* Leak checking (ASan) is what makes these fail when a node or string is lost. */
TEST(DeallocVisitor, ReleasesPartlyReadValues)
{
    EnforcementChainList *chains = nullptr;
    EXPECT_EQ(READ(EnforcementChainList,
                   R"([{"chain_name": "a", "rules": []},
                       {"chain_name": "b", "rules": [
                          {"match_src": {"match_ip_hash": ["1.1.1.1"]}, "match_dst": {},
                           "protocols": ["tcp"], "verdict": "ALLOW", "id": "r1"},
                          {"match_src": {"match_dns_list": ["x.test", 5]}, "match_dst": {},
                           "protocols": ["tcp"], "verdict": "ALLOW", "id": "r2"}]}])",
                   &chains),
              "Invalid parameter type for 'null', expected: string, got: qint");
    ASSERT_NE(chains, nullptr);
    ASSERT_NE(chains->next, nullptr);
    EXPECT_STREQ(chains->next->value->rules->next->value->match_src->match_dns_list->value, "x.test");
    /* Reading stopped at the bad element: the rest of the rule is untouched. */
    EXPECT_EQ(chains->next->value->rules->next->value->id, nullptr);
    qapi_free_EnforcementChainList(chains);
}

} // namespace
