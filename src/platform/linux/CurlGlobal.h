#pragma once

namespace kavo::linux_platform {

// libcurl's process-wide set-up, done once in main before any thread starts and undone
// when main ends. A CurlTransport asks for one to prove the set-up happened.
class CurlGlobal {
public:
    CurlGlobal();
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;
    ~CurlGlobal();
};

}  // namespace kavo::linux_platform
