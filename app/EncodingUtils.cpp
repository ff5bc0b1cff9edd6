#include "app/EncodingUtils.h"

#include "app/Logger.h"

#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <mutex>
#include <vector>

namespace {

std::mutex gCodePageMutex;
std::string gCodePage; // empty: the locale's character set

// Owns one iconv descriptor.
class CIconv {
public:
    CIconv(const std::string& to, const std::string& from) : mCd(::iconv_open(to.c_str(), from.c_str())) {}
    ~CIconv() {
        if (Valid())
            ::iconv_close(mCd);
    }
    CIconv(const CIconv&) = delete;
    CIconv& operator=(const CIconv&) = delete;
    bool Valid() const { return mCd != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return mCd; }

private:
    iconv_t mCd;
};

// UTF-8 to UTF-16 units, with U+FFFD for every invalid sequence, as the
// system conversion of the original platform does.
std::vector<uint16_t> DecodeUtf8(const unsigned char* s, size_t n) {
    std::vector<uint16_t> out;
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        unsigned char c = s[i];
        uint32_t cp;
        size_t len;
        if (c < 0x80) {
            cp = c;
            len = 1;
        } else if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F;
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F;
            len = 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07;
            len = 4;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k < len && i + k < n; ++k) {
            unsigned char cc = s[i + k];
            if ((cc & 0xC0) != 0x80)
                break;
            cp = (cp << 6) | (cc & 0x3F);
        }
        bool ok = k == len && !(len == 3 && cp < 0x800) && !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) &&
                  !(cp >= 0xD800 && cp <= 0xDFFF);
        if (!ok) {
            out.push_back(0xFFFD);
            i += k; // the bytes taken so far form one invalid sequence
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<uint16_t>(cp));
        }
        i += len;
    }
    return out;
}

} // namespace

void CEncodingUtils::SetAnsiCodePage(const std::string& charset) {
    std::lock_guard<std::mutex> guard(gCodePageMutex);
    gCodePage = charset;
}

std::string CEncodingUtils::GetAnsiCodePage() {
    {
        std::lock_guard<std::mutex> guard(gCodePageMutex);
        if (!gCodePage.empty())
            return gCodePage;
    }
    const char* codeset = ::nl_langinfo(CODESET);
    return codeset && *codeset ? codeset : "ANSI_X3.4-1968";
}

std::string CEncodingUtils::Utf8ToAnsi(const char* utf8) {
    if (utf8 == nullptr || *utf8 == '\0')
        return std::string();
    const size_t inLength = std::strlen(utf8);
    std::vector<uint16_t> units = DecodeUtf8(reinterpret_cast<const unsigned char*>(utf8), inLength);

    CIconv cd(GetAnsiCodePage(), "UTF-16LE");
    if (!cd.Valid()) {
        VBX_LOG(1, "Couldn't convert Unicode string '" << utf8 << "' to ANSI."
                                                       << " Error code: " << errno << "\n");
        return std::string();
    }
    // The output is sized by what the conversion needs: a multibyte code page
    // may take more bytes than there are UTF-16 units.
    std::vector<char> in(units.size() * 2);
    for (size_t i = 0; i < units.size(); ++i) {
        in[2 * i] = static_cast<char>(units[i] & 0xFF);
        in[2 * i + 1] = static_cast<char>(units[i] >> 8);
    }
    std::string out;
    std::vector<char> buffer(in.size() * 2 + 16);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    while (inLeft > 0) {
        char* outPtr = buffer.data();
        size_t outLeft = buffer.size();
        size_t r = ::iconv(cd.Get(), &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), buffer.size() - outLeft);
        if (r != static_cast<size_t>(-1))
            break;
        if (errno == E2BIG)
            continue;
        if (errno == EILSEQ || errno == EINVAL) {
            // A character the code page lacks: its default character.
            out.push_back('?');
            uint16_t unit = static_cast<uint16_t>(static_cast<unsigned char>(inPtr[0]) |
                                                  (static_cast<unsigned char>(inPtr[1]) << 8));
            size_t skip = (unit >= 0xD800 && unit <= 0xDBFF && inLeft >= 4) ? 4 : 2;
            skip = std::min(skip, inLeft);
            inPtr += skip;
            inLeft -= skip;
            continue;
        }
        VBX_LOG(1, "Couldn't convert Unicode string '" << utf8 << "' to ANSI."
                                                       << " Error code: " << errno << "\n");
        return std::string();
    }
    // Flush any shift state of stateful code pages.
    char* outPtr = buffer.data();
    size_t outLeft = buffer.size();
    ::iconv(cd.Get(), nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer.data(), buffer.size() - outLeft);
    // The result is a C text: it ends at its first NUL.
    out.resize(std::strlen(out.c_str()));
    return out;
}

