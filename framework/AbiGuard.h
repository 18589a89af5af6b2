// Keeps exceptions inside the library: every export runs its body through AbiGuard.
#pragma once

#include <cstdint>
#include <new>

#include "plugin_abi.h"

template <class Body>
int32_t AbiGuard(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return SPI_OUT_OF_MEMORY;
    } catch (...) {
        return SPI_INTERNAL_ERROR;
    }
}
