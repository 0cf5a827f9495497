// The status page served at GET /: one HTML file with its script inline.
#pragma once

namespace vexolant::service {
extern const char kStatusPage[];
}
