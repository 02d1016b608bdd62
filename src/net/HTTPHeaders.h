#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kavo {

// The header fields of a request or a response, in the order they were added. Names
// compare without regard to case, as HTTP says; values are kept as given.
class HTTPHeaders {
public:
    using Field = std::pair<std::string, std::string>;

    HTTPHeaders() = default;
    HTTPHeaders(std::initializer_list<Field> fields);

    // Replaces every field of that name with this one.
    void set(std::string name, std::string value);
    // Appends a field, keeping any earlier ones of the same name.
    void add(std::string name, std::string value);
    void remove(std::string_view name);

    // The first field of that name.
    std::optional<std::string> get(std::string_view name) const;
    bool contains(std::string_view name) const;

    const std::vector<Field>& fields() const { return fields_; }
    std::vector<Field>::const_iterator begin() const { return fields_.begin(); }
    std::vector<Field>::const_iterator end() const { return fields_.end(); }
    std::size_t size() const { return fields_.size(); }
    bool empty() const { return fields_.empty(); }

    friend bool operator==(const HTTPHeaders&, const HTTPHeaders&) = default;

    static bool namesEqual(std::string_view a, std::string_view b);

private:
    std::vector<Field> fields_;
};

}  // namespace kavo
