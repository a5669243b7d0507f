// The order the system's modules start in, for every program and test runner: each module
// needs only those before it, and they stop in reverse.
#pragma once

#include <array>
#include <cstddef>

#include "LumarixModules.h"
#include "LumarixSocket.h"
#include "LumarixSocketStr.h"
#include "LumarixTime.h"
#include "LumarixUtil.h"
#include "LumarixVIO.h"
#include "ureadcfg/userreadcfg.h"

namespace lumarix {
namespace module_order {

template <std::size_t N, std::size_t M>
constexpr std::array<const TModule*, N + M> Join(const std::array<const TModule*, N>& first,
                                                 const std::array<const TModule*, M>& then) {
  std::array<const TModule*, N + M> joined{};
  for (std::size_t i = 0; i < N; ++i) joined[i] = first[i];
  for (std::size_t i = 0; i < M; ++i) joined[N + i] = then[i];
  return joined;
}

}  // namespace module_order

// The library without its thread: what a process that must not hold the socket library's
// thread (one that forks) runs on.
inline constexpr std::array<const TModule*, 3> kThreadlessLibraryModules{
    &LumarixUtilModule, &LumarixTimeModule, &LumarixSocketStrModule};
// The library, which every program runs on; the socket library starts its thread last.
inline constexpr auto kLibraryModules =
    module_order::Join(kThreadlessLibraryModules, std::array<const TModule*, 1>{&LumarixSocketModule});
// The print client: the library, then the team description's reader and the console.
inline constexpr auto kClientModules =
    module_order::Join(kLibraryModules, std::array<const TModule*, 2>{&UserReadCfgModule, &LumarixVIOModule});

}  // namespace lumarix
