// What the server counts, for Prometheus: the line's frames (counted by the engine), settings by
// outcome, and clients.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/Types.h"

namespace ampd {

struct Metrics {
    engine::LineCounters line;
    std::atomic<std::uint64_t> settingsConfirmed{0};
    std::atomic<std::uint64_t> settingsFailed{0};
    std::atomic<std::uint64_t> clientsTotal{0};  // connections accepted, SCPI and HTTP
    std::atomic<std::int64_t> clientsConnected{0};
};

}  // namespace ampd
