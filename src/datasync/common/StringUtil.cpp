// Wide-string helpers. Wide strings hold one code point per wchar_t (UTF-32 on Linux); UTF-8 is
// the encoding of every narrow text the agent reads or writes (files, JSON, HTTP, logs).
#include "datasync/common/StringUtil.h"

#include <cwctype>

namespace ZEL {
namespace String {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }
wchar_t AsciiUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

}  // namespace

std::string UTF16ToUTF8(const std::wstring& text) {
    // Most text is ASCII: its leading ASCII run is copied a character to a byte.
    std::string out(text.size(), '\0');
    std::size_t ascii = 0;
    while (ascii < text.size() && static_cast<char32_t>(text[ascii]) < 0x80) {
        out[ascii] = static_cast<char>(text[ascii]);
        ++ascii;
    }
    if (ascii == text.size()) return out;
    out.resize(ascii);
    for (std::size_t i = ascii; i < text.size(); ++i) AppendUtf8(out, static_cast<char32_t>(text[i]));
    return out;
}

std::wstring UTF8ToUTF16(const std::string& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    // The leading ASCII run is copied a byte to a character.
    std::wstring out(size, L'\0');
    size_t i = 0;
    while (i < size && bytes[i] < 0x80) {
        out[i] = static_cast<wchar_t>(bytes[i]);
        ++i;
    }
    if (i == size) return out;
    out.resize(i);
    while (i < size) {
        const unsigned char lead = bytes[i];
        size_t length = 0;
        char32_t cp = 0;
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            cp = lead & 0x07;
        } else {
            out.push_back(static_cast<wchar_t>(kReplacement));
            ++i;
            continue;
        }
        size_t consumed = 1;
        bool valid = true;
        for (; consumed < length; ++consumed) {
            if (i + consumed >= size || (bytes[i + consumed] & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (bytes[i + consumed] & 0x3F);
        }
        // Reject overlong forms, surrogates and values past U+10FFFF.
        static const char32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
        out.push_back(static_cast<wchar_t>(valid ? cp : kReplacement));
        i += consumed;
    }
    return out;
}

bool CaseInsesitiveEqual(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

std::wstring ToLower(const std::wstring& text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = AsciiLower(c);
    return out;
}

std::wstring ToUpper(const std::wstring& text) {
    std::wstring out(text);
    for (wchar_t& c : out) c = AsciiUpper(c);
    return out;
}

std::wstring& trim(std::wstring& text, const std::wstring& characters) {
    const size_t first = text.find_first_not_of(characters);
    if (first == std::wstring::npos) {
        text.clear();
        return text;
    }
    const size_t last = text.find_last_not_of(characters);
    text = text.substr(first, last - first + 1);
    return text;
}

std::vector<std::wstring> Split(const std::wstring& text, const std::wstring& separator) {
    std::vector<std::wstring> pieces;
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        if (at == std::wstring::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

}  // namespace String
}  // namespace ZEL
