// One server per user: the first instance holds a lock on a file in the
// user's runtime folder for as long as it runs; the system drops the lock
// when the process ends, however it ends.
#pragma once

#include <string>

namespace velmor {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // True when no other instance holds the lock; this one then holds it.
  bool TryAcquire();
  static std::string LockPath();

 private:
  int fd_ = -1;
};

}  // namespace velmor
