#include "bench/policy_doc.h"

#include <cstdint>
#include <cstdio>
#include <random>

namespace {

struct Gen {
    std::mt19937_64 rng{20261206};
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(rng() % n); }

    std::string ipv4() { return std::to_string(10 + below(200)) + "." + std::to_string(below(256)) + "." +
                                std::to_string(below(256)) + "." + std::to_string(1 + below(254)); }
    std::string subnet() { return ipv4() + "/" + std::to_string(8 + below(25)); }
    std::string id()
    {
        char buf[40];
        snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", below(UINT32_MAX), below(65536), below(65536),
                 below(65536), static_cast<unsigned long long>(rng() & 0xFFFFFFFFFFFFull));
        return buf;
    }
};

void str_list(std::string &out, const char *key, Gen &g, int n, std::string (Gen::*make)())
{
    out += "\"";
    out += key;
    out += "\": [";
    for (int i = 0; i < n; i++) {
        out += i ? ", \"" : "\"";
        out += (g.*make)();
        out += "\"";
    }
    out += "]";
}

void entity(std::string &out, Gen &g, bool rich, size_t extra)
{
    out += "{";
    bool first = true;
    auto sep = [&] {
        if (!first) {
            out += ", ";
        }
        first = false;
    };
    if (g.below(3) != 0) {
        sep();
        str_list(out, "match_multiple_subnets", g, 1 + static_cast<int>(g.below(3)), &Gen::subnet);
    }
    if (g.below(2) == 0) {
        sep();
        str_list(out, "match_ip_hash", g, 1 + static_cast<int>(g.below(3)), &Gen::ipv4);
    }
    if (rich) {
        sep();
        out += "\"match_ports\": [" + std::to_string(g.below(65536)) + ", " + std::to_string(g.below(65536)) + "]";
        if (g.below(2) == 0) {
            uint32_t start = g.below(60000);
            sep();
            out += "\"match_port_ranges\": [{\"start\": " + std::to_string(start) +
                   ", \"end\": " + std::to_string(start + g.below(5000)) + "}]";
        }
        if (g.below(3) == 0) {
            sep();
            out += "\"match_processes\": [{\"image_path\": \"C:\\\\Program Files\\\\App" + std::to_string(g.below(500)) +
                   "\\\\bin\\\\service" + std::to_string(g.below(50)) + ".exe\"}]";
        }
        if (g.below(4) == 0) {
            sep();
            out += "\"match_dns_list\": [\"host" + std::to_string(g.below(100000)) + ".corp.example.com\"" +
                   std::string(extra > 0 ? ", \"" + std::string(extra, 'a') + ".example.org\"" : "") + "]";
        }
    }
    out += "}";
}

void table(std::string &out, const char *key, Gen &g, size_t rules, size_t per_rule_extra)
{
    const size_t chains = 64;
    out += "\"";
    out += key;
    out += "\": [";
    for (size_t c = 0; c < chains; c++) {
        out += c ? ", " : "";
        out += "{\"chain_name\": \"chain-" + std::to_string(c) + "\", \"rules\": [";
        size_t n = rules / chains + (c < rules % chains ? 1 : 0);
        for (size_t r = 0; r < n; r++) {
            out += r ? ", " : "";
            out += "{\"match_src\": ";
            entity(out, g, false, 0);
            out += ", \"match_dst\": ";
            entity(out, g, true, per_rule_extra);
            static const char *const protos[] = {"\"tcp\"", "\"udp\"", "\"tcp\", \"udp\"", "\"icmp\"", "\"all\""};
            out += ", \"protocols\": [";
            out += protos[g.below(5)];
            out += "], \"rule_type\": \"explicit\", \"verdict\": \"";
            out += g.below(4) == 0 ? "BLOCK" : "ALLOW";
            out += "\", \"id\": \"" + g.id() + "\"}";
        }
        out += "], \"implicit\": false}";
    }
    out += "]";
}

std::string build(size_t rule_count, size_t extra)
{
    Gen g;
    std::string out = "{\"execute\": \"set-enforcement-policy\", \"arguments\": {";
    table(out, "input-table", g, rule_count / 2, extra);
    out += ", ";
    table(out, "output-table", g, rule_count - rule_count / 2, extra);
    out += ", \"revision\": 4242, \"dc-inventory-revision\": 17}}";
    return out;
}

} // namespace

std::string bench_policy_request(size_t rule_count, size_t target_bytes)
{
    /* Pad DNS names until the document reaches the wanted size. */
    std::string doc = build(rule_count, 0);
    size_t extra = 0;
    while (doc.size() < target_bytes) {
        size_t per_rule = (target_bytes - doc.size()) * 4 / rule_count + 1;
        extra += per_rule;
        doc = build(rule_count, extra);
    }
    return doc;
}
