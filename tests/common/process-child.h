/* A child process with a chosen image, command line, folder and user, waiting until it is
 * stopped, for tests that look at other processes. */
#pragma once

#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/common/hv-test-support.h"

namespace hvtest {

class Child {
public:
    /*
     * Copies the shell to image (creating its folders) and runs it with argv[0] = image and
     * "-c", "read x", then extra (positional parameters, shown in its command line); it
     * waits on a pipe until Stop. uid < 0 keeps this process's user.
     */
    bool Start(const std::string &image, const std::vector<std::string> &extra, const std::string &cwd = "/",
               long uid = -1)
    {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(image).parent_path(), ec);
        if (!std::filesystem::exists(image) &&
            !std::filesystem::copy_file("/bin/sh", image, ec)) {
            ADD_FAILURE() << "copy to " << image << ": " << ec.message();
            return false;
        }
        std::vector<std::string> args = {image, "-c", "read x"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[0], 0);
            if (chdir(cwd.c_str()) != 0) {
                _exit(126);
            }
            if (uid >= 0 && (setresgid(static_cast<gid_t>(uid), static_cast<gid_t>(uid), static_cast<gid_t>(uid)) != 0 ||
                             setresuid(static_cast<uid_t>(uid), static_cast<uid_t>(uid), static_cast<uid_t>(uid)) != 0)) {
                _exit(125);
            }
            execv(image.c_str(), argv.data());
            _exit(127);
        }
        close(fds[0]);
        input_ = fds[1];
        /* Until the exec the child still runs this test's image, and for a moment after the
         * image changed its arguments are not in place yet. */
        std::string proc = "/proc/" + std::to_string(pid_);
        return pid_ > 0 && WaitFor([&] {
                   char *target = g_file_read_link((proc + "/exe").c_str(), nullptr);
                   bool done = target && image == target;
                   g_free(target);
                   return done && ReadFile(proc + "/cmdline", "").rfind(image + '\0', 0) == 0;
               });
    }

    /* Ends the child and reaps it; its pid then names no process (until reused). */
    void Stop()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
        if (input_ >= 0) {
            close(input_);
            input_ = -1;
        }
    }

    ~Child() { Stop(); }

    uint64_t pid() const { return static_cast<uint64_t>(pid_); }

private:
    pid_t pid_ = -1;
    int input_ = -1;
};

} // namespace hvtest
