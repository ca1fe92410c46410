#include "vistel/platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

namespace vistel {

namespace {

// Linux keeps a nice value per thread; two steps down is the counterpart of
// "below normal" on desktop schedulers without touching real-time classes.
constexpr int kBelowNormalNiceStep = 2;

struct Start {
  std::function<void()> routine;
  ThreadPriority priority;
};

void* trampoline(void* arg) {
  std::unique_ptr<Start> start(static_cast<Start*>(arg));
  if (start->priority == ThreadPriority::BelowNormal) {
    const auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0) ::setpriority(PRIO_PROCESS, tid, std::min(nice + kBelowNormalNiceStep, 19));
  }
  start->routine();
  return nullptr;
}

std::size_t roundStack(std::size_t size) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  size = std::max<std::size_t>(size, PTHREAD_STACK_MIN);
  return (size + page - 1) / page * page;
}

}  // namespace

Thread::Thread(Thread&& other) noexcept : id_(other.id_), started_(other.started_) {
  other.started_ = false;
  other.id_ = 0;
}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    join();
    id_ = other.id_;
    started_ = other.started_;
    other.started_ = false;
    other.id_ = 0;
  }
  return *this;
}

Thread::~Thread() { join(); }

void Thread::join() noexcept {
  if (!started_) return;
  ::pthread_join(static_cast<pthread_t>(id_), nullptr);
  started_ = false;
  id_ = 0;
}

Thread startThread(std::function<void()> routine, ThreadOptions options) {
  Thread thread;
  if (!routine) return thread;
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) return thread;
  if (options.stackSize != 0) ::pthread_attr_setstacksize(&attr, roundStack(options.stackSize));
  auto start = std::make_unique<Start>(Start{std::move(routine), options.priority});
  pthread_t handle{};
  const int rc = ::pthread_create(&handle, &attr, trampoline, start.get());
  ::pthread_attr_destroy(&attr);
  if (rc != 0) return thread;
  (void)start.release();  // the trampoline owns it now
  thread.id_ = static_cast<std::uint64_t>(handle);
  thread.started_ = true;
  return thread;
}

ThreadStarter defaultThreadStarter() {
  return [](std::function<void()> routine, std::size_t stackSize) {
    return startThread(std::move(routine), ThreadOptions{stackSize, ThreadPriority::BelowNormal});
  };
}

void sleepMs(std::uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace vistel
