#include "capture/files/CaptureSidecar.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "base/AtomicFile.h"
#include "base/PosixFileIO.h"

namespace kavo {
namespace {

using nlohmann::json;

[[noreturn]] void invalid(std::string_view detail) {
    throw SidecarError(fmt::format("The capture sidecar is not valid: {}", detail));
}

std::string joinKey(std::string_view where, std::string_view key) {
    return where.empty() ? std::string(key) : fmt::format("{}.{}", where, key);
}

// Strict access to one object of the file; `where` names it in messages ("sources[1]").
class Fields {
public:
    Fields(const json& object, std::string where) : object_(object), where_(std::move(where)) {
        if (!object_.is_object())
            invalid(fmt::format("\"{}\" is not an object", where_.empty() ? "top level" : where_));
    }

    const json& required(std::string_view key) const {
        const auto it = object_.find(key);
        if (it == object_.end() || it->is_null())
            invalid(fmt::format("key \"{}\" is missing", joinKey(where_, key)));
        return *it;
    }

    // Absent and null both decode as absent.
    const json* optional(std::string_view key) const {
        const auto it = object_.find(key);
        return it == object_.end() || it->is_null() ? nullptr : &*it;
    }

    std::string text(std::string_view key) const { return asText(required(key), key); }

    std::optional<std::string> optionalText(std::string_view key) const {
        const json* value = optional(key);
        return value == nullptr ? std::nullopt : std::optional<std::string>(asText(*value, key));
    }

    std::optional<bool> optionalBool(std::string_view key) const {
        const json* value = optional(key);
        if (value == nullptr) return std::nullopt;
        if (!value->is_boolean()) wrongType(key, "true or false");
        return value->get<bool>();
    }

    double number(std::string_view key) const {
        const json& value = required(key);
        if (!value.is_number()) wrongType(key, "a number");
        return value.get<double>();
    }

    std::int64_t integer(std::string_view key) const {
        const json& value = required(key);
        if (value.is_number_integer()) {
            if (value.is_number_unsigned() &&
                value.get<std::uint64_t>() > std::numeric_limits<std::int64_t>::max()) {
                wrongType(key, "an integer in range");
            }
            return value.get<std::int64_t>();
        }
        // A whole number written with a fraction ("16000.0") still means the integer.
        if (value.is_number_float()) {
            const double d = value.get<double>();
            if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18)
                return static_cast<std::int64_t>(d);
        }
        wrongType(key, "an integer");
    }

    const json& list(std::string_view key, const json& value) const {
        if (!value.is_array()) wrongType(key, "a list");
        return value;
    }

private:
    std::string asText(const json& value, std::string_view key) const {
        if (!value.is_string()) wrongType(key, "text");
        return value.get<std::string>();
    }

    [[noreturn]] void wrongType(std::string_view key, std::string_view expected) const {
        invalid(fmt::format("key \"{}\" is not {}", joinKey(where_, key), expected));
    }

