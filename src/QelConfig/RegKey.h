// File: RegKey.h
//
// Library-internal: an open registry key that closes itself. Move-only; Close() is safe twice.
#pragma once

#include <utility>

#include "QelPlatform.h"

class RegKey {
public:
    RegKey() noexcept = default;
    ~RegKey() { Close(); }
    RegKey(RegKey&& other) noexcept : m_hKey(std::exchange(other.m_hKey, nullptr)) {}
    RegKey& operator=(RegKey&& other) noexcept {
        if (this != &other) {
            Close();
            m_hKey = std::exchange(other.m_hKey, nullptr);
        }
        return *this;
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    // For the out-parameter of RegOpenKeyExW/RegCreateKeyExW; closes what was open before.
    HKEY* Receive() noexcept {
        Close();
        return &m_hKey;
    }
    HKEY Get() const noexcept { return m_hKey; }
    void Close() noexcept {
        if (m_hKey != nullptr) {
            ::RegCloseKey(m_hKey);
            m_hKey = nullptr;
        }
    }

private:
    HKEY m_hKey = nullptr;
};
