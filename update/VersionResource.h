#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

/// The version information of one executable file: a fixed record with the
/// numeric file and product versions, and twelve named strings.
///
/// Linux executables carry no version resource, so the information comes
/// from elsewhere: the program's own executable has its version compiled in;
/// any other file gets the details of the Debian package that owns it
/// (FileVersion and ProductVersion = package version, ProductName and
/// InternalName = package name, CompanyName = maintainer, FileDescription =
/// first line of the description). A file no package owns has none. There is
/// no table of translations either: a file has exactly one set of strings.
class CVersionResource {
public:
    /// The fixed file information, laid out as the 52-byte record the
    /// numeric versions are kept in. All zero when there is no information.
    struct SFixedFileInfo {
        uint32_t signature;
        uint32_t structVersion;
        uint32_t fileVersionMS;
        uint32_t fileVersionLS;
        uint32_t productVersionMS;
        uint32_t productVersionLS;
        uint32_t fileFlagsMask;
        uint32_t fileFlags;
        uint32_t fileOS;
        uint32_t fileType;
        uint32_t fileSubtype;
        uint32_t fileDateMS;
        uint32_t fileDateLS;
    };
    static_assert(sizeof(SFixedFileInfo) == 52);

    static constexpr uint32_t kFixedSignature = 0xFEEF04BD;

    /// The twelve strings, in their fixed order.
    enum EString : std::size_t {
        kCompanyName,
        kFileDescription,
        kFileVersion,
        kInternalName,
        kLegalCopyright,
        kOriginalFileName,
        kProductName,
        kProductVersion,
        kComments,
        kLegalTrademarks,
        kPrivateBuild,
        kSpecialBuild,
        kStringCount
    };
    /// Their names: "CompanyName", "FileDescription", ...
    static const std::array<std::string_view, kStringCount> kStringNames;

    CVersionResource() = default;
    virtual ~CVersionResource() = default;

    /// Zeroes the fixed information and empties the strings.
    virtual void Reset();

    /// Reads the version information of the file at path. False, with
    /// everything empty, when the file is missing, is not a regular file or
    /// has no version information.
    bool Open(const std::string& path);

    /// The same for the file of a module loaded with dlopen; nullptr means
    /// the program's own executable.
    bool OpenModule(void* module);

    /// A 16-bit part of the file version: 3 = major (high half of the most
    /// significant word), 2 = minor, 1 = the high half of the least
    /// significant word, 0 = its low half. Any other index gives 0.
    uint16_t GetVersionPart(int index) const noexcept;

    /// The "FileVersion" string ("" when absent).
    std::string GetFileVersion() const { return mStrings[kFileVersion]; }

    /// One of the twelve strings ("" when absent).
    const std::string& GetString(EString which) const noexcept { return mStrings[which]; }
    /// One of the twelve strings by its name; "" for an unknown name.
    std::string GetString(std::string_view name) const;

    const SFixedFileInfo& GetFixedInfo() const noexcept { return mFixed; }

private:
    void FillOwnVersion(const std::string& exePath);
    bool FillFromPackage(const std::string& givenPath, const std::string& resolvedPath);
    void SetVersionWords(const std::string& versionText);

    SFixedFileInfo mFixed{};
    std::array<std::string, kStringCount> mStrings;
};
