/*
 * hv-events: receives the module's network events and prints one JSON object per event.
 *
 *   hv-events [--address ADDR] [--count N] [--timeout SECONDS]
 *
 * Binds a PULL socket to ADDR (default ipc://holvenstad_en_report.ipc, relative to the
 * working folder, where the module pushes), decodes single events and batches and prints
 * each event on its own line of standard output. Malformed messages are reported on standard
 * error and skipped.
 *
 * Exit code: 0 after N events (--count) or on SIGINT/SIGTERM, 1 when no message arrived
 * within SECONDS (--timeout, counted from the start or from the last message), 2 for a usage
 * error or a socket that cannot be bound.
 */
#include <nanomsg/nn.h>
#include <nanomsg/pipeline.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <glib.h>
#include <google/protobuf/stubs/logging.h>

#include "tools/hv-events-decode.h"

namespace {

constexpr const char *kDefaultAddress = "ipc://holvenstad_en_report.ipc";
/* How often the receive loop looks at the stop flag. */
constexpr int kPollSliceMs = 200;

volatile sig_atomic_t s_stop = 0;

void on_signal(int)
{
    s_stop = 1;
}

int usage(const char *program)
{
    fprintf(stderr,
            "usage: %s [--address ADDR] [--count N] [--timeout SECONDS]\n"
            "  receives network events (default %s) and prints one JSON object per line;\n"
            "  --count: exit 0 after N events; --timeout: exit 1 when nothing arrives for SECONDS\n",
            program, kDefaultAddress);
    return 2;
}

bool parse_number(const char *text, double min, double *out)
{
    char *end = nullptr;
    errno = 0;
    double v = g_ascii_strtod(text, &end);
    if (errno || end == text || *end || !(v >= min) || v > 1e9) {
        return false;
    }
    *out = v;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const char *address = kDefaultAddress;
    double count = 0;
    double timeout_s = 0;
    bool has_timeout = false;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        bool has_value = i + 1 < argc;
        if (strcmp(arg, "--address") == 0 && has_value) {
            address = argv[++i];
        } else if (strcmp(arg, "--count") == 0 && has_value) {
            if (!parse_number(argv[++i], 1, &count) || count != static_cast<double>(static_cast<long>(count))) {
                fprintf(stderr, "hv-events: --count needs a whole number of at least 1\n");
                return 2;
            }
        } else if (strcmp(arg, "--timeout") == 0 && has_value) {
            if (!parse_number(argv[++i], 0.001, &timeout_s)) {
                fprintf(stderr, "hv-events: --timeout needs a number of seconds greater than 0\n");
                return 2;
            }
            has_timeout = true;
        } else {
            return usage(argv[0]);
        }
    }

    /* Strings that are not UTF-8 are printed with replacement characters; the library's own
     * complaint about them would only interleave with the lines on standard error. */
    google::protobuf::SetLogHandler(nullptr);

    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    int sock = nn_socket(AF_SP, NN_PULL);
    if (sock < 0) {
        fprintf(stderr, "hv-events: cannot create a socket: %s\n", nn_strerror(nn_errno()));
        return 2;
    }
    int unlimited = -1;
    nn_setsockopt(sock, NN_SOL_SOCKET, NN_RCVMAXSIZE, &unlimited, sizeof(unlimited));
    if (nn_bind(sock, address) < 0) {
        fprintf(stderr, "hv-events: cannot bind %s: %s\n", address, nn_strerror(nn_errno()));
        nn_close(sock);
        return 2;
    }

    long printed = 0;
    int rc = 0;
    int64_t deadline = has_timeout ? g_get_monotonic_time() + static_cast<int64_t>(timeout_s * G_USEC_PER_SEC) : 0;
    while (!s_stop && (count == 0 || printed < static_cast<long>(count))) {
        int slice = kPollSliceMs;
        if (has_timeout) {
            int64_t left_us = deadline - g_get_monotonic_time();
            if (left_us <= 0) {
                fprintf(stderr, "hv-events: no event received within %g seconds on %s\n", timeout_s, address);
                rc = 1;
                break;
            }
            slice = static_cast<int>(MIN(static_cast<int64_t>(kPollSliceMs), (left_us + 999) / 1000));
        }
        struct nn_pollfd pfd = {sock, NN_POLLIN, 0};
        int n = nn_poll(&pfd, 1, slice);
        if (n < 0 && nn_errno() != EINTR) {
            fprintf(stderr, "hv-events: poll failed: %s\n", nn_strerror(nn_errno()));
            rc = 2;
            break;
        }
        if (n <= 0 || !(pfd.revents & NN_POLLIN)) {
            continue;
        }
        void *msg = nullptr;
        int len = nn_recv(sock, &msg, NN_MSG, NN_DONTWAIT);
        if (len < 0) {
            if (nn_errno() == EAGAIN || nn_errno() == EINTR) {
                continue;
            }
            fprintf(stderr, "hv-events: receive failed: %s\n", nn_strerror(nn_errno()));
            rc = 2;
            break;
        }
        if (has_timeout) {
            deadline = g_get_monotonic_time() + static_cast<int64_t>(timeout_s * G_USEC_PER_SEC);
        }
        HvEventsDecoded decoded;
        hv_events_decode(static_cast<const uint8_t *>(msg), static_cast<size_t>(len), &decoded);
        nn_freemsg(msg);
        for (const std::string &p : decoded.problems) {
            fprintf(stderr, "hv-events: %s\n", p.c_str());
        }
        for (const std::string &line : decoded.events) {
            if (count != 0 && printed >= static_cast<long>(count)) {
                break;
            }
            fprintf(stdout, "%s\n", line.c_str());
            printed++;
        }
        fflush(stdout);
        fflush(stderr);
    }
    nn_close(sock);
    return rc;
}
