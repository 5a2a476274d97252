// Decoding of application/x-www-form-urlencoded request bodies.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brindle::server {

// The decoded fields of one body, in the order they were sent. Keys and values
// are views into one buffer owned by this object.
class FormData {
  public:
    enum class Status { Ok, BadEscape, TooManyFields };

    // Decodes `body`: fields split at '&', key and value at the first '=',
    // '+' becomes a space and %XX the byte XX. A '%' not followed by two hex
    // digits makes the whole body malformed. Empty pieces ("a=1&&b=2") are
    // skipped; a piece without '=' is a key with an empty value.
    Status Decode(std::string_view body, std::size_t maxFields);

    using Field = std::pair<std::string_view, std::string_view>;
    [[nodiscard]] const std::vector<Field>& fields() const { return fields_; }

    // The value of the first field named `key`, or nullptr.
    [[nodiscard]] const std::string_view* Find(std::string_view key) const;

    FormData() = default;
    FormData(const FormData&) = delete;
    FormData& operator=(const FormData&) = delete;

  private:
    std::string storage_;
    std::vector<Field> fields_;
};

}  // namespace brindle::server
