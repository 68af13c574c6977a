/* Writes the sample events as the module sends them, for a decoder outside this project's
 * code: single.bin (one event), batch.bin (every sample, framed) and events.txt (the text
 * form of the single event, then of each batch record, one per line). */
#include <cstdio>
#include <string>
#include <vector>

#include "agent-common/net-event.h"
#include "tests/agent-common/net-event-samples.h"

static bool write_file(const std::string &path, const void *data, size_t len)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    bool ok = fwrite(data, 1, len, f) == len;
    return fclose(f) == 0 && ok;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    std::string text;
    NetEvent single = hvtest::ConnectionV4Sample();
    std::vector<uint8_t> buf(4096);
    size_t len = buf.size();
    if (!serialize_event(&single, buf.data(), &len, nullptr) || !write_file(dir + "/single.bin", buf.data(), len)) {
        return 1;
    }
    text += single.ShortDebugString() + "\n";
    std::vector<uint8_t> batch(102400);
    size_t used = 0;
    for (NetEvent &e : hvtest::AllSamples()) {
        if (!net_event_batch_append(&e, batch.data(), batch.size(), &used, 4096, nullptr)) {
            return 1;
        }
        text += e.ShortDebugString() + "\n";
    }
    if (!write_file(dir + "/batch.bin", batch.data(), used) || !write_file(dir + "/events.txt", text.data(), text.size())) {
        return 1;
    }
    return 0;
}
