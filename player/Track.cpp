#include "player/Track.h"

#include "app/EncodingUtils.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <istream>
#include <ostream>
#include <utility>

namespace {

// Offset and size of each field of the body.
constexpr std::size_t kArtist = 0, kTitle = 128, kAlbum = 256, kTrackId = 384, kTextSize = 128;
constexpr std::size_t kStartText = 512, kStartTextSize = 20;
constexpr std::size_t kStart = 532;
constexpr std::size_t kLength = 536, kLengthSize = 6;
constexpr std::size_t kPath = 542, kPathSize = 260;
constexpr std::size_t kExtension = 802, kExtensionSize = 5;
static_assert(kExtension + kExtensionSize == Track::BodySize);

// The text fields, for keeping a record read back NUL-terminated.
constexpr std::pair<std::size_t, std::size_t> kTextFields[] = {
    {kArtist, kTextSize},         {kTitle, kTextSize},    {kAlbum, kTextSize}, {kTrackId, kTextSize},
    {kStartText, kStartTextSize}, {kLength, kLengthSize}, {kPath, kPathSize},  {kExtension, kExtensionSize},
};

bool IsContinuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

// Number of bytes of a UTF-8 sequence started by this lead byte; 0 for a
// byte that cannot start one.
std::size_t SequenceLength(unsigned char c) {
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        return 2;
    if (c >= 0xE0 && c <= 0xEF)
        return 3;
    if (c >= 0xF0 && c <= 0xF4)
        return 4;
    return 0;
}

// How many bytes of text fit into limit without splitting a UTF-8 character.
// Bytes that do not form a character at the cut are cut exactly at limit.
std::size_t FittingLength(const char* text, std::size_t size, std::size_t limit) {
    if (size <= limit)
        return size;
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    if (!IsContinuation(s[limit]))
        return limit;
    // The first dropped byte continues a character: find where it starts.
    std::size_t lead = limit;
    while (lead > 0 && limit - lead < 3 && IsContinuation(s[lead - 1]))
        --lead;
    if (lead == 0)
        return limit;
    --lead;
    const std::size_t length = SequenceLength(s[lead]);
    return length > limit - lead ? lead : limit;
}

// The text up to its first NUL.
std::size_t TextLength(const std::string& text) {
    const std::size_t nul = text.find('\0');
    return nul == std::string::npos ? text.size() : nul;
}

// Fills a field with the text cut to size - 1 bytes and NUL padding.
void StoreText(char* field, std::size_t size, const std::string& text) {
    const std::size_t n = FittingLength(text.data(), TextLength(text), size - 1);
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), n);
}

int32_t ReadLength(const char* text) {
    std::size_t i = 0;
    while (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))
        ++i;
    bool negative = false;
    if (text[i] == '+' || text[i] == '-')
        negative = text[i++] == '-';
    int64_t value = 0;
    for (; text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX)
            value = INT32_MAX;
    }
    return static_cast<int32_t>(negative ? -value : value);
}

} // namespace

Track::Track() : mBody{} {}

Track::Track(const Track& other) : mBody(other.CopyBody()) {}

Track& Track::operator=(const Track& other) {
    if (this == &other)
        return *this;
    // Never both locks at once: two tracks assigned to each other from two
    // threads cannot deadlock.
    const Body body = other.CopyBody();
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    mBody = body;
    return *this;
}

Track::Body Track::CopyBody() const {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    return mBody;
}

std::string Track::FieldText(std::size_t offset, std::size_t size) const {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    const char* field = mBody.data() + offset;
    return std::string(field, ::strnlen(field, size));
}

void Track::Clear() {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    mBody.fill(0);
}

