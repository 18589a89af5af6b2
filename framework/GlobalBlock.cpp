#include "GlobalBlock.h"

bool GlobalBlock::Allocate(size_t size, bool zero_init) {
    Release();
    m_handle = platform::MemAlloc(size, zero_init);
    m_owned = m_handle != nullptr;
    return m_owned;
}

void GlobalBlock::Attach(SpiHandle handle, bool owned) {
    Release();
    m_handle = handle;
    m_owned = handle != nullptr && owned;
}

void* GlobalBlock::Lock() {
    if (!m_handle) return nullptr;
    if (!m_locked) m_locked = platform::MemLock(m_handle);
    return m_locked;
}

void GlobalBlock::Unlock() {
    if (m_handle && m_locked) platform::MemUnlock(m_handle);
    m_locked = nullptr;
}

void GlobalBlock::Release() {
    if (m_handle) {
        Unlock();
        if (m_owned) platform::MemFree(m_handle);
    }
    m_handle = nullptr;
    m_locked = nullptr;
    m_owned = false;
}

SpiHandle GlobalBlock::Detach() {
    Unlock();
    SpiHandle h = m_handle;
    m_handle = nullptr;
    m_owned = false;
    return h;
}
