#include "enforcement/driver-daemon/endr-netfilter.h"

#include <arpa/inet.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_conntrack_common.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/xt_NFQUEUE.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <glib.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <libnftnl/batch.h>
#include <libnftnl/expr.h>
#include <libnftnl/rule.h>
#include <nftables/libnftables.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "enforcement/driver-daemon/endr-engine.h"
#include "enforcement/driver-daemon/endr-nf-packet.h"
#include "enforcement/driver-daemon/endr-nf-socket.h"
#include "enforcement/driver-daemon/endr-state.h"

namespace endr {

/*
 * Flows dropped lately, by tuple: their retries (SYN retransmissions, more datagrams or
 * echoes from the same socket) are new to conntrack again, but they are one connection
 * attempt and make one record. Valid while the same policy is active.
 */
struct DropMemory {
    std::map<std::string, std::chrono::steady_clock::time_point> flows;
    std::tuple<bool, uint64_t, uint64_t, uint64_t> policy{};
};

struct NetfilterEngine {
    uint16_t queue = 0;
    DropMemory dropped;
    nfq_handle *h = nullptr;
    nfq_q_handle *qh = nullptr;
    int stop_fd = -1;
    std::thread thread;
    std::set<uint64_t> excluded;
    bool table_installed = false;
    /* Names this daemon's table: another daemon may have replaced it since (same name). */
    uint64_t table_handle = 0;
};

namespace {

constexpr char kTable[] = "holvenstad";
/* The whole packet: headers are all the judge reads, but an IPv6 extension header chain can
 * push the transport header anywhere, and a packet cut short of it would pass unjudged.
 * Only the first packet of a flow comes this way. */
constexpr uint32_t kCopyBytes = 0xffff;
/* One queued packet with its netlink and queue attributes. */
constexpr size_t kReadBytes = kCopyBytes + 4096;
constexpr int kReceiveBuffer = 8 << 20;

/* Runs nft commands; the error text of a failure into *why, what they print (with object
 * handles) into *out when given. */
bool nft_run(const std::string &commands, std::string *why, std::string *out = nullptr)
{
    nft_ctx *ctx = nft_ctx_new(NFT_CTX_DEFAULT);
    if (!ctx) {
        *why = "cannot create an nftables context";
        return false;
    }
    nft_ctx_buffer_output(ctx);
    if (out) {
        nft_ctx_output_set_flags(ctx, nft_ctx_output_get_flags(ctx) | NFT_CTX_OUTPUT_HANDLE);
    }
    nft_ctx_buffer_error(ctx);
    bool ok = nft_run_cmd_from_buffer(ctx, commands.c_str()) == 0;
    if (ok && out) {
        const char *text = nft_ctx_get_output_buffer(ctx);
        *out = text ? text : "";
    }
    if (!ok) {
        const char *err = nft_ctx_get_error_buffer(ctx);
        *why = err && *err ? err : "nftables refused the commands";
        while (!why->empty() && why->back() == '\n') {
            why->pop_back();
        }
    }
    nft_ctx_free(ctx);
    return ok;
}

/*
 * The queue step as nft's compat "target" expression carrying the xtables NFQUEUE target
 * (revision 3, bypass): for kernels without nft's own queue expression.
 */
bool add_compat_queue_rule(const char *chain, uint16_t queue, std::string *why)
{
    nftnl_rule *r = nftnl_rule_alloc();
    if (!r) {
        *why = "out of memory";
        return false;
    }
    nftnl_rule_set_u32(r, NFTNL_RULE_FAMILY, NFPROTO_INET);
    nftnl_rule_set_str(r, NFTNL_RULE_TABLE, kTable);
    nftnl_rule_set_str(r, NFTNL_RULE_CHAIN, chain);
    uint32_t new_bit = NF_CT_STATE_BIT(IP_CT_NEW), zero = 0;
    nftnl_expr *ct = nftnl_expr_alloc("ct");
    nftnl_expr *bitwise = nftnl_expr_alloc("bitwise");
    nftnl_expr *cmp = nftnl_expr_alloc("cmp");
    nftnl_expr *target = nftnl_expr_alloc("target");
    /* The expression keeps the pointer it is given and frees it with the rule. */
    auto *info = static_cast<xt_NFQ_info_v3 *>(calloc(1, sizeof(xt_NFQ_info_v3)));
    if (!ct || !bitwise || !cmp || !target || !info) {
        for (nftnl_expr *e : {ct, bitwise, cmp, target}) {
            if (e) {
                nftnl_expr_free(e);
            }
        }
        free(info);
        nftnl_rule_free(r);
        *why = "out of memory";
        return false;
    }
    nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_KEY, NFT_CT_STATE);
    nftnl_expr_set_u32(ct, NFTNL_EXPR_CT_DREG, NFT_REG_1);
    nftnl_rule_add_expr(r, ct);
    nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_SREG, NFT_REG_1);
    nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_DREG, NFT_REG_1);
    nftnl_expr_set_u32(bitwise, NFTNL_EXPR_BITWISE_LEN, sizeof(uint32_t));
    nftnl_expr_set(bitwise, NFTNL_EXPR_BITWISE_MASK, &new_bit, sizeof(uint32_t));
    nftnl_expr_set(bitwise, NFTNL_EXPR_BITWISE_XOR, &zero, sizeof(uint32_t));
    nftnl_rule_add_expr(r, bitwise);
    nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_SREG, NFT_REG_1);
    nftnl_expr_set_u32(cmp, NFTNL_EXPR_CMP_OP, NFT_CMP_NEQ);
    nftnl_expr_set(cmp, NFTNL_EXPR_CMP_DATA, &zero, sizeof(uint32_t));
    nftnl_rule_add_expr(r, cmp);
    nftnl_expr_set_str(target, NFTNL_EXPR_TG_NAME, "NFQUEUE");
    nftnl_expr_set_u32(target, NFTNL_EXPR_TG_REV, 3);
    info->queuenum = queue;
    info->queues_total = 1;
    info->flags = NFQ_FLAG_BYPASS;
    nftnl_expr_set(target, NFTNL_EXPR_TG_INFO, info, sizeof(*info));
    nftnl_rule_add_expr(r, target);

    std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE * 2);
    mnl_nlmsg_batch *batch = mnl_nlmsg_batch_start(buf.data(), buf.size());
    uint32_t seq = static_cast<uint32_t>(time(nullptr));
    nftnl_batch_begin(static_cast<char *>(mnl_nlmsg_batch_current(batch)), seq++);
    mnl_nlmsg_batch_next(batch);
    nlmsghdr *nlh = nftnl_rule_nlmsg_build_hdr(static_cast<char *>(mnl_nlmsg_batch_current(batch)), NFT_MSG_NEWRULE,
                                               NFPROTO_INET, NLM_F_APPEND | NLM_F_CREATE | NLM_F_ACK, seq++);
    nftnl_rule_nlmsg_build_payload(nlh, r);
    nftnl_rule_free(r);
    mnl_nlmsg_batch_next(batch);
    nftnl_batch_end(static_cast<char *>(mnl_nlmsg_batch_current(batch)), seq++);
    mnl_nlmsg_batch_next(batch);

    mnl_socket *nl = mnl_socket_open(NETLINK_NETFILTER);
    bool ok = nl && mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) == 0 &&
              mnl_socket_sendto(nl, mnl_nlmsg_batch_head(batch), mnl_nlmsg_batch_size(batch)) >= 0;
    int rc = MNL_CB_ERROR;
    while (ok) {
        ssize_t n = mnl_socket_recvfrom(nl, buf.data(), buf.size());
        if (n <= 0) {
            rc = MNL_CB_ERROR;
            break;
        }
        /* The rule's acknowledgement ends the exchange (stop), an error fails it. */
        rc = mnl_cb_run(buf.data(), static_cast<size_t>(n), 0, mnl_socket_get_portid(nl), nullptr, nullptr);
        if (rc <= MNL_CB_STOP) {
            break;
        }
    }
    ok = ok && rc == MNL_CB_STOP;
    if (!ok) {
        *why = std::string("the kernel refused the NFQUEUE rule: ") + g_strerror(errno);
    }
    mnl_nlmsg_batch_stop(batch);
    if (nl) {
        mnl_socket_close(nl);
    }
    return ok;
}

