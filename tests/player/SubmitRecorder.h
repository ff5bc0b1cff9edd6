#pragma once

#include "player/PlayerConnection.h"
#include "player/Track.h"

#include <mutex>
#include <vector>

/// Collects the tracks a connection hands on for submission.
class CSubmitRecorder {
public:
    CPlayerConnection::SubmitFunction Function() {
        return [this](const Track& track) {
            std::lock_guard<std::mutex> guard(mMutex);
            mTracks.push_back(track);
        };
    }
    std::vector<Track> Tracks() const {
        std::lock_guard<std::mutex> guard(mMutex);
        return mTracks;
    }

private:
    mutable std::mutex mMutex;
    std::vector<Track> mTracks;
};
