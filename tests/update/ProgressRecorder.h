#pragma once

#include "app/Observer.h"
#include "update/Downloader.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

/// Records what the downloader showed at each notification.
class CProgressRecorder final : public Observer {
public:
    explicit CProgressRecorder(CDownloader& downloader) : mDownloader(downloader) {
        mDownloader.AddObserver(this);
    }
    ~CProgressRecorder() override { mDownloader.RemoveObserver(this); }

    void UpdateFrom(Observable* subject) override {
        std::function<void(const std::string&)> hook;
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mSubjects.push_back(subject);
            mTexts.push_back(mDownloader.GetStatusText());
            mProgress.push_back(mDownloader.GetProgress());
            hook = mHook;
        }
        if (hook)
            hook(mDownloader.GetStatusText());
    }

    /// Called on the downloading thread with each new status text.
    void OnText(std::function<void(const std::string&)> hook) {
        std::lock_guard<std::mutex> guard(mMutex);
        mHook = std::move(hook);
    }

    std::vector<std::string> Texts() const {
        std::lock_guard<std::mutex> guard(mMutex);
        return mTexts;
    }
    std::vector<int> Progress() const {
        std::lock_guard<std::mutex> guard(mMutex);
        return mProgress;
    }
    std::vector<Observable*> Subjects() const {
        std::lock_guard<std::mutex> guard(mMutex);
        return mSubjects;
    }
    bool Saw(const std::string& text) const {
        const auto texts = Texts();
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }

private:
    CDownloader& mDownloader;
    mutable std::mutex mMutex;
    std::vector<Observable*> mSubjects;
    std::vector<std::string> mTexts;
    std::vector<int> mProgress;
    std::function<void(const std::string&)> mHook;
};