/* The table with its chains and the excluded set, replacing any left by a daemon that died.
 * *method names how the queue step was placed. */
bool install_table(uint16_t queue, std::string *method, std::string *why)
{
    std::string base = std::string("add table inet ") + kTable + "\n" + "delete table inet " + kTable + "\n" +
                       "add table inet " + kTable + "\n" + "add set inet " + kTable +
                       " excluded { type iface_index; }\n" + "add chain inet " + kTable +
                       " output { type filter hook output priority 0; policy accept; }\n" + "add chain inet " +
                       kTable + " input { type filter hook input priority 0; policy accept; }\n" +
                       "add rule inet " + kTable + " output oif @excluded accept\n" + "add rule inet " + kTable +
                       " input iif @excluded accept\n";
    if (!nft_run(base, why)) {
        return false;
    }
    std::string q = std::to_string(queue);
    std::string ignored;
    if (nft_run(std::string("add rule inet ") + kTable + " output ct state new queue num " + q + " bypass\n" +
                    "add rule inet " + kTable + " input ct state new queue num " + q + " bypass\n",
                &ignored)) {
        *method = "nft queue";
        return true;
    }
    if (add_compat_queue_rule("output", queue, why) && add_compat_queue_rule("input", queue, why)) {
        *method = "xtables NFQUEUE target";
        return true;
    }
    std::string gone;
    nft_run(std::string("delete table inet ") + kTable + "\n", &gone);
    return false;
}