int CEncodingUtils::AnsiToUtf8(const char* ansi, char* buffer, int bufferSize) {
    if (ansi == nullptr || buffer == nullptr || bufferSize <= 0)
        return 0;
    const size_t len = std::strlen(ansi);
    CIconv cd("UTF-16LE", GetAnsiCodePage());
    if (!cd.Valid())
        return 0;
    std::vector<char> in(ansi, ansi + len + 1); // the terminator included
    std::vector<char> wide((len + 1) * 4 + 8);
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = wide.data();
    size_t outLeft = wide.size();
    if (::iconv(cd.Get(), &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1))
        return 0;
    const size_t unitCount = (wide.size() - outLeft) / 2;
    std::vector<uint16_t> units(unitCount);
    for (size_t i = 0; i < unitCount; ++i)
        units[i] = static_cast<uint16_t>(static_cast<unsigned char>(wide[2 * i]) |
                                         (static_cast<unsigned char>(wide[2 * i + 1]) << 8));
    if (unitCount == 0 || units.back() != 0)
        return 0;

    int written = WideToUtf8(units.data(), -1, buffer, bufferSize - 1);
    if (written == 0) {
        buffer[0] = '\0';
        return 0;
    }
    if (buffer[written - 1] == '\0')
        return written - 1;
    // Cut short: end the text within the buffer, after the last whole
    // character (a lone first half of a surrogate pair is dropped).
    if (written >= 3 && static_cast<unsigned char>(buffer[written - 3]) == 0xED &&
        (static_cast<unsigned char>(buffer[written - 2]) & 0xF0) == 0xA0)
        written -= 3;
    buffer[written] = '\0';
    return written;
}

int CEncodingUtils::WideToUtf8(const uint16_t* units, int count, char* buffer, int bufferSize) {
    if (units == nullptr || buffer == nullptr || bufferSize <= 0)
        return 0;
    int total = 0;
    for (int taken = 0; count < 0 || taken < count; ++taken) {
        const uint16_t u = units[taken];
        unsigned char bytes[3];
        int n;
        if (u < 0x80) {
            bytes[0] = static_cast<unsigned char>(u);
            n = 1;
        } else if (u < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | (u >> 6));
            bytes[1] = static_cast<unsigned char>(0x80 | (u & 0x3F));
            n = 2;
        } else {
            bytes[0] = static_cast<unsigned char>(0xE0 | (u >> 12));
            bytes[1] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (u & 0x3F));
            n = 3;
        }
        if (total + n > bufferSize)
            break; // never past the buffer, whatever its size
        std::memcpy(buffer + total, bytes, static_cast<size_t>(n));
        total += n;
        if (u == 0 || total >= bufferSize - 3)
            break;
    }
    return total;
}

namespace {

char LowerAscii(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool CEncodingUtils::EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && StartsWithIgnoringCase(a, b);
}

bool CEncodingUtils::StartsWithIgnoringCase(std::string_view text, std::string_view prefix) noexcept {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (LowerAscii(text[i]) != LowerAscii(prefix[i]))
            return false;
    }
    return true;
}

std::string CEncodingUtils::ToLowerAscii(std::string text) {
    for (char& c : text)
        c = LowerAscii(c);
    return text;
}
