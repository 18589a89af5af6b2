// Holder of one movable memory block, with its locked pointer and an owned flag.
#pragma once

#include <cstddef>

#include "platform/platform.h"

class GlobalBlock {
public:
    GlobalBlock() = default;
    ~GlobalBlock() { Release(); }
    GlobalBlock(const GlobalBlock&) = delete;
    GlobalBlock& operator=(const GlobalBlock&) = delete;

    // Replaces what the holder had with a new owned, unlocked block. False when memory is short.
    bool Allocate(size_t size, bool zero_init);
    // Takes a handle; `owned` says whether Release frees it.
    void Attach(SpiHandle handle, bool owned);
    void* Lock();
    void Unlock();
    // Unlocks if locked, frees if owned, and clears handle, pointer and flag.
    void Release();
    // Hands the handle on: unlocks it, clears the holder without freeing, and returns it.
    SpiHandle Detach();

    SpiHandle Handle() const { return m_handle; }
    void* Locked() const { return m_locked; }
    bool Owned() const { return m_owned; }

private:
    SpiHandle m_handle = nullptr;
    void* m_locked = nullptr;
    bool m_owned = false;
};

// Locks a movable block for the length of a scope.
class ScopedLock {
public:
    explicit ScopedLock(SpiHandle handle)
        : m_handle(handle), m_data(handle ? platform::MemLock(handle) : nullptr) {}
    ~ScopedLock() {
        if (m_data) platform::MemUnlock(m_handle);
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

    unsigned char* Data() const { return static_cast<unsigned char*>(m_data); }
    explicit operator bool() const { return m_data != nullptr; }

private:
    SpiHandle m_handle;
    void* m_data;
};

// Owns a movable block until Release() hands it on; frees it otherwise.
class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(SpiHandle handle) : m_handle(handle) {}
    ~OwnedHandle() { Reset(); }
    OwnedHandle(OwnedHandle&& other) noexcept : m_handle(other.Release()) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            m_handle = other.Release();
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;

    static OwnedHandle Allocate(size_t size, bool zero_init) {
        return OwnedHandle(platform::MemAlloc(size, zero_init));
    }
    SpiHandle Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    SpiHandle Release() {
        SpiHandle h = m_handle;
        m_handle = nullptr;
        return h;
    }
    void Reset() {
        if (m_handle) platform::MemFree(m_handle);
        m_handle = nullptr;
    }

private:
    SpiHandle m_handle = nullptr;
};
