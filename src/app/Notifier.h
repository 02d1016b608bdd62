#pragma once

#include <optional>
#include <string>

#include "app/MenuModel.h"

namespace kavo {

// A message the desktop shows outside the menu, with at most one action to choose.
struct Notification {
    struct Action {
        std::string title;
        MenuAction action;

        bool operator==(const Action&) const = default;
    };

    std::string title;
    std::string body;
    std::optional<Action> action;

    bool operator==(const Notification&) const = default;
};

// Where the application's notifications go: the desktop's notification service, or the
// tray's own message. Choosing a notification's action comes back as that menu action.
// Used on the main thread.
class Notifier {
public:
    virtual ~Notifier() = default;
    // Shows `notification` in place of the one shown before, if that is still up.
    virtual void show(const Notification& notification) = 0;
};

}  // namespace kavo
