#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <string>

/// The record of one played track, kept as the fixed 807-byte body that the
/// tentative cache file stores:
///
///   offset size field
///        0  128 artist            NUL-terminated, at most 127 bytes
///      128  128 title             same form
///      256  128 album             same form
///      384  128 track identifier  same form
///      512   20 start time text   UTC "%Y-%m-%d %H:%M:%S", NUL-terminated
///      532    4 start time        seconds since 1970 UTC, signed, little-endian
///      536    6 length text       at most 5 bytes, NUL-terminated
///      542  260 path              at most 259 bytes, NUL-terminated
///      802    5 extension         upper-cased, at most 4 bytes, NUL-terminated
///
/// Texts hold the bytes the plug-in sent (UTF-8). A text longer than its
/// field is cut after the last whole UTF-8 character that fits, so a stored
/// text never ends in a broken character.
///
/// Every operation takes the record's own recursive lock for its duration.
/// No operation logs or takes another lock while holding it, so a Track may
/// be read while the log's or the submitter's lock is held. A copy is made
/// under the source's lock and gets a lock of its own.
class Track {
public:
    static constexpr std::size_t BodySize = 807;

    /// All bytes of the body zero.
    Track();
    Track(const Track& other);
    Track& operator=(const Track& other);
    ~Track() = default;

    /// Zeroes the whole body.
    void Clear();

    /// Stores the texts (each cut to its field; a text ends at its first NUL)
    /// and derives the extension from the path: the bytes after the last "."
    /// (the path's first byte not examined), at most 4, ASCII letters
    /// upper-cased. A path without "." keeps the previous extension.
    void Set(const std::string& artist, const std::string& title, const std::string& album,
             const std::string& lengthText, const std::string& path, const std::string& trackId);

    /// Start time = now, in seconds and as text.
    void StampStartTime();
    /// Start time = the given seconds since 1970 UTC, in seconds and as text.
    void SetStartTime(int32_t seconds);

    /// Artist, title and length text present, the length positive, and, if
    /// asked, a start time stamped.
    bool IsValid(bool requireStartTime) const;
    /// The length text read as a decimal integer (leading white space and a
    /// sign allowed, stops at the first non-digit); 0 if it holds no number.
    int32_t GetLength() const;

    /// Texts converted from UTF-8 to the ANSI code page, for display and for
    /// the eligibility checks. The bytes are copied under the lock and
    /// converted after it is released.
    std::string GetArtist() const;
    std::string GetTitle() const;
    std::string GetAlbum() const;
    std::string GetLengthText() const;
    std::string GetPath() const;

    /// The stored bytes, as the submitter and the cache file use them.
    std::string GetRawArtist() const;
    std::string GetRawTitle() const;
    std::string GetRawAlbum() const;
    std::string GetRawLengthText() const;
    std::string GetRawPath() const;
    std::string GetTrackId() const;
    std::string GetExtension() const;
    std::string GetStartTimeText() const;
    int32_t GetStartTime() const;

    /// Writes the 807-byte body; returns whether the stream took it.
    bool Write(std::ostream& out) const;
    /// Reads one 807-byte body. A short or failed read clears the record and
    /// returns false. Each text field of a record read back is kept
    /// NUL-terminated within its field, whatever the stream held.
    bool Read(std::istream& in);

private:
    using Body = std::array<char, BodySize>;

    Body CopyBody() const;
    std::string FieldText(std::size_t offset, std::size_t size) const;

    mutable std::recursive_mutex mMutex;
    Body mBody;
};
