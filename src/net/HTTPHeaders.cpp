#include "net/HTTPHeaders.h"

#include <algorithm>

namespace kavo {

namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

HTTPHeaders::HTTPHeaders(std::initializer_list<Field> fields) {
    for (const auto& [name, value] : fields) {
        add(name, value);
    }
}

bool HTTPHeaders::namesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

void HTTPHeaders::set(std::string name, std::string value) {
    remove(name);
    add(std::move(name), std::move(value));
}

void HTTPHeaders::add(std::string name, std::string value) {
    fields_.emplace_back(std::move(name), std::move(value));
}

void HTTPHeaders::remove(std::string_view name) {
    std::erase_if(fields_, [&](const Field& field) { return namesEqual(field.first, name); });
}

std::optional<std::string> HTTPHeaders::get(std::string_view name) const {
    for (const auto& [fieldName, value] : fields_) {
        if (namesEqual(fieldName, name)) {
            return value;
        }
    }
    return std::nullopt;
}

bool HTTPHeaders::contains(std::string_view name) const {
    return get(name).has_value();
}

}  // namespace kavo
