#include "server/events/form_data.h"

namespace brindle::server {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Appends the decoded form of `text` to `out`. False on a malformed escape.
bool DecodeInto(std::string_view text, std::string& out) {
    std::size_t i = 0;
    while (i < text.size()) {
        // Plain bytes are copied a run at a time.
        std::size_t special = text.find_first_of("%+", i);
        std::size_t plainEnd = special == std::string_view::npos ? text.size() : special;
        out.append(text.data() + i, plainEnd - i);
        i = plainEnd;
        if (i == text.size()) {
            break;
        }
        if (text[i] == '+') {
            out.push_back(' ');
            ++i;
            continue;
        }
        if (i + 2 >= text.size()) {
            return false;
        }
        int high = HexValue(text[i + 1]);
        int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 3;
    }
    return true;
}

}  // namespace

FormData::Status FormData::Decode(std::string_view body, std::size_t maxFields) {
    storage_.clear();
    fields_.clear();
    // Decoding never lengthens text, so the views taken below stay valid.
    storage_.reserve(body.size());
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t amp = body.find('&', start);
        if (amp == std::string_view::npos) {
            amp = body.size();
        }
        std::string_view piece = body.substr(start, amp - start);
        start = amp + 1;
        if (piece.empty()) {
            continue;
        }
        if (fields_.size() >= maxFields) {
            return Status::TooManyFields;
        }
        std::size_t eq = piece.find('=');
        std::string_view key = piece.substr(0, eq);
        std::string_view value =
            eq == std::string_view::npos ? std::string_view() : piece.substr(eq + 1);
        std::size_t keyStart = storage_.size();
        if (!DecodeInto(key, storage_)) {
            return Status::BadEscape;
        }
        std::size_t valueStart = storage_.size();
        if (!DecodeInto(value, storage_)) {
            return Status::BadEscape;
        }
        fields_.emplace_back(
            std::string_view(storage_.data() + keyStart, valueStart - keyStart),
            std::string_view(storage_.data() + valueStart, storage_.size() - valueStart));
    }
    return Status::Ok;
}

const std::string_view* FormData::Find(std::string_view key) const {
    for (const auto& field : fields_) {
        if (field.first == key) {
            return &field.second;
        }
    }
    return nullptr;
}

}  // namespace brindle::server
