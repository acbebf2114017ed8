// A thread a test owns, joined on every way out of the test. A failed ASSERT returns from the test
// at once; a std::thread still joinable then would end the whole test program in its destructor and
// hide every later test's result. Before joining, the stop flag the thread was given (when any) is
// raised, so that a loop waiting for it ends.
#pragma once

#include <atomic>
#include <thread>
#include <type_traits>
#include <utility>

class OwnedThread {
 public:
  OwnedThread() = default;
  template <typename Body>
    requires(!std::is_same_v<std::decay_t<Body>, OwnedThread>)
  explicit OwnedThread(Body&& body, std::atomic<bool>* stop = nullptr)
      : stop_(stop), thread_(std::forward<Body>(body)) {}
  OwnedThread(OwnedThread&& other) noexcept
      : stop_(std::exchange(other.stop_, nullptr)), thread_(std::move(other.thread_)) {}
  OwnedThread(const OwnedThread&) = delete;
  OwnedThread& operator=(const OwnedThread&) = delete;
  OwnedThread& operator=(OwnedThread&& other) noexcept {
    Join();
    stop_ = std::exchange(other.stop_, nullptr);
    thread_ = std::move(other.thread_);
    return *this;
  }
  ~OwnedThread() { Join(); }

  void Join() {
    if (stop_) stop_->store(true);
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool>* stop_ = nullptr;
  std::thread thread_;
};
