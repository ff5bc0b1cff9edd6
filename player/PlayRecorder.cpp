#include "player/PlayRecorder.h"

#include <atomic>

namespace {
std::atomic<CPlayRecorder*> gRecorder{nullptr};
}

CPlayRecorder* CPlayRecorder::Installed() noexcept {
    return gRecorder.load(std::memory_order_acquire);
}

void CPlayRecorder::Install(CPlayRecorder* recorder) noexcept {
    gRecorder.store(recorder, std::memory_order_release);
}
