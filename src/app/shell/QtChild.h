#pragma once

#include <utility>

namespace kavo {

// Makes a Qt object that its parent owns: a widget or timer made with a parent, or a
// layout handed to one, is deleted by that parent with itself. The shell makes every
// such object here, so no other code owns them.
template <typename T, typename... Args>
T* makeQtChild(Args&&... args) {
    return new T(std::forward<Args>(args)...);
}

}  // namespace kavo
