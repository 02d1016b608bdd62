#include "app/shell/StoppableAuthService.h"

namespace kavo::shell {

StoppableAuthService::StoppableAuthService(std::shared_ptr<AuthService> inner,
                                           std::stop_token commandStop)
    : inner_(std::move(inner)), commandStop_(std::move(commandStop)) {}

template <typename Call>
auto StoppableAuthService::eitherStops(std::stop_token stop, Call call) {
    std::stop_source both;
    const auto request = [&both] { both.request_stop(); };
    const std::stop_callback byCaller(stop, request);
    const std::stop_callback byCommand(commandStop_, request);
    return call(both.get_token());
}

AppSession StoppableAuthService::signIn(std::stop_token stop) {
    return eitherStops(stop, [this](std::stop_token both) { return inner_->signIn(both); });
}

std::optional<AppSession> StoppableAuthService::silentSignIn(std::stop_token stop) {
    return eitherStops(stop, [this](std::stop_token both) { return inner_->silentSignIn(both); });
}

std::string StoppableAuthService::kavoToken(std::stop_token stop) {
    return eitherStops(stop, [this](std::stop_token both) { return inner_->kavoToken(both); });
}

}  // namespace kavo::shell
