// COM on the calling thread, set up the way image viewers do before they call a plug-in.
#pragma once

namespace platform {

// Initialises COM (single-threaded apartment) for the life of the object, and uninitialises it
// only when that initialisation succeeded. Nothing on POSIX, where no component needs COM.
class ComScope {
public:
    ComScope();
    ~ComScope();
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool Initialised() const { return m_initialised; }

private:
    bool m_initialised = false;
};

}  // namespace platform
