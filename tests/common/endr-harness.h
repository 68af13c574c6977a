/*
 * The driver daemon's servers run on threads of the test process, on the test's own
 * run-time folder ($HV_RUNTIME_DIR, set before Start): the same code as hv-endrd, so the
 * module under test reaches it over the device socket while the test can still look into
 * the engine (endr::engine(), endr_classify, armed faults) in-process.
 */
#pragma once

#include <glib.h>

#include <string>

#include "enforcement/driver-daemon/driver-emu.h"
#include "enforcement/driver-daemon/endr-device-frame.h"
#include "enforcement/driver-daemon/endr-device-server.h"
#include "enforcement/driver-daemon/endr-state.h"

namespace hvtest {

class InProcessDaemon {
public:
    ~InProcessDaemon() { Stop(); }

    /* Loads an empty driver and serves its device socket; false when it cannot. */
    bool Start()
    {
        std::string dir = endr::runtime_dir();
        g_mkdir_with_parents(dir.c_str(), 0755);
        image_ = dir + "/hv-endrd-in-process";
        if (!g_file_set_contents(image_.c_str(), "", 0, nullptr)) {
            return false;
        }
        endr_service_info info{};
        endr_service_query(&info);
        if ((!info.installed && endr_service_install(image_.c_str(), false) != 0) ||
            (!info.running && endr_service_start() != 0) || endr_device_open(&own_) != 0) {
            return false;
        }
        std::string why;
        server_ = endr::device_server_start(endr::device_socket_path(), &why);
        return server_ != nullptr;
    }

    /* A reboot: the device socket goes away and the driver forgets everything. */
    void Stop()
    {
        if (server_) {
            endr::device_server_stop(server_);
            server_ = nullptr;
        }
        if (own_) {
            endr_device_close(own_);
            own_ = nullptr;
            endr_service_delete();
        }
    }

    bool Running() const { return server_ != nullptr; }

private:
    std::string image_;
    endr_device *own_ = nullptr;
    endr::DeviceServer *server_ = nullptr;
};

} // namespace hvtest