/* The handle of the table now in place, 0 when there is none or it cannot be read. */
uint64_t table_handle()
{
    std::string why, out;
    if (!nft_run(std::string("list table inet ") + kTable + "\n", &why, &out)) {
        return 0;
    }
    size_t at = out.find("# handle ");
    size_t nl = out.find('\n');
    if (at == std::string::npos || (nl != std::string::npos && at > nl)) {
        return 0;
    }
    return strtoull(out.c_str() + at + 9, nullptr, 10);
}

/* Removes this daemon's table only: one a later daemon put in its place stays. */
void remove_table(uint64_t handle)
{
    std::string why;
    if (uint64_t now = table_handle(); handle != 0 && now != handle) {
        if (now != 0) {
            g_warning("[endr-nf] table inet %s was replaced by another daemon; left in place", kTable);
        }
        return;
    }
    std::string cmd = handle != 0 ? "delete table inet handle " + std::to_string(handle)
                                  : std::string("delete table inet ") + kTable;
    if (!nft_run(cmd + "\n", &why)) {
        g_warning("[endr-nf] cannot remove table inet %s: %s", kTable, why.c_str());
    }
}

/* The module's excluded interfaces into the set, when they changed. */
void sync_excluded(NetfilterEngine *nf)
{
    std::set<uint64_t> now;
    state_peek([&](const State &s) {
        if (s.driver.excluded) {
            for (uint64_t luid : *s.driver.excluded) {
                /* Interface indexes are 32-bit; 0 is an empty slot. */
                if (luid != 0 && luid <= UINT32_MAX) {
                    now.insert(luid);
                }
            }
        }
    });
    if (now == nf->excluded) {
        return;
    }
    std::string cmd = std::string("flush set inet ") + kTable + " excluded\n";
    if (!now.empty()) {
        cmd += std::string("add element inet ") + kTable + " excluded { ";
        for (uint64_t i : now) {
            cmd += std::to_string(i) + (i == *now.rbegin() ? " }\n" : ", ");
        }
    }
    std::string why;
    if (nft_run(cmd, &why)) {
        nf->excluded = now;
        g_message("[endr-nf] %zu excluded interfaces are not queued", now.size());
    } else {
        g_warning("[endr-nf] cannot update the excluded interfaces: %s", why.c_str());
    }
}

/* Network-order address into the record's 24-byte form (IPv4: host-order u32 at 8). */
void record_form(const std::array<uint8_t, 16> &a, bool ipv6, uint8_t out[24])
{
    memset(out, 0, 24);
    if (ipv6) {
        memcpy(out + 8, a.data(), 16);
        return;
    }
    out[0] = 1;
    uint32_t host = static_cast<uint32_t>(a[0]) << 24 | static_cast<uint32_t>(a[1]) << 16 |
                    static_cast<uint32_t>(a[2]) << 8 | a[3];
    memcpy(out + 8, &host, 4);
}

