#pragma once

#include <filesystem>
#include <string>

namespace kavo::linux_platform {

// The desktop's autostart entry for the tray application
// ($XDG_CONFIG_HOME/autostart/kavo-meetings.desktop): present and enabled means the
// recorder starts with the session, so automatic capture is there for the first call.
class AutostartEntry {
public:
    static constexpr const char* kFileName = "kavo-meetings.desktop";

    // `autostartDirectory` is $XDG_CONFIG_HOME/autostart.
    explicit AutostartEntry(std::filesystem::path autostartDirectory);

    // Writes the entry, starting `executable` (an absolute path). Throws
    // std::filesystem::filesystem_error when the folder cannot be written.
    void enable(const std::filesystem::path& executable) const;
    // Removes the entry; nothing when there is none.
    void disable() const;
    // Whether an entry exists and is not switched off (Hidden or disabled by the desktop).
    bool isEnabled() const;

    const std::filesystem::path& file() const { return file_; }

    // The desktop entry text for `executable`, quoted for the Exec key.
    static std::string contents(const std::filesystem::path& executable);

private:
    std::filesystem::path file_;
};

}  // namespace kavo::linux_platform
