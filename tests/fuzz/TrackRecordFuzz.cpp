// Reads arbitrary bytes as tentative-cache records: every complete record
// must read back safely, its texts must stay inside their fields, and writing
// it again must give a record that reads back the same.
#include "player/Track.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    for (;;) {
        Track track;
        if (!track.Read(in))
            break;
        if (track.GetRawArtist().size() > 127 || track.GetRawTitle().size() > 127 ||
            track.GetRawAlbum().size() > 127 || track.GetTrackId().size() > 127 ||
            track.GetRawLengthText().size() > 5 || track.GetRawPath().size() > 259 ||
            track.GetExtension().size() > 4 || track.GetStartTimeText().size() > 19)
            std::abort();
        (void)track.IsValid(true);
        (void)track.GetLength();
        std::ostringstream out;
        if (!track.Write(out) || out.str().size() != Track::BodySize)
            std::abort();
        std::istringstream again(out.str());
        Track copy;
        if (!copy.Read(again) || copy.GetRawArtist() != track.GetRawArtist() ||
            copy.GetStartTime() != track.GetStartTime() || copy.GetRawPath() != track.GetRawPath())
            std::abort();
    }
    return 0;
}