constexpr auto kDropMemory = std::chrono::seconds(60);
constexpr size_t kMaxDropMemory = 4096;

std::string flow_key(const Connection &c)
{
    std::string k(reinterpret_cast<const char *>(c.local.data()), 16);
    k.append(reinterpret_cast<const char *>(c.remote.data()), 16);
    uint8_t rest[] = {c.inbound,
                      c.protocol,
                      c.ipv6,
                      static_cast<uint8_t>(c.local_port >> 8),
                      static_cast<uint8_t>(c.local_port),
                      static_cast<uint8_t>(c.remote_port >> 8),
                      static_cast<uint8_t>(c.remote_port),
                      c.icmp_type,
                      c.icmp_code};
    k.append(reinterpret_cast<const char *>(rest), sizeof(rest));
    return k;
}

/* True when c retries a flow dropped under the active policy; forgets what no longer holds. */
bool retry_of_dropped(DropMemory &m, const Connection &c)
{
    decltype(m.policy) now{};
    state_peek([&](const State &s) {
        now = {s.driver.active.present, s.driver.active.revision, s.driver.active.input_rules,
               s.driver.active.output_rules};
    });
    if (now != m.policy) {
        m.flows.clear();
        m.policy = now;
    }
    auto it = m.flows.find(flow_key(c));
    auto t = std::chrono::steady_clock::now();
    if (it == m.flows.end() || t - it->second > kDropMemory) {
        return false;
    }
    it->second = t;
    return true;
}

void remember_drop(DropMemory &m, const Connection &c)
{
    auto t = std::chrono::steady_clock::now();
    if (m.flows.size() >= kMaxDropMemory) {
        std::erase_if(m.flows, [&](const auto &f) { return t - f.second > kDropMemory; });
        if (m.flows.size() >= kMaxDropMemory) {
            m.flows.clear();
        }
    }
    m.flows[flow_key(c)] = t;
}

/* The verdict for one new flow, its record queued for the module. */
uint32_t judge(const Connection &c)
{
    uint64_t pid = nf_socket_pid(c);
    ConnectionSpec spec;
    spec.inbound = c.inbound;
    spec.protocol = c.protocol;
    spec.family = c.ipv6 ? 2 : 1;
    record_form(c.local, c.ipv6, spec.local);
    record_form(c.remote, c.ipv6, spec.remote);
    spec.local_port = c.local_port;
    spec.remote_port = c.remote_port;
    spec.pid = pid;
    spec.has_icmp_type = c.has_icmp_type;
    spec.icmp_type = c.icmp_type;
    spec.has_icmp_code = c.has_icmp_code;
    spec.icmp_code = c.icmp_code;
    InjectResult result;
    if (engine_inject_connection(spec, 1, &result) == 0) {
        return result.verdict.verdict;
    }
    /* No device open: nobody reads records, the policy still holds. */
    Connection use = c;
    use.pid = pid;
    return engine_classify(use, pid).verdict;
}

/* The daemon's counters, served to the module with the driver metrics. */
void count(const char *name)
{
    Engine &e = engine();
    std::lock_guard<std::mutex> g(e.mu);
    e.counters[name]++;
}

int on_packet(nfq_q_handle *qh, nfgenmsg *, nfq_data *nfa, void *data)
{
    auto *nf = static_cast<NetfilterEngine *>(data);
    nfqnl_msg_packet_hdr *ph = nfq_get_msg_packet_hdr(nfa);
    if (!ph) {
        return 0;
    }
    uint32_t id = ntohl(ph->packet_id);
    unsigned char *payload = nullptr;
    int len = nfq_get_payload(nfa, &payload);
    uint32_t verdict = NF_ACCEPT;
    Connection c;
    if (len > 0 && (ph->hook == NF_INET_LOCAL_IN || ph->hook == NF_INET_LOCAL_OUT) &&
        nf_packet_tuple(std::span<const uint8_t>(payload, static_cast<size_t>(len)), ph->hook == NF_INET_LOCAL_IN,
                        &c)) {
        if (retry_of_dropped(nf->dropped, c)) {
            verdict = NF_DROP;
            count("endr.nf-retries-dropped");
        } else {
            count("endr.nf-flows-judged");
            if (judge(c) == 1) {
                verdict = NF_DROP;
                count("endr.nf-flows-dropped");
                remember_drop(nf->dropped, c);
            }
        }
    } else {
        count("endr.nf-packets-unjudged");
    }
    return nfq_set_verdict(qh, id, verdict, 0, nullptr);
}