void Track::Set(const std::string& artist, const std::string& title, const std::string& album,
                const std::string& lengthText, const std::string& path, const std::string& trackId) {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    char* body = mBody.data();
    StoreText(body + kArtist, kTextSize, artist);
    StoreText(body + kTitle, kTextSize, title);
    StoreText(body + kAlbum, kTextSize, album);
    StoreText(body + kTrackId, kTextSize, trackId);
    StoreText(body + kLength, kLengthSize, lengthText);
    StoreText(body + kPath, kPathSize, path);

    const char* stored = body + kPath;
    const std::size_t pathLength = std::strlen(stored);
    for (std::size_t i = pathLength; i-- > 1;) {
        if (stored[i] != '.')
            continue;
        StoreText(body + kExtension, kExtensionSize, std::string(stored + i + 1, pathLength - i - 1));
        for (char* c = body + kExtension; *c; ++c) {
            if (*c >= 'a' && *c <= 'z')
                *c = static_cast<char>(*c - 'a' + 'A');
        }
        break;
    }
}

void Track::StampStartTime() {
    SetStartTime(static_cast<int32_t>(std::time(nullptr)));
}

void Track::SetStartTime(int32_t seconds) {
    const std::time_t t = seconds;
    std::tm utc{};
    char text[kStartTextSize] = {};
    if (::gmtime_r(&t, &utc) != nullptr)
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    const auto u = static_cast<uint32_t>(seconds);

    std::lock_guard<std::recursive_mutex> guard(mMutex);
    std::memcpy(mBody.data() + kStartText, text, kStartTextSize);
    for (std::size_t i = 0; i < 4; ++i)
        mBody[kStart + i] = static_cast<char>((u >> (8 * i)) & 0xFF);
}

bool Track::IsValid(bool requireStartTime) const {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    const char* body = mBody.data();
    return body[kArtist] != '\0' && body[kTitle] != '\0' && body[kLength] != '\0' && GetLength() > 0 &&
           (!requireStartTime || body[kStartText] != '\0');
}

int32_t Track::GetLength() const {
    return ReadLength(GetRawLengthText().c_str());
}

std::string Track::GetArtist() const {
    return CEncodingUtils::Utf8ToAnsi(GetRawArtist().c_str());
}
std::string Track::GetTitle() const {
    return CEncodingUtils::Utf8ToAnsi(GetRawTitle().c_str());
}
std::string Track::GetAlbum() const {
    return CEncodingUtils::Utf8ToAnsi(GetRawAlbum().c_str());
}
std::string Track::GetLengthText() const {
    return CEncodingUtils::Utf8ToAnsi(GetRawLengthText().c_str());
}
std::string Track::GetPath() const {
    return CEncodingUtils::Utf8ToAnsi(GetRawPath().c_str());
}

std::string Track::GetRawArtist() const {
    return FieldText(kArtist, kTextSize);
}
std::string Track::GetRawTitle() const {
    return FieldText(kTitle, kTextSize);
}
std::string Track::GetRawAlbum() const {
    return FieldText(kAlbum, kTextSize);
}
std::string Track::GetRawLengthText() const {
    return FieldText(kLength, kLengthSize);
}
std::string Track::GetRawPath() const {
    return FieldText(kPath, kPathSize);
}
std::string Track::GetTrackId() const {
    return FieldText(kTrackId, kTextSize);
}
std::string Track::GetExtension() const {
    return FieldText(kExtension, kExtensionSize);
}
std::string Track::GetStartTimeText() const {
    return FieldText(kStartText, kStartTextSize);
}

int32_t Track::GetStartTime() const {
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    uint32_t u = 0;
    for (std::size_t i = 0; i < 4; ++i)
        u |= static_cast<uint32_t>(static_cast<unsigned char>(mBody[kStart + i])) << (8 * i);
    return static_cast<int32_t>(u);
}

bool Track::Write(std::ostream& out) const {
    const Body body = CopyBody();
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    return static_cast<bool>(out);
}

bool Track::Read(std::istream& in) {
    Body body{};
    in.read(body.data(), static_cast<std::streamsize>(body.size()));
    if (!in || in.gcount() != static_cast<std::streamsize>(body.size())) {
        Clear();
        return false;
    }
    for (const auto& [offset, size] : kTextFields)
        body[offset + size - 1] = '\0';
    std::lock_guard<std::recursive_mutex> guard(mMutex);
    mBody = body;
    return true;
}
