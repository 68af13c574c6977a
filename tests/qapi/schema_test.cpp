#include <set>

#include <gtest/gtest.h>

#include "qapi/qapi-util.h"
#include "qapi/qmp-enforcement-types.h"
#include "qapi-test-helpers.h"

namespace {

/* Every member present, written exactly as the output visitor writes it. */
const char *kFullPolicy =
    R"({"input-table": [{"chain_name": "in", "rules": [{"match_src": {)"
    R"("match_multiple_subnets": ["10.0.0.0/8", "fd00::/8"], "match_ip_hash": ["10.1.1.1"], )"
    R"("match_ports": [80, 443], "match_port_ranges": [{"start": 1000, "end": 2000}], )"
    R"("match_processes": [{"image_path": "C:\\bin\\a.exe", "image_basename": "a.exe", )"
    R"("container_id": "c1"}], "match_dns_list": ["example.test"], "match_groups": )"
    R"({"domain_groups": [{"sid": "S-1-5-32-544", "gname": "admins"}], "local_admins": true, )"
    R"("local_users": false}, "match_icmp_types": [{"ver": "4", "type": 8, "codes": [0]}, )"
    R"({"ver": "6", "type": 128, "codes": []}], "match_container_attrs": [{"image_name": "img", )"
    R"("image_id": "id", "command": "cmd", "label": ["l1"], "k8s_label": ["k1"], "k8s_ns": "ns", )"
    R"("k8s_ns_label": ["nl"]}], "match_win_services": [{"service_name": "svc", )"
    R"("service_image_names": ["svc.exe"]}], "match_win_any_services": false}, "match_dst": {}, )"
    R"("protocols": ["tcp", "udp"], "rule_type": "explicit", "verdict": "ALLOW", "id": "r1"}], )"
    R"("implicit": true}], "output-table": [{"chain_name": "out", "rules": []}], )"
    R"("revision": 7, "dc-inventory-revision": 3})";

/* A visitor that only records the memory a value owns. */
struct PointerCollector {
    Visitor visitor;
    std::set<const void *> *seen;
};

std::set<const void *> owned_pointers(EnforcementPolicyOutputJson *policy)
{
    std::set<const void *> seen;
    PointerCollector c{};
    c.seen = &seen;
    c.visitor.start_struct = [](Visitor *v, void **obj, const char *, const char *, size_t, Error **) {
        reinterpret_cast<PointerCollector *>(v)->seen->insert(*obj);
    };
    c.visitor.end_struct = [](Visitor *, Error **) {};
    c.visitor.start_list = [](Visitor *, const char *, Error **) {};
    c.visitor.next_list = [](Visitor *v, GenericList **list, Error **) {
        if (*list) {
            reinterpret_cast<PointerCollector *>(v)->seen->insert(*list);
        }
        return *list;
    };
    c.visitor.end_list = [](Visitor *, Error **) {};
    c.visitor.type_enum = [](Visitor *, int *, const char *const *, const char *, const char *, Error **) {};
    c.visitor.type_int = [](Visitor *, int64_t *, const char *, Error **) {};
    c.visitor.type_uint = [](Visitor *, uint64_t *, const char *, Error **) {};
    c.visitor.type_bool = [](Visitor *, bool *, const char *, Error **) {};
    c.visitor.type_number = [](Visitor *, double *, const char *, Error **) {};
    c.visitor.type_str = [](Visitor *v, char **obj, const char *, Error **) {
        reinterpret_cast<PointerCollector *>(v)->seen->insert(*obj);
    };
    visit_type_EnforcementPolicyOutputJson(&c.visitor, &policy, nullptr, nullptr);
    return seen;
}

TEST(Schema, DeepCopyOfAFullPolicyIsEqualAndIndependent)
{
    EnforcementPolicyOutputJson *policy = nullptr;
    ASSERT_EQ(READ(EnforcementPolicyOutputJson, kFullPolicy, &policy), "");
    EnforcementPolicyOutputJson *copy = qapi_copy_EnforcementPolicyOutputJson(policy);

    EXPECT_EQ(WRITE(EnforcementPolicyOutputJson, policy).json, kFullPolicy);
    EXPECT_EQ(WRITE(EnforcementPolicyOutputJson, copy).json, kFullPolicy);

    std::set<const void *> a = owned_pointers(policy);
    std::set<const void *> b = owned_pointers(copy);
    EXPECT_GT(a.size(), 50u);
    EXPECT_EQ(a.size(), b.size());
    for (const void *p : b) {
        EXPECT_EQ(a.count(p), 0u) << "shared " << p;
    }
    /* Each is freed on its own: a shared block would be freed twice (ASan). */
    qapi_free_EnforcementPolicyOutputJson(policy);
    EXPECT_EQ(WRITE(EnforcementPolicyOutputJson, copy).json, kFullPolicy);
    qapi_free_EnforcementPolicyOutputJson(copy);
    EXPECT_EQ(qapi_copy_EnforcementPolicyOutputJson(nullptr), nullptr);
}

TEST(Schema, ConstructorsCopyTheirArguments)
{
    char host[] = "10.0.0.1";
    InetSocketAddress *plain = qapi_new_InetSocketAddress(host, "443");
    EXPECT_NE(plain->host, host);
    EXPECT_FALSE(plain->has_to || plain->has_ipv4 || plain->has_ipv6);
    EXPECT_EQ(WRITE(InetSocketAddress, plain).json, R"({"host": "10.0.0.1", "port": "443"})");

    /* Optional scalars given to _full are always present, optional pointers when not NULL. */
    InetSocketAddress *full = qapi_new_InetSocketAddress_full(host, "443", 0, false, true);
    EXPECT_EQ(WRITE(InetSocketAddress, full).json,
              R"({"host": "10.0.0.1", "port": "443", "to": 0, "ipv4": false, "ipv6": true})");
    qapi_free_InetSocketAddress(full);

    strList *labels = qapi_new_strList(g_strdup("a"));
    ContainerMatch *c = qapi_new_ContainerMatch_full(nullptr, "id", nullptr, labels, nullptr,
                                                     nullptr, nullptr);
    EXPECT_FALSE(c->has_image_name);
    EXPECT_TRUE(c->has_image_id && c->has_label);
    EXPECT_NE(c->label, labels);
    EXPECT_EQ(WRITE(ContainerMatch, c).json, R"({"image_id": "id", "label": ["a"]})");
    qapi_free_strList(labels);
    qapi_free_ContainerMatch(c);

    InetSocketAddressList *list = qapi_new_InetSocketAddressList(plain);
    list->next = qapi_new_InetSocketAddressList_elem_full("h", "p", 5, true, true);
    EXPECT_EQ(WRITE(InetSocketAddressList, list).json,
              R"([{"host": "10.0.0.1", "port": "443"}, )"
              R"({"host": "h", "port": "p", "to": 5, "ipv4": true, "ipv6": true}])");
    qapi_free_InetSocketAddressList(list);
}

TEST(QapiUtil, EnumParse)
{
    Error *err = nullptr;
    EXPECT_EQ(qapi_enum_parse(RuleType_lookup, nullptr, RuleType_MAX, -1, &err), -1);
    EXPECT_EQ(err, nullptr);
    EXPECT_EQ(qapi_enum_parse(RuleType_lookup, "explicit", RuleType_MAX, -1, &err), 2);
    EXPECT_EQ(qapi_enum_parse(RuleType_lookup, "Explicit", RuleType_MAX, -1, &err), -1);
    EXPECT_EQ(hvtest::TakeMessage(err), "invalid parameter value: Explicit");
    err = nullptr;
    EXPECT_EQ(qapi_enum_parse(RuleType_lookup, "default", 0, 9, &err), 9);
    EXPECT_EQ(hvtest::TakeMessage(err), "invalid parameter value: default");
}

strList *make_str_list(std::initializer_list<const char *> values)
{
    strList *head = nullptr;
    for (auto it = std::rbegin(values); it != std::rend(values); ++it) {
        qapi_list_prepend_str(&head, *it);
    }
    return head;
}

void free_str_node(gpointer node)
{
    g_free(static_cast<GenericList *>(node)->value);
    g_free(node);
}

TEST(QapiUtil, ListQueriesRemovalsAndDetach)
{
    strList *list = make_str_list({"a", "b", "c"});
    EXPECT_EQ(qapi_list_length(list), 3u);
    EXPECT_EQ(qapi_list_length(static_cast<strList *>(nullptr)), 0u);
    EXPECT_STREQ(static_cast<char *>(qapi_list_value_at(list, 2)), "c");
    EXPECT_EQ(qapi_list_value_at(list, 3), nullptr);
    EXPECT_TRUE(qapi_list_contains(list, list->next->value));
    char other_b[] = "b";
    EXPECT_FALSE(qapi_list_contains(list, other_b));
    EXPECT_TRUE(qapi_list_contains_str(list, "b"));
    EXPECT_FALSE(qapi_list_contains_str(list, "d"));
    strList *moved = qapi_list_detach(list);
    EXPECT_EQ(list->value, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(WRITE(strList, moved).json, R"(["a", "b", "c"])");
    qapi_free_strList(moved);
    qapi_free_strList(list);

    list = make_str_list({"a", "b", "a", "c", "b", "a"});
    EXPECT_EQ(qapi_list_remove_duplicates(&list, g_str_hash, g_str_equal, free_str_node), 3u);
    EXPECT_EQ(WRITE(strList, list).json, R"(["a", "b", "c"])");
    EXPECT_EQ(qapi_list_remove_matching(&list, "c", g_str_equal, free_str_node), 1u);
    EXPECT_EQ(qapi_list_remove_matching(&list, "a", nullptr, free_str_node), 0u);
    char *b = list->next->value;
    EXPECT_EQ(qapi_list_remove_matching(&list, b, nullptr, free_str_node), 1u);
    EXPECT_EQ(WRITE(strList, list).json, R"(["a"])");
    EXPECT_EQ(qapi_list_remove_matching(&list, "a", g_str_equal, free_str_node), 1u);
    EXPECT_EQ(list, nullptr);

    uint16List *ports = qapi_new_uint16List(80);
    ports->next = qapi_new_uint16List(80);
    EXPECT_EQ(qapi_list_remove_duplicates(&ports, nullptr, nullptr, g_free), 1u);
    EXPECT_EQ(qapi_list_length(ports), 1u);
    qapi_free_uint16List(ports);
}

} // namespace
