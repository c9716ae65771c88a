// The little concurrency mkpackage needs, the same on every system it runs
// on: a mutex and running tasks side by side.  (mingw-w64's C++ runtime in
// its Win32 thread model has no std::thread or std::mutex; the POSIX side
// uses them.)  Implemented with the rest of the system layer, in
// HostFilesPosix.cpp and HostFilesWindows.cpp.
#pragma once
#include <functional>
#include <vector>

// A mutex for std::lock_guard.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock();
    void unlock();

private:
    alignas(8) unsigned char storage_[64];  // the system's own lock, in place
};

// The memory this process may use: the machine's physical memory, or less
// where a limit on the process says so; 0 when it cannot be told.
uint64_t MemoryForThisProcess();

// Runs each task on a thread of its own (the first one on the calling
// thread) and returns when all have ended.  Tasks must not throw.
void RunSideBySide(const std::vector<std::function<void()>>& tasks);
