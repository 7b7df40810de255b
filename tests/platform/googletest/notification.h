// GoogleTest's Notification (a one-shot signal between threads), on a Win32 event: the
// win32-threads flavour's C++ library has no std::mutex or std::condition_variable, on which
// GoogleTest's own version is built. Included ahead of every file that uses GoogleTest, with
// GTEST_HAS_NOTIFICATION_ set, GoogleTest's documented switch for a Notification provided from
// outside (gtest/internal/custom/README.md).
#pragma once

#include <windows.h>

namespace testing::internal {

class Notification {
public:
    Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() {
        if (event_) CloseHandle(event_);
    }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace testing::internal
