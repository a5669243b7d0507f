// An object that lives until the process ends, never destroyed.
//
// The process may end while another thread still runs (Halt from the library thread, or from
// the main thread while a library thread has not finished), and the modules stop on exit paths
// after static destructors would have run. An object those paths use (a lock, a table, the log)
// is therefore made on first use and never destroyed: KeptAlive has no destructor of its own
// that exit could run.
#pragma once

namespace lumarix {

template <typename T>
class KeptAlive {
 public:
  KeptAlive() : object_(new T) {}
  T& operator*() const { return *object_; }

 private:
  T* object_;
};

}  // namespace lumarix
