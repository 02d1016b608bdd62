#include "platform/linux/XdgSignInBrowser.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/LoopbackRedirectListener.h"

extern char** environ;

namespace kavo::linux_platform {

bool openWithXdgOpen(const std::string& url) {
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char* const*>(argv), environ) !=
        0) {
        return false;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::unique_ptr<SignInBrowser::Redirect> XdgSignInBrowser::listen() {
    return std::make_unique<LoopbackRedirectListener>();
}

}  // namespace kavo::linux_platform
