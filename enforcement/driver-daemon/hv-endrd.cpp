/*
 * hv-endrd: the driver daemon. Holds the emulated driver and serves its device socket
 * ($HV_RUNTIME_DIR/hv-enforcement.sock) and its control socket (hv-endr) until SIGTERM or
 * SIGINT. Its start is a driver load: it starts empty.
 */
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "enforcement/driver-daemon/driver-emu.h"
#include "enforcement/driver-daemon/endr-device-frame.h"
#include "enforcement/driver-daemon/endr-device-server.h"
#include "enforcement/driver-daemon/endr-engine.h"
#include "enforcement/driver-daemon/endr-netfilter.h"
#include "enforcement/driver-daemon/endr-state.h"

namespace {

const char kUsage[] =
    "usage: hv-endrd [--pid-file PATH] [--engine emulated|netfilter] [--queue N]\n"
    "\n"
    "The emulated enforcement driver. Serves the device socket\n"
    "$HV_RUNTIME_DIR/hv-enforcement.sock and the control socket of hv-endr until\n"
    "SIGTERM or SIGINT. The pid file (default $HV_RUNTIME_DIR/hv-endrd.pid) is\n"
    "written once the device socket answers and removed at exit.\n"
    "\n"
    "--engine emulated (default): connections are those described with hv-endr.\n"
    "--engine netfilter: new flows of this network namespace are judged by the\n"
    "  active policy through nftables table inet holvenstad and netfilter queue N\n"
    "  (--queue, default 4210); needs CAP_NET_ADMIN. The queue bypasses when the\n"
    "  daemon is gone, so a stopped daemon never cuts the machine off.\n"
    "$HV_ENDR_ENGINE and $HV_ENDR_QUEUE give the defaults of --engine and --queue\n"
    "(the driver service starts the daemon without options).\n";

bool parse_engine(const char *text, bool *netfilter)
{
    if (!strcmp(text, "emulated") || !strcmp(text, "netfilter")) {
        *netfilter = !strcmp(text, "netfilter");
        return true;
    }
    return false;
}

bool parse_queue(const char *text, uint16_t *queue)
{
    guint64 n = 0;
    if (!g_ascii_string_to_unsigned(text, 10, 0, 65535, &n, nullptr)) {
        return false;
    }
    *queue = static_cast<uint16_t>(n);
    return true;
}

/* The service record says the driver runs from now on, and the driver starts empty. */
bool load_driver(const std::string &self)
{
    endr_service_info info{};
    endr_service_query(&info);
    if (info.running) {
        endr_service_stop();
    }
    if (!info.installed) {
        if (uint32_t rc = endr_service_install(self.c_str(), false)) {
            fprintf(stderr, "hv-endrd: cannot record the driver service: error %u\n", rc);
            return false;
        }
    }
    if (uint32_t rc = endr_service_start()) {
        fprintf(stderr, "hv-endrd: cannot load the driver: error %u\n", rc);
        return false;
    }
    return true;
}

/* Another daemon of this run-time folder answers on the device socket. */
bool daemon_answers(const std::string &path)
{
    struct sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool alive = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return alive;
}

} // namespace

int main(int argc, char **argv)
{
    std::string pid_file;
    bool netfilter = false;
    uint16_t queue = 4210;
    const char *env_engine = g_getenv("HV_ENDR_ENGINE");
    const char *env_queue = g_getenv("HV_ENDR_QUEUE");
    if ((env_engine && *env_engine && !parse_engine(env_engine, &netfilter)) ||
        (env_queue && *env_queue && !parse_queue(env_queue, &queue))) {
        fprintf(stderr, "hv-endrd: HV_ENDR_ENGINE must be emulated or netfilter, HV_ENDR_QUEUE 0 to 65535\n");
        return 2;
    }
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--pid-file") && i + 1 < argc) {
            pid_file = argv[++i];
        } else if (!strcmp(argv[i], "--engine") && i + 1 < argc && parse_engine(argv[i + 1], &netfilter)) {
            i++;
        } else if (!strcmp(argv[i], "--queue") && i + 1 < argc && parse_queue(argv[i + 1], &queue)) {
            i++;
        } else {
            fputs(kUsage, !strcmp(argv[i], "--help") ? stdout : stderr);
            return !strcmp(argv[i], "--help") ? 0 : 2;
        }
    }
    endr_keep_freed_memory();
    g_mkdir_with_parents(endr::runtime_dir().c_str(), 0755);
    if (pid_file.empty()) {
        pid_file = endr::runtime_dir() + "/hv-endrd.pid";
    }
    /* Every thread started from here on leaves these signals to sigwait below. */
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    if (daemon_answers(endr::device_socket_path())) {
        fprintf(stderr, "hv-endrd: another driver daemon answers on %s\n", endr::device_socket_path().c_str());
        return 1;
    }
    g_autofree char *self = g_file_read_link("/proc/self/exe", nullptr);
    if (!load_driver(self ? self : argv[0])) {
        return 1;
    }
    /* The daemon's own handle keeps the control socket up whether or not a module is there. */
    endr_device *own = nullptr;
    if (uint32_t rc = endr_device_open(&own)) {
        fprintf(stderr, "hv-endrd: cannot open the driver: error %u\n", rc);
        endr_service_stop();
        return 1;
    }
    std::string why;
    endr::DeviceServer *server = endr::device_server_start(endr::device_socket_path(), &why);
    if (!server) {
        fprintf(stderr, "hv-endrd: %s\n", why.c_str());
        endr_device_close(own);
        return 1;
    }
    endr::NetfilterEngine *nf = nullptr;
    if (netfilter && !(nf = endr::nf_engine_start(queue, &why))) {
        fprintf(stderr, "hv-endrd: netfilter engine: %s\n", why.c_str());
        endr::device_server_stop(server);
        endr_device_close(own);
        endr_service_stop();
        return 1;
    }
    endr::control_set_shutdown([] { kill(getpid(), SIGTERM); });
    g_autofree char *pid_text = g_strdup_printf("%d\n", static_cast<int>(getpid()));
    if (!g_file_set_contents(pid_file.c_str(), pid_text, -1, nullptr)) {
        fprintf(stderr, "hv-endrd: cannot write %s\n", pid_file.c_str());
    }
    g_message("[endr-emu] driver daemon %d serving %s", static_cast<int>(getpid()), endr::device_socket_path().c_str());

    int sig = 0;
    while (sigwait(&stop_signals, &sig) == 0 && sig == SIGHUP) {
    }
    g_message("[endr-emu] driver daemon stopping (signal %d)", sig);
    endr::control_set_shutdown(nullptr);
    endr::nf_engine_stop(nf);
    endr::device_server_stop(server);
    endr_device_close(own);
    endr_service_stop();
    g_remove(pid_file.c_str());
    return 0;
}
