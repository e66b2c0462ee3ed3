// Where the road of a tick counts the rows of the frame the ticks come from: a one-item writable
// buffer of 64-bit ints that the engine gives (an array('q', [-1])) and sets back to -1 at each
// new frame, so that Python can read the row at any moment while the road pays one add per tick.
#pragma once

#include "../extension_support/ref.hpp"

#include <cstdint>
#include <cstring>

namespace quorvel::replay {

class RowCursor {
public:
    // Holds the buffer of `target` until destroyed; None writes nowhere.
    explicit RowCursor(PyObject* target) {
        if (target == Py_None) return;
        // Any object that cannot lend such a buffer gets the same message, whatever it lacks.
        if (PyObject_GetBuffer(target, &view_, PyBUF_WRITABLE | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            refuse();
        }
        bool fits = view_.itemsize == sizeof(int64_t) && view_.len >= view_.itemsize && view_.format != nullptr &&
                    std::strcmp(view_.format, "q") == 0;
        if (!fits) {
            PyBuffer_Release(&view_);
            refuse();
        }
        held_ = true;
    }
    RowCursor(const RowCursor&) = delete;
    RowCursor& operator=(const RowCursor&) = delete;
    // Releasing drops the reference the buffer holds: as a Ref's destructor, it lets an unwind through.
    ~RowCursor() noexcept(false) {
        if (held_ && !interpreter_finalizing()) PyBuffer_Release(&view_);
    }

    // The next row: the tick on the road is the frame's row after the one before it.
    void advance() const {
        if (!held_) return;
        int64_t row;
        std::memcpy(&row, view_.buf, sizeof row);
        ++row;
        std::memcpy(view_.buf, &row, sizeof row);
    }

private:
    [[noreturn]] static void refuse() {
        raise(PyExc_TypeError, "cursor must be None or a writable buffer of 64-bit ints, such as array('q', [-1])");
    }

    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace quorvel::replay