    const json& object_;
    std::string where_;
};

json encodeEvent(const CaptureSidecar::DeviceEvent& event) {
    json out = {{"at", event.at}, {"kind", event.kind}};
    if (event.detail) out["detail"] = *event.detail;
    return out;
}

json encodeSource(const CaptureSidecar::SourceStats& source) {
    return {{"name", source.name},
            {"sampleRateHz", source.sampleRateHz},
            {"totalFrames", source.totalFrames},
            {"underrunFrames", source.underrunFrames},
            {"droppedSourceFrames", source.droppedSourceFrames},
            {"lastRealFrame", source.lastRealFrame}};
}

json encodeStretch(const CaptureSidecar::SilentStretch& stretch) {
    json out = {{"source", stretch.source}, {"from", stretch.from}};
    if (stretch.until) out["until"] = *stretch.until;
    return out;
}

CaptureSidecar::SilentStretch decodeStretch(const json& value, std::string where) {
    const Fields fields(value, std::move(where));
    return {fields.text("source"), fields.text("from"), fields.optionalText("until")};
}

CaptureSidecar::DeviceEvent decodeEvent(const json& value, std::string where) {
    const Fields fields(value, std::move(where));
    return {fields.text("at"), fields.text("kind"), fields.optionalText("detail")};
}

CaptureSidecar::SourceStats decodeSource(const json& value, std::string where) {
    const Fields fields(value, std::move(where));
    return {fields.text("name"),
            fields.integer("sampleRateHz"),
            fields.integer("totalFrames"),
            fields.integer("underrunFrames"),
            fields.integer("droppedSourceFrames"),
            fields.integer("lastRealFrame")};
}

// A full disk has no room for the replacement file, but the sidecar's own blocks can take
// the new text when it fits them: the capture's last sidecar must still tell the truth.
// False, leaving the file as it was, when it does not fit or cannot be opened.
bool rewriteInPlace(const std::filesystem::path& url, std::string_view bytes) {
    const FileDescriptor fd(::open(url.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) return false;
    struct stat attributes {};
    PosixFileIO& io = PosixFileIO::system();
    return ::fstat(fd.get(), &attributes) == 0 && S_ISREG(attributes.st_mode) &&
           static_cast<std::int64_t>(bytes.size()) <=
               static_cast<std::int64_t>(attributes.st_blocks) * 512 &&
           writeFully(io, fd.get(), bytes.data(), bytes.size()) == 0 &&
           io.ftruncate(fd.get(), static_cast<off_t>(bytes.size())) == 0 && io.fsync(fd.get()) == 0;
}

}  // namespace

std::vector<std::string> CaptureSidecar::silentSources() const {
    std::vector<std::string> names;
    if (!sources) return names;
    for (const auto& source : *sources) {
        if (source.name != "mic" || source.totalFrames < 1) continue;
        if (static_cast<double>(source.underrunFrames) / static_cast<double>(source.totalFrames) >=
            0.98) {
            names.push_back(source.name);
        }
    }
    return names;
}

std::string CaptureSidecar::encode() const {
    // nlohmann's objects are ordered maps, which gives the sorted keys at every level.
    json out = {{"captureId", captureId},         {"audioFileName", audioFileName},
                {"startedAt", startedAt},         {"durationSeconds", durationSeconds},
                {"sampleRateHz", sampleRateHz},   {"channels", channels},
                {"bitsPerSample", bitsPerSample}, {"pausedSeconds", pausedSeconds},
                {"deviceEvents", json::array()}};
    for (const auto& event : deviceEvents) out["deviceEvents"].push_back(encodeEvent(event));
    if (endedAt) out["endedAt"] = *endedAt;
    if (sources) {
        out["sources"] = json::array();
        for (const auto& source : *sources) out["sources"].push_back(encodeSource(source));
    }
    if (silentStretches) {
        out["silentStretches"] = json::array();
        for (const auto& stretch : *silentStretches)
            out["silentStretches"].push_back(encodeStretch(stretch));
    }
    if (echoCancelled) out["echoCancelled"] = *echoCancelled;
    if (recordingId) out["recordingId"] = *recordingId;
    if (blobPath) out["blobPath"] = *blobPath;
    if (uploadState) out["uploadState"] = *uploadState;
    if (account) {
        out["account"] = {{"tenantId", account->tenantId},
                          {"userId", account->userId},
                          {"email", account->email}};
    }
    if (uploadError) out["uploadError"] = *uploadError;
    // A device name that is not valid UTF-8 must not cost the capture its sidecar.
    return out.dump(2, ' ', false, json::error_handler_t::replace);
}

CaptureSidecar CaptureSidecar::decode(std::string_view text) {
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception& error) {
        invalid(fmt::format("not JSON ({})", error.what()));
    }
    const Fields fields(root, "");
    CaptureSidecar sidecar;
    sidecar.captureId = fields.text("captureId");
    sidecar.audioFileName = fields.text("audioFileName");
    sidecar.startedAt = fields.text("startedAt");
    sidecar.endedAt = fields.optionalText("endedAt");
    sidecar.durationSeconds = fields.number("durationSeconds");
    sidecar.sampleRateHz = fields.integer("sampleRateHz");
    sidecar.channels = fields.integer("channels");
    sidecar.bitsPerSample = fields.integer("bitsPerSample");
    sidecar.pausedSeconds = fields.number("pausedSeconds");
    const json& events = fields.list("deviceEvents", fields.required("deviceEvents"));
    for (std::size_t i = 0; i < events.size(); ++i) {
        sidecar.deviceEvents.push_back(decodeEvent(events[i], fmt::format("deviceEvents[{}]", i)));
    }
    if (const json* sources = fields.optional("sources")) {
        fields.list("sources", *sources);
        sidecar.sources.emplace();
        for (std::size_t i = 0; i < sources->size(); ++i) {
            sidecar.sources->push_back(decodeSource((*sources)[i], fmt::format("sources[{}]", i)));
        }
    }
    if (const json* stretches = fields.optional("silentStretches")) {
        fields.list("silentStretches", *stretches);
        sidecar.silentStretches.emplace();
        for (std::size_t i = 0; i < stretches->size(); ++i) {
            sidecar.silentStretches->push_back(
                decodeStretch((*stretches)[i], fmt::format("silentStretches[{}]", i)));
        }
    }
    sidecar.echoCancelled = fields.optionalBool("echoCancelled");
    sidecar.recordingId = fields.optionalText("recordingId");
    sidecar.blobPath = fields.optionalText("blobPath");
    sidecar.uploadState = fields.optionalText("uploadState");
    if (const json* account = fields.optional("account")) {
        const Fields owner(*account, "account");
        sidecar.account =
            Account{owner.text("tenantId"), owner.text("userId"), owner.text("email")};
    }
    sidecar.uploadError = fields.optionalText("uploadError");
    return sidecar;
}

void CaptureSidecar::write(const std::filesystem::path& url) const {
    const std::string bytes = encode();
    try {
        writeFileAtomically(url, bytes);
    } catch (const FileError&) {
        if (!rewriteInPlace(url, bytes)) throw;
    }
}

CaptureSidecar CaptureSidecar::read(const std::filesystem::path& url) {
    std::optional<std::string> bytes;
    try {
        bytes = readFileIfExists(url);
    } catch (const FileError& error) {
        throw SidecarError(error.what());
    }
    if (!bytes)
        throw SidecarError(fmt::format("The capture sidecar {} does not exist", url.string()));
    return decode(*bytes);
}

}  // namespace kavo
