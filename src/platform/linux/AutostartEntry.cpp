#include "platform/linux/AutostartEntry.h"

#include <fstream>
#include <sstream>

#include "base/AtomicFile.h"

namespace kavo::linux_platform {
namespace {

// The Exec key's quoting: a double-quoted argument with ", `, $ and \ escaped.
std::string quotedArgument(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

AutostartEntry::AutostartEntry(std::filesystem::path autostartDirectory)
    : file_(std::move(autostartDirectory) / kFileName) {}

std::string AutostartEntry::contents(const std::filesystem::path& executable) {
    // Escapes in a desktop entry's string values double every backslash once more.
    std::string exec;
    for (const char c : quotedArgument(executable.string())) {
        exec += c;
        if (c == '\\') exec += '\\';
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Kavo Meetings\n"
           "Comment=Records your meetings and delivers them to your Kavo server\n"
           "Exec=" +
           exec +
           " tray\n"
           "Icon=kavo-meetings\n"
           "Terminal=false\n"
           "Categories=AudioVideo;Audio;Recorder;\n"
           "X-GNOME-Autostart-enabled=true\n";
}

void AutostartEntry::enable(const std::filesystem::path& executable) const {
    std::filesystem::create_directories(file_.parent_path());
    writeFileAtomically(file_, contents(std::filesystem::absolute(executable)));
}

void AutostartEntry::disable() const {
    std::filesystem::remove(file_);
}

bool AutostartEntry::isEnabled() const {
    std::ifstream in(file_);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
    }
    return true;
}

}  // namespace kavo::linux_platform
