/* One fully populated event of each kind the schema can carry, for the round-trip tests and
 * the sample writer whose bytes the Python check decodes. */
#pragma once

#include <string>
#include <vector>

#include "agent-common/network-events.pb.h"

namespace hvtest {

inline void AddLabel(google::protobuf::RepeatedPtrField<LabelEntry> *labels, const char *k, const char *v)
{
    LabelEntry *l = labels->Add();
    l->set_key(k);
    l->set_value(v);
}

inline void FillContainer(ContainerInformation *c, const char *suffix)
{
    c->set_image_id(std::string("sha256:img-") + suffix);
    c->set_image_name(std::string("registry.local/app-") + suffix);
    c->set_container_id(std::string("c0ffee-") + suffix);
    c->add_container_names(std::string("app-") + suffix);
    c->add_container_names(std::string("sidecar-") + suffix);
    c->set_command("/bin/app --serve");
    AddLabel(c->mutable_labels(), "tier", "web");
    AddLabel(c->mutable_labels(), "owner", "ops");
    c->set_network_mode("bridge");
}

inline NetEvent ConnectionV4Sample()
{
    NetEvent e;
    e.set_type(NetEvent::Connection);
    e.set_time_sec(1765084267);
    e.set_time_ns(123456000);
    NetConnectionEvent *c = e.MutableExtension(NetConnectionEvent::header);
    c->set_type(NetConnectionEvent::Connect);
    c->set_pid(4242);
    c->set_process_name("curl");
    c->set_ppid(1);
    c->set_parent_name("bash");
    c->set_username("HOST\\alice");
    c->set_uid(1000);
    c->set_image_path("/usr/bin/curl");
    c->set_service("sshd");
    c->set_container_id("HOST");
    FillContainer(c->mutable_container_info(), "a");
    c->set_dns_name("example.test");
    c->set_enrichment_type(NetConnectionEvent::EnrichNAT);
    c->set_endr_sm_id(0xFEDCBA9876543210ull);
    c->set_pod_id("HOST");
    KubernetesPodInformation *k = c->mutable_kubernetes_info();
    k->set_controller_id("rs-1");
    AddLabel(k->mutable_k8s_labels(), "app", "web");
    AddLabel(k->mutable_k8s_annotations(), "note", "x");
    k->set_k8s_namespace("default");
    k->set_pod_id("pod-1");
    k->set_pod_name("web-1");
    FillContainer(k->add_containers_info(), "k");
    c->set_kubernetes_cluster_id("cluster-9");
    c->set_errorcode(-1);
    c->set_fd(-1);
    c->set_n_threads(1);
    c->set_ip_protocol(NetConnectionEvent::TCP);
    c->mutable_ipv4_tuple()->set_source_ip(0x0A000001u);
    c->mutable_ipv4_tuple()->set_dest_ip(0xC0A80102u);
    c->set_source_port(50000);
    c->set_dest_port(443);
    c->set_sent_bytes(1ull << 40);
    c->set_recv_bytes(7);
    NetConnectionEvent::EnforcementInfo *enf = c->mutable_enforcement();
    enf->set_verdict(NetConnectionEvent::Block);
    enf->set_rule_id("rule-17");
    enf->set_revision(0x0000000500000003ull);
    enf->set_dc_inventory_revision(3);
    c->set_enforcement_state(NetConnectionEvent::Enforcing);
    NetConnectionEvent::DeceptionInfo *d = c->mutable_deception_info();
    d->set_redirected(false);
    d->set_policy_verdict(NetConnectionEvent::NoMatch);
    d->set_no_redirect_reason(NetConnectionEvent::NetworkLearningPhaseInProgress);
    d->set_rdr_id(77);
    c->set_dns_pattern("*.example.test");
    c->set_win_service_name("Dnscache");
    c->set_win_service_display("DNS Client");
    return e;
}

inline NetEvent ConnectionV6Sample()
{
    NetEvent e;
    e.set_type(NetEvent::Connection);
    e.set_time_sec(1765084268);
    e.set_time_ns(0);
    NetConnectionEvent *c = e.MutableExtension(NetConnectionEvent::header);
    c->set_type(NetConnectionEvent::RecvFrom);
    c->set_pid(0xFFFFFFFEu);
    c->set_ppid(0xFFFFFFFFu);
    c->set_ip_protocol(NetConnectionEvent::UDP);
    std::string src(16, '\0'), dst(16, '\0');
    src[0] = static_cast<char>(0xfe);
    src[1] = static_cast<char>(0x80);
    src[15] = 1;
    dst[0] = static_cast<char>(0xff);
    dst[1] = 0x02;
    dst[15] = static_cast<char>(0xfb);
    c->mutable_ipv6_tuple()->set_source_ip(src);
    c->mutable_ipv6_tuple()->set_dest_ip(dst);
    c->set_source_port(5353);
    c->set_dest_port(5353);
    c->set_enrichment_type(NetConnectionEvent::EnrichStatus);
    c->set_enforcement_state(NetConnectionEvent::MetricsOnly);
    return e;
}

inline NetEvent ProcessSample()
{
    NetEvent e;
    e.set_type(NetEvent::Process);
    e.set_time_sec(1765084269);
    e.set_time_ns(999999000);
    NetProcessEvent *p = e.MutableExtension(NetProcessEvent::header);
    p->set_type(NetProcessEvent::StartedConnection);
    p->set_pid(31337);
    p->set_process_name("python3");
    p->set_ppid(4242);
    p->set_parent_name("bash");
    p->set_username("HOST\\bob");
    p->set_uid(1001);
    p->set_image_path("/usr/bin/python3.11");
    p->set_service("web.service");
    p->set_cwd("/srv/app");
    p->set_cgroups("0::/system.slice/web.service");
    p->set_cmdline("python3 -m http.server 8000");
    FileAttributes_pb *a = p->mutable_file_attrs();
    a->set_mode(0100755);
    a->set_size(6831704);
    a->set_access_time(-5);
    a->set_modification_time(1700000000);
    a->set_creation_time(1690000000);
    a->set_inode(123456);
    GuestFileHashes_pb *h = p->mutable_file_hashes();
    h->set_md5("d41d8cd98f00b204e9800998ecf8427e");
    h->set_sha1("da39a3ee5e6b4b0d3255bfef95601890afd80709");
    h->set_sha256("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    return e;
}

/* A keepalive as the module sends it (no extension) and one that carries its empty extension. */
inline NetEvent KeepaliveSample(bool with_extension)
{
    NetEvent e;
    e.set_type(NetEvent::Keepalive);
    e.set_time_sec(1765084270);
    e.set_time_ns(1000);
    if (with_extension) {
        e.MutableExtension(NetKeepaliveEvent::header);
    }
    return e;
}

inline std::vector<NetEvent> AllSamples()
{
    return {ConnectionV4Sample(), ConnectionV6Sample(), ProcessSample(), KeepaliveSample(false),
            KeepaliveSample(true)};
}

} // namespace hvtest
