// SHA-256, for the derivation of AppContainer SIDs from profile names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace winsim::detail {

std::array<std::uint8_t, 32> sha256(const void* data, std::size_t length);

}  // namespace winsim::detail
