#include "app/WorkerThread.h"

#include "app/CrashHandler.h"
#include "app/Logger.h"

#include <exception>

CWorkerThread::~CWorkerThread() {
    if (mThread.joinable())
        mThread.join();
}

long CWorkerThread::Start(std::function<void()> body) {
    if (mThread.joinable())
        mThread.join();
    mIdle.Reset();
    long id = 0;
    mThread = CCrashHandler::StartThread(
        [this, body = std::move(body)] {
            try {
                body();
            } catch (const std::exception& e) {
                VBX_LOG(1, "Worker ended by an exception: " << e.what() << "\n");
            }
            mIdle.Set();
        },
        &id);
    return id;
}

void CWorkerThread::Stop(const std::function<void()>& cancel) {
    if (!mThread.joinable())
        return;
    for (;;) {
        cancel();
        if (mIdle.WaitFor(kCancelInterval))
            break;
    }
    mThread.join();
}
