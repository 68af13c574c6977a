/* A loaded emulated driver in a private run-time folder, with its own control socket. */
#pragma once

#include <glib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "enforcement/driver-daemon/driver-emu.h"
#include "enforcement/driver-daemon/endr-wire.h"
#include "qobject/qdict.h"
#include "qobject/qjson.h"
#include "qobject/qlist.h"
#include "qobject/qstring.h"
#include "qobject/quint.h"
#include "tests/common/hv-test-support.h"

struct Hdr {
    uint16_t magic = endr::kMagic;
    uint8_t version = endr::kHeaderVersion;
    uint8_t selector = 0;
    uint64_t value = 0;
    uint32_t length = 0;

    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> b(16);
        memcpy(b.data(), &magic, 2);
        b[2] = version;
        b[3] = selector;
        memcpy(b.data() + 4, &value, 8);
        memcpy(b.data() + 12, &length, 4);
        return b;
    }
};

template <typename T> void put(std::vector<uint8_t> &b, size_t off, T v)
{
    memcpy(b.data() + off, &v, sizeof(T));
}
template <typename T> void append(std::vector<uint8_t> &b, T v)
{
    b.resize(b.size() + sizeof(T));
    memcpy(b.data() + b.size() - sizeof(T), &v, sizeof(T));
}
template <typename T> T get(const uint8_t *p)
{
    T v;
    memcpy(&v, p, sizeof(T));
    return v;
}

/* A connection request for up to max records, into records and aux (sized here). */
inline std::vector<uint8_t> ConnRequest(std::vector<uint8_t> &records, std::vector<uint8_t> &aux, uint32_t max,
                                              uint32_t sufficient, uint64_t wait_ms)
{
    records.assign(size_t{max} * endr::kConnectionRecordSize, 0);
    aux.assign(64, 0);
    std::vector<uint8_t> req(endr::kConnectionRequestSize, 0);
    put<uint64_t>(req, 0, wait_ms);
    put<uint32_t>(req, 8, max);
    put<uint32_t>(req, 12, sufficient);
    put<uint32_t>(req, 20, max * endr::kConnectionRecordSize);
    put<uint64_t>(req, 24, reinterpret_cast<uintptr_t>(records.data()));
    put<uint64_t>(req, 32, reinterpret_cast<uintptr_t>(aux.data()));
    return req;
}

/* The fields of one 1852-byte connection record, read at the offsets of its layout table. */
struct RecordView {
    explicit RecordView(const uint8_t *rec) : p(rec) {}
    const uint8_t *p;
    uint32_t type() const { return get<uint32_t>(p); }
    uint8_t src_head() const { return p[4]; }
    uint32_t src_v4() const { return get<uint32_t>(p + 4 + 8); }
    const uint8_t *src_v6() const { return p + 4 + 8; }
    uint8_t dst_head() const { return p[28]; }
    uint32_t dst_v4() const { return get<uint32_t>(p + 28 + 8); }
    const uint8_t *dst_v6() const { return p + 28 + 8; }
    uint16_t src_port() const { return get<uint16_t>(p + 52); }
    uint16_t dst_port() const { return get<uint16_t>(p + 54); }
    uint32_t protocol() const { return get<uint32_t>(p + 56); }
    uint16_t family() const { return get<uint16_t>(p + 60); }
    uint64_t pid() const { return get<uint64_t>(p + 68); }
    uint32_t cid() const { return get<uint32_t>(p + 76); }
    uint8_t inbound() const { return p[80]; }
    uint32_t verdict() const { return get<uint32_t>(p + 84); }
    uint32_t dc_revision() const { return get<uint32_t>(p + 92); }
    uint32_t policy_revision() const { return get<uint32_t>(p + 96); }
    std::string rule_id() const { return Text(100, 228); }
    std::string dns() const { return Text(229, 483); }
    uint8_t no_process() const { return p[484]; }
    uint8_t service_kind() const { return p[740]; }
    uint32_t sub_authority(int i) const { return get<uint32_t>(p + 1766 + 4 * i); }
    uint8_t sid_count() const { return p[1826]; }
    uint8_t status() const { return p[1827]; }
    uint8_t enrichment() const { return p[1828]; }
    uint8_t enforcement_state() const { return p[1829]; }
    uint64_t sm_id() const { return get<uint64_t>(p + 1836); }
    /* A text field ends with a NUL at or before its last offset. */
    std::string Text(size_t from, size_t last) const
    {
        const void *nul = memchr(p + from, 0, last - from + 1);
        EXPECT_NE(nul, nullptr) << "text at " << from << " has no NUL in its field";
        return nul ? std::string(reinterpret_cast<const char *>(p + from)) : std::string();
    }
};

class EmuFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = hvtest::MakeTempDir("hv-endr");
        ASSERT_FALSE(dir_.empty());
        g_setenv("HV_RUNTIME_DIR", dir_.c_str(), TRUE);
        address_ = "ipc://" + dir_ + "/endr.ipc";
        g_setenv("HV_ENDR_EMU_ADDRESS", address_.c_str(), TRUE);
        binary_ = dir_ + "/hv-enforcement64.sys";
        ASSERT_TRUE(g_file_set_contents(binary_.c_str(), "4 TRUE\n", -1, nullptr));
    }

    void TearDown() override
    {
        Close();
        g_unsetenv("HV_RUNTIME_DIR");
        g_unsetenv("HV_ENDR_EMU_ADDRESS");
        hvtest::RemoveTree(dir_);
    }

    void Load()
    {
        ASSERT_EQ(endr_service_install(binary_.c_str(), false), 0u);
        ASSERT_EQ(endr_service_start(), 0u);
        Open();
    }
    void Open() { ASSERT_EQ(endr_device_open(&dev_), 0u); }
    void Close()
    {
        if (dev_) {
            endr_device_close(dev_);
            dev_ = nullptr;
        }
    }

    uint32_t Raw(uint32_t code, const Hdr &h, void *out = nullptr, uint32_t out_len = 0, uint32_t *returned = nullptr)
    {
        std::vector<uint8_t> in = h.bytes();
        return endr_device_ioctl(dev_, code, in.data(), static_cast<uint32_t>(in.size()), out, out_len, returned);
    }
    uint32_t Value(uint32_t code, uint64_t v, uint8_t selector = 0)
    {
        return Raw(code, Hdr{.selector = selector, .value = v});
    }
    /* The buffer lives on the heap at its exact size, so an overread is caught. */
    uint32_t Buffer(uint32_t code, std::vector<uint8_t> &b)
    {
        return Raw(code, Hdr{.value = reinterpret_cast<uintptr_t>(b.data()), .length = static_cast<uint32_t>(b.size())});
    }
    uint64_t Version(uint32_t *rc)
    {
        uint64_t v = 0;
        uint32_t returned = 0;
        *rc = Raw(endr::kGetVersion, Hdr{}, &v, 8, &returned);
        return v;
    }

    /* A control request answered in-process; the reply's "return" (or "error") object. */
    QObject *Control(const std::string &json)
    {
        char *reply = endr_control_request(json.c_str(), json.size());
        QObject *obj = qobject_from_json(reply, nullptr);
        g_free(reply);
        EXPECT_NE(obj, nullptr);
        holds_.push_back(obj);
        QDict *d = qobject_to_qdict(obj);
        if (QObject *r = qdict_get(d, "return")) {
            return r;
        }
        return qdict_get(d, "error");
    }
    QDict *Status() { return qobject_to_qdict(Control(R"({"command": "status"})")); }

    static uint64_t U(const QDict *d, const char *key)
    {
        QObject *o = d ? qdict_get(d, key) : nullptr;
        const QUInt *u = o ? qobject_to_quint(o) : nullptr;
        EXPECT_NE(u, nullptr) << key;
        return u ? quint_get_uint(u) : UINT64_MAX;
    }

    ~EmuFixture() override
    {
        for (QObject *o : holds_) {
            qobject_decref(o);
        }
    }

    std::string dir_;
    std::string address_;
    std::string binary_;
    endr_device *dev_ = nullptr;
    std::vector<QObject *> holds_;
};

/* Policy messages as the module lays them out. */
inline std::vector<uint8_t> MakeChain(const char *table, const char *chain, uint32_t rules)
{
    std::vector<uint8_t> b(260, 0);
    strcpy(reinterpret_cast<char *>(b.data()), table);
    strcpy(reinterpret_cast<char *>(b.data() + 128), chain);
    put<uint32_t>(b, 256, rules);
    return b;
}

inline std::vector<uint8_t> MakeRule(const char *table, const char *chain, const char *id, uint64_t verdict = 2)
{
    const size_t len = endr::kMinRuleSize;
    std::vector<uint8_t> b(264 + len, 0);
    strcpy(reinterpret_cast<char *>(b.data()), table);
    strcpy(reinterpret_cast<char *>(b.data() + 128), chain);
    put<uint64_t>(b, 256, len);
    size_t trailer = 264 + len - 144;
    put<uint64_t>(b, trailer, 2);
    put<uint64_t>(b, trailer + 8, verdict);
    strcpy(reinterpret_cast<char *>(b.data() + trailer + 16), id);
    return b;
}

/* One region per dimension, every rule in one bag vector. */
inline std::vector<uint8_t> IndexBuffer(uint16_t rules)
{
    std::vector<uint8_t> b;
    uint16_t words = endr::index_words_for(rules);
    append<uint32_t>(b, 1);
    append<uint16_t>(b, rules);
    append<uint16_t>(b, words);
    for (uint16_t w = 0; w < words; w++) {
        append<uint64_t>(b, ~0ULL);
    }
    for (int i = 0; i < 3; i++) {
        append<uint32_t>(b, 0);
    }
    append<uint32_t>(b, 1);
    append<uint16_t>(b, 0);
    append<uint32_t>(b, 0);
    for (int dim = 0; dim < 2; dim++) {
        append<uint32_t>(b, 1);
        append<uint32_t>(b, 0);
        append<uint32_t>(b, 0);
    }
    return b;
}
