// Independent work over an index range, shared with a second thread when it
// is large enough to pay for starting one. Each index is handled exactly as it
// would be alone, so the results do not depend on the split. The environment
// variable TALVEK_THREADS=1 keeps all work on the calling thread.
#pragma once

#include <cstdlib>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

namespace TalvekLib {

// Below this much work (in units of `cost`, a rough count of inner-loop
// terms) a second thread costs more to start than it saves.
constexpr double kWorthASecondThread = 1.0e6;

inline bool secondThreadAllowed() {
    const char* setting = std::getenv("TALVEK_THREADS");
    return setting == nullptr || std::strcmp(setting, "1") != 0;
}

// work(first, last) for [0, n): the upper half on a second thread when cost
// is large. An exception from either half reaches the caller.
template <typename Work>
void shareWithSecondThread(int n, double cost, Work&& work) {
    const int half = n / 2;
    if (half == 0 || cost < kWorthASecondThread || !secondThreadAllowed()) {
        work(0, n);
        return;
    }
    std::exception_ptr failure;
    std::thread second;
    try {
        second = std::thread([&] {
            try {
                work(half, n);
            } catch (...) {
                failure = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        work(0, n);  // no thread to be had: all of it here
        return;
    }
    try {
        work(0, half);
    } catch (...) {
        second.join();
        throw;
    }
    second.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace TalvekLib
