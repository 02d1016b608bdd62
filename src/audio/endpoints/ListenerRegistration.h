#pragma once

#include <functional>
#include <utility>

namespace kavo {

// One installed listener or observer, removed when this is dropped or remove() is called.
// Holding the registration is what keeps the very same listener removable. Removal does
// not wait for a call already under way; a listener that must not outlive its owner
// checks that its owner is still there.
class ListenerRegistration {
public:
    ListenerRegistration() = default;
    explicit ListenerRegistration(std::function<void()> remover) : remover_(std::move(remover)) {}
    ListenerRegistration(ListenerRegistration&& other) noexcept
        : remover_(std::exchange(other.remover_, nullptr)) {}
    ListenerRegistration& operator=(ListenerRegistration&& other) noexcept {
        if (this != &other) {
            remove();
            remover_ = std::exchange(other.remover_, nullptr);
        }
        return *this;
    }
    ListenerRegistration(const ListenerRegistration&) = delete;
    ListenerRegistration& operator=(const ListenerRegistration&) = delete;
    ~ListenerRegistration() { remove(); }

    // Removes the listener; a second call does nothing. Removal failures are ignored.
    void remove() {
        if (auto remover = std::exchange(remover_, nullptr)) remover();
    }
    bool isActive() const { return static_cast<bool>(remover_); }

private:
    std::function<void()> remover_;
};

}  // namespace kavo
