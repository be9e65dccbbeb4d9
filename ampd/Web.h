// What the HTTP side says, as text: the page's own files, the state and the trend as JSON, an alarm as
// JSON, the metrics in Prometheus' text format. Platform-free, so it is tested natively; JSON is written
// with nlohmann's library.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ampd/Amplifier.h"
#include "ampd/Metrics.h"

namespace ampd {

// A file of the page, embedded at build time.
struct WebAsset {
    std::string_view path;     // "/", "/render.js"
    std::string_view type;     // its media type; text is served as UTF-8
    std::string_view body;     // empty when only the compressed form is kept
    std::string_view gzipped;  // empty when not kept compressed
};

// The page's files, made at build time.
std::vector<WebAsset> WebAssets();

// The keys of ampctl --json status, plus link, alarms, the reading's time and who may set
// ("open": anyone; "token": a Bearer token is needed). Unknown values are null.
std::string StateJson(const AmpView& view, bool tokenRequired);
std::string AlarmJson(const Alarm& alarm);
// {"points":[[ms since the epoch, current_ma, input_dbm, output_dbm, temperature_c], ...]}
std::string TrendJson(const std::vector<TrendPoint>& trend);
std::string MetricsText(const AmpView& view, const Metrics& metrics);

}  // namespace ampd
