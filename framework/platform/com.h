// COM on the calling thread, set up the way image viewers do before they call a plug-in.
#pragma once

namespace platform {

// Initialises COM (single-threaded apartment) for the life of the object, and uninitialises it
// only when that initialisation succeeded (S_OK or S_FALSE): a thread already in a
// multithreaded apartment fails it and is left as it was. Nothing on POSIX, where no component
// needs COM.
class ComScope {
public:
    ComScope();
    // The same rule for an initialisation the caller made through COM functions of its own
    // choosing (a stand-in's, or a test's): `uninitialise` runs at the end when `initialised`.
    ComScope(bool initialised, void (*uninitialise)()) noexcept
        : m_initialised(initialised), m_uninitialise(uninitialise) {}
    ~ComScope() {
        if (m_initialised && m_uninitialise) m_uninitialise();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    bool Initialised() const { return m_initialised; }

private:
    bool m_initialised = false;
    void (*m_uninitialise)() = nullptr;
};

}  // namespace platform
