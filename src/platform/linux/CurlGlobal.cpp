#include "platform/linux/CurlGlobal.h"

#include <curl/curl.h>

#include <string>

#include "base/Error.h"

namespace kavo::linux_platform {

CurlGlobal::CurlGlobal() {
    if (const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
        throw Error("The network library could not be started: " +
                    std::string(curl_easy_strerror(code)));
    }
}

CurlGlobal::~CurlGlobal() {
    curl_global_cleanup();
}

}  // namespace kavo::linux_platform
