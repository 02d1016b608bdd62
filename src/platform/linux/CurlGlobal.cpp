#include "platform/linux/CurlGlobal.h"

#include <curl/curl.h>

#include <stdexcept>
#include <string>

namespace kavo::linux_platform {

CurlGlobal::CurlGlobal() {
    if (const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
        throw std::runtime_error("libcurl could not be initialised: " +
                                 std::string(curl_easy_strerror(code)));
    }
}

CurlGlobal::~CurlGlobal() {
    curl_global_cleanup();
}

}  // namespace kavo::linux_platform
