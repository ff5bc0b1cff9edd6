#pragma once

#include <string>

/// What the status window shows about the playing track beyond what the
/// player knows: tags, similar artists, a description, a link to the
/// artist's wiki page and the two pictures. Filled by CMetaDataGetter; texts
/// are UTF-8, stored as the web service sent them.
///
/// The picture files are paths of cached pictures, or the names of the
/// pictures that ship with the program ("no_album.jpg", "no_artist.jpg"),
/// which PicturePath resolves.
class CTrackMetaData {
public:
    /// Empties every field.
    void Clear();

    const std::string& GetArtist() const noexcept { return mArtist; }
    const std::string& GetTrack() const noexcept { return mTrack; }
    const std::string& GetAlbum() const noexcept { return mAlbum; }
    const std::string& GetTags() const noexcept { return mTags; }
    const std::string& GetSimilar() const noexcept { return mSimilar; }
    const std::string& GetDescription() const noexcept { return mDescription; }
    const std::string& GetWikiLink() const noexcept { return mWikiLink; }
    const std::string& GetAlbumPicUrl() const noexcept { return mAlbumPicUrl; }
    const std::string& GetArtistPicUrl() const noexcept { return mArtistPicUrl; }
    const std::string& GetAlbumPicFile() const noexcept { return mAlbumPicFile; }
    const std::string& GetArtistPicFile() const noexcept { return mArtistPicFile; }

    void SetArtist(const std::string& text) { mArtist = text; }
    void SetTrack(const std::string& text) { mTrack = text; }
    void SetAlbum(const std::string& text) { mAlbum = text; }
    void SetTags(const std::string& text) { mTags = text; }
    void SetSimilar(const std::string& text) { mSimilar = text; }
    void SetDescription(const std::string& text) { mDescription = text; }
    void SetWikiLink(const std::string& text) { mWikiLink = text; }
    void SetAlbumPicUrl(const std::string& text) { mAlbumPicUrl = text; }
    void SetArtistPicUrl(const std::string& text) { mArtistPicUrl = text; }
    void SetAlbumPicFile(const std::string& text) { mAlbumPicFile = text; }
    void SetArtistPicFile(const std::string& text) { mArtistPicFile = text; }

    /// Where a picture file of the record is on disk: an absolute path as it
    /// is; a bare name (the pictures that ship with the program) in the res/
    /// folder beside the program, in share/vortlebox/res/ above it, or in the
    /// source tree the program was built from, whichever has it first. A name
    /// found nowhere comes back unchanged.
    static std::string PicturePath(const std::string& file);

private:
    std::string mArtist;
    std::string mTrack;
    std::string mAlbum;
    std::string mTags;
    std::string mSimilar;
    std::string mDescription;
    std::string mWikiLink;
    std::string mAlbumPicUrl;
    std::string mArtistPicUrl;
    std::string mAlbumPicFile;
    std::string mArtistPicFile;
};
