#include <chrono>

#include "python/model/model_object.hpp"
#include "python/runtime/sigint.hpp"

namespace pelora::py {

void wait_for_model(ModelMutex& mutex) {
  // Short waits without the interpreter lock, each followed by a look at
  // the signals: a Ctrl-C ends the wait within a fraction of a second.
  constexpr auto kSlice = std::chrono::milliseconds(50);
  for (;;) {
    PyThreadState* ts = PyEval_SaveThread();
    const bool got = mutex.try_lock_for(kSlice);
    PyEval_RestoreThread(ts);
    if (got) return;
    check_sigint();
  }
}

}  // namespace pelora::py
