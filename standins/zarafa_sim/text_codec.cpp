#include "text_codec.h"

#include <cctype>

namespace zsim {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::string hex_encode(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out.push_back(hex_digits[c >> 4]);
        out.push_back(hex_digits[c & 0x0f]);
    }
    return out;
}

std::optional<std::string> hex_decode(std::string_view hex) {
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::string out;
    out.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = hex_value(hex[i]);
        const int lo = hex_value(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out.push_back(static_cast<char>((hi << 4) | lo));
    }
    return out;
}

std::string encode_field(std::string_view text) { return "t" + hex_encode(text); }

std::optional<std::string> decode_field(std::string_view field) {
    if (field.empty() || field.front() != 't')
        return std::nullopt;
    return hex_decode(field.substr(1));
}

std::string escape_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

std::optional<std::string> unescape_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(text[i]);
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        switch (text[i]) {
        case '\\': out.push_back('\\'); break;
        case 't': out.push_back('\t'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        default: return std::nullopt;
        }
    }
    return out;
}

bool is_record_key(std::string_view text) {
    if (text.size() != record_key_length)
        return false;
    for (char c : text)
        if (hex_value(c) < 0)
            return false;
    return true;
}

std::string format_record_key(std::uint64_t value) {
    std::string key(record_key_length, '0');
    for (std::size_t i = record_key_length; i-- > 0; value >>= 4)
        key[i] = hex_digits[value & 0x0f];
    return key;
}

std::string printable(std::string_view text) {
    bool plain = !text.empty();
    for (unsigned char c : text)
        if (!(std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == '@'))
            plain = false;
    if (plain)
        return std::string(text);
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out.push_back(hex_digits[c >> 4]);
            out.push_back(hex_digits[c & 0x0f]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}

} // namespace zsim