void run(NetfilterEngine *nf)
{
    int fd = nfq_fd(nf->h);
    std::vector<char> buf(kReadBytes);
    sync_excluded(nf);
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {nf->stop_fd, POLLIN, 0}};
        int n = poll(fds, 2, 500);
        if (n < 0 && errno != EINTR) {
            g_warning("[endr-nf] poll: %s", g_strerror(errno));
            return;
        }
        if (fds[1].revents) {
            return;
        }
        if (n > 0 && fds[0].revents) {
            ssize_t got = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (got > 0) {
                nfq_handle_packet(nf->h, buf.data(), static_cast<int>(got));
            } else if (got < 0 && errno == ENOBUFS) {
                /* The kernel dropped messages: those packets pass by the fail-open flag. */
                g_warning("[endr-nf] the queue overran");
            }
        }
        sync_excluded(nf);
    }
}

void release(NetfilterEngine *nf)
{
    if (nf->table_installed) {
        remove_table(nf->table_handle);
    }
    if (nf->qh) {
        nfq_destroy_queue(nf->qh);
    }
    if (nf->h) {
        nfq_close(nf->h);
    }
    if (nf->stop_fd >= 0) {
        close(nf->stop_fd);
    }
    delete nf;
}

} // namespace

NetfilterEngine *nf_engine_start(uint16_t queue, std::string *why)
{
    auto *nf = new NetfilterEngine;
    nf->queue = queue;
    nf->stop_fd = eventfd(0, EFD_CLOEXEC);
    /* The queue is read before the rules feed it: no flow waits on nobody. */
    nf->h = nfq_open();
    if (nf->stop_fd < 0 || !nf->h) {
        *why = std::string("cannot open a netfilter queue socket: ") + g_strerror(errno);
        release(nf);
        return nullptr;
    }
    nf->qh = nfq_create_queue(nf->h, queue, on_packet, nf);
    if (!nf->qh) {
        *why = "cannot bind netfilter queue " + std::to_string(queue) + " (taken, or no CAP_NET_ADMIN)";
        release(nf);
        return nullptr;
    }
    if (nfq_set_mode(nf->qh, NFQNL_COPY_PACKET, kCopyBytes) < 0) {
        *why = "cannot set the queue's copy mode";
        release(nf);
        return nullptr;
    }
    /* Room for a burst of whole first packets before the socket overruns (and they pass). */
    int rcvbuf = kReceiveBuffer;
    if (setsockopt(nfq_fd(nf->h), SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf)) != 0 &&
        setsockopt(nfq_fd(nf->h), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf)) != 0) {
        g_warning("[endr-nf] cannot enlarge the queue socket's buffer: %s", g_strerror(errno));
    }
    /* A full queue lets packets through rather than dropping them. */
    if (nfq_set_queue_flags(nf->qh, NFQA_CFG_F_FAIL_OPEN, NFQA_CFG_F_FAIL_OPEN) < 0) {
        g_warning("[endr-nf] the queue cannot fail open: when it is full, new flows are dropped");
    }
    std::string method;
    if (!install_table(queue, &method, why)) {
        release(nf);
        return nullptr;
    }
    nf->table_installed = true;
    nf->table_handle = table_handle();
    g_message("[endr-nf] judging new flows from queue %u (table inet %s, %s)", queue, kTable, method.c_str());
    nf->thread = std::thread(run, nf);
    return nf;
}

void nf_engine_stop(NetfilterEngine *nf)
{
    if (!nf) {
        return;
    }
    /* No new flow is queued from here on; those queued already still get their verdict. */
    if (nf->table_installed) {
        remove_table(nf->table_handle);
        nf->table_installed = false;
    }
    uint64_t one = 1;
    if (write(nf->stop_fd, &one, sizeof(one)) != sizeof(one)) {
        g_warning("[endr-nf] cannot wake the queue thread");
    }
    nf->thread.join();
    release(nf);
    g_message("[endr-nf] table inet %s removed", kTable);
}

} // namespace endr
