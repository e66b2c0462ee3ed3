// Exiting while the feed's daemon threads work. A daemon thread that is inside a library call
// which released the interpreter lock (polars does for its heavy work) is unwound when it takes
// the lock back during interpreter finalization, and such a library aborts the process on that
// unwind. So at exit, before finalization begins, the feed threads are stopped at points where
// only our own code and the interpreter are on their stacks, and the exit waits for that.
#include "ticker_module.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

namespace quorvel::ticker {

namespace {

struct FeedThreads {
    std::mutex mutex;
    std::condition_variable changed;
    int working = 0;       // feed threads inside FeedWork and not parked
    bool exiting = false;  // set by the exit hook
    unsigned long exiting_thread = 0;  // the thread that ran the exit hook, never parked

    // Whether the calling thread is to stop here for good.
    bool must_park() const {
        return exiting && PyThread_get_thread_ident() != exiting_thread && !interpreter_finalizing();
    }
};

FeedThreads& feed_threads() {
    static auto* state = new FeedThreads();  // never destroyed: parked threads outlive exit
    return *state;
}

thread_local int work_depth = 0;

// How long interpreter exit waits for the feed threads to stop at a checkpoint or a queue wait;
// a thread still inside a library call after that is left to finalization.
constexpr auto kExitWaitLimit = std::chrono::seconds(10);

// Parks the calling thread for good, without the interpreter lock.
[[noreturn]] void park(std::unique_lock<std::mutex>& lock) {
    FeedThreads& state = feed_threads();
    if (work_depth > 0) --state.working;
    state.changed.notify_all();
    lock.unlock();
    PyEval_SaveThread();
    std::unique_lock<std::mutex> forever(state.mutex);
    for (;;) state.changed.wait(forever);
}

PyObject* wait_for_feed_threads(PyObject*, PyObject*) {
    FeedThreads& state = feed_threads();
    unsigned long this_thread = PyThread_get_thread_ident();
    std::string failure;
    PyThreadState* thread_state = PyEval_SaveThread();
    try {
        std::unique_lock<std::mutex> lock(state.mutex);
        state.exiting = true;
        state.exiting_thread = this_thread;
        state.changed.wait_for(lock, kExitWaitLimit, [&] { return state.working == 0; });
    } catch (const std::exception& error) {
        failure = error.what();  // reported once the GIL is held again
    }
    PyEval_RestoreThread(thread_state);
    if (!failure.empty()) {
        PyErr_SetString(PyExc_SystemError, failure.c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef exit_hook = {"_wait_for_feed_threads", wait_for_feed_threads, METH_NOARGS, nullptr};

}  // namespace

FeedWork::FeedWork() {
    FeedThreads& state = feed_threads();
    std::unique_lock<std::mutex> lock(state.mutex);
    if (state.must_park()) park(lock);
    if (work_depth++ == 0) ++state.working;
}

FeedWork::~FeedWork() {
    FeedThreads& state = feed_threads();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (--work_depth == 0) --state.working;
    state.changed.notify_all();
}

Ref queue_get(PyObject* owner, PyObject* queue_attribute) {
    Ref queue = getattr(owner, queue_attribute);
    FeedThreads& state = feed_threads();
    bool counted = work_depth > 0;
    if (counted) {
        std::lock_guard<std::mutex> lock(state.mutex);
        --state.working;
        state.changed.notify_all();
    }
    struct Resume {
        bool counted;
        ~Resume() noexcept(false) {
            if (!counted) return;
            FeedThreads& state = feed_threads();
            std::unique_lock<std::mutex> lock(state.mutex);
            ++state.working;
            if (state.must_park()) park(lock);
        }
    } resume{counted};
    return call_method(queue.get(), names->get);
}

void feed_checkpoint() {
    FeedThreads& state = feed_threads();
    std::unique_lock<std::mutex> lock(state.mutex);
    if (state.must_park()) park(lock);
}

void register_exit_hook() {
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref hook = Ref::steal(PyCFunction_New(&exit_hook, nullptr));
    call(getattr(atexit.get(), names->register_function).get(), hook);
}

}  // namespace quorvel::ticker
