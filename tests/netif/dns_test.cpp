#include <glib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "util/aux-netif.h"

namespace {

std::vector<std::string> g_log;

void Capture(const gchar *, GLogLevelFlags, const gchar *message, gpointer)
{
    g_log.emplace_back(message);
}

class DnsServers : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_autofree char *dir = g_dir_make_tmp("hv-netif-dns-XXXXXX", nullptr);
        ASSERT_NE(dir, nullptr);
        dir_ = dir;
        g_setenv("HV_RESOLV_CONF", (dir_ + "/resolv.conf").c_str(), TRUE);
    }

    void TearDown() override
    {
        g_unsetenv("HV_RESOLV_CONF");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::vector<std::string> Servers(const std::string &text)
    {
        EXPECT_TRUE(g_file_set_contents((dir_ + "/resolv.conf").c_str(), text.data(),
                                        static_cast<gssize>(text.size()), nullptr));
        GSList *list = aux_get_dns_servers();
        std::vector<std::string> out;
        for (GSList *l = list; l; l = l->next) {
            out.emplace_back(static_cast<char *>(l->data));
        }
        g_slist_free_full(list, g_free);
        return out;
    }

    std::string dir_;
};

TEST_F(DnsServers, DistinctServersInFileOrder)
{
    EXPECT_EQ(Servers("# written by hand\n"
                      "search example.com\n"
                      "nameserver 8.8.8.8\n"
                      "; nameserver 1.1.1.1\n"
                      "nameserver 0.0.0.0\n"
                      "nameserver\t2001:0db8:0::1 ; the office resolver\n"
                      "nameserver 8.8.8.8\n"
                      "nameserver fe80::53%eth0\n"
                      "nameserver resolver.example.com\n"
                      "nameserver 300.1.1.1\n"
                      "nameserver\n"
                      "nameserver9.9.9.9\n"
                      "  nameserver 7.7.7.7\n"
                      "nameserver 10.0.0.1#53\n"
                      "nameserver 2001:db8::1\n"
                      "nameserver ::\n"
                      "nameserver ::ffff:10.0.0.1\n"
                      "nameserver ::ffff:10.0.0.2\n"
                      "options edns0\n"
                      "nameserver 192.0.2.1"),
              (std::vector<std::string>{"8.8.8.8", "2001:db8::1", "fe80::53", "10.0.0.1", "::", "10.0.0.2",
                                        "192.0.2.1"}));
}

TEST_F(DnsServers, NothingWhenNoneIsConfiguredOrTheFileIsUnreadable)
{
    g_log.clear();
    GLogFunc old = g_log_set_default_handler(Capture, nullptr);
    EXPECT_TRUE(Servers("search example.com\nnameserver 0.0.0.0\n").empty());
    static const char kNul[] = "nameserver 10.9.8.7\0 junk\nnameserver 10.1.1.1\n";
    EXPECT_EQ(Servers(std::string(kNul, sizeof kNul - 1)), std::vector<std::string>{"10.1.1.1"});
    EXPECT_TRUE(g_log.empty());

    g_setenv("HV_RESOLV_CONF", (dir_ + "/missing.conf").c_str(), TRUE);
    EXPECT_EQ(aux_get_dns_servers(), nullptr);
    g_log_set_default_handler(old, nullptr);
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0].rfind("[aux] error reading network interfaces for DNS info: ", 0), 0u) << g_log[0];
}

} // namespace
