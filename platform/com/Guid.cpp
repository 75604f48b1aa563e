#include "platform/com/ComTypes.h"

#include <cstdio>

std::string GuidToString(REFGUID g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned long>(g.Data1), static_cast<unsigned>(g.Data2),
                  static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits at `pos`; false on any non-digit.
bool ReadHex(std::string_view text, size_t pos, size_t digits, uint32_t* value)
{
    uint32_t v = 0;
    for (size_t i = 0; i < digits; ++i) {
        int d = HexValue(text[pos + i]);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

}  // namespace

std::optional<GUID> GuidFromString(std::string_view text)
{
    if (text.size() == 38) {
        if (text.front() != '{' || text.back() != '}') return std::nullopt;
        text = text.substr(1, 36);
    }
    if (text.size() != 36) return std::nullopt;
    if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return std::nullopt;
    GUID g{};
    uint32_t v = 0;
    if (!ReadHex(text, 0, 8, &v)) return std::nullopt;
    g.Data1 = v;
    if (!ReadHex(text, 9, 4, &v)) return std::nullopt;
    g.Data2 = static_cast<uint16_t>(v);
    if (!ReadHex(text, 14, 4, &v)) return std::nullopt;
    g.Data3 = static_cast<uint16_t>(v);
    static constexpr size_t kBytePos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, kBytePos[i], 2, &v)) return std::nullopt;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    return g;
}

std::optional<GUID> GuidFromString(std::u16string_view text)
{
    std::string narrow;
    narrow.reserve(text.size());
    for (char16_t c : text) {
        if (c > 0x7F) return std::nullopt;
        narrow.push_back(static_cast<char>(c));
    }
    return GuidFromString(std::string_view(narrow));
}

int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int capacity)
{
    if (!buffer || capacity < 39) return 0;
    std::string text(1, '{');
    text.append(GuidToString(guid)).push_back('}');
    for (size_t i = 0; i < text.size(); ++i) buffer[i] = static_cast<OLECHAR>(text[i]);
    buffer[text.size()] = 0;
    return static_cast<int>(text.size() + 1);
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid)
{
    if (!text || !clsid) return E_INVALIDARG;
    std::u16string_view view(text);
    if (view.size() != 38 || view.front() != u'{') return E_INVALIDARG;
    auto parsed = GuidFromString(view);
    if (!parsed) return E_INVALIDARG;
    *clsid = *parsed;
    return S_OK;
}
